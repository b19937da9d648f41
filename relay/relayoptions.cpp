#include "relayoptions.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vnxrelay {

namespace {

bool parsePort(const std::string& s, std::uint16_t& port) {
    if (s.empty() || s.size() > 5) return false;
    unsigned v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + unsigned(c - '0');
    }
    if (v > 65535) return false;
    port = static_cast<std::uint16_t>(v);
    return true;
}

bool parseCount(const char* s, unsigned min, unsigned max, unsigned& out) {
    if (!s || !*s) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 10);
    if (errno != 0 || *end != '\0' || s[0] == '-' || v < min || v > max) return false;
    out = static_cast<unsigned>(v);
    return true;
}

// Seconds, fractions allowed ("0.5"), into milliseconds: at least 1 ms, at
// most about 11 days.
bool parseSeconds(const char* s, unsigned& ms) {
    if (!s || !*s) return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0.001 || v > 1000000.0) return false;
    ms = static_cast<unsigned>(v * 1000.0 + 0.5);
    return true;
}

const char kHelp[] =
    "Usage: veilnox-relay [--listen ADDR:PORT] [--allow CIDR]... [--allow-private] [options]\n"
    "\n"
    "A proxy server that speaks the Veilnox relay protocol. On one port it relays\n"
    "TCP connections and UDP datagrams to the destination named in each 32-byte\n"
    "relay header, and answers connectivity probes.\n"
    "\n"
    "Options:\n"
    "  --listen ADDR:PORT     address to serve TCP and UDP on (default 127.0.0.1:9200);\n"
    "                         IPv6 as [ADDR]:PORT; port 0 picks a free port\n"
    "  --allow CIDR           only clients in this range may use the relay\n"
    "                         (repeatable; default: every client)\n"
    "  --open                 serve every client on a non-loopback address\n"
    "                         (without it or --allow, such an address is refused)\n"
    "  --allow-private        also relay to loopback, link-local, private,\n"
    "                         multicast and other internal addresses, and to\n"
    "                         the addresses of this host's own interfaces\n"
    "  --max-conns N          concurrent TCP connections (default 4096)\n"
    "  --max-udp N            concurrent UDP associations (default 4096)\n"
    "  --max-conns-per-source N\n"
    "                         TCP connections from one source (default 1024)\n"
    "  --max-udp-per-source N\n"
    "                         UDP associations of one source (default 1024)\n"
    "  --max-headerless-per-source N\n"
    "                         connections of one source that have not sent\n"
    "                         their header yet (default 64); at a limit, the\n"
    "                         oldest of those are closed first. A source is an\n"
    "                         IPv4 address or an IPv6 /64\n"
    "  --header-timeout SEC   time for a client to send its header (default 10)\n"
    "  --connect-timeout SEC  time to reach a destination (default 30)\n"
    "  --idle-timeout SEC     close TCP relays silent this long (default 180)\n"
    "  --udp-timeout SEC      drop UDP associations idle this long (default 60)\n"
    "  --public-address IPV4  address reported in probe answers (default: the\n"
    "                         local address each probe arrived on)\n"
    "  --print-list-entry     print this relay's entry for the client's server\n"
    "                         list and exit (--country, --city, --tag name it)\n"
    "  --quiet                no diagnostics on standard error\n"
    "  --help                 show this text\n"
    "  --version              show the version\n"
    "\n"
    "Once listening it prints one line \"veilnox-relay listening on ADDR:PORT\" and\n"
    "runs until SIGTERM or SIGINT.\n"
    "\n"
    "Security:\n"
    "  Masking is obfuscation, not encryption: anyone who sees the traffic can\n"
    "  read it. The relay protocol has no authentication, so a relay on a public\n"
    "  address is an open proxy for anyone who can reach it, unless --allow limits\n"
    "  who may use it. It therefore refuses to listen beyond loopback without\n"
    "  --allow unless --open is given. UDP replies to a source that has not\n"
    "  completed a TCP connection with the relay (and is not in --allow or on\n"
    "  loopback) never total more bytes than that source sent, so the relay\n"
    "  cannot be used to amplify traffic toward a forged address.\n";

}  // namespace

const char* relayHelpText() { return kHelp; }

bool parseListenAddress(const std::string& text, sockaddr_storage& out, socklen_t& len) {
    std::string host;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        std::uint16_t p;
        sockaddr_in6 s6{};
        if (!parsePort(port, p) || inet_pton(AF_INET6, host.c_str(), &s6.sin6_addr) != 1) return false;
        s6.sin6_family = AF_INET6;
        s6.sin6_port = htons(p);
        std::memset(&out, 0, sizeof out);
        std::memcpy(&out, &s6, sizeof s6);
        len = sizeof s6;
        return true;
    }
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    std::uint16_t p;
    sockaddr_in s4{};
    if (!parsePort(port, p) || inet_pton(AF_INET, host.c_str(), &s4.sin_addr) != 1) return false;
    s4.sin_family = AF_INET;
    s4.sin_port = htons(p);
    std::memset(&out, 0, sizeof out);
    std::memcpy(&out, &s4, sizeof s4);
    len = sizeof s4;
    return true;
}

