#pragma once
// The module's side of the contract with the local server: before a diverted
// connection or datagram reaches the server, the record that describes it is
// complete. Used by the network-stack module and by tests that stand in for it.
//
// No heap allocation and no locks other than the table's own mutex.
#include "records.h"
#include "rendpoint.h"
#include "sharedmemory.h"

#include <cstddef>
#include <cstdint>

namespace vnx {

// The largest datagram payload the local server relays whole (its buffer
// keeps 32 bytes in front for the relay header); the module refuses larger
// ones rather than let them out directly.
constexpr std::size_t kMaxDivertedPayload = 8160;

// Claims a TcpSlot and fills it: destination first, then the keys the server
// matches on (local_port, is_ipv6). localPort is the application socket's
// local port (network order); viaIpv6 when it will connect to ::1.
// Null when no record could be claimed.
TcpSlot* publishTcpDestination(SlotTable& tcpTable, std::uint16_t localPort, bool viaIpv6, const REndpoint& dst);

// Claims a UDPSEND record for one datagram and fills it (stamp, checksum of
// the payload, length, destination), keys last. Null when none could be
// claimed or the payload does not fit a 16-bit length.
UdpSlot* publishUdpDestination(SlotTable& udpSendTable, std::uint16_t localPort, bool viaIpv6, const REndpoint& dst,
                               const void* payload, std::size_t length, std::uint32_t now);

// As publishUdpDestination, for a payload whose checksum (payloadChecksum)
// the caller computed already, for example over scattered buffers.
UdpSlot* publishUdpDatagram(SlotTable& udpSendTable, std::uint16_t localPort, bool viaIpv6, const REndpoint& dst,
                            std::uint16_t checksum, std::size_t length, std::uint32_t now);

// The payload checksum of a UDPSEND record (payloadChecksum) for a payload
// handed over in pieces, such as scatter/gather buffers: add the pieces in
// order, then read value().
class PayloadSum {
public:
    void add(const void* data, std::size_t len);
    std::uint16_t value() const;
    std::size_t length() const { return total_; }

private:
    std::uint64_t sum_ = 0;
    std::size_t total_ = 0;
};

// Finds the UDPRECV record the server wrote for a datagram it delivered from
// its socket `serverPort` (network order) with `length` bytes, copies the
// real source out and zeroes the record. False when there is none.
bool takeUdpSource(SlotTable& udpRecvTable, std::uint16_t serverPort, std::uint16_t length, bool viaIpv6,
                   REndpoint& source);
// As takeUdpSource but leaves the record in place (a peeking receive).
bool peekUdpSource(SlotTable& udpRecvTable, std::uint16_t serverPort, std::uint16_t length, bool viaIpv6,
                   REndpoint& source);

// The destination of a record, with the IPv4 address derived from an
// IPv4-mapped IPv6 address when the record leaves it 0.
REndpoint slotDestination(const TcpSlot& slot);
REndpoint slotPeer(const UdpSlot& slot);

}  // namespace vnx
