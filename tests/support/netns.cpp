#include "netns.h"

#include "processes.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace vnxtest {

NetNamespace::~NetNamespace() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool NetNamespace::create() {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return false;
    pid_t pid = fork();
    if (pid == 0) {
        char ok = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
        if (write(ready[1], &ok, 1) != 1) _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char ok = 'n';
    if (pid < 0 || read(ready[0], &ok, 1) != 1 || ok != 'y') {
        close(ready[0]);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        return false;
    }
    close(ready[0]);
    pid_ = pid;
    return run("ip link set lo up");
}

bool NetNamespace::run(const std::string& cmd) {
    if (pid_ <= 0) return false;
    return runCommand("nsenter --net=/proc/" + std::to_string(pid_) + "/ns/net sh -c '" + cmd + "'");
}

PrivateNetwork::PrivateNetwork(const std::vector<std::string>& addresses) {
    home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home_ < 0 || unshare(CLONE_NEWNET) != 0) return;
    std::string cmd = "ip link set lo up && ip link add vnxa type veth peer name vnxb";
    for (const std::string& a : addresses)
        cmd += " && ip addr add " + a + "/24 dev vnxa";
    cmd += " && ip link set vnxa up && ip link set vnxb up";
    ok_ = run(cmd);
}

PrivateNetwork::~PrivateNetwork() {
    if (home_ < 0) return;
    setns(home_, CLONE_NEWNET);
    close(home_);
}

bool PrivateNetwork::run(const std::string& command) {
    int st = std::system(command.c_str());
    return st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

}  // namespace vnxtest
