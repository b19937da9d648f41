#include "serverstate.h"

#include "logs.h"

#include <QTextCodec>

ServerState& serverState() {
    // Deliberately never destroyed (see the header).
    static ServerState* state = [] {
        // The error log converts text with the locale's codec, which Qt
        // builds on first use behind a lock that ThreadSanitizer cannot see.
        // Build it here, before any worker thread can be the first.
        QTextCodec::codecForLocale();
        return new ServerState();
    }();
    return *state;
}

void logCaughtException(const char* what) noexcept {
    try {
        vnx::AppendServerLog(QString::fromLatin1(what) + QStringLiteral(" catch exception!"));
    } catch (...) {
        // Nothing left to report to.
    }
}
