#pragma once
// Sends the module's own DNS queries through the local server (the
// resolver then sees the proxy's address): over the diverted UDP path, and
// over a diverted TCP connection when a reply is truncated.
//
// Queries go to the nameservers of resolv.conf; a nameserver on this host
// (a caching stub such as 127.0.0.53) is replaced by the resolver it asks
// itself (vnx::chooseDnsUpstream), since the stub would send the query from
// the user's own address. With only local stubs and no upstream known,
// look-ups fail rather than leave that way.
//
// An answer is accepted only when it came from the reply socket the local
// server recorded for it (a UDPRECV record for that port and length, source
// 127.0.0.1 exactly), names the server that was asked as its source, and
// repeats the query's id and question. Query ids are random, and each query
// uses a fresh socket on a port the kernel picks at random.
#include "dnsmessage.h"
#include "policy.h"
#include "resolvconf.h"

namespace vnxmod {

class DnsClient {
public:
    // Asks the configured servers (in order, `attempts` rounds, `timeout`
    // each) for name/type. Failed when no server answered.
    static DnsAnswer query(const ResolvConf& conf, const char* name, std::uint16_t type, const Verdict& verdict);

    // Sends a complete query message (as the program built it; its id and
    // question are what the answer must repeat) and copies the answer into
    // `answer`. Returns the answer's full length (the copy is cut at cap),
    // or -1 when no server answered.
    static int exchange(const ResolvConf& conf, const std::uint8_t* query, std::size_t len, std::uint8_t* answer,
                        std::size_t cap, const Verdict& verdict);

    // The servers queries go to: each local nameserver replaced by the
    // upstream resolver (once). Returns the count (0: none usable).
    static int servers(const ResolvConf& conf, vnx::REndpoint* out, int cap);

    // True when `reply` answers `query`: a response with the same id and
    // opcode, and the same question section (names compared without regard
    // to ASCII case).
    static bool answers(const std::uint8_t* query, std::size_t qlen, const std::uint8_t* reply, std::size_t rlen);

private:
    static int exchangeUdp(const vnx::REndpoint& server, const std::uint8_t* query, std::size_t len,
                           std::uint8_t* answer, std::size_t cap, int timeoutMs, const Verdict& verdict,
                           bool& truncated);
    static int exchangeTcp(const vnx::REndpoint& server, const std::uint8_t* query, std::size_t len,
                           std::uint8_t* answer, std::size_t cap, int timeoutMs, const Verdict& verdict);
};

}  // namespace vnxmod
