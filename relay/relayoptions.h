#pragma once
// The command line of veilnox-relay.
#include "addresspolicy.h"

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vnxrelay {

struct RelayOptions {
    sockaddr_storage listen{};  // 127.0.0.1:9200 unless --listen says otherwise
    socklen_t listenLen = 0;
    std::vector<Cidr> allow;
    bool allowPrivate = false;
    bool open = false;  // serve every client on a non-loopback address without --allow
    bool quiet = false;
    unsigned maxConns = 4096;  // TCP connections, including those still sending their header
    unsigned maxUdp = 4096;    // UDP associations
    // Per source (an IPv4 address or an IPv6 /64): TCP connections, UDP
    // associations, and connections that have not sent their header yet.
    unsigned maxConnsPerSource = 1024;
    unsigned maxUdpPerSource = 1024;
    unsigned maxHeaderlessPerSource = 64;
    unsigned headerTimeoutMs = 10000;
    unsigned connectTimeoutMs = 30000;
    unsigned idleTimeoutMs = 180000;
    unsigned udpTimeoutMs = 60000;
    std::uint32_t publicIpv4 = 0;  // network order; 0 = the address a probe arrived on
    // --key-file: the relay serves only clients that prove this key (TLS 1.3
    // for TCP, sealed datagrams for UDP) and nothing of the plain protocol.
    std::string keyFile;
    bool keyed = false;
    std::uint8_t key[32] = {};
};

enum class ParseOutcome { Run, Help, Version, Error };

constexpr std::uint16_t kDefaultRelayPort = 9200;

// Fills opts from argv. On Error, error holds a one-line message.
ParseOutcome parseRelayOptions(int argc, char** argv, RelayOptions& opts, std::string& error);

const char* relayHelpText();

// A relay that listens beyond loopback with no --allow would be an open proxy
// for anyone who can reach it: false with the reason unless --open says that
// is meant.
bool exposureAccepted(const RelayOptions& opts, std::string& error);

// True for 127.0.0.0/8, ::1 and their IPv4-mapped forms.
bool isLoopbackAddress(const sockaddr* sa);

// "a.b.c.d:port" or "[v6]:port" into a socket address. False on anything else.
bool parseListenAddress(const std::string& text, sockaddr_storage& out, socklen_t& len);
// The same form back: "127.0.0.1:9200", "[::1]:9200".
std::string formatSocketAddress(const sockaddr* sa);

}  // namespace vnxrelay
