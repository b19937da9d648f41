#include "moduleactions.h"

#include "messages.h"

void InstallLspWithMessage() {
    if (IsLspInstalled()) {
        ShowMessage(QStringLiteral("Aready installed."));
        return;
    }
    ShowMessage(InstallLsp() ? QStringLiteral("Install successully") : QStringLiteral("Install failed."));
}

void RemoveLsp() {
    if (!IsLspInstalled()) {
        ShowMessage(QStringLiteral("Service does not exist."));
        return;
    }
    RunModuleScript(ModuleScriptPath(false));
    ShowMessage(IsLspInstalled() ? QStringLiteral("Remove failed.") : QStringLiteral("Remove successully"));
}

void RepairLsp() {
    RunFormatInstallPair();
    ShowMessage(IsLspInstalled()
                    ? QStringLiteral("Install Veilnox Service Success.")
                    : QStringLiteral("Install LSP module failed, please login as administrator and try again."));
}
