// veilnox: the desktop client.
#include "automation.h"
#include "clientapp.h"

int main(int argc, char** argv) {
    // Scripted runs only (VEILNOX_AUTOMATION_SOCKET, see automation.h).
    InstallAutomation();
    return RunClient(argc, argv);
}
