#pragma once
// Test isolation: each test process gets its own mount and network namespace
// with a private /dev/shm and its own loopback, so tests that use the real
// object names and port 9111 can run in parallel with each other and beside
// a Veilnox that runs on the same machine.
namespace vnxtest {
// Must run first in main, while the process has a single thread. Returns
// false (with a message on stderr) when namespaces cannot be made.
bool isolateProcess();
}  // namespace vnxtest
