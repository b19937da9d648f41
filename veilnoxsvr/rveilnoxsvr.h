#pragma once
// The server object of the process: creates the registry, starts the TCP
// listener and the UDP relay on the loopback addresses, publishes the status
// block every 800 ms and ends the event loop when a listener has stopped or,
// in hidden mode, when the client has gone.
//
// One per process, on the main thread. The client also constructs one (never
// started) so that the slot tables exist while it runs.
#include "statusblock.h"

#include <QObject>

#include <cstdint>

class QTimer;
class RCaptureUdp;
class RLocalServer;

class RVeilnoxSvr : public QObject {
    Q_OBJECT

public:
    RVeilnoxSvr();
    // Deletes the timer. The registry is deleted only when its threads were
    // never started; otherwise they may still use it and the process ends
    // around them.
    ~RVeilnoxSvr() override;

    // The start sequence. False when the proxy data block is missing or
    // another server holds the run mutex (the caller exits with -1).
    bool start();

    // Publishes the status block for the tick `now` (ms): totals, rates over
    // the interval since the previous call, one entry per running
    // application (at most 512); applications whose process has ended are
    // dropped. Does nothing when called less than 100 ms after the previous
    // call. The caller holds the live TrafficStats lock.
    void publish(std::uint32_t now);

    bool hide = false;
    RLocalServer* server;
    // The relay of datagrams diverted by the kernel hooks (set by start).
    RCaptureUdp* capture = nullptr;
    QTimer* timer;
    // The live counters as they were at the last publication.
    vnx::TrafficStats* previous;

    static constexpr int kTimerMs = 800;

signals:
    void finished();

public slots:
    void onTimer();

private:
    void quit();
    // Test seams read from the environment (never set in production).
    void applyTestSettings();

    std::uint32_t lastPublish = 0;
    bool started = false;
};
