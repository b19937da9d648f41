#include "winprocess.h"

#include <chrono>

namespace wintest {

std::wstring programFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n < MAX_PATH ? n : 0);
    const std::size_t cut = folder.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : folder.substr(0, cut + 1);
}

namespace {
std::wstring widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

// A pipe whose `childEnd` the child inherits; the other end stays ours only.
bool makePipe(HANDLE& read, HANDLE& write, bool childReads) {
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    if (!CreatePipe(&read, &write, &sa, 0)) return false;
    SetHandleInformation(childReads ? write : read, HANDLE_FLAG_INHERIT, 0);
    return true;
}
}  // namespace

WinProcess::~WinProcess() {
    if (process_) {
        if (running()) kill();
        CloseHandle(process_);
    }
    if (inWrite_) CloseHandle(inWrite_);
    // The reader ends when the child's end of the pipe has closed.
    if (reader_.joinable()) reader_.join();
    if (outRead_) CloseHandle(outRead_);
}

bool WinProcess::start(const std::wstring& program, const std::vector<std::string>& args) {
    if (process_) return false;
    HANDLE outWrite = nullptr, inRead = nullptr;
    if (!makePipe(outRead_, outWrite, false)) return false;
    if (!makePipe(inRead, inWrite_, true)) {
        CloseHandle(outWrite);
        return false;
    }
    std::wstring commandLine = L"\"" + program + L"\"";
    for (const std::string& a : args)
        commandLine += L" \"" + widen(a) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = outWrite;
    PROCESS_INFORMATION pi{};
    const BOOL ok =
        CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    // The child holds its own copies now.
    CloseHandle(outWrite);
    CloseHandle(inRead);
    if (!ok) return false;
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    reader_ = std::thread([this] { readLoop(); });
    return true;
}

void WinProcess::readLoop() {
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(outRead_, buf, sizeof buf, &got, nullptr) && got > 0) {
        std::lock_guard<std::mutex> guard(mu_);
        out_.append(buf, got);
        cv_.notify_all();
    }
    std::lock_guard<std::mutex> guard(mu_);
    eof_ = true;
    cv_.notify_all();
}

std::size_t WinProcess::waitFor(const std::string& text, int timeoutMs, std::size_t from) {
    std::unique_lock<std::mutex> lock(mu_);
    std::size_t at = std::string::npos;
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        at = out_.find(text, from);
        return at != std::string::npos;
    });
    return at == std::string::npos ? at : at + text.size();
}

std::string WinProcess::output() {
    std::lock_guard<std::mutex> guard(mu_);
    return out_;
}

long long WinProcess::waitExit(int timeoutMs) {
    if (!process_) return kStillRunning;
    if (WaitForSingleObject(process_, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return kStillRunning;
    {
        // Everything it wrote is read before its end is reported.
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return eof_; });
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process_, &code)) return kStillRunning;
    return static_cast<long long>(static_cast<int>(code));
}

bool WinProcess::running() { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

void WinProcess::kill() {
    if (!process_) return;
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 10000);
}

}  // namespace wintest
