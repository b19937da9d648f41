// veilnox-screenshots: renders the client's windows offscreen into PNG files
// (scripts/screenshots). Each shot is one entry of the table in main(): a
// name (the file name) and a function that builds the window to picture.
//
//   veilnox-screenshots OUTPUT_FOLDER [NAME...]
#include "addserverdlg.h"
#include "appconfig.h"
#include "apphelpers.h"
#include "appshots.h"
#include "csplashwnd.h"
#include "endpoints.h"
#include "messages.h"
#include "privateobjects.h"
#include "programselectdlg.h"
#include "ui_programselectdlg.h"
#include "viewshots.h"
#include "widgethelpers.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

struct Shot {
    const char* name;
    std::function<QWidget*()> make;
    // Shown in DarkPalette(), as on a dark desktop, and checked to look
    // dark: a dark background with light text.
    bool dark = false;
};

// The average lightness of a picture, 0 (black) to 255 (white).
int averageLightness(const QImage& image) {
    if (image.isNull()) return -1;
    qint64 sum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            sum += QColor(image.pixel(x, y)).lightness();
    return int(sum / (qint64(image.width()) * image.height()));
}

// A dark shot must look dark: mostly a dark background, and its text (the
// palette's, and some pixels drawn in it) light.
bool looksDark(QWidget& window, const QImage& picture) {
    const int average = averageLightness(picture);
    const QColor text = window.palette().color(QPalette::WindowText);
    int light = 0;
    for (int y = 0; y < picture.height(); y += 2)
        for (int x = 0; x < picture.width(); x += 2)
            light += QColor(picture.pixel(x, y)).lightness() > 200;
    const bool ok = average >= 0 && average < 110 && text.lightness() > 170 && light > 0;
    std::printf("dark check of %s: background lightness %d, text lightness %d, %d light pixels: %s\n",
                qPrintable(window.objectName()), average, text.lightness(), light, ok ? "ok" : "FAILED");
    return ok;
}

// Settings of the pictured windows live in a throw-away store.
CAppConfig& scratchConfig() {
    static CAppConfig config;
    return config;
}

QWidget* makeAbout() { return new CSplashWnd(nullptr); }

QWidget* makeAddProgram() {
    auto* dialog = new ProgramSelectDlg(scratchConfig());
    dialog->ui->programEdit->setText(QStringLiteral("firefox"));
    return dialog;
}

// The add-server dialog with a pasted link that is refused (its key is
// cut short), as the user sees the reason.
QWidget* makeAddServer() {
    static QTemporaryDir folder;
    auto* dialog = new AddServerDlg(folder.path() + QStringLiteral("/data/config/proxys.xml"));
    dialog->textEdit->setPlainText(
        QStringLiteral("veilnox://AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh@203.0.113.24:9200?tag=NL&country="
                       "Netherlands&city=Amsterdam"));
    dialog->tryAdd();
    return dialog;
}

// Mirrors the client's start-up: program folder as current folder, window
// icon and application style sheet.
void prepareApplication(QApplication& app) {
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    app.setApplicationName(Endpoints::applicationName());
    // The offscreen platform defaults to 12 pt type; desktops use 9 to 10 pt.
    QFont font = app.font();
    font.setPointSize(9);
    app.setFont(font);
    app.setWindowIcon(QIcon(QStringLiteral("data/images/icon.png")));
    app.setStyleSheet(ReadTextFile(QStringLiteral("data/common.qss")) + app.styleSheet());
    SetMessageBoxHook([](MessageKind, const QString& title, const QString& text) {
        std::fprintf(stderr, "message box: %s: %s\n", qPrintable(title), qPrintable(text));
        return false;
    });
    SetOpenUrlHook([](const QString&) { return false; });
}

bool saveShot(const Shot& shot, const QString& folder) {
    const QPalette desktop = QApplication::palette();
    if (shot.dark) QApplication::setPalette(DarkPalette());
    struct Restore {
        QPalette palette;
        ~Restore() { QApplication::setPalette(palette); }
    } restore{desktop};
    std::unique_ptr<QWidget> window(shot.make());
    if (!window) {
        std::printf("skipped %s\n", shot.name);
        return false;
    }
    window->show();
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    QPixmap picture = window->grab();
    QString file = folder + QLatin1Char('/') + QLatin1String(shot.name) + QStringLiteral(".png");
    bool ok = !picture.isNull() && picture.save(file, "PNG");
    std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "FAILED", qPrintable(file), picture.width(), picture.height());
    if (ok && shot.dark) ok = looksDark(*window, picture.toImage());
    window->hide();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists: the main-window shots write named objects,
    // which must not be those of a Veilnox running here.
    const bool privateObjects = EnterPrivateObjects();
    SetViewShotsPrivateObjects(privateObjects);
    SetAppShotsPrivateObjects(privateObjects);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Desktop sessions' 96 dpi (the offscreen platform says 100) unless
    // QT_FONT_DPI asks for another.
    if (qEnvironmentVariableIsEmpty("QT_FONT_DPI")) qputenv("QT_FONT_DPI", "96");
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: veilnox-screenshots OUTPUT_FOLDER [NAME...]\n");
        return 2;
    }
    QString folder = QDir(args.takeFirst()).absolutePath();
    prepareApplication(app);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(folder));
        return 1;
    }

    const std::vector<Shot> shots = {
        {"about", makeAbout},
        {"add-program", makeAddProgram},
        {"add-server", makeAddServer},
        {"settings-general", MakeSettingsGeneralShot},
        {"settings-programs", MakeSettingsProgramsShot},
        {"connections", MakeConnectionsShot},
        {"main-disconnected", MakeMainDisconnectedShot},
        {"main-connected", MakeMainConnectedShot},
        // The same windows on a dark desktop.
        {"main-connected-dark", MakeMainConnectedShot, true},
        {"settings-programs-dark", MakeSettingsProgramsShot, true},
        {"add-server-dark", makeAddServer, true},
    };

    int failures = 0;
    int taken = 0;
    for (const Shot& shot : shots) {
        if (!args.isEmpty() && !args.contains(QLatin1String(shot.name))) continue;
        ++taken;
        if (!saveShot(shot, folder)) ++failures;
    }
    if (taken == 0) {
        std::fprintf(stderr, "no shot matches\n");
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
