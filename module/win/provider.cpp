// The provider's wrapped functions. A stream connection to a diverted
// destination becomes a connection to the local server, after the TCP record
// naming the real destination is complete; a datagram goes to the local
// server's UDP port after its UDPSEND record; the real source of a reply
// comes from the UDPRECV record the server wrote. Which traffic is diverted
// is the module's common decision (policy.h), taken at each call.
#include "provider.h"

#include "modulecontract.h"
#include "platform/system.h"
#include "policy.h"
#include "sharedobjects.h"
#include "sockaddrs.h"

#include <mswsock.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace vnxlsp {

namespace {

using vnxmod::Policy;
using vnxmod::Verdict;

// One catalog entry of ours that Winsock started, and the provider below.
// Layers live for the whole process: a socket may outlive a cleanup.
struct Layer {
    DWORD catalogId = 0;
    WSAPROTOCOL_INFOW next{};
    WSPPROC_TABLE lower{};
    std::atomic<LPFN_CONNECTEX> lowerConnectEx{nullptr};
};

constexpr int kMaxLayers = 64;
Layer gLayers[kMaxLayers];
std::atomic<int> gLayerCount{0};
std::mutex gLayerLock;

Layer* layerFor(DWORD catalogId) {
    const int n = gLayerCount.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i)
        if (gLayers[i].catalogId == catalogId) return &gLayers[i];
    return n > 0 ? &gLayers[0] : nullptr;
}

// What the provider knows about one socket.
struct SocketState {
    Layer* layer = nullptr;
    int family = 0;  // 0 until asked
    int type = 0;
    bool tcpDiverted = false;      // connected (or connecting) through the local server
    bool udpDiverted = false;      // has sent datagrams through the local server
    bool virtualPeer = false;      // datagram socket "connected" to a diverted peer: kept here only
    std::uint16_t localPort = 0;   // network order
    std::uint16_t serverPort = 0;  // host order, the local server port it connected to
    vnx::TcpSlot* pendingSlot = nullptr;
    sockaddr_storage peer{};  // the real peer as the program gave it
    int peerLen = 0;
    std::uint16_t cachePort = 0;  // a server reply port (network order) and the source its last record named
    vnx::REndpoint cacheSource;
};

std::mutex gSocketLock;
std::unordered_map<SOCKET, SocketState>& sockets() {
    // Never destroyed: a thread may still be in a call while the process ends.
    static auto* map = new std::unordered_map<SOCKET, SocketState>();
    return *map;
}

SocketState stateOf(SOCKET s) {
    {
        std::lock_guard<std::mutex> g(gSocketLock);
        auto it = sockets().find(s);
        if (it != sockets().end()) return it->second;
    }
    SocketState st;
    st.layer = layerFor(0);
    return st;
}

void store(SOCKET s, const SocketState& st) {
    std::lock_guard<std::mutex> g(gSocketLock);
    sockets()[s] = st;
}

// Changes some fields of a socket's entry in place (made when missing):
// other threads may be changing other fields of the same socket.
template <class F>
void update(SOCKET s, Layer* layer, F change) {
    std::lock_guard<std::mutex> g(gSocketLock);
    auto it = sockets().find(s);
    if (it == sockets().end()) {
        SocketState st;
        st.layer = layer;
        it = sockets().emplace(s, st).first;
    }
    change(it->second);
}

bool take(SOCKET s, SocketState& out) {
    std::lock_guard<std::mutex> g(gSocketLock);
    auto it = sockets().find(s);
    if (it == sockets().end()) return false;
    out = it->second;
    sockets().erase(it);
    return true;
}

int fail(LPINT err, int code) {
    if (err) *err = code;
    return SOCKET_ERROR;
}

std::string endpointText(const vnx::REndpoint& e) {
    return e.isIpv4() ? vnx::ipv4Text(e.ipv4) + ":" + std::to_string(ntohs(e.port))
                      : "IPv6 port " + std::to_string(ntohs(e.port));
}

void note(const char* what, const vnx::REndpoint& dst, const char* why) {
    vnxplat::debugOutputf("veilnox provider: %s to %s not diverted: %s", what, endpointText(dst).c_str(), why);
}

