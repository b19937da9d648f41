#pragma once
// veilnox-relay --print-list-entry: prints the <Element> of a client server
// list that names this relay, so that self-hosting is "start the relay, put
// its entry into the client's list".
#include <cstdint>
#include <string>

namespace vnxrelay {

// The server-list element for a relay at `ipv4` (dotted text) : `port`
// speaking the relay protocol ("private"), with its key when `key` is not
// null. Texts are XML-escaped; empty `country`, `city` and `tag` leave their
// elements out.
std::string listEntryXml(const std::string& ipv4, std::uint16_t port, const std::string& country,
                         const std::string& city, const std::string& tag, const std::uint8_t* key = nullptr);

// When argv holds --print-list-entry: reads the relay's own options
// (--listen, --public-address, --key-file; the others are accepted and
// ignored; without --key-file the key is $CREDENTIALS_DIRECTORY/key or
// /etc/veilnox-relay/key when there is one) and
// --country NAME, --city NAME, --tag TEXT, prints the element for the
// address clients reach the relay at (--public-address, else the listen
// address, else for 0.0.0.0 the host's first non-loopback IPv4 address) on
// standard output, then the same entry as a veilnox:// link on a line of its
// own, and sets *exitCode (0, or 2 with a message on standard error)
// and returns true. Returns false when the option is not there.
bool printListEntry(int argc, char** argv, int* exitCode);

}  // namespace vnxrelay
