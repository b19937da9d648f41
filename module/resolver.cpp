#include "resolver.h"

#include "dnsclient.h"
#include "realcalls.h"
#include "resolvconf.h"
#include "sockaddrs.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vnxmod {

namespace {
using Status = AddressList::Status;

void add(AddressList& list, int family, const std::uint8_t* a) {
    if (list.count >= 64) return;
    list.family[list.count] = family;
    std::memset(list.addr[list.count], 0, 16);
    std::memcpy(list.addr[list.count], a, family == AF_INET ? 4 : 16);
    ++list.count;
}

// ASCII only: the program's locale must not change which names match.
bool sameText(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
        if (!x) return true;
    }
}

// One fully qualified candidate: A and/or AAAA.
Status queryName(const ResolvConf& conf, const char* fqdn, bool want4, bool want6, const Verdict& v, AddressList& out) {
    bool noData = false, again = false;
    if (want4) {
        DnsAnswer a = DnsClient::query(conf, fqdn, kTypeA, v);
        if (a.status == DnsAnswer::Status::NoName) return Status::NoName;
        if (a.status == DnsAnswer::Status::Failed) again = true;
        if (a.status == DnsAnswer::Status::NoData) noData = true;
        for (std::size_t i = 0; i < a.count; ++i)
            add(out, AF_INET, a.addr[i]);
        if (a.count && !out.canonical[0]) std::memcpy(out.canonical, a.canonical, sizeof out.canonical);
    }
    if (want6) {
        DnsAnswer a = DnsClient::query(conf, fqdn, kTypeAaaa, v);
        if (a.status == DnsAnswer::Status::NoName && !out.count) return Status::NoName;
        if (a.status == DnsAnswer::Status::Failed) again = true;
        if (a.status == DnsAnswer::Status::NoData) noData = true;
        for (std::size_t i = 0; i < a.count; ++i)
            add(out, AF_INET6, a.addr[i]);
        if (a.count && !out.canonical[0]) std::memcpy(out.canonical, a.canonical, sizeof out.canonical);
    }
    if (out.count) return Status::Ok;
    if (again) return Status::TryAgain;
    return noData ? Status::NoData : Status::NoName;
}

// Which address families this machine has (besides loopback), as the C
// library decides for AI_ADDRCONFIG.
void configuredFamilies(bool& v4, bool& v6) {
    v4 = v6 = false;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        v4 = v6 = true;
        return;
    }
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr) continue;
        if (i->ifa_addr->sa_family == AF_INET) {
            if (reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr != htonl(INADDR_LOOPBACK)) v4 = true;
        } else if (i->ifa_addr->sa_family == AF_INET6) {
            if (!IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr)) v6 = true;
        }
    }
    freeifaddrs(list);
}

// The socket types, protocols and port of the request, from the C
// library itself: a numeric look-up of the wildcard address.
int templates(int family, const char* service, const addrinfo* hints, addrinfo** out) {
    addrinfo h{};
    if (hints) {
        h.ai_socktype = hints->ai_socktype;
        h.ai_protocol = hints->ai_protocol;
        h.ai_flags = hints->ai_flags & (AI_NUMERICSERV | AI_PASSIVE);
    }
    h.ai_flags |= AI_NUMERICHOST;
    h.ai_family = family;
    return RealCalls::getaddrinfo(family == AF_INET ? "0.0.0.0" : "::", service, &h, out);
}

addrinfo* cloneWith(const addrinfo* t, int family, const std::uint8_t* a) {
    const bool mapped = family == AF_INET && t->ai_family == AF_INET6;
    auto* node = static_cast<addrinfo*>(std::malloc(sizeof(addrinfo) + t->ai_addrlen));
    if (!node) return nullptr;
    *node = *t;
    node->ai_next = nullptr;
    node->ai_canonname = nullptr;
    node->ai_addr = reinterpret_cast<sockaddr*>(node + 1);
    std::memcpy(node->ai_addr, t->ai_addr, t->ai_addrlen);
    if (t->ai_family == AF_INET) {
        std::memcpy(&reinterpret_cast<sockaddr_in*>(node->ai_addr)->sin_addr, a, 4);
    } else {
        auto* b = reinterpret_cast<std::uint8_t*>(&reinterpret_cast<sockaddr_in6*>(node->ai_addr)->sin6_addr);
        if (mapped) {
            std::memset(b, 0, 10);
            b[10] = b[11] = 0xff;
            std::memcpy(b + 12, a, 4);
        } else {
            std::memcpy(b, a, 16);
        }
    }
    return node;
}

