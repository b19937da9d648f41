#include "hop/datagram.h"

#include "hop/tls.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <ctime>
#include <list>
#include <unordered_map>

namespace vnxhop {

namespace {

constexpr std::size_t kPrefixSize = 16;  // sender id + packet number
constexpr std::size_t kClockSize = 8;
constexpr std::size_t kTagSize = 16;
// A sender draws a new id (and key) after this many datagrams.
constexpr std::uint64_t kPacketsPerKey = std::uint64_t{1} << 24;
constexpr std::uint64_t kWindowBits = 2048;
const char kInfo[] = "veilnox hop datagram v1";

struct CipherCtx {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
    CipherCtx() = default;
    CipherCtx(const CipherCtx&) = delete;
    CipherCtx& operator=(const CipherCtx&) = delete;
};

bool deriveKey(const std::uint8_t relayKey[kKeySize], const std::uint8_t senderId[kSenderIdSize], Direction d,
               std::uint8_t out[32]) {
    char info[sizeof kInfo];
    std::memcpy(info, kInfo, sizeof kInfo - 1);
    info[sizeof kInfo - 1] = static_cast<char>(d);
    return hkdfSha256(relayKey, kKeySize, senderId, kSenderIdSize, info, sizeof info, out, 32);
}

void putBig64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
}

std::uint64_t getBig64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | p[i];
    return v;
}

void nonceOf(const std::uint8_t* packetNumber, std::uint8_t nonce[12]) {
    std::memset(nonce, 0, 4);
    std::memcpy(nonce + 4, packetNumber, 8);
}

std::int64_t nowSeconds(std::int64_t testClock) {
    return testClock != 0 ? testClock : static_cast<std::int64_t>(std::time(nullptr));
}

// Which packet numbers of one sender were seen: the highest, and a bitmap of
// the 2048 below and at it.
struct ReplayWindow {
    bool any = false;
    std::uint64_t top = 0;
    std::uint64_t bits[kWindowBits / 64] = {};

    bool fresh(std::uint64_t n) const {
        if (!any || n > top) return true;
        if (top - n >= kWindowBits) return false;
        std::uint64_t b = n % kWindowBits;
        return !((bits[b / 64] >> (b % 64)) & 1);
    }
    void mark(std::uint64_t n) {
        if (!any || n > top) {
            std::uint64_t from = any ? top + 1 : n;
            if (!any || n - top >= kWindowBits) {
                std::memset(bits, 0, sizeof bits);
            } else {
                for (std::uint64_t i = from; i < n; ++i) {
                    std::uint64_t b = i % kWindowBits;
                    bits[b / 64] &= ~(std::uint64_t{1} << (b % 64));
                }
            }
            any = true;
            top = n;
        }
        std::uint64_t b = n % kWindowBits;
        bits[b / 64] |= std::uint64_t{1} << (b % 64);
    }
};

}  // namespace

bool randomBytes(std::uint8_t* out, std::size_t n) { return RAND_bytes(out, static_cast<int>(n)) == 1; }

// ---- Sealer ------------------------------------------------------------------

struct Sealer::Cipher : CipherCtx {
    bool ready = false;
};

Sealer::Sealer(const std::uint8_t key[kKeySize], Direction direction) : direction_(direction), cipher_(new Cipher) {
    std::memcpy(key_, key, kKeySize);
}

Sealer::~Sealer() { OPENSSL_cleanse(key_, sizeof key_); }

bool Sealer::rekey() {
    cipher_->ready = false;
    std::uint8_t derived[32];
    if (!cipher_->ctx || !randomBytes(senderId_, sizeof senderId_) || !deriveKey(key_, senderId_, direction_, derived))
        return false;
    bool ok = EVP_EncryptInit_ex(cipher_->ctx, EVP_aes_256_gcm(), nullptr, derived, nullptr) == 1;
    OPENSSL_cleanse(derived, sizeof derived);
    if (!ok) return false;
    next_ = 0;
    cipher_->ready = true;
    return true;
}

std::size_t Sealer::seal(const std::uint8_t* plain, std::size_t len, std::uint8_t* out, std::size_t cap) {
    if (cap < len + kSealOverhead || len > 0x7fffffff) return 0;
    if (!cipher_->ready || next_ >= kPacketsPerKey) {
        if (!rekey()) return 0;
    }
    std::memcpy(out, senderId_, kSenderIdSize);
    putBig64(out + kSenderIdSize, next_++);
    std::uint8_t nonce[12];
    nonceOf(out + kSenderIdSize, nonce);
    std::uint8_t clock[kClockSize];
    putBig64(clock, static_cast<std::uint64_t>(nowSeconds(testClock_)));
    EVP_CIPHER_CTX* c = cipher_->ctx;
    int n = 0, total = 0;
    if (EVP_EncryptInit_ex(c, nullptr, nullptr, nullptr, nonce) != 1 ||
        EVP_EncryptUpdate(c, nullptr, &n, out, kPrefixSize) != 1 ||
        EVP_EncryptUpdate(c, out + kPrefixSize, &n, clock, kClockSize) != 1)
        return 0;
    total = n;
    if (len > 0) {
        if (EVP_EncryptUpdate(c, out + kPrefixSize + total, &n, plain, static_cast<int>(len)) != 1) return 0;
        total += n;
    }
    if (EVP_EncryptFinal_ex(c, out + kPrefixSize + total, &n) != 1) return 0;
    total += n;
    if (EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, kTagSize, out + kPrefixSize + total) != 1) return 0;
    return kPrefixSize + static_cast<std::size_t>(total) + kTagSize;
}

