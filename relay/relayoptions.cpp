#include "relayoptions.h"

#include "relaykey.h"

#include <getopt.h>

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
    ms = static_cast<unsigned>(std::lround(v * 1000.0));
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
    "  --key-file FILE        serve only clients that hold the key in FILE: TCP\n"
    "                         inside TLS 1.3, UDP as sealed datagrams; nothing of\n"
    "                         the plain protocol is answered\n"
    "  --init-key FILE        create FILE with a new random key (mode 0600) unless\n"
    "                         it exists, and exit\n"
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
    "  With --key-file the hop to the relay is encrypted and authenticated, and\n"
    "  the relay may listen on any address. Without a key, masking is\n"
    "  obfuscation, not encryption: anyone who sees the traffic can read it. The\n"
    "  plain relay protocol has no authentication, so such a relay on a public\n"
    "  address is an open proxy for anyone who can reach it, unless --allow limits\n"
    "  who may use it. It therefore refuses to listen beyond loopback without a\n"
    "  key or --allow unless --open is given. UDP replies to a source that has not\n"
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

namespace {
enum OptionId {
    kOptHelp = 'h',
    kOptVersion = 1000,
    kOptAllowPrivate,
    kOptOpen,
    kOptQuiet,
    kOptListen,
    kOptAllow,
    kOptMaxConns,
    kOptMaxUdp,
    kOptMaxConnsPerSource,
    kOptMaxUdpPerSource,
    kOptMaxHeaderlessPerSource,
    kOptHeaderTimeout,
    kOptConnectTimeout,
    kOptIdleTimeout,
    kOptUdpTimeout,
    kOptPublicAddress,
    kOptKeyFile,
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, kOptHelp},
    {"version", no_argument, nullptr, kOptVersion},
    {"allow-private", no_argument, nullptr, kOptAllowPrivate},
    {"open", no_argument, nullptr, kOptOpen},
    {"quiet", no_argument, nullptr, kOptQuiet},
    {"listen", required_argument, nullptr, kOptListen},
    {"allow", required_argument, nullptr, kOptAllow},
    {"max-conns", required_argument, nullptr, kOptMaxConns},
    {"max-udp", required_argument, nullptr, kOptMaxUdp},
    {"max-conns-per-source", required_argument, nullptr, kOptMaxConnsPerSource},
    {"max-udp-per-source", required_argument, nullptr, kOptMaxUdpPerSource},
    {"max-headerless-per-source", required_argument, nullptr, kOptMaxHeaderlessPerSource},
    {"header-timeout", required_argument, nullptr, kOptHeaderTimeout},
    {"connect-timeout", required_argument, nullptr, kOptConnectTimeout},
    {"idle-timeout", required_argument, nullptr, kOptIdleTimeout},
    {"udp-timeout", required_argument, nullptr, kOptUdpTimeout},
    {"public-address", required_argument, nullptr, kOptPublicAddress},
    {"key-file", required_argument, nullptr, kOptKeyFile},
    {nullptr, 0, nullptr, 0},
};

// The option as the user wrote it, without a value given with "=".
std::string writtenOption(const char* arg) {
    std::string s = arg ? arg : "";
    std::size_t eq = s.find('=');
    return eq == std::string::npos ? s : s.substr(0, eq);
}
}  // namespace

