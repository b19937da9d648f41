#pragma once
// The addresses of the relay host's own interfaces, kept in the context's
// address policy so that destinations equal to one of them are refused: a
// service bound to the wildcard address answers on every one of them, and
// would otherwise be reachable through the relay from anywhere.
//
// The list is read with getifaddrs, again whenever the kernel reports an
// address change on a netlink socket, and in any case every few seconds (a
// safety net for lost notifications, and the only refresh when netlink is
// unavailable). Not used with --allow-private. Event-loop thread only.
#include "addresspolicy.h"
#include "epollhandler.h"

#include <cstdint>
#include <vector>

namespace vnxrelay {

class RelayContext;

// Interface addresses (and IPv4 broadcast addresses) of this host, in their
// plain form. False when they cannot be read.
bool readHostAddresses(std::vector<PlainAddress>& out);

class HostAddresses : public EpollHandler {
public:
    explicit HostAddresses(RelayContext& ctx);
    ~HostAddresses() override;
    HostAddresses(const HostAddresses&) = delete;
    HostAddresses& operator=(const HostAddresses&) = delete;

    // Reads the list and subscribes to changes.
    void open();
    // Re-reads the list when the periodic refresh is due.
    void refreshIfDue();
    void onEvents(std::uint32_t events) override;

private:
    void reload();

    RelayContext& ctx_;
    int fd_ = -1;
    std::uint64_t nextReload_ = 0;
};

}  // namespace vnxrelay
