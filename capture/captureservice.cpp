#include "captureservice.h"

#include "capturepolicy.h"
#include "veilnox_capture.skel.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <vector>

namespace vnxcap {

namespace {

volatile std::sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::fputs("veilnox-capture: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
}

int quietLibbpf(enum libbpf_print_level level, const char* fmt, va_list ap) {
    if (level == LIBBPF_DEBUG) return 0;
    return std::vfprintf(stderr, fmt, ap);
}

bool ensureBpffs(const std::string& pinDir) {
    std::string parent = pinDir.substr(0, pinDir.rfind('/'));
    if (parent.empty()) parent = "/";
    struct statfs fs;
    if (statfs(parent.c_str(), &fs) != 0 || fs.f_type != BPF_FS_MAGIC) {
        mkdir(parent.c_str(), 0700);
        if (mount("bpf", parent.c_str(), "bpf", 0, "mode=0700") != 0) {
            say("%s is not a BPF file system and mounting one there failed: %s", parent.c_str(), std::strerror(errno));
            return false;
        }
    }
    if (mkdir(pinDir.c_str(), 0700) != 0 && errno != EEXIST) {
        say("cannot create %s: %s", pinDir.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

bool isCgroupProgram(const bpf_program* prog) {
    switch (bpf_program__type(prog)) {
        case BPF_PROG_TYPE_CGROUP_SOCK_ADDR:
        case BPF_PROG_TYPE_SOCK_OPS:
        case BPF_PROG_TYPE_CGROUP_SOCKOPT: return true;
        default: return false;
    }
}

// Attaches one program and pins its link at `path`. A cgroup link pinned by
// an earlier run is given the new program in place, so the hooks never stop
// working across a restart; a tracing link is replaced after the new one runs.
bool attachPinned(bpf_program* prog, int cgroupFd, const std::string& path) {
    if (isCgroupProgram(prog) && access(path.c_str(), F_OK) == 0) {
        if (bpf_link* old = bpf_link__open(path.c_str())) {
            int err = bpf_link__update_program(old, prog);
            bpf_link__disconnect(old);
            bpf_link__destroy(old);
            if (err == 0) return true;
            say("replacing the pinned %s failed (%s); attaching anew", bpf_program__name(prog), std::strerror(-err));
            unlink(path.c_str());
        }
    }
    bpf_link* link = isCgroupProgram(prog) ? bpf_program__attach_cgroup(prog, cgroupFd) : bpf_program__attach(prog);
    if (!link) {
        say("attaching %s failed: %s", bpf_program__name(prog), std::strerror(errno));
        return false;
    }
    unlink(path.c_str());
    int err = bpf_link__pin(link, path.c_str());
    bpf_link__disconnect(link);
    bpf_link__destroy(link);
    if (err) {
        say("pinning %s failed: %s", path.c_str(), std::strerror(-err));
        return false;
    }
    return true;
}

// ---- processes that were running before the hooks --------------------------

bool readLink(const std::string& path, std::string& out) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return false;
    buf[n] = 0;
    out = buf;
    static const std::string kDeleted = " (deleted)";
    if (out.size() > kDeleted.size() && out.compare(out.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
        out.resize(out.size() - kDeleted.size());
    return true;
}

struct ProcNames {
    std::uint64_t exe = 0, invoked = 0;
    int ppid = 0;
};

bool procNames(int pid, ProcNames& out) {
    std::string p = "/proc/" + std::to_string(pid);
    std::string exe;
    if (readLink(p + "/exe", exe)) out.exe = nameHash(baseName(exe));
    std::ifstream cmd(p + "/cmdline", std::ios::binary);
    std::string argv0;
    std::getline(cmd, argv0, '\0');
    if (!argv0.empty()) out.invoked = nameHash(baseName(argv0));
    if (out.invoked == out.exe) out.invoked = 0;
    std::ifstream stat(p + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    std::size_t close = line.rfind(')');
    if (close == std::string::npos) return false;
    char state;
    return std::sscanf(line.c_str() + close + 1, " %c %d", &state, &out.ppid) == 2;
}

// Lists every process that the exec hook has not seen yet, with its own
// names and those of up to five generations of ancestors.
void listRunningProcesses(int procsFd, const std::set<std::uint64_t>& own) {
    DIR* d = opendir("/proc");
    if (!d) return;
    std::map<int, ProcNames> all;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end || pid <= 0) continue;
        ProcNames n;
        if (procNames(static_cast<int>(pid), n)) all[static_cast<int>(pid)] = n;
    }
    closedir(d);
    for (const auto& entry : all) {
        vnx_proc_info info{};
        int k = 0;
        const ProcNames* at = &entry.second;
        for (int gen = 0; at && k + 1 < VNX_PROC_NAMES && gen < VNX_PROC_NAMES / 2; ++gen) {
            info.names[k++] = at->exe;
            info.names[k++] = at->invoked;
            auto parent = all.find(at->ppid);
            at = parent == all.end() || parent->first == entry.first ? nullptr : &parent->second;
        }
        info.own = (own.count(entry.second.exe) || own.count(entry.second.invoked)) ? 1 : 0;
        std::uint32_t tgid = static_cast<std::uint32_t>(entry.first);
        bpf_map_update_elem(procsFd, &tgid, &info, BPF_NOEXIST);
    }
}

// ---- users' proxy data blocks --------------------------------------------------

struct Watched {
    int fd = -1;
    ino_t ino = 0;
    bool published = false;
    UserPolicy last;
};

class PolicySync {
public:
    PolicySync(const ServiceOptions& o, int policiesFd, int rulesFd, int genFd)
        : opts(o), policiesFd(policiesFd), rulesFd(rulesFd), genFd(genFd) {}
    ~PolicySync() {
        for (auto& w : users)
            if (w.second.fd >= 0) close(w.second.fd);
    }

    // Finds the blocks present now, opens new ones and forgets those gone
    // or replaced.
    void rescan() {
        std::set<std::uint32_t> seen;
        static const std::string kPrefix = std::string(vnx::kProxyDataName) + ".";
        DIR* d = opendir(opts.shmDir.c_str());
        if (d) {
            while (dirent* e = readdir(d)) {
                if (std::strncmp(e->d_name, kPrefix.c_str(), kPrefix.size()) != 0) continue;
                const char* digits = e->d_name + kPrefix.size();
                char* end = nullptr;
                unsigned long uid = std::strtoul(digits, &end, 10);
                if (!*digits || *end || uid > 0xfffffffeUL) continue;
                if (track(static_cast<std::uint32_t>(uid), opts.shmDir + "/" + e->d_name))
                    seen.insert(static_cast<std::uint32_t>(uid));
            }
            closedir(d);
        }
        for (auto it = users.begin(); it != users.end();) {
            if (seen.count(it->first)) {
                ++it;
                continue;
            }
            forget(it->first, it->second);
            it = users.erase(it);
        }
    }

    // Reads every tracked block and publishes what changed.
    void refresh() {
        for (auto& entry : users) {
            vnx::ProxyData block;
            ssize_t n = pread(entry.second.fd, &block, sizeof block, 0);
            if (n != static_cast<ssize_t>(sizeof block)) continue;
            UserPolicy now = policyFromBlock(block);
            if (entry.second.published && now == entry.second.last) continue;
            publish(entry.first, entry.second, now);
        }
    }

private:
    // Opens the block of `uid` at `path` unless it is already open. Only a
    // regular file owned by that user and writable by nobody else counts:
    // another user cannot plant a block that changes someone's traffic. No
    // lock is taken, so the block still ends with its last holder.
    bool track(std::uint32_t uid, const std::string& path) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != uid || (st.st_mode & 022) ||
            st.st_size < static_cast<off_t>(sizeof(vnx::ProxyData)))
            return false;
        auto it = users.find(uid);
        if (it != users.end() && it->second.ino == st.st_ino) return true;
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return false;
        struct stat fst;
        if (fstat(fd, &fst) != 0 || fst.st_ino != st.st_ino || fst.st_uid != uid) {
            close(fd);
            return false;
        }
        if (it != users.end()) {
            close(it->second.fd);
            it->second.fd = fd;
            it->second.ino = st.st_ino;
        } else {
            Watched w;
            w.fd = fd;
            w.ino = st.st_ino;
            users.emplace(uid, std::move(w));
        }
        return true;
    }

    void publish(std::uint32_t uid, Watched& w, const UserPolicy& now) {
        for (std::uint64_t h : now.rules) {
            if (w.published && w.last.rules.count(h)) continue;
            vnx_rule_key key{uid, 0, h};
            std::uint8_t one = 1;
            bpf_map_update_elem(rulesFd, &key, &one, BPF_ANY);
        }
        if (w.published)
            for (std::uint64_t h : w.last.rules) {
                if (now.rules.count(h)) continue;
                vnx_rule_key key{uid, 0, h};
                bpf_map_delete_elem(rulesFd, &key);
            }
        if (bpf_map_update_elem(policiesFd, &uid, &now.policy, BPF_ANY) != 0) {
            say("publishing the policy of user %u failed: %s", uid, std::strerror(errno));
            return;
        }
        w.last = now;
        w.published = true;
        bumpGeneration();
        std::printf("veilnox-capture: user %u connected=%u tcp=%u udp=%u dns=%u all=%u rules=%zu\n", uid,
                    now.policy.connected, now.policy.tcp, now.policy.udp, now.policy.dns, now.policy.all_apps,
                    now.rules.size());
        std::fflush(stdout);
    }

public:
    // Drops what an earlier run left in the pinned maps for users or rules
    // that are no longer there (called after the first refresh, so that the
    // users still present never lose their policy for a moment).
    void prune() {
        std::vector<std::uint32_t> uids;
        std::uint32_t key = 0, next = 0;
        for (std::uint32_t* prev = nullptr; bpf_map_get_next_key(policiesFd, prev, &next) == 0; prev = &key) {
            key = next;
            if (!users.count(next)) uids.push_back(next);
        }
        for (std::uint32_t uid : uids)
            bpf_map_delete_elem(policiesFd, &uid);
        std::vector<vnx_rule_key> stale;
        vnx_rule_key rk{}, rnext{};
        for (vnx_rule_key* prev = nullptr; bpf_map_get_next_key(rulesFd, prev, &rnext) == 0; prev = &rk) {
            rk = rnext;
            auto it = users.find(rnext.uid);
            if (it == users.end() || !it->second.last.rules.count(rnext.name_hash)) stale.push_back(rnext);
        }
        for (auto& k : stale)
            bpf_map_delete_elem(rulesFd, &k);
        bumpGeneration();
    }

private:
    // The block is gone: the user's programs go direct again.
    void forget(std::uint32_t uid, Watched& w) {
        bpf_map_delete_elem(policiesFd, &uid);
        for (std::uint64_t h : w.last.rules) {
            vnx_rule_key key{uid, 0, h};
            bpf_map_delete_elem(rulesFd, &key);
        }
        bumpGeneration();
        if (w.fd >= 0) close(w.fd);
        w.fd = -1;
        std::printf("veilnox-capture: user %u gone\n", uid);
        std::fflush(stdout);
    }

    // Makes every process's cached decision stale: called after each change
    // of a policy or a rule.
    void bumpGeneration() {
        std::uint32_t zero = 0;
        std::uint64_t gen = 0;
        bpf_map_lookup_elem(genFd, &zero, &gen);
        ++gen;
        bpf_map_update_elem(genFd, &zero, &gen, BPF_ANY);
    }

    const ServiceOptions& opts;
    int policiesFd, rulesFd, genFd;
    std::map<std::uint32_t, Watched> users;
};

// Opens the hooks with their maps pinned under pinDir (reusing maps pinned
// there) and loads them. Null on failure, errno set.
vnx_capture* openAndLoad(const std::string& pinDir) {
    vnx_capture* skel = vnx_capture__open();
    if (!skel) return nullptr;
    bpf_map* map;
    bpf_object__for_each_map(map, skel->obj) {
        std::string path = pinDir + "/" + bpf_map__name(map);
        bpf_map__set_pin_path(map, path.c_str());
    }
    int err = vnx_capture__load(skel);
    if (err) {
        vnx_capture__destroy(skel);
        errno = -err;
        return nullptr;
    }
    return skel;
}

// Unpins the maps (links too when `links`) under pinDir. True when all went.
bool removePinned(const std::string& pinDir, bool links) {
    DIR* d = opendir(pinDir.c_str());
    if (!d) return errno == ENOENT;
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    bool ok = true;
    // Links first: once the last one goes, no hook runs on half a policy.
    for (int pass = 0; pass < 2; ++pass)
        for (const std::string& n : names) {
            const bool isLink = n.compare(0, 5, "link_") == 0;
            if (isLink != (pass == 0) || (isLink && !links)) continue;
            std::string path = pinDir;
            path += '/';
            path += n;
            if (unlink(path.c_str()) != 0 && errno != ENOENT) {
                say("cannot remove %s: %s", path.c_str(), std::strerror(errno));
                ok = false;
            }
        }
    return ok;
}

}  // namespace

std::string cgroup2Root() {
    std::ifstream mounts("/proc/self/mounts");
    std::string dev, dir, type;
    std::string rest;
    while (mounts >> dev >> dir >> type) {
        std::getline(mounts, rest);
        if (type == "cgroup2") return dir;
    }
    return {};
}

int runService(const ServiceOptions& opts) {
    libbpf_set_print(quietLibbpf);
    std::string cgroup = opts.cgroup.empty() ? cgroup2Root() : opts.cgroup;
    if (cgroup.empty()) {
        say("no cgroup-v2 hierarchy is mounted; programs can only be redirected through veilnox-run");
        return 2;
    }
    if (!ensureBpffs(opts.pinDir)) return 2;
    int cgroupFd = open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cgroupFd < 0) {
        say("cannot open the cgroup %s: %s", cgroup.c_str(), std::strerror(errno));
        return 2;
    }
    vnx_capture* skel = openAndLoad(opts.pinDir);
    if (!skel) {
        // Maps pinned by an older release with another layout: new maps are
        // made; the old hooks keep working on the old maps until the new
        // programs take their links over below.
        say("loading against the pinned maps failed; starting with fresh maps");
        removePinned(opts.pinDir, false);
        skel = openAndLoad(opts.pinDir);
    }
    if (!skel) {
        say("loading the hooks failed (%s); the kernel needs BPF with BTF", std::strerror(errno));
        close(cgroupFd);
        return 2;
    }
    const std::set<std::uint64_t> own = ownNameHashes();
    for (std::uint64_t h : own) {
        std::uint8_t one = 1;
        bpf_map_update_elem(bpf_map__fd(skel->maps.own_names), &h, &one, BPF_ANY);
    }
    const int policiesFd = bpf_map__fd(skel->maps.policies);
    const int rulesFd = bpf_map__fd(skel->maps.rules);
    PolicySync sync(opts, policiesFd, rulesFd, bpf_map__fd(skel->maps.policy_gen));
    sync.rescan();
    sync.refresh();
    sync.prune();

