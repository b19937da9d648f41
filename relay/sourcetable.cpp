#include "sourcetable.h"

#include "addresspolicy.h"

#include <netinet/in.h>

#include <cstring>

namespace vnxrelay {

bool SourceTable::Key::operator==(const Key& o) const {
    return family == o.family && std::memcmp(addr, o.addr, sizeof addr) == 0;
}

std::size_t SourceTable::KeyHash::operator()(const Key& k) const {
    // FNV-1a over the key bytes.
    std::uint64_t h = 1469598103934665603ULL;
    for (std::uint8_t b : k.addr) {
        h ^= b;
        h *= 1099511628211ULL;
    }
    h ^= k.family;
    h *= 1099511628211ULL;
    return static_cast<std::size_t>(h);
}

SourceState* SourceTable::get(const sockaddr* addr) {
    PlainAddress a;
    if (!plainAddress(addr, a)) return nullptr;
    Key key{};
    key.family = static_cast<std::uint8_t>(a.family);
    // IPv4 in the first 4 bytes; IPv6 reduced to its /64.
    std::memcpy(key.addr, a.addr, a.family == AF_INET ? 4 : 8);
    try {
        return &map_[key];
    } catch (...) {
        return nullptr;
    }
}

void SourceTable::markVerified(SourceState* s, std::uint64_t now) {
    if (!s) return;
    // Renewing a proof costs nothing; a new one counts against the cap
    // (recounted at each sweep).
    if (s->verifiedUntil <= now) {
        if (remembered_ >= kMaxRemembered) return;
        ++remembered_;
    }
    s->verifiedUntil = now + kVerifiedMs;
}

void SourceTable::sweep(std::uint64_t now) {
    remembered_ = 0;
    for (auto it = map_.begin(); it != map_.end();) {
        if (!it->second.idle()) {
            ++it;
        } else if (it->second.verifiedUntil > now) {
            ++remembered_;
            ++it;
        } else {
            it = map_.erase(it);
        }
    }
}

}  // namespace vnxrelay
