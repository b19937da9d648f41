// veilnoxlsp.dll loaded as Winsock would load it and started through its
// WSPStartup over a recording stand-in for the provider below (Wine routes
// nothing through providers). This test program plays the client (the
// proxy data block, with itself as the chosen program) and the local server
// (listeners on loopback, the slot tables read back through the shared
// code), and checks what reached the provider below and the server.
#include "lsp_fakelower.h"
#include "modulecontract.h"
#include "records.h"
#include "rendpoint.h"
#include "sharedmemory.h"
#include "veilnoxlsp.h"

#include <gtest/gtest.h>
#include <mswsock.h>

#include <cstring>
#include <string>
#include <vector>

using lsptest::addressText;
using lsptest::FakeLower;

namespace {

constexpr DWORD kLayerId = 5000;   // the provider's layered entry
constexpr DWORD kStreamId = 5001;  // its chains over TCP and UDP
constexpr DWORD kDgramId = 5002;
constexpr DWORD kTcpBaseId = 1001;
constexpr DWORD kUdpBaseId = 1002;

WSAPROTOCOL_INFOW chainEntry(DWORD id, DWORD base, int type, int protocol) {
    WSAPROTOCOL_INFOW info{};
    info.dwCatalogEntryId = id;
    info.ProtocolChain.ChainLen = 2;
    info.ProtocolChain.ChainEntries[0] = kLayerId;
    info.ProtocolChain.ChainEntries[1] = base;
    info.iAddressFamily = AF_INET;
    info.iSocketType = type;
    info.iProtocol = protocol;
    info.iVersion = 2;
    return info;
}

std::u16string selfName() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    p = p.substr(p.find_last_of(L"\\/") + 1);
    return std::u16string(p.begin(), p.end());
}

std::u16string upper(std::u16string s) {
    for (auto& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return s;
}

// "a.b.c.d:port" or "[v6]:port" to a socket address.
int parseAddress(const std::string& text, sockaddr_storage& out) {
    std::memset(&out, 0, sizeof out);
    const std::size_t colon = text.rfind(':');
    const unsigned short port = static_cast<unsigned short>(std::stoi(text.substr(colon + 1)));
    if (text[0] == '[') {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&out);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(port);
        inet_pton(AF_INET6, text.substr(1, colon - 2).c_str(), &s6->sin6_addr);
        return sizeof(sockaddr_in6);
    }
    auto* s4 = reinterpret_cast<sockaddr_in*>(&out);
    s4->sin_family = AF_INET;
    s4->sin_port = htons(port);
    inet_pton(AF_INET, text.substr(0, colon).c_str(), &s4->sin_addr);
    return sizeof(sockaddr_in);
}

std::string endpointText(const vnx::REndpoint& e) {
    sockaddr_storage sa;
    e.toSockaddr(sa);
    return addressText(reinterpret_cast<sockaddr*>(&sa));
}

std::uint16_t portOf(SOCKET s) {
    sockaddr_storage a{};
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&a)).port;  // network order
}

bool readable(SOCKET s, int ms) {
    WSAPOLLFD p{s, POLLRDNORM, 0};
    return WSAPoll(&p, 1, ms) == 1;
}

