#include "serverstate.h"

#include "logs.h"

ServerState& serverState() {
    // Deliberately never destroyed (see the header).
    static ServerState* state = new ServerState();
    return *state;
}

void logCaughtException(const char* what) noexcept {
    try {
        vnx::AppendServerLog(QString::fromLatin1(what) + QStringLiteral(" catch exception!"));
    } catch (...) {
        // Nothing left to report to.
    }
}
