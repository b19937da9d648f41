#pragma once
// The module's maintenance buttons: install, repair and removal through
// moduleinstall.h, each followed by its message box (messages.h).
#include "moduleinstall.h"

// The actions of the maintenance buttons, with their messages (ShowMessage):
// install button, uninstall button (RemoveLsp) and the settings dialog's
// repair button (RepairLsp).
void InstallLspWithMessage();
void RemoveLsp();
void RepairLsp();
