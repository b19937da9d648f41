#include "logcore.h"

#include "platform/system.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

namespace vnx {

namespace {
std::mutex nameLock;
std::string& applicationName() {
    static std::string* name = new std::string();  // never destroyed: any thread may log at exit
    return *name;
}

std::mutex consoleLock;
FILE* consoleTarget = nullptr;  // null with `silenced` false: standard output
bool silenced = false;
std::atomic<std::uint32_t> logCounter{0};

std::tm localNow() {
    std::tm tmv{};
    vnxplat::localTime(std::time(nullptr), tmv);
    return tmv;
}

// The per-user folder is UTF-8 on Windows and bytes as they are on Linux:
// u8path reads both right.
std::filesystem::path nativePath(const std::string& path) { return std::filesystem::u8path(path); }
}  // namespace

void setLogApplicationName(const std::string& name) {
    std::lock_guard<std::mutex> guard(nameLock);
    applicationName() = name;
}

std::string logApplicationName() {
    std::lock_guard<std::mutex> guard(nameLock);
    return applicationName();
}

std::string programBaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

std::string runtimeLogFile(const std::string& application) {
    return vnxplat::appDataRoot() + "/" + application + "/logs/runtimelogs.txt";
}

std::string runtimeLogText(const std::tm& when, const std::string& message) {
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%04d.%02d.%02d-%02d:%02d:%02d>>: ", when.tm_year + 1900, when.tm_mday,
                  when.tm_mon + 1, when.tm_hour, when.tm_min, when.tm_sec);
    return stamp + message;
}

void writeRuntimeLog(const std::string& message) {
    if (message.empty()) return;
    writeRuntimeLogTo(runtimeLogFile(logApplicationName()), message);
}

void writeRuntimeLogTo(const std::string& path, const std::string& message) {
    if (message.empty()) return;
    std::string dir = path;
    for (char& c : dir)
        if (c == '\\') c = '/';
    const std::size_t cut = dir.rfind('/');
    if (cut != std::string::npos && cut > 0) {
        std::error_code ignored;
        std::filesystem::create_directories(nativePath(dir.substr(0, cut)), ignored);
    }
    // Binary: the line carries its own CR LF on every platform.
    std::ofstream file(nativePath(path), std::ios::binary | std::ios::app);
    if (!file) return;
    const std::string line = runtimeLogText(localNow(), message) + "\r\n";
    file.write(line.data(), static_cast<std::streamsize>(line.size()));
}

void writeServerLog(const std::string& message) {
    const std::tm tmv = localNow();
    // The English names, whatever the process locale (strftime would follow
    // LC_TIME).
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%s %s %02d %02d:%02d:%02d %d", kDays[(tmv.tm_wday % 7 + 7) % 7],
                  kMonths[(tmv.tm_mon % 12 + 12) % 12], tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                  tmv.tm_year + 1900);
    const std::string entry = std::string(stamp) + "\r\n: " + message + "\r\n";
    FILE* f = std::fopen("./ipserverlog.txt", "ab");
    if (!f) return;
    std::fwrite(entry.data(), 1, entry.size(), f);
    std::fclose(f);
}

std::string consolePrefix() {
    const std::uint32_t n = logCounter.fetch_add(1);
    const std::tm tmv = localNow();
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "%02d:%02d:%02d[%u]>> ", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                  static_cast<unsigned>(n));
    return prefix;
}

void setLogTarget(FILE* file) {
    std::lock_guard<std::mutex> guard(consoleLock);
    consoleTarget = file;
    silenced = file == nullptr;
}

void writeLogLine(const std::string& message) {
    const std::string line = consolePrefix() + message + "\n";
    std::lock_guard<std::mutex> guard(consoleLock);
    if (silenced) return;
    FILE* out = consoleTarget ? consoleTarget : stdout;
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

}  // namespace vnx
