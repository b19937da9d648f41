// libFuzzer target: arbitrary bytes as an application datagram handed to the
// registry's OnGetRemoteAddr (with and without a matching UDPSEND record,
// direct and through the proxy server), as the answer handed to
// OnSendToClient, and as a TCP slot record read by OnGetDestAddr. The
// registry must never read or write outside the relay buffer, and the data
// it hands back must stay inside it.
//
// Runs in namespaces of its own (private /dev/shm), like the test suites.
#include "isolation.h"
#include "modulecontract.h"
#include "platform/system.h"
#include "processnames.h"
#include "records.h"
#include "relayheader.h"
#include "rlocalserver.h"
#include "rudptunnel.h"
#include "sharedmemory.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct World {
    vnx::ProxyData* proxy = nullptr;
    RLocalServer* registry = nullptr;
    vnx::SlotTable* udpSend = nullptr;
    vnx::SlotTable* tcp = nullptr;
    RUdpTunnel* tunnel = nullptr;
};

// A small, fixed process list: no /proc walk per input.
bool fewProcesses(std::vector<std::pair<std::uint32_t, std::string>>& out) {
    out = {{1, "init"}, {vnxplat::currentProcessId(), "fuzzer"}};
    return true;
}

World& world() {
    static World w;
    return w;
}

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!vnxtest::isolateProcess()) std::abort();
    // The registry's refusal lines would flood the output.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    ProcessNames::setSnapshotSource(&fewProcesses);
    World& w = world();
    w.proxy = vnx::proxyData(true);
    w.registry = new RLocalServer();
    w.udpSend = vnx::createUdpSendTable(false);
    w.tcp = vnx::createTcpTable(false);
    vnx::REndpoint client;
    client.ipv4 = htonl(INADDR_LOOPBACK);
    client.port = htons(40000);
    vnx::REndpoint remote;
    remote.ipv4 = htonl(0x7f000009);
    remote.port = htons(7000);
    w.tunnel = new RUdpTunnel(client, remote);
    check(w.proxy && w.udpSend->base() && w.tcp->base() && w.registry->OnTunnelCreate(w.tunnel, 1));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size < 2) return 0;
    World& w = world();
    const std::uint8_t flags = input[0];
    const std::size_t split = 2 + (size - 2) * input[1] / 255;
    const std::uint8_t* first = input + 2;
    const std::size_t firstLen = split - 2;
    const std::uint8_t* second = input + split;
    const std::size_t secondLen = size - split;

    // The proxy settings, as another process may have left them.
    std::memset(w.proxy->proxy_ip, 0, sizeof w.proxy->proxy_ip);
    if (flags & 1) std::strcpy(w.proxy->proxy_ip, "127.0.0.9");
    w.proxy->proxy_port = (flags & 2) ? 7000 : 0;
    w.proxy->encrypt_data = (flags & 4) ? 1 : 0;
    std::strcpy(w.proxy->proxy_protocol, "private");

    // An application datagram in a relay buffer with 32 bytes of headroom.
    static std::uint8_t buffer[RUdpServer::kBufferSize];
    const int headroom = 32;
    const std::size_t cap = sizeof buffer - headroom;
    const std::size_t len = firstLen < cap ? firstLen : cap;
    std::memcpy(buffer + headroom, first, len);
    vnx::REndpoint client;
    const bool ipv6 = (flags & 8) != 0;
    if (ipv6) {
        client.ipv6[15] = 1;
    } else {
        client.ipv4 = htonl(INADDR_LOOPBACK);
    }
    client.port = htons(static_cast<std::uint16_t>(40000 + (flags >> 5)));
    if (flags & 16) {
        // The module's record for it, with a destination taken from the input.
        vnx::REndpoint dest;
        if (secondLen >= 22) {
            std::memcpy(&dest.ipv4, second, 4);
            std::memcpy(dest.ipv6, second + 4, 16);
            std::memcpy(&dest.port, second + 20, 2);
        }
        vnx::publishUdpDestination(*w.udpSend, client.port, ipv6, dest, buffer + headroom, len, vnxplat::tickCount());
    }
    std::uint8_t* data = buffer + headroom;
    int length = static_cast<int>(len);
    vnx::REndpoint remote;
    std::uint8_t mask = 0;
    std::uint32_t pid = 0;
    if (w.registry->OnGetRemoteAddr(client, remote, data, length, mask, !ipv6, pid)) {
        check(data >= buffer && length >= 0 && data + length <= buffer + sizeof buffer);
        check(static_cast<std::size_t>(length) == len || static_cast<std::size_t>(length) == len + 32);
    }
    w.udpSend->clearAll();

    // An answer from the remote side.
    const std::size_t answerLen = secondLen < cap ? secondLen : cap;
    std::memcpy(buffer + headroom, second, answerLen);
    data = buffer + headroom;
    length = static_cast<int>(answerLen);
    vnx::REndpoint from;
    from.ipv4 = htonl(0x7f000009);
    from.port = htons(7000);
    w.registry->OnSendToClient(w.tunnel, from, data, length);
    check(data >= buffer && length >= 0 && data + length <= buffer + sizeof buffer);
    check(static_cast<std::size_t>(length) <= answerLen);
    w.registry->udprecv_table->clearAll();

    // A TCP slot record with arbitrary content, found by its key.
    if (secondLen >= sizeof(vnx::TcpSlot)) {
        auto* slot = static_cast<vnx::TcpSlot*>(w.tcp->record(static_cast<int>(flags) * 8));
        std::memcpy(slot, second, sizeof(vnx::TcpSlot));
        if (slot->owner_pid == 0) slot->owner_pid = 1;
        vnx::REndpoint peer;
        if (slot->is_ipv6)
            peer.ipv6[15] = 1;
        else
            peer.ipv4 = htonl(INADDR_LOOPBACK);
        peer.port = slot->local_port;
        vnx::REndpoint dest;
        bool maskData = false;
        std::string app;
        if (slot->is_ipv6 <= 1) check(w.registry->OnGetDestAddr(peer, dest, maskData, app));
        w.tcp->clearAll();
    }
    return 0;
}
