#pragma once
// The relay protocol spoken to the proxy server: a 32-byte header naming the
// destination (or, on returned datagrams, the source), the whole header
// masked, then the payload, masked when the header says so.
//
// Masking is an XOR with 0x5D: obfuscation against naive inspection, not
// encryption.
#include <cstddef>
#include <cstdint>

namespace vnx {

constexpr std::size_t kRelayHeaderSize = 32;
constexpr std::uint8_t kMaskByte = 0x5D;
constexpr std::uint8_t kRelayKindData = 0;
constexpr std::uint8_t kRelayKindProbe = 5;
// Flags (TCP only). kRelayFlagResetAtEnd: the client reads everything that
// arrived before a reset. After the client has ended its direction and the
// destination has ended the other, the relay may then close with a reset
// once the client has acknowledged every byte: neither host keeps the
// connection in TIME_WAIT, so a client making many short connections to one
// relay does not run out of local ports. Relays that do not know a flag
// ignore it and close as usual.
constexpr std::uint8_t kRelayFlagResetAtEnd = 0x01;

#pragma pack(push, 1)
// Wire form, before masking.
struct RelayHeaderWire {
    char magic[4];         // "umbv"
    std::uint8_t version;  // '2'
    std::uint8_t masked;
    std::uint8_t kind;
    std::uint8_t flags;  // kRelayFlag..., 0 from older clients
    std::uint32_t ipv4;  // network order
    std::uint8_t ipv6[16];
    std::uint16_t port;  // network order
    std::uint16_t reserved2;
};
#pragma pack(pop)
static_assert(sizeof(RelayHeaderWire) == kRelayHeaderSize, "relay header size");
static_assert(offsetof(RelayHeaderWire, magic) == 0, "magic");
static_assert(offsetof(RelayHeaderWire, version) == 4, "version");
static_assert(offsetof(RelayHeaderWire, masked) == 5, "masked");
static_assert(offsetof(RelayHeaderWire, kind) == 6, "kind");
static_assert(offsetof(RelayHeaderWire, flags) == 7, "flags");
static_assert(offsetof(RelayHeaderWire, ipv4) == 8, "ipv4");
static_assert(offsetof(RelayHeaderWire, ipv6) == 12, "ipv6");
static_assert(offsetof(RelayHeaderWire, port) == 28, "port");
static_assert(offsetof(RelayHeaderWire, reserved2) == 30, "reserved2");

// In-memory form. Cleared before it is filled, so unset fields go out as 0.
struct RRelayHeader {
    std::uint8_t kind = 0;
    std::uint32_t ipv4 = 0;
    std::uint8_t ipv6[16] = {};
    std::uint16_t port = 0;
    bool masked = false;
    std::uint8_t flags = 0;
    // Set by parse: the byte after the header and the bytes that follow.
    const std::uint8_t* payload = nullptr;
    std::size_t payloadLength = 0;
};

// Writes the 32 masked wire bytes into out and returns 32.
std::size_t buildRelayHeader(const RRelayHeader& h, std::uint8_t* out);
// Reads a header at the start of buf without changing buf. False when len is
// below 32 or the magic and version do not match.
bool parseRelayHeader(const std::uint8_t* buf, std::size_t len, RRelayHeader& h);
// XOR with 0x5D in place; its own inverse. Returns len.
std::size_t maskBuffer(void* data, std::size_t len);

}  // namespace vnx
