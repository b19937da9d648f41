#pragma once
// AppContext: the client's process-wide record, created before anything
// else and reached through appContext(). GUI thread only.
#include "appconfig.h"

#include <QString>

class MainWindow;
class UpdateChecker;

struct AppContext {
    QString applicationName;  // "Veilnox"
    QString homepageUrl;
    QString supportPageUrl;
    QString supportAddress;
    QString dataDir;  // GetAppDataDir() + "/data"
    bool debugMode = false;
    CAppConfig config;
    UpdateChecker* updateChecker = nullptr;  // not owned
    MainWindow* mainWindow = nullptr;        // not owned
    bool updateAsked = false;                // the automatic update question was put

    // Fills the texts, dataDir and debugMode (the marker file
    // "_yydebug.txt" in the per-user folder). Leaves the rest alone.
    void fill();
    // True when the debug-mode marker file exists.
    static bool debugMarkerExists();
    // Path of the rules file and of the settings file in dataDir.
    QString rulesPath() const { return dataDir + QStringLiteral("/config/rules.txt"); }
    QString configPath() const { return dataDir + QStringLiteral("/appconfig.xml"); }
};

AppContext& appContext();
