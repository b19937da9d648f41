// veilnoxsvr: the local redirect server. Started by the client with the
// argument "hide"; exits with -1 when it may not run (no client, or another
// server is running) and with 0 when its timer loop ends.
#include "consolestatus.h"
#include "logcore.h"
#include "platform/net.h"
#include "platform/serversupport.h"
#include "platform/system.h"
#include "rlocalcmdstatus.h"
#include "rsockproxy.h"
#include "rveilnoxsvr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
void printUsage() {
    std::printf(
        "Usage: veilnoxsvr [hide]\n"
        "\n"
        "The Veilnox local redirect server. The Veilnox client starts it; it relays the\n"
        "TCP connections and UDP datagrams that the network-stack module diverts to\n"
        "127.0.0.1 and ::1, port 9111, to their destinations, directly or through the\n"
        "proxy server selected in the client.\n"
        "\n"
        "  hide       end when the client has gone (its main window closed)\n"
        "  --help     show this text and exit\n"
        "  --version  show the version and exit\n"
        "\n"
        "Console keys: p = detailed logs on, any other key = off, Enter = status.\n"
        "Exit codes: -1 when the client is not running or another server runs, 3 when\n"
        "a port of the server cannot be bound, else 0.\n");
}

// Where the platform refuses them (see serverRejectsUnknownArguments): an
// argument the server does not know. Nothing else is done.
int refuseArgument(const char* arg) {
    std::fprintf(stderr, "veilnoxsvr: unknown argument '%s'\nTry 'veilnoxsvr --help' for more information.\n", arg);
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
    // Lines reach a pipe (the client, a test) as they are written.
    vnxplat::lineBufferedStdout();
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        printUsage();
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("veilnoxsvr %s\n", VEILNOX_VERSION);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "hide") != 0 && vnxplat::serverRejectsUnknownArguments())
        return refuseArgument(argv[1]);
    // Console output to a pipe whose reader has gone must not end the server.
    vnxplat::ignoreBrokenPipe();
    // Every tunnel holds two descriptors.
    vnxplat::raiseDescriptorLimit();

    // The runtime log is named after the program, as it was started.
    vnx::setLogApplicationName(vnx::programBaseName(argc > 0 ? argv[0] : "veilnoxsvr"));
    vnxplat::netInit();
    // Integration tests shorten the upstream connect limit instead of
    // waiting 20 s for an upstream that never answers.
    if (const char* ms = std::getenv("VEILNOX_TEST_CONNECT_LIMIT_MS")) RSockProxy::setConnectLimitMs(std::atoi(ms));
    auto* server = new RVeilnoxSvr();
    if (argc > 1 && std::strcmp(argv[1], "hide") == 0) server->hide = true;
    if (!server->start()) {
        delete server;
        return -1;
    }
    vnxplat::sleepMs(1);
    auto* console = new RLocalCmdStatus();
    console->start();
    setDetailedLogs(false);
    printConnectionSummary();
    const int result = server->exec();
    delete server;
    // Detached threads (tunnels, relay, console) still run: the process ends
    // without running static destructors under them.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(result);
}
