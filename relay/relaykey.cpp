#include "relaykey.h"

#include "hop/datagram.h"
#include "hopkey.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vnxrelay {

bool readKeyFile(const std::string& path, std::uint8_t key[32], std::string& error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = "cannot read the key file " + path + ": " + std::strerror(errno);
        return false;
    }
    char text[256];
    ssize_t n;
    do {
        n = read(fd, text, sizeof text - 1);
    } while (n < 0 && errno == EINTR);
    struct stat st {};
    const bool statted = fstat(fd, &st) == 0;
    close(fd);
    if (n < 0) {
        error = "cannot read the key file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!vnx::decodeHopKey(std::string(text, static_cast<std::size_t>(n)), key)) {
        error = "the key file " + path +
                " does not hold a key (one line of 43 base64url characters; "
                "make one with --init-key)";
        return false;
    }
    if (statted && (st.st_mode & (S_IRWXG | S_IRWXO)) && S_ISREG(st.st_mode))
        std::fprintf(stderr, "veilnox-relay: warning: other users may read the key file %s (chmod 600 it)\n",
                     path.c_str());
    return true;
}

int initKeyFile(const std::string& path) {
    if (path.empty()) {
        std::fprintf(stderr, "veilnox-relay: --init-key needs a file name\n");
        return 2;
    }
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "veilnox-relay: cannot create %s: %s\n", folder.c_str(), std::strerror(errno));
            return 2;
        }
    }
    std::uint8_t key[32];
    if (!vnxhop::randomBytes(key, sizeof key)) {
        std::fprintf(stderr, "veilnox-relay: no randomness for a key\n");
        return 2;
    }
    const std::string line = vnx::encodeHopKey(key) + "\n";
    std::memset(key, 0, sizeof key);
    // O_EXCL: an existing key is never replaced (clients hold it).
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (errno == EEXIST) {
            std::printf("veilnox-relay: %s exists; its key is kept\n", path.c_str());
            return 0;
        }
        std::fprintf(stderr, "veilnox-relay: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
        return 2;
    }
    bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        unlink(path.c_str());
        std::fprintf(stderr, "veilnox-relay: cannot write %s\n", path.c_str());
        return 2;
    }
    std::printf("veilnox-relay: created a new key in %s\n", path.c_str());
    return 0;
}

bool runInitKey(int argc, char** argv, int* exitCode) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--init-key") {
            *exitCode = initKeyFile(i + 1 < argc ? argv[i + 1] : "");
            return true;
        }
        if (arg.rfind("--init-key=", 0) == 0) {
            *exitCode = initKeyFile(arg.substr(11));
            return true;
        }
    }
    return false;
}

}  // namespace vnxrelay
