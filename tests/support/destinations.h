#pragma once
// Destinations on threads of the test, on loopback or in the test's own
// namespaces. Their counters may be read from any thread.
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <thread>

namespace vnxtest {

// A UDP echo destination on ip (port chosen by the system): sends every
// datagram back to its sender, or with replyBytes > 0 answers each with that
// many bytes instead (a stand-in for the services that answer small
// requests with large replies). Stops (within 50 ms) on destruction.
class UdpEcho {
public:
    explicit UdpEcho(const char* ip, std::size_t replyBytes = 0);
    ~UdpEcho();
    UdpEcho(const UdpEcho&) = delete;
    UdpEcho& operator=(const UdpEcho&) = delete;
    bool ok() const { return fd_ >= 0; }
    sockaddr_storage address() const { return addr_; }
    int received() const { return received_.load(); }
    std::size_t lastSize() const { return lastSize_.load(); }  // of the last datagram received

private:
    int fd_ = -1;
    sockaddr_storage addr_{};
    std::atomic<bool> stop_{false};
    std::atomic<int> received_{0};
    std::atomic<std::size_t> lastSize_{0};
    std::thread thread_;
};

}  // namespace vnxtest