void freeList(addrinfo* ai) {
    while (ai) {
        addrinfo* next = ai->ai_next;
        std::free(ai->ai_canonname);
        std::free(ai);
        ai = next;
    }
}
}  // namespace

bool Resolver::divertsNames(const Verdict& verdict) { return verdict.dns; }

int Resolver::candidates(const ResolvConf& conf, const char* name, char (*out)[256]) {
    const std::size_t len = std::strlen(name);
    if (len == 0) return 0;
    const bool absolute = name[len - 1] == '.';
    int dots = 0;
    for (const char* p = name; *p; ++p)
        dots += *p == '.';
    int n = 0;
    auto push = [&](const char* a, const char* b) {
        // Longer than a domain name can be: never asked.
        if (std::strlen(a) + (b ? std::strlen(b) + 1 : 0) > 254) return;
        if (b)
            std::snprintf(out[n], sizeof out[n], "%s.%s", a, b);
        else
            std::snprintf(out[n], sizeof out[n], "%s", a);
        ++n;
    };
    if (absolute || dots >= conf.ndots) push(name, nullptr);
    if (!absolute)
        for (int i = 0; i < conf.searchCount; ++i)
            push(name, conf.search[i]);
    if (!absolute && dots < conf.ndots) push(name, nullptr);
    return n;
}

bool Resolver::isNumeric(const char* name, int af) {
    in_addr a4;
    in6_addr a6;
    if (af != AF_INET6 && inet_aton(name, &a4)) return true;
    return std::strchr(name, ':') != nullptr &&
           (af == AF_INET || inet_pton(AF_INET6, name, &a6) == 1 || std::strchr(name, '%') != nullptr);
}

AddressList Resolver::lookup(const char* name, bool want4, bool want6, const Verdict& verdict) {
    AddressList out;
    if (!name || !name[0] || std::strlen(name) > 253) return out;
    HostsResult h = HostsFile::lookup(kHosts, name, AF_UNSPEC);
    // The hosts file wins: a name listed there is answered from it alone
    // for the families it lists.
    bool hostsFor4 = false, hostsFor6 = false;
    for (std::size_t i = 0; i < h.count; ++i)
        (h.family[i] == AF_INET ? hostsFor4 : hostsFor6) = true;
    if (h.named && ((want4 && want6) || (want4 && hostsFor4) || (want6 && hostsFor6))) {
        for (int pass = 0; pass < 2; ++pass) {
            const int family = pass == 0 ? AF_INET : AF_INET6;
            if (!(family == AF_INET ? want4 : want6)) continue;
            for (std::size_t i = 0; i < h.count; ++i)
                if (h.family[i] == family) add(out, family, h.addr[i]);
        }
        std::memcpy(out.canonical, h.canonical, sizeof out.canonical);
        out.status = out.count ? Status::Ok : Status::NoData;
        return out;
    }
    if (sameText(name, "localhost") || sameText(name, "localhost.")) {
        static const std::uint8_t k4[4] = {127, 0, 0, 1};
        static const std::uint8_t k6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        if (want4) add(out, AF_INET, k4);
        if (want6) add(out, AF_INET6, k6);
        std::strcpy(out.canonical, "localhost");
        out.status = Status::Ok;
        return out;
    }
    ResolvConf conf = ResolvConf::load(kResolvConf);
    char names[ResolvConf::kMaxSearch + 1][256];
    const int n = candidates(conf, name, names);
    bool again = false, noData = false;
    for (int i = 0; i < n; ++i) {
        AddressList one;
        Status s = queryName(conf, names[i], want4, want6, verdict, one);
        if (s == Status::Ok) {
            one.status = Status::Ok;
            if (!one.canonical[0]) std::memcpy(one.canonical, names[i], sizeof one.canonical);
            return one;
        }
        again = again || s == Status::TryAgain;
        noData = noData || s == Status::NoData;
    }
    out.status = again ? Status::TryAgain : noData ? Status::NoData : Status::NoName;
    return out;
}

