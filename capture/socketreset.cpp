#include "socketreset.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vnxcap {

namespace {

// Kernel TCP states (include/net/tcp_states.h); a connected UDP socket is
// ESTABLISHED, an unconnected one CLOSE.
enum : unsigned {
    kEstablished = 1,
    kSynSent = 2,
    kSynRecv = 3,
    kFinWait1 = 4,
    kFinWait2 = 5,
    kCloseWait = 8,
    kLastAck = 9,
    kClosing = 11,
};
constexpr std::uint32_t bit(unsigned state) { return 1U << state; }
// Every state in which a TCP socket still talks to its peer: not LISTEN,
// CLOSE (nothing to end) nor TIME_WAIT (no socket left, only a remnant).
constexpr std::uint32_t kTcpStates = bit(kEstablished) | bit(kSynSent) | bit(kSynRecv) | bit(kFinWait1) |
                                     bit(kFinWait2) | bit(kCloseWait) | bit(kLastAck) | bit(kClosing);
constexpr std::uint32_t kUdpStates = bit(kEstablished);

// Limits: a process's descriptor table, the messages of one dump, the
// sockets ended in one namespace, one netlink read, one namespace in all.
constexpr int kMaxFds = 1 << 20;
constexpr int kMaxDumpMessages = 1 << 18;
constexpr std::size_t kMaxMatches = 1 << 16;
constexpr int kReadTimeoutMs = 2000;
constexpr int kNamespaceBudgetMs = 20000;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            if (fd_ >= 0) close(fd_);
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One network namespace and the socket inodes of the processes in it.
struct Target {
    Fd ns;
    std::set<std::uint64_t> inodes;
    int processes = 0;
};

enum class Read { ok, gone, refused };

// The socket inodes of the process behind procDir (its /proc/PID folder).
Read socketInodes(int procDir, std::set<std::uint64_t>& out) {
    int fdDir = openat(procDir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir < 0) return errno == EACCES || errno == EPERM ? Read::refused : Read::gone;
    DIR* d = fdopendir(fdDir);
    if (!d) {
        close(fdDir);
        return Read::gone;
    }
    int seen = 0;
    while (seen++ < kMaxFds) {
        const dirent* e = readdir(d);
        if (!e) break;
        if (e->d_name[0] == '.') continue;
        char link[64];
        ssize_t n = readlinkat(dirfd(d), e->d_name, link, sizeof link - 1);
        if (n <= 0) continue;  // closed meanwhile
        link[n] = '\0';
        if (std::strncmp(link, "socket:[", 8) != 0) continue;
        char* end = nullptr;
        unsigned long long ino = std::strtoull(link + 8, &end, 10);
        if (end && *end == ']' && ino != 0) out.insert(ino);
    }
    closedir(d);
    return Read::ok;
}

bool isLoopbackOrUnset(std::uint8_t family, const __be32 dst[4]) {
    auto b = [&](int i) { return reinterpret_cast<const std::uint8_t*>(dst)[i]; };
    if (family == AF_INET) return b(0) == 127 || dst[0] == 0;
    static const std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    static const std::uint8_t zero[16] = {};
    if (std::memcmp(dst, zero, 15) == 0 && (b(15) == 0 || b(15) == 1)) return true;  // :: and ::1
    if (std::memcmp(dst, mapped, 12) == 0) return b(12) == 127 || dst[3] == 0;       // ::ffff:127/104
    return false;
}

struct Found {
    std::uint8_t family;
    std::uint8_t protocol;
    inet_diag_sockid id;
};

// One NETLINK_SOCK_DIAG socket of the calling thread's namespace, used for
// one request at a time. A request that did not finish cleanly leaves the
// socket unusable (a dump may still be running): open a new one.
class Diag {
public:
    bool open() {
        fd_ = Fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
        if (fd_.get() < 0) return false;
        timeval tv{kReadTimeoutMs / 1000, (kReadTimeoutMs % 1000) * 1000};
        return setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
    }

