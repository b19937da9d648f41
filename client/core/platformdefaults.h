#pragma once
// What the client does differently per system beyond the desktop's texts
// (desktop.h): the default of a redirect option, where the kernel capture
// service reports the connections it reset, and the text shown when the
// local server's port is held by another program. One implementation per
// system in ../platform/posix and ../platform/win, chosen by CMake.
#include <QString>

struct ModuleScriptsOutcome;

// Whether "redirectudp" is on when the settings do not hold the key. On
// Linux it is: otherwise a chosen program's UDP (QUIC, calls) would leave
// directly while the window shows Connected. Windows keeps it off.
bool RedirectUdpByDefault();

// The file in which the capture service reports, for this user, how many
// existing connections it reset when its policy started to cover programs
// ("<count> <unix-seconds>\n"): veilnox-capture.reset.<uid> in the folder of
// the service's state file (/run unless VEILNOX_CAPTURE_STATE moves it, see
// platform/capture.h). Empty where there is no such service.
QString CaptureResetFile();

// The message for a local server that could not bind its port because
// another program holds it (`status` kStatusTcpBind or kStatusUdpBind, the
// ports as the server published them). Linux names the port and the cause;
// Windows keeps its crash message.
QString PortHeldMessage(int status, int tcpPort, int udpPort, const QString& supportAddress);

// What the settings dialog's repair button says once its scripts ended:
// `moduleInstalled` (the module is in place afterwards), `captureRunning`
// (the kernel capture service runs afterwards) and what the scripts said
// and whether they were cancelled. Windows keeps its two texts. Linux
// reports the module and the capture service each as they are: success
// only when both are in place, otherwise which programs are redirected and
// why the service is not running.
QString RepairReportText(bool moduleInstalled, bool captureRunning, const ModuleScriptsOutcome& outcome);

// The built-in list of redirected programs that seeds a new user's rules
// file, relative to the program folder: the browsers of this system.
QString DefaultRulesFile();

// Whether a failed download of the built-in server list is only noted in
// the status bar while the user's own list has servers to show (which
// then show at once, the download following in the background). Linux
// does; Windows keeps its progress box and failure box.
bool ServerListDownloadInBackground();

// Whether the main window's log button is shown to everyone and opens the
// log viewer (Linux); Windows shows it in debug mode only, without a
// viewer.
bool LogViewerAvailable();
