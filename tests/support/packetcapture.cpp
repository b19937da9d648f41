#include "packetcapture.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace vnxtest {

namespace {

// The transport payload of an Ethernet (loopback) frame: ports and bytes.
bool transportOf(const std::vector<std::uint8_t>& f, std::uint16_t& src, std::uint16_t& dst, std::size_t& off) {
    if (f.size() < 14) return false;
    const std::uint16_t type = static_cast<std::uint16_t>(f[12] << 8 | f[13]);
    std::size_t ip = 14;
    std::uint8_t proto = 0;
    std::size_t l4 = 0;
    if (type == ETH_P_IP) {
        if (f.size() < ip + 20) return false;
        proto = f[ip + 9];
        l4 = ip + static_cast<std::size_t>(f[ip] & 0x0f) * 4;
    } else if (type == ETH_P_IPV6) {
        if (f.size() < ip + 40) return false;
        proto = f[ip + 6];  // no extension headers on these test paths
        l4 = ip + 40;
    } else {
        return false;
    }
    if (f.size() < l4 + 8) return false;
    src = static_cast<std::uint16_t>(f[l4] << 8 | f[l4 + 1]);
    dst = static_cast<std::uint16_t>(f[l4 + 2] << 8 | f[l4 + 3]);
    if (proto == IPPROTO_UDP) {
        off = l4 + 8;
        return true;
    }
    if (proto == IPPROTO_TCP) {
        if (f.size() < l4 + 20) return false;
        off = l4 + static_cast<std::size_t>(f[l4 + 12] >> 4) * 4;
        return off <= f.size();
    }
    return false;
}

}  // namespace

PacketCapture::PacketCapture(const char* interface) {
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd_ < 0) return;
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_ALL);
    ll.sll_ifindex = static_cast<int>(if_nametoindex(interface));
    int size = 16 * 1024 * 1024;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    if (ll.sll_ifindex == 0 || stopFd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&ll), sizeof ll) != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    thread_ = std::thread([this] { loop(); });
}

PacketCapture::~PacketCapture() {
    if (thread_.joinable()) {
        std::uint64_t one = 1;
        (void)!write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    if (fd_ >= 0) close(fd_);
    if (stopFd_ >= 0) close(stopFd_);
}

void PacketCapture::loop() {
    std::vector<std::uint8_t> buf(70000);
    for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (poll(p, 2, 1000) < 0) continue;
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> guard(mu_);
        frames_.emplace_back(buf.begin(), buf.begin() + n);
    }
}

PacketCapture::Seen PacketCapture::seenOnPort(std::uint16_t port, const std::string& marker) {
    // Whatever is still queued in the socket is taken first.
    std::vector<std::uint8_t> buf(70000);
    for (int i = 0; i < 100000; ++i) {
        ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n <= 0) break;
        std::lock_guard<std::mutex> guard(mu_);
        frames_.emplace_back(buf.begin(), buf.begin() + n);
    }
    Seen seen;
    std::lock_guard<std::mutex> guard(mu_);
    for (const auto& f : frames_) {
        std::uint16_t src = 0, dst = 0;
        std::size_t off = 0;
        if (!transportOf(f, src, dst, off) || (src != port && dst != port)) continue;
        ++seen.packets;
        seen.payloadBytes += f.size() - off;
        if (std::search(f.begin() + static_cast<long>(off), f.end(), marker.begin(), marker.end()) != f.end())
            ++seen.withMarker;
    }
    return seen;
}

}  // namespace vnxtest
