#include "hostaddresses.h"

#include "relaycontext.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vnxrelay {

namespace {

// With netlink notifications the periodic re-read only covers lost ones;
// without them it is the only way to notice a change.
constexpr std::uint64_t kReloadWithNetlinkMs = 30000;
constexpr std::uint64_t kReloadWithoutNetlinkMs = 2000;

void addUnique(std::vector<PlainAddress>& out, const sockaddr* sa) {
    PlainAddress a;
    if (!sa || !plainAddress(sa, a)) return;
    for (const PlainAddress& b : out)
        if (b.family == a.family && std::memcmp(b.addr, a.addr, sizeof a.addr) == 0) return;
    out.push_back(a);
}

}  // namespace

bool readHostAddresses(std::vector<PlainAddress>& out) {
    out.clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr) continue;
        addUnique(out, i->ifa_addr);
        if (i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_BROADCAST)) addUnique(out, i->ifa_broadaddr);
    }
    freeifaddrs(list);
    return true;
}

HostAddresses::HostAddresses(RelayContext& ctx) : ctx_(ctx) {}

HostAddresses::~HostAddresses() {
    if (fd_ >= 0) close(fd_);
}

void HostAddresses::open() {
    if (ctx_.opts.allowPrivate) return;
    fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ >= 0) {
        sockaddr_nl nl{};
        nl.nl_family = AF_NETLINK;
        nl.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&nl), sizeof nl) != 0 || !ctx_.watch(fd_, this, EPOLLIN)) {
            close(fd_);
            fd_ = -1;
        }
    }
    if (fd_ < 0) ctx_.log("cannot follow address changes (%s); re-reading them every 2 s", std::strerror(errno));
    reload();
}

void HostAddresses::reload() {
    std::vector<PlainAddress> addrs;
    if (!readHostAddresses(addrs)) {
        // Keep the previous list rather than forget the host's addresses.
        ctx_.log("cannot read the host's addresses: %s", std::strerror(errno));
    } else {
        if (ctx_.opts.publicIpv4 != 0) {
            sockaddr_in pub{};
            pub.sin_family = AF_INET;
            pub.sin_addr.s_addr = ctx_.opts.publicIpv4;
            addUnique(addrs, reinterpret_cast<const sockaddr*>(&pub));
        }
        ctx_.policy.setHostAddresses(std::move(addrs));
    }
    nextReload_ = ctx_.nowMs + (fd_ >= 0 ? kReloadWithNetlinkMs : kReloadWithoutNetlinkMs);
}

void HostAddresses::refreshIfDue() {
    if (ctx_.opts.allowPrivate || ctx_.nowMs < nextReload_) return;
    reload();
}

void HostAddresses::onEvents(std::uint32_t) {
    // The messages themselves are not needed: any address change means
    // reading the whole list again. An overflow (ENOBUFS) means changes were
    // lost, which the re-read covers as well.
    alignas(nlmsghdr) char buf[8192];
    for (int i = 0; i < 64; ++i) {
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n == 0) break;
    }
    reload();
}

}  // namespace vnxrelay
