#include "captureservice.h"

#include "capturepolicy.h"
#include "platform/capture.h"
#include "socketreset.h"
#include "veilnox_capture.skel.h"
#include "veilnox_resolver.skel.h"
#include "veilnox_resolver_lsm.skel.h"

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
#include <ctime>
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

bool gQuiet = false;

int quietLibbpf(enum libbpf_print_level level, const char* fmt, va_list ap) {
    if (level == LIBBPF_DEBUG || gQuiet) return 0;
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
        case BPF_PROG_TYPE_CGROUP_SOCK:
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
    std::uint32_t uid = 0;
};

// Whether `pid` runs in the cgroup-v2 folder `folder` (relative to the
// hierarchy's root, "/" for all of it) or below it: the processes the hooks
// see.
bool inCgroup(int pid, const std::string& folder) {
    if (folder == "/") return true;
    std::ifstream f("/proc/" + std::to_string(pid) + "/cgroup");
    std::string line;
    while (std::getline(f, line)) {
        if (line.compare(0, 3, "0::") != 0) continue;
        const std::string path = line.substr(3);
        return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                                  path[folder.size()] == '/');
    }
    return false;
}

// The names the exec hook would have recorded: the executable's file name
// and the last component of the path it was started by. The path is not
// kept by the kernel; the thread name starts as its first 15 bytes, so
// argv[0] stands for it only where the two agree.
bool procNames(int pid, ProcNames& out) {
    std::string p = "/proc/" + std::to_string(pid);
    std::string exe;
    if (readLink(p + "/exe", exe)) out.exe = nameHash(baseName(exe));
    std::string comm;
    {
        std::ifstream c(p + "/comm");
        std::getline(c, comm);
    }
    std::ifstream cmd(p + "/cmdline", std::ios::binary);
    std::string argv0;
    std::getline(cmd, argv0, '\0');
    const std::string started = baseName(argv0);
    if (!comm.empty() && started.compare(0, 15, comm) == 0 && started.size() >= comm.size())
        out.invoked = nameHash(started);
    else if (!comm.empty() && comm.size() < 15)
        out.invoked = nameHash(comm);
    if (out.invoked == out.exe) out.invoked = 0;
    std::ifstream status(p + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 4, "Uid:") == 0)
            out.uid = static_cast<std::uint32_t>(std::strtoul(line.c_str() + 4, nullptr, 10));
    std::ifstream stat(p + "/stat");
    if (!std::getline(stat, line)) return false;
    std::size_t close = line.rfind(')');
    if (close == std::string::npos) return false;
    char state;
    return std::sscanf(line.c_str() + close + 1, " %c %d", &state, &out.ppid) == 2;
}

std::map<int, ProcNames> scanProcesses() {
    std::map<int, ProcNames> all;
    DIR* d = opendir("/proc");
    if (!d) return all;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end || pid <= 0) continue;
        ProcNames n;
        if (procNames(static_cast<int>(pid), n)) all[static_cast<int>(pid)] = n;
    }
    closedir(d);
    return all;
}

// Lists every process that the exec hook has not seen yet, with its own
// names and those of all its ancestors.
void listRunningProcesses(int procsFd, const std::set<std::uint64_t>& own) {
    const std::map<int, ProcNames> all = scanProcesses();
    for (const auto& entry : all) {
        vnx_proc_info info{};
        const ProcNames* at = &entry.second;
        std::set<int> seen;
        while (at && seen.size() < all.size()) {
            lineageAdd(info, at->exe);
            lineageAdd(info, at->invoked);
            auto parent = all.find(at->ppid);
            at = parent == all.end() || !seen.insert(parent->first).second ? nullptr : &parent->second;
        }
        info.own = (own.count(entry.second.exe) || own.count(entry.second.invoked)) ? 1 : 0;
        std::uint32_t tgid = static_cast<std::uint32_t>(entry.first);
        bpf_map_update_elem(procsFd, &tgid, &info, BPF_NOEXIST);
    }
}

