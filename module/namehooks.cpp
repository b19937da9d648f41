// The look-up functions beyond getaddrinfo and gethostbyname*: reverse
// look-ups (getnameinfo, gethostbyaddr*), the resolver interface (res_*,
// also under the names older C libraries export) and getaddrinfo_a. The C
// library answers each of them from inside itself, where its queries cannot
// be diverted; while names are diverted the module answers them through its
// own resolver instead (and they fail when no resolver can be reached), so
// no query leaves from the user's address.
#include "dnsclient.h"
#include "policy.h"
#include "realcalls.h"
#include "resolver.h"

#include <netdb.h>
#include <pthread.h>
#include <resolv.h>
#include <sys/random.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define VNX_EXPORT extern "C" __attribute__((visibility("default")))

using namespace vnxmod;

namespace {

bool namesDiverted(Verdict& v) {
    v = Policy::current();
    return v.dns && Resolver::divertsNames(v);
}

struct hostent gAddrHost;
alignas(16) char gAddrHostBuffer[1024];

void setHerr(res_state st, int value) {
    h_errno = value;
    if (st) st->res_h_errno = value;
}

// The result of a query as res_query gives it: the answer's length when it
// holds answers, else -1 with h_errno telling why.
int queryResult(res_state st, const std::uint8_t* ans, int n, int cap) {
    if (n < 0) {
        setHerr(st, TRY_AGAIN);
        errno = ETIMEDOUT;
        return -1;
    }
    if (n < 12 || cap < 12) {
        setHerr(st, NO_RECOVERY);
        return -1;
    }
    const int rcode = ans[3] & 0x0F;
    const int count = (ans[6] << 8) | ans[7];
    if (rcode != 0 || count == 0) {
        setHerr(st, rcode == 3 ? HOST_NOT_FOUND : rcode == 2 ? TRY_AGAIN : rcode == 0 ? NO_DATA : NO_RECOVERY);
        return -1;
    }
    setHerr(st, NETDB_SUCCESS);
    return n < cap ? n : cap;
}

int resQuery(res_state st, const char* name, int cls, int type, unsigned char* answer, int anslen, const Verdict& v) {
    if (!name || !answer || anslen < 0 || cls < 0 || cls > 0xffff || type < 0 || type > 0xffff) {
        setHerr(st, NO_RECOVERY);
        return -1;
    }
    std::uint16_t id = 0;
    if (getrandom(&id, sizeof id, GRND_NONBLOCK) != sizeof id)
        id = static_cast<std::uint16_t>(getpid() ^ time(nullptr));
    std::uint8_t q[300];
    const std::size_t len = DnsMessage::buildQuery(id, name, static_cast<std::uint16_t>(type), q, sizeof q);
    if (len == 0) {
        setHerr(st, NO_RECOVERY);
        return -1;
    }
    q[len - 2] = static_cast<std::uint8_t>(cls >> 8);
    q[len - 1] = static_cast<std::uint8_t>(cls);
    const ResolvConf conf = ResolvConf::load(Resolver::kResolvConf);
    const int n = DnsClient::exchange(conf, q, len, answer, static_cast<std::size_t>(anslen), v);
    return queryResult(st, answer, n, anslen);
}

int resSearch(res_state st, const char* name, int cls, int type, unsigned char* answer, int anslen, const Verdict& v) {
    if (!name) {
        setHerr(st, NO_RECOVERY);
        return -1;
    }
    const ResolvConf conf = ResolvConf::load(Resolver::kResolvConf);
    char names[ResolvConf::kMaxSearch + 1][256];
    const int n = Resolver::candidates(conf, name, names);
    bool noData = false, again = false;
    for (int i = 0; i < n; ++i) {
        const int r = resQuery(st, names[i], cls, type, answer, anslen, v);
        if (r >= 0) return r;
        noData = noData || h_errno == NO_DATA;
        again = again || h_errno == TRY_AGAIN;
    }
    setHerr(st, noData ? NO_DATA : again ? TRY_AGAIN : HOST_NOT_FOUND);
    return -1;
}

int resQuerydomain(res_state st, const char* name, const char* domain, int cls, int type, unsigned char* answer,
                   int anslen, const Verdict& v) {
    if (!name || !domain) return resQuery(st, name, cls, type, answer, anslen, v);
    char full[256];
    const int n = std::snprintf(full, sizeof full, "%s.%s", name, domain);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof full) {
        setHerr(st, NO_RECOVERY);
        return -1;
    }
    return resQuery(st, full, cls, type, answer, anslen, v);
}

