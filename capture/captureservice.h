#pragma once
// veilnox-capture: loads the kernel socket hooks, attaches them to a cgroup
// (the root of the cgroup-v2 hierarchy unless told otherwise), pins them so
// that they outlive the service, and keeps their policy in step with every
// user's proxy data block.
#include <string>
#include <vector>

namespace vnxcap {

struct ServiceOptions {
    std::string cgroup;                          // empty: the cgroup-v2 root
    std::string pinDir = "/sys/fs/bpf/veilnox";  // pinned links and maps
    std::string shmDir = "/dev/shm";             // where users' named objects live
    std::string stateFile = "/run/veilnox-capture.pid";
    int pollMs = 25;  // how often the proxy data blocks are read
    // Unix sockets of local resolver daemons, which ask upstream from the
    // user's own address: diverted programs may not connect to them while
    // DNS is redirected (where the kernel runs BPF security modules).
    std::vector<std::string> resolverSockets = {"/run/systemd/resolve/io.systemd.Resolve", "/run/nscd/socket",
                                                "/var/run/nscd/socket"};
};

// Runs until SIGTERM or SIGINT; the hooks stay attached afterwards. Prints
// "veilnox-capture: ready" on standard output once they are attached and
// the policy is published. Returns the process exit code.
int runService(const ServiceOptions& options);

// Detaches the hooks and removes everything pinned under pinDir. Returns the
// process exit code.
int detachAll(const ServiceOptions& options);

// The mount point of the cgroup-v2 hierarchy, from /proc/self/mounts; empty
// when there is none.
std::string cgroup2Root();

}  // namespace vnxcap
