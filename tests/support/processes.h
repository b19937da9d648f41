#pragma once
// Child processes of the tests: a program started with its standard output
// and error collected on a reader thread, waited for by a readiness line,
// and ended by its pid (never by name). Used from the test's main thread;
// output() and waitFor() may be called from any thread.
#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vnxtest {

// The test's own environment with `extra` entries ("NAME=value") added or
// replacing entries of the same name.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra);
// Runs a shell command; true when it exits with 0.
bool runCommand(const std::string& cmd);

// How a ChildProcess is started.
struct ChildOptions {
    int netnsPid = 0;               // > 0: run in the network namespace of this process
    bool inputPipe = true;          // standard input on a pipe of the test (else /dev/null)
    bool searchPath = false;        // look the program up on PATH
    bool reportSanitizers = false;  // a sanitizer report in the output fails the test
};

// A child process with its standard output and error collected on a thread.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // kills (SIGKILL) and reaps the child when still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is the program. env entries "NAME=value" are added to (or
    // replace in) the test's own environment.
    bool startWith(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const ChildOptions& options);
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {});
    // Waits until the output from position `from` on contains text; returns
    // the position just after it, or npos on time-out.
    std::size_t waitFor(const std::string& text, int timeoutMs = 10000, std::size_t from = 0);
    std::string output();
    // Writes to the child's standard input; closeInput() ends it.
    bool writeInput(const std::string& text);
    void closeInput();
    // Waits for the exit: the exit code (255 for -1), 128 + signal, or -1
    // when it has not ended within timeoutMs.
    int waitExit(int timeoutMs);
    bool running();
    int signal(int sig);  // sends sig, then waitExit(10000)
    pid_t pid() const { return pid_; }

protected:
    // Sanitizer reports in the output fail the test (for every later start).
    void reportSanitizers() { reportSanitizers_ = true; }
    // Joins the reader and closes the pipes (after the child has ended).
    void release();

private:
    void readLoop();

    pid_t pid_ = -1;
    int inFd_ = -1;
    int outFd_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    bool eof_ = false;  // the reader has seen the end of the child's output
    bool reportSanitizers_ = false;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_;
    std::thread reader_;
};

// A program running beside the test (a server), optionally inside another
// network namespace (the one of the process nsPid), found on PATH, with a
// null standard input. Ended (SIGTERM, then SIGKILL after 5 s) by stop() or
// at destruction.
class BackgroundProcess : public ChildProcess {
public:
    ~BackgroundProcess();
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}, int nsPid = 0);
    // True once `text` appeared in the output (within timeoutMs).
    bool waitFor(const std::string& text, int timeoutMs);
    // Returns the exit status, or -1 when it had to be killed or never ran.
    int stop();
};

// Open descriptors and threads of a process (from /proc); -1 when unknown.
int countFds(pid_t pid);
int countThreads(pid_t pid);

// The port of veilnox-relay's ready line "veilnox-relay listening on
// HOST:PORT" in the output of relay, waited for (the whole line) at most
// timeoutMs; 0 when it did not come.
std::uint16_t relayListenPort(ChildProcess& relay, const std::string& host, int timeoutMs = 10000);

}  // namespace vnxtest
