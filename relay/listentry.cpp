#include "listentry.h"

#include "countrycodes.h"
#include "relaykey.h"
#include "relayoptions.h"
#include "serverlink.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vnxrelay {

namespace {

const char kOption[] = "--print-list-entry";

std::string xmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// A text for the list: not empty, no control characters (a list line must
// stay one element the client reads back as given).
bool usableText(const char* text) {
    if (!text || !*text) return false;
    for (const char* p = text; *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) return false;
    return true;
}

// The first interface address that is up, IPv4 and not loopback.
bool firstHostAddress(in_addr* out) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* it = list; it && !found; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
        if (!(it->ifa_flags & IFF_UP) || (it->ifa_flags & IFF_LOOPBACK)) continue;
        *out = reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr;
        found = true;
    }
    freeifaddrs(list);
    return found;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "veilnox-relay: %s\n", message.c_str());
    return 2;
}

// The installed service's options (VEILNOX_RELAY_OPTS of its defaults file),
// so that a bare --print-list-entry names the port and address the service
// serves. Empty when there is no such file or line.
std::vector<std::string> serviceOptions() {
    const char* path = std::getenv("VEILNOX_RELAY_DEFAULTS");
    FILE* f = std::fopen(path && *path ? path : "/etc/default/veilnox-relay", "r");
    std::vector<std::string> words;
    if (!f) return words;
    char line[4096];
    while (std::fgets(line, sizeof line, f)) {
        const char kKey[] = "VEILNOX_RELAY_OPTS=";
        if (std::strncmp(line, kKey, sizeof kKey - 1) != 0) continue;
        words.clear();
        std::string word;
        for (const char* c = line + sizeof kKey - 1; *c; ++c) {
            if (*c == '"' || *c == '\'') continue;
            if (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\r') {
                if (!word.empty()) words.push_back(word);
                word.clear();
            } else {
                word += *c;
            }
        }
        if (!word.empty()) words.push_back(word);
    }
    std::fclose(f);
    return words;
}

