#pragma once
// The connection registry: at once the TCP listener and the UDP relay of the
// server. Its hooks find the real destination of each accepted connection and
// of each application datagram in the slot tables that the network-stack
// module fills, record the real source of each datagram delivered back, and
// count every connection and byte for the executable that owns it.
//
// One per process (constructed by RVeilnoxSvr); each TCP tunnel it creates
// is handed the registry (TcpTunnelRegistry). TCP hooks run on tunnel
// threads, UDP hooks on the relay thread; counters and process names are guarded by the live
// TrafficStats lock.
#include "hopclient.h"
#include "rendpoint.h"
#include "rtcpserver.h"
#include "rudpserver.h"
#include "sharedmemory.h"
#include "tcptunnelregistry.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class RSockProxy;

// The proxy settings of the proxy data block, read at one moment.
struct ProxySettings {
    std::uint32_t ip = 0;    // proxy_ip converted with inet_addr (network order)
    std::uint16_t port = 0;  // proxy_port, host order
    bool privateProtocol = false;
    std::uint8_t encrypt = 0;
    // The client published a key for this very server (hopkey.h): the hop is
    // TLS and sealed datagrams, nothing is masked.
    bool keyed = false;
    std::uint8_t key[32] = {};
    // A proxy server is configured: its address converts to non-zero and its
    // port is not 0.
    bool relayConfigured() const { return ip != 0 && port != 0; }
    // Whether payloads relayed through the proxy are masked.
    bool masks() const { return relayConfigured() && encrypt != 0 && !keyed; }
};
// Reads the block (zero settings when it is not available); the text fields
// are copied bounded, whatever the writer left in them. The key comes from
// the client's key object, taken only when it names the same server.
ProxySettings readProxySettings();

// A DNS destination (port 53) on this host is a local stub that would ask
// its upstream from the user's own address: the query goes to that upstream
// instead (vnx::chooseDnsUpstream). False when no upstream is known: the
// query must then fail rather than leave directly.
bool resolverForStub(vnx::REndpoint& destination);

class RLocalServer : public RTcpServer, public RUdpServer, public TcpTunnelRegistry {
public:
    // Creates the three slot tables (create mode) and zeroes them.
    RLocalServer();
    // Only for a registry whose threads were never started.
    ~RLocalServer() override;

    // RTcpServer
    RTcpTunnel* CreateTunnel() override;

    // TCP side, called by RLocalTcpTunnel on its thread.
    // The destination of the connection from `client` and whether its
    // payload is masked; the owning application's name in appName (empty when
    // unknown), whose tcp_connections is raised. A connection that the
    // kernel capture hooks diverted is asked of them through `accepted`;
    // any other is looked up in the slot tables. A DNS connection to a
    // stub on this host goes to the stub's upstream resolver. False (with
    // the "FindInfo" line) when nothing describes the connection.
    bool OnGetDestAddr(const vnx::REndpoint& client, vnx::REndpoint& destination, bool& maskData, std::string& appName,
                       vnxplat::socket_t accepted = vnxplat::kBadSocket) override;
    // Points the upstream at the proxy server when the protocol is "private".
    bool OnSetProxy(RSockProxy* proxy) override;
    // Counts a relayed chunk: towards the client (tcp_recv) or from it
    // (tcp_sent).
    void countTcp(const std::string& appName, std::uint32_t bytes, bool towardsClient) override;
    // A tunnel of that application has ended.
    void tcpTunnelEnded(const std::string& appName) override;

    // RUdpServer
    bool OnTunnelClose(RUdpTunnel* tunnel) override;
    bool OnTunnelCreate(RUdpTunnel* tunnel, std::uint32_t pid) override;
    bool OnGetRemoteAddr(const vnx::REndpoint& client, vnx::REndpoint& remote, std::uint8_t*& data, int& length,
                         std::uint8_t& mask, bool fromSock4, std::uint32_t& pid) override;
    bool OnSendToClient(RUdpTunnel* tunnel, const vnx::REndpoint& from, std::uint8_t*& data, int& length) override;
    void OnSendToRemote(RUdpTunnel* tunnel, std::uint8_t*& data, int& length) override;

    vnx::SlotTable* tcp_table;
    vnx::SlotTable* udpsend_table;
    vnx::SlotTable* udprecv_table;

    struct UdpTunnelInfo {
        // The tunnel's reply socket (its replySock), closed when the entry is
        // erased: in OnTunnelClose, or when the registry is destroyed.
        vnxplat::Socket reply;
        std::uint16_t port = 0;  // network order: the reply socket's port
        std::string appName;
    };
    // Relay thread only.
    std::map<RUdpTunnel*, UdpTunnelInfo> udp_tunnels;

    // The seals of datagrams to and from a keyed proxy, with room for one
    // sealed and one opened datagram (relay thread only).
    HopDatagrams udpHop;
    std::uint8_t udpSealed[RUdpServer::kBufferSize + 64];
    std::uint8_t udpOpened[RUdpServer::kBufferSize];

    // UDPSEND lookups that matched and UDPRECV records handled (relay thread
    // only); every 50th purges the table's stale records.
    std::uint32_t udpSendRecords = 0;
    std::uint32_t udpRecvRecords = 0;

private:
    // Lowers a connection count without creating an entry or wrapping below 0.
    static void lowerCount(const std::string& appName, std::uint32_t vnx::AppTraffic::*field);
    // The application of a tunnel; empty when unknown.
    const std::string& tunnelApp(RUdpTunnel* tunnel) const;

    // Tunnel threads look up and clear TCP slots one at a time.
    std::mutex tcpTableLock;
};
