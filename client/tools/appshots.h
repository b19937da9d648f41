#pragma once
// Shots of the screenshot tool for the main window with a server list,
// disconnected and connected. Like the view shots they run in a throw-away
// per-user world and need the process's private /dev/shm (the window
// creates and writes the named objects); without it they are not taken.
class QWidget;

void SetAppShotsPrivateObjects(bool privateObjects);

QWidget* MakeMainDisconnectedShot();
QWidget* MakeMainConnectedShot();
