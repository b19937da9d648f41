#pragma once
// What the client does differently per system beyond the desktop's texts
// (desktop.h): the default of a redirect option, where the kernel capture
// service reports the connections it reset, and the text shown when the
// local server's port is held by another program. One implementation per
// system in ../platform/posix and ../platform/win, chosen by CMake.
#include <QString>

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