// Family and type of a socket, asked once from the provider below.
bool describe(SOCKET s, SocketState& st) {
    if (st.family != 0) return true;
    WSAPROTOCOL_INFOW info;
    int len = sizeof info;
    int err = 0;
    if (st.layer->lower.lpWSPGetSockOpt(s, SOL_SOCKET, SO_PROTOCOL_INFOW, reinterpret_cast<char*>(&info), &len, &err) !=
        0)
        return false;
    st.family = info.iAddressFamily;
    st.type = info.iSocketType;
    update(s, st.layer, [&](SocketState& x) {
        x.family = st.family;
        x.type = st.type;
    });
    return st.family == AF_INET || st.family == AF_INET6;
}

// The socket's local port (network order), binding it to the wildcard
// address first when it has none: the record must name it before the
// connection or datagram leaves.
bool ensureLocalPort(SOCKET s, const SocketState& st, std::uint16_t& port, LPINT err) {
    const WSPPROC_TABLE& lower = st.layer->lower;
    sockaddr_storage local{};
    int len = sizeof local;
    int e = 0;
    if (lower.lpWSPGetSockName(s, reinterpret_cast<sockaddr*>(&local), &len, &e) == 0) {
        vnx::REndpoint ep = vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&local));
        if (ep.port != 0) {
            port = ep.port;
            return true;
        }
    }
    sockaddr_storage any{};
    any.ss_family = static_cast<ADDRESS_FAMILY>(st.family);
    const int anyLen = st.family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (lower.lpWSPBind(s, reinterpret_cast<sockaddr*>(&any), anyLen, &e) != 0) {
        if (err) *err = e;
        return false;
    }
    len = sizeof local;
    if (lower.lpWSPGetSockName(s, reinterpret_cast<sockaddr*>(&local), &len, &e) != 0) {
        if (err) *err = e;
        return false;
    }
    port = vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&local)).port;
    return port != 0;
}

bool stillOurs(const vnx::TcpSlot* slot, std::uint16_t portNet, bool viaIpv6) {
    return slot && slot->owner_pid == vnxplat::currentProcessId() && slot->local_port == portNet &&
           slot->is_ipv6 == (viaIpv6 ? 1 : 0);
}

// The port was just given to this socket, so any other record with its key
// belongs to a socket that has gone: the server would pair it with our
// connection. Such leftovers are removed.
void withdrawLeftovers(vnx::SlotTable& table, std::uint16_t portNet, bool viaIpv6) {
    auto* base = static_cast<std::uint8_t*>(table.base());
    if (!base) return;
    for (int i = 0; i < vnx::kSlotCount; ++i) {
        auto* slot = reinterpret_cast<vnx::TcpSlot*>(base + static_cast<std::size_t>(i) * vnx::kTcpSlotSize);
        if (slot->owner_pid != 0 && slot->local_port == portNet && slot->is_ipv6 == (viaIpv6 ? 1 : 0))
            table.clearSlot(slot);
    }
}

void rememberPeer(SocketState& st, const sockaddr* name, int namelen) {
    st.peerLen = namelen < static_cast<int>(sizeof st.peer) ? namelen : static_cast<int>(sizeof st.peer);
    std::memset(&st.peer, 0, sizeof st.peer);
    std::memcpy(&st.peer, name, static_cast<std::size_t>(st.peerLen));
}

// Everything a diverted stream connection needs before the provider below
// is asked to connect: the record, and the local server's address in
// `server`. False with *err set when it cannot be diverted (it then fails;
// it never goes out directly).
bool prepareStream(SOCKET s, SocketState& st, const vnx::REndpoint& dst, const sockaddr* name, int namelen,
                   const Verdict& v, sockaddr_storage& server, int& serverLen, LPINT err) {
    const bool viaIpv6 = st.family == AF_INET6;
    if (v.tcpPort == 0) {
        note("connection", dst, "the local server has not started");
        fail(err, WSAECONNREFUSED);
        return false;
    }
    std::uint16_t port = 0;
    if (!ensureLocalPort(s, st, port, err)) {
        note("connection", dst, "no local port");
        return false;
    }
    vnx::SlotTable& table = vnxmod::tcpTable();
    withdrawLeftovers(table, port, viaIpv6);
    vnx::TcpSlot* slot = vnx::publishTcpDestination(table, port, viaIpv6, dst);
    if (!slot) {
        note("connection", dst, "no connection record (local server not running or table full)");
        fail(err, WSAECONNREFUSED);
        return false;
    }
    st.tcpDiverted = true;
    st.pendingSlot = slot;
    st.localPort = port;
    st.serverPort = v.tcpPort;
    rememberPeer(st, name, namelen);
    update(s, st.layer, [&](SocketState& x) {
        x.tcpDiverted = true;
        x.pendingSlot = slot;
        x.localPort = port;
        x.serverPort = v.tcpPort;
        x.peer = st.peer;
        x.peerLen = st.peerLen;
    });
    serverLen = vnxmod::serverAddress(viaIpv6, v.tcpPort, server);
    return true;
}

