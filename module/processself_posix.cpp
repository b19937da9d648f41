// The program's names from /proc, and the launch marker from the
// environment as it was when the module was loaded.
#include "policy.h"
#include "processself.h"

#include <fcntl.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>

namespace vnxmod {

namespace {
void baseNameInto(const char* path, char* out) {
    const char* slash = std::strrchr(path, '/');
    const char* base = slash ? slash + 1 : path;
    std::size_t n = std::strlen(base);
    if (n >= kSelfNameMax) n = kSelfNameMax - 1;
    std::memcpy(out, base, n);
    out[n] = 0;
}

bool gStartedConnected = false;

// Read at load time: the program may clear or change its environment
// before it first uses the network.
__attribute__((constructor)) void readLaunchMarker() {
    const char* m = std::getenv(Policy::kConnectedMarker);
    gStartedConnected = m && m[0] == '1' && m[1] == 0;
}
}  // namespace

void readProcessSelf(ProcessSelf& s) {
    char path[4096];
    s.exe[0] = s.argv0[0] = 0;
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) {
        path[n] = 0;
        static const char kDeleted[] = " (deleted)";
        std::size_t len = static_cast<std::size_t>(n);
        if (len > sizeof kDeleted - 1 && std::strcmp(path + len - (sizeof kDeleted - 1), kDeleted) == 0)
            path[len - (sizeof kDeleted - 1)] = 0;
        baseNameInto(path, s.exe);
    }
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t r = ::read(fd, path, sizeof path - 1);
        ::close(fd);
        if (r > 0) {
            path[r] = 0;  // argv[0] ends at the first NUL
            baseNameInto(path, s.argv0);
        }
    }
}

bool startedConnected() { return gStartedConnected; }

}  // namespace vnxmod
