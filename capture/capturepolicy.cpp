#include "capturepolicy.h"

#include <cstring>

namespace vnxcap {

namespace {
char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

void putUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The rule's text as UTF-8, only its last path component, without blanks
// around it.
std::string ruleName(const vnx::ProgramRule& rule) {
    constexpr std::size_t kUnits = sizeof rule.name / sizeof rule.name[0];
    std::string out;
    for (std::size_t i = 0; i < kUnits; ++i) {
        std::uint32_t cp = rule.name[i];
        if (cp == 0) break;
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < kUnits) {
            std::uint32_t lo = rule.name[i + 1];
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            } else {
                cp = 0xFFFD;
            }
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp == '/' || cp == '\\') {
            out.clear();
            continue;
        }
        putUtf8(out, cp);
    }
    std::size_t b = 0, e = out.size();
    while (b < e && (out[b] == ' ' || out[b] == '\t'))
        ++b;
    while (e > b && (out[e - 1] == ' ' || out[e - 1] == '\t' || out[e - 1] == '\r'))
        --e;
    return out.substr(b, e - b);
}
}  // namespace

std::uint64_t nameHash(const char* name, std::size_t length) {
    if (length > 4 && name[length - 4] == '.' && foldAscii(name[length - 3]) == 'e' &&
        foldAscii(name[length - 2]) == 'x' && foldAscii(name[length - 1]) == 'e')
        length -= 4;
    if (length == 0) return 0;
    // The hooks read at most VNX_NAME_MAX - 1 bytes of a name.
    if (length > VNX_NAME_MAX - 1) length = VNX_NAME_MAX - 1;
    std::uint64_t h = VNX_FNV_OFFSET;
    for (std::size_t i = 0; i < length; ++i) {
        h ^= static_cast<unsigned char>(foldAscii(name[i]));
        h *= VNX_FNV_PRIME;
    }
    return h ? h : 1;
}

std::uint64_t nameHash(const std::string& name) { return nameHash(name.data(), name.size()); }

std::string baseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::set<std::uint64_t> ownNameHashes() {
    std::set<std::uint64_t> out;
    for (const char* n : {"veilnox", "veilnoxsvr", "veilnox-relay", "veilnox-run", "veilnox-capture"})
        out.insert(nameHash(n));
    return out;
}

void lineageAdd(vnx_proc_info& info, std::uint64_t hash) {
    if (!hash) return;
    for (int k = 0; k < 4; ++k) {
        const std::uint32_t bit = vnx_lineage_bit(hash, k);
        info.lineage[bit >> 6] |= 1ULL << (bit & 63);
    }
}

bool lineageHas(const vnx_proc_info& info, std::uint64_t hash) {
    if (!hash) return false;
    for (int k = 0; k < 4; ++k) {
        const std::uint32_t bit = vnx_lineage_bit(hash, k);
        if (!(info.lineage[bit >> 6] & (1ULL << (bit & 63)))) return false;
    }
    return true;
}

vnx_rule_list ruleList(const std::set<std::uint64_t>& rules) {
    vnx_rule_list list{};
    for (std::uint64_t h : rules) {
        if (list.count >= VNX_RULES_MAX) break;
        list.hashes[list.count++] = h;
    }
    return list;
}

bool coveredBy(const UserPolicy& policy, const vnx_proc_info* info) {
    if (policy.policy.connected != 1 || (info && info->own)) return false;
    if (!policy.policy.tcp && !policy.policy.udp && !policy.policy.dns) return false;
    if (policy.policy.all_apps) return true;
    if (policy.rules.empty()) return false;
    if (!info) return true;
    for (std::uint64_t h : policy.rules)
        if (lineageHas(*info, h)) return true;
    return false;
}

bool UserPolicy::operator==(const UserPolicy& o) const {
    return std::memcmp(&policy, &o.policy, sizeof policy) == 0 && rules == o.rules;
}

UserPolicy policyFromBlock(const vnx::ProxyData& block) {
    UserPolicy p;
    p.policy.connected = block.connected == 1 ? 1 : 0;
    p.policy.tcp = block.redirect_tcp ? 1 : 0;
    p.policy.udp = block.redirect_udp ? 1 : 0;
    p.policy.dns = block.redirect_dns ? 1 : 0;
    p.policy.all_apps = block.redirect_all_apps ? 1 : 0;
    p.policy.tcp_port = block.tcp_port ? block.tcp_port : vnx::kLocalServerPort;
    p.policy.udp_port = static_cast<std::uint16_t>(p.policy.tcp_port + 1);
    const int count = vnx::clampedRuleCount(block);
    for (int i = 0; i < count; ++i) {
        if (block.rules[i].enabled == 0) continue;
        std::string name = ruleName(block.rules[i]);
        if (std::uint64_t h = nameHash(name)) p.rules.insert(h);
    }
    return p;
}

}  // namespace vnxcap
