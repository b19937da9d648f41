#pragma once
// The C library functions that the module interposes, resolved with
// dlsym(RTLD_NEXT) the first time each one is needed. Any thread, any time
// (also before the module's own initialisation has run); a function that
// cannot be found makes its caller fail with ENOSYS instead of crashing.
#include <netdb.h>
#include <resolv.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

namespace vnxmod {

struct RealCalls {
    static int socket(int domain, int type, int protocol);
    static int connect(int fd, const sockaddr* addr, socklen_t len);
    static int bind(int fd, const sockaddr* addr, socklen_t len);
    static int getpeername(int fd, sockaddr* addr, socklen_t* len);
    static int close(int fd);
    static int dup(int fd);
    static int dup2(int fd, int fd2);
    static int dup3(int fd, int fd2, int flags);
    static int accept(int fd, sockaddr* addr, socklen_t* len);
    static int accept4(int fd, sockaddr* addr, socklen_t* len, int flags);
    static ssize_t send(int fd, const void* buf, size_t len, int flags);
    static ssize_t sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to, socklen_t tolen);
    static ssize_t sendmsg(int fd, const msghdr* msg, int flags);
    static int sendmmsg(int fd, mmsghdr* vec, unsigned int vlen, int flags);
    static ssize_t write(int fd, const void* buf, size_t len);
    static ssize_t writev(int fd, const iovec* iov, int count);
    static ssize_t readv(int fd, const iovec* iov, int count);
    static ssize_t recv(int fd, void* buf, size_t len, int flags);
    static ssize_t recvfrom(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromlen);
    static ssize_t recvmsg(int fd, msghdr* msg, int flags);
    static int recvmmsg(int fd, mmsghdr* vec, unsigned int vlen, int flags, struct timespec* timeout);
    static ssize_t read(int fd, void* buf, size_t len);
    static ssize_t readChk(int fd, void* buf, size_t len, size_t buflen);
    static ssize_t recvChk(int fd, void* buf, size_t len, size_t buflen, int flags);
    static ssize_t recvfromChk(int fd, void* buf, size_t len, size_t buflen, int flags, sockaddr* from,
                               socklen_t* fromlen);
    static int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res);
    static hostent* gethostbyname(const char* name);
    static hostent* gethostbyname2(const char* name, int af);
    static int gethostbyname_r(const char* name, hostent* ret, char* buf, size_t buflen, hostent** result,
                               int* h_errnop);
    static int gethostbyname2_r(const char* name, int af, hostent* ret, char* buf, size_t buflen, hostent** result,
                                int* h_errnop);
    static int getnameinfo(const sockaddr* sa, socklen_t salen, char* host, socklen_t hostlen, char* serv,
                           socklen_t servlen, int flags);
    static hostent* gethostbyaddr(const void* addr, socklen_t len, int type);
    static int gethostbyaddr_r(const void* addr, socklen_t len, int type, hostent* ret, char* buf, size_t buflen,
                               hostent** result, int* h_errnop);
    static int getaddrinfo_a(int mode, gaicb* list[], int nitems, sigevent* sevp);
    // The resolver interface; the res_n* forms take the resolver state first.
    static int res_query(const char* name, int cls, int type, unsigned char* answer, int anslen);
    static int res_search(const char* name, int cls, int type, unsigned char* answer, int anslen);
    static int res_querydomain(const char* name, const char* domain, int cls, int type, unsigned char* answer,
                               int anslen);
    static int res_send(const unsigned char* msg, int msglen, unsigned char* answer, int anslen);
    static int res_nquery(res_state st, const char* name, int cls, int type, unsigned char* answer, int anslen);
    static int res_nsearch(res_state st, const char* name, int cls, int type, unsigned char* answer, int anslen);
    static int res_nquerydomain(res_state st, const char* name, const char* domain, int cls, int type,
                                unsigned char* answer, int anslen);
    static int res_nsend(res_state st, const unsigned char* msg, int msglen, unsigned char* answer, int anslen);
};

}  // namespace vnxmod
