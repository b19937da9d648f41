// veilnox-run PROGRAM [ARGS...]: starts a program with the Veilnox
// network-stack module loaded into it (LD_PRELOAD), so that its traffic
// follows the choices made in the Veilnox window.
#include "modulecatalog.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kLauncherFailed = 125;  // like env(1): the launcher itself failed

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
                 "Install it with the Install button of Veilnox or with bat/veilnox-install64.sh.\n",
                 vnxmod::ModuleCatalog::path().c_str());
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
    return read(fd, &eh, sizeof eh) == static_cast<ssize_t>(sizeof eh) &&
           std::memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0;
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
                if (pread(fd, &ph, sizeof ph, static_cast<off_t>(eh.e_phoff + static_cast<std::uint64_t>(i) * sizeof ph)) !=
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
    if (module.find_first_of(": ") != std::string::npos) {
        // The loader splits LD_PRELOAD at colons and spaces, with no escape.
        std::fprintf(stderr, "veilnox-run: the module path cannot contain a colon or a space: %s\n",
                     module.c_str());
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
    execvp(argv[first], argv + first);
    const int e = errno;
    std::fprintf(stderr, "veilnox-run: cannot run %s: %s\n", argv[first], std::strerror(e));
    return e == ENOENT ? 127 : 126;
}
