#pragma once
// Which traffic of this program is diverted right now, read from the proxy
// data block at each decision (the client may change it at any time).
//
// Diverted only while `connected` is 1, for a program that is not one of
// Veilnox's own and that either all programs or one of the program rules
// select. A rule matches the executable name case-insensitively, with or
// without a trailing ".exe"; a rule holding a path matches its last part.
#include "records.h"

#include <cstddef>
#include <cstdint>

namespace vnxmod {

struct Verdict {
    bool tcp = false;  // stream connections
    bool udp = false;  // datagrams (other than DNS)
    bool dns = false;  // name look-ups and datagrams to port 53
    std::uint16_t tcpPort = 0;  // local server ports, host order
    std::uint16_t udpPort = 0;
};

class Policy {
public:
    // Verdict for this process now; all false when no client block exists.
    static Verdict current();
    // Verdict for a block and a program name (tests).
    static Verdict evaluate(const vnx::ProxyData& block, const char* exeName, const char* argv0Name);
    // True when the UTF-16 rule (at most maxUnits code units, NUL-terminated
    // or not) names the program.
    static bool ruleMatches(const char16_t* rule, std::size_t maxUnits, const char* programName);
    // Veilnox's own programs are never diverted.
    static bool isVeilnoxProgram(const char* programName);
};

}  // namespace vnxmod
