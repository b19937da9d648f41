#pragma once
// Process, clock, thread and diagnostics services.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace vnxplat {

// Milliseconds since an arbitrary start, low 32 bits, the same clock in every
// process of the machine (GetTickCount; CLOCK_MONOTONIC on Linux).
std::uint32_t tickCount();
// Seconds of a monotonic clock: a wall-clock step changes nothing.
std::uint32_t monotonicSeconds();
// Seconds of the wall clock.
std::uint32_t unixSeconds();

std::uint32_t currentProcessId();

// Every process of the machine as (id, executable file name). False when no
// snapshot could be taken.
bool processSnapshot(std::vector<std::pair<std::uint32_t, std::string>>& out);

// The executable file name of one process as it is now (after any exec).
// False when it cannot be told; callers then keep what they knew.
bool processNameOf(std::uint32_t pid, std::string& out);

// Starts fn(arg) on a detached thread with the given stack reservation
// (0 = system default). False when the thread could not be created.
bool startDetachedThread(void (*fn)(void*), void* arg, std::size_t stackSize);

// Debug output channel (OutputDebugStringA; stderr on Linux when the
// environment variable VEILNOX_DEBUG is set). msg is one line without end.
void debugOutput(const char* msg);
// printf-style convenience on top of debugOutput.
void debugOutputf(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The user's roaming application-data folder (APPDATA on Windows;
// $XDG_DATA_HOME or ~/.local/share on Linux). Empty when unknown.
std::string appDataRoot();

void sleepMs(std::uint32_t ms);

// The local time of `t`, safe from any thread. False when it cannot be told.
bool localTime(std::time_t t, std::tm& out);

// Makes standard output reach a pipe line by line, as it is written, where
// the C library can buffer by line (Linux). Elsewhere a writer whose line
// must reach a pipe at once flushes after it.
void lineBufferedStdout();

}  // namespace vnxplat
