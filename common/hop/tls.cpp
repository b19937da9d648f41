#include "hop/tls.h"

#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/ssl.h>

#include <cstring>
#include <new>

namespace vnxhop {

namespace {

// TLS_AES_256_GCM_SHA384: the pre-shared key is tied to one suite, whose
// hash both sides must agree on.
const unsigned char kSuite[2] = {0x13, 0x02};
const char kSuiteName[] = "TLS_AES_256_GCM_SHA384";
const char kIdentityInfo[] = "veilnox hop tls identity v1";
const char kPskInfo[] = "veilnox hop tls psk v1";

struct Secrets {
    unsigned char identity[16];
    unsigned char psk[32];
};

int secretsIndex() {
    static const int index =
        SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, [](void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
            auto* s = static_cast<Secrets*>(ptr);
            if (!s) return;
            OPENSSL_cleanse(s, sizeof *s);
            delete s;
        });
    return index;
}

const Secrets* secretsOf(SSL* ssl) {
    return static_cast<const Secrets*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), secretsIndex()));
}

SSL_SESSION* pskSession(SSL* ssl, const Secrets& s) {
    const SSL_CIPHER* cipher = SSL_CIPHER_find(ssl, kSuite);
    if (!cipher) return nullptr;
    SSL_SESSION* session = SSL_SESSION_new();
    if (!session) return nullptr;
    if (!SSL_SESSION_set1_master_key(session, s.psk, sizeof s.psk) || !SSL_SESSION_set_cipher(session, cipher) ||
        !SSL_SESSION_set_protocol_version(session, TLS1_3_VERSION)) {
        SSL_SESSION_free(session);
        return nullptr;
    }
    return session;
}

// Client: offers the key's identity with its pre-shared key.
int useSession(SSL* ssl, const EVP_MD* md, const unsigned char** id, std::size_t* idLength, SSL_SESSION** session) {
    *session = nullptr;
    const Secrets* s = secretsOf(ssl);
    if (!s) return 0;
    const SSL_CIPHER* cipher = SSL_CIPHER_find(ssl, kSuite);
    // Asked again after the server chose a suite: a suite of another hash
    // cannot use this key (ours offers only the one suite).
    if (md && cipher && SSL_CIPHER_get_handshake_digest(cipher) != md) return 1;
    *session = pskSession(ssl, *s);
    if (!*session) return 0;
    *id = s->identity;
    *idLength = sizeof s->identity;
    return 1;
}

// Server: accepts only the identity of its own key. Any other offer goes on
// as if no key had been offered, and without a certificate the handshake
// then fails with the library's ordinary alert.
int findSession(SSL* ssl, const unsigned char* identity, std::size_t identityLength, SSL_SESSION** session) {
    *session = nullptr;
    const Secrets* s = secretsOf(ssl);
    if (!s) return 0;
    if (identityLength != sizeof s->identity || CRYPTO_memcmp(identity, s->identity, sizeof s->identity) != 0) return 1;
    *session = pskSession(ssl, *s);
    return *session ? 1 : 0;
}

}  // namespace

bool hkdfSha256(const std::uint8_t* ikm, std::size_t ikmLen, const std::uint8_t* salt, std::size_t saltLen,
                const char* info, std::size_t infoLen, std::uint8_t* out, std::size_t outLen) {
    // No salt is an empty one (the library refuses a null pointer).
    static const std::uint8_t kNoSalt[1] = {0};
    if (!salt) {
        salt = kNoSalt;
        saltLen = 0;
    }
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    if (!ctx) return false;
    std::size_t len = outLen;
    bool ok =
        EVP_PKEY_derive_init(ctx) > 0 && EVP_PKEY_CTX_set_hkdf_md(ctx, EVP_sha256()) > 0 &&
        EVP_PKEY_CTX_set1_hkdf_salt(ctx, salt, static_cast<int>(saltLen)) > 0 &&
        EVP_PKEY_CTX_set1_hkdf_key(ctx, ikm, static_cast<int>(ikmLen)) > 0 &&
        EVP_PKEY_CTX_add1_hkdf_info(ctx, reinterpret_cast<const unsigned char*>(info), static_cast<int>(infoLen)) > 0 &&
        EVP_PKEY_derive(ctx, out, &len) > 0 && len == outLen;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

void tlsIdentity(const std::uint8_t key[kTlsKeySize], std::uint8_t identity[16]) {
    if (!hkdfSha256(key, kTlsKeySize, nullptr, 0, kIdentityInfo, sizeof kIdentityInfo - 1, identity, 16))
        std::memset(identity, 0, 16);
}

void tlsPsk(const std::uint8_t key[kTlsKeySize], std::uint8_t psk[32]) {
    if (!hkdfSha256(key, kTlsKeySize, nullptr, 0, kPskInfo, sizeof kPskInfo - 1, psk, 32)) std::memset(psk, 0, 32);
}

SSL_CTX* newTlsContext(const std::uint8_t key[kTlsKeySize], bool server) {
    auto* secrets = new (std::nothrow) Secrets;
    if (!secrets) return nullptr;
    if (!hkdfSha256(key, kTlsKeySize, nullptr, 0, kIdentityInfo, sizeof kIdentityInfo - 1, secrets->identity,
                    sizeof secrets->identity) ||
        !hkdfSha256(key, kTlsKeySize, nullptr, 0, kPskInfo, sizeof kPskInfo - 1, secrets->psk, sizeof secrets->psk)) {
        delete secrets;
        return nullptr;
    }
    SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!ctx || !SSL_CTX_set_ex_data(ctx, secretsIndex(), secrets)) {
        OPENSSL_cleanse(secrets, sizeof *secrets);
        delete secrets;
        SSL_CTX_free(ctx);
        return nullptr;
    }
    bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) &&
              SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) && SSL_CTX_set_ciphersuites(ctx, kSuiteName) &&
              // Forward secrecy: X25519 first; the pre-shared key only
              // authenticates (psk_dhe_ke; plain psk_ke is never allowed).
              SSL_CTX_set1_groups_list(ctx, "X25519:P-256");
    // No tickets and no early data: every connection runs the full exchange,
    // and nothing sent before the handshake completes can be replayed.
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_clear_options(ctx, SSL_OP_ALLOW_NO_DHE_KEX);
    SSL_CTX_set_max_early_data(ctx, 0);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    // Non-blocking users retry a write with the same bytes from wherever
    // they now are; idle connections give their record buffers back.
    SSL_CTX_set_mode(ctx,
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    if (server) {
        SSL_CTX_set_psk_find_session_callback(ctx, findSession);
    } else {
        SSL_CTX_set_psk_use_session_callback(ctx, useSession);
        // A server that answers with a certificate instead of the key is
        // not ours: no certificate is ever accepted.
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 0; });
    }
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

bool tlsPeerProvedKey(SSL* ssl) { return ssl && SSL_is_init_finished(ssl) && SSL_session_reused(ssl) == 1; }

}  // namespace vnxhop
