#include "lsp_fakelower.h"

#include <mswsock.h>

#include <cstring>
#include <mutex>

namespace lsptest {

namespace {

std::mutex gLock;
std::vector<std::string> gCalls;
std::vector<WSAPROTOCOL_INFOW> gStarted;

void record(const std::string& call) {
    std::lock_guard<std::mutex> g(gLock);
    gCalls.push_back(call);
}

bool onThisMachine(const sockaddr* sa) {
    if (sa->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr) >> 24) == 127;
    if (sa->sa_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr.s6_addr;
        static const unsigned char kLoop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        return std::memcmp(a, kLoop, 16) == 0 || (std::memcmp(a, kMapped, 12) == 0 && a[12] == 127);
    }
    return false;
}

int result(int r, LPINT err) {
    if (r == SOCKET_ERROR && err) *err = WSAGetLastError();
    return r;
}

int refuse(LPINT err) {
    if (err) *err = WSAENETUNREACH;
    return SOCKET_ERROR;
}

SOCKET WSPAPI fakeSocket(int af, int type, int protocol, LPWSAPROTOCOL_INFOW, GROUP, DWORD flags, LPINT err) {
    SOCKET s = WSASocketW(af, type, protocol, nullptr, 0, flags);
    if (s == INVALID_SOCKET && err) *err = WSAGetLastError();
    return s;
}

SOCKET WSPAPI fakeAccept(SOCKET s, sockaddr* addr, LPINT len, LPCONDITIONPROC cond, DWORD_PTR data, LPINT err) {
    SOCKET n = WSAAccept(s, addr, len, cond, data);
    if (n == INVALID_SOCKET && err) *err = WSAGetLastError();
    return n;
}

int WSPAPI fakeBind(SOCKET s, const sockaddr* name, int len, LPINT err) { return result(bind(s, name, len), err); }

int WSPAPI fakeListen(SOCKET s, int backlog, LPINT err) { return result(listen(s, backlog), err); }

int WSPAPI fakeConnect(SOCKET s, const sockaddr* name, int len, LPWSABUF, LPWSABUF, LPQOS, LPQOS, LPINT err) {
    record("connect " + addressText(name));
    if (!onThisMachine(name)) return refuse(err);
    return result(connect(s, name, len), err);
}

int WSPAPI fakeGetPeerName(SOCKET s, sockaddr* name, LPINT len, LPINT err) {
    return result(getpeername(s, name, len), err);
}

int WSPAPI fakeGetSockName(SOCKET s, sockaddr* name, LPINT len, LPINT err) {
    return result(getsockname(s, name, len), err);
}

int WSPAPI fakeGetSockOpt(SOCKET s, int level, int name, char* value, LPINT len, LPINT err) {
    return result(getsockopt(s, level, name, value, len), err);
}

int WSPAPI fakeSetSockOpt(SOCKET s, int level, int name, const char* value, int len, LPINT err) {
    return result(setsockopt(s, level, name, value, len), err);
}

int WSPAPI fakeSend(SOCKET s, LPWSABUF bufs, DWORD count, LPDWORD sent, DWORD flags, LPWSAOVERLAPPED ov,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE cr, LPWSATHREADID, LPINT err) {
    record("send");
    return result(WSASend(s, bufs, count, sent, flags, ov, cr), err);
}

int WSPAPI fakeSendTo(SOCKET s, LPWSABUF bufs, DWORD count, LPDWORD sent, DWORD flags, const sockaddr* to, int tolen,
                      LPWSAOVERLAPPED ov, LPWSAOVERLAPPED_COMPLETION_ROUTINE cr, LPWSATHREADID, LPINT err) {
    record("sendto " + (to ? addressText(to) : std::string("-")));
    if (to && !onThisMachine(to)) return refuse(err);
    return result(WSASendTo(s, bufs, count, sent, flags, to, tolen, ov, cr), err);
}

int WSPAPI fakeRecv(SOCKET s, LPWSABUF bufs, DWORD count, LPDWORD got, LPDWORD flags, LPWSAOVERLAPPED ov,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE cr, LPWSATHREADID, LPINT err) {
    return result(WSARecv(s, bufs, count, got, flags, ov, cr), err);
}

int WSPAPI fakeRecvFrom(SOCKET s, LPWSABUF bufs, DWORD count, LPDWORD got, LPDWORD flags, sockaddr* from, LPINT fromlen,
                        LPWSAOVERLAPPED ov, LPWSAOVERLAPPED_COMPLETION_ROUTINE cr, LPWSATHREADID, LPINT err) {
    return result(WSARecvFrom(s, bufs, count, got, flags, from, fromlen, ov, cr), err);
}

int WSPAPI fakeCloseSocket(SOCKET s, LPINT err) { return result(closesocket(s), err); }

int WSPAPI fakeCleanup(LPINT) { return 0; }

LPFN_CONNECTEX gRealConnectEx = nullptr;

BOOL PASCAL fakeConnectEx(SOCKET s, const sockaddr* name, int len, PVOID buf, DWORD bufLen, LPDWORD sent,
                          LPOVERLAPPED ov) {
    record("connectex " + addressText(name));
    if (!onThisMachine(name)) {
        WSASetLastError(WSAENETUNREACH);
        return FALSE;
    }
    return gRealConnectEx(s, name, len, buf, bufLen, sent, ov);
}

int WSPAPI fakeIoctl(SOCKET s, DWORD code, LPVOID in, DWORD inLen, LPVOID out, DWORD outLen, LPDWORD returned,
                     LPWSAOVERLAPPED ov, LPWSAOVERLAPPED_COMPLETION_ROUTINE cr, LPWSATHREADID, LPINT err) {
    const int r = WSAIoctl(s, code, in, inLen, out, outLen, returned, ov, cr);
    static const GUID kConnectEx = WSAID_CONNECTEX;
    if (r == 0 && code == SIO_GET_EXTENSION_FUNCTION_POINTER && inLen >= sizeof(GUID) &&
        std::memcmp(in, &kConnectEx, sizeof(GUID)) == 0) {
        // The real one does the work; the provider gets our recording one.
        std::memcpy(&gRealConnectEx, out, sizeof gRealConnectEx);
        LPFN_CONNECTEX mine = &fakeConnectEx;
        std::memcpy(out, &mine, sizeof mine);
    }
    return result(r, err);
}

WSPPROC_TABLE makeTable() {
    WSPPROC_TABLE t{};
    t.lpWSPSocket = fakeSocket;
    t.lpWSPAccept = fakeAccept;
    t.lpWSPBind = fakeBind;
    t.lpWSPListen = fakeListen;
    t.lpWSPConnect = fakeConnect;
    t.lpWSPGetPeerName = fakeGetPeerName;
    t.lpWSPGetSockName = fakeGetSockName;
    t.lpWSPGetSockOpt = fakeGetSockOpt;
    t.lpWSPSetSockOpt = fakeSetSockOpt;
    t.lpWSPSend = fakeSend;
    t.lpWSPSendTo = fakeSendTo;
    t.lpWSPRecv = fakeRecv;
    t.lpWSPRecvFrom = fakeRecvFrom;
    t.lpWSPCloseSocket = fakeCloseSocket;
    t.lpWSPIoctl = fakeIoctl;
    t.lpWSPCleanup = fakeCleanup;
    return t;
}

}  // namespace

