#pragma once
// Bounded waiting for the tests: a monotonic clock in milliseconds, a
// condition polled until it holds, a descriptor polled until it is ready.
// Every wait has a time limit; none sleeps a fixed time to let something
// happen. Any thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vnxtest {

// Milliseconds of the monotonic clock.
std::int64_t nowMs();

// Polls cond every stepMs until it holds (true) or timeoutMs has passed
// (false). cond is asked at least once.
bool waitUntil(const std::function<bool()>& cond, int timeoutMs, int stepMs = 10);

// Waits for events on fd until the deadline (nowMs() time); false on
// time-out or error. Interrupted polls are resumed.
bool pollUntil(int fd, short events, std::int64_t deadline);

// Reads one line (without its '\n') from a pipe or socket within timeoutMs,
// byte by byte so that nothing after it is consumed. False on time-out, end
// of stream, error, or a line longer than maxLen.
bool readLineWithin(int fd, std::string& line, int timeoutMs, std::size_t maxLen = 200);

}  // namespace vnxtest
