// libFuzzer target: the keyed hop's datagram opener and the texts users
// paste (server links, keys), fed with arbitrary bytes.
//
// The first byte chooses what the rest is:
//   0: a datagram as it could arrive at the relay: it must never open
//      (nobody without the key can make one), and must never be read past
//      its end;
//   1: a plain datagram that is sealed with the key, then changed at the
//      positions the last bytes name: it opens exactly when nothing changed,
//      and then gives back the plain datagram;
//   2: a pasted text: a link that parses formats back into a link that
//      parses to the same entry; a key that decodes encodes to the same text.
#include "hop/datagram.h"
#include "hopkey.h"
#include "serverlink.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
const std::uint8_t kKey[32] = {7,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                               16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0] % 3;
    std::vector<std::uint8_t> in(data + 1, data + size);
    const std::uint8_t* p = in.empty() ? nullptr : in.data();
    // Mode 1 seals with a key of its own: the fuzzer sees the comparisons
    // made there and may feed their bytes back, and nothing sealed with the
    // first key must ever exist.
    static std::uint8_t otherKey[32];
    static const bool keyed = (std::memcpy(otherKey, kKey, 32), otherKey[0] ^= 0xff, true);
    (void)keyed;
    static vnxhop::Opener stranger(kKey, vnxhop::Direction::ToRelay, 64);
    static vnxhop::Opener opener(otherKey, vnxhop::Direction::ToRelay, 64);
    static vnxhop::Sealer sealer(otherKey, vnxhop::Direction::ToRelay);

    if (mode == 0) {
        std::vector<std::uint8_t> out(in.size());
        std::size_t n = 0;
        if (p && stranger.open(p, in.size(), out.data(), out.size(), &n) == vnxhop::OpenResult::Ok) std::abort();
        return 0;
    }
    if (mode == 1) {
        // The last two bytes: how many changes, and a seed for where.
        std::size_t changes = in.size() >= 2 ? in[in.size() - 1] % 4 : 0;
        std::uint32_t seed = in.size() >= 2 ? in[in.size() - 2] : 0;
        std::vector<std::uint8_t> sealed(in.size() + vnxhop::kSealOverhead);
        std::size_t len = sealer.seal(p, in.size(), sealed.data(), sealed.size());
        if (len != sealed.size()) std::abort();
        const std::vector<std::uint8_t> original = sealed;
        for (std::size_t i = 0; i < changes; ++i) {
            seed = seed * 1103515245u + 12345u;
            sealed[seed % len] ^= static_cast<std::uint8_t>(1u << ((seed >> 16) % 8));
        }
        // Changes may undo each other: what counts is whether the bytes differ.
        const bool changed = sealed != original;
        std::vector<std::uint8_t> out(in.size() + 1);
        std::size_t n = 0;
        vnxhop::OpenResult r = opener.open(sealed.data(), len, out.data(), out.size(), &n);
        if (r == vnxhop::OpenResult::Ok) {
            if (changed || n != in.size() || (n > 0 && std::memcmp(out.data(), p, n) != 0)) std::abort();
        } else if (!changed) {
            std::abort();  // an untouched seal always opens (each one is new)
        }
        return 0;
    }
    const std::string text(in.begin(), in.end());
    vnx::ServerLink link;
    std::string error;
    if (vnx::parseServerLink(text, link, error)) {
        vnx::ServerLink again;
        if (!vnx::parseServerLink(vnx::formatServerLink(link), again, error)) std::abort();
        if (again.ipv4 != link.ipv4 || again.port != link.port || again.hasKey != link.hasKey ||
            std::memcmp(again.key, link.key, sizeof link.key) != 0 || again.tag != link.tag ||
            again.country != link.country || again.city != link.city)
            std::abort();
    } else if (error.empty()) {
        std::abort();
    }
    std::uint8_t key[32];
    if (vnx::decodeHopKey(text, key)) {
        std::uint8_t back[32];
        if (!vnx::decodeHopKey(vnx::encodeHopKey(key), back) || std::memcmp(key, back, 32) != 0) std::abort();
    }
    return 0;
}
