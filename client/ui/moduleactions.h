#pragma once
// The module's maintenance buttons: install, repair and removal through
// moduleinstall.h, each followed by its message box (messages.h). The
// scripts run as child processes while a modal progress box with Cancel
// shows; the window keeps painting meanwhile.
#include "moduleinstall.h"

// The actions of the maintenance buttons, with their messages (ShowMessage):
// install button, uninstall button (RemoveLsp) and the settings dialog's
// repair button (RepairLsp). RepairLsp reports the module and, on Linux,
// the kernel capture service each as it is afterwards (RepairReportText),
// and the main window's status line follows.
void InstallLspWithMessage();
void RemoveLsp();
void RepairLsp();

// Runs `scripts` (ModuleScriptRun) behind a modal progress box titled with
// the application's name, saying `label`, with a Cancel button that ends
// them; returns once they ended. The box appears only when they take more
// than a moment.
ModuleScriptsOutcome RunModuleScriptsWithProgress(const QStringList& scripts, const QString& label);

// True while RunModuleScriptsWithProgress runs (its box's event loop lets
// timers run, which must not start a second run).
bool ModuleScriptsBusy();

// The first Connect's install: nothing when the module is installed;
// otherwise the format-then-install pair behind the progress box. True
// when the module is installed afterwards; false as well while another run
// is in progress, and when the user cancelled (`*cancelled` then true).
bool EnsureModuleInstalled(bool* cancelled = nullptr);

// The label of the progress box of a module script run.
QString ModuleProgressText();
