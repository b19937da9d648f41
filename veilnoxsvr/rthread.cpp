#include "rthread.h"

#include "platform/system.h"
#include "serverstate.h"

bool RThread::start() { return vnxplat::startDetachedThread(&RThread::entry, this, kStackSize); }

void RThread::entry(void* self) {
    // Subclasses catch and report their own exceptions; this is the last
    // guard so that no exception ends the process.
    try {
        static_cast<RThread*>(self)->run();
    } catch (...) {
        logCaughtException("RThread::run");
    }
}

bool RServingThread::start() {
    running = true;
    if (RThread::start()) return true;
    running = false;
    settled = true;
    return false;
}

bool RServingThread::waitSettled(int timeoutMs) {
    for (int waited = 0; !settled.load(); ++waited) {
        if (waited >= timeoutMs) return false;
        vnxplat::sleepMs(1);
    }
    return true;
}

void RServingThread::run() {
    running = true;
    try {
        serve();
    } catch (...) {
        logCaughtException(serveName());
    }
    running = false;
    settled = true;
}
