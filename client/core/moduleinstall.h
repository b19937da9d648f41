#pragma once
// The network-stack module: whether it is installed, and its install,
// repair and removal through the scripts shipped in "bat/". On Linux the
// module's catalog is the per-user file <data root>/Veilnox/module/catalog,
// one line per installed provider: "{GUID} <path of the module library>".
// The install script adds the module's line, the format script removes it.
//
// Every decision is a fresh look at the catalog; nothing is cached. The
// scripts run synchronously on the calling (GUI) thread, relative to the
// current folder, which is the program folder.
#include <QString>

// The provider id by which the installed module is recognised.
constexpr const char* kLspProviderId = "{D3C21122-85E1-53F3-9BB6-23D30C7B09EF}";

// The catalog file.
QString ModuleCatalogPath();

// True when the "64" script pair is the one to run: the machine is 64-bit.
bool IsRunningOnWow64();

// True while the kernel capture service runs with its hooks attached: it
// redirects every program, however started.
bool IsCaptureActive();

// The status line that says what protects the user: every program (the
// capture service) or only programs started through veilnox-run. Empty
// where the module always reaches every program.
QString RedirectModeText();

// True when the capture service runs, or a catalog line names the module's
// provider id (ignoring case). A missing or unreadable catalog counts as
// not installed.
bool IsLspInstalled();

// The script of the detected machine kind: "bat/veilnox-format64.sh",
// "bat/veilnox-install32.sh", ...
QString ModuleScriptPath(bool install);

// Runs "sh <script>" and waits for it (at most `timeoutMs`; a script that
// hangs is killed so that the window cannot freeze for ever). False when it
// could not be started, timed out or failed; callers judge success by
// IsLspInstalled afterwards, not by this result.
bool RunModuleScript(const QString& script, int timeoutMs = 120000);

// Runs the format script, then the install script, of the detected kind.
void RunFormatInstallPair();

// Makes sure the module is installed: nothing runs when it is; otherwise
// the format-then-install pair. True when it is installed afterwards.
bool InstallLsp();
