#pragma once
// Base class of every worker thread of the server: the TCP listener, each TCP
// tunnel, the UDP relay and the console status reader.
//
// start() runs run() on a detached thread that nobody joins; the object must
// outlive its thread (a TCP tunnel deletes itself at the end of its run).
#include <atomic>
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

// A thread that serves until it stops: the TCP listener and the UDP relays.
// `running` is true from start() until serve() returns or throws (the
// exception is logged under serveName()), so that a watchdog looking at once
// never mistakes a thread not yet scheduled for a stopped one.
class RServingThread : public RThread {
public:
    // Marks the thread running, then starts it. False, and not running, when
    // the thread could not be created.
    bool start();
    void run() final;

    std::atomic<bool> running{false};
    // Waits, at most timeoutMs, until the thread has its sockets open (or
    // has stopped): what the server reports as ready is then true. False on
    // time-out.
    bool waitSettled(int timeoutMs);

protected:
    // Called by serve() once its sockets are open and registered.
    void markSettled() { settled = true; }
    virtual void serve() = 0;
    // "RTcpServer::run" and the like: the name in the error log.
    virtual const char* serveName() const = 0;

private:
    std::atomic<bool> settled{false};
};
