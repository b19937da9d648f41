// veilnox-run PROGRAM [ARGS...]: starts a program with the Veilnox
// network-stack module loaded into it (LD_PRELOAD), so that its traffic
// follows the choices made in the Veilnox window.
#include "modulecatalog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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