int resSend(const unsigned char* msg, int msglen, unsigned char* answer, int anslen, const Verdict& v) {
    if (!msg || msglen < 12 || !answer || anslen < 0) {
        errno = EINVAL;
        return -1;
    }
    const ResolvConf conf = ResolvConf::load(Resolver::kResolvConf);
    const int n =
        DnsClient::exchange(conf, msg, static_cast<std::size_t>(msglen), answer, static_cast<std::size_t>(anslen), v);
    if (n < 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    return n < anslen ? n : anslen;
}

void* notifyThread(void* arg) {
    auto* ev = static_cast<sigevent*>(arg);
    const sigval value = ev->sigev_value;
    void (*fn)(sigval) = ev->sigev_notify_function;
    std::free(ev);
    fn(value);
    return nullptr;
}

// The completion notice of getaddrinfo_a(GAI_NOWAIT) for requests that are
// all answered already.
void notify(const sigevent* sevp) {
    if (!sevp) return;
    if (sevp->sigev_notify == SIGEV_SIGNAL) {
        sigqueue(getpid(), sevp->sigev_signo, sevp->sigev_value);
    } else if (sevp->sigev_notify == SIGEV_THREAD && sevp->sigev_notify_function) {
        auto* copy = static_cast<sigevent*>(std::malloc(sizeof *sevp));
        if (!copy) return;
        *copy = *sevp;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t t;
        if (pthread_create(&t, sevp->sigev_notify_attributes ? sevp->sigev_notify_attributes : &attr, notifyThread,
                           copy) != 0)
            std::free(copy);
        pthread_attr_destroy(&attr);
    }
}

}  // namespace

VNX_EXPORT int getnameinfo(const sockaddr* sa, socklen_t salen, char* host, socklen_t hostlen, char* serv,
                           socklen_t servlen, int flags) {
    if (sa && host && hostlen && !(flags & NI_NUMERICHOST) && (sa->sa_family == AF_INET || sa->sa_family == AF_INET6)) {
        const int saved = errno;
        Verdict v;
        if (namesDiverted(v)) {
            int rc = Resolver::nameinfo(sa, salen, host, hostlen, serv, servlen, flags, v);
            errno = saved;
            return rc;
        }
        errno = saved;
    }
    return RealCalls::getnameinfo(sa, salen, host, hostlen, serv, servlen, flags);
}

VNX_EXPORT int gethostbyaddr_r(const void* addr, socklen_t len, int type, struct hostent* ret, char* buf, size_t buflen,
                               struct hostent** result, int* h_errnop) {
    if (addr && ret && result && (type == AF_INET || type == AF_INET6)) {
        const int saved = errno;
        Verdict v;
        if (namesDiverted(v)) {
            int rc = Resolver::hostentByAddr(addr, len, type, ret, buf, buflen, result, h_errnop, v);
            errno = rc ? rc : saved;
            return rc;
        }
        errno = saved;
    }
    return RealCalls::gethostbyaddr_r(addr, len, type, ret, buf, buflen, result, h_errnop);
}

VNX_EXPORT struct hostent* gethostbyaddr(const void* addr, socklen_t len, int type) {
    if (addr && (type == AF_INET || type == AF_INET6)) {
        const int saved = errno;
        Verdict v;
        if (namesDiverted(v)) {
            // One shared result, as the C library's own.
            struct hostent* result = nullptr;
            int herr = 0;
            Resolver::hostentByAddr(addr, len, type, &gAddrHost, gAddrHostBuffer, sizeof gAddrHostBuffer, &result,
                                    &herr, v);
            h_errno = herr;
            errno = saved;
            return result;
        }
        errno = saved;
    }
    return RealCalls::gethostbyaddr(addr, len, type);
}

VNX_EXPORT int getaddrinfo_a(int mode, struct gaicb* list[], int nitems, struct sigevent* sevp) {
    const int saved = errno;
    Verdict v;
    if (!list || nitems < 0 || !namesDiverted(v)) {
        errno = saved;
        return RealCalls::getaddrinfo_a(mode, list, nitems, sevp);
    }
    // Answered here, one after another, through the module's getaddrinfo:
    // every request is complete (gai_error gives its result) on return.
    for (int i = 0; i < nitems; ++i) {
        gaicb* r = list[i];
        if (!r) continue;
        r->ar_result = nullptr;
        r->__return = getaddrinfo(r->ar_name, r->ar_service, r->ar_request, &r->ar_result);
    }
    if (mode == GAI_NOWAIT) notify(sevp);
    errno = saved;
    return 0;
}

