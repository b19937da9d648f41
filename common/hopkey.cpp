#include "hopkey.h"

#include "sharedmemory.h"

#include <atomic>
#include <cstring>

namespace vnx {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int digitValue(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

SharedMemory& hopKeyMemory(bool create) {
    static SharedMemory memory(kHopKeyName, sizeof(HopKeyBlock), create);
    return memory;
}

std::atomic<std::uint32_t>& sequenceOf(HopKeyBlock* b) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t), "lock-free sequence");
    return *reinterpret_cast<std::atomic<std::uint32_t>*>(&b->sequence);
}

}  // namespace

std::string encodeHopKey(const std::uint8_t key[kHopKeySize]) {
    std::string out;
    out.reserve(kHopKeyTextSize);
    std::uint32_t bits = 0;
    int count = 0;
    for (std::size_t i = 0; i < kHopKeySize; ++i) {
        bits = (bits << 8) | key[i];
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += kAlphabet[(bits >> count) & 63];
        }
    }
    if (count > 0) out += kAlphabet[(bits << (6 - count)) & 63];
    return out;
}

bool decodeHopKey(const std::string& text, std::uint8_t key[kHopKeySize]) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    if (end - begin != kHopKeyTextSize) return false;
    std::uint8_t out[kHopKeySize];
    std::uint32_t bits = 0;
    int count = 0;
    std::size_t n = 0;
    for (std::size_t i = begin; i < end; ++i) {
        int v = digitValue(text[i]);
        if (v < 0) return false;
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out[n++] = static_cast<std::uint8_t>(bits >> count);
        }
    }
    // 43 digits carry 258 bits: the last two must be zero, so that one key
    // has one text.
    if (n != kHopKeySize || (bits & ((1u << count) - 1)) != 0) return false;
    std::memcpy(key, out, kHopKeySize);
    return true;
}

bool publishHopKey(std::uint32_t ipv4, std::uint16_t port, const std::uint8_t* key) {
    SharedMemory& memory = hopKeyMemory(true);
    if (!memory.view() && !memory.open()) return false;
    auto* b = static_cast<HopKeyBlock*>(memory.view());
    auto& seq = sequenceOf(b);
    seq.fetch_add(1, std::memory_order_acq_rel);  // odd: writing
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(b->magic, "vhk1", 4);
    b->ipv4 = ipv4;
    b->port = port;
    b->present = key ? 1 : 0;
    if (key)
        std::memcpy(b->key, key, kHopKeySize);
    else
        std::memset(b->key, 0, kHopKeySize);
    std::atomic_thread_fence(std::memory_order_release);
    seq.fetch_add(1, std::memory_order_release);  // even: done
    return true;
}

bool readHopKey(std::uint32_t ipv4, std::uint16_t port, std::uint8_t key[kHopKeySize]) {
    SharedMemory& memory = hopKeyMemory(false);
    if (!memory.view() && !memory.open()) return false;
    auto* b = static_cast<HopKeyBlock*>(memory.view());
    auto& seq = sequenceOf(b);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::uint32_t before = seq.load(std::memory_order_acquire);
        if (before & 1) continue;
        HopKeyBlock copy;
        std::memcpy(&copy, b, sizeof copy);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq.load(std::memory_order_relaxed) != before) continue;
        if (std::memcmp(copy.magic, "vhk1", 4) != 0 || copy.present != 1 || copy.ipv4 != ipv4 || copy.port != port)
            return false;
        std::memcpy(key, copy.key, kHopKeySize);
        return true;
    }
    return false;
}

}  // namespace vnx