// A socket bound on loopback (127.0.0.1 or ::1) at port (host order, 0 any).
SOCKET boundSocket(int family, int type, unsigned short port) {
    SOCKET s = socket(family, type, 0);
    if (s == INVALID_SOCKET) return s;
    sockaddr_storage a{};
    int len;
    if (family == AF_INET6) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&a);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(port);
        s6->sin6_addr = in6addr_loopback;
        len = sizeof *s6;
    } else {
        auto* s4 = reinterpret_cast<sockaddr_in*>(&a);
        s4->sin_family = AF_INET;
        s4->sin_port = htons(port);
        s4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *s4;
    }
    if (bind(s, reinterpret_cast<sockaddr*>(&a), len) != 0 || (type == SOCK_STREAM && listen(s, 16) != 0)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

int recordsInUse(vnx::SlotTable& table) {
    int n = 0;
    for (int i = 0; i < vnx::kSlotCount; ++i)
        if (*static_cast<std::uint32_t*>(table.record(i)) != 0) ++n;
    return n;
}

// What the client publishes, as far as these tests vary it.
struct Published {
    bool connected = true;
    bool tcp = true;
    bool udp = true;
    bool dns = true;
    bool all = false;
    std::vector<std::u16string> rules = {u"self"};  // "self": this program's file name
    int tcpPort = -1;                               // -1: the test's listeners
    int udpPort = -1;
};

class LspProvider : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA wsa;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
        block_ = vnx::proxyData(true);
        ASSERT_NE(block_, nullptr);
        tcpTable_ = vnx::createTcpTable(true);
        udpSend_ = vnx::createUdpSendTable(true);
        udpRecv_ = vnx::createUdpRecvTable(true);

        wchar_t path[MAX_PATH];
        const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring dll(path, n);
        dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"veilnoxlsp.dll";
        module_ = LoadLibraryW(dll.c_str());
        ASSERT_NE(module_, nullptr) << "cannot load veilnoxlsp.dll: " << GetLastError();
        startup_ = reinterpret_cast<LPWSPSTARTUP>(reinterpret_cast<void*>(GetProcAddress(module_, "WSPStartup")));
        useNext_ = reinterpret_cast<VeilnoxLspUseNextProviderFn>(
            reinterpret_cast<void*>(GetProcAddress(module_, "VeilnoxLspUseNextProvider")));
        ASSERT_NE(startup_, nullptr) << "WSPStartup is not exported under its plain name";
        ASSERT_NE(useNext_, nullptr);
        useNext_(&FakeLower::startup);

        for (DWORD id : {kStreamId, kDgramId}) {
            WSAPROTOCOL_INFOW info = id == kStreamId ? chainEntry(kStreamId, kTcpBaseId, SOCK_STREAM, IPPROTO_TCP)
                                                     : chainEntry(kDgramId, kUdpBaseId, SOCK_DGRAM, IPPROTO_UDP);
            WSPDATA data{};
            WSPPROC_TABLE& table = id == kStreamId ? stream_ : dgram_;
            ASSERT_EQ(startup_(MAKEWORD(2, 2), &data, &info, WSPUPCALLTABLE{}, &table), 0);
        }

        // The local server's sockets: one port number for IPv4 and IPv6, as
        // the block has one TCP and one UDP port.
        for (int attempt = 0; attempt < 20 && udp4_ == INVALID_SOCKET; ++attempt) {
            closeAll();
            tcp4_ = boundSocket(AF_INET, SOCK_STREAM, 0);
            ASSERT_NE(tcp4_, INVALID_SOCKET);
            tcpPort_ = ntohs(portOf(tcp4_));
            tcp6_ = boundSocket(AF_INET6, SOCK_STREAM, tcpPort_);
            udp4_ = boundSocket(AF_INET, SOCK_DGRAM, 0);
            udpPort_ = ntohs(portOf(udp4_));
            udp6_ = boundSocket(AF_INET6, SOCK_DGRAM, udpPort_);
            if (tcp6_ == INVALID_SOCKET || udp6_ == INVALID_SOCKET) {
                // No IPv6 loopback here, or the port is taken on it: try
                // again, then go on with IPv4 only.
                if (attempt < 19) {
                    closesocket(udp4_);
                    udp4_ = INVALID_SOCKET;
                }
            }
        }
        ASSERT_NE(udp4_, INVALID_SOCKET);
        ipv6_ = tcp6_ != INVALID_SOCKET && udp6_ != INVALID_SOCKET;
    }

    static void TearDownTestSuite() {
        if (useNext_) useNext_(nullptr);
        closeAll();
    }

    static void closeAll() {
        for (SOCKET* s : {&tcp4_, &tcp6_, &udp4_, &udp6_}) {
            if (*s != INVALID_SOCKET) closesocket(*s);
            *s = INVALID_SOCKET;
        }
    }

    void SetUp() override {
        tcpTable_->clearAll();
        udpSend_->clearAll();
        udpRecv_->clearAll();
        FakeLower::clearCalls();
        apply(Published());
    }

    static void apply(const Published& s) {
        vnx::ProxyData& d = *block_;
        std::memset(&d, 0, sizeof d);
        d.data_mark = 2;
        d.client_window = 1;
        d.connected = s.connected ? 1 : 0;
        d.redirect_tcp = s.tcp ? 1 : 0;
        d.redirect_udp = s.udp ? 1 : 0;
        d.redirect_dns = s.dns ? 1 : 0;
        d.redirect_all_apps = s.all ? 1 : 0;
        d.tcp_port = static_cast<std::uint16_t>(s.tcpPort < 0 ? tcpPort_ : s.tcpPort);
        d.udp_port = static_cast<std::uint16_t>(s.udpPort < 0 ? udpPort_ : s.udpPort);
        int i = 0;
        for (std::u16string rule : s.rules) {
            if (rule == u"self") rule = selfName();
            std::memcpy(d.rules[i].name, rule.c_str(), (rule.size() + 1) * sizeof(char16_t));
            d.rules[i].enabled = 1;
            ++i;
        }
        d.rule_count = i;
    }

    static SOCKET newSocket(const WSPPROC_TABLE& t, int family, int type) {
        WSAPROTOCOL_INFOW info = type == SOCK_STREAM ? chainEntry(kStreamId, kTcpBaseId, SOCK_STREAM, IPPROTO_TCP)
                                                     : chainEntry(kDgramId, kUdpBaseId, SOCK_DGRAM, IPPROTO_UDP);
        info.iAddressFamily = family;
        int err = 0;
        SOCKET s = t.lpWSPSocket(family, type, type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP, &info, 0,
                                 WSA_FLAG_OVERLAPPED, &err);
        EXPECT_NE(s, INVALID_SOCKET) << err;
        DWORD timeout = 5000;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        return s;
    }

    static void closeSocket(const WSPPROC_TABLE& t, SOCKET s) {
        int err = 0;
        EXPECT_EQ(t.lpWSPCloseSocket(s, &err), 0);
    }

    static std::string serverText(int family, int port) {
        return (family == AF_INET6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port);
    }

    static std::string peerNameOf(const WSPPROC_TABLE& t, SOCKET s, int* errOut = nullptr) {
        sockaddr_storage peer{};
        int len = sizeof peer;
        int err = 0;
        if (t.lpWSPGetPeerName(s, reinterpret_cast<sockaddr*>(&peer), &len, &err) != 0) {
            if (errOut) *errOut = err;
            return "error " + std::to_string(err);
        }
        return addressText(reinterpret_cast<sockaddr*>(&peer));
    }

    // The server side of one diverted connection: accepts it and returns
    // the destination its record names ("none" without one).
    static std::string acceptDiverted(int family, bool& ownedByUs) {
        SOCKET listener = family == AF_INET6 ? tcp6_ : tcp4_;
        if (!readable(listener, 5000)) return "no connection";
        SOCKET c = accept(listener, nullptr, nullptr);
        sockaddr_storage from{};
        int len = sizeof from;
        getpeername(c, reinterpret_cast<sockaddr*>(&from), &len);
        closesocket(c);
        const vnx::REndpoint src = vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&from));
        vnx::TcpSlot* slot = tcpTable_->findTcpSlot(src.port, family == AF_INET6 ? 1 : 0);
        if (!slot) return "none";
        ownedByUs = slot->owner_pid == GetCurrentProcessId();
        const std::string dst = endpointText(vnx::slotDestination(*slot));
        tcpTable_->clearSlot(slot);  // as the server does once it used it
        return dst;
    }

    static vnx::ProxyData* block_;
    static vnx::SlotTable* tcpTable_;
    static vnx::SlotTable* udpSend_;
    static vnx::SlotTable* udpRecv_;
    static HMODULE module_;
    static LPWSPSTARTUP startup_;
    static VeilnoxLspUseNextProviderFn useNext_;
    static WSPPROC_TABLE stream_, dgram_;
    static SOCKET tcp4_, tcp6_, udp4_, udp6_;
    static int tcpPort_, udpPort_;
    static bool ipv6_;
};