    // Appends the sockets of (family, protocol) in `states` whose inode is in
    // `inodes` and whose peer is elsewhere. False when the dump failed or
    // was cut short (what it found so far is still appended).
    bool dump(std::uint8_t family, std::uint8_t protocol, std::uint32_t states, const std::set<std::uint64_t>& inodes,
              std::int64_t deadline, std::vector<Found>& out) {
        inet_diag_req_v2 req{};
        req.sdiag_family = family;
        req.sdiag_protocol = protocol;
        req.idiag_states = states;
        if (!send(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, req)) return false;
        int messages = 0;
        for (;;) {
            ssize_t n = nowMs() > deadline ? -1 : receive();
            if (n <= 0) return false;
            for (auto* h = reinterpret_cast<nlmsghdr*>(buf_); NLMSG_OK(h, n); h = NLMSG_NEXT(h, n)) {
                if (++messages > kMaxDumpMessages) return false;
                if (h->nlmsg_seq != seq_) continue;  // left over from an earlier request
                if (h->nlmsg_type == NLMSG_DONE) return true;
                if (h->nlmsg_type == NLMSG_ERROR) return false;
                if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                    continue;
                const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
                if (m->idiag_family != family || !(states & bit(m->idiag_state))) continue;
                if (inodes.count(m->idiag_inode) == 0) continue;
                if (isLoopbackOrUnset(family, m->id.idiag_dst)) continue;
                if (out.size() >= kMaxMatches) return true;
                out.push_back(Found{family, protocol, m->id});
            }
        }
    }

