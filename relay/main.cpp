// veilnox-relay: serves the relay protocol (TCP, UDP and the connectivity
// probe) on one port until SIGTERM or SIGINT.
#include "listentry.h"
#include "relaykey.h"
#include "relayoptions.h"
#include "relayserver.h"

#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>

#ifndef VEILNOX_VERSION
#define VEILNOX_VERSION "0"
#endif

namespace {

int runRelay(int argc, char** argv) {
    int listEntryCode = 0;
    if (vnxrelay::printListEntry(argc, argv, &listEntryCode)) return listEntryCode;
    if (vnxrelay::runInitKey(argc, argv, &listEntryCode)) return listEntryCode;
    vnxrelay::RelayOptions opts;
    std::string error;
    switch (vnxrelay::parseRelayOptions(argc, argv, opts, error)) {
        case vnxrelay::ParseOutcome::Help: std::fputs(vnxrelay::relayHelpText(), stdout); return 0;
        case vnxrelay::ParseOutcome::Version: std::printf("veilnox-relay %s\n", VEILNOX_VERSION); return 0;
        case vnxrelay::ParseOutcome::Error:
            std::fprintf(stderr, "veilnox-relay: %s\nTry 'veilnox-relay --help' for more information.\n",
                         error.c_str());
            return 2;
        case vnxrelay::ParseOutcome::Run: break;
    }
    if (!vnxrelay::exposureAccepted(opts, error)) {
        std::fprintf(stderr, "veilnox-relay: %s\n", error.c_str());
        return 2;
    }

    // Writes to a peer that has gone report EPIPE instead of killing us.
    signal(SIGPIPE, SIG_IGN);
    // SIGTERM and SIGINT are read from a signalfd inside the event loop.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);

    vnxrelay::RelayServer server(opts);
    if (!server.open(error)) {
        std::fprintf(stderr, "veilnox-relay: %s\n", error.c_str());
        return 1;
    }
    std::printf("veilnox-relay listening on %s\n", server.listenAddressText().c_str());
    std::fflush(stdout);
    int code = server.run();
    if (!opts.quiet) std::fprintf(stderr, "veilnox-relay: stopped\n");
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return runRelay(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "veilnox-relay: fatal error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "veilnox-relay: fatal error\n");
    }
    return 1;
}
