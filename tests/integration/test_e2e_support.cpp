#include "test_e2e_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace e2etest {

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<int> serverPids() {
    std::vector<int> pids;
    char own[64] = {};
    if (readlink("/proc/self/ns/net", own, sizeof own - 1) <= 0) return pids;
    DIR* proc = opendir("/proc");
    if (!proc) return pids;
    while (dirent* e = readdir(proc)) {
        const int pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        const std::string base = "/proc/" + std::to_string(pid);
        char ns[64] = {}, exe[PATH_MAX] = {};
        if (readlink((base + "/ns/net").c_str(), ns, sizeof ns - 1) <= 0 || std::strcmp(ns, own) != 0) continue;
        const ssize_t n = readlink((base + "/exe").c_str(), exe, sizeof exe - 1);
        if (n <= 0) continue;
        std::string path(exe, static_cast<std::size_t>(n));
        if (path.size() > 10 && path.compare(path.size() - 10, 10, " (deleted)") == 0) path.resize(path.size() - 10);
        if (path.substr(path.rfind('/') + 1) != "veilnoxsvr") continue;
        // A zombie (not yet reaped) has ended.
        std::ifstream stat(base + "/stat");
        std::string line;
        std::getline(stat, line);
        const std::size_t paren = line.rfind(')');
        if (paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z') continue;
        pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

bool localServerListening() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(9111);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

bool hasEnded(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const std::size_t paren = line.rfind(')');
    return paren != std::string::npos && line.compare(paren, 3, ") Z") == 0;
}

std::vector<std::string> clientSanitizerEnv() {
    const char* asan = std::getenv("ASAN_OPTIONS");
    if (!asan) return {};
    return {std::string("ASAN_OPTIONS=") + asan + ":detect_leaks=0"};
}

std::string makeProfileDir(const std::string& prefix) {
    std::string dir = prefix + "XXXXXX";
    if (!mkdtemp(&dir[0])) return std::string();
    if (!vnxtest::runCommand("mkdir -p " + dir + "/home " + dir + "/run && chmod 700 " + dir + "/run")) {
        vnxtest::runCommand("rm -rf " + dir);
        return std::string();
    }
    return dir;
}

void endClient(vnxtest::BackgroundProcess& client) {
    if (client.running()) kill(client.pid(), SIGKILL);
    for (int pid : serverPids())
        kill(pid, SIGKILL);
    client.stop();
}

std::vector<std::string> clientEnv(const std::string& dir, const std::string& socketPath) {
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen",
                                    "VEILNOX_AUTOMATION_SOCKET=" + socketPath,
                                    "VEILNOX_SERVERLIST_URL=file://" + dir + "/servers.xml",
                                    "VEILNOX_SERVERLIST_FALLBACK_URL=file://" + dir + "/servers.xml",
                                    "VEILNOX_VERSION_URL=file://" + dir + "/version.json",
                                    "VEILNOX_VERSION_FALLBACK_URL=file://" + dir + "/version.json"};
    for (const std::string& e : clientSanitizerEnv())
        env.push_back(e);
    return env;
}

}  // namespace e2etest