    // Destroys one socket: 0, or the kernel's negative errno (-ETIMEDOUT
    // when no answer came).
    // A late answer to an earlier request carries another sequence number
    // and is skipped.
    int destroy(const Found& f) {
        inet_diag_req_v2 req{};
        req.sdiag_family = f.family;
        req.sdiag_protocol = f.protocol;
        req.idiag_states = ~0U;
        req.id = f.id;  // the cookie in it makes the kernel refuse a reused address pair
        if (!send(SOCK_DESTROY, NLM_F_REQUEST | NLM_F_ACK, req)) return -errno;
        for (int reads = 0; reads < 16; ++reads) {
            ssize_t n = receive();
            if (n <= 0) return -ETIMEDOUT;
            for (auto* h = reinterpret_cast<nlmsghdr*>(buf_); NLMSG_OK(h, n); h = NLMSG_NEXT(h, n)) {
                if (h->nlmsg_seq != seq_ || h->nlmsg_type != NLMSG_ERROR) continue;
                if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return -EPROTO;
                return static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
            }
        }
        return -ETIMEDOUT;
    }

private:
    bool send(std::uint16_t type, std::uint16_t flags, const inet_diag_req_v2& req) {
        struct {
            nlmsghdr h;
            inet_diag_req_v2 r;
        } msg{};
        msg.h.nlmsg_len = sizeof msg;
        msg.h.nlmsg_type = type;
        msg.h.nlmsg_flags = flags;
        msg.h.nlmsg_seq = ++seq_;
        msg.r = req;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        for (int tries = 0; tries < 8; ++tries) {
            ssize_t n =
                sendto(fd_.get(), &msg, sizeof msg, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
            if (n == static_cast<ssize_t>(sizeof msg)) return true;
            if (n >= 0 || errno != EINTR) return false;
        }
        return false;
    }

    // One datagram into buf_; its length, or -1 (time-out, error, or a
    // message cut short: a dump is useless with a hole in it).
    ssize_t receive() {
        for (int tries = 0; tries < 8; ++tries) {
            msghdr mh{};
            iovec iov{buf_, sizeof buf_};
            mh.msg_iov = &iov;
            mh.msg_iovlen = 1;
            ssize_t n = recvmsg(fd_.get(), &mh, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || (mh.msg_flags & MSG_TRUNC)) return -1;
            return n;
        }
        return -1;
    }

    Fd fd_;
    std::uint32_t seq_ = 0;
    // The kernel fills a dump datagram up to 32 KiB.
    alignas(nlmsghdr) char buf_[64 * 1024];
};

bool sameNamespace(int nsFd) {
    struct stat here, there;
    return stat("/proc/thread-self/ns/net", &here) == 0 && fstat(nsFd, &there) == 0 && here.st_dev == there.st_dev &&
           here.st_ino == there.st_ino;
}

// Runs on a thread of its own: enters the target's namespace (unless it is
// already the thread's) and ends the matching sockets there.
void resetInNamespace(const Target& t, ResetCount& count) {
    if (!sameNamespace(t.ns.get()) && setns(t.ns.get(), CLONE_NEWNET) != 0) {
        count.failed += t.processes;
        return;
    }
    const std::int64_t deadline = nowMs() + kNamespaceBudgetMs;
    std::vector<Found> found;
    static const std::pair<std::uint8_t, std::uint8_t> kinds[] = {
        {AF_INET, IPPROTO_TCP}, {AF_INET6, IPPROTO_TCP}, {AF_INET, IPPROTO_UDP}, {AF_INET6, IPPROTO_UDP}};
    for (const auto& k : kinds) {
        // A fresh socket per dump: one cut short leaves the kernel mid-dump.
        auto diag = std::make_unique<Diag>();
        const std::uint32_t states = k.second == IPPROTO_TCP ? kTcpStates : kUdpStates;
        if (!diag->open() || !diag->dump(k.first, k.second, states, t.inodes, deadline, found)) ++count.failed;
    }
    if (found.empty()) return;
    auto diag = std::make_unique<Diag>();
    if (!diag->open()) {
        count.failed += static_cast<int>(found.size());
        return;
    }
    for (const Found& f : found) {
        int r = nowMs() > deadline ? -ETIMEDOUT : diag->destroy(f);
        if (r == 0) {
            ++(f.protocol == IPPROTO_TCP ? count.tcp : count.udp);
        } else if (r != -ENOENT) {  // ENOENT: it closed by itself meanwhile
            ++count.failed;
        }
    }
}

ResetCount resetAll(const std::vector<int>& pids) {
    ResetCount total;
    // Grouped by namespace (device and inode of its file): one set of dumps each.
    std::map<std::pair<dev_t, ino_t>, Target> targets;
    std::set<int> seen;
    for (int pid : pids) {
        if (pid <= 0 || !seen.insert(pid).second) continue;
        // Everything through the /proc/PID folder opened once: should the pid
        // be reused meanwhile, the lookups fail instead of reading another process.
        Fd proc(open(("/proc/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (proc.get() < 0) continue;  // no such process
        Fd ns(openat(proc.get(), "ns/net", O_RDONLY | O_CLOEXEC));
        if (ns.get() < 0) {
            if (errno == EACCES || errno == EPERM) ++total.failed;
            continue;
        }
        std::set<std::uint64_t> inodes;
        Read r = socketInodes(proc.get(), inodes);
        if (r == Read::refused) ++total.failed;
        if (r != Read::ok || inodes.empty()) continue;
        struct stat st;
        if (fstat(ns.get(), &st) != 0) continue;
        Target& t = targets[{st.st_dev, st.st_ino}];
        if (t.ns.get() < 0) t.ns = std::move(ns);
        t.inodes.insert(inodes.begin(), inodes.end());
        ++t.processes;
    }
    for (auto& entry : targets) {
        const Target& t = entry.second;
        ResetCount part;
        try {
            std::thread worker([&t, &part] {
                try {
                    resetInNamespace(t, part);
                } catch (...) {
                    ++part.failed;
                }
            });
            worker.join();
        } catch (...) {  // no thread could be made
            part.failed += t.processes;
        }
        total.tcp += part.tcp;
        total.udp += part.udp;
        total.failed += part.failed;
    }
    return total;
}

}  // namespace

ResetCount resetSocketsOf(const std::vector<int>& pids) {
    try {
        return resetAll(pids);
    } catch (...) {  // out of memory
        ResetCount c;
        c.failed = 1;
        return c;
    }
}

}  // namespace vnxcap
