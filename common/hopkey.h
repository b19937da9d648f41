#pragma once
// The key of a keyed relay, as users see and move it, and as the client hands
// it to the local server.
//
// A key is 32 random bytes. In text (key files, server lists, links) it is
// base64url without padding: 43 characters. The client publishes the key of
// the selected server in a named object of its own ("VEILNOX_HOPKEY", mode
// 0600 like every named object); the proxy data block, which other tools
// read, never holds it.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vnx {

constexpr std::size_t kHopKeySize = 32;
constexpr std::size_t kHopKeyTextSize = 43;
constexpr char kHopKeyName[] = "VEILNOX_HOPKEY";

#pragma pack(push, 1)
// The named object's content. A writer makes `sequence` odd, writes, then
// makes it even again; a reader retries while it is odd or changed under it.
struct HopKeyBlock {
    char magic[4];           // "vhk1" once written
    std::uint32_t sequence;  // odd while a write is in progress
    std::uint32_t ipv4;      // the server the key belongs to, network order
    std::uint16_t port;      // its port, host order
    std::uint8_t present;    // 1: key holds that server's key
    std::uint8_t reserved;
    std::uint8_t key[kHopKeySize];
    std::uint8_t reserved2[16];
};
#pragma pack(pop)
static_assert(sizeof(HopKeyBlock) == 64, "hop key block size");
static_assert(offsetof(HopKeyBlock, magic) == 0, "magic");
static_assert(offsetof(HopKeyBlock, sequence) == 4, "sequence");
static_assert(offsetof(HopKeyBlock, ipv4) == 8, "ipv4");
static_assert(offsetof(HopKeyBlock, port) == 12, "port");
static_assert(offsetof(HopKeyBlock, present) == 14, "present");
static_assert(offsetof(HopKeyBlock, reserved) == 15, "reserved");
static_assert(offsetof(HopKeyBlock, key) == 16, "key");
static_assert(offsetof(HopKeyBlock, reserved2) == 48, "reserved2");

// 43 base64url characters.
std::string encodeHopKey(const std::uint8_t key[kHopKeySize]);
// Takes exactly 43 base64url characters (surrounding blanks and line ends
// allowed) whose last character carries no stray bits. False otherwise.
bool decodeHopKey(const std::string& text, std::uint8_t key[kHopKeySize]);

// The client: publishes the key of the server at ipv4 (network order):port,
// or, with key null, that the selected server has none. Creates the object
// on first use. False when it cannot be created.
bool publishHopKey(std::uint32_t ipv4, std::uint16_t port, const std::uint8_t* key);
// The local server: the published key when it belongs to ipv4:port. False
// when there is none (a plain server) or the object is missing.
bool readHopKey(std::uint32_t ipv4, std::uint16_t port, std::uint8_t key[kHopKeySize]);

}  // namespace vnx
