#include "../system.h"

#include <windows.h>

#include <shlobj.h>
#include <tlhelp32.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

namespace vnxplat {

std::uint32_t monotonicSeconds() { return static_cast<std::uint32_t>(GetTickCount64() / 1000u); }

std::uint32_t tickCount() { return static_cast<std::uint32_t>(GetTickCount()); }

std::uint32_t unixSeconds() { return static_cast<std::uint32_t>(time(nullptr)); }

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

namespace {
std::string toUtf8(const wchar_t* text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));  // without the terminator
    return out;
}
}  // namespace

bool processSnapshot(std::vector<std::pair<std::uint32_t, std::string>>& out) {
    out.clear();
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snap, &entry); more; more = Process32NextW(snap, &entry)) {
        // The field is terminated by the system; make sure of it anyway.
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        const wchar_t* name = entry.szExeFile;
        for (const wchar_t* p = entry.szExeFile; *p; ++p)
            if (*p == L'\\') name = p + 1;
        std::string utf8 = toUtf8(name);
        if (!utf8.empty()) out.emplace_back(static_cast<std::uint32_t>(entry.th32ProcessID), utf8);
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snap);
    return true;
}

namespace {
struct ThreadStart {
    void (*fn)(void*);
    void* arg;
};
DWORD WINAPI threadEntry(LPVOID p) {
    ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.fn(start.arg);
    return 0;
}
}  // namespace

bool startDetachedThread(void (*fn)(void*), void* arg, std::size_t stackSize) {
    auto* start = new ThreadStart{fn, arg};
    // The size is a reservation, as on Linux, not the committed amount.
    HANDLE h = CreateThread(nullptr, stackSize, threadEntry, start, stackSize ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0,
                            nullptr);
    if (!h) {
        delete start;
        return false;
    }
    CloseHandle(h);  // detached: the thread runs on without the handle
    return true;
}

void debugOutput(const char* msg) {
    if (!msg) return;
    OutputDebugStringA(msg);
    // Also on stderr when asked for, so that runs without a debugger (tests
    // under Wine) can see the messages. One write per line.
    if (!getenv("VEILNOX_DEBUG")) return;
    char line[1024];
    int n = snprintf(line, sizeof line, "%s\n", msg);
    if (n < 0) return;
    std::size_t len = static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1;
    fwrite(line, 1, len, stderr);
    fflush(stderr);
}

void debugOutputf(const char* fmt, ...) {
    char msg[1000];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    debugOutput(msg);
}

std::string appDataRoot() {
    wchar_t path[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_DEFAULT, path) != S_OK) return std::string();
    path[MAX_PATH - 1] = L'\0';
    return toUtf8(path);
}

void sleepMs(std::uint32_t ms) { Sleep(ms); }

// A Windows process keeps its image for life: the snapshot's name stays right.
bool processNameOf(std::uint32_t, std::string&) { return false; }

bool localTime(std::time_t t, std::tm& out) { return localtime_s(&out, &t) == 0; }

// The C runtime has no line buffering (it takes it for full buffering), and
// unbuffered, its printf writes a character at a time, which other threads'
// lines then split. Standard output stays as the runtime made it: written at
// once on a console, in whole buffers to a pipe; a line that must reach a
// pipe at once is flushed by its writer.
void lineBufferedStdout() {}

}  // namespace vnxplat