std::string addressText(const sockaddr* sa) {
    char text[INET6_ADDRSTRLEN] = {};
    if (sa && sa->sa_family == AF_INET) {
        const auto* s4 = reinterpret_cast<const sockaddr_in*>(sa);
        inet_ntop(AF_INET, &s4->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(s4->sin_port));
    }
    if (sa && sa->sa_family == AF_INET6) {
        const auto* s6 = reinterpret_cast<const sockaddr_in6*>(sa);
        inet_ntop(AF_INET6, &s6->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(s6->sin6_port));
    }
    return "?";
}

int WSPAPI FakeLower::startup(WORD, LPWSPDATA data, LPWSAPROTOCOL_INFOW info, WSPUPCALLTABLE, LPWSPPROC_TABLE table) {
    {
        std::lock_guard<std::mutex> g(gLock);
        gStarted.push_back(*info);
    }
    if (data) {
        data->wVersion = MAKEWORD(2, 2);
        data->wHighVersion = MAKEWORD(2, 2);
    }
    *table = makeTable();
    return 0;
}

WSPPROC_TABLE FakeLower::table() { return makeTable(); }

std::vector<WSAPROTOCOL_INFOW> FakeLower::startedFor() {
    std::lock_guard<std::mutex> g(gLock);
    return gStarted;
}

std::vector<std::string> FakeLower::calls() {
    std::lock_guard<std::mutex> g(gLock);
    return gCalls;
}

void FakeLower::clearCalls() {
    std::lock_guard<std::mutex> g(gLock);
    gCalls.clear();
}

std::string FakeLower::last(const std::string& kind) {
    std::lock_guard<std::mutex> g(gLock);
    for (auto it = gCalls.rbegin(); it != gCalls.rend(); ++it)
        if (it->compare(0, kind.size() + 1, kind + " ") == 0) return it->substr(kind.size() + 1);
    return std::string();
}

}  // namespace lsptest
