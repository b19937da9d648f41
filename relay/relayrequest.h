#pragma once
// What a client asks of the relay, decoded from the 32-byte relay header at
// the start of a TCP connection or a datagram.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace vnxrelay {

enum class RequestStatus {
    Ok,
    BadHeader,       // shorter than a header, wrong magic or version
    BadKind,         // a kind the relay does not serve on this transport
    BadDestination,  // port 0 in a data request
};

struct RelayRequest {
    std::uint8_t kind = 0;   // 0 data, 5 probe
    bool masked = false;     // the payload that follows is masked
    std::uint8_t flags = 0;  // vnx::kRelayFlag...
    // Data requests: the destination as a socket address (AF_INET when the
    // header's ipv4 is non-zero, AF_INET6 otherwise).
    sockaddr_storage dest{};
    socklen_t destLen = 0;
    // The bytes after the header within the given buffer.
    const std::uint8_t* payload = nullptr;
    std::size_t payloadLength = 0;
};

// Decodes the header at buf. Kind 0 (data) is accepted on both transports;
// kind 5 (probe) only when allowProbe (datagrams). Never reads beyond len.
RequestStatus decodeRelayRequest(const std::uint8_t* buf, std::size_t len, bool allowProbe, RelayRequest& out);

}  // namespace vnxrelay
