#pragma once
// Base class of every worker thread of the server: the TCP listener, each TCP
// tunnel, the UDP relay and the console status reader.
//
// start() runs run() on a detached thread that nobody joins; the object must
// outlive its thread (a TCP tunnel deletes itself at the end of its run).
#include <cstddef>

class RThread {
public:
    RThread() = default;
    virtual ~RThread() = default;
    RThread(const RThread&) = delete;
    RThread& operator=(const RThread&) = delete;

    // The thread body.
    virtual void run() = 0;
    // Launches the detached thread. False when the system refused to create
    // it; run() is then never called.
    bool start();

    // Stack reserved for each thread: a tunnel needs a few KiB, and thousands
    // of tunnels with default (8 MiB) stacks would exhaust a 32-bit process.
    static constexpr std::size_t kStackSize = 128 * 1024;

private:
    static void entry(void* self);
};
