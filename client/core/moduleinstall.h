#pragma once
// The network-stack module: whether it is installed, and its install,
// repair and removal through the scripts shipped in "bat/". On Linux the
// module's catalog is the per-user file <data root>/Veilnox/module/catalog,
// one line per installed provider: "{GUID} <path of the module library>".
// The install script adds the module's line, the format script removes it.
//
// Every decision is a fresh look at the catalog; nothing is cached. The
// scripts run as child processes (sh), relative to the current folder, which
// is the program folder; the caller's event loop keeps running while they
// do (ModuleScriptRun), so a script that waits for the administrator's
// password does not freeze the window.
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

class QTimer;

// The provider id by which the installed module is recognised.
constexpr const char* kLspProviderId = "{D3C21122-85E1-53F3-9BB6-23D30C7B09EF}";

// The catalog file.
QString ModuleCatalogPath();

// True when the "64" script pair is the one to run: the machine is 64-bit.
bool IsRunningOnWow64();

// True while the kernel capture service runs with its hooks attached: it
// redirects every program, however started.
bool IsCaptureActive();

// The status line that says what protects the user: every program (the
// capture service) or only programs started through veilnox-run. Empty
// where the module always reaches every program.
QString RedirectModeText();

// True when the capture service runs, or a catalog line names the module's
// provider id (ignoring case). A missing or unreadable catalog counts as
// not installed.
bool IsLspInstalled();

// The script of the detected machine kind: "bat/veilnox-format64.sh",
// "bat/veilnox-install32.sh", ...
QString ModuleScriptPath(bool install);

// What one run of the module's scripts did.
struct ModuleScriptsOutcome {
    bool cancelled = false;     // ended by cancel()
    bool timedOut = false;      // a script ran longer than allowed and was ended
    bool allSucceeded = false;  // every script started and exited 0
    // The last word of the scripts on the kernel capture service: the text
    // after "veilnox-capture: " of the last such line they printed
    // ("running", "started", "not started: REASON"); empty when none did.
    QString captureWord;
    // Everything they printed on standard error (at most 64 KiB).
    QString errors;
};

// The word on the capture service in `output` (a script's standard output),
// as ModuleScriptsOutcome::captureWord.
QString CaptureWordOf(const QByteArray& output);

// Runs scripts one after the other ("sh <script>") without blocking the
// caller: finished() is emitted once, after the last script ended, one
// failed to start, timed out, or cancel() was called. A script that exits
// non-zero does not keep the next from running (the format script's failure
// must not keep the install script from putting the module in place). Standard output and
// error are read (stdout for the capture word). A script's run is bounded by
// `timeoutMs`; a script that outlives it or is cancelled gets SIGTERM (the
// install script then ends what it started, such as a password prompt) and,
// 3 s later, SIGKILL.
class ModuleScriptRun : public QObject {
    Q_OBJECT
public:
    explicit ModuleScriptRun(const QStringList& scripts, int timeoutMs = 120000, QObject* parent = nullptr);
    ~ModuleScriptRun() override;

    // Without a password prompt: the install script then leaves a capture
    // service that needs the administrator's password alone (the silent
    // repair of a running connection must not pop one up).
    void setAskPassword(bool ask) { askPassword_ = ask; }

    void start();
    void cancel();
    bool isRunning() const { return running_; }
    const ModuleScriptsOutcome& outcome() const { return outcome_; }
    // The process id of the script now running, 0 when none.
    qint64 scriptPid() const;

signals:
    void finished();

private:
    void startNext();
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void onError(QProcess::ProcessError error);
    void stopScript();
    void finish();

    QStringList scripts_;
    int timeoutMs_;
    bool askPassword_ = true;
    int next_ = 0;
    bool running_ = false;
    bool failed_ = false;  // a script failed (the next ones still run)
    bool stop_ = false;    // cancelled, timed out or not started: nothing more runs
    QProcess* process_ = nullptr;
    QTimer* deadline_ = nullptr;
    QTimer* killTimer_ = nullptr;
    ModuleScriptsOutcome outcome_;
};

// Runs one script as ModuleScriptRun does and waits for it in a local event
// loop (the caller's timers and windows keep running meanwhile). False when
// it could not be started, timed out or failed; callers judge success by
// IsLspInstalled afterwards, not by this result.
bool RunModuleScript(const QString& script, int timeoutMs = 120000);

// The format script, then the install script, of the detected kind.
QStringList FormatInstallPair();

// Runs the pair and waits for it as RunModuleScript does.
ModuleScriptsOutcome RunFormatInstallPair();

// Makes sure the module is installed: nothing runs when it is; otherwise
// the format-then-install pair. True when it is installed afterwards.
bool InstallLsp();
