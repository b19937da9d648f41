#pragma once
// Shots of the screenshot tool for the settings dialog (both pages) and the
// main window's Connections tab with rows filled by the traffic view.
// They run in a throw-away per-user world (a temporary folder for the data
// and configuration folders), so they never read or write the user's own
// settings, rules or autostart entry.
class QWidget;

// `privateObjects`: the process has a private /dev/shm (EnterPrivateObjects),
// so the main window may create and write the named objects. Without it the
// Connections shot is not taken (null).
void SetViewShotsPrivateObjects(bool privateObjects);

QWidget* MakeSettingsGeneralShot();
QWidget* MakeSettingsProgramsShot();
QWidget* MakeConnectionsShot();
