#include "records.h"

#include <cstring>

namespace vnx {

const char* serverStatusName(int code) {
    switch (code) {
        case kStatusOk: return "";
        case kStatusTcpBind: return "TCP BIND";
        case kStatusTcpAccept: return "TCP Accept";
        case kStatusTcpIpv6Accept: return "TCP IPV6 Accept";
        case kStatusUdpBind: return "UDP BIND";
        case kStatusUdpSelect: return "UDP Select";
        case kStatusUdpRead: return "UDP Read";
        case kStatusUdpIpv6Read: return "UDP IPV6 Read";
        default: return "Unkown Error";
    }
}

std::uint32_t deriveIpv4(const std::uint8_t addr6[16]) {
    std::uint32_t w[4];
    std::memcpy(w, addr6, 16);
    static const std::uint8_t kMapped[4] = {0, 0, 0xff, 0xff};
    std::uint32_t mapped;
    std::memcpy(&mapped, kMapped, 4);
    if (w[0] != 0 || w[1] != 0) return 0;
    if (w[2] == mapped) return w[3];
    // IPv4-compatible (::a.b.c.d): not :: and ::1, nor any ::0.x.y.z, which
    // are IPv6 addresses of their own.
    if (w[2] == 0 && addr6[12] != 0) return w[3];
    return 0;
}

std::uint16_t payloadChecksum(const void* data, std::size_t len) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint32_t sum = 0;
    // Fold as we go so that payloads of any length never overflow the sum.
    std::size_t i = 0;
    for (; i + 1 < len; i += 2) {
        sum += static_cast<std::uint32_t>(p[i]) | (static_cast<std::uint32_t>(p[i + 1]) << 8);
        if (sum & 0x80000000u) sum = (sum & 0xffff) + (sum >> 16);
    }
    if (i < len) sum += p[i];
    sum = (sum & 0xffff) + (sum >> 16);
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xffff);
}

int clampedRuleCount(const ProxyData& data) {
    std::int32_t n = data.rule_count;
    if (n < 0) return 0;
    return n > kMaxRules ? kMaxRules : n;
}

void copyField(char* dst, std::size_t dstSize, const char* field, std::size_t fieldSize) {
    if (dstSize == 0) return;
    std::size_t n = 0;
    std::size_t limit = fieldSize < dstSize - 1 ? fieldSize : dstSize - 1;
    while (n < limit && field[n]) {
        dst[n] = field[n];
        ++n;
    }
    dst[n] = 0;
}

}  // namespace vnx
