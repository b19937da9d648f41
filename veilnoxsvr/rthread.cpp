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