vnx::ProxyData* LspProvider::block_ = nullptr;
vnx::SlotTable* LspProvider::tcpTable_ = nullptr;
vnx::SlotTable* LspProvider::udpSend_ = nullptr;
vnx::SlotTable* LspProvider::udpRecv_ = nullptr;
HMODULE LspProvider::module_ = nullptr;
LPWSPSTARTUP LspProvider::startup_ = nullptr;
VeilnoxLspUseNextProviderFn LspProvider::useNext_ = nullptr;
WSPPROC_TABLE LspProvider::stream_{};
WSPPROC_TABLE LspProvider::dgram_{};
SOCKET LspProvider::tcp4_ = INVALID_SOCKET;
SOCKET LspProvider::tcp6_ = INVALID_SOCKET;
SOCKET LspProvider::udp4_ = INVALID_SOCKET;
SOCKET LspProvider::udp6_ = INVALID_SOCKET;
int LspProvider::tcpPort_ = 0;
int LspProvider::udpPort_ = 0;
bool LspProvider::ipv6_ = false;

TEST_F(LspProvider, StartsTheNextLinkAndLayersOverItsTable) {
    // Started for each chain with the chain less its first link: the base
    // provider's own entry.
    const std::vector<WSAPROTOCOL_INFOW> started = FakeLower::startedFor();
    ASSERT_GE(started.size(), 2u);
    EXPECT_EQ(started[0].dwCatalogEntryId, kTcpBaseId);
    EXPECT_EQ(started[0].ProtocolChain.ChainLen, BASE_PROTOCOL);
    EXPECT_EQ(started[1].dwCatalogEntryId, kUdpBaseId);

    // Wrapped functions are the provider's; the rest are the next one's.
    const WSPPROC_TABLE lower = FakeLower::table();
    EXPECT_NE(stream_.lpWSPConnect, lower.lpWSPConnect);
    EXPECT_NE(stream_.lpWSPSendTo, lower.lpWSPSendTo);
    EXPECT_NE(stream_.lpWSPRecvFrom, lower.lpWSPRecvFrom);
    EXPECT_NE(stream_.lpWSPGetPeerName, lower.lpWSPGetPeerName);
    EXPECT_NE(stream_.lpWSPCloseSocket, lower.lpWSPCloseSocket);
    EXPECT_NE(stream_.lpWSPIoctl, lower.lpWSPIoctl);
    EXPECT_EQ(stream_.lpWSPBind, lower.lpWSPBind);
    EXPECT_EQ(stream_.lpWSPListen, lower.lpWSPListen);
    EXPECT_EQ(stream_.lpWSPRecv, lower.lpWSPRecv);
    EXPECT_EQ(stream_.lpWSPSetSockOpt, lower.lpWSPSetSockOpt);
    EXPECT_EQ(stream_.lpWSPCleanup, lower.lpWSPCleanup);

    struct Refusal {
        const char* what;
        WORD version;
        int chainLen;
        bool catalog;  // find the next provider in the catalog
        int error;
    } refusals[] = {
        {"Winsock 1.1", MAKEWORD(1, 1), 2, false, WSAVERNOTSUPPORTED},
        {"not a chain", MAKEWORD(2, 2), BASE_PROTOCOL, false, WSAEPROVIDERFAILEDINIT},
        {"layered entry itself", MAKEWORD(2, 2), LAYERED_PROTOCOL, false, WSAEPROVIDERFAILEDINIT},
        {"next link not in the catalog", MAKEWORD(2, 2), 2, true, WSAEPROVIDERFAILEDINIT},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        WSAPROTOCOL_INFOW info = chainEntry(6001, 0x7ffffff0, SOCK_STREAM, IPPROTO_TCP);
        info.ProtocolChain.ChainLen = r.chainLen;
        if (r.catalog) useNext_(nullptr);
        WSPDATA data{};
        WSPPROC_TABLE table{};
        EXPECT_EQ(startup_(r.version, &data, &info, WSPUPCALLTABLE{}, &table), r.error);
        useNext_(&FakeLower::startup);
    }
}

