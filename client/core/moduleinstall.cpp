#include "moduleinstall.h"

#include "apphelpers.h"
#include "platform/capture.h"

#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <QTimer>

QString ModuleCatalogPath() { return GetAppDataDir() + QStringLiteral("/module/catalog"); }

bool IsRunningOnWow64() { return QSysInfo::currentCpuArchitecture().contains(QLatin1String("64")); }

bool IsCaptureActive() { return vnxplat::captureServiceRunning(vnxplat::captureStateFile()); }

QString RedirectModeText() {
    // No kernel capture service where the system's socket layer hosts the
    // module itself: the module reaches every program there.
    if (!*vnxplat::captureStateFile()) return QString();
    if (!IsCaptureActive()) return QStringLiteral("Only programs started with veilnox-run are redirected");
    // A kernel older than 6.7 cannot keep programs from a local resolver
    // daemon, which looks names up from the user's own address.
    if (vnxplat::captureResolversUnguarded(vnxplat::captureStateFile()))
        return QStringLiteral(
            "All programs are redirected; names looked up through a local resolver daemon may "
            "leak (kernel older than 6.7)");
    return QStringLiteral("All programs are redirected");
}

bool IsLspInstalled() {
    if (IsCaptureActive()) return true;
    QFile catalog(ModuleCatalogPath());
    if (!catalog.open(QIODevice::ReadOnly)) return false;
    const QByteArray id(kLspProviderId);
    // A catalog holds a few short lines; anything longer is not ours to read.
    constexpr qint64 kMaxLine = 64 * 1024;
    for (int lines = 0; lines < 100000 && !catalog.atEnd(); ++lines) {
        QByteArray line = catalog.readLine(kMaxLine).trimmed();
        int blank = line.indexOf(' ');
        QByteArray first = blank < 0 ? line : line.left(blank);
        if (first.compare(id, Qt::CaseInsensitive) == 0) return true;
    }
    return false;
}

QString ModuleScriptPath(bool install) {
    return QStringLiteral("bat/veilnox-%1%2.sh")
        .arg(install ? QStringLiteral("install") : QStringLiteral("format"),
             IsRunningOnWow64() ? QStringLiteral("64") : QStringLiteral("32"));
}

QString CaptureWordOf(const QByteArray& output) {
    const QByteArray prefix("veilnox-capture: ");
    QString word;
    for (const QByteArray& line : output.split('\n')) {
        const QByteArray text = line.trimmed();
        if (text.startsWith(prefix)) word = QString::fromUtf8(text.mid(prefix.size())).trimmed();
    }
    return word;
}

namespace {
// How much of a script's standard error is kept for the report.
constexpr int kMaxErrors = 64 * 1024;
// How long a script has after SIGTERM before it is killed.
constexpr int kTermGraceMs = 3000;
}  // namespace

ModuleScriptRun::ModuleScriptRun(const QStringList& scripts, int timeoutMs, QObject* parent)
    : QObject(parent), scripts_(scripts), timeoutMs_(timeoutMs) {
    deadline_ = new QTimer(this);
    deadline_->setSingleShot(true);
    connect(deadline_, &QTimer::timeout, this, [this] {
        outcome_.timedOut = true;
        failed_ = stop_ = true;
        stopScript();
    });
    killTimer_ = new QTimer(this);
    killTimer_->setSingleShot(true);
    connect(killTimer_, &QTimer::timeout, this, [this] {
        if (process_) process_->kill();
    });
}

ModuleScriptRun::~ModuleScriptRun() {
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->disconnect(this);
        process_->terminate();
        if (!process_->waitForFinished(kTermGraceMs)) {
            process_->kill();
            process_->waitForFinished(1000);
        }
    }
}

qint64 ModuleScriptRun::scriptPid() const {
    return process_ && process_->state() != QProcess::NotRunning ? process_->processId() : 0;
}

void ModuleScriptRun::start() {
    if (running_) return;
    running_ = true;
    next_ = 0;
    failed_ = stop_ = false;
    outcome_ = ModuleScriptsOutcome();
    startNext();
}

void ModuleScriptRun::cancel() {
    if (!running_ || outcome_.cancelled) return;
    outcome_.cancelled = true;
    failed_ = stop_ = true;
    if (process_)
        stopScript();
    else
        finish();
}

void ModuleScriptRun::stopScript() {
    if (!process_ || process_->state() == QProcess::NotRunning) return;
    process_->terminate();
    killTimer_->start(kTermGraceMs);
}

void ModuleScriptRun::startNext() {
    if (stop_ || next_ >= scripts_.size()) {
        finish();
        return;
    }
    process_ = new QProcess(this);
    connect(process_, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &ModuleScriptRun::onFinished);
    connect(process_, &QProcess::errorOccurred, this, &ModuleScriptRun::onError);
    if (!askPassword_) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VEILNOX_ASK_PASSWORD"), QStringLiteral("0"));
        process_->setProcessEnvironment(env);
    }
    deadline_->start(timeoutMs_);
    process_->start(QStringLiteral("sh"), {scripts_.at(next_++)});
}

void ModuleScriptRun::onError(QProcess::ProcessError error) {
    // A script that ran emits finished() as well; only one that never
    // started ends the run here.
    if (error != QProcess::FailedToStart || !process_) return;
    failed_ = stop_ = true;
    process_->deleteLater();
    process_ = nullptr;
    finish();
}

void ModuleScriptRun::onFinished(int exitCode, QProcess::ExitStatus status) {
    if (!process_) return;
    deadline_->stop();
    killTimer_->stop();
    const QString word = CaptureWordOf(process_->readAllStandardOutput());
    if (!word.isEmpty()) outcome_.captureWord = word;
    const QByteArray errors = process_->readAllStandardError();
    if (outcome_.errors.size() < kMaxErrors)
        outcome_.errors += QString::fromLocal8Bit(errors.left(kMaxErrors - outcome_.errors.size()));
    if (status != QProcess::NormalExit || exitCode != 0) failed_ = true;
    process_->deleteLater();
    process_ = nullptr;
    startNext();
}

void ModuleScriptRun::finish() {
    if (!running_) return;
    running_ = false;
    deadline_->stop();
    killTimer_->stop();
    outcome_.allSucceeded = !failed_ && next_ >= scripts_.size();
    emit finished();
}

namespace {
ModuleScriptsOutcome runAndWait(const QStringList& scripts, int timeoutMs) {
    ModuleScriptRun run(scripts, timeoutMs);
    QEventLoop loop;
    QObject::connect(&run, &ModuleScriptRun::finished, &loop, &QEventLoop::quit);
    run.start();
    if (run.isRunning()) loop.exec();
    return run.outcome();
}
}  // namespace

bool RunModuleScript(const QString& script, int timeoutMs) { return runAndWait({script}, timeoutMs).allSucceeded; }

QStringList FormatInstallPair() { return {ModuleScriptPath(false), ModuleScriptPath(true)}; }

ModuleScriptsOutcome RunFormatInstallPair() { return runAndWait(FormatInstallPair(), 120000); }

bool InstallLsp() {
    if (IsLspInstalled()) return true;
    RunFormatInstallPair();
    return IsLspInstalled();
}
