#pragma once
// Sealed datagrams between the local server (or the client's probe) and a
// keyed relay: every datagram of the relay protocol (32-byte header and
// payload) travels inside an AEAD seal, so that nobody on the path reads or
// changes it and nobody without the key gets anything relayed or answered.
//
// Wire form of one sealed datagram:
//
//   offset  size
//   0       8    sender id: random, chosen by the sender (see below)
//   8       8    packet number, big-endian, counting from 0 per sender id
//   16      n+16 the plain datagram sealed with AES-256-GCM, tag last
//
// The first 16 bytes are authenticated as associated data. The plain part
// starts with 8 bytes of the sender's clock (Unix seconds, big-endian), then
// the relay-protocol datagram.
//
// Keys: each sender draws a random 8-byte sender id and derives its sealing
// key as HKDF-SHA256(relay key, salt = sender id, info = "veilnox hop
// datagram v1" + direction byte). The nonce is 4 zero bytes and the packet
// number: unique per key because a sender never reuses an id (it draws a new
// one at start and every 2^24 datagrams, well below AES-GCM's limits), so no
// nonce repeats even across restarts. Receivers keep the keys of the sender
// ids they have authenticated, with a 2048-packet replay window each, and
// refuse clocks more than 90 seconds away (a datagram recorded before a
// relay restarted cannot be replayed into it later).
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vnxhop {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kSenderIdSize = 8;
// Bytes a seal adds: sender id, packet number, clock, tag.
constexpr std::size_t kSealOverhead = 8 + 8 + 8 + 16;
constexpr std::int64_t kClockToleranceSeconds = 90;

// Which way a datagram goes: its keys differ, so that a datagram sealed for
// the relay can never be played back to the client as a reply.
enum class Direction : std::uint8_t { ToRelay = 1, FromRelay = 2 };

// Seals datagrams of one direction. Not thread-safe: one per thread or loop.
class Sealer {
public:
    Sealer(const std::uint8_t key[kKeySize], Direction direction);
    ~Sealer();
    Sealer(const Sealer&) = delete;
    Sealer& operator=(const Sealer&) = delete;

    // Seals len bytes of plain into out (cap bytes of room). Returns the
    // sealed length (len + kSealOverhead), or 0 when out is too small or the
    // cryptographic library failed.
    std::size_t seal(const std::uint8_t* plain, std::size_t len, std::uint8_t* out, std::size_t cap);
    // The clock written into seals; tests set it, 0 = the system clock.
    void setClockForTest(std::int64_t unixSeconds) { testClock_ = unixSeconds; }

private:
    bool rekey();
    const std::uint8_t* key() const { return key_; }

    std::uint8_t key_[kKeySize];
    Direction direction_;
    struct Cipher;
    std::unique_ptr<Cipher> cipher_;
    std::uint8_t senderId_[kSenderIdSize] = {};
    std::uint64_t next_ = 0;
    std::int64_t testClock_ = 0;
};

enum class OpenResult {
    Ok,
    Malformed,  // too short, or no room for the plain datagram
    Forged,     // the seal did not verify: wrong key, tampered or truncated
    Replayed,   // a packet number seen before, or too far behind the window
    Stale,      // the sender's clock is more than 90 s away from ours
};

// Opens datagrams of one direction from any number of senders. Not
// thread-safe.
class Opener {
public:
    // maxSenders bounds the remembered sender ids (the least recently used
    // one is forgotten first).
    Opener(const std::uint8_t key[kKeySize], Direction direction, std::size_t maxSenders = 4096);
    ~Opener();
    Opener(const Opener&) = delete;
    Opener& operator=(const Opener&) = delete;

    // Opens a sealed datagram into out (cap bytes): on Ok, *plainLength is
    // the relay-protocol datagram's length. out may be the same memory as
    // sealed + kSealOverhead - 16 or any buffer that does not overlap.
    OpenResult open(const std::uint8_t* sealed, std::size_t len, std::uint8_t* out, std::size_t cap,
                    std::size_t* plainLength);
    void setClockForTest(std::int64_t unixSeconds) { testClock_ = unixSeconds; }
    std::size_t senderCount() const;

private:
    struct State;
    std::unique_ptr<State> state_;
    std::int64_t testClock_ = 0;
};

// Fills out with n cryptographically random bytes. False when the library
// has no randomness.
bool randomBytes(std::uint8_t* out, std::size_t n);

}  // namespace vnxhop
