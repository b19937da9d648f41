#include "destinations.h"

#include "sockets.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vnxtest {

UdpEcho::UdpEcho(const char* ip, std::size_t replyBytes) {
    fd_ = boundSocket(SOCK_DGRAM, ip);
    if (fd_ < 0) return;
    addr_ = localAddress(fd_);
    thread_ = std::thread([this, replyBytes] {
        std::vector<std::uint8_t> buf(70000);
        while (!stop_) {
            sockaddr_storage from{};
            long n = recvWithin(fd_, buf.data(), buf.size(), 50, &from);
            if (n < 0) continue;
            ++received_;
            lastSize_ = static_cast<std::size_t>(n);
            std::size_t len = replyBytes > 0 ? std::min(replyBytes, buf.size()) : static_cast<std::size_t>(n);
            sendto(fd_, buf.data(), len, 0, reinterpret_cast<sockaddr*>(&from), addressLength(from));
        }
    });
}

UdpEcho::~UdpEcho() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
}

}  // namespace vnxtest
