#include "platform/capture.h"

#include "capturewire.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vnxplat {

namespace {
bool toEndpoint(const vnx_capture_dest& d, vnx::REndpoint& out, std::uint32_t& pid) {
    out = vnx::REndpoint();
    if (d.family == 4) {
        if (d.addr4 == 0) return false;
        out.ipv4 = d.addr4;
    } else if (d.family == 6) {
        std::memcpy(out.ipv6, d.addr6, sizeof out.ipv6);
    } else {
        return false;
    }
    out.port = d.port;
    pid = d.pid;
    return out.port != 0;
}
}  // namespace

bool capturedTcpDestination(socket_t s, vnx::REndpoint& destination, std::uint32_t& pid) {
    vnx_capture_dest d;
    socklen_t len = sizeof d;
    std::memset(&d, 0, sizeof d);
    if (getsockopt(s, VNX_SOL_CAPTURE, VNX_OPT_TCP_DEST, &d, &len) != 0 || len != sizeof d) return false;
    return toEndpoint(d, destination, pid);
}

bool capturedUdpDestination(socket_t s, std::uint32_t alias, vnx::REndpoint& destination, std::uint32_t& pid) {
    if (setsockopt(s, VNX_SOL_CAPTURE, VNX_OPT_UDP_ALIAS, &alias, sizeof alias) != 0) return false;
    vnx_capture_dest d;
    socklen_t len = sizeof d;
    std::memset(&d, 0, sizeof d);
    if (getsockopt(s, VNX_SOL_CAPTURE, VNX_OPT_UDP_DEST, &d, &len) != 0 || len != sizeof d) return false;
    return toEndpoint(d, destination, pid);
}

socket_t openCaptureSocket(std::uint16_t port) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    if (s < 0) return kBadSocket;
    int on = 1;
    // Every address, so that every 127/8 alias reaches it. Not tied to the
    // loopback device: the hooks check, by a socket lookup, that the socket
    // receiving a user's datagrams is this one, which a device binding would
    // hide from them. Datagrams from other hosts reach no alias and are
    // dropped by the server.
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = port;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return kBadSocket;
    }
    return s;
}

bool registerCaptureServer(socket_t s, bool datagrams) {
    std::uint32_t kind = datagrams ? VNX_SERVER_UDP : VNX_SERVER_TCP;
    return setsockopt(s, VNX_SOL_CAPTURE, VNX_OPT_SERVER, &kind, sizeof kind) == 0;
}

bool capturedSenderIsOwn(const sockaddr_in& from, std::uint32_t alias, std::uint16_t port) {
    // Asks the kernel (sock_diag) for the UDP socket bound to `from` that
    // would send to alias:port, and compares its owner with ours. Without an
    // answer the datagram is not taken.
    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return false;
    timeval tv{1, 0};
    setsockopt(nl, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    struct {
        nlmsghdr nh;
        inet_diag_req_v2 req;
    } msg{};
    msg.nh.nlmsg_len = sizeof msg;
    msg.nh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nh.nlmsg_flags = NLM_F_REQUEST;
    msg.nh.nlmsg_seq = 1;
    msg.req.sdiag_family = AF_INET;
    msg.req.sdiag_protocol = IPPROTO_UDP;
    msg.req.idiag_states = ~0U;
    // For a datagram socket the kernel looks up the socket that would
    // receive from (src, sport) at (dst, dport): the sender's peer first.
    msg.req.id.idiag_src[0] = alias;
    msg.req.id.idiag_sport = port;
    msg.req.id.idiag_dst[0] = from.sin_addr.s_addr;
    msg.req.id.idiag_dport = from.sin_port;
    msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    bool own = false;
    if (sendto(nl, &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) == sizeof msg) {
        alignas(nlmsghdr) char buf[4096];
        ssize_t n = recv(nl, buf, sizeof buf, 0);
        auto* h = reinterpret_cast<nlmsghdr*>(buf);
        if (n > 0 && NLMSG_OK(h, static_cast<unsigned>(n)) && h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            auto* d = static_cast<inet_diag_msg*>(NLMSG_DATA(h));
            const std::uint32_t bound = d->id.idiag_src[0];
            own = d->id.idiag_sport == from.sin_port && (bound == from.sin_addr.s_addr || bound == 0) &&
                  d->idiag_uid == getuid();
        }
    }
    close(nl);
    return own;
}

long recvCaptured(socket_t s, void* data, std::size_t len, sockaddr_in& from, std::uint32_t& to, bool* truncated) {
    iovec iov{data, len};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(s, &msg, MSG_DONTWAIT);
    if (n < 0) return -1;
    if (truncated) *truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    to = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            to = info.ipi_addr.s_addr;
        }
    if (msg.msg_namelen < sizeof(sockaddr_in) || from.sin_family != AF_INET) return -1;
    return static_cast<long>(n);
}

long sendCapturedReply(socket_t s, const void* data, std::size_t len, const sockaddr_in& to, std::uint32_t source) {
    iovec iov{const_cast<void*>(data), len};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    std::memset(control, 0, sizeof control);
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr_in*>(&to);
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = source;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    ssize_t n = sendmsg(s, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    return n < 0 ? -1 : static_cast<long>(n);
}

bool captureResolversUnguarded(const char* stateFile) {
    if (!captureServiceRunning(stateFile)) return false;
    FILE* f = std::fopen(stateFile, "re");
    if (!f) return false;
    char line[64];
    bool unguarded = false;
    for (int i = 0; i < 8 && std::fgets(line, sizeof line, f); ++i)
        if (std::strcmp(line, "resolvers=0\n") == 0) unguarded = true;
    std::fclose(f);
    return unguarded;
}

const char* captureStateFile() {
    const char* own = std::getenv("VEILNOX_CAPTURE_STATE");
    return own && *own ? own : "/run/veilnox-capture.pid";
}

bool captureServiceRunning(const char* stateFile) {
    if (!stateFile || !*stateFile) return false;
    FILE* f = std::fopen(stateFile, "re");
    if (!f) return false;
    long pid = 0;
    bool read = std::fscanf(f, "%ld", &pid) == 1;
    std::fclose(f);
    if (!read || pid <= 0 || pid > 0x3fffffff) return false;
    // The process must still be the service (a pid is reused once it ends).
    char path[64], comm[32] = {};
    std::snprintf(path, sizeof path, "/proc/%ld/comm", pid);
    f = std::fopen(path, "re");
    if (!f) return false;
    bool named = std::fgets(comm, sizeof comm, f) != nullptr;
    std::fclose(f);
    return named && std::strcmp(comm, "veilnox-capture\n") == 0;
}

}  // namespace vnxplat
