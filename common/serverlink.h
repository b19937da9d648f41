#pragma once
// The one-line link form of a server-list entry, for pasting:
//
//   veilnox://KEY@203.0.113.7:9200?tag=DE&country=Germany&city=Berlin
//
// KEY is the relay's key (43 base64url characters) and may be left out
// (veilnox://203.0.113.7:9200) for a relay without one; the query parts are
// optional, percent-encoded UTF-8. The protocol is always "private".
#include "hopkey.h"

#include <cstdint>
#include <string>

namespace vnx {

struct ServerLink {
    std::string ipv4;  // dotted text
    std::uint16_t port = 0;
    bool hasKey = false;
    std::uint8_t key[kHopKeySize] = {};
    std::string tag;
    std::string country;
    std::string city;
};

std::string formatServerLink(const ServerLink& link);
// Reads a link; on failure returns false with a sentence for the user in
// error. Blanks around the link are ignored.
bool parseServerLink(const std::string& text, ServerLink& link, std::string& error);

}  // namespace vnx