// ---- Opener ------------------------------------------------------------------

struct Opener::State {
    struct Sender {
        CipherCtx cipher;
        ReplayWindow window;
        std::list<std::uint64_t>::iterator age;
    };
    std::uint8_t key[kKeySize];
    Direction direction;
    std::size_t maxSenders;
    std::unordered_map<std::uint64_t, std::unique_ptr<Sender>> senders;
    std::list<std::uint64_t> ages;  // most recently used first
    // For datagrams of ids not seen before: keyed here, kept only once one
    // opens.
    std::unique_ptr<Sender> trial;

    ~State() { OPENSSL_cleanse(key, sizeof key); }

    bool initSender(Sender& s, const std::uint8_t* senderId) {
        std::uint8_t derived[32];
        if (!s.cipher.ctx || !deriveKey(key, senderId, direction, derived)) return false;
        bool ok = EVP_DecryptInit_ex(s.cipher.ctx, EVP_aes_256_gcm(), nullptr, derived, nullptr) == 1;
        OPENSSL_cleanse(derived, sizeof derived);
        s.window = ReplayWindow();
        return ok;
    }
};

Opener::Opener(const std::uint8_t key[kKeySize], Direction direction, std::size_t maxSenders) : state_(new State) {
    std::memcpy(state_->key, key, kKeySize);
    state_->direction = direction;
    state_->maxSenders = maxSenders > 0 ? maxSenders : 1;
}

Opener::~Opener() = default;

std::size_t Opener::senderCount() const { return state_->senders.size(); }

OpenResult Opener::open(const std::uint8_t* sealed, std::size_t len, std::uint8_t* out, std::size_t cap,
                        std::size_t* plainLength) {
    if (len < kSealOverhead || len - kSealOverhead > cap || len > 0x7fffffff) return OpenResult::Malformed;
    State& st = *state_;
    std::uint64_t id;
    std::memcpy(&id, sealed, sizeof id);
    const std::uint64_t number = getBig64(sealed + kSenderIdSize);
    auto it = st.senders.find(id);
    State::Sender* s = nullptr;
    if (it != st.senders.end()) {
        s = it->second.get();
        if (!s->window.fresh(number)) return OpenResult::Replayed;
    } else {
        if (!st.trial) st.trial.reset(new (std::nothrow) State::Sender);
        if (!st.trial || !st.initSender(*st.trial, sealed)) return OpenResult::Forged;
        s = st.trial.get();
    }

    std::uint8_t nonce[12];
    nonceOf(sealed + kSenderIdSize, nonce);
    const std::size_t bodyLength = len - kPrefixSize - kTagSize;  // clock + datagram
    EVP_CIPHER_CTX* c = s->cipher.ctx;
    std::uint8_t clock[kClockSize];
    std::uint8_t tag[kTagSize];
    std::memcpy(tag, sealed + len - kTagSize, kTagSize);
    int n = 0;
    bool ok = EVP_DecryptInit_ex(c, nullptr, nullptr, nullptr, nonce) == 1 &&
              EVP_DecryptUpdate(c, nullptr, &n, sealed, kPrefixSize) == 1 &&
              EVP_DecryptUpdate(c, clock, &n, sealed + kPrefixSize, kClockSize) == 1;
    if (ok && bodyLength > kClockSize)
        ok = EVP_DecryptUpdate(c, out, &n, sealed + kPrefixSize + kClockSize,
                               static_cast<int>(bodyLength - kClockSize)) == 1;
    ok = ok && EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, kTagSize, tag) == 1 &&
         EVP_DecryptFinal_ex(c, out + (bodyLength - kClockSize), &n) == 1;
    if (!ok) {
        // Nothing of a forged datagram is left where the caller may look.
        OPENSSL_cleanse(out, bodyLength - kClockSize);
        return OpenResult::Forged;
    }
    const std::int64_t sent = static_cast<std::int64_t>(getBig64(clock));
    const std::int64_t now = nowSeconds(testClock_);
    if (sent > now + kClockToleranceSeconds || sent < now - kClockToleranceSeconds) return OpenResult::Stale;

    if (s == st.trial.get()) {
        // A new sender proved the key: remember it, forgetting the least
        // recently used one when the table is full.
        if (st.senders.size() >= st.maxSenders && !st.ages.empty()) {
            st.senders.erase(st.ages.back());
            st.ages.pop_back();
        }
        try {
            st.ages.push_front(id);
            s->age = st.ages.begin();
            st.senders.emplace(id, std::move(st.trial));
        } catch (...) {
            if (!st.ages.empty() && st.ages.front() == id && !st.trial == false) st.ages.pop_front();
            return OpenResult::Malformed;
        }
    } else if (s->age != st.ages.begin()) {
        st.ages.splice(st.ages.begin(), st.ages, s->age);
    }
    s->window.mark(number);
    *plainLength = bodyLength - kClockSize;
    return OpenResult::Ok;
}

}  // namespace vnxhop
