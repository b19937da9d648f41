#include "namedobjects.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace vnxtest {

vnx::ProxyData* createProxyBlock() {
    vnx::ProxyData* block = vnx::proxyData(true);
    if (block) block->client_window = 0x10101;
    return block;
}

void setProxy(vnx::ProxyData* block, const char* ip, std::uint16_t port, const char* protocol, bool encrypt) {
    std::memset(block->proxy_ip, 0, sizeof block->proxy_ip);
    std::memset(block->proxy_protocol, 0, sizeof block->proxy_protocol);
    std::strncpy(block->proxy_ip, ip, sizeof block->proxy_ip - 1);
    std::strncpy(block->proxy_protocol, protocol, sizeof block->proxy_protocol - 1);
    block->proxy_port = port;
    block->encrypt_data = encrypt ? 1 : 0;
}

ModuleTables::~ModuleTables() {
    delete tcp;
    delete udpSend;
    delete udpRecv;
}

bool ModuleTables::open() {
    if (!tcp) tcp = vnx::createTcpTable(false);
    if (!udpSend) udpSend = vnx::createUdpSendTable(false);
    if (!udpRecv) udpRecv = vnx::createUdpRecvTable(false);
    return tcp->base() && udpSend->base() && udpRecv->base();
}

vnx::ProxyData* writeProxyBlock(const BlockSettings& s) {
    vnx::ProxyData* d = vnx::proxyData(true);
    if (!d) return nullptr;
    fillProxyBlock(d, s);
    return d;
}

void fillProxyBlock(vnx::ProxyData* d, const BlockSettings& s) {
    std::memset(d, 0, sizeof *d);
    d->data_mark = 2;
    d->redirect_tcp = s.tcp;
    d->redirect_udp = s.udp;
    d->redirect_dns = s.dns;
    d->redirect_all_apps = s.allApps;
    d->tcp_port = s.tcpPort;
    d->udp_port = s.udpPort;
    for (std::size_t i = 0; i < s.rules.size() && i < vnx::kMaxRules; ++i) {
        std::memcpy(d->rules[i].name, s.rules[i].data(), std::min<std::size_t>(s.rules[i].size(), 127) * 2);
        d->rules[i].enabled = 1;
    }
    d->rule_count = static_cast<std::int32_t>(s.rules.size());
    if (!s.proxyIp.empty()) {
        vnx::copyField(d->proxy_ip, sizeof d->proxy_ip, s.proxyIp.c_str(), s.proxyIp.size() + 1);
        d->proxy_port = s.proxyPort;
        vnx::copyField(d->proxy_protocol, sizeof d->proxy_protocol, s.protocol.c_str(), s.protocol.size() + 1);
    }
    d->encrypt_data = s.encrypt;
    d->client_window = 1;
    d->connected = s.connected;
}

std::string endpointText(const vnx::REndpoint& e) {
    char buf[INET6_ADDRSTRLEN] = "";
    if (e.ipv4) {
        inet_ntop(AF_INET, &e.ipv4, buf, sizeof buf);
        return std::string(buf) + ":" + std::to_string(ntohs(e.port));
    }
    inet_ntop(AF_INET6, e.ipv6, buf, sizeof buf);
    return "[" + std::string(buf) + "]:" + std::to_string(ntohs(e.port));
}

}  // namespace vnxtest