// Ends the connections that `uid`'s programs opened before `now` covered
// them (all of them when `before` covered none), so that they reconnect
// through the hooks. Says how many, on standard output and in the user's
// reset file beside the state file.
void resetNewlyCovered(const ServiceOptions& opts, const std::string& cgroupFolder, int procsFd, std::uint32_t uid,
                       const UserPolicy* before, const UserPolicy& now) {
    std::vector<int> pids;
    for (const auto& entry : scanProcesses()) {
        if (entry.second.uid != uid || !inCgroup(entry.first, cgroupFolder)) continue;
        vnx_proc_info info{};
        std::uint32_t tgid = static_cast<std::uint32_t>(entry.first);
        const bool known = bpf_map_lookup_elem(procsFd, &tgid, &info) == 0;
        if (!coveredBy(now, known ? &info : nullptr)) continue;
        if (before && coveredBy(*before, known ? &info : nullptr)) continue;
        pids.push_back(entry.first);
    }
    if (pids.empty()) return;
    const ResetCount n = resetSocketsOf(pids);
    const int total = n.tcp + n.udp;
    std::printf("veilnox-capture: reset %d connections of user %u (tcp=%d udp=%d failed=%d)\n", total, uid, n.tcp,
                n.udp, n.failed);
    std::fflush(stdout);
    if (opts.stateFile.empty()) return;
    std::string dir = opts.stateFile.substr(0, opts.stateFile.rfind('/') + 1);
    std::string path = dir + "veilnox-capture.reset." + std::to_string(uid);
    std::string tmp = path + ".tmp";
    if (FILE* f = std::fopen(tmp.c_str(), "w")) {
        std::fprintf(f, "%d %lld\n", total, static_cast<long long>(time(nullptr)));
        std::fclose(f);
        chmod(tmp.c_str(), 0644);
        std::rename(tmp.c_str(), path.c_str());
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
    PolicySync(const ServiceOptions& o, int policiesFd, int rulesFd, int genFd, int procsFd)
        : opts(o), policiesFd(policiesFd), rulesFd(rulesFd), genFd(genFd), procsFd(procsFd) {}
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
        const vnx_rule_list list = ruleList(now.rules);
        if (bpf_map_update_elem(rulesFd, &uid, &list, BPF_ANY) != 0 ||
            bpf_map_update_elem(policiesFd, &uid, &now.policy, BPF_ANY) != 0) {
            say("publishing the policy of user %u failed: %s", uid, std::strerror(errno));
            return;
        }
        const bool hadPolicy = w.published;
        const UserPolicy before = w.last;
        w.last = now;
        w.published = true;
        bumpGeneration();
        std::printf("veilnox-capture: user %u connected=%u tcp=%u udp=%u dns=%u all=%u rules=%zu\n", uid,
                    now.policy.connected, now.policy.tcp, now.policy.udp, now.policy.dns, now.policy.all_apps,
                    now.rules.size());
        std::fflush(stdout);
        // Connections opened before the policy covered their program would
        // go on sending directly: they are ended, and come back diverted.
        if (resetting && now.policy.connected == 1)
            resetNewlyCovered(opts, cgroupFolder, procsFd, uid, hadPolicy ? &before : nullptr, now);
    }

public:
    // From here on a policy that starts to cover programs ends their open
    // connections; and it does so now for every connected user (the
    // processes are known to the hooks from here on).
    void resetAllCovered(const std::string& folder) {
        cgroupFolder = folder;
        resetting = true;
        for (auto& entry : users)
            if (entry.second.published && entry.second.last.policy.connected == 1)
                resetNewlyCovered(opts, cgroupFolder, procsFd, entry.first, nullptr, entry.second.last);
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
        uids.clear();
        for (std::uint32_t* prev = nullptr; bpf_map_get_next_key(rulesFd, prev, &next) == 0; prev = &key) {
            key = next;
            if (!users.count(next)) uids.push_back(next);
        }
        for (std::uint32_t uid : uids)
            bpf_map_delete_elem(rulesFd, &uid);
        bumpGeneration();
    }

private:
    // The block is gone: the user's programs go direct again.
    void forget(std::uint32_t uid, Watched& w) {
        bpf_map_delete_elem(policiesFd, &uid);
        bpf_map_delete_elem(rulesFd, &uid);
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
    int policiesFd, rulesFd, genFd, procsFd;
    bool resetting = false;
    std::string cgroupFolder = "/";
    std::map<std::uint32_t, Watched> users;
};

// Whether the kernel runs BPF security modules (the "bpf" LSM is active):
// only then does a security hook run at all. Systems that run systemd have
// the security file system mounted; where it is not, it is mounted here.
bool bpfSecurityActive() {
    if (access("/sys/kernel/security/lsm", R_OK) != 0)
        mount("securityfs", "/sys/kernel/security", "securityfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
    std::ifstream f("/sys/kernel/security/lsm");
    std::string list;
    std::getline(f, list);
    return ("," + list + ",").find(",bpf,") != std::string::npos;
}

// Opens a skeleton's object on the maps of `main` (those of the same name).
template <typename Skel>
Skel* openSharing(Skel* (*open)(), void (*destroy)(Skel*), vnx_capture* main) {
    Skel* skel = open();
    if (!skel) return nullptr;
    bpf_map* map;
    bpf_object__for_each_map(map, skel->obj) {
        bpf_map* same = bpf_object__find_map_by_name(main->obj, bpf_map__name(map));
        if (same && bpf_map__reuse_fd(map, bpf_map__fd(same)) != 0) {
            destroy(skel);
            return nullptr;
        }
    }
    return skel;
}

// The hook that keeps diverted programs from local resolver daemons: the
// cgroup hook on unix socket connections where the kernel has it (6.7 on),
// else the security hook where the kernel runs BPF security modules. Loaded
// on the maps of `main`; `prog` is set to the program to attach.
struct ResolverHook {
    vnx_resolver* unixHook = nullptr;
    vnx_resolver_lsm* lsmHook = nullptr;
    bpf_program* prog = nullptr;
    ~ResolverHook() {
        if (unixHook) vnx_resolver__destroy(unixHook);
        if (lsmHook) vnx_resolver_lsm__destroy(lsmHook);
    }
};

void loadResolverHook(vnx_capture* main, int cgroupFd, ResolverHook& out) {
    gQuiet = true;  // an older kernel's refusal is expected, not news
    if (vnx_resolver* r = openSharing(vnx_resolver__open, vnx_resolver__destroy, main)) {
        // BPF_CGROUP_UNIX_CONNECT, which Debian 12's libbpf does not name.
        constexpr int kUnixConnect = 49;
        bpf_program__set_expected_attach_type(r->progs.vnx_resolver_connect,
                                              static_cast<bpf_attach_type>(kUnixConnect));
        if (vnx_resolver__load(r) == 0) {
            out.unixHook = r;
            out.prog = r->progs.vnx_resolver_connect;
        } else {
            vnx_resolver__destroy(r);
        }
    }
    if (!out.prog && bpfSecurityActive())
        if (vnx_resolver_lsm* l = openSharing(vnx_resolver_lsm__open, vnx_resolver_lsm__destroy, main)) {
            std::uint32_t zero = 0;
            std::uint32_t fd = static_cast<std::uint32_t>(cgroupFd);
            if (vnx_resolver_lsm__load(l) == 0 &&
                bpf_map_update_elem(bpf_map__fd(l->maps.hooked_cgroup), &zero, &fd, BPF_ANY) == 0) {
                out.lsmHook = l;
                out.prog = l->progs.vnx_resolver_lsm;
            } else {
                vnx_resolver_lsm__destroy(l);
            }
        }
    gQuiet = false;
}

// Where the maps of this layout are pinned: a folder of their own, so that
// maps of another layout (an older or newer release) are never reused.
std::string mapDir(const std::string& pinDir) { return pinDir + "/maps-v" + std::to_string(VNX_LAYOUT_VERSION); }

// Opens the hooks with their maps pinned under mapDir (reusing maps pinned
// there) and loads them. Null on failure, errno set.
vnx_capture* openAndLoad(const std::string& pinDir) {
    const std::string maps = mapDir(pinDir);
    if (mkdir(maps.c_str(), 0700) != 0 && errno != EEXIST) return nullptr;
    vnx_capture* skel = vnx_capture__open();
    if (!skel) return nullptr;
    bpf_map* map;
    bpf_object__for_each_map(map, skel->obj) {
        std::string path = maps + "/" + bpf_map__name(map);
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

std::string joined(const std::string& dir, const std::string& name) {
    std::string path = dir;
    path += '/';
    path += name;
    return path;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    return names;
}

bool unlinkAll(const std::string& dir, const std::vector<std::string>& names) {
    bool ok = true;
    for (const std::string& n : names) {
        const std::string path = joined(dir, n);
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            say("cannot remove %s: %s", path.c_str(), std::strerror(errno));
            ok = false;
        }
    }
    return ok;
}

// Unpins the maps of every layout but `keep` (links too when `links`)
// under pinDir. True when all went.
bool removePinned(const std::string& pinDir, bool links, const std::string& keep = std::string()) {
    bool ok = true;
    std::vector<std::string> linkNames, mapFolders;
    for (const std::string& n : entries(pinDir)) {
        if (n.compare(0, 5, "link_") == 0)
            linkNames.push_back(n);
        else if (n != keep)
            mapFolders.push_back(n);
    }
    // Links first: once the last one goes, no hook runs on half a policy.
    if (links) ok = unlinkAll(pinDir, linkNames) && ok;
    for (const std::string& folder : mapFolders) {
        const std::string dir = joined(pinDir, folder);
        struct stat st;
        if (lstat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
            ok = unlinkAll(pinDir, {folder}) && ok;  // maps pinned by releases before the layout folders
            continue;
        }
        ok = unlinkAll(dir, entries(dir)) && ok;
        if (rmdir(dir.c_str()) != 0 && errno != ENOENT) ok = false;
    }
    return ok;
}

// Unpins the cgroup links attached to another cgroup than `cgroupId` (a
// restart with another --cgroup): they are detached, and attached anew.
void dropLinksOfOtherCgroups(const std::string& pinDir, std::uint64_t cgroupId) {
    for (const std::string& n : entries(pinDir)) {
        if (n.compare(0, 5, "link_") != 0) continue;
        const std::string path = joined(pinDir, n);
        int fd = bpf_obj_get(path.c_str());
        if (fd < 0) continue;
        bpf_link_info info{};
        __u32 len = sizeof info;
        const bool other = bpf_obj_get_info_by_fd(fd, &info, &len) == 0 && info.type == BPF_LINK_TYPE_CGROUP &&
                           info.cgroup.cgroup_id != cgroupId;
        close(fd);
        if (other) unlink(path.c_str());
    }
}

// Removes what nobody will ask for any more: TCP destinations the server
// never asked for (older than two minutes) and aliases no datagram has used
// for half an hour. Bounded per call.
void sweep(int tcpFd, int aliasOfFd, int aliasDestFd) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t now = static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL + ts.tv_nsec;
    constexpr std::uint64_t kTcpAge = 120ULL * 1000000000ULL;
    constexpr std::uint64_t kAliasIdle = 1800ULL * 1000000000ULL;
    std::vector<vnx_conn_key> oldConns;
    vnx_conn_key ck{}, cnext{};
    int budget = 200000;
    for (vnx_conn_key* prev = nullptr; budget-- > 0 && bpf_map_get_next_key(tcpFd, prev, &cnext) == 0; prev = &ck) {
        ck = cnext;
        vnx_conn_entry e{};
        if (bpf_map_lookup_elem(tcpFd, &ck, &e) == 0 && now > e.stamp && now - e.stamp > kTcpAge)
            oldConns.push_back(ck);
    }
    for (const auto& k : oldConns)
        bpf_map_delete_elem(tcpFd, &k);
    std::vector<vnx_alias_key> oldKeys;
    vnx_alias_key ak{}, anext{};
    for (vnx_alias_key* prev = nullptr; budget-- > 0 && bpf_map_get_next_key(aliasOfFd, prev, &anext) == 0;
         prev = &ak) {
        ak = anext;
        std::uint32_t alias = 0;
        vnx_alias_info info{};
        if (bpf_map_lookup_elem(aliasOfFd, &ak, &alias) != 0) continue;
        const bool gone = bpf_map_lookup_elem(aliasDestFd, &alias, &info) != 0;
        if (gone || (now > info.last_used && now - info.last_used > kAliasIdle)) oldKeys.push_back(ak);
    }
    for (const auto& k : oldKeys) {
        std::uint32_t alias = 0;
        if (bpf_map_lookup_elem(aliasOfFd, &k, &alias) == 0) bpf_map_delete_elem(aliasDestFd, &alias);
        bpf_map_delete_elem(aliasOfFd, &k);
    }
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
    struct stat cgroupStat;
    if (fstat(cgroupFd, &cgroupStat) == 0) dropLinksOfOtherCgroups(opts.pinDir, cgroupStat.st_ino);
    // Maps of this layout pinned by an earlier run are reused (the policy and
    // what the hooks know of processes and connections survive a restart);
    // maps of another layout stay with the hooks still using them until the
    // new programs have taken the links over below.
    vnx_capture* skel = openAndLoad(opts.pinDir);
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
    for (const std::string& path : opts.resolverSockets) {
        std::uint64_t h = nameHash(path);
        std::uint8_t one = 1;
        bpf_map_update_elem(bpf_map__fd(skel->maps.resolver_paths), &h, &one, BPF_ANY);
    }
    ResolverHook resolverHook;
    loadResolverHook(skel, cgroupFd, resolverHook);
    bpf_program* resolverProg = resolverHook.prog;
    const bool guardResolvers = resolverProg != nullptr;
    // A link of the hook not in use now (another kernel, another release)
    // goes: one hook guards the daemons at a time.
    for (const char* name : {"vnx_resolver_connect", "vnx_resolver_lsm"})
        if (!resolverProg || std::strcmp(bpf_program__name(resolverProg), name) != 0)
            unlink((opts.pinDir + "/link_" + name).c_str());
    if (!guardResolvers)
        say("this kernel has neither a hook on unix socket connections (it came with 6.7) nor BPF security "
            "modules: names a program asks of a local resolver daemon (systemd-resolved's varlink socket, "
            "nscd) may be looked up from the user's own address");
    const int procsFd = bpf_map__fd(skel->maps.procs);
    PolicySync sync(opts, bpf_map__fd(skel->maps.policies), bpf_map__fd(skel->maps.rule_lists),
                    bpf_map__fd(skel->maps.policy_gen), procsFd);
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
    if (ok) listRunningProcesses(procsFd, own);
    bpf_object__for_each_program(prog, skel->obj) {
        if (!isCgroupProgram(prog)) continue;
        ok = ok && attachPinned(prog, cgroupFd, opts.pinDir + "/link_" + bpf_program__name(prog));
    }
    if (ok && resolverProg)
        ok = attachPinned(resolverProg, cgroupFd, opts.pinDir + "/link_" + bpf_program__name(resolverProg));
    close(cgroupFd);
    if (!ok) {
        // What was pinned before keeps working (an older release's hooks on
        // their own maps); nothing that worked is taken away.
        say("the hooks could not all be attached; the ones pinned before stay as they were");
        vnx_capture__destroy(skel);
        return 2;
    }
    // The links now run the new programs: maps of other layouts are unused.
    removePinned(opts.pinDir, false, "maps-v" + std::to_string(VNX_LAYOUT_VERSION));
    // Connections that covered programs opened while no hooks ran.
    const std::string root = cgroup2Root();
    std::string folder = "/";
    if (!root.empty() && cgroup.compare(0, root.size(), root) == 0 && cgroup.size() > root.size())
        folder = cgroup.substr(root.size());
    sync.resetAllCovered(folder);

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
            std::fprintf(f, "%d\nresolvers=%d\n", static_cast<int>(getpid()), guardResolvers ? 1 : 0);
            std::fclose(f);
            chmod(tmp.c_str(), 0644);
            std::rename(tmp.c_str(), opts.stateFile.c_str());
        }
    }
    std::printf("veilnox-capture: ready\n");
    std::fflush(stdout);

    int ticks = 0;
    unsigned sweeps = 0;
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
            // Told to detach while running: the hooks are gone, and so is
            // the service (it would otherwise serve maps nobody reads).
            if (access((opts.pinDir + "/link_vnx_connect4").c_str(), F_OK) != 0) {
                say("the hooks were detached; stopping");
                break;
            }
            if (++sweeps % 5 == 0)
                sweep(bpf_map__fd(skel->maps.tcp_dests), bpf_map__fd(skel->maps.alias_of),
                      bpf_map__fd(skel->maps.alias_dest));
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
    // A service still running is stopped first: otherwise it would go on
    // with hooks nobody can see, and its next start would stack a second set.
    if (vnxplat::captureServiceRunning(opts.stateFile.c_str())) {
        long pid = 0;
        if (FILE* f = std::fopen(opts.stateFile.c_str(), "re")) {
            if (std::fscanf(f, "%ld", &pid) != 1) pid = 0;
            std::fclose(f);
        }
        if (pid > 1 && pid != getpid() && kill(static_cast<pid_t>(pid), SIGTERM) == 0)
            for (int i = 0; i < 100 && kill(static_cast<pid_t>(pid), 0) == 0; ++i)
                usleep(50000);
    }
    bool ok = removePinned(opts.pinDir, true);
    if (rmdir(opts.pinDir.c_str()) != 0 && errno != ENOENT) ok = false;
    return ok ? 0 : 1;
}

}  // namespace vnxcap
