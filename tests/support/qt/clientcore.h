#pragma once
// The client tests' Qt Core part of the test support (target
// vnx_qt_test_core, on veilnox_client_core and vnx_test_support, never Qt
// Widgets): the application object of a logic test, the program folder, a
// bounded wait that keeps the Qt event loop running, the per-user folders, the
// runtime log, whole files read and written, and the documents and records
// the tests hand to the client or read back (server lists, probe answers,
// rule names, traffic entries). The GUI suites get the
// widget part on top of it (qt/widgets.h, qt/clientworld.h). Used from the
// test's main thread.
#include "arrayxml.h"
#include "records.h"
#include "statusblock.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <functional>

class QCoreApplication;

namespace vnxtest {

// The QCoreApplication of a logic test process, created on first use with
// the program folder as the current folder, like the client. (The GUI suites
// create a QApplication instead: qt/widgets.h, app().)
QCoreApplication* coreApp();

// The argument list of the test's application object and what both kinds of
// it set once built (the name, the program folder as the current folder).
int& appArgc();
char** appArgv();
void settleApp();

// The program folder (build/bin): the test binaries live beside the
// programs, data/ and bat/.
QString binDir();

// Waits (processing Qt events, at most `ms`) until `condition` holds.
bool waitFor(const std::function<bool()>& condition, int ms = 5000);

// The content of the file at path; `missing` when it cannot be read.
QByteArray readFile(const QString& path, const QByteArray& missing = QByteArray());
// Writes content to path (replacing it, its folder made first); false on
// failure.
bool writeFile(const QString& path, const QByteArray& content);

// Reads the runtime log of the test process ("" when there is none).
QString runtimeLog();
// Points the per-user folders (XDG_DATA_HOME, XDG_CONFIG_HOME) at `root`.
void usePerUserRoot(const QString& root);

// A server element's attributes.
StringMap server(const QString& ip, const QString& port, const QString& country, const QString& city = "City",
                 const QString& protocol = "private");
// An "Array"/"Element" document holding `servers`.
QByteArray listXml(const QList<StringMap>& servers);

// An 8-byte probe answer: address (dotted) and connection count.
QByteArray probeAnswer(const char* ip, std::uint32_t connections);

// The name of a rule of the proxy data block (up to its terminator, at most
// the 128 characters of the field).
QString ruleName(const vnx::ProgramRule& rule);

// An AppStatus entry with the given name and counters.
vnx::AppStatus appEntry(const char* name, std::uint32_t udpSent = 0, std::uint32_t udpRecv = 0,
                        std::uint32_t udpRate = 0, std::uint32_t udpConnections = 0, std::uint32_t tcpRecv = 0,
                        std::uint32_t tcpSent = 0, std::uint32_t tcpRate = 0, std::uint32_t tcpConnections = 0);

}  // namespace vnxtest