TEST_F(LspProvider, ConnectionsOfTheChosenProgramGoToTheLocalServer) {
    enum Outcome { Diverted, Direct, Loopback, Refused };
    Published chosen;
    Published byStem;
    byStem.rules = {u"other.exe", upper(selfName().substr(0, selfName().size() - 4))};
    Published byPath;
    byPath.rules = {u"C:\\Program Files\\Some Folder\\" + upper(selfName())};
    Published everyProgram;
    everyProgram.all = true;
    everyProgram.rules = {};
    Published notChosen;
    notChosen.rules = {u"other.exe", u"firefox.exe"};
    Published disconnected;
    disconnected.connected = false;
    Published tcpOff;
    tcpOff.tcp = false;
    Published noServer;
    noServer.tcpPort = 0;
    Published serverGone;
    {
        SOCKET probe = boundSocket(AF_INET, SOCK_STREAM, 0);
        serverGone.tcpPort = ntohs(portOf(probe));  // nobody listens there once closed
        closesocket(probe);
    }

    struct Case {
        const char* what;
        Published setup;
        int family;
        std::string dst;
        Outcome outcome;
    } cases[] = {
        {"chosen by its file name", chosen, AF_INET, "192.0.2.10:80", Diverted},
        {"chosen by its name without .exe, other case", byStem, AF_INET, "192.0.2.11:443", Diverted},
        {"chosen by a rule holding a path", byPath, AF_INET, "192.0.2.12:8080", Diverted},
        {"every program chosen", everyProgram, AF_INET, "198.51.100.7:25", Diverted},
        {"IPv6 destination", chosen, AF_INET6, "[2001:db8::10]:443", Diverted},
        {"IPv4-mapped destination on an IPv6 socket", chosen, AF_INET6, "[::ffff:192.0.2.13]:80", Diverted},
        {"not chosen", notChosen, AF_INET, "192.0.2.10:80", Direct},
        {"disconnected", disconnected, AF_INET, "192.0.2.10:80", Direct},
        {"TCP redirection off", tcpOff, AF_INET, "192.0.2.10:80", Direct},
        {"loopback destination", chosen, AF_INET, "127.0.0.1:" + std::to_string(tcpPort_), Loopback},
        {"local server not started", noServer, AF_INET, "192.0.2.10:80", Refused},
        {"local server not listening", serverGone, AF_INET, "192.0.2.10:80", Refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.family == AF_INET6 && !ipv6_) {
            std::printf("no IPv6 loopback here: \"%s\" not checked\n", c.what);
            continue;
        }
        apply(c.setup);
        FakeLower::clearCalls();
        SOCKET s = newSocket(stream_, c.family, SOCK_STREAM);
        sockaddr_storage dst;
        const int dstLen = parseAddress(c.dst, dst);
        int err = 0;
        const int r = stream_.lpWSPConnect(s, reinterpret_cast<sockaddr*>(&dst), dstLen, nullptr, nullptr, nullptr,
                                           nullptr, &err);
        const int serverPort = c.setup.tcpPort < 0 ? tcpPort_ : c.setup.tcpPort;
        switch (c.outcome) {
            case Diverted: {
                ASSERT_EQ(r, 0) << err;
                EXPECT_EQ(FakeLower::last("connect"), serverText(c.family, tcpPort_));
                bool ours = false;
                const std::string recorded = acceptDiverted(c.family, ours);
                const std::string want = c.dst.rfind("[::ffff:", 0) == 0
                                             ? c.dst.substr(8, c.dst.find(']') - 8) + c.dst.substr(c.dst.find(']') + 1)
                                             : c.dst;
                EXPECT_EQ(recorded, want);
                EXPECT_TRUE(ours) << "owner_pid is this process";
                EXPECT_EQ(peerNameOf(stream_, s), c.dst) << "the program sees the real destination";
                break;
            }
            case Direct:
                EXPECT_EQ(r, SOCKET_ERROR);
                EXPECT_EQ(err, WSAENETUNREACH) << "the stand-in refuses what would leave the machine";
                EXPECT_EQ(FakeLower::last("connect"), c.dst) << "passed on untouched";
                break;
            case Loopback:
                ASSERT_EQ(r, 0) << err;
                EXPECT_EQ(FakeLower::last("connect"), c.dst);
                ASSERT_TRUE(readable(tcp4_, 5000));
                closesocket(accept(tcp4_, nullptr, nullptr));
                EXPECT_EQ(peerNameOf(stream_, s), c.dst);
                break;
            case Refused:
                EXPECT_EQ(r, SOCKET_ERROR);
                EXPECT_EQ(err, WSAECONNREFUSED);
                if (serverPort == 0)
                    EXPECT_EQ(FakeLower::last("connect"), "") << "nothing is connected";
                else
                    EXPECT_EQ(FakeLower::last("connect"), serverText(AF_INET, serverPort)) << "never direct";
                break;
        }
        EXPECT_EQ(recordsInUse(*tcpTable_), 0) << "no record left behind";
        closeSocket(stream_, s);
    }
}

