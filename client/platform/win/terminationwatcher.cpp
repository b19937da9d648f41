#include "terminationwatcher.h"

// Windows ends a GUI program by closing its windows (WM_CLOSE, then
// WM_ENDSESSION at logoff), which reaches MainWindow::closeEvent directly;
// there is nothing to install.
TerminationWatcher::TerminationWatcher(QObject* parent) : QObject(parent) {}
TerminationWatcher::~TerminationWatcher() = default;
bool TerminationWatcher::install() { return false; }
void TerminationWatcher::onSignalled() { emit terminationRequested(); }