// A diverted connect that failed at once: its record is withdrawn.
void abandonStream(SOCKET s, SocketState& st) {
    if (stillOurs(st.pendingSlot, st.localPort, st.family == AF_INET6)) vnxmod::tcpTable().clearSlot(st.pendingSlot);
    st.tcpDiverted = false;
    st.pendingSlot = nullptr;
    st.peerLen = 0;
    update(s, st.layer, [](SocketState& x) {
        x.tcpDiverted = false;
        x.pendingSlot = nullptr;
        x.peerLen = 0;
    });
}

bool divertsStream(const Verdict& v, const vnx::REndpoint& dst) { return v.tcp && !vnxmod::isLocalDestination(dst); }

bool divertsDatagram(const Verdict& v, const vnx::REndpoint& dst) {
    if (vnxmod::isLocalDestination(dst)) return false;
    return vnxmod::isDnsDestination(dst) ? v.dns : v.udp;
}

// --- stream connections ------------------------------------------------------

int WSPAPI connectHook(SOCKET s, const sockaddr* name, int namelen, LPWSABUF callerData, LPWSABUF calleeData,
                       LPQOS sqos, LPQOS gqos, LPINT err) {
    SocketState st = stateOf(s);
    if (!st.layer) return fail(err, WSAENOTSOCK);
    const WSPPROC_TABLE& lower = st.layer->lower;
    vnx::REndpoint dst;
    if (!vnxmod::endpointFrom(name, namelen, dst) || !describe(s, st))
        return lower.lpWSPConnect(s, name, namelen, callerData, calleeData, sqos, gqos, err);
    if (st.type == SOCK_DGRAM) {
        // A datagram socket "connected" to a diverted peer stays unconnected
        // below, so that the server's replies reach it; sends without an
        // address go to the remembered peer.
        const Verdict v = Policy::current();
        if (divertsDatagram(v, dst)) {
            std::uint16_t port = 0;
            if (!st.virtualPeer && !ensureLocalPort(s, st, port, err)) return SOCKET_ERROR;
            rememberPeer(st, name, namelen);
            update(s, st.layer, [&](SocketState& x) {
                if (port) x.localPort = port;
                x.virtualPeer = true;
                x.peer = st.peer;
                x.peerLen = st.peerLen;
            });
            return 0;
        }
        if (st.virtualPeer) {
            update(s, st.layer, [](SocketState& x) {
                x.virtualPeer = false;
                x.peerLen = 0;
            });
        }
        return lower.lpWSPConnect(s, name, namelen, callerData, calleeData, sqos, gqos, err);
    }
    if (st.type != SOCK_STREAM) return lower.lpWSPConnect(s, name, namelen, callerData, calleeData, sqos, gqos, err);
    sockaddr_storage server;
    int serverLen = 0;
    if (st.tcpDiverted) {
        // Connect again (a program polling its non-blocking connect): the
        // provider answers for the connection to the server.
        serverLen = vnxmod::serverAddress(st.family == AF_INET6, st.serverPort, server);
        return lower.lpWSPConnect(s, reinterpret_cast<sockaddr*>(&server), serverLen, callerData, calleeData, sqos,
                                  gqos, err);
    }
    const Verdict v = Policy::current();
    // An address of the other family: the provider below gives its error.
    if (!divertsStream(v, dst) || name->sa_family != st.family)
        return lower.lpWSPConnect(s, name, namelen, callerData, calleeData, sqos, gqos, err);
    if (!prepareStream(s, st, dst, name, namelen, v, server, serverLen, err)) return SOCKET_ERROR;
    int e = 0;
    const int r =
        lower.lpWSPConnect(s, reinterpret_cast<sockaddr*>(&server), serverLen, callerData, calleeData, sqos, gqos, &e);
    if (r != 0 && e != WSAEWOULDBLOCK) abandonStream(s, st);
    if (r != 0 && err) *err = e;
    return r;
}

