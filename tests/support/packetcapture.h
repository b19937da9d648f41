#pragma once
// A packet capture of the test's own network namespace: every frame seen on
// one interface (AF_PACKET, all protocols), kept in memory, with the TCP and
// UDP payloads looked through for a marker. Needs CAP_NET_RAW (the suites run
// as root in namespaces of their own).
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vnxtest {

class PacketCapture {
public:
    // Starts capturing on the interface (e.g. "lo"); ok() tells whether it
    // could.
    explicit PacketCapture(const char* interface);
    ~PacketCapture();
    PacketCapture(const PacketCapture&) = delete;
    PacketCapture& operator=(const PacketCapture&) = delete;
    bool ok() const { return fd_ >= 0; }

    // Counts of TCP and UDP packets from or to port (host order), and of
    // those whose payload holds marker. Reading waits for the frames the
    // kernel has queued so far.
    struct Seen {
        int packets = 0;
        int withMarker = 0;
        std::uint64_t payloadBytes = 0;
    };
    Seen seenOnPort(std::uint16_t port, const std::string& marker);

private:
    void loop();

    int fd_ = -1;
    int stopFd_ = -1;
    std::mutex mu_;
    std::vector<std::vector<std::uint8_t>> frames_;
    std::thread thread_;
};

}  // namespace vnxtest
