#pragma once
// A stand-in for the provider below the Veilnox provider, for tests that
// drive veilnoxlsp.dll through its WSPStartup: its functions record what
// they were asked and do it with the real Winsock, except that they refuse
// (WSAENETUNREACH) to connect or send anywhere but this machine, so that a
// test sees what would have left without anything leaving.
#include "platform/net.h"

#include <ws2spi.h>

#include <string>
#include <vector>

namespace lsptest {

// "192.0.2.10:80", "[2001:db8::10]:443"; "?" for anything else.
std::string addressText(const sockaddr* sa);

class FakeLower {
public:
    // The WSPStartup handed to the provider.
    static int WSPAPI startup(WORD version, LPWSPDATA data, LPWSAPROTOCOL_INFOW info, WSPUPCALLTABLE upcalls,
                              LPWSPPROC_TABLE table);
    // The table startup fills in.
    static WSPPROC_TABLE table();
    // The entries it was started for, in order.
    static std::vector<WSAPROTOCOL_INFOW> startedFor();

    // Calls as "connect ADDRESS", "connectex ADDRESS", "sendto ADDRESS",
    // "send", in the order they came.
    static std::vector<std::string> calls();
    static void clearCalls();
    // The address of the last call of a kind ("connect", "sendto",
    // "connectex"); empty when there was none since clearCalls.
    static std::string last(const std::string& kind);
};

}  // namespace lsptest