int Resolver::getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res,
                          const Verdict& verdict) {
    const int family = hints ? hints->ai_family : AF_UNSPEC;
    const int flags = hints ? hints->ai_flags : (AI_V4MAPPED | AI_ADDRCONFIG);
    bool want4 = family != AF_INET6, want6 = family != AF_INET;
    if (flags & AI_ADDRCONFIG) {
        bool has4, has6;
        configuredFamilies(has4, has6);
        if (family == AF_UNSPEC && (has4 || has6)) {
            want4 = has4;
            want6 = has6;
        } else if ((family == AF_INET && !has4) || (family == AF_INET6 && !has6)) {
            return EAI_NONAME;
        }
    }
    const bool mapV4 = family == AF_INET6 && (flags & AI_V4MAPPED);
    addrinfo* t4 = nullptr;
    addrinfo* t6 = nullptr;
    if (want4 && family != AF_INET6) {
        int r = templates(AF_INET, service, hints, &t4);
        if (r != 0) return r;
    }
    if (want6 || mapV4) {
        int r = templates(AF_INET6, service, hints, &t6);
        if (r != 0) {
            if (t4) freeaddrinfo(t4);
            return r;
        }
    }
    AddressList list = lookup(node, want4 && family != AF_INET6, want6, verdict);
    if (mapV4 && (list.count == 0 || (flags & AI_ALL))) {
        AddressList v4 = lookup(node, true, false, verdict);
        for (std::size_t i = 0; i < v4.count; ++i)
            add(list, AF_INET, v4.addr[i]);
        if (v4.count) {
            list.status = Status::Ok;
            if (!list.canonical[0]) std::memcpy(list.canonical, v4.canonical, sizeof list.canonical);
        } else if (list.status != Status::Ok && v4.status == Status::TryAgain) {
            list.status = Status::TryAgain;
        }
    }
    int rc = 0;
    addrinfo* head = nullptr;
    addrinfo** tail = &head;
    if (list.count == 0) {
        rc = list.status == Status::TryAgain ? EAI_AGAIN : list.status == Status::NoData ? EAI_NODATA : EAI_NONAME;
    } else {
        for (std::size_t i = 0; i < list.count && rc == 0; ++i) {
            const addrinfo* t = list.family[i] == AF_INET6 || family == AF_INET6 ? t6 : t4;
            for (; t; t = t->ai_next) {
                addrinfo* node2 = cloneWith(t, list.family[i], list.addr[i]);
                if (!node2) {
                    rc = EAI_MEMORY;
                    break;
                }
                *tail = node2;
                tail = &node2->ai_next;
            }
        }
        if (rc == 0 && !head) rc = EAI_NONAME;
        if (rc == 0 && (flags & AI_CANONNAME)) {
            head->ai_canonname = strdup(list.canonical[0] ? list.canonical : node);
            if (!head->ai_canonname) rc = EAI_MEMORY;
        }
    }
    if (t4) freeaddrinfo(t4);
    if (t6) freeaddrinfo(t6);
    if (rc != 0) {
        freeList(head);
        return rc;
    }
    *res = head;
    return 0;
}

int Resolver::hostent(const char* name, int af, struct hostent* ret, char* buf, std::size_t buflen,
                      struct hostent** result, int* herr, const Verdict& verdict) {
    *result = nullptr;
    AddressList list = lookup(name, af == AF_INET, af == AF_INET6, verdict);
    if (list.count == 0) {
        if (herr)
            *herr = list.status == Status::TryAgain ? TRY_AGAIN
                    : list.status == Status::NoData ? NO_DATA
                                                    : HOST_NOT_FOUND;
        return list.status == Status::TryAgain ? EAGAIN : 0;
    }
    const std::size_t addrLen = af == AF_INET ? 4 : 16;
    const char* canon = list.canonical[0] ? list.canonical : name;
    const std::size_t nameLen = std::strlen(canon) + 1;
    // Pointer arrays first (aligned), then the addresses, then the name.
    std::size_t align = reinterpret_cast<std::uintptr_t>(buf) % alignof(char*);
    if (align) align = alignof(char*) - align;
    const std::size_t need = align + sizeof(char*) * (1 + list.count + 1) + addrLen * list.count + nameLen;
    if (!buf || buflen < need) {
        if (herr) *herr = NETDB_INTERNAL;
        return ERANGE;
    }
    char** aliases = reinterpret_cast<char**>(buf + align);
    char** addrs = aliases + 1;
    char* data = reinterpret_cast<char*>(addrs + list.count + 1);
    aliases[0] = nullptr;
    for (std::size_t i = 0; i < list.count; ++i) {
        addrs[i] = data + i * addrLen;
        std::memcpy(addrs[i], list.addr[i], addrLen);
    }
    addrs[list.count] = nullptr;
    char* nameOut = data + list.count * addrLen;
    std::memcpy(nameOut, canon, nameLen);
    ret->h_name = nameOut;
    ret->h_aliases = aliases;
    ret->h_addrtype = af;
    ret->h_length = static_cast<int>(addrLen);
    ret->h_addr_list = addrs;
    *result = ret;
    if (herr) *herr = NETDB_SUCCESS;
    return 0;
}