BOOL PASCAL connectExHook(SOCKET s, const sockaddr* name, int namelen, PVOID sendBuffer, DWORD sendLength,
                          LPDWORD bytesSent, LPOVERLAPPED overlapped) {
    SocketState st = stateOf(s);
    LPFN_CONNECTEX lowerConnectEx = st.layer ? st.layer->lowerConnectEx.load() : nullptr;
    if (!lowerConnectEx) {
        SetLastError(WSAENOTSOCK);
        return FALSE;
    }
    vnx::REndpoint dst;
    if (!vnxmod::endpointFrom(name, namelen, dst) || !describe(s, st) || st.type != SOCK_STREAM || st.tcpDiverted)
        return lowerConnectEx(s, name, namelen, sendBuffer, sendLength, bytesSent, overlapped);
    const Verdict v = Policy::current();
    if (!divertsStream(v, dst) || name->sa_family != st.family)
        return lowerConnectEx(s, name, namelen, sendBuffer, sendLength, bytesSent, overlapped);
    // ConnectEx takes bound sockets only: an unbound one fails below as it
    // would without the provider, and nothing leaves.
    sockaddr_storage local{};
    int localLen = sizeof local;
    int e = 0;
    if (st.layer->lower.lpWSPGetSockName(s, reinterpret_cast<sockaddr*>(&local), &localLen, &e) != 0)
        return lowerConnectEx(s, name, namelen, sendBuffer, sendLength, bytesSent, overlapped);
    sockaddr_storage server;
    int serverLen = 0;
    if (!prepareStream(s, st, dst, name, namelen, v, server, serverLen, &e)) {
        SetLastError(static_cast<DWORD>(e));
        return FALSE;
    }
    if (lowerConnectEx(s, reinterpret_cast<sockaddr*>(&server), serverLen, sendBuffer, sendLength, bytesSent,
                       overlapped))
        return TRUE;
    const DWORD le = GetLastError();
    if (le != ERROR_IO_PENDING) {
        abandonStream(s, st);
        SetLastError(le);
    }
    return FALSE;
}

int WSPAPI ioctlHook(SOCKET s, DWORD code, LPVOID in, DWORD inLen, LPVOID out, DWORD outLen, LPDWORD returned,
                     LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion, LPWSATHREADID thread,
                     LPINT err) {
    SocketState st = stateOf(s);
    if (!st.layer) return fail(err, WSAENOTSOCK);
    const int r =
        st.layer->lower.lpWSPIoctl(s, code, in, inLen, out, outLen, returned, overlapped, completion, thread, err);
    static const GUID kConnectEx = WSAID_CONNECTEX;
    if (r == 0 && code == SIO_GET_EXTENSION_FUNCTION_POINTER && in && inLen >= sizeof(GUID) &&
        std::memcmp(in, &kConnectEx, sizeof(GUID)) == 0 && out && outLen >= sizeof(LPFN_CONNECTEX)) {
        LPFN_CONNECTEX below = nullptr;
        std::memcpy(&below, out, sizeof below);
        if (below && below != &connectExHook) {
            st.layer->lowerConnectEx.store(below);
            LPFN_CONNECTEX mine = &connectExHook;
            std::memcpy(out, &mine, sizeof mine);
        }
    }
    return r;
}

int WSPAPI getPeerNameHook(SOCKET s, sockaddr* name, LPINT namelen, LPINT err) {
    SocketState st = stateOf(s);
    if (!st.layer) return fail(err, WSAENOTSOCK);
    if (!st.tcpDiverted && !st.virtualPeer) return st.layer->lower.lpWSPGetPeerName(s, name, namelen, err);
    if (st.tcpDiverted) {
        // Not connected yet (or any more): the provider's own answer.
        sockaddr_storage server;
        int serverLen = sizeof server;
        if (st.layer->lower.lpWSPGetPeerName(s, reinterpret_cast<sockaddr*>(&server), &serverLen, err) != 0)
            return SOCKET_ERROR;
    }
    if (!name || !namelen || *namelen < st.peerLen) return fail(err, WSAEFAULT);
    std::memcpy(name, &st.peer, static_cast<std::size_t>(st.peerLen));
    *namelen = st.peerLen;
    return 0;
}

