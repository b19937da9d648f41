#pragma once
// Network namespaces made by the tests themselves (root needed): traffic
// of the tests stays on loopback or inside these namespaces.
#include <string>
#include <vector>

namespace vnxtest {

// A network namespace kept alive by a holder process (ended by its pid on
// destruction); loopback is up.
class NetNamespace {
public:
    NetNamespace() = default;
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;
    bool create();
    int pid() const { return pid_; }
    // Runs a shell command inside; true when it exits 0.
    bool run(const std::string& cmd);

private:
    int pid_ = -1;
};

// Moves the calling thread into a network namespace of its own, with
// loopback up and a veth pair whose first end holds the given IPv4
// addresses (/24), and back on destruction. Processes, sockets and threads
// the thread creates meanwhile live in that namespace.
class PrivateNetwork {
public:
    explicit PrivateNetwork(const std::vector<std::string>& addresses);
    ~PrivateNetwork();
    PrivateNetwork(const PrivateNetwork&) = delete;
    PrivateNetwork& operator=(const PrivateNetwork&) = delete;
    bool ok() const { return ok_; }
    // Runs a shell command in the namespace; true when it exits with 0.
    bool run(const std::string& command);

private:
    int home_ = -1;
    bool ok_ = false;
};

}  // namespace vnxtest