AddressList::Status Resolver::reverse(int family, const std::uint8_t* addr, char* name, std::size_t cap,
                                      const Verdict& verdict) {
    static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (family == AF_INET6 && std::memcmp(addr, kMapped, 12) == 0) {
        family = AF_INET;
        addr += 12;
    }
    if (HostsFile::reverse(kHosts, family, addr, name, cap)) return Status::Ok;
    char query[80];
    if (family == AF_INET) {
        std::snprintf(query, sizeof query, "%u.%u.%u.%u.in-addr.arpa", addr[3], addr[2], addr[1], addr[0]);
    } else {
        static const char kHex[] = "0123456789abcdef";
        std::size_t n = 0;
        for (int i = 15; i >= 0; --i) {
            query[n++] = kHex[addr[i] & 0x0F];
            query[n++] = '.';
            query[n++] = kHex[addr[i] >> 4];
            query[n++] = '.';
        }
        std::snprintf(query + n, sizeof query - n, "ip6.arpa");
    }
    ResolvConf conf = ResolvConf::load(kResolvConf);
    DnsAnswer a = DnsClient::query(conf, query, kTypePtr, verdict);
    if (a.status == DnsAnswer::Status::Failed) return Status::TryAgain;
    if (a.status == DnsAnswer::Status::NoName) return Status::NoName;
    if (a.count == 0 || !a.target[0]) return Status::NoData;
    if (std::strlen(a.target) >= cap) return Status::NoName;
    std::snprintf(name, cap, "%s", a.target);
    return Status::Ok;
}

int Resolver::hostentByAddr(const void* addr, unsigned len, int type, struct hostent* ret, char* buf,
                            std::size_t buflen, struct hostent** result, int* herr, const Verdict& verdict) {
    *result = nullptr;
    const std::size_t addrLen = type == AF_INET ? 4 : 16;
    if ((type != AF_INET && type != AF_INET6) || len != addrLen) {
        if (herr) *herr = NETDB_INTERNAL;
        return EINVAL;
    }
    char name[256];
    const Status s = reverse(type, static_cast<const std::uint8_t*>(addr), name, sizeof name, verdict);
    if (s != Status::Ok) {
        if (herr) *herr = s == Status::TryAgain ? TRY_AGAIN : s == Status::NoData ? NO_DATA : HOST_NOT_FOUND;
        return s == Status::TryAgain ? EAGAIN : 0;
    }
    const std::size_t nameLen = std::strlen(name) + 1;
    std::size_t align = reinterpret_cast<std::uintptr_t>(buf) % alignof(char*);
    if (align) align = alignof(char*) - align;
    const std::size_t need = align + sizeof(char*) * 3 + addrLen + nameLen;
    if (!buf || buflen < need) {
        if (herr) *herr = NETDB_INTERNAL;
        return ERANGE;
    }
    char** aliases = reinterpret_cast<char**>(buf + align);
    char** addrs = aliases + 1;
    char* data = reinterpret_cast<char*>(addrs + 2);
    aliases[0] = nullptr;
    std::memcpy(data, addr, addrLen);
    addrs[0] = data;
    addrs[1] = nullptr;
    std::memcpy(data + addrLen, name, nameLen);
    ret->h_name = data + addrLen;
    ret->h_aliases = aliases;
    ret->h_addrtype = type;
    ret->h_length = static_cast<int>(addrLen);
    ret->h_addr_list = addrs;
    *result = ret;
    if (herr) *herr = NETDB_SUCCESS;
    return 0;
}

int Resolver::nameinfo(const sockaddr* sa, socklen_t salen, char* host, socklen_t hostlen, char* serv,
                       socklen_t servlen, int flags, const Verdict& verdict) {
    // The service part never needs the network: the C library does it.
    if (serv && servlen) {
        int rc = RealCalls::getnameinfo(sa, salen, nullptr, 0, serv, servlen, flags);
        if (rc != 0) return rc;
    }
    const std::uint8_t* addr;
    int family = sa->sa_family;
    if (family == AF_INET) {
        if (salen < static_cast<socklen_t>(sizeof(sockaddr_in))) return EAI_FAMILY;
        addr = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in*>(sa)->sin_addr);
    } else {
        if (salen < static_cast<socklen_t>(sizeof(sockaddr_in6))) return EAI_FAMILY;
        addr = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr);
    }
    char name[256];
    const Status s = reverse(family, addr, name, sizeof name, verdict);
    if (s == Status::Ok) {
        if (std::strlen(name) + 1 > hostlen) return EAI_OVERFLOW;
        std::snprintf(host, hostlen, "%s", name);
        return 0;
    }
    if (flags & NI_NAMEREQD) return s == Status::TryAgain ? EAI_AGAIN : EAI_NONAME;
    return RealCalls::getnameinfo(sa, salen, host, hostlen, nullptr, 0, flags | NI_NUMERICHOST);
}

}  // namespace vnxmod
