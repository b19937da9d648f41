#pragma once
// The crash watchdog's count of server launches: more than 10 launches in a
// 20-minute window mean the local server keeps dying, which the client then
// reports once. The tick source is injectable so that tests drive the
// window without waiting. GUI thread only.
#include <QList>

#include <cstdint>
#include <functional>

class LaunchBookkeeping {
public:
    using TickSource = std::function<std::uint32_t()>;
    static constexpr std::uint32_t kWindowMs = 1200000;
    static constexpr int kCrashThreshold = 10;

    // Without a source the system tick count (ms) is used.
    explicit LaunchBookkeeping(TickSource ticks = TickSource());

    // Records one launch at the current tick. When it falls more than 20
    // minutes after the first launch of the window, the count starts afresh
    // (this launch not counted). Returns true when this is the 11th launch
    // of the window: the caller shows the crash message. The count is
    // emptied before returning true, so launches made while the message is
    // open start a new window instead of asking for more messages.
    bool recordLaunch();

    int count() const { return launchTimes_.size(); }
    void setTickSource(TickSource ticks);

private:
    TickSource ticks_;
    QList<std::uint32_t> launchTimes_;
};