int run(int argc, char** argv) {
    // Our three options are taken out; the rest is the relay's command line.
    std::string country, city, tag;
    std::vector<char*> relayArgs{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* target = arg == "--country" ? &country : arg == "--city" ? &city : arg == "--tag" ? &tag : nullptr;
        if (target) {
            if (i + 1 >= argc || !usableText(argv[i + 1]))
                return fail(arg + " needs a text without control characters");
            *target = argv[++i];
        } else if (arg != kOption) {
            relayArgs.push_back(argv[i]);
        }
    }
    // Without --listen, the service's options come first (the command line
    // still has the last word).
    bool listenGiven = false;
    for (char* arg : relayArgs)
        listenGiven = listenGiven || std::strncmp(arg, "--listen", 8) == 0;
    std::vector<std::string> fromService;
    if (!listenGiven) {
        fromService = serviceOptions();
        relayArgs.insert(relayArgs.begin() + 1, fromService.size(), nullptr);
        for (std::size_t i = 0; i < fromService.size(); ++i)
            relayArgs[1 + i] = &fromService[i][0];
    }
    RelayOptions opts;
    std::string error;
    switch (parseRelayOptions(static_cast<int>(relayArgs.size()), relayArgs.data(), opts, error)) {
        case ParseOutcome::Error: return fail(error);
        case ParseOutcome::Help:
        case ParseOutcome::Version:
            std::fputs(
                "Usage: veilnox-relay [relay options] --print-list-entry [--country NAME] [--city NAME]\n"
                "                     [--tag TEXT]\n"
                "Prints the <Element> of a client server list for this relay, then the same\n"
                "entry as a veilnox:// link: paste either into the client's \"Add server...\".\n"
                "Without --listen, the installed service's options are read first\n"
                "(VEILNOX_RELAY_OPTS in /etc/default/veilnox-relay).\n"
                "The address is --public-address, else the --listen address, else (for\n"
                "0.0.0.0) the host's first non-loopback IPv4 address. The key is --key-file's,\n"
                "else $CREDENTIALS_DIRECTORY/key or /etc/veilnox-relay/key when there is one.\n"
                "The tag (the Country column) defaults to the country's ISO 3166 code.\n",
                stdout);
            return 0;
        case ParseOutcome::Run: break;
    }

    in_addr address{};
    std::uint16_t port = 0;
    const auto* listen = reinterpret_cast<const sockaddr*>(&opts.listen);
    if (listen->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&opts.listen);
        address = v4->sin_addr;
        port = ntohs(v4->sin_port);
    } else if (listen->sa_family == AF_INET6) {
        port = ntohs(reinterpret_cast<const sockaddr_in6*>(&opts.listen)->sin6_port);
        if (opts.publicIpv4 == 0)
            return fail("the client's server list takes IPv4 addresses: give --public-address for an IPv6 listener");
    }
    if (opts.publicIpv4 != 0) {
        address.s_addr = opts.publicIpv4;
    } else if (address.s_addr == htonl(INADDR_ANY) && !firstHostAddress(&address)) {
        return fail("no IPv4 address of this host was found: give --public-address");
    }
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address, text, sizeof text)) return fail("cannot format the address");
    if ((ntohl(address.s_addr) >> 24) == 127)
        std::fprintf(stderr, "veilnox-relay: note: %s is reachable from this host only\n", text);
    if (tag.empty() && !country.empty()) {
        tag = countryCode(country);
        if (tag.empty())
            std::fprintf(stderr, "veilnox-relay: note: \"%s\" is not a country name known here; give --tag XX\n",
                         country.c_str());
    }
    if (!opts.keyed) {
        // The service's key, as it was handed to it, or the installed one.
        std::string path;
        if (const char* credentials = std::getenv("CREDENTIALS_DIRECTORY")) {
            if (*credentials) path = std::string(credentials) + "/key";
        }
        if (path.empty() || access(path.c_str(), F_OK) != 0) path = kDefaultKeyFile;
        if (access(path.c_str(), F_OK) == 0) {
            if (!readKeyFile(path, opts.key, error))
                return fail(error + (access(path.c_str(), R_OK) != 0 ? " (run it as root: sudo)" : ""));
            opts.keyed = true;
        }
    }
    if (!opts.keyed)
        std::fprintf(stderr,
                     "veilnox-relay: note: this relay has no key: its traffic is masked, not encrypted "
                     "(see --init-key and --key-file)\n");
    vnx::ServerLink link;
    link.ipv4 = text;
    link.port = port;
    link.hasKey = opts.keyed;
    std::memcpy(link.key, opts.key, sizeof link.key);
    link.tag = tag;
    link.country = country;
    link.city = city;
    std::fputs(listEntryXml(text, port, country, city, tag, opts.keyed ? opts.key : nullptr).c_str(), stdout);
    std::printf("%s\n", vnx::formatServerLink(link).c_str());
    return 0;
}

}  // namespace

std::string listEntryXml(const std::string& ipv4, std::uint16_t port, const std::string& country,
                         const std::string& city, const std::string& tag, const std::uint8_t* key) {
    std::string xml = " <Element>";
    if (!tag.empty()) xml += "<tag>" + xmlEscaped(tag) + "</tag>";
    if (!country.empty()) xml += "<country>" + xmlEscaped(country) + "</country>";
    if (!city.empty()) xml += "<city>" + xmlEscaped(city) + "</city>";
    xml += "<ip>" + xmlEscaped(ipv4) + "</ip><port>" + std::to_string(port) + "</port><protocol>private</protocol>";
    if (key) xml += "<key>" + vnx::encodeHopKey(key) + "</key>";
    return xml + "</Element>\n";
}

bool printListEntry(int argc, char** argv, int* exitCode) {
    bool asked = false;
    for (int i = 1; i < argc && !asked; ++i)
        asked = std::strcmp(argv[i], kOption) == 0;
    if (!asked) return false;
    *exitCode = run(argc, argv);
    return true;
}

}  // namespace vnxrelay
