#pragma once
// Byte layouts of the records shared by the client, the local server and the
// network-stack module. These are a contract with code we do not build: every
// offset and size below is fixed. Integers are little-endian unless the field
// says network order.
#include <cstddef>
#include <cstdint>

namespace vnx {

// Object names and sizes.
constexpr const char* kProxyDataName = "GlobalVEILNOX_DATA";
constexpr const char* kTcpTableName = "GlobalVEILNOX_TCP";
constexpr const char* kUdpSendTableName = "GlobalVEILNOX_UDPSEND";
constexpr const char* kUdpRecvTableName = "GlobalVEILNOX_UDPRECV";
constexpr const char* kServerStatusName = "VEILNOX_SVRSTAT";
constexpr const char* kServerRunMutexName = "veilnoxsvrrun";
constexpr const char* kClientRunMutexName = "veilnoxrun";
constexpr int kSlotCount = 2048;
constexpr std::uint16_t kLocalServerPort = 9111;

#pragma pack(push, 1)

struct ProgramRule {
    char16_t name[128];    // UTF-16LE, NUL-terminated, at most 127 characters
    std::uint8_t enabled;  // always written as 1
    std::uint8_t reserved;
};
static_assert(sizeof(ProgramRule) == 258, "ProgramRule size");
static_assert(offsetof(ProgramRule, name) == 0, "ProgramRule.name");
static_assert(offsetof(ProgramRule, enabled) == 256, "ProgramRule.enabled");
static_assert(offsetof(ProgramRule, reserved) == 257, "ProgramRule.reserved");

constexpr int kMaxRules = 128;
constexpr int kProxyTextSize = 56;

// The record of "GlobalVEILNOX_DATA".
struct ProxyData {
    std::uint8_t data_mark;
    std::uint8_t connected;
    std::uint8_t redirect_dns;
    std::uint8_t redirect_udp;
    std::uint8_t redirect_tcp;
    std::uint8_t debug;
    std::uint8_t reserved1[2];
    std::uint32_t client_window;
    char proxy_ip[kProxyTextSize];
    std::uint16_t proxy_port;  // host order
    char proxy_user[kProxyTextSize];
    char proxy_pass[kProxyTextSize];
    std::uint16_t tcp_port;  // host order
    std::uint16_t udp_port;  // host order
    std::uint16_t server_status;
    char proxy_protocol[kProxyTextSize];
    std::uint8_t encrypt_data;
    std::uint8_t redirect_all_apps;
    std::uint8_t reserved2[2];
    std::int32_t rule_count;  // 0..128; clamp when reading
    ProgramRule rules[kMaxRules];
};
static_assert(sizeof(ProxyData) == 33276, "ProxyData size");
static_assert(offsetof(ProxyData, data_mark) == 0, "data_mark");
static_assert(offsetof(ProxyData, connected) == 1, "connected");
static_assert(offsetof(ProxyData, redirect_dns) == 2, "redirect_dns");
static_assert(offsetof(ProxyData, redirect_udp) == 3, "redirect_udp");
static_assert(offsetof(ProxyData, redirect_tcp) == 4, "redirect_tcp");
static_assert(offsetof(ProxyData, debug) == 5, "debug");
static_assert(offsetof(ProxyData, reserved1) == 6, "reserved1");
static_assert(offsetof(ProxyData, client_window) == 8, "client_window");
static_assert(offsetof(ProxyData, proxy_ip) == 12, "proxy_ip");
static_assert(offsetof(ProxyData, proxy_port) == 68, "proxy_port");
static_assert(offsetof(ProxyData, proxy_user) == 70, "proxy_user");
static_assert(offsetof(ProxyData, proxy_pass) == 126, "proxy_pass");
static_assert(offsetof(ProxyData, tcp_port) == 182, "tcp_port");
static_assert(offsetof(ProxyData, udp_port) == 184, "udp_port");
static_assert(offsetof(ProxyData, server_status) == 186, "server_status");
static_assert(offsetof(ProxyData, proxy_protocol) == 188, "proxy_protocol");
static_assert(offsetof(ProxyData, encrypt_data) == 244, "encrypt_data");
static_assert(offsetof(ProxyData, redirect_all_apps) == 245, "redirect_all_apps");
static_assert(offsetof(ProxyData, reserved2) == 246, "reserved2");
static_assert(offsetof(ProxyData, rule_count) == 248, "rule_count");
static_assert(offsetof(ProxyData, rules) == 252, "rules");

// A record of "GlobalVEILNOX_TCP": the real destination of one connection.
struct TcpSlot {
    std::uint32_t owner_pid;   // 0 = free
    std::uint16_t local_port;  // network order
    std::uint8_t is_ipv6;
    std::uint8_t reserved1;
    std::uint16_t dst_port;  // network order
    std::uint8_t dst_addr6[16];
    std::uint8_t reserved2[2];
    std::uint32_t dst_addr4;  // network order; 0 = derive from dst_addr6
};
static_assert(sizeof(TcpSlot) == 32, "TcpSlot size");
static_assert(offsetof(TcpSlot, owner_pid) == 0, "TcpSlot.owner_pid");
static_assert(offsetof(TcpSlot, local_port) == 4, "TcpSlot.local_port");
static_assert(offsetof(TcpSlot, is_ipv6) == 6, "TcpSlot.is_ipv6");
static_assert(offsetof(TcpSlot, reserved1) == 7, "TcpSlot.reserved1");
static_assert(offsetof(TcpSlot, dst_port) == 8, "TcpSlot.dst_port");
static_assert(offsetof(TcpSlot, dst_addr6) == 10, "TcpSlot.dst_addr6");
static_assert(offsetof(TcpSlot, reserved2) == 26, "TcpSlot.reserved2");
static_assert(offsetof(TcpSlot, dst_addr4) == 28, "TcpSlot.dst_addr4");

// A record of "GlobalVEILNOX_UDPSEND" (destination of one datagram) or of
// "GlobalVEILNOX_UDPRECV" (source of one datagram delivered to a program).
struct UdpSlot {
    std::uint32_t owner_pid;
    std::uint16_t local_port;  // network order
    std::uint8_t is_ipv6;
    std::uint8_t reserved1;
    std::uint16_t peer_port;  // network order
    std::uint8_t peer_addr6[16];
    std::uint8_t reserved2[2];
    std::uint32_t peer_addr4;  // network order
    std::uint32_t stamp;       // tick count, ms
    std::uint16_t checksum;
    std::uint16_t length;
};
static_assert(sizeof(UdpSlot) == 40, "UdpSlot size");
static_assert(offsetof(UdpSlot, owner_pid) == 0, "UdpSlot.owner_pid");
static_assert(offsetof(UdpSlot, local_port) == 4, "UdpSlot.local_port");
static_assert(offsetof(UdpSlot, is_ipv6) == 6, "UdpSlot.is_ipv6");
static_assert(offsetof(UdpSlot, reserved1) == 7, "UdpSlot.reserved1");
static_assert(offsetof(UdpSlot, peer_port) == 8, "UdpSlot.peer_port");
static_assert(offsetof(UdpSlot, peer_addr6) == 10, "UdpSlot.peer_addr6");
static_assert(offsetof(UdpSlot, reserved2) == 26, "UdpSlot.reserved2");
static_assert(offsetof(UdpSlot, peer_addr4) == 28, "UdpSlot.peer_addr4");
static_assert(offsetof(UdpSlot, stamp) == 32, "UdpSlot.stamp");
static_assert(offsetof(UdpSlot, checksum) == 36, "UdpSlot.checksum");
static_assert(offsetof(UdpSlot, length) == 38, "UdpSlot.length");

#pragma pack(pop)

constexpr std::uint32_t kProxyDataSize = sizeof(ProxyData);
constexpr std::uint32_t kTcpSlotSize = sizeof(TcpSlot);
constexpr std::uint32_t kUdpSlotSize = sizeof(UdpSlot);

// Status codes written to ProxyData::server_status.
enum ServerStatusCode : std::uint16_t {
    kStatusOk = 0,
    kStatusTcpBind = 1,
    kStatusTcpAccept = 2,
    kStatusTcpIpv6Accept = 3,
    kStatusUdpBind = 11,
    kStatusUdpSelect = 12,
    kStatusUdpRead = 13,
    kStatusUdpIpv6Read = 14,
};

// The short name the client shows for a status code ("Unkown Error" for any
// code without one; 0 has an empty name).
const char* serverStatusName(int code);

// The IPv4 address held in an IPv4-mapped (::ffff:a.b.c.d) or IPv4-compatible
// (::a.b.c.d) IPv6 address, in network order; 0 for a true IPv6 address.
std::uint32_t deriveIpv4(const std::uint8_t addr6[16]);

// Internet checksum (RFC 1071) of a datagram payload, summed as 16-bit
// little-endian words; an empty payload gives 0xFFFF.
std::uint16_t payloadChecksum(const void* data, std::size_t len);

// Number of valid rules in a block written by another process, in 0..128.
int clampedRuleCount(const ProxyData& data);

// Copies a fixed text field out of a shared record, always terminated.
void copyField(char* dst, std::size_t dstSize, const char* field, std::size_t fieldSize);

}  // namespace vnx
