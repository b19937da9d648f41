#pragma once
// The server object of the process: creates the registry, starts the TCP
// listener and the UDP relay on the loopback addresses, publishes the status
// block every 800 ms and ends its timer loop when a listener has stopped or,
// in hidden mode, when the client has gone.
//
// One per process, on the main thread. The client also constructs one (never
// started) so that the slot tables exist while it runs.
#include "sharedmemory.h"
#include "statusblock.h"

#include <cstdint>
#include <functional>

class RCaptureUdp;
class RLocalServer;

class RVeilnoxSvr {
public:
    RVeilnoxSvr();
    // The registry is deleted only when its threads were never started;
    // otherwise they may still use it and the process ends around them.
    ~RVeilnoxSvr();
    RVeilnoxSvr(const RVeilnoxSvr&) = delete;
    RVeilnoxSvr& operator=(const RVeilnoxSvr&) = delete;

    // The start sequence. False when the proxy data block is missing or
    // another server holds the run mutex (the caller exits with -1).
    bool start();

    // The timer: calls onTimer every kTimerMs on the calling thread until it
    // has ended the loop, and returns the exit code it chose (0, or 3 when a
    // port could not be bound). Only after a successful start.
    int exec();

    // One tick: publishes the status block, or ends the timer loop when a
    // listener has stopped or, hidden, when the client has gone.
    void onTimer();

    // Publishes the status block for the tick `now` (ms): totals, rates over
    // the interval since the previous call, one entry per running
    // application (at most 512); applications whose process has ended are
    // dropped. Does nothing when called less than 100 ms after the previous
    // call. The caller holds the live TrafficStats lock.
    void publish(std::uint32_t now);

    bool hide = false;
    RLocalServer* server;
    // The relay of datagrams diverted by the kernel capture hooks (set by start).
    RCaptureUdp* capture = nullptr;
    // The live counters as they were at the last publication.
    vnx::TrafficStats* previous;
    // Called once just before the timer loop ends.
    std::function<void()> finished;

    static constexpr int kTimerMs = 800;

private:
    void quit(int code);
    // Whether the client that started a hidden server is still there.
    bool clientPresent(const vnx::ProxyData* block);
    // Test seams read from the environment (never set in production).
    void applyTestSettings();

    std::uint32_t lastPublish = 0;
    bool started = false;
    bool running = false;
    int exitCode = 0;
    vnx::RunMutex clientMarker;
};
