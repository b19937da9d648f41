#include "rlocalserver.h"

#include "modulecontract.h"
#include "records.h"
#include "relayheader.h"
#include "rlocaltcptunnel.h"
#include "rsockproxy.h"
#include "rudptunnel.h"
#include "serverstate.h"

#include "dnsupstream.h"
#include "hopkey.h"
#include "platform/capture.h"
#include "platform/system.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>

using vnx::REndpoint;

namespace {
// ASCII letters only, whatever the process locale: under a Turkish locale
// tolower('I') is not 'i', and "PRIVATE" must still select the relay.
char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool equalsNoCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (asciiLower(*a) != asciiLower(*b)) return false;
    return *a == 0 && *b == 0;
}

vnx::SlotTable* openTable(vnx::SlotTable* table, const char* failure) {
    if (!table->memory().view() && !table->memory().open() && failure) std::printf("%s\n", failure);
    if (table->memory().view()) table->clearAll();
    return table;
}
}  // namespace

bool resolverForStub(REndpoint& destination) {
    if (ntohs(destination.port) != 53 || !vnx::isLocalResolver(destination)) return true;
    REndpoint upstream;
    if (!vnx::chooseDnsUpstream(upstream)) {
        std::printf("no upstream resolver for a local DNS stub: query dropped\n");
        return false;
    }
    destination = upstream;
    return true;
}

ProxySettings readProxySettings() {
    ProxySettings s;
    vnx::ProxyData* block = vnx::proxyData(false);
    if (!block) return s;
    char text[vnx::kProxyTextSize + 1];
    vnx::copyField(text, sizeof text, block->proxy_ip, sizeof block->proxy_ip);
    s.ip = vnx::parseIpv4(text);
    s.port = block->proxy_port;
    vnx::copyField(text, sizeof text, block->proxy_protocol, sizeof block->proxy_protocol);
    s.privateProtocol = equalsNoCase(text, "private");
    s.encrypt = block->encrypt_data;
    if (s.relayConfigured()) s.keyed = vnx::readHopKey(s.ip, s.port, s.key);
    return s;
}

RLocalServer::RLocalServer() {
    serverState();  // the counters exist before any tunnel counts into them
    tcp_table = openTable(vnx::createTcpTable(true), "CreateTCPData failed");
    udpsend_table = openTable(vnx::createUdpSendTable(true), "CreateUDPSendData failed");
    udprecv_table = openTable(vnx::createUdpRecvTable(true), nullptr);
    headroom = static_cast<int>(vnx::kRelayHeaderSize);
}

RLocalServer::~RLocalServer() {
    for (auto& entry : udp_tunnels)
        entry.first->replySock = vnxplat::kBadSocket;
    udp_tunnels.clear();  // closes the reply sockets
    delete tcp_table;
    delete udpsend_table;
    delete udprecv_table;
}

RTcpTunnel* RLocalServer::CreateTunnel() { return new RLocalTcpTunnel(this); }

// ---- TCP ------------------------------------------------------------------

bool RLocalServer::OnGetDestAddr(const REndpoint& client, REndpoint& destination, bool& maskData, std::string& appName,
                                 vnxplat::socket_t accepted) {
    ProxySettings proxy = readProxySettings();
    maskData = proxy.masks();
    std::uint32_t ownerPid = 0;
    if (accepted == vnxplat::kBadSocket || !vnxplat::capturedTcpDestination(accepted, destination, ownerPid)) {
        const std::uint8_t isIpv6 = client.ipv4 == 0 ? 1 : 0;
        vnx::TcpSlot slot;
        {
            std::lock_guard<std::mutex> guard(tcpTableLock);
            vnx::TcpSlot* record = tcp_table->findTcpSlot(client.port, isIpv6);
            if (!record) {
                std::printf("RTcpServer FindInfo faild! port:%d\n", ntohs(client.port));
                return false;
            }
            if (record->dst_addr4 == 0) record->dst_addr4 = vnx::deriveIpv4(record->dst_addr6);
            std::memcpy(&slot, record, sizeof slot);
            tcp_table->clearSlot(record);
        }
        // An IPv4 destination travels as IPv4 only, whatever else the record's
        // IPv6 field holds (the module may fill the mapped form too).
        destination = vnx::slotDestination(slot);
        ownerPid = slot.owner_pid;
    }
    if (!resolverForStub(destination)) return false;
    ServerState& state = serverState();
    std::lock_guard<std::mutex> guard(state.stats.lock);
    appName = state.names.ownerName(ownerPid);
    if (!appName.empty()) state.stats.app(appName).tcp_connections += 1;
    return true;
}

