#include "hopclient.h"

#include "hop/tls.h"
#include "platform/serversupport.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>
#include <mutex>

namespace {

// One client context per key, shared by the tunnel threads (SSL_new on a
// context is thread-safe); made again when the user selects a server with
// another key.
std::mutex contextLock;
SSL_CTX* context = nullptr;
std::uint8_t contextKey[vnxhop::kKeySize];

SSL_CTX* contextFor(const std::uint8_t key[vnxhop::kKeySize]) {
    std::lock_guard<std::mutex> guard(contextLock);
    if (!context || CRYPTO_memcmp(contextKey, key, sizeof contextKey) != 0) {
        SSL_CTX* fresh = vnxhop::newTlsContext(key, false);
        if (!fresh) return nullptr;
        SSL_CTX_free(context);
        context = fresh;
        std::memcpy(contextKey, key, sizeof contextKey);
    }
    SSL_CTX_up_ref(context);
    return context;
}

void setTimeouts(vnxplat::socket_t s, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

HopTls::~HopTls() { SSL_free(ssl_); }

bool HopTls::start(vnxplat::socket_t s, const std::uint8_t key[vnxhop::kKeySize], int timeoutMs) {
    SSL_CTX* ctx = contextFor(key);
    if (!ctx) return false;
    ssl_ = SSL_new(ctx);
    SSL_CTX_free(ctx);  // the SSL holds its own reference
    if (!ssl_ || SSL_set_fd(ssl_, static_cast<int>(s)) != 1) return false;
    sock_ = s;
    // The handshake may not hold the tunnel longer than a connect may; the
    // relayed stream afterwards has no such limit (the tunnel's idle limit
    // applies).
    setTimeouts(s, timeoutMs > 0 ? timeoutMs : 20000);
    ERR_clear_error();
    const bool ok = SSL_connect(ssl_) == 1 && vnxhop::tlsPeerProvedKey(ssl_);
    ERR_clear_error();
    setTimeouts(s, 0);
    return ok;
}

long HopTls::recvSome(void* data, std::size_t len) {
    for (;;) {
        ERR_clear_error();
        std::size_t got = 0;
        if (SSL_read_ex(ssl_, data, len, &got) == 1) return static_cast<long>(got);
        int e = SSL_get_error(ssl_, 0);
        ERR_clear_error();
        if (e == SSL_ERROR_ZERO_RETURN) return 0;
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) continue;  // EINTR on the blocking socket
        return -1;
    }
}

long HopTls::recvWaiting(void* data, std::size_t len) {
    if (!pending()) {
        vnxplat::pollfd_t p{};
        p.fd = sock_;
        p.events = POLLIN;
        if (vnxplat::pollSockets(&p, 1, 0) <= 0) return vnxplat::kNothingWaiting;
    }
    return recvSome(data, len);
}

long HopTls::sendAll(const void* data, std::size_t len) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t total = 0;
    while (total < len) {
        ERR_clear_error();
        std::size_t n = 0;
        if (SSL_write_ex(ssl_, p + total, len - total, &n) == 1) {
            total += n;
            continue;
        }
        int e = SSL_get_error(ssl_, 0);
        ERR_clear_error();
        if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) continue;
        return -1;
    }
    return static_cast<long>(total);
}

void HopTls::shutdownSend() {
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
    vnxplat::shutdownSend(sock_);
}

bool HopTls::pending() const { return ssl_ && SSL_has_pending(ssl_) == 1; }

struct HopDatagrams::Seals {
    std::uint8_t key[vnxhop::kKeySize] = {};
    std::unique_ptr<vnxhop::Sealer> sealer;
    std::unique_ptr<vnxhop::Opener> opener;
};

HopDatagrams::HopDatagrams() : seals_(new Seals()) {}

HopDatagrams::~HopDatagrams() = default;

void HopDatagrams::useKey(const std::uint8_t key[vnxhop::kKeySize]) {
    Seals& s = *seals_;
    if (s.sealer && CRYPTO_memcmp(s.key, key, sizeof s.key) == 0) return;
    std::memcpy(s.key, key, sizeof s.key);
    s.sealer.reset(new vnxhop::Sealer(key, vnxhop::Direction::ToRelay));
    s.opener.reset(new vnxhop::Opener(key, vnxhop::Direction::FromRelay, 64));
}

std::size_t HopDatagrams::seal(const std::uint8_t* plain, std::size_t len, std::uint8_t* out, std::size_t cap) {
    return seals_->sealer ? seals_->sealer->seal(plain, len, out, cap) : 0;
}

bool HopDatagrams::open(const std::uint8_t* sealed, std::size_t len, std::uint8_t* out, std::size_t cap,
                        std::size_t* plainLength) {
    return seals_->opener && seals_->opener->open(sealed, len, out, cap, plainLength) == vnxhop::OpenResult::Ok;
}