    // Process names first, then the hooks that read them.
    bool ok = true;
    bpf_program* prog;
    bpf_object__for_each_program(prog, skel->obj) {
        if (isCgroupProgram(prog)) continue;
        ok = ok && attachPinned(prog, cgroupFd, opts.pinDir + "/link_" + bpf_program__name(prog));
    }
    if (ok) listRunningProcesses(bpf_map__fd(skel->maps.procs), own);
    bpf_object__for_each_program(prog, skel->obj) {
        if (!isCgroupProgram(prog)) continue;
        ok = ok && attachPinned(prog, cgroupFd, opts.pinDir + "/link_" + bpf_program__name(prog));
    }
    close(cgroupFd);
    if (!ok) {
        vnx_capture__destroy(skel);
        detachAll(opts);
        return 2;
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify >= 0)
        inotify_add_watch(notify, opts.shmDir.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM);
    if (!opts.stateFile.empty()) {
        std::string tmp = opts.stateFile + ".tmp";
        if (FILE* f = std::fopen(tmp.c_str(), "w")) {
            std::fprintf(f, "%d\n", static_cast<int>(getpid()));
            std::fclose(f);
            chmod(tmp.c_str(), 0644);
            std::rename(tmp.c_str(), opts.stateFile.c_str());
        }
    }
    std::printf("veilnox-capture: ready\n");
    std::fflush(stdout);

    int ticks = 0;
    while (!gStop) {
        pollfd p{notify, POLLIN, 0};
        int n = poll(&p, notify >= 0 ? 1 : 0, opts.pollMs);
        bool changed = false;
        if (n > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            while (read(notify, buf, sizeof buf) > 0)
                changed = true;
        }
        // A block replaced without a notification (another mount, a lost
        // event) is found within a second.
        if (changed || ++ticks * opts.pollMs >= 1000) {
            ticks = 0;
            sync.rescan();
        }
        sync.refresh();
    }
    if (notify >= 0) close(notify);
    if (!opts.stateFile.empty()) unlink(opts.stateFile.c_str());
    // The links and maps stay pinned: the hooks keep working on the last
    // policy until the service is back or is told to detach.
    vnx_capture__destroy(skel);
    return 0;
}

int detachAll(const ServiceOptions& opts) {
    bool ok = removePinned(opts.pinDir, true);
    if (rmdir(opts.pinDir.c_str()) != 0 && errno != ENOENT) ok = false;
    return ok ? 0 : 1;
}

}  // namespace vnxcap