bool RLocalServer::OnSetProxy(RSockProxy* proxy) {
    ProxySettings settings = readProxySettings();
    if (!settings.privateProtocol) return true;
    proxy->proxyAddr = REndpoint();
    proxy->proxyAddr.ipv4 = settings.ip;
    proxy->proxyAddr.port = htons(settings.port);
    proxy->useProxy = settings.port != 0;
    proxy->keyed = settings.keyed;
    std::memcpy(proxy->key, settings.key, sizeof proxy->key);
    return true;
}

void RLocalServer::countTcp(const std::string& appName, std::uint32_t bytes, bool towardsClient) {
    serverState().countBytes(Transport::Tcp, appName, bytes, towardsClient);
}

void RLocalServer::lowerCount(const std::string& appName, std::uint32_t vnx::AppTraffic::*field) {
    if (appName.empty()) return;
    ServerState& state = serverState();
    std::lock_guard<std::mutex> guard(state.stats.lock);
    // The entry may have been dropped (its process ended) while the tunnel
    // lived: do not bring it back with a count of 2^32 - 1.
    auto it = state.stats.apps.find(appName);
    if (it != state.stats.apps.end() && it->second.*field > 0) it->second.*field -= 1;
}

void RLocalServer::tcpTunnelEnded(const std::string& appName) {
    lowerCount(appName, &vnx::AppTraffic::tcp_connections);
}

// ---- UDP ------------------------------------------------------------------

const std::string& RLocalServer::tunnelApp(RUdpTunnel* tunnel) const {
    static const std::string unknown;
    auto it = udp_tunnels.find(tunnel);
    return it == udp_tunnels.end() ? unknown : it->second.appName;
}

bool RLocalServer::OnGetRemoteAddr(const REndpoint& client, REndpoint& remote, std::uint8_t*& data, int& length,
                                   std::uint8_t& mask, bool fromSock4, std::uint32_t& pid) {
    if (!data || length < 0 || length > 0xffff) return false;
    ProxySettings proxy = readProxySettings();
    const bool viaProxy = proxy.relayConfigured();
    // The header goes in front of the payload, inside the headroom.
    if (viaProxy && RUdpServer::headroom < static_cast<int>(vnx::kRelayHeaderSize)) return false;
    std::uint16_t checksum = vnx::payloadChecksum(data, static_cast<std::size_t>(length));
    vnx::UdpSlot* record =
        udpsend_table->findUdpSlot(client.port, checksum, static_cast<std::uint16_t>(length), fromSock4 ? 0 : 1);
    if (!record) {
        std::printf("OnGetRemoteAddr info null\n");
        return false;
    }
    if (record->peer_addr4 == 0) record->peer_addr4 = vnx::deriveIpv4(record->peer_addr6);
    vnx::UdpSlot slot;
    std::memcpy(&slot, record, sizeof slot);
    pid = slot.owner_pid;
    mask = proxy.keyed ? 0 : proxy.encrypt;
    REndpoint peer = vnx::slotPeer(slot);
    if (viaProxy) {
        const bool masked = proxy.masks();
        if (masked) vnx::maskBuffer(data, static_cast<std::size_t>(length));
        data -= vnx::kRelayHeaderSize;
        length += static_cast<int>(vnx::kRelayHeaderSize);
        vnx::RRelayHeader header;
        header.masked = masked;
        header.ipv4 = peer.ipv4;
        std::memcpy(header.ipv6, peer.ipv6, sizeof header.ipv6);
        header.port = peer.port;
        vnx::buildRelayHeader(header, data);
        if (proxy.keyed) {
            // Sealed for the keyed relay, then put back at the start of the
            // relay's buffer (a datagram that no longer fits is dropped).
            udpHop.useKey(proxy.key);
            std::size_t sealedLength = udpHop.seal(data, static_cast<std::size_t>(length), udpSealed, sizeof udpSealed);
            if (sealedLength == 0 || sealedLength > sizeof buffer) return false;
            std::memcpy(buffer, udpSealed, sealedLength);
            data = buffer;
            length = static_cast<int>(sealedLength);
        }
        remote = REndpoint();
        remote.ipv4 = proxy.ip;
        remote.port = htons(proxy.port);
    } else {
        remote = peer;
    }
    udpsend_table->clearSlot(record);
    if (++udpSendRecords % 50 == 0) udpsend_table->purgeStale();
    return true;
}

