#pragma once
// Shared pieces of the client's logic tests (tests/unit, linked with the
// window-free core only): the application object, the per-user folders, the
// runtime log and the server-list documents. The GUI suites reach them
// through clientlib_support.h.
#include "arrayxml.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

class QCoreApplication;

namespace clienttest {

// The QCoreApplication of a logic test process, created on first use with
// the program folder as the current folder, like the client. (The GUI suites
// create a QApplication instead: clientlib_support.h, app().)
QCoreApplication* coreApp();

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

}  // namespace clienttest
