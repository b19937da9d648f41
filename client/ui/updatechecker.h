#pragma once
// UpdateChecker: learns the latest released version from the version
// document (a JSON object whose "ver" holds dotted text) and records it when
// it is newer than the running program. One instance per process
// (AppContext::updateChecker), GUI thread only.
//
// Paths that fetch the document:
//  - start(): the start-up check, asynchronous, with the checker's own
//    network access manager;
//  - CheckForUpdate(): the manual check of the settings dialog, through the
//    blocking DownloadHttpFile with a progress dialog;
//  - RunUpdateCheckDialog(): the settings dialog's whole button flow;
//  - AskForUpdateOnce(): the automatic question of the proxy-test tick.
#include <QObject>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;
class QNetworkReply;
class QProgressDialog;
class QWidget;

class UpdateChecker : public QObject {
    Q_OBJECT
public:
    // Endpoints from the environment overrides or the built-in defaults,
    // the running version from GetAppVersion().
    explicit UpdateChecker(QObject* parent = nullptr);
    // For tests: explicit endpoints and running version.
    UpdateChecker(const QStringList& endpoints, const QString& runningVersion, QObject* parent = nullptr);
    ~UpdateChecker() override;

    const QStringList& endpoints() const { return endpoints_; }
    QString currentEndpoint() const;
    // Switches currentEndpoint() to the other entry (when there are two).
    void switchEndpoint();

    // The newest version learned that is newer than the running one; empty
    // until one is learned, never cleared.
    const QString& newVersion() const { return newVersion_; }
    const QString& runningVersion() const { return runningVersion_; }

    // Handles one version document body. Not a JSON object: nothing learned
    // and the endpoint switches. Otherwise a newer "ver" is recorded and
    // versionNew emitted. Returns true when a version was recorded.
    bool handleVersionDocument(const QByteArray& body);

    // The start-up check: one asynchronous GET of currentEndpoint(). Its
    // body (empty after a network error, which only goes to the debug
    // output) is handled when the reply finishes; checkFinished follows.
    void start();

    // The manual check: fetch currentEndpoint() through DownloadHttpFile
    // with `progress`; when that gives no body, switch and fetch once more;
    // close `progress`; handle the body. True when newVersion() is set.
    bool CheckForUpdate(QProgressDialog* progress, int timeoutMs = 300000);

signals:
    void versionNew(QString strVer);
    // After each start-up check reply has been handled.
    void checkFinished();

private slots:
    void onReplyFinished();

private:
    QStringList endpoints_;
    int current_ = 0;
    QString newVersion_;
    QString runningVersion_;
    QNetworkAccessManager* manager_ = nullptr;
    QNetworkReply* reply_ = nullptr;
};

// The settings dialog's "Check New Update" button: a progress dialog
// ("Checking new version...", "Cancel", 0 to 500, parented to `parent`), the
// manual check, then "You have the latest version." or the question to
// download the new version, which opens `homepageUrl` on Yes.
enum class UpdateDialogOutcome { Latest, Declined, Opened };
UpdateDialogOutcome RunUpdateCheckDialog(UpdateChecker& checker, QWidget* parent, const QString& homepageUrl);

// The question "A new version of Veilnox (v%1) was found. Do you want to
// download the new version now?" for `version`.
QString NewVersionQuestion(const QString& version);

// The automatic question: when `updateAsked` is false and a newer version is
// known, sets `updateAsked`, asks, and opens `homepageUrl` on Yes. True when
// the question was put.
bool AskForUpdateOnce(UpdateChecker& checker, bool& updateAsked, const QString& homepageUrl);

// The status-bar text of the main window for a released version: one link
// to `homepageUrl` reading "Version %1 was released. Click here to update.".
QString VersionReleasedLink(const QString& version, const QString& homepageUrl);