std::string formatSocketAddress(const sockaddr* sa) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (sa->sa_family == AF_INET) {
        const auto* s4 = reinterpret_cast<const sockaddr_in*>(sa);
        inet_ntop(AF_INET, &s4->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(s4->sin_port));
    }
    if (sa->sa_family == AF_INET6) {
        const auto* s6 = reinterpret_cast<const sockaddr_in6*>(sa);
        inet_ntop(AF_INET6, &s6->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(s6->sin6_port));
    }
    return "?";
}

ParseOutcome parseRelayOptions(int argc, char** argv, RelayOptions& opts, std::string& error) {
    opts = RelayOptions();
    sockaddr_in def{};
    def.sin_family = AF_INET;
    def.sin_port = htons(kDefaultRelayPort);
    def.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::memcpy(&opts.listen, &def, sizeof def);
    opts.listenLen = sizeof def;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasInline = false;
        if (arg.rfind("--", 0) == 0) {
            std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInline = true;
            }
        }
        auto flag = [&]() {
            if (hasInline) {
                error = "option " + arg + " takes no value";
                return false;
            }
            return true;
        };
        auto needValue = [&]() -> const char* {
            if (hasInline) return value.c_str();
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return nullptr;
            }
            return argv[++i];
        };

        if (arg == "--help" || arg == "-h") {
            if (!flag()) return ParseOutcome::Error;
            return ParseOutcome::Help;
        } else if (arg == "--version") {
            if (!flag()) return ParseOutcome::Error;
            return ParseOutcome::Version;
        } else if (arg == "--allow-private") {
            if (!flag()) return ParseOutcome::Error;
            opts.allowPrivate = true;
        } else if (arg == "--open") {
            if (!flag()) return ParseOutcome::Error;
            opts.open = true;
        } else if (arg == "--quiet") {
            if (!flag()) return ParseOutcome::Error;
            opts.quiet = true;
        } else if (arg == "--listen") {
            const char* v = needValue();
            if (!v) return ParseOutcome::Error;
            if (!parseListenAddress(v, opts.listen, opts.listenLen)) {
                error = std::string("bad listen address \"") + v + "\" (expected ADDR:PORT or [ADDR]:PORT)";
                return ParseOutcome::Error;
            }
        } else if (arg == "--allow") {
            const char* v = needValue();
            if (!v) return ParseOutcome::Error;
            Cidr c;
            if (!parseCidr(v, c)) {
                error = std::string("bad address range \"") + v + "\" (expected e.g. 192.0.2.0/24 or 2001:db8::/32)";
                return ParseOutcome::Error;
            }
            opts.allow.push_back(c);
        } else if (arg == "--max-conns" || arg == "--max-udp" || arg == "--max-conns-per-source" ||
                   arg == "--max-udp-per-source" || arg == "--max-headerless-per-source") {
            const char* v = needValue();
            if (!v) return ParseOutcome::Error;
            unsigned n;
            if (!parseCount(v, 1, 1000000, n)) {
                error = arg + " needs a number from 1 to 1000000";
                return ParseOutcome::Error;
            }
            if (arg == "--max-conns")
                opts.maxConns = n;
            else if (arg == "--max-udp")
                opts.maxUdp = n;
            else if (arg == "--max-conns-per-source")
                opts.maxConnsPerSource = n;
            else if (arg == "--max-udp-per-source")
                opts.maxUdpPerSource = n;
            else
                opts.maxHeaderlessPerSource = n;
        } else if (arg == "--header-timeout" || arg == "--connect-timeout" || arg == "--idle-timeout" ||
                   arg == "--udp-timeout") {
            const char* v = needValue();
            if (!v) return ParseOutcome::Error;
            unsigned ms;
            if (!parseSeconds(v, ms)) {
                error = arg + " needs a number of seconds from 0.001 to 1000000";
                return ParseOutcome::Error;
            }
            if (arg == "--header-timeout")
                opts.headerTimeoutMs = ms;
            else if (arg == "--connect-timeout")
                opts.connectTimeoutMs = ms;
            else if (arg == "--idle-timeout")
                opts.idleTimeoutMs = ms;
            else
                opts.udpTimeoutMs = ms;
        } else if (arg == "--public-address") {
            const char* v = needValue();
            if (!v) return ParseOutcome::Error;
            in_addr a{};
            if (inet_pton(AF_INET, v, &a) != 1 || a.s_addr == 0) {
                error = std::string("bad IPv4 address \"") + v + "\"";
                return ParseOutcome::Error;
            }
            opts.publicIpv4 = a.s_addr;
        } else {
            error = "unknown argument \"" + std::string(argv[i]) + "\"";
            return ParseOutcome::Error;
        }
    }
    return ParseOutcome::Run;
}

bool isLoopbackAddress(const sockaddr* sa) {
    PlainAddress a;
    if (!plainAddress(sa, a)) return false;
    if (a.family == AF_INET) return a.addr[0] == 127;
    static const std::uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(a.addr, kLoopback6, 16) == 0;
}

bool exposureAccepted(const RelayOptions& opts, std::string& error) {
    const sockaddr* listen = reinterpret_cast<const sockaddr*>(&opts.listen);
    if (opts.open || !opts.allow.empty() || isLoopbackAddress(listen)) return true;
    error = "refusing to listen on " + formatSocketAddress(listen) +
            " without --allow: the relay protocol has no authentication, so anyone who can reach this address "
            "could relay traffic through this host. Name your clients with --allow CIDR, or give --open if an "
            "open relay is really meant";
    return false;
}

}  // namespace vnxrelay
