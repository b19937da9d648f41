// veilnox-run PROGRAM [ARGS...]: starts a program with the Veilnox
// network-stack module loaded into it (LD_PRELOAD), so that its traffic
// follows the choices made in the Veilnox window.
#include "modulecatalog.h"
#include "platform/system.h"
#include "policy.h"
#include "sharedmemory.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kLauncherFailed = 125;  // like env(1): the launcher itself failed

// The client's rules file: the chosen programs.
std::string rulesPath() {
    const std::string root = vnxplat::appDataRoot();
    return root.empty() ? std::string("rules.txt in Veilnox's data folder") : root + "/Veilnox/data/config/rules.txt";
}

void usage(FILE* out) {
    std::fprintf(out,
                 "Usage: veilnox-run [--] PROGRAM [ARGS...]\n"
                 "Runs PROGRAM with the Veilnox network module, so that its connections,\n"
                 "datagrams and name look-ups go through Veilnox while it is connected.\n"
                 "\n"
                 "  --help     show this help and exit\n"
                 "  --version  show the version and exit\n"
                 "\n"
                 "The module is found through the catalog %s.\n"
                 "Install it with the Install button of Veilnox or with bat/veilnox-install64.sh.\n"
                 "\n"
                 "Only programs chosen in Veilnox are redirected: those listed under\n"
                 "Settings, Program Settings (the file %s),\n"
                 "or every program with Redirect All Traffic. When PROGRAM will not be\n"
                 "redirected, a line on standard error says why.\n"
                 "\n"
                 "Only PROGRAM is checked, and only programs that load the module are\n"
                 "redirected. Its children are reached while they load it too; a child that\n"
                 "is statically linked (for example a static program started through\n"
                 "sh -c), that runs with a cleared environment (env -i), that is\n"
                 "set-user-ID, or that makes system calls without the C library goes out\n"
                 "directly. The kernel capture mode (veilnox-capture) redirects every\n"
                 "program, whatever it is and however it was started.\n",
                 vnxmod::ModuleCatalog::path().c_str(), rulesPath().c_str());
}

// The file execvp would run for `program` (PATH searched when it has no
// slash); empty when none is found (execvp then reports it).
std::string resolveProgram(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        std::size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) return std::string();
        start = end + 1;
    }
}

// Why the loader would not preload the module into this executable, or
// null when it will (or when it is not an ELF file: a script's interpreter
// is what runs). A statically linked program ignores LD_PRELOAD, and a
// program of the other word size cannot load this module: either would
// run with its traffic going out directly.
bool readHeader(const char* file, Elf64_Ehdr& eh, int& fd) {
    fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    return read(fd, &eh, sizeof eh) == static_cast<ssize_t>(sizeof eh) && std::memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0;
}

const char* unreachable(const std::string& file) {
    Elf64_Ehdr own{}, eh{};
    int ownFd = -1, fd = -1;
    const bool haveOwn = readHeader("/proc/self/exe", own, ownFd);
    if (ownFd >= 0) close(ownFd);
    const char* why = nullptr;
    if (readHeader(file.c_str(), eh, fd)) {
        // The module is built like this launcher.
        if (haveOwn && (eh.e_ident[EI_CLASS] != own.e_ident[EI_CLASS] || eh.e_machine != own.e_machine)) {
            why = "it is built for another word size or processor, and cannot load the module";
        } else if (eh.e_ident[EI_CLASS] == ELFCLASS64 && eh.e_phentsize == sizeof(Elf64_Phdr) && eh.e_phnum < 4096) {
            bool interp = false;
            for (int i = 0; i < eh.e_phnum && !interp; ++i) {
                Elf64_Phdr ph;
                if (pread(fd, &ph, sizeof ph,
                          static_cast<off_t>(eh.e_phoff + static_cast<std::uint64_t>(i) * sizeof ph)) !=
                    static_cast<ssize_t>(sizeof ph))
                    break;
                interp = ph.p_type == PT_INTERP;
            }
            if (!interp) why = "it is statically linked, and the loader preloads nothing into such programs";
        }
    }
    if (fd >= 0) close(fd);
    return why;
}