// --- datagrams ---------------------------------------------------------------

int sendDatagram(SOCKET s, SocketState& st, const vnx::REndpoint& dst, LPWSABUF buffers, DWORD count, LPDWORD sent,
                 DWORD flags, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion,
                 LPWSATHREADID thread, LPINT err, const Verdict& v) {
    const bool viaIpv6 = st.family == AF_INET6;
    if (v.udpPort == 0) {
        note("datagram", dst, "the local server has not started");
        return fail(err, WSAENETUNREACH);
    }
    vnx::PayloadSum sum;
    for (DWORD i = 0; buffers && i < count; ++i)
        sum.add(buffers[i].buf, buffers[i].len);
    if (sum.length() > vnx::kMaxDivertedPayload) return fail(err, WSAEMSGSIZE);
    std::uint16_t port = 0;
    if (!ensureLocalPort(s, st, port, err)) {
        note("datagram", dst, "no local port");
        return SOCKET_ERROR;
    }
    vnx::SlotTable& table = vnxmod::udpSendTable();
    vnx::UdpSlot* slot =
        vnx::publishUdpDatagram(table, port, viaIpv6, dst, sum.value(), sum.length(), vnxplat::tickCount());
    if (!slot) {
        note("datagram", dst, "no datagram record (local server not running or table full)");
        return fail(err, WSAENETUNREACH);
    }
    if (!st.udpDiverted || st.localPort != port) {
        st.udpDiverted = true;
        st.localPort = port;
        update(s, st.layer, [&](SocketState& x) {
            x.udpDiverted = true;
            x.localPort = port;
        });
    }
    sockaddr_storage server;
    const int serverLen = vnxmod::serverAddress(viaIpv6, v.udpPort, server);
    int e = 0;
    const int r = st.layer->lower.lpWSPSendTo(s, buffers, count, sent, flags, reinterpret_cast<sockaddr*>(&server),
                                              serverLen, overlapped, completion, thread, &e);
    if (r != 0) {
        if (e != WSA_IO_PENDING && slot->owner_pid == vnxplat::currentProcessId() && slot->local_port == port &&
            slot->length == sum.length())
            table.clearSlot(slot);
        if (err) *err = e;
    }
    return r;
}

int WSPAPI sendToHook(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, const sockaddr* to, int tolen,
                      LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion, LPWSATHREADID thread,
                      LPINT err) {
    SocketState st = stateOf(s);
    if (!st.layer) return fail(err, WSAENOTSOCK);
    const sockaddr* target = to;
    int targetLen = tolen;
    if (!target && st.virtualPeer) {
        target = reinterpret_cast<const sockaddr*>(&st.peer);
        targetLen = st.peerLen;
    }
    vnx::REndpoint dst;
    if (!target || !vnxmod::endpointFrom(target, targetLen, dst) || !describe(s, st) || st.type != SOCK_DGRAM)
        return st.layer->lower.lpWSPSendTo(s, buffers, count, sent, flags, to, tolen, overlapped, completion, thread,
                                           err);
    const Verdict v = Policy::current();
    if (!divertsDatagram(v, dst) || target->sa_family != st.family)
        return st.layer->lower.lpWSPSendTo(s, buffers, count, sent, flags, target, targetLen, overlapped, completion,
                                           thread, err);
    return sendDatagram(s, st, dst, buffers, count, sent, flags, overlapped, completion, thread, err, v);
}

int WSPAPI sendHook(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, LPWSAOVERLAPPED overlapped,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE completion, LPWSATHREADID thread, LPINT err) {
    SocketState st = stateOf(s);
    if (!st.layer) return fail(err, WSAENOTSOCK);
    if (!st.virtualPeer)
        return st.layer->lower.lpWSPSend(s, buffers, count, sent, flags, overlapped, completion, thread, err);
    return sendToHook(s, buffers, count, sent, flags, nullptr, 0, overlapped, completion, thread, err);
}

vnx::REndpoint peerOf(const SocketState& st) {
    vnx::REndpoint e;
    vnxmod::endpointFrom(reinterpret_cast<const sockaddr*>(&st.peer), st.peerLen, e);
    return e;
}