ParseOutcome parseRelayOptions(int argc, char** argv, RelayOptions& opts, std::string& error) {
    opts = RelayOptions();
    sockaddr_in def{};
    def.sin_family = AF_INET;
    def.sin_port = htons(kDefaultRelayPort);
    def.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::memcpy(&opts.listen, &def, sizeof def);
    opts.listenLen = sizeof def;

    // "+": stop at the first operand (there are none); ":": report a missing
    // value apart from an unknown option. Messages are ours: opterr is off.
    // optind 0 starts the scan afresh, so the parser can run more than once.
    optind = 0;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "+:h", kLongOptions, nullptr)) != -1) {
        const std::string arg = writtenOption(argv[optind - 1]);
        const char* v = optarg;
        switch (c) {
            case kOptHelp: return ParseOutcome::Help;
            case kOptVersion: return ParseOutcome::Version;
            case kOptAllowPrivate: opts.allowPrivate = true; break;
            case kOptOpen: opts.open = true; break;
            case kOptQuiet: opts.quiet = true; break;
            case kOptListen:
                if (!parseListenAddress(v, opts.listen, opts.listenLen)) {
                    error = std::string("bad listen address \"") + v + "\" (expected ADDR:PORT or [ADDR]:PORT)";
                    return ParseOutcome::Error;
                }
                break;
            case kOptAllow: {
                Cidr cidr;
                if (!parseCidr(v, cidr)) {
                    error =
                        std::string("bad address range \"") + v + "\" (expected e.g. 192.0.2.0/24 or 2001:db8::/32)";
                    return ParseOutcome::Error;
                }
                opts.allow.push_back(cidr);
                break;
            }
            case kOptMaxConns:
            case kOptMaxUdp:
            case kOptMaxConnsPerSource:
            case kOptMaxUdpPerSource:
            case kOptMaxHeaderlessPerSource: {
                unsigned n;
                if (!parseCount(v, 1, 1000000, n)) {
                    error = arg + " needs a number from 1 to 1000000";
                    return ParseOutcome::Error;
                }
                unsigned& target = c == kOptMaxConns            ? opts.maxConns
                                   : c == kOptMaxUdp            ? opts.maxUdp
                                   : c == kOptMaxConnsPerSource ? opts.maxConnsPerSource
                                   : c == kOptMaxUdpPerSource   ? opts.maxUdpPerSource
                                                                : opts.maxHeaderlessPerSource;
                target = n;
                break;
            }
            case kOptHeaderTimeout:
            case kOptConnectTimeout:
            case kOptIdleTimeout:
            case kOptUdpTimeout: {
                unsigned ms;
                if (!parseSeconds(v, ms)) {
                    error = arg + " needs a number of seconds from 0.001 to 1000000";
                    return ParseOutcome::Error;
                }
                unsigned& target = c == kOptHeaderTimeout    ? opts.headerTimeoutMs
                                   : c == kOptConnectTimeout ? opts.connectTimeoutMs
                                   : c == kOptIdleTimeout    ? opts.idleTimeoutMs
                                                             : opts.udpTimeoutMs;
                target = ms;
                break;
            }
            case kOptPublicAddress: {
                in_addr a{};
                if (inet_pton(AF_INET, v, &a) != 1 || a.s_addr == 0) {
                    error = std::string("bad IPv4 address \"") + v + "\"";
                    return ParseOutcome::Error;
                }
                opts.publicIpv4 = a.s_addr;
                break;
            }
            case kOptKeyFile:
                opts.keyFile = v;
                if (!readKeyFile(opts.keyFile, opts.key, error)) return ParseOutcome::Error;
                opts.keyed = true;
                break;
            case ':': error = "option " + arg + " needs a value"; return ParseOutcome::Error;
            default:
                // An unknown option, or a value given to one that takes none.
                if (arg != argv[optind - 1] && arg.rfind("--", 0) == 0)
                    error = "option " + arg + " takes no value, or is unknown";
                else
                    error = "unknown argument \"" + std::string(argv[optind - 1]) + "\"";
                return ParseOutcome::Error;
        }
    }
    if (optind < argc) {
        error = "unknown argument \"" + std::string(argv[optind]) + "\"";
        return ParseOutcome::Error;
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
    if (opts.keyed || opts.open || !opts.allow.empty() || isLoopbackAddress(listen)) return true;
    error = "refusing to listen on " + formatSocketAddress(listen) +
            " without --key-file or --allow: the plain relay protocol has no authentication, so anyone who can reach "
            "this address "
            "could relay traffic through this host. Give the relay a key (--init-key FILE, then --key-file FILE), "
            "name your clients with --allow CIDR, or give --open if an "
            "open relay is really meant";
    return false;
}

}  // namespace vnxrelay
