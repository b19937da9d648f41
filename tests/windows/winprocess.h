#pragma once
// A child process for the Windows tests: started with CreateProcessW, its
// standard output and error collected from one pipe by a thread of the test,
// its standard input on a pipe of the test. Every wait has a time limit.
#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wintest {

// The folder of this test program, with a trailing backslash.
std::wstring programFolder();

class WinProcess {
public:
    WinProcess() = default;
    // Ends the child (TerminateProcess) when it still runs.
    ~WinProcess();
    WinProcess(const WinProcess&) = delete;
    WinProcess& operator=(const WinProcess&) = delete;

    bool start(const std::wstring& program, const std::vector<std::string>& args);
    // Waits until the output from position `from` on contains text; returns
    // the position just after it, or npos on time-out.
    std::size_t waitFor(const std::string& text, int timeoutMs, std::size_t from = 0);
    std::string output();
    // The exit code (-1 for a program that returned -1), or kStillRunning
    // when it has not ended within timeoutMs. Once it has ended, output()
    // holds everything it wrote.
    static constexpr long long kStillRunning = -0x100000000LL;
    long long waitExit(int timeoutMs);
    bool running();
    // TerminateProcess, then waits for the end.
    void kill();

private:
    void readLoop();

    HANDLE process_ = nullptr;
    HANDLE outRead_ = nullptr;
    HANDLE inWrite_ = nullptr;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_;
    bool eof_ = false;  // the reader has seen the end of the child's output
    std::thread reader_;
};

}  // namespace wintest
