#pragma once
// The log writers of both programs, without Qt: the runtime log (one per
// program, in the per-user folder), the server's exception log, and the
// console log stream with its line prefix. Text is taken and written as the
// bytes given. Writers ignore their own failures. logs.h puts the client's
// Qt API on top of these.
#include <cstdio>
#include <ctime>
#include <string>

namespace vnx {

// The application name whose runtime log this process writes (the folder
// under the per-user data folder). The server sets its program name at
// start; safe from any thread.
void setLogApplicationName(const std::string& name);
std::string logApplicationName();
// "veilnoxsvr" for "/usr/bin/veilnoxsvr" or "C:\\Veilnox\\veilnoxsvr.exe":
// the file name of a program path, without its extension.
std::string programBaseName(const std::string& path);

// <per-user data folder>/<application name>/logs/runtimelogs.txt (the folder
// as vnxplat::appDataRoot gives it, UTF-8 on Windows).
std::string runtimeLogFile(const std::string& applicationName);
// "yyyy.dd.MM-hh:mm:ss>>: message" for an event at `when` (local time),
// without the line end.
std::string runtimeLogText(const std::tm& when, const std::string& message);
// Appends the line of `message` (stamped now, CR LF) to the runtime log of
// logApplicationName(); empty messages are dropped. Creates the folders on
// first use.
void writeRuntimeLog(const std::string& message);
// The same to the runtime log file `path`.
void writeRuntimeLogTo(const std::string& path, const std::string& message);

// Appends "<asctime text>: message" (CR LF line ends, English day and month
// names whatever the locale) to ./ipserverlog.txt. Safe from any thread.
void writeServerLog(const std::string& message);

// "hh:mm:ss[n]>> " where n counts the prefixes produced.
std::string consolePrefix();
// The console log stream writes to `file` (standard output until
// retargeted); with null, everything written to it is dropped.
void setLogTarget(FILE* file);
// Writes prefix + message + line end to the console log stream and flushes.
void writeLogLine(const std::string& message);

}  // namespace vnx