TEST_F(LspProvider, ConnectExIsDivertedToo) {
    SOCKET s = newSocket(stream_, AF_INET, SOCK_STREAM);
    GUID id = WSAID_CONNECTEX;
    LPFN_CONNECTEX connectEx = nullptr;
    DWORD bytes = 0;
    int err = 0;
    ASSERT_EQ(stream_.lpWSPIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &connectEx, sizeof connectEx,
                                 &bytes, nullptr, nullptr, nullptr, &err),
              0)
        << err;
    ASSERT_NE(connectEx, nullptr);

    struct Case {
        const char* what;
        bool chosen;
        const char* dst;
    } cases[] = {{"chosen", true, "192.0.2.20:443"}, {"not chosen", false, "192.0.2.21:443"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Published setup;
        if (!c.chosen) setup.rules = {u"other.exe"};
        apply(setup);
        FakeLower::clearCalls();
        SOCKET t = newSocket(stream_, AF_INET, SOCK_STREAM);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        ASSERT_EQ(stream_.lpWSPBind(t, reinterpret_cast<sockaddr*>(&any), sizeof any, &err), 0);
        sockaddr_storage dst;
        const int dstLen = parseAddress(c.dst, dst);
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const BOOL ok = connectEx(t, reinterpret_cast<sockaddr*>(&dst), dstLen, nullptr, 0, nullptr, &ov);
        const DWORD le = ok ? 0 : GetLastError();
        if (c.chosen) {
            ASSERT_TRUE(ok || le == ERROR_IO_PENDING) << le;
            EXPECT_EQ(FakeLower::last("connectex"), serverText(AF_INET, tcpPort_));
            ASSERT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
            setsockopt(t, SOL_SOCKET, SO_UPDATE_CONNECT_CONTEXT, nullptr, 0);
            bool ours = false;
            EXPECT_EQ(acceptDiverted(AF_INET, ours), c.dst);
            EXPECT_TRUE(ours);
            EXPECT_EQ(peerNameOf(stream_, t), c.dst);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(le, static_cast<DWORD>(WSAENETUNREACH));
            EXPECT_EQ(FakeLower::last("connectex"), c.dst) << "passed on untouched";
        }
        EXPECT_EQ(recordsInUse(*tcpTable_), 0);
        CloseHandle(ov.hEvent);
        closeSocket(stream_, t);
    }
    closeSocket(stream_, s);
}

