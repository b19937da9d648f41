#include "realcalls.h"

#include <dlfcn.h>
#include <atomic>
#include <cerrno>

namespace vnxmod {

namespace {
enum Fn {
    kSocket,
    kConnect,
    kBind,
    kGetpeername,
    kClose,
    kDup,
    kDup2,
    kDup3,
    kAccept,
    kAccept4,
    kSend,
    kSendto,
    kSendmsg,
    kSendmmsg,
    kWrite,
    kRecv,
    kRecvfrom,
    kRecvmsg,
    kRecvmmsg,
    kRead,
    kReadChk,
    kRecvChk,
    kRecvfromChk,
    kGetaddrinfo,
    kGethostbyname,
    kGethostbyname2,
    kGethostbynameR,
    kGethostbyname2R,
    kWritev,
    kReadv,
    kGetnameinfo,
    kGethostbyaddr,
    kGethostbyaddrR,
    kGetaddrinfoA,
    kResQuery,
    kResSearch,
    kResQuerydomain,
    kResSend,
    kResNquery,
    kResNsearch,
    kResNquerydomain,
    kResNsend,
    kFnCount
};

const char* const kNames[kFnCount] = {"socket",
                                      "connect",
                                      "bind",
                                      "getpeername",
                                      "close",
                                      "dup",
                                      "dup2",
                                      "dup3",
                                      "accept",
                                      "accept4",
                                      "send",
                                      "sendto",
                                      "sendmsg",
                                      "sendmmsg",
                                      "write",
                                      "recv",
                                      "recvfrom",
                                      "recvmsg",
                                      "recvmmsg",
                                      "read",
                                      "__read_chk",
                                      "__recv_chk",
                                      "__recvfrom_chk",
                                      "getaddrinfo",
                                      "gethostbyname",
                                      "gethostbyname2",
                                      "gethostbyname_r",
                                      "gethostbyname2_r",
                                      "writev",
                                      "readv",
                                      "getnameinfo",
                                      "gethostbyaddr",
                                      "gethostbyaddr_r",
                                      "getaddrinfo_a",
                                      "res_query",
                                      "res_search",
                                      "res_querydomain",
                                      "res_send",
                                      "res_nquery",
                                      "res_nsearch",
                                      "res_nquerydomain",
                                      "res_nsend"};
// The C libraries before 2.34 export the resolver interface under these
// names only.
const char* const kOldNames[kFnCount - kResQuery] = {"__res_query",        "__res_search", "__res_querydomain",
                                                     "__res_send",         "__res_nquery", "__res_nsearch",
                                                     "__res_nquerydomain", "__res_nsend"};

// Zero-initialised static storage: no constructor runs for it.
std::atomic<void*> gResolved[kFnCount] = {};

void* resolve(Fn fn) {
    void* p = gResolved[fn].load(std::memory_order_acquire);
    if (p) return p;
    int saved = errno;
    p = dlsym(RTLD_NEXT, kNames[fn]);
    if (!p && fn >= kResQuery) p = dlsym(RTLD_NEXT, kOldNames[fn - kResQuery]);
    errno = saved;
    if (p) gResolved[fn].store(p, std::memory_order_release);
    return p;
}

template <typename F>
F lookup(Fn fn) {
    return reinterpret_cast<F>(resolve(fn));
}
}  // namespace

#define VNX_FORWARD(ENUM, FAIL, ...)        \
    auto f = lookup<decltype(&CALL)>(ENUM); \
    if (!f) {                               \
        errno = ENOSYS;                     \
        return FAIL;                        \
    }                                       \
    return f(__VA_ARGS__)

#define CALL RealCalls::socket
int RealCalls::socket(int domain, int type, int protocol) { VNX_FORWARD(kSocket, -1, domain, type, protocol); }
#undef CALL
#define CALL RealCalls::connect
int RealCalls::connect(int fd, const sockaddr* addr, socklen_t len) { VNX_FORWARD(kConnect, -1, fd, addr, len); }
#undef CALL
#define CALL RealCalls::bind
int RealCalls::bind(int fd, const sockaddr* addr, socklen_t len) { VNX_FORWARD(kBind, -1, fd, addr, len); }
#undef CALL
#define CALL RealCalls::getpeername
int RealCalls::getpeername(int fd, sockaddr* addr, socklen_t* len) { VNX_FORWARD(kGetpeername, -1, fd, addr, len); }
#undef CALL
#define CALL RealCalls::close
int RealCalls::close(int fd) { VNX_FORWARD(kClose, -1, fd); }
#undef CALL
#define CALL RealCalls::dup
int RealCalls::dup(int fd) { VNX_FORWARD(kDup, -1, fd); }
#undef CALL
#define CALL RealCalls::dup2
int RealCalls::dup2(int fd, int fd2) { VNX_FORWARD(kDup2, -1, fd, fd2); }
#undef CALL
#define CALL RealCalls::dup3
int RealCalls::dup3(int fd, int fd2, int flags) { VNX_FORWARD(kDup3, -1, fd, fd2, flags); }
#undef CALL
#define CALL RealCalls::accept
int RealCalls::accept(int fd, sockaddr* addr, socklen_t* len) { VNX_FORWARD(kAccept, -1, fd, addr, len); }
#undef CALL
#define CALL RealCalls::accept4
int RealCalls::accept4(int fd, sockaddr* addr, socklen_t* len, int flags) {
    VNX_FORWARD(kAccept4, -1, fd, addr, len, flags);
}
#undef CALL
#define CALL RealCalls::send
ssize_t RealCalls::send(int fd, const void* buf, size_t len, int flags) { VNX_FORWARD(kSend, -1, fd, buf, len, flags); }
#undef CALL
#define CALL RealCalls::sendto
ssize_t RealCalls::sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to, socklen_t tolen) {
    VNX_FORWARD(kSendto, -1, fd, buf, len, flags, to, tolen);
}
#undef CALL
#define CALL RealCalls::sendmsg
ssize_t RealCalls::sendmsg(int fd, const msghdr* msg, int flags) { VNX_FORWARD(kSendmsg, -1, fd, msg, flags); }
#undef CALL
#define CALL RealCalls::sendmmsg
int RealCalls::sendmmsg(int fd, mmsghdr* vec, unsigned int vlen, int flags) {
    VNX_FORWARD(kSendmmsg, -1, fd, vec, vlen, flags);
}
#undef CALL
#define CALL RealCalls::write
ssize_t RealCalls::write(int fd, const void* buf, size_t len) { VNX_FORWARD(kWrite, -1, fd, buf, len); }
#undef CALL
#define CALL RealCalls::writev
ssize_t RealCalls::writev(int fd, const iovec* iov, int count) { VNX_FORWARD(kWritev, -1, fd, iov, count); }
#undef CALL
#define CALL RealCalls::readv
ssize_t RealCalls::readv(int fd, const iovec* iov, int count) { VNX_FORWARD(kReadv, -1, fd, iov, count); }
#undef CALL
#define CALL RealCalls::recv
ssize_t RealCalls::recv(int fd, void* buf, size_t len, int flags) { VNX_FORWARD(kRecv, -1, fd, buf, len, flags); }
#undef CALL
#define CALL RealCalls::recvfrom
ssize_t RealCalls::recvfrom(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromlen) {
    VNX_FORWARD(kRecvfrom, -1, fd, buf, len, flags, from, fromlen);
}
#undef CALL
#define CALL RealCalls::recvmsg
ssize_t RealCalls::recvmsg(int fd, msghdr* msg, int flags) { VNX_FORWARD(kRecvmsg, -1, fd, msg, flags); }
#undef CALL
#define CALL RealCalls::recvmmsg
int RealCalls::recvmmsg(int fd, mmsghdr* vec, unsigned int vlen, int flags, struct timespec* timeout) {
    VNX_FORWARD(kRecvmmsg, -1, fd, vec, vlen, flags, timeout);
}
#undef CALL
#define CALL RealCalls::read
ssize_t RealCalls::read(int fd, void* buf, size_t len) { VNX_FORWARD(kRead, -1, fd, buf, len); }
#undef CALL
#define CALL RealCalls::readChk
ssize_t RealCalls::readChk(int fd, void* buf, size_t len, size_t buflen) {
    VNX_FORWARD(kReadChk, -1, fd, buf, len, buflen);
}
#undef CALL
#define CALL RealCalls::recvChk
ssize_t RealCalls::recvChk(int fd, void* buf, size_t len, size_t buflen, int flags) {
    VNX_FORWARD(kRecvChk, -1, fd, buf, len, buflen, flags);
}
#undef CALL
#define CALL RealCalls::recvfromChk
ssize_t RealCalls::recvfromChk(int fd, void* buf, size_t len, size_t buflen, int flags, sockaddr* from,
                               socklen_t* fromlen) {
    VNX_FORWARD(kRecvfromChk, -1, fd, buf, len, buflen, flags, from, fromlen);
}
#undef CALL
#define CALL RealCalls::getaddrinfo
int RealCalls::getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
    VNX_FORWARD(kGetaddrinfo, EAI_SYSTEM, node, service, hints, res);
}
#undef CALL
#define CALL RealCalls::gethostbyname
hostent* RealCalls::gethostbyname(const char* name) { VNX_FORWARD(kGethostbyname, nullptr, name); }
#undef CALL
#define CALL RealCalls::gethostbyname2
hostent* RealCalls::gethostbyname2(const char* name, int af) { VNX_FORWARD(kGethostbyname2, nullptr, name, af); }
#undef CALL
#define CALL RealCalls::gethostbyname_r
int RealCalls::gethostbyname_r(const char* name, hostent* ret, char* buf, size_t buflen, hostent** result,
                               int* h_errnop) {
    VNX_FORWARD(kGethostbynameR, ENOSYS, name, ret, buf, buflen, result, h_errnop);
}
#undef CALL
#define CALL RealCalls::gethostbyname2_r
int RealCalls::gethostbyname2_r(const char* name, int af, hostent* ret, char* buf, size_t buflen, hostent** result,
                                int* h_errnop) {
    VNX_FORWARD(kGethostbyname2R, ENOSYS, name, af, ret, buf, buflen, result, h_errnop);
}
#undef CALL
#define CALL RealCalls::getnameinfo
int RealCalls::getnameinfo(const sockaddr* sa, socklen_t salen, char* host, socklen_t hostlen, char* serv,
                           socklen_t servlen, int flags) {
    VNX_FORWARD(kGetnameinfo, EAI_SYSTEM, sa, salen, host, hostlen, serv, servlen, flags);
}
#undef CALL
#define CALL RealCalls::gethostbyaddr
hostent* RealCalls::gethostbyaddr(const void* addr, socklen_t len, int type) {
    VNX_FORWARD(kGethostbyaddr, nullptr, addr, len, type);
}
#undef CALL
#define CALL RealCalls::gethostbyaddr_r
int RealCalls::gethostbyaddr_r(const void* addr, socklen_t len, int type, hostent* ret, char* buf, size_t buflen,
                               hostent** result, int* h_errnop) {
    VNX_FORWARD(kGethostbyaddrR, ENOSYS, addr, len, type, ret, buf, buflen, result, h_errnop);
}
#undef CALL
#define CALL RealCalls::getaddrinfo_a
int RealCalls::getaddrinfo_a(int mode, gaicb* list[], int nitems, sigevent* sevp) {
    VNX_FORWARD(kGetaddrinfoA, EAI_SYSTEM, mode, list, nitems, sevp);
}
#undef CALL
#define CALL RealCalls::res_query
int RealCalls::res_query(const char* name, int cls, int type, unsigned char* answer, int anslen) {
    VNX_FORWARD(kResQuery, -1, name, cls, type, answer, anslen);
}
#undef CALL
#define CALL RealCalls::res_search
int RealCalls::res_search(const char* name, int cls, int type, unsigned char* answer, int anslen) {
    VNX_FORWARD(kResSearch, -1, name, cls, type, answer, anslen);
}
#undef CALL
#define CALL RealCalls::res_querydomain
int RealCalls::res_querydomain(const char* name, const char* domain, int cls, int type, unsigned char* answer,
                               int anslen) {
    VNX_FORWARD(kResQuerydomain, -1, name, domain, cls, type, answer, anslen);
}
#undef CALL
#define CALL RealCalls::res_send
int RealCalls::res_send(const unsigned char* msg, int msglen, unsigned char* answer, int anslen) {
    VNX_FORWARD(kResSend, -1, msg, msglen, answer, anslen);
}
#undef CALL
#define CALL RealCalls::res_nquery
int RealCalls::res_nquery(res_state st, const char* name, int cls, int type, unsigned char* answer, int anslen) {
    VNX_FORWARD(kResNquery, -1, st, name, cls, type, answer, anslen);
}
#undef CALL
#define CALL RealCalls::res_nsearch
int RealCalls::res_nsearch(res_state st, const char* name, int cls, int type, unsigned char* answer, int anslen) {
    VNX_FORWARD(kResNsearch, -1, st, name, cls, type, answer, anslen);
}
#undef CALL
#define CALL RealCalls::res_nquerydomain
int RealCalls::res_nquerydomain(res_state st, const char* name, const char* domain, int cls, int type,
                                unsigned char* answer, int anslen) {
    VNX_FORWARD(kResNquerydomain, -1, st, name, domain, cls, type, answer, anslen);
}
#undef CALL
#define CALL RealCalls::res_nsend
int RealCalls::res_nsend(res_state st, const unsigned char* msg, int msglen, unsigned char* answer, int anslen) {
    VNX_FORWARD(kResNsend, -1, st, msg, msglen, answer, anslen);
}
#undef CALL

}  // namespace vnxmod