// The resolver interface. A call with no diverted names goes to the C
// library untouched.
#define VNX_RES_QUERY(NAME, REAL, FN)                                                             \
    VNX_EXPORT int NAME(const char* name, int cls, int type, unsigned char* answer, int anslen) { \
        Verdict v;                                                                                \
        const int saved = errno;                                                                  \
        if (namesDiverted(v)) return FN(nullptr, name, cls, type, answer, anslen, v);             \
        errno = saved;                                                                            \
        return RealCalls::REAL(name, cls, type, answer, anslen);                                  \
    }
#define VNX_RES_NQUERY(NAME, REAL, FN)                                                                          \
    VNX_EXPORT int NAME(res_state st, const char* name, int cls, int type, unsigned char* answer, int anslen) { \
        Verdict v;                                                                                              \
        const int saved = errno;                                                                                \
        if (namesDiverted(v)) return FN(st, name, cls, type, answer, anslen, v);                                \
        errno = saved;                                                                                          \
        return RealCalls::REAL(st, name, cls, type, answer, anslen);                                            \
    }

VNX_RES_QUERY(res_query, res_query, resQuery)
VNX_RES_QUERY(__res_query, res_query, resQuery)
VNX_RES_QUERY(res_search, res_search, resSearch)
VNX_RES_QUERY(__res_search, res_search, resSearch)
VNX_RES_NQUERY(res_nquery, res_nquery, resQuery)
VNX_RES_NQUERY(__res_nquery, res_nquery, resQuery)
VNX_RES_NQUERY(res_nsearch, res_nsearch, resSearch)
VNX_RES_NQUERY(__res_nsearch, res_nsearch, resSearch)

#define VNX_RES_QUERYDOMAIN(NAME)                                                                                     \
    VNX_EXPORT int NAME(const char* name, const char* domain, int cls, int type, unsigned char* answer, int anslen) { \
        Verdict v;                                                                                                    \
        const int saved = errno;                                                                                      \
        if (namesDiverted(v)) return resQuerydomain(nullptr, name, domain, cls, type, answer, anslen, v);             \
        errno = saved;                                                                                                \
        return RealCalls::res_querydomain(name, domain, cls, type, answer, anslen);                                   \
    }
#define VNX_RES_NQUERYDOMAIN(NAME)                                                                                    \
    VNX_EXPORT int NAME(res_state st, const char* name, const char* domain, int cls, int type, unsigned char* answer, \
                        int anslen) {                                                                                 \
        Verdict v;                                                                                                    \
        const int saved = errno;                                                                                      \
        if (namesDiverted(v)) return resQuerydomain(st, name, domain, cls, type, answer, anslen, v);                  \
        errno = saved;                                                                                                \
        return RealCalls::res_nquerydomain(st, name, domain, cls, type, answer, anslen);                              \
    }
VNX_RES_QUERYDOMAIN(res_querydomain)
VNX_RES_QUERYDOMAIN(__res_querydomain)
VNX_RES_NQUERYDOMAIN(res_nquerydomain)
VNX_RES_NQUERYDOMAIN(__res_nquerydomain)

#define VNX_RES_SEND(NAME)                                                                         \
    VNX_EXPORT int NAME(const unsigned char* msg, int msglen, unsigned char* answer, int anslen) { \
        Verdict v;                                                                                 \
        const int saved = errno;                                                                   \
        if (namesDiverted(v)) return resSend(msg, msglen, answer, anslen, v);                      \
        errno = saved;                                                                             \
        return RealCalls::res_send(msg, msglen, answer, anslen);                                   \
    }
#define VNX_RES_NSEND(NAME)                                                                                      \
    VNX_EXPORT int NAME(res_state st, const unsigned char* msg, int msglen, unsigned char* answer, int anslen) { \
        Verdict v;                                                                                               \
        const int saved = errno;                                                                                 \
        if (namesDiverted(v)) return resSend(msg, msglen, answer, anslen, v);                                    \
        errno = saved;                                                                                           \
        return RealCalls::res_nsend(st, msg, msglen, answer, anslen);                                            \
    }
VNX_RES_SEND(res_send)
VNX_RES_SEND(__res_send)
VNX_RES_NSEND(res_nsend)
VNX_RES_NSEND(__res_nsend)
