#pragma once
// Which traffic of this program is diverted right now, read from the proxy
// data block at each decision (the client may change it at any time).
//
// Diverted only while `connected` is 1, for a program that is not one of
// Veilnox's own and that either all programs or one of the program rules
// select. A rule matches the executable name case-insensitively, with or
// without a trailing ".exe"; a rule holding a path matches its last part.
//
// Failing closed when the block cannot be read: a program that loses sight
// of it (it called setuid, runs with a private /dev/shm, or the client and
// the local server were killed before it first looked) keeps failing what
// was diverted when it last saw the client connected, and fails everything
// when veilnox-run started it while the client was connected (the
// environment marker kConnectedMarker, inherited by its children). What the
// module cannot tell: a program started some other way (LD_PRELOAD set by
// hand, or the marker removed from its environment, as env -i does) that
// never saw the block goes direct; and a program started while connected
// that first looks after the user has disconnected and quit the client
// fails until it is restarted.
#include "records.h"

#include <cstddef>
#include <cstdint>

namespace vnxmod {

struct Verdict {
    bool tcp = false;           // stream connections
    bool udp = false;           // datagrams (other than DNS)
    bool dns = false;           // name look-ups and datagrams to port 53
    std::uint16_t tcpPort = 0;  // local server ports, host order
    std::uint16_t udpPort = 0;
};

class Policy {
public:
    // Set to "1" by veilnox-run in the environment of a program it starts
    // while the client is connected.
    static constexpr const char* kConnectedMarker = "VEILNOX_RUN_CONNECTED";
    // Verdict for this process now; all false when no client block exists.
    static Verdict current();
    // Verdict for a block and a program name (tests).
    static Verdict evaluate(const vnx::ProxyData& block, const char* exeName, const char* argv0Name);
    // Why a program is (or is not) diverted by a block, the first of these
    // that applies: no block (no client running), one of Veilnox's own
    // programs, not chosen (neither all programs nor a rule), every kind
    // (TCP, UDP, DNS) switched off, not connected. Diverted otherwise.
    enum class Reason { Diverted, NoClient, OwnProgram, NotChosen, NothingRedirected, NotConnected };
    static Reason explain(const vnx::ProxyData* block, const char* exeName, const char* argv0Name);
    // True when the UTF-16 rule (at most maxUnits code units, NUL-terminated
    // or not) names the program.
    static bool ruleMatches(const char16_t* rule, std::size_t maxUnits, const char* programName);
    // The verdict while the block cannot be read, from the last state seen
    // (0 none, 1 disconnected, 2 connected with kinds tcp 1, udp 2, dns 4)
    // and the launch marker. Its ports are 0, so diverted traffic fails.
    static Verdict whenUnseen(int lastState, int lastKinds, bool startedConnected);
    // Veilnox's own programs are never diverted.
    static bool isVeilnoxProgram(const char* programName);
};

}  // namespace vnxmod
