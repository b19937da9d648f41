#pragma once
// TLS 1.3 for TCP between the local server and a keyed relay, from OpenSSL:
// both sides prove the relay's key through a TLS 1.3 external pre-shared key
// whose handshake also runs an X25519 exchange (psk_dhe_ke), so a key that
// leaks later does not open recorded sessions. No certificates: a peer
// without the key fails the handshake with the library's ordinary alert, and
// nothing of the relay protocol is ever reached.
//
// The identity sent in the clear is derived from the key (16 bytes, no
// product name in it); the pre-shared key itself is derived from the key too
// (HKDF-SHA256), never the key as it stands.
#include <cstddef>
#include <cstdint>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace vnxhop {

constexpr std::size_t kTlsKeySize = 32;

// A context for the relay side (server) or the local server side (client)
// that authenticates with key. Null when OpenSSL refused. Free with
// SSL_CTX_free.
SSL_CTX* newTlsContext(const std::uint8_t key[kTlsKeySize], bool server);

// True once the handshake on ssl finished with the pre-shared key (the peer
// proved the key). Checked before a single byte of the relay protocol moves.
bool tlsPeerProvedKey(SSL* ssl);

// The 16-byte identity of key and the 32-byte pre-shared key, as both sides
// derive them.
void tlsIdentity(const std::uint8_t key[kTlsKeySize], std::uint8_t identity[16]);
void tlsPsk(const std::uint8_t key[kTlsKeySize], std::uint8_t psk[32]);

// HKDF-SHA256(ikm, salt, info) into out (outLen bytes). False on failure.
bool hkdfSha256(const std::uint8_t* ikm, std::size_t ikmLen, const std::uint8_t* salt, std::size_t saltLen,
                const char* info, std::size_t infoLen, std::uint8_t* out, std::size_t outLen);

}  // namespace vnxhop
