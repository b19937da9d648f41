#pragma once
// Name look-ups answered by the module while DNS is diverted: the hosts
// file first, then DNS through the local server (DnsClient). The C
// library's own resolver sends its queries from inside the library, where
// no interposed function can divert them; so the module answers
// getaddrinfo and gethostbyname* itself.
#include "policy.h"

#include <cstddef>
#include <cstdint>
#include <netdb.h>

namespace vnxmod {

struct AddressList {
    enum class Status { Ok, NoName, NoData, TryAgain };
    Status status = Status::NoName;
    std::size_t count = 0;
    int family[64];
    std::uint8_t addr[64][16];
    char canonical[256] = {};
};

class Resolver {
public:
    static constexpr const char* kResolvConf = "/etc/resolv.conf";
    static constexpr const char* kHosts = "/etc/hosts";

    // True when names should be looked up here: DNS is diverted and a
    // nameserver that is not on this machine is configured (a local stub
    // resolver is left to the C library).
    static bool divertsNames(const Verdict& verdict);

    // Addresses of `name`: IPv4 when want4, IPv6 when want6 (IPv4 first).
    static AddressList lookup(const char* name, bool want4, bool want6, const Verdict& verdict);

    // getaddrinfo for a non-numeric node; the list is freed by the C
    // library's freeaddrinfo (same allocation layout).
    static int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res,
                           const Verdict& verdict);
    // gethostbyname2_r for a non-numeric name.
    static int hostent(const char* name, int af, struct hostent* ret, char* buf, std::size_t buflen,
                       struct hostent** result, int* herr, const Verdict& verdict);
    // True when the C library answers `name` without any query (numeric).
    static bool isNumeric(const char* name, int af);
};

}  // namespace vnxmod