// The server's side of one diverted datagram: receives it, finds its
// record by source port, checksum and length, and answers from a reply
// socket of its own after writing the UDPRECV record that names the real
// destination as the source, as the local server does.
struct ServedDatagram {
    std::string payload;
    std::string recordedDestination = "none";
    bool ownedByUs = false;
    bool stampFresh = false;
};

ServedDatagram serveDatagram(SOCKET server, vnx::SlotTable& send, vnx::SlotTable& recv, bool v6,
                             const std::string& reply, bool answer = true) {
    ServedDatagram out;
    if (!readable(server, 5000)) return out;
    char buf[9000];
    sockaddr_storage from{};
    int len = sizeof from;
    const int n = recvfrom(server, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return out;
    out.payload.assign(buf, static_cast<std::size_t>(n));
    const vnx::REndpoint app = vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&from));
    vnx::UdpSlot* slot = send.findUdpSlot(app.port, vnx::payloadChecksum(buf, static_cast<std::size_t>(n)),
                                          static_cast<std::uint16_t>(n), v6 ? 1 : 0);
    if (!slot) return out;
    const vnx::REndpoint dst = vnx::slotPeer(*slot);
    out.recordedDestination = endpointText(dst);
    out.ownedByUs = slot->owner_pid == GetCurrentProcessId();
    out.stampFresh = GetTickCount() - slot->stamp < 5000;
    send.clearSlot(slot);
    if (!answer) return out;
    SOCKET replySocket = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    sockaddr_storage local{};
    local.ss_family = static_cast<ADDRESS_FAMILY>(v6 ? AF_INET6 : AF_INET);
    if (v6)
        reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr = in6addr_loopback;
    else
        reinterpret_cast<sockaddr_in*>(&local)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(replySocket, reinterpret_cast<sockaddr*>(&local), v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    auto* r = static_cast<vnx::UdpSlot*>(recv.claimSlot());
    if (r) {
        r->local_port = portOf(replySocket);
        r->is_ipv6 = v6 ? 1 : 0;
        r->peer_port = dst.port;
        r->peer_addr4 = dst.ipv4;
        std::memcpy(r->peer_addr6, dst.ipv6, 16);
        r->stamp = GetTickCount();
        r->length = static_cast<std::uint16_t>(reply.size());
    }
    sendto(replySocket, reply.data(), static_cast<int>(reply.size()), 0, reinterpret_cast<sockaddr*>(&from), len);
    closesocket(replySocket);
    return out;
}

std::string receiveFrom(const WSPPROC_TABLE& t, SOCKET s, std::string& source) {
    char buf[2048];
    WSABUF wb{sizeof buf, buf};
    DWORD got = 0, flags = 0;
    sockaddr_storage from{};
    int fromLen = sizeof from;
    int err = 0;
    if (t.lpWSPRecvFrom(s, &wb, 1, &got, &flags, reinterpret_cast<sockaddr*>(&from), &fromLen, nullptr, nullptr,
                        nullptr, &err) != 0) {
        source = "error " + std::to_string(err);
        return std::string();
    }
    source = addressText(reinterpret_cast<sockaddr*>(&from));
    return std::string(buf, got);
}

