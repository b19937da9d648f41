#pragma once
// Everything registered with the relay's epoll instance: the event's data
// pointer is the handler, which is called with the reported event bits.
#include <cstdint>

namespace vnxrelay {

class EpollHandler {
public:
    virtual ~EpollHandler() = default;
    virtual void onEvents(std::uint32_t events) = 0;
};

}  // namespace vnxrelay
