#include "launchbookkeeping.h"

#include "platform/system.h"

#include <utility>

LaunchBookkeeping::LaunchBookkeeping(TickSource ticks) { setTickSource(std::move(ticks)); }

void LaunchBookkeeping::setTickSource(TickSource ticks) {
    ticks_ = ticks ? std::move(ticks) : TickSource(&vnxplat::tickCount);
}

bool LaunchBookkeeping::recordLaunch() {
    std::uint32_t now = ticks_();
    launchTimes_.append(now);
    // Unsigned difference: correct across the 49.7-day wrap of the tick count.
    if (static_cast<std::uint32_t>(now - launchTimes_.first()) > kWindowMs) launchTimes_.clear();
    if (launchTimes_.size() > kCrashThreshold) {
        launchTimes_.clear();
        return true;
    }
    return false;
}
