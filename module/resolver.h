#pragma once
// Name look-ups answered by the module while DNS is diverted: the hosts
// file first, then DNS through the local server (DnsClient). The C
// library's own resolver sends its queries from inside the library, where
// no interposed function can divert them; so the module answers
// getaddrinfo, gethostbyname*, the reverse look-ups (getnameinfo,
// gethostbyaddr*) and the resolver interface (res_*) itself.
#include "policy.h"
#include "resolvconf.h"

#include <netdb.h>
#include <cstddef>
#include <cstdint>

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

    // True when names should be looked up here: whenever DNS is diverted.
    // A local stub resolver is never asked (it would ask from the user's
    // address): its upstream is, or the look-up fails.
    static bool divertsNames(const Verdict& verdict);

    // The fully qualified names to try for `name`, in the order of the C
    // library's search rules (ndots, search list). Returns their count.
    static int candidates(const ResolvConf& conf, const char* name, char (*out)[256]);

    // Addresses of `name`: IPv4 when want4, IPv6 when want6 (IPv4 first).
    static AddressList lookup(const char* name, bool want4, bool want6, const Verdict& verdict);

    // getaddrinfo for a non-numeric node; the list is freed by the C
    // library's freeaddrinfo (same allocation layout).
    static int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res,
                           const Verdict& verdict);
    // gethostbyname2_r for a non-numeric name.
    static int hostent(const char* name, int af, struct hostent* ret, char* buf, std::size_t buflen,
                       struct hostent** result, int* herr, const Verdict& verdict);
    // The name of an address (AF_INET: 4 bytes, AF_INET6: 16; a mapped
    // IPv6 address is looked up as IPv4): the hosts file, then PTR.
    static AddressList::Status reverse(int family, const std::uint8_t* addr, char* name, std::size_t cap,
                                       const Verdict& verdict);
    // gethostbyaddr_r for an address of `type`.
    static int hostentByAddr(const void* addr, unsigned len, int type, struct hostent* ret, char* buf,
                             std::size_t buflen, struct hostent** result, int* herr, const Verdict& verdict);
    // getnameinfo for an AF_INET / AF_INET6 address whose host part is
    // wanted by name.
    static int nameinfo(const sockaddr* sa, socklen_t salen, char* host, socklen_t hostlen, char* serv,
                        socklen_t servlen, int flags, const Verdict& verdict);
    // True when the C library answers `name` without any query (numeric).
    static bool isNumeric(const char* name, int af);
};

}  // namespace vnxmod