int sendTo(const WSPPROC_TABLE& t, SOCKET s, const std::string& payload, const std::string& to, int* err) {
    sockaddr_storage dst;
    const int dstLen = parseAddress(to, dst);
    WSABUF wb{static_cast<ULONG>(payload.size()), const_cast<char*>(payload.data())};
    DWORD sent = 0;
    const int r =
        t.lpWSPSendTo(s, &wb, 1, &sent, 0, reinterpret_cast<sockaddr*>(&dst), dstLen, nullptr, nullptr, nullptr, err);
    if (r == 0 && sent != payload.size()) return -2;
    return r;
}

TEST_F(LspProvider, DatagramsOfTheChosenProgramGoToTheLocalServer) {
    Published chosen;
    Published dnsOnly;
    dnsOnly.udp = false;
    Published notChosen;
    notChosen.rules = {u"other.exe"};
    Published disconnected;
    disconnected.connected = false;
    Published noServer;
    noServer.udpPort = 0;

    enum Outcome { Diverted, Direct, Refused };
    struct Case {
        const char* what;
        Published setup;
        int family;
        std::string dst;
        Outcome outcome;
    } cases[] = {
        {"chosen", chosen, AF_INET, "192.0.2.30:5000", Diverted},
        {"IPv6 destination", chosen, AF_INET6, "[2001:db8::30]:5000", Diverted},
        {"DNS with only DNS redirected", dnsOnly, AF_INET, "192.0.2.53:53", Diverted},
        {"other datagrams with only DNS redirected", dnsOnly, AF_INET, "192.0.2.30:5000", Direct},
        {"not chosen", notChosen, AF_INET, "192.0.2.30:5000", Direct},
        {"disconnected", disconnected, AF_INET, "192.0.2.30:5000", Direct},
        {"loopback destination", chosen, AF_INET, "127.0.0.1:" + std::to_string(udpPort_), Direct},
        {"local server not started", noServer, AF_INET, "192.0.2.30:5000", Refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.family == AF_INET6 && !ipv6_) {
            std::printf("no IPv6 loopback here: \"%s\" not checked\n", c.what);
            continue;
        }
        apply(c.setup);
        FakeLower::clearCalls();
        SOCKET s = newSocket(dgram_, c.family, SOCK_DGRAM);
        const std::string payload = std::string("query of ") + c.what;
        int err = 0;
        const int r = sendTo(dgram_, s, payload, c.dst, &err);
        const bool v6 = c.family == AF_INET6;
        if (c.outcome == Diverted) {
            ASSERT_EQ(r, 0) << err;
            EXPECT_EQ(FakeLower::last("sendto"), serverText(c.family, udpPort_));
            const ServedDatagram served = serveDatagram(v6 ? udp6_ : udp4_, *udpSend_, *udpRecv_, v6, "answer");
            EXPECT_EQ(served.payload, payload) << "sent unchanged";
            EXPECT_EQ(served.recordedDestination, c.dst);
            EXPECT_TRUE(served.ownedByUs);
            EXPECT_TRUE(served.stampFresh);
            std::string source;
            EXPECT_EQ(receiveFrom(dgram_, s, source), "answer");
            EXPECT_EQ(source, c.dst) << "the reply comes from the real destination";
            EXPECT_EQ(recordsInUse(*udpRecv_), 0) << "its record was used up";
        } else if (c.outcome == Direct && c.dst.rfind("127.", 0) == 0) {
            ASSERT_EQ(r, 0) << err;
            EXPECT_EQ(FakeLower::last("sendto"), c.dst);
            const ServedDatagram served = serveDatagram(udp4_, *udpSend_, *udpRecv_, false, "", false);
            EXPECT_EQ(served.payload, payload);
            EXPECT_EQ(served.recordedDestination, "none");
        } else if (c.outcome == Direct) {
            EXPECT_EQ(r, SOCKET_ERROR);
            EXPECT_EQ(err, WSAENETUNREACH);
            EXPECT_EQ(FakeLower::last("sendto"), c.dst) << "passed on untouched";
        } else {
            EXPECT_EQ(r, SOCKET_ERROR);
            EXPECT_EQ(err, WSAENETUNREACH);
            EXPECT_EQ(FakeLower::last("sendto"), "") << "nothing sent";
        }
        EXPECT_EQ(recordsInUse(*udpSend_), 0) << "no record left behind";
        closeSocket(dgram_, s);
    }

    // Larger than the server relays: refused, never sent directly.
    apply(Published());
    FakeLower::clearCalls();
    SOCKET s = newSocket(dgram_, AF_INET, SOCK_DGRAM);
    int err = 0;
    EXPECT_EQ(sendTo(dgram_, s, std::string(vnx::kMaxDivertedPayload + 1, 'x'), "192.0.2.30:5000", &err), SOCKET_ERROR);
    EXPECT_EQ(err, WSAEMSGSIZE);
    EXPECT_TRUE(FakeLower::calls().empty());
    EXPECT_EQ(recordsInUse(*udpSend_), 0);

    // A datagram from another socket on this machine, without a record, is
    // reported with its own source.
    ASSERT_EQ(sendTo(dgram_, s, "one", "192.0.2.30:5000", &err), 0) << err;
    serveDatagram(udp4_, *udpSend_, *udpRecv_, false, "", false);
    SOCKET other = boundSocket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_storage appAddr{};
    int appLen = sizeof appAddr;
    getsockname(s, reinterpret_cast<sockaddr*>(&appAddr), &appLen);
    reinterpret_cast<sockaddr_in*>(&appAddr)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(other, "local", 5, 0, reinterpret_cast<sockaddr*>(&appAddr), appLen);
    std::string source;
    EXPECT_EQ(receiveFrom(dgram_, s, source), "local");
    EXPECT_EQ(source, serverText(AF_INET, ntohs(portOf(other))));
    closesocket(other);
    closeSocket(dgram_, s);
}

