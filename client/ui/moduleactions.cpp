#include "moduleactions.h"

#include "appcontext.h"
#include "endpoints.h"
#include "mainwindow.h"
#include "messages.h"
#include "platformdefaults.h"

#include <QEventLoop>
#include <QProgressDialog>

namespace {

bool gBusy = false;

// Shows the mode line again: the scripts may have started or stopped the
// capture service.
void refreshStatusLine() {
    if (MainWindow* window = appContext().mainWindow) window->refreshModeLabel();
}

}  // namespace

QString ModuleProgressText() { return QStringLiteral("Installing the Veilnox module..."); }

bool ModuleScriptsBusy() { return gBusy; }

ModuleScriptsOutcome RunModuleScriptsWithProgress(const QStringList& scripts, const QString& label) {
    ModuleScriptRun run(scripts);
    QProgressDialog progress(label, QStringLiteral("Cancel"), 0, 0);
    progress.setWindowTitle(Endpoints::applicationName());
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    // A quick run (the module only) shows no box at all.
    progress.setMinimumDuration(400);
    QObject::connect(&progress, &QProgressDialog::canceled, &run, &ModuleScriptRun::cancel);
    QEventLoop loop;
    QObject::connect(&run, &ModuleScriptRun::finished, &loop, &QEventLoop::quit);
    gBusy = true;
    run.start();
    if (run.isRunning()) loop.exec();
    gBusy = false;
    progress.close();
    refreshStatusLine();
    return run.outcome();
}

bool EnsureModuleInstalled(bool* cancelled) {
    if (cancelled) *cancelled = false;
    if (IsLspInstalled()) return true;
    if (gBusy) return false;
    const ModuleScriptsOutcome outcome = RunModuleScriptsWithProgress(FormatInstallPair(), ModuleProgressText());
    if (cancelled) *cancelled = outcome.cancelled;
    return IsLspInstalled();
}

void InstallLspWithMessage() {
    if (IsLspInstalled()) {
        ShowMessage(QStringLiteral("Aready installed."));
        return;
    }
    if (gBusy) return;
    RunModuleScriptsWithProgress(FormatInstallPair(), ModuleProgressText());
    ShowMessage(IsLspInstalled() ? QStringLiteral("Install successully") : QStringLiteral("Install failed."));
}

void RemoveLsp() {
    if (!IsLspInstalled()) {
        ShowMessage(QStringLiteral("Service does not exist."));
        return;
    }
    if (gBusy) return;
    RunModuleScriptsWithProgress({ModuleScriptPath(false)}, QStringLiteral("Removing the Veilnox module..."));
    ShowMessage(IsLspInstalled() ? QStringLiteral("Remove failed.") : QStringLiteral("Remove successully"));
}

void RepairLsp() {
    if (gBusy) return;
    const ModuleScriptsOutcome outcome =
        RunModuleScriptsWithProgress(FormatInstallPair(), QStringLiteral("Repairing the Veilnox installation..."));
    const bool captureRunning = IsCaptureActive() || outcome.captureWord == QLatin1String("started") ||
                                outcome.captureWord == QLatin1String("running");
    ShowMessage(RepairReportText(IsLspInstalled(), captureRunning, outcome));
}