// Why a library (or the catalog naming it) must not be trusted, or null:
// it, or a folder above it, can be changed by someone other than this user
// and the administrator (owned by another user, or writable by group or
// others; a folder with the sticky bit, such as /tmp, is fine).
const char* untrusted(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return "it cannot be found";
    std::string p = real;
    std::free(real);
    const uid_t uid = getuid();
    for (bool file = true;; file = false) {
        struct stat st;
        if (stat(p.c_str(), &st) != 0) return "it cannot be read";
        if (st.st_uid != uid && st.st_uid != 0)
            return file ? "it belongs to another user" : "a folder above it belongs to another user";
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) && (file || !(st.st_mode & S_ISVTX)))
            return file ? "it is writable by other users" : "a folder above it is writable by other users";
        if (file && !S_ISREG(st.st_mode)) return "it is not a regular file";
        if (p == "/") return nullptr;
        const std::size_t slash = p.rfind('/');
        p = slash == 0 ? "/" : p.substr(0, slash);
    }
}

// LD_PRELOAD with the module first and without an older copy of it.
std::string preloadWith(const std::string& module, const char* current) {
    std::string out = module;
    if (!current) return out;
    std::string item;
    for (const char* p = current;; ++p) {
        if (*p == ':' || *p == ' ' || *p == 0) {
            if (!item.empty() && item != module) out += ":" + item;
            item.clear();
            if (*p == 0) break;
        } else {
            item += *p;
        }
    }
    return out;
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string realBaseName(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return baseName(path);
    std::string base = baseName(real);
    std::free(real);
    return base;
}

// The names the module will know the program by once it runs (policy.h):
// the executable's file name with links resolved, and argv[0]'s file name.
// For a script these are its interpreter's (and, through env, the program
// env runs).
void namesAfterExec(const std::string& file, const char* argv0, std::string& exe, std::string& arg0) {
    exe = realBaseName(file);
    arg0 = baseName(argv0);
    char head[256] = {};
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const ssize_t n = read(fd, head, sizeof head - 1);
    close(fd);
    if (n < 3 || head[0] != '#' || head[1] != '!') return;
    head[n] = 0;
    std::string line(head + 2);
    line = line.substr(0, line.find('\n'));
    std::vector<std::string> words;
    std::size_t pos = 0;
    while (pos < line.size() && words.size() < 2) {
        pos = line.find_first_not_of(" \t\r", pos);
        if (pos == std::string::npos) break;
        const std::size_t end = line.find_first_of(" \t\r", pos);
        words.push_back(line.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        pos = end;
    }
    if (words.empty()) return;
    exe = realBaseName(words[0]);
    arg0 = baseName(words[0]);
    if (arg0 == "env" && words.size() == 2 && words[1][0] != '-') {
        const std::string target = resolveProgram(words[1]);
        exe = target.empty() ? baseName(words[1]) : realBaseName(target);
        arg0 = baseName(words[1]);
    }
}

// One line on standard error when the module will not divert the
// program's traffic, with the module's own reason.
void tellWhenNotRedirected(const vnx::ProxyData* block, const std::string& file, const char* program) {
    std::string exe, arg0;
    namesAfterExec(file, program, exe, arg0);
    const std::string rules = rulesPath();
    const char* name = program;
    switch (vnxmod::Policy::explain(block, exe.c_str(), arg0.c_str())) {
        case vnxmod::Policy::Reason::Diverted: return;
        case vnxmod::Policy::Reason::NoClient:
            std::fprintf(stderr,
                         "veilnox-run: %s will go out directly: Veilnox is not running (start it and connect; the "
                         "programs it redirects are chosen in its Settings, Program Settings, or in %s).\n",
                         name, rules.c_str());
            return;
        case vnxmod::Policy::Reason::OwnProgram:
            std::fprintf(stderr, "veilnox-run: %s will not be redirected: Veilnox's own programs never are.\n", name);
            return;
        case vnxmod::Policy::Reason::NotChosen:
            std::fprintf(stderr,
                         "veilnox-run: %s will not be redirected: it is not one of the programs chosen in Veilnox "
                         "(add %s in its Settings, Program Settings, or as a line of %s, or choose Redirect All "
                         "Traffic).\n",
                         name, arg0.empty() ? exe.c_str() : arg0.c_str(), rules.c_str());
            return;
        case vnxmod::Policy::Reason::NothingRedirected:
            std::fprintf(stderr,
                         "veilnox-run: %s will not be redirected: TCP, UDP and DNS redirection are all switched off "
                         "in Veilnox's Settings.\n",
                         name);
            return;
        case vnxmod::Policy::Reason::NotConnected:
            std::fprintf(stderr, "veilnox-run: %s will go out directly until Veilnox connects.\n", name);
            return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        usage(stdout);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("veilnox-run %s\n", VEILNOX_VERSION);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--") == 0) first = 2;
    if (first >= argc) {
        usage(stderr);
        return kLauncherFailed;
    }
    if (first == 1 && argv[1][0] == '-') {
        std::fprintf(stderr, "veilnox-run: unknown option %s (try --help)\n", argv[1]);
        return kLauncherFailed;
    }
    const std::string catalog = vnxmod::ModuleCatalog::path();
    const std::string module =
        catalog.empty() ? std::string() : vnxmod::ModuleCatalog::find(catalog, vnxmod::ModuleCatalog::kModuleGuid);
    if (module.empty()) {
        std::fprintf(stderr,
                     "veilnox-run: the Veilnox network module is not installed (no %s line in %s).\n"
                     "Install it with the Install button of Veilnox or with bat/veilnox-install64.sh.\n",
                     vnxmod::ModuleCatalog::kModuleGuid, catalog.empty() ? "the catalog" : catalog.c_str());
        return kLauncherFailed;
    }
    if (module[0] != '/' || access(module.c_str(), R_OK) != 0) {
        std::fprintf(stderr,
                     "veilnox-run: the Veilnox network module is installed but its library is missing: %s\n"
                     "Repair the installation from the Veilnox settings or with bat/veilnox-install64.sh.\n",
                     module.c_str());
        return kLauncherFailed;
    }
    for (const std::string* f : {&catalog, &module}) {
        if (const char* why = untrusted(*f)) {
            std::fprintf(stderr,
                         "veilnox-run: refusing %s: %s, so others could change what runs in your programs.\n"
                         "Repair the installation from the Veilnox settings or with bat/veilnox-install64.sh.\n",
                         f->c_str(), why);
            return kLauncherFailed;
        }
    }
    if (module.find_first_of(": ") != std::string::npos) {
        // The loader splits LD_PRELOAD at colons and spaces, with no escape.
        std::fprintf(stderr, "veilnox-run: the module path cannot contain a colon or a space: %s\n", module.c_str());
        return kLauncherFailed;
    }
    const std::string file = resolveProgram(argv[first]);
    if (const char* why = file.empty() ? nullptr : unreachable(file)) {
        std::fprintf(stderr, "veilnox-run: %s cannot be run through Veilnox: %s.\n", argv[first], why);
        return kLauncherFailed;
    }
    const std::string preload = preloadWith(module, std::getenv("LD_PRELOAD"));
    if (setenv("LD_PRELOAD", preload.c_str(), 1) != 0) {
        std::fprintf(stderr, "veilnox-run: cannot set LD_PRELOAD: %s\n", std::strerror(errno));
        return kLauncherFailed;
    }
    // The module fails closed when it cannot see the client's state (a
    // private /dev/shm, a changed user): tell it that Veilnox was connected.
    const vnx::ProxyData* block = vnx::proxyData(false);
    if (block && block->connected == 1)
        setenv(vnxmod::Policy::kConnectedMarker, "1", 1);
    else
        unsetenv(vnxmod::Policy::kConnectedMarker);
    if (!file.empty()) tellWhenNotRedirected(block, file, argv[first]);
    execvp(argv[first], argv + first);
    const int e = errno;
    std::fprintf(stderr, "veilnox-run: cannot run %s: %s\n", argv[first], std::strerror(e));
    return e == ENOENT ? 127 : 126;
}
