#include "statusblock.h"

#include <cstring>

namespace vnx {

std::uint32_t ratePerSecond(std::uint32_t nowBytes, std::uint32_t prevBytes, std::uint32_t elapsedMs) {
    if (elapsedMs == 0) return 0;
    std::uint64_t diff = static_cast<std::uint32_t>(nowBytes - prevBytes);
    return static_cast<std::uint32_t>(diff * 1000u / elapsedMs);
}

int clampedAppCount(const ServerStatus& block) {
    std::int32_t n = block.app_count;
    if (n < 0) return 0;
    return n > kMaxStatusApps ? kMaxStatusApps : n;
}

std::string entryName(const AppStatus& entry) {
    const void* nul = std::memchr(entry.name, 0, sizeof entry.name);
    std::size_t len =
        nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - entry.name) : sizeof entry.name - 1;
    return std::string(entry.name, len);
}

std::map<std::string, AppStatus> readStatusApps(const ServerStatus& block) {
    std::map<std::string, AppStatus> out;
    const int n = clampedAppCount(block);
    for (int i = 0; i < n; ++i)
        out[entryName(block.apps[i])] = block.apps[i];
    return out;
}

}  // namespace vnx