// A receive that completes at once on a socket that sent diverted
// datagrams: the sender reported is the real source the server recorded.
int WSPAPI recvFromHook(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags, sockaddr* from,
                        LPINT fromlen, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion,
                        LPWSATHREADID thread, LPINT err) {
    SocketState st = stateOf(s);
    if (!st.layer) return fail(err, WSAENOTSOCK);
    const WSPPROC_TABLE& lower = st.layer->lower;
    if ((!st.udpDiverted && !st.virtualPeer) || overlapped || completion)
        return lower.lpWSPRecvFrom(s, buffers, count, received, flags, from, fromlen, overlapped, completion, thread,
                                   err);
    if (from) {
        const int need = st.family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        if (!fromlen || *fromlen < need) return fail(err, WSAEFAULT);
    }
    const DWORD inFlags = flags ? *flags : 0;
    for (int drops = 0; drops < 256; ++drops) {
        sockaddr_storage src{};
        int srcLen = sizeof src;
        DWORD outFlags = inFlags;
        DWORD got = 0;
        int e = 0;
        const int r = lower.lpWSPRecvFrom(s, buffers, count, &got, &outFlags, reinterpret_cast<sockaddr*>(&src),
                                          &srcLen, nullptr, nullptr, thread, &e);
        if (r != 0) return fail(err, e);
        std::uint16_t serverPort = 0;
        bool viaIpv6 = false;
        vnx::REndpoint source;
        bool known = false;
        if (vnxmod::loopbackSource(src, serverPort, viaIpv6) && got <= 0xffff) {
            const auto len = static_cast<std::uint16_t>(got);
            known = (inFlags & MSG_PEEK) ? vnx::peekUdpSource(vnxmod::udpRecvTable(), serverPort, len, viaIpv6, source)
                                         : vnx::takeUdpSource(vnxmod::udpRecvTable(), serverPort, len, viaIpv6, source);
            if (known) {
                // Kept: a record purged before a slow reader got to its
                // datagram still has a source to report.
                st.cachePort = serverPort;
                st.cacheSource = source;
                update(s, st.layer, [&](SocketState& x) {
                    x.cachePort = serverPort;
                    x.cacheSource = source;
                });
            } else if (st.cachePort == serverPort && serverPort != 0) {
                source = st.cacheSource;
                known = true;
            }
        }
        if (st.virtualPeer && !(known && source == peerOf(st))) {
            // Only the server's recorded replies from the remembered peer,
            // as a connected socket would; anything else is dropped.
            if (inFlags & MSG_PEEK) {
                char scrap = 0;
                WSABUF one{1, &scrap};
                DWORD n = 0, f = 0;
                lower.lpWSPRecvFrom(s, &one, 1, &n, &f, nullptr, nullptr, nullptr, nullptr, thread, &e);
            }
            continue;
        }
        if (received) *received = got;
        if (flags) *flags = outFlags;
        if (from) {
            if (st.virtualPeer) {
                vnxmod::reportRaw(&st.peer, st.peerLen, from, fromlen);
            } else if (known) {
                vnxmod::reportAddress(source, st.family, from, fromlen);
            } else {
                vnxmod::reportRaw(&src, srcLen, from, fromlen);
            }
        }
        return 0;
    }
    return fail(err, WSAEWOULDBLOCK);
}

// --- socket life -------------------------------------------------------------

SOCKET WSPAPI socketHook(int af, int type, int protocol, LPWSAPROTOCOL_INFOW info, GROUP group, DWORD flags,
                         LPINT err) {
    Layer* layer = layerFor(info ? info->dwCatalogEntryId : 0);
    if (!layer) {
        if (err) *err = WSAEPROVIDERFAILEDINIT;
        return INVALID_SOCKET;
    }
    // A socket of our own entry is made by the next provider as one of its
    // own; a duplicated socket's entry is passed on as it came.
    LPWSAPROTOCOL_INFOW below =
        (info && info->dwCatalogEntryId == layer->catalogId && layer->next.ProtocolChain.ChainLen == BASE_PROTOCOL)
            ? &layer->next
            : info;
    SOCKET s = layer->lower.lpWSPSocket(af, type, protocol, below, group, flags, err);
    if (s != INVALID_SOCKET) {
        SocketState st;
        st.layer = layer;
        store(s, st);
    }
    return s;
}

