#include "modulecontract.h"

#include <atomic>
#include <cstring>

namespace vnx {

namespace {
void fillAddress(const REndpoint& e, std::uint8_t addr6[16], std::uint32_t& addr4, std::uint16_t& port) {
    addr4 = e.ipv4;
    port = e.port;
    if (e.ipv4 != 0) {
        // Also give the IPv4-mapped form, as a dual-stack program would.
        std::memset(addr6, 0, 16);
        addr6[10] = 0xff;
        addr6[11] = 0xff;
        std::memcpy(addr6 + 12, &e.ipv4, 4);
    } else {
        std::memcpy(addr6, e.ipv6, 16);
    }
}
}  // namespace

TcpSlot* publishTcpDestination(SlotTable& tcpTable, std::uint16_t localPort, bool viaIpv6, const REndpoint& dst) {
    auto* slot = static_cast<TcpSlot*>(tcpTable.claimSlot());
    if (!slot) return nullptr;
    fillAddress(dst, slot->dst_addr6, slot->dst_addr4, slot->dst_port);
    std::atomic_thread_fence(std::memory_order_release);
    slot->is_ipv6 = viaIpv6 ? 1 : 0;
    slot->local_port = localPort;
    std::atomic_thread_fence(std::memory_order_release);
    return slot;
}

UdpSlot* publishUdpDestination(SlotTable& udpSendTable, std::uint16_t localPort, bool viaIpv6, const REndpoint& dst,
                               const void* payload, std::size_t length, std::uint32_t now) {
    if (length > 0xffff) return nullptr;
    return publishUdpDatagram(udpSendTable, localPort, viaIpv6, dst, payloadChecksum(payload, length), length, now);
}

UdpSlot* publishUdpDatagram(SlotTable& udpSendTable, std::uint16_t localPort, bool viaIpv6, const REndpoint& dst,
                            std::uint16_t checksum, std::size_t length, std::uint32_t now) {
    if (length > 0xffff) return nullptr;
    auto* slot = static_cast<UdpSlot*>(udpSendTable.claimSlot());
    if (!slot) return nullptr;
    fillAddress(dst, slot->peer_addr6, slot->peer_addr4, slot->peer_port);
    slot->stamp = now;
    slot->checksum = checksum;
    slot->length = static_cast<std::uint16_t>(length);
    std::atomic_thread_fence(std::memory_order_release);
    slot->is_ipv6 = viaIpv6 ? 1 : 0;
    slot->local_port = localPort;
    std::atomic_thread_fence(std::memory_order_release);
    return slot;
}

void PayloadSum::add(const void* data, std::size_t len) {
    // Bytes at even offsets of the whole payload are low bytes, at odd
    // offsets high bytes, wherever the pieces split it.
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t k = 0; k < len; ++k, ++total_)
        sum_ += (total_ & 1) ? (static_cast<std::uint64_t>(p[k]) << 8) : p[k];
}

std::uint16_t PayloadSum::value() const {
    std::uint64_t sum = sum_;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xffff);
}

namespace {
UdpSlot* findUdpSource(SlotTable& udpRecvTable, std::uint16_t serverPort, std::uint16_t length, bool viaIpv6) {
    auto* b = static_cast<std::uint8_t*>(udpRecvTable.base());
    if (!b) return nullptr;
    for (int i = 0; i < kSlotCount; ++i) {
        auto* s = reinterpret_cast<UdpSlot*>(b + static_cast<std::size_t>(i) * kUdpSlotSize);
        if (s->owner_pid != 0 && s->local_port == serverPort && s->length == length && s->is_ipv6 == (viaIpv6 ? 1 : 0))
            return s;
    }
    return nullptr;
}
}  // namespace

bool takeUdpSource(SlotTable& udpRecvTable, std::uint16_t serverPort, std::uint16_t length, bool viaIpv6,
                   REndpoint& source) {
    UdpSlot* s = findUdpSource(udpRecvTable, serverPort, length, viaIpv6);
    if (!s) return false;
    source = slotPeer(*s);
    udpRecvTable.clearSlot(s);
    return true;
}

bool peekUdpSource(SlotTable& udpRecvTable, std::uint16_t serverPort, std::uint16_t length, bool viaIpv6,
                   REndpoint& source) {
    UdpSlot* s = findUdpSource(udpRecvTable, serverPort, length, viaIpv6);
    if (!s) return false;
    source = slotPeer(*s);
    return true;
}

REndpoint slotDestination(const TcpSlot& slot) {
    REndpoint e;
    e.ipv4 = slot.dst_addr4 ? slot.dst_addr4 : deriveIpv4(slot.dst_addr6);
    if (e.ipv4 == 0) std::memcpy(e.ipv6, slot.dst_addr6, 16);
    e.port = slot.dst_port;
    return e;
}

REndpoint slotPeer(const UdpSlot& slot) {
    REndpoint e;
    e.ipv4 = slot.peer_addr4 ? slot.peer_addr4 : deriveIpv4(slot.peer_addr6);
    if (e.ipv4 == 0) std::memcpy(e.ipv6, slot.peer_addr6, 16);
    e.port = slot.peer_port;
    return e;
}

}  // namespace vnx
