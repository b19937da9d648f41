// veilnox-capture: the privileged service that redirects the chosen programs
// of every user in the kernel (see veilnox-capture.8).
#include "captureservice.h"

#include <getopt.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>

namespace {
void usage(FILE* out) {
    std::fputs(
        "Usage: veilnox-capture [OPTIONS]\n"
        "       veilnox-capture --detach [--pin-dir DIR]\n"
        "Loads the kernel socket hooks that send the programs each user chose in Veilnox\n"
        "to that user's local redirect server, and keeps them in step with the user's\n"
        "settings while Veilnox is connected. Runs as root (normally from systemd).\n\n"
        "  --cgroup PATH    attach to this cgroup-v2 folder (default: the root)\n"
        "  --pin-dir DIR    where the hooks are pinned (default /sys/fs/bpf/veilnox)\n"
        "  --shm-dir DIR    where users' shared objects live (default /dev/shm)\n"
        "  --state-file F   file holding the service's pid while it runs\n"
        "                   (default /run/veilnox-capture.pid)\n"
        "  --resolver-socket PATH\n"
        "                   one more local resolver daemon's unix socket that diverted\n"
        "                   programs may not reach while DNS is redirected\n"
        "  --detach         remove the hooks and everything pinned, then exit\n"
        "  --version, --help\n",
        out);
}
}  // namespace

int main(int argc, char** argv) {
    vnxcap::ServiceOptions opts;
    bool detach = false;
    static const option longOpts[] = {{"cgroup", required_argument, nullptr, 'c'},
                                      {"pin-dir", required_argument, nullptr, 'p'},
                                      {"shm-dir", required_argument, nullptr, 's'},
                                      {"state-file", required_argument, nullptr, 'f'},
                                      {"detach", no_argument, nullptr, 'd'},
                                      {"resolver-socket", required_argument, nullptr, 'r'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", longOpts, nullptr)) != -1) {
        switch (c) {
            case 'c': opts.cgroup = optarg; break;
            case 'p': opts.pinDir = optarg; break;
            case 's': opts.shmDir = optarg; break;
            case 'f': opts.stateFile = optarg; break;
            case 'd': detach = true; break;
            case 'r': opts.resolverSockets.emplace_back(optarg); break;
            case 'V': std::printf("veilnox-capture %s\n", VEILNOX_VERSION); return 0;
            case 'h': usage(stdout); return 0;
            default: usage(stderr); return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "veilnox-capture: unexpected argument '%s'\n", argv[optind]);
        usage(stderr);
        return 2;
    }
    if (opts.pinDir.empty() || opts.pinDir[0] != '/') {
        std::fprintf(stderr, "veilnox-capture: --pin-dir needs an absolute path\n");
        return 2;
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "veilnox-capture: must run as root (it loads kernel hooks)\n");
        return 2;
    }
    return detach ? vnxcap::detachAll(opts) : vnxcap::runService(opts);
}
