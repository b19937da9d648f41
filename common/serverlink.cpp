#include "serverlink.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace vnx {

namespace {

const char kScheme[] = "veilnox://";

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

std::string percentEncoded(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (unreserved(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding ('+' is a blank, as forms write it). Control characters
// are refused: the text ends up in a list line and in the window.
bool percentDecoded(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return false;
            int hi = hexValue(text[i + 1]);
            int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (c == '+') {
            c = ' ';
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
        out += c;
    }
    return true;
}

// Four decimal parts of 0-255 without leading zeros (which some readers
// take as octal).
bool dottedIpv4(const std::string& text) {
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        std::size_t start = i;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3)
            value = value * 10 + (text[i++] - '0');
        if (i == start || value > 255 || (i - start > 1 && text[start] == '0')) return false;
        ++parts;
        if (parts < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    return i == text.size();
}

}  // namespace

std::string formatServerLink(const ServerLink& link) {
    std::string out = kScheme;
    if (link.hasKey) out += encodeHopKey(link.key) + "@";
    out += link.ipv4 + ":" + std::to_string(link.port);
    const char* sep = "?";
    for (const auto& part : {std::make_pair("tag", &link.tag), std::make_pair("country", &link.country),
                             std::make_pair("city", &link.city)}) {
        if (part.second->empty()) continue;
        out += sep;
        out += part.first;
        out += "=" + percentEncoded(*part.second);
        sep = "&";
    }
    return out;
}

bool parseServerLink(const std::string& input, ServerLink& link, std::string& error) {
    link = ServerLink();
    std::size_t begin = 0, end = input.size();
    while (begin < end && std::strchr(" \t\r\n", input[begin]))
        ++begin;
    while (end > begin && std::strchr(" \t\r\n", input[end - 1]))
        --end;
    const std::string text = input.substr(begin, end - begin);
    const std::size_t schemeLength = sizeof kScheme - 1;
    if (text.compare(0, schemeLength, kScheme) != 0) {
        error = "A server link starts with veilnox://";
        return false;
    }
    std::string rest = text.substr(schemeLength);
    std::string query;
    std::size_t q = rest.find('?');
    if (q != std::string::npos) {
        query = rest.substr(q + 1);
        rest.resize(q);
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::size_t at = rest.find('@');
    if (at != std::string::npos) {
        if (!decodeHopKey(rest.substr(0, at), link.key)) {
            error = "The key in the link is damaged: it must be 43 letters, digits, - or _.";
            return false;
        }
        link.hasKey = true;
        rest = rest.substr(at + 1);
    }
    std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos) {
        error = "The link has no port: it must name the server as address:port.";
        return false;
    }
    link.ipv4 = rest.substr(0, colon);
    if (!dottedIpv4(link.ipv4)) {
        error = "The server address in the link must be an IPv4 address such as 203.0.113.7.";
        return false;
    }
    const std::string portText = rest.substr(colon + 1);
    unsigned long port = 0;
    bool digits = !portText.empty() && portText.size() <= 5;
    for (char c : portText) {
        if (c < '0' || c > '9') digits = false;
        if (digits) port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    if (!digits || port == 0 || port > 65535) {
        error = "The port in the link must be a number from 1 to 65535.";
        return false;
    }
    link.port = static_cast<std::uint16_t>(port);
    while (!query.empty()) {
        std::size_t amp = query.find('&');
        std::string pair = query.substr(0, amp);
        query = amp == std::string::npos ? std::string() : query.substr(amp + 1);
        if (pair.empty()) continue;
        std::size_t eq = pair.find('=');
        const std::string name = pair.substr(0, eq);
        std::string value;
        if (eq == std::string::npos || !percentDecoded(pair.substr(eq + 1), value)) {
            error = "The link's " + name + " part is damaged.";
            return false;
        }
        if (name == "tag")
            link.tag = value;
        else if (name == "country")
            link.country = value;
        else if (name == "city")
            link.city = value;
        // Other parts are for later versions: ignored.
    }
    return true;
}

}  // namespace vnx
