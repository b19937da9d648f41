#pragma once
// The named objects as the client and the module use them, for tests that
// play those sides against the real veilnoxsvr or the module: the proxy
// data block written as the client writes it, and the slot tables opened as
// the module opens them. Main thread of the test.
#include "records.h"
#include "rendpoint.h"
#include "sharedmemory.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vnxtest {

// Creates (and holds for the rest of the test process) the proxy data block,
// as the client does, with a non-zero client window.
vnx::ProxyData* createProxyBlock();
// Points the block at a proxy server (or none with port 0).
void setProxy(vnx::ProxyData* block, const char* ip, std::uint16_t port, const char* protocol, bool encrypt);

// The three slot tables as the module opens them (the server must exist).
struct ModuleTables {
    ModuleTables() = default;
    ~ModuleTables();
    ModuleTables(const ModuleTables&) = delete;
    ModuleTables& operator=(const ModuleTables&) = delete;
    vnx::SlotTable* tcp = nullptr;
    vnx::SlotTable* udpSend = nullptr;
    vnx::SlotTable* udpRecv = nullptr;
    bool open();
};

// A whole proxy data block as the client publishes it.
struct BlockSettings {
    bool connected = true;
    bool tcp = true;
    bool udp = true;
    bool dns = true;
    bool allApps = true;
    std::vector<std::u16string> rules;
    std::uint16_t tcpPort = vnx::kLocalServerPort;
    std::uint16_t udpPort = vnx::kLocalServerPort;
    std::string proxyIp;  // the relay, when set
    std::uint16_t proxyPort = 0;
    std::string protocol = "private";
    bool encrypt = true;
};
// Creates (first call) and fills the proxy data block.
vnx::ProxyData* writeProxyBlock(const BlockSettings& s);
// Fills a block the caller has mapped (another user's, say).
void fillProxyBlock(vnx::ProxyData* d, const BlockSettings& s);

// "192.0.2.10:80" or "[2001:db8::10]:80".
std::string endpointText(const vnx::REndpoint& e);

}  // namespace vnxtest
