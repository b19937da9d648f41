#pragma once
// Where DNS queries go when the system's resolver is a stub on this host
// (systemd-resolved on 127.0.0.53, a local cache on 127.0.0.1 or ::1): such a
// stub would ask its upstream from the user's own address, so redirected
// queries are sent to the stub's upstream instead. Qt-free.
#include "rendpoint.h"

namespace vnx {

// True for resolver addresses on this host (127.0.0.0/8, ::1, 0.0.0.0, ::,
// and their IPv4-mapped forms).
bool isLocalResolver(const REndpoint& e);

// Parses "IP", "IP:PORT" or "[IPv6]:PORT" (a bare IPv6 address too); the port
// is 53 unless given. A zone index ("%eth0") is dropped. False when the text
// is not an address or the port is not 1-65535.
bool parseResolverAddress(const char* text, REndpoint& out);

// The resolver that DNS queries addressed to a local stub are sent to instead:
// the first non-local nameserver of systemdPath (the stub's upstream list),
// else the first non-local nameserver of resolvPath, else the address in the
// environment variable VEILNOX_DNS_UPSTREAM (ignored when it is local too).
// Port 53 unless given. False when none is known. Files are read up to a
// bounded size; unreadable files count as empty.
bool chooseDnsUpstream(REndpoint& out, const char* systemdPath = "/run/systemd/resolve/resolv.conf",
                       const char* resolvPath = "/etc/resolv.conf");

}  // namespace vnx
