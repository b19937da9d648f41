#include "policy.h"

#include "processself.h"
#include "sharedobjects.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace vnxmod {

namespace {
constexpr std::size_t kNameMax = 256;
constexpr std::size_t kRuleUnits = sizeof(vnx::ProgramRule::name) / sizeof(char16_t);

char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Length of `s` without a trailing ".exe" (any case).
std::size_t stemLength(const char* s, std::size_t n) {
    if (n > 4 && s[n - 4] == '.' && foldAscii(s[n - 3]) == 'e' && foldAscii(s[n - 2]) == 'x' &&
        foldAscii(s[n - 1]) == 'e')
        return n - 4;
    return n;
}

bool sameName(const char* a, std::size_t an, const char* b, std::size_t bn) {
    an = stemLength(a, an);
    bn = stemLength(b, bn);
    if (an != bn || an == 0) return false;
    for (std::size_t i = 0; i < an; ++i)
        if (foldAscii(a[i]) != foldAscii(b[i])) return false;
    return true;
}

// Appends one code point as UTF-8; false when it does not fit.
bool putUtf8(char* out, std::size_t cap, std::size_t& n, std::uint32_t cp) {
    char tmp[4];
    std::size_t k;
    if (cp < 0x80) {
        tmp[0] = static_cast<char>(cp);
        k = 1;
    } else if (cp < 0x800) {
        tmp[0] = static_cast<char>(0xC0 | (cp >> 6));
        tmp[1] = static_cast<char>(0x80 | (cp & 0x3F));
        k = 2;
    } else if (cp < 0x10000) {
        tmp[0] = static_cast<char>(0xE0 | (cp >> 12));
        tmp[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        tmp[2] = static_cast<char>(0x80 | (cp & 0x3F));
        k = 3;
    } else {
        tmp[0] = static_cast<char>(0xF0 | (cp >> 18));
        tmp[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        tmp[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        tmp[3] = static_cast<char>(0x80 | (cp & 0x3F));
        k = 4;
    }
    if (n + k > cap) return false;
    std::memcpy(out + n, tmp, k);
    n += k;
    return true;
}

// The program's names, read once by the platform's code.
ProcessSelf gSelf;
std::atomic<int> gSelfState{0};  // 0 unknown, 1 being read, 2 ready

const ProcessSelf& self() {
    int st = gSelfState.load(std::memory_order_acquire);
    if (st == 2) return gSelf;
    int expected = 0;
    if (gSelfState.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
        int saved = errno;
        readProcessSelf(gSelf);
        errno = saved;
        gSelfState.store(2, std::memory_order_release);
    } else {
        while (gSelfState.load(std::memory_order_acquire) != 2)
            std::this_thread::yield();
    }
    return gSelf;
}
}  // namespace

bool Policy::ruleMatches(const char16_t* rule, std::size_t maxUnits, const char* programName) {
    if (!rule || !programName || !programName[0]) return false;
    char utf8[kNameMax * 3];
    std::size_t n = 0;
    for (std::size_t i = 0; i < maxUnits && rule[i] != 0; ++i) {
        std::uint32_t cp = rule[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < maxUnits && rule[i + 1] >= 0xDC00 && rule[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (rule[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp == '\\' || cp == '/') {
            n = 0;  // keep only the last part of a path
            continue;
        }
        if (!putUtf8(utf8, sizeof utf8, n, cp)) return false;
    }
    // Rules are trimmed by the client; be lenient with stray blanks anyway.
    std::size_t start = 0;
    while (start < n && (utf8[start] == ' ' || utf8[start] == '\t'))
        ++start;
    while (n > start && (utf8[n - 1] == ' ' || utf8[n - 1] == '\t' || utf8[n - 1] == '\r'))
        --n;
    return sameName(utf8 + start, n - start, programName, std::strlen(programName));
}

bool Policy::isVeilnoxProgram(const char* name) {
    static const char* const kOwn[] = {"veilnox", "veilnoxsvr", "veilnox-relay", "veilnox-run"};
    if (!name) return false;
    for (const char* own : kOwn)
        if (sameName(own, std::strlen(own), name, std::strlen(name))) return true;
    return false;
}

namespace {
// Whether the block's program choice (all programs, or a rule) takes in the
// program, leaving the connected state and the kinds aside.
bool chosen(const vnx::ProxyData& block, const char* exeName, const char* argv0Name) {
    if (block.redirect_all_apps != 0) return true;
    const int count = vnx::clampedRuleCount(block);
    for (int i = 0; i < count; ++i) {
        const vnx::ProgramRule& r = block.rules[i];
        if (r.enabled == 0) continue;
        if (Policy::ruleMatches(r.name, kRuleUnits, exeName) || Policy::ruleMatches(r.name, kRuleUnits, argv0Name))
            return true;
    }
    return false;
}

bool anyKind(const vnx::ProxyData& block) {
    return block.redirect_tcp != 0 || block.redirect_udp != 0 || block.redirect_dns != 0;
}
}  // namespace

Verdict Policy::evaluate(const vnx::ProxyData& block, const char* exeName, const char* argv0Name) {
    Verdict v;
    if (block.connected != 1) return v;
    if (isVeilnoxProgram(exeName) || isVeilnoxProgram(argv0Name)) return v;
    if (!chosen(block, exeName, argv0Name)) return v;
    v.tcp = block.redirect_tcp != 0;
    v.udp = block.redirect_udp != 0;
    v.dns = block.redirect_dns != 0;
    v.tcpPort = block.tcp_port;
    v.udpPort = block.udp_port;
    return v;
}

Policy::Reason Policy::explain(const vnx::ProxyData* block, const char* exeName, const char* argv0Name) {
    if (!block) return Reason::NoClient;
    if (isVeilnoxProgram(exeName) || isVeilnoxProgram(argv0Name)) return Reason::OwnProgram;
    if (!chosen(*block, exeName, argv0Name)) return Reason::NotChosen;
    if (!anyKind(*block)) return Reason::NothingRedirected;
    if (block->connected != 1) return Reason::NotConnected;
    return Reason::Diverted;
}

namespace {
// What the module last knew while it could read the block: 0 nothing,
// 1 disconnected, 2 connected with the kinds in gLastKinds.
std::atomic<int> gLastState{0};
std::atomic<int> gLastKinds{0};
void remember(const vnx::ProxyData& block, const Verdict& v) {
    // Stored only when it changes: every hooked call of every thread comes
    // here, and unchanged values keep the cache line shared.
    const int kinds = (v.tcp ? 1 : 0) | (v.udp ? 2 : 0) | (v.dns ? 4 : 0);
    const int state = block.connected == 1 ? 2 : 1;
    if (gLastKinds.load(std::memory_order_relaxed) != kinds) gLastKinds.store(kinds, std::memory_order_relaxed);
    if (gLastState.load(std::memory_order_relaxed) != state) gLastState.store(state, std::memory_order_relaxed);
}
}  // namespace

Verdict Policy::whenUnseen(int lastState, int lastKinds, bool startedConnected) {
    Verdict v;
    // No local server port: whatever is diverted fails (ECONNREFUSED,
    // ENETUNREACH) instead of leaving directly.
    if (lastState == 2) {
        v.tcp = lastKinds & 1;
        v.udp = lastKinds & 2;
        v.dns = lastKinds & 4;
    } else if (lastState == 0 && startedConnected) {
        v.tcp = v.udp = v.dns = true;
    }
    return v;
}

Verdict Policy::current() {
    const vnx::ProxyData* block = proxyBlock();
    if (!block)
        return whenUnseen(gLastState.load(std::memory_order_relaxed), gLastKinds.load(std::memory_order_relaxed),
                          startedConnected());
    const ProcessSelf& s = self();
    const Verdict v = evaluate(*block, s.exe, s.argv0);
    remember(*block, v);
    return v;
}

}  // namespace vnxmod
