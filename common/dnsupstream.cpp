#include "dnsupstream.h"

#include "platform/net.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vnx {

namespace {

const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool parseHost(const char* text, std::size_t len, REndpoint& out) {
    char buf[64];
    if (len == 0 || len >= sizeof buf) return false;
    std::memcpy(buf, text, len);
    buf[len] = 0;
    if (char* pct = std::strchr(buf, '%')) *pct = 0;
    in_addr a4;
    in6_addr a6;
    if (std::strchr(buf, ':') == nullptr) {
        if (inet_pton(AF_INET, buf, &a4) != 1) return false;
        out.ipv4 = a4.s_addr;
        std::memset(out.ipv6, 0, 16);  // 0.0.0.0 reads as the all-zero form (::)
        return true;
    }
    if (inet_pton(AF_INET6, buf, &a6) != 1) return false;
    std::memcpy(out.ipv6, &a6, 16);
    out.ipv4 = 0;
    if (std::memcmp(out.ipv6, kMapped, 12) == 0) {
        std::memcpy(&out.ipv4, out.ipv6 + 12, 4);
        std::memset(out.ipv6, 0, 16);
    }
    return true;
}

bool parsePort(const char* text, std::uint16_t& port) {
    if (!*text) return false;
    unsigned long v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<unsigned long>(*p - '0');
        if (v > 65535) return false;
    }
    if (v == 0) return false;
    port = htons(static_cast<std::uint16_t>(v));
    return true;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The first "nameserver" of a resolver file that is not on this host.
bool firstRemoteNameserver(const char* path, REndpoint& out) {
    if (!path) return false;
    std::FILE* f = std::fopen(path, "r");
    if (!f) return false;
    char line[512];
    bool found = false;
    int lines = 0;
    while (!found && lines++ < 4096 && std::fgets(line, sizeof line, f)) {
        const std::size_t n = std::strlen(line);
        const bool cut = n == sizeof line - 1 && line[n - 1] != '\n';
        if (cut) {  // skip the rest of an overlong line
            int c;
            while ((c = std::fgetc(f)) != EOF && c != '\n') {
            }
        }
        char* p = line;
        while (isBlank(*p))
            ++p;
        if (std::strncmp(p, "nameserver", 10) != 0 || !isBlank(p[10])) continue;
        p += 10;
        while (isBlank(*p))
            ++p;
        char* end = p;
        while (*end && !isBlank(*end) && *end != '#' && *end != ';')
            ++end;
        REndpoint e;
        e.port = htons(53);
        if (!parseHost(p, static_cast<std::size_t>(end - p), e)) continue;
        if (isLocalResolver(e)) continue;
        out = e;
        found = true;
    }
    std::fclose(f);
    return found;
}

}  // namespace

bool isLocalResolver(const REndpoint& e) {
    std::uint32_t v4 = e.ipv4;
    if (v4 == 0 && std::memcmp(e.ipv6, kMapped, 12) == 0) std::memcpy(&v4, e.ipv6 + 12, 4);
    if (v4 != 0) return (ntohl(v4) >> 24) == 127;
    static const std::uint8_t kAny[16] = {};
    static const std::uint8_t kLoop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (std::memcmp(e.ipv6, kAny, 16) == 0 || std::memcmp(e.ipv6, kLoop, 16) == 0) return true;
    // ::ffff:0.0.0.0
    return std::memcmp(e.ipv6, kMapped, 12) == 0;
}

bool parseResolverAddress(const char* text, REndpoint& out) {
    if (!text) return false;
    REndpoint e;
    e.port = htons(53);
    const char* colon = std::strchr(text, ':');
    if (text[0] == '[') {
        const char* close = std::strchr(text, ']');
        if (!close || !parseHost(text + 1, static_cast<std::size_t>(close - text - 1), e)) return false;
        if (close[1] == ':') {
            if (!parsePort(close + 2, e.port)) return false;
        } else if (close[1] != 0) {
            return false;
        }
    } else if (colon && std::strchr(colon + 1, ':') == nullptr) {
        if (!parseHost(text, static_cast<std::size_t>(colon - text), e) || !parsePort(colon + 1, e.port)) return false;
    } else if (!parseHost(text, std::strlen(text), e)) {
        return false;
    }
    out = e;
    return true;
}

bool chooseDnsUpstream(REndpoint& out, const char* systemdPath, const char* resolvPath) {
    if (firstRemoteNameserver(systemdPath, out)) return true;
    if (firstRemoteNameserver(resolvPath, out)) return true;
    REndpoint e;
    if (parseResolverAddress(std::getenv("VEILNOX_DNS_UPSTREAM"), e) && !isLocalResolver(e)) {
        out = e;
        return true;
    }
    return false;
}

}  // namespace vnx
