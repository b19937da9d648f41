#include "processes.h"

#include "waiters.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

extern char** environ;

namespace vnxtest {

std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string item = *e;
        bool replaced = false;
        for (const auto& x : extra)
            replaced = replaced || item.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
        if (!replaced) env.push_back(item);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

bool runCommand(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (inFd_ >= 0) close(inFd_);
    if (reader_.joinable()) reader_.join();
    if (outFd_ >= 0) close(outFd_);
    if (!reportSanitizers_) return;
    // A sanitizer build of the child reports on its standard error.
    for (const char* mark :
         {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"})
        if (out_.find(mark) != std::string::npos) ADD_FAILURE() << "sanitizer report from the child:\n" << out_;
}

bool ChildProcess::startWith(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                             const ChildOptions& options) {
    if (argv.empty()) return false;
    reportSanitizers_ = reportSanitizers_ || options.reportSanitizers;
    int nsFd = -1;
    if (options.netnsPid > 0) {
        nsFd = open(("/proc/" + std::to_string(options.netnsPid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0) return false;
    }
    int in[2] = {-1, -1}, out[2];
    if ((options.inputPipe && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0) {
        if (nsFd >= 0) close(nsFd);
        return false;
    }
    // Everything the child needs is prepared before the fork: the test
    // process has threads, so the child only calls async-signal-safe code.
    const std::vector<std::string> envText = environmentWith(env);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : envText)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (options.inputPipe) {
            dup2(in[0], 0);
        } else {
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, 0);
        }
        dup2(out[1], 1);
        dup2(out[1], 2);
        if (nsFd >= 0 && setns(nsFd, CLONE_NEWNET) != 0) _exit(126);
        if (options.searchPath)
            execvpe(args[0], args.data(), envp.data());
        else
            execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (nsFd >= 0) close(nsFd);
    if (options.inputPipe) close(in[0]);
    close(out[1]);
    if (pid < 0) {
        if (options.inputPipe) close(in[1]);
        close(out[0]);
        return false;
    }
    pid_ = pid;
    inFd_ = in[1];
    outFd_ = out[0];
    reader_ = std::thread([this] { readLoop(); });
    return true;
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildOptions options;
    options.reportSanitizers = reportSanitizers_;
    return startWith(argv, env, options);
}

void ChildProcess::readLoop() {
    char buf[4096];
    for (;;) {
        ssize_t n = read(outFd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> g(mu_);
        out_.append(buf, static_cast<std::size_t>(n));
        cv_.notify_all();
    }
    std::lock_guard<std::mutex> g(mu_);
    eof_ = true;
    cv_.notify_all();
}

std::size_t ChildProcess::waitFor(const std::string& text, int timeoutMs, std::size_t from) {
    std::unique_lock<std::mutex> lock(mu_);
    std::size_t pos = std::string::npos;
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        pos = from <= out_.size() ? out_.find(text, from) : std::string::npos;
        return pos != std::string::npos;
    });
    return pos == std::string::npos ? pos : pos + text.size();
}

std::string ChildProcess::output() {
    std::lock_guard<std::mutex> g(mu_);
    return out_;
}

bool ChildProcess::writeInput(const std::string& text) {
    if (inFd_ < 0) return false;
    return write(inFd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::closeInput() {
    if (inFd_ >= 0) close(inFd_);
    inFd_ = -1;
}

int ChildProcess::waitExit(int timeoutMs) {
    if (pid_ <= 0) return -1;
    if (!reaped_) {
        const std::int64_t deadline = nowMs() + timeoutMs;
        for (;;) {
            int st = 0;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = st;
                reaped_ = true;
                // The exit can be seen before the reader has drained the last
                // output; wait (boundedly: a grandchild may hold the pipe) for it.
                std::unique_lock<std::mutex> lock(mu_);
                cv_.wait_for(lock, std::chrono::seconds(2), [&] { return eof_; });
                break;
            }
            if (nowMs() >= deadline) return -1;
            usleep(5000);
        }
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

bool ChildProcess::running() { return pid_ > 0 && waitExit(0) == -1; }

int ChildProcess::signal(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
    return waitExit(10000);
}

void ChildProcess::release() {
    pid_ = -1;
    closeInput();
    if (reader_.joinable()) reader_.join();
    if (outFd_ >= 0) close(outFd_);
    outFd_ = -1;
}

int countFds(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(path.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

int countThreads(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    return -1;
}

std::uint16_t relayListenPort(ChildProcess& relay, const std::string& host, int timeoutMs) {
    const std::string prefix = "veilnox-relay listening on " + host + ":";
    const std::size_t at = relay.waitFor(prefix, timeoutMs);
    if (at == std::string::npos || relay.waitFor("\n", timeoutMs, at) == std::string::npos) return 0;
    return static_cast<std::uint16_t>(std::strtoul(relay.output().c_str() + at, nullptr, 10));
}

BackgroundProcess::~BackgroundProcess() { stop(); }

bool BackgroundProcess::start(const std::vector<std::string>& argv, const std::vector<std::string>& env, int nsPid) {
    ChildOptions options;
    options.netnsPid = nsPid;
    options.inputPipe = false;
    options.searchPath = true;
    return startWith(argv, env, options);
}

bool BackgroundProcess::waitFor(const std::string& text, int timeoutMs) {
    return ChildProcess::waitFor(text, timeoutMs) != std::string::npos;
}

int BackgroundProcess::stop() {
    if (pid() <= 0) return -1;
    if (running()) kill(pid(), SIGTERM);
    int result = waitExit(5000);
    if (result < 0) {
        kill(pid(), SIGKILL);
        waitExit(60000);
    }
    release();
    return result;
}

}  // namespace vnxtest