SOCKET WSPAPI acceptHook(SOCKET s, sockaddr* addr, LPINT addrlen, LPCONDITIONPROC condition, DWORD_PTR context,
                         LPINT err) {
    SocketState st = stateOf(s);
    if (!st.layer) {
        if (err) *err = WSAENOTSOCK;
        return INVALID_SOCKET;
    }
    SOCKET n = st.layer->lower.lpWSPAccept(s, addr, addrlen, condition, context, err);
    if (n != INVALID_SOCKET) {
        SocketState ns;
        ns.layer = st.layer;
        store(n, ns);
    }
    return n;
}

int WSPAPI closeSocketHook(SOCKET s, LPINT err) {
    SocketState st;
    if (!take(s, st)) st.layer = layerFor(0);
    if (!st.layer) return fail(err, WSAENOTSOCK);
    if (st.tcpDiverted && st.pendingSlot) {
        // A connection that came up is the server's to match (it zeroes the
        // record); one that never did leaves a record nobody will use.
        sockaddr_storage peer;
        int len = sizeof peer;
        int e = 0;
        if (st.layer->lower.lpWSPGetPeerName(s, reinterpret_cast<sockaddr*>(&peer), &len, &e) != 0 &&
            stillOurs(st.pendingSlot, st.localPort, st.family == AF_INET6))
            vnxmod::tcpTable().clearSlot(st.pendingSlot);
    }
    return st.layer->lower.lpWSPCloseSocket(s, err);
}

}  // namespace

WSAPROTOCOL_INFOW chainBelow(const WSAPROTOCOL_INFOW& self) {
    WSAPROTOCOL_INFOW next = self;
    const int len = self.ProtocolChain.ChainLen;
    if (len < 2 || len > MAX_PROTOCOL_CHAIN) return next;
    for (int i = 1; i < len; ++i)
        next.ProtocolChain.ChainEntries[i - 1] = self.ProtocolChain.ChainEntries[i];
    next.ProtocolChain.ChainEntries[len - 1] = 0;
    next.ProtocolChain.ChainLen = len - 1;
    next.dwCatalogEntryId = self.ProtocolChain.ChainEntries[1];
    return next;
}

int startLayer(const WSAPROTOCOL_INFOW& self, const WSAPROTOCOL_INFOW& next, const WSPPROC_TABLE& lower,
               WSPPROC_TABLE& out) {
    // Without these the provider cannot do its part.
    if (!lower.lpWSPSocket || !lower.lpWSPAccept || !lower.lpWSPConnect || !lower.lpWSPIoctl || !lower.lpWSPSendTo ||
        !lower.lpWSPSend || !lower.lpWSPRecvFrom || !lower.lpWSPGetPeerName || !lower.lpWSPGetSockName ||
        !lower.lpWSPGetSockOpt || !lower.lpWSPBind || !lower.lpWSPCloseSocket)
        return WSAEPROVIDERFAILEDINIT;
    Layer* layer = nullptr;
    {
        std::lock_guard<std::mutex> g(gLayerLock);
        const int n = gLayerCount.load(std::memory_order_relaxed);
        for (int i = 0; i < n && !layer; ++i)
            if (gLayers[i].catalogId == self.dwCatalogEntryId) layer = &gLayers[i];
        if (!layer) {
            if (n == kMaxLayers) return WSAENOBUFS;
            layer = &gLayers[n];
            layer->catalogId = self.dwCatalogEntryId;
            layer->next = next;
            layer->lower = lower;
            gLayerCount.store(n + 1, std::memory_order_release);
        } else {
            // Started again (after a cleanup): the provider below may have
            // been loaded anew.
            layer->next = next;
            layer->lower = lower;
        }
    }
    out = lower;
    out.lpWSPSocket = socketHook;
    out.lpWSPAccept = acceptHook;
    out.lpWSPConnect = connectHook;
    out.lpWSPIoctl = ioctlHook;
    out.lpWSPSendTo = sendToHook;
    out.lpWSPSend = sendHook;
    out.lpWSPRecvFrom = recvFromHook;
    out.lpWSPGetPeerName = getPeerNameHook;
    out.lpWSPCloseSocket = closeSocketHook;
    return 0;
}

}  // namespace vnxlsp
