#pragma once
// Log writers shared by both programs: the runtime log (one per program, in
// the per-user folder), the server's exception log, and the console log
// stream with its line prefix. Writers ignore their own failures.
#include <QDateTime>
#include <QString>
#include <QTextStream>

#include <cstdio>

namespace vnx {

// Appends "yyyy.dd.MM-hh:mm:ss>>: message" (CR LF, Latin-1) to
// <app data>/<application name>/logs/runtimelogs.txt; empty messages are
// dropped. Creates the folders on first use.
void AppendRuntimeLog(const QString& message);
// One runtime-log line for an event at `when` (without the CR LF).
QString runtimeLogLine(const QDateTime& when, const QString& message);
// The runtime log file of this program.
QString runtimeLogPath();

// Appends "<asctime text>: message" (CR LF line ends) to ./ipserverlog.txt.
// Safe from any thread.
void AppendServerLog(const QString& message);

// "hh:mm:ss[n]>> " where n counts the prefixes produced.
QString LogPrefix();
// The console log stream (standard output until retargeted).
QTextStream& logStream();
// With a file: the stream writes to it. With null: everything is dropped.
void setLogTarget(FILE* file);
// Writes prefix + message + line end to the console log stream.
void logLine(const QString& message);

}  // namespace vnx
