#include "privateobjects.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {
bool writeText(const char* path, const char* text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const auto len = static_cast<ssize_t>(std::strlen(text));
    const bool ok = ::write(fd, text, static_cast<size_t>(len)) == len;
    ::close(fd);
    return ok;
}
}  // namespace

bool EnterPrivateObjects() {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    int flags = CLONE_NEWNS;
    if (uid != 0) flags |= CLONE_NEWUSER;
    if (::unshare(flags) != 0) return false;
    if (uid != 0) {
        char map[64];
        writeText("/proc/self/setgroups", "deny");
        std::snprintf(map, sizeof map, "%u %u 1\n", static_cast<unsigned>(uid), static_cast<unsigned>(uid));
        writeText("/proc/self/uid_map", map);
        std::snprintf(map, sizeof map, "%u %u 1\n", static_cast<unsigned>(gid), static_cast<unsigned>(gid));
        writeText("/proc/self/gid_map", map);
    }
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
}