bool RLocalServer::OnTunnelCreate(RUdpTunnel* tunnel, std::uint32_t pid) {
    const bool ipv6 = tunnel->client.ipv4 == 0;
    vnxplat::Socket s(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    sockaddr_storage sa;
    std::memset(&sa, 0, sizeof sa);
    socklen_t saLen;
    if (ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&sa);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        saLen = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&sa);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        saLen = sizeof(sockaddr_in);
    }
    if (!s || bind(s.get(), reinterpret_cast<sockaddr*>(&sa), saLen) != 0) {
        if (ipv6)
            std::printf("Failed ipv6 bind() %d \n", vnxplat::lastSocketError());
        else
            std::printf("Failed bind() \n");
        return false;
    }
    saLen = sizeof sa;
    if (getsockname(s.get(), reinterpret_cast<sockaddr*>(&sa), &saLen) != 0) {
        std::printf(ipv6 ? " RLocalServer::OnTunnelCreate ipv6 getsockname failed!\n"
                         : " RLocalServer::OnTunnelCreate getsockname failed!\n");
        return false;
    }
    UdpTunnelInfo info;
    info.port = ipv6 ? reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port : reinterpret_cast<sockaddr_in*>(&sa)->sin_port;
    tunnel->replySock = s.get();
    info.reply = std::move(s);
    {
        ServerState& state = serverState();
        std::lock_guard<std::mutex> guard(state.stats.lock);
        info.appName = state.names.ownerName(pid);
        if (!info.appName.empty()) state.stats.app(info.appName).udp_connections += 1;
    }
    udp_tunnels[tunnel] = std::move(info);
    return true;
}

bool RLocalServer::OnTunnelClose(RUdpTunnel* tunnel) {
    auto it = udp_tunnels.find(tunnel);
    // A tunnel that never got its reply socket still answers from a server
    // socket, which must stay open.
    if (it == udp_tunnels.end()) return true;
    tunnel->replySock = vnxplat::kBadSocket;
    const std::string appName = std::move(it->second.appName);
    udp_tunnels.erase(it);  // closes the reply socket
    lowerCount(appName, &vnx::AppTraffic::udp_connections);
    return true;
}

void RLocalServer::OnSendToRemote(RUdpTunnel* tunnel, std::uint8_t*&, int& length) {
    if (length <= 0) return;
    serverState().countBytes(Transport::Udp, tunnelApp(tunnel), static_cast<std::uint32_t>(length), false);
}

bool RLocalServer::OnSendToClient(RUdpTunnel* tunnel, const REndpoint& from, std::uint8_t*& data, int& length) {
    if (!data || length < 0) return true;
    REndpoint source = from;
    ProxySettings proxy = readProxySettings();
    if (proxy.keyed) {
        // A keyed relay seals what it sends; anything else is not from it.
        udpHop.useKey(proxy.key);
        std::size_t opened = 0;
        if (!udpHop.open(data, static_cast<std::size_t>(length), udpOpened, sizeof udpOpened, &opened)) {
            data = nullptr;  // dropped
            length = 0;
            return true;
        }
        std::memcpy(data, udpOpened, opened);
        length = static_cast<int>(opened);
    }
    if (proxy.relayConfigured()) {
        vnx::RRelayHeader header;
        if (vnx::parseRelayHeader(data, static_cast<std::size_t>(length), header)) {
            data += vnx::kRelayHeaderSize;
            length -= static_cast<int>(vnx::kRelayHeaderSize);
            source = REndpoint();
            source.ipv4 = header.ipv4;
            std::memcpy(source.ipv6, header.ipv6, sizeof source.ipv6);
            source.port = header.port;
            if (header.masked) vnx::maskBuffer(data, static_cast<std::size_t>(length));
        }
    }
    auto it = udp_tunnels.find(tunnel);
    auto* record = static_cast<vnx::UdpSlot*>(udprecv_table->claimSlot());
    if (!record) {
        udprecv_table->purgeStale();
        record = static_cast<vnx::UdpSlot*>(udprecv_table->claimSlot());
    }
    if (record) {
        record->stamp = vnxplat::tickCount();
        record->length = static_cast<std::uint16_t>(length);
        record->peer_port = source.port;
        record->peer_addr4 = source.ipv4;
        std::memcpy(record->peer_addr6, source.ipv6, sizeof record->peer_addr6);
        record->is_ipv6 = tunnel->client.ipv4 == 0 ? 1 : 0;
        // The key comes last: the module matches on it. It reads the record
        // only after the datagram arrives, and the send is a system call
        // after these stores; the fence keeps the compiler from moving the
        // key before the rest.
        std::atomic_signal_fence(std::memory_order_release);
        record->local_port = it != udp_tunnels.end() ? it->second.port : 0;
        if (verboseLogs())
            std::printf("RLocalServer::OnSendToClient set info success %u\n", static_cast<unsigned>(record->peer_port));
    } else {
        std::printf(" udp find info failed.\n");
    }
    if (++udpRecvRecords % 50 == 0) udprecv_table->purgeStale();
    serverState().countBytes(Transport::Udp, tunnelApp(tunnel), static_cast<std::uint32_t>(length), true);
    return true;
}
