#pragma once
// The resolver configuration (/etc/resolv.conf) and the hosts file
// (/etc/hosts), read with fixed buffers and bounded line lengths.
#include "rendpoint.h"

#include <cstddef>
#include <cstdint>

namespace vnxmod {

struct ResolvConf {
    static constexpr int kMaxServers = 3;  // as the C library
    static constexpr int kMaxSearch = 6;
    vnx::REndpoint servers[kMaxServers];
    int serverCount = 0;
    char search[kMaxSearch][256] = {};
    int searchCount = 0;
    int ndots = 1;
    int timeoutSec = 5;
    int attempts = 2;

    // Reads the file; without any nameserver line the local one
    // (127.0.0.1:53) is used, as the C library does.
    static ResolvConf load(const char* path);
};

struct HostsResult {
    bool named = false;  // the name appears in the file at all
    std::size_t count = 0;
    int family[32];
    std::uint8_t addr[32][16];
    char canonical[256] = {};
};

class HostsFile {
public:
    // Looks `name` up (case-insensitive, names and aliases); keeps the
    // addresses of `family` (AF_INET, AF_INET6 or AF_UNSPEC for both).
    static HostsResult lookup(const char* path, const char* name, int family);
    // The first name listed for an address (4 bytes for AF_INET, 16 for
    // AF_INET6); false when the address is not in the file.
    static bool reverse(const char* path, int family, const std::uint8_t* addr, char* name, std::size_t cap);
};

}  // namespace vnxmod
