#pragma once
// Who may use the relay and where it may connect to.
//
// The relay protocol has no authentication, so a relay reachable from other
// hosts is an open proxy: the allow list limits the clients, and destinations
// inside the relay's own networks (loopback, link-local, private ranges) are
// refused unless allowPrivate is set, so that the relay cannot be used to
// reach services that are only meant for its own host or network.
//
// Pure functions of their arguments; safe to call from any thread.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct sockaddr;

namespace vnxrelay {

// One address range: an IPv4 (family AF_INET, the address in the first 4
// bytes) or IPv6 network and its prefix length.
struct Cidr {
    int family = 0;
    std::uint8_t addr[16] = {};
    unsigned prefix = 0;
};

// "a.b.c.d/n", "a.b.c.d", "x:y::z/n" or "x:y::z". An IPv4-mapped IPv6
// network with a prefix of at least 96 is turned into its IPv4 form. Host
// bits beyond the prefix are ignored. False on anything else.
bool parseCidr(const std::string& text, Cidr& out);

// An address reduced to its plain family: IPv4-mapped IPv6 addresses
// (::ffff:a.b.c.d) count as IPv4. False for other families.
struct PlainAddress {
    int family = 0;
    std::uint8_t addr[16] = {};
};
bool plainAddress(const sockaddr* sa, PlainAddress& out);

bool cidrContains(const Cidr& c, const PlainAddress& a);

// True for addresses that reach the relay's own host or its local networks:
// unspecified, "this network" (0/8), loopback, link-local, private (10/8,
// 172.16/12, 192.168/16, fc00::/7, fec0::/10), shared address space
// (100.64/10), multicast, reserved and broadcast (240/4), IPv4-compatible
// (::/96) and IPv4-mapped forms, and IPv4 addresses embedded in NAT64
// (64:ff9b::/96) and 6to4 (2002::/16) addresses.
bool isInternalAddress(const PlainAddress& a);

class AddressPolicy {
public:
    AddressPolicy() = default;
    AddressPolicy(std::vector<Cidr> allow, bool allowPrivate);

    // With an empty allow list every client may use the relay.
    bool clientAllowed(const sockaddr* client) const;
    // Unless allowPrivate, internal addresses and the host's own addresses
    // are refused. Unknown address families are always refused.
    bool destinationAllowed(const sockaddr* dest) const;

    // The addresses of the relay host's own interfaces.
    void setHostAddresses(std::vector<PlainAddress> addrs) { host_ = std::move(addrs); }
    bool isHostAddress(const PlainAddress& a) const;

private:
    std::vector<Cidr> allow_;
    std::vector<PlainAddress> host_;
    bool allowPrivate_ = false;
};

}  // namespace vnxrelay
