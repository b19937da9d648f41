#include "dnsmessage.h"

#include <cstring>

namespace vnxmod {

namespace {
constexpr int kMaxJumps = 32;
constexpr int kMaxChain = 16;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(const char* a, const char* b) {
    // Compared without a trailing dot and without regard to ASCII case.
    std::size_t an = std::strlen(a), bn = std::strlen(b);
    if (an && a[an - 1] == '.') --an;
    if (bn && b[bn - 1] == '.') --bn;
    if (an != bn) return false;
    for (std::size_t i = 0; i < an; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
}  // namespace

std::size_t DnsMessage::buildQuery(std::uint16_t id, const char* name, std::uint16_t type, std::uint8_t* out,
                                   std::size_t cap) {
    if (!name || !out) return 0;
    std::size_t nameLen = std::strlen(name);
    if (nameLen && name[nameLen - 1] == '.') --nameLen;
    if (nameLen == 0 || nameLen > 253 || cap < 12 + nameLen + 2 + 4) return 0;
    std::memset(out, 0, 12);
    out[0] = static_cast<std::uint8_t>(id >> 8);
    out[1] = static_cast<std::uint8_t>(id);
    out[2] = 0x01;  // RD
    out[5] = 1;     // QDCOUNT
    std::size_t pos = 12;
    std::size_t start = 0;
    while (start < nameLen) {
        std::size_t end = start;
        while (end < nameLen && name[end] != '.')
            ++end;
        const std::size_t label = end - start;
        if (label == 0 || label > 63) return 0;
        out[pos++] = static_cast<std::uint8_t>(label);
        std::memcpy(out + pos, name + start, label);
        pos += label;
        start = end + 1;
    }
    out[pos++] = 0;
    out[pos++] = static_cast<std::uint8_t>(type >> 8);
    out[pos++] = static_cast<std::uint8_t>(type);
    out[pos++] = 0;
    out[pos++] = 1;  // IN
    return pos;
}

bool DnsMessage::readName(const std::uint8_t* msg, std::size_t len, std::size_t& pos, char* out, std::size_t cap) {
    if (cap == 0) return false;
    std::size_t p = pos;
    std::size_t n = 0;
    std::size_t after = 0;  // where the caller continues (after the first pointer)
    bool jumped = false;
    int jumps = 0;
    out[0] = 0;
    for (;;) {
        if (p >= len) return false;
        const std::uint8_t c = msg[p];
        if ((c & 0xC0) == 0xC0) {
            if (p + 1 >= len) return false;
            const std::size_t target = static_cast<std::size_t>(((c & 0x3F) << 8) | msg[p + 1]);
            // Only backwards: a pointer can never lead into a loop.
            if (target >= p || ++jumps > kMaxJumps) return false;
            if (!jumped) after = p + 2;
            jumped = true;
            p = target;
            continue;
        }
        if (c & 0xC0) return false;  // the reserved label types
        if (c == 0) {
            ++p;
            break;
        }
        if (p + 1 + c > len) return false;
        if (n + c + 2 > cap || n + c + 1 > 255) return false;
        if (n) out[n++] = '.';
        for (std::size_t i = 0; i < c; ++i)
            out[n++] = lower(static_cast<char>(msg[p + 1 + i]));
        p += 1 + c;
    }
    out[n] = 0;
    pos = jumped ? after : p;
    return true;
}

DnsMessage::Parse DnsMessage::parseResponse(const std::uint8_t* msg, std::size_t len, std::uint16_t id,
                                            const char* name, std::uint16_t type, DnsAnswer& out) {
    out = DnsAnswer();
    if (len < 12) return Parse::Malformed;
    if (get16(msg) != id || !(msg[2] & 0x80)) return Parse::NotOurs;
    if (((msg[2] >> 3) & 0x0F) != 0) return Parse::NotOurs;  // not a standard query
    const int rcode = msg[3] & 0x0F;
    out.truncated = (msg[2] & 0x02) != 0;
    const std::uint16_t qd = get16(msg + 4);
    const std::uint16_t an = get16(msg + 6);
    if (qd != 1) return rcode ? (out.status = DnsAnswer::Status::Failed, Parse::Ok) : Parse::NotOurs;
    std::size_t pos = 12;
    char qname[kMaxName] = {};
    if (!readName(msg, len, pos, qname, sizeof qname) || pos + 4 > len) return Parse::Malformed;
    if (!sameName(qname, name) || get16(msg + pos) != type || get16(msg + pos + 2) != 1) return Parse::NotOurs;
    pos += 4;
    if (rcode == 3) {
        out.status = DnsAnswer::Status::NoName;
        return Parse::Ok;
    }
    if (rcode != 0) {
        out.status = DnsAnswer::Status::Failed;
        return Parse::Ok;
    }
    // The chain of names whose records belong to the answer: the query
    // name and the targets of CNAME records met along the way.
    char chain[kMaxChain][kMaxName] = {};
    int chainLen = 1;
    std::memcpy(chain[0], qname, sizeof qname);
    for (std::uint16_t i = 0; i < an; ++i) {
        char owner[kMaxName] = {};
        if (!readName(msg, len, pos, owner, sizeof owner) || pos + 10 > len) return Parse::Malformed;
        const std::uint16_t rtype = get16(msg + pos);
        const std::uint16_t rclass = get16(msg + pos + 2);
        const std::uint16_t rdlen = get16(msg + pos + 8);
        pos += 10;
        if (pos + rdlen > len) return Parse::Malformed;
        bool inChain = false;
        for (int k = 0; k < chainLen && !inChain; ++k)
            inChain = sameName(owner, chain[k]);
        if (rclass == 1 && inChain) {
            if (rtype == kTypeCname && chainLen < kMaxChain) {
                std::size_t p = pos;
                if (!readName(msg, len, p, chain[chainLen], kMaxName) || p != pos + rdlen) return Parse::Malformed;
                ++chainLen;
            } else if (rtype == type && type == kTypeA && rdlen == 4 && out.count < kMaxAddresses) {
                std::memcpy(out.addr[out.count++], msg + pos, 4);
            } else if (rtype == type && type == kTypeAaaa && rdlen == 16 && out.count < kMaxAddresses) {
                std::memcpy(out.addr[out.count++], msg + pos, 16);
            } else if (rtype == type && type == kTypePtr && out.count == 0) {
                std::size_t p = pos;
                if (!readName(msg, len, p, out.target, kMaxName) || p != pos + rdlen) return Parse::Malformed;
                out.count = 1;
            }
        }
        pos += rdlen;
    }
    std::memcpy(out.canonical, chain[chainLen - 1], kMaxName);
    out.status = out.count ? DnsAnswer::Status::Ok : DnsAnswer::Status::NoData;
    return Parse::Ok;
}

}  // namespace vnxmod
