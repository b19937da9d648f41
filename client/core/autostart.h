#pragma once
// Start-with-the-session entry of the client, named by the application name.
// Linux: the XDG autostart file $XDG_CONFIG_HOME/autostart/<name>.desktop
// (default ~/.config/autostart), whose Exec line holds the program path.
// Windows: the value <name> under HKCU\...\CurrentVersion\Run.
// An entry that exists counts as enabled even when its value is empty; only
// a missing entry is disabled. Write failures are silent (false).
#include <QString>

// The value of entry `name`, or `missing` when there is no entry.
QString ReadAutostartValue(const QString& name, const QString& missing);
// True when an entry `name` exists; false for an empty name.
bool IsAutostartEnabled(const QString& name);
// Creates or replaces entry `name` with `path`, the client's own executable
// when `path` is empty.
bool EnableAutostart(const QString& name, const QString& path);
// Removes entry `name`.
bool DisableAutostart(const QString& name);
// The file that holds entry `name` (Linux) or the registry key (Windows).
QString AutostartLocation(const QString& name);
