#include "isolation.h"

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vnxtest {

namespace {
bool writeFile(const char* path, const char* text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0) return false;
    ssize_t n = write(fd, text, strlen(text));
    close(fd);
    return n == static_cast<ssize_t>(strlen(text));
}

bool loopbackUp() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return false;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}
}  // namespace

bool isolateProcess() {
    if (getenv("VEILNOX_TEST_ISOLATED")) return true;  // a parent did it
    uid_t uid = geteuid();
    gid_t gid = getegid();
    int flags = CLONE_NEWNS | CLONE_NEWNET;
    if (uid != 0) flags |= CLONE_NEWUSER;
    if (unshare(flags) != 0) {
        fprintf(stderr, "test isolation: unshare failed: %s (run as root or enable user namespaces)\n",
                strerror(errno));
        return false;
    }
    if (uid != 0) {
        char map[64];
        writeFile("/proc/self/setgroups", "deny");
        snprintf(map, sizeof map, "%u %u 1\n", uid, uid);
        writeFile("/proc/self/uid_map", map);
        snprintf(map, sizeof map, "%u %u 1\n", gid, gid);
        writeFile("/proc/self/gid_map", map);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
        fprintf(stderr, "test isolation: private /dev/shm failed: %s\n", strerror(errno));
        return false;
    }
    if (!loopbackUp()) {
        fprintf(stderr, "test isolation: cannot bring up loopback: %s\n", strerror(errno));
        return false;
    }
    setenv("VEILNOX_TEST_ISOLATED", "1", 1);
    return true;
}

}  // namespace vnxtest