TEST_F(LspProvider, ConnectedDatagramSocketsKeepTheirPeerHere) {
    SOCKET s = newSocket(dgram_, AF_INET, SOCK_DGRAM);
    sockaddr_storage peer;
    const int peerLen = parseAddress("192.0.2.40:7000", peer);
    int err = 0;
    ASSERT_EQ(
        dgram_.lpWSPConnect(s, reinterpret_cast<sockaddr*>(&peer), peerLen, nullptr, nullptr, nullptr, nullptr, &err),
        0)
        << err;
    EXPECT_EQ(FakeLower::last("connect"), "") << "not connected below, so that the server's replies arrive";
    EXPECT_EQ(peerNameOf(dgram_, s), "192.0.2.40:7000");

    WSABUF wb{4, const_cast<char*>("ping")};
    DWORD sent = 0;
    ASSERT_EQ(dgram_.lpWSPSend(s, &wb, 1, &sent, 0, nullptr, nullptr, nullptr, &err), 0) << err;
    EXPECT_EQ(FakeLower::last("sendto"), serverText(AF_INET, udpPort_));

    // A datagram from another local socket arrives first; a connected
    // socket would never see it, so it is dropped; the recorded reply is
    // reported as coming from the peer.
    SOCKET other = boundSocket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_storage appAddr{};
    int appLen = sizeof appAddr;
    getsockname(s, reinterpret_cast<sockaddr*>(&appAddr), &appLen);
    reinterpret_cast<sockaddr_in*>(&appAddr)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(other, "forged", 6, 0, reinterpret_cast<sockaddr*>(&appAddr), appLen);
    closesocket(other);
    const ServedDatagram served = serveDatagram(udp4_, *udpSend_, *udpRecv_, false, "pong");
    EXPECT_EQ(served.payload, "ping");
    EXPECT_EQ(served.recordedDestination, "192.0.2.40:7000");
    std::string source;
    EXPECT_EQ(receiveFrom(dgram_, s, source), "pong");
    EXPECT_EQ(source, "192.0.2.40:7000");

    // Connected again to a destination that is not diverted: given to the
    // provider below, and the remembered peer is gone.
    const std::string local = "127.0.0.1:" + std::to_string(udpPort_);
    const int localLen = parseAddress(local, peer);
    ASSERT_EQ(
        dgram_.lpWSPConnect(s, reinterpret_cast<sockaddr*>(&peer), localLen, nullptr, nullptr, nullptr, nullptr, &err),
        0)
        << err;
    EXPECT_EQ(FakeLower::last("connect"), local);
    EXPECT_EQ(peerNameOf(dgram_, s), local);
    closeSocket(dgram_, s);
}

}  // namespace
