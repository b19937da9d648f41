#pragma once
// Sends the module's own DNS queries through the local server (the
// resolver then sees the proxy's address): over the diverted UDP path, and
// over a diverted TCP connection when a reply is truncated.
#include "dnsmessage.h"
#include "policy.h"
#include "resolvconf.h"

namespace vnxmod {

class DnsClient {
public:
    // Asks the configured servers (in order, `attempts` rounds, `timeout`
    // each) for name/type. Failed when no server answered.
    static DnsAnswer query(const ResolvConf& conf, const char* name, std::uint16_t type, const Verdict& verdict);

private:
    static bool exchangeUdp(const vnx::REndpoint& server, const std::uint8_t* query, std::size_t len,
                            std::uint16_t id, const char* name, std::uint16_t type, int timeoutMs,
                            const Verdict& verdict, DnsAnswer& out);
    static bool exchangeTcp(const vnx::REndpoint& server, const std::uint8_t* query, std::size_t len,
                            std::uint16_t id, const char* name, std::uint16_t type, int timeoutMs,
                            const Verdict& verdict, DnsAnswer& out);
};

}  // namespace vnxmod
