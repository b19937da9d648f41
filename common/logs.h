#pragma once
// The log writers of logcore.h with the client's Qt text types: the runtime
// log (one per program, in the per-user folder, named after the Qt
// application name), the server's exception log, and the console log stream
// with its line prefix. Writers ignore their own failures.
#include "logcore.h"

#include <QDateTime>
#include <QString>

namespace vnx {

// Appends "yyyy.dd.MM-hh:mm:ss>>: message" (CR LF, Latin-1) to
// <app data>/<application name>/logs/runtimelogs.txt; empty messages are
// dropped. Creates the folders on first use.
void AppendRuntimeLog(const QString& message);
// One runtime-log line for an event at `when` (without the CR LF).
QString runtimeLogLine(const QDateTime& when, const QString& message);
// The runtime log file of this program.
QString runtimeLogPath();

// Appends "<asctime text>: message" (CR LF line ends, the message in the
// locale's encoding) to ./ipserverlog.txt. Safe from any thread.
void AppendServerLog(const QString& message);

// "hh:mm:ss[n]>> " where n counts the prefixes produced.
QString LogPrefix();
// Writes prefix + message + line end to the console log stream (see
// setLogTarget in logcore.h).
void logLine(const QString& message);

}  // namespace vnx
