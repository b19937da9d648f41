#include "lspcatalog.h"

#include <sporder.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace vnxlsp {

const GUID LspCatalog::kChainProviderId = {
    0xD3C21122, 0x85E1, 0x53F3, {0x9B, 0xB6, 0x23, 0xD3, 0x0C, 0x7B, 0x09, 0xEF}};
const GUID LspCatalog::kLayerProviderId = {
    0x9450C60E, 0x64CD, 0x4E01, {0x94, 0xA2, 0x62, 0xEE, 0xF0, 0xD3, 0x07, 0xFF}};

namespace {

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool ours(const WSAPROTOCOL_INFOW& e) {
    return sameGuid(e.ProviderId, LspCatalog::kChainProviderId) || sameGuid(e.ProviderId, LspCatalog::kLayerProviderId);
}

// A base provider the provider layers over.
bool layerable(const WSAPROTOCOL_INFOW& e) {
    if (e.ProtocolChain.ChainLen != BASE_PROTOCOL || ours(e) || (e.dwProviderFlags & PFL_HIDDEN)) return false;
    if (e.iAddressFamily != AF_INET && e.iAddressFamily != AF_INET6) return false;
    return (e.iSocketType == SOCK_STREAM && e.iProtocol == IPPROTO_TCP) ||
           (e.iSocketType == SOCK_DGRAM && e.iProtocol == IPPROTO_UDP);
}

// prefix + rest, cut to what the entry holds.
void setName(WSAPROTOCOL_INFOW& e, const wchar_t* prefix, const wchar_t* rest) {
    wchar_t name[LspCatalog::kNameChars + 1];
    int n = 0;
    for (const wchar_t* part : {prefix, rest})
        for (const wchar_t* p = part; p && *p && n < LspCatalog::kNameChars; ++p)
            name[n++] = *p;
    name[n] = 0;
    std::memcpy(e.szProtocol, name, sizeof(wchar_t) * static_cast<std::size_t>(n + 1));
}

void say(std::string* error, const char* fmt, int code) {
    if (!error) return;
    char text[256];
    std::snprintf(text, sizeof text, fmt, code);
    *error = text;
}

}  // namespace

std::vector<WSAPROTOCOL_INFOW> LspCatalog::entries(int* err) {
    DWORD size = 0;
    int e = 0;
    if (err) *err = 0;
    if (WSCEnumProtocols(nullptr, nullptr, &size, &e) != SOCKET_ERROR || e != WSAENOBUFS) {
        if (err) *err = e ? e : WSAEINVAL;
        return {};
    }
    std::vector<WSAPROTOCOL_INFOW> all(size / sizeof(WSAPROTOCOL_INFOW) + 1);
    size = static_cast<DWORD>(all.size() * sizeof(WSAPROTOCOL_INFOW));
    const int n = WSCEnumProtocols(nullptr, all.data(), &size, &e);
    if (n == SOCKET_ERROR) {
        if (err) *err = e;
        return {};
    }
    all.resize(static_cast<std::size_t>(n));
    return all;
}

bool LspCatalog::isInstalled() {
    for (const WSAPROTOCOL_INFOW& e : entries(nullptr))
        if (sameGuid(e.ProviderId, kChainProviderId)) return true;
    return false;
}

bool LspCatalog::layeredEntry(const std::vector<WSAPROTOCOL_INFOW>& catalog, WSAPROTOCOL_INFOW& out) {
    for (const WSAPROTOCOL_INFOW& e : catalog) {
        if (!layerable(e)) continue;
        out = e;
        out.ProviderId = kLayerProviderId;
        out.dwCatalogEntryId = 0;
        out.ProtocolChain.ChainLen = LAYERED_PROTOCOL;
        std::memset(out.ProtocolChain.ChainEntries, 0, sizeof out.ProtocolChain.ChainEntries);
        out.dwProviderFlags |= PFL_HIDDEN;
        setName(out, L"Veilnox layer", nullptr);
        return true;
    }
    return false;
}

std::vector<WSAPROTOCOL_INFOW> LspCatalog::chainEntries(const std::vector<WSAPROTOCOL_INFOW>& catalog, DWORD layerId) {
    std::vector<WSAPROTOCOL_INFOW> chains;
    for (const WSAPROTOCOL_INFOW& base : catalog) {
        if (!layerable(base)) continue;
        WSAPROTOCOL_INFOW c = base;
        c.ProviderId = kChainProviderId;
        c.dwCatalogEntryId = 0;
        std::memset(c.ProtocolChain.ChainEntries, 0, sizeof c.ProtocolChain.ChainEntries);
        c.ProtocolChain.ChainLen = 2;
        c.ProtocolChain.ChainEntries[0] = layerId;
        c.ProtocolChain.ChainEntries[1] = base.dwCatalogEntryId;
        // The sockets are the base provider's own handles (an IFS layer),
        // so the chain keeps its flags.
        setName(c, L"Veilnox over ", base.szProtocol);
        chains.push_back(c);
    }
    return chains;
}

std::vector<DWORD> LspCatalog::chainsFirst(const std::vector<WSAPROTOCOL_INFOW>& catalog) {
    std::vector<DWORD> order;
    for (const WSAPROTOCOL_INFOW& e : catalog)
        if (sameGuid(e.ProviderId, kChainProviderId)) order.push_back(e.dwCatalogEntryId);
    for (const WSAPROTOCOL_INFOW& e : catalog)
        if (!sameGuid(e.ProviderId, kChainProviderId)) order.push_back(e.dwCatalogEntryId);
    return order;
}

bool LspCatalog::remove(std::string* error) {
    int err = 0;
    GUID chain = kChainProviderId;
    GUID layer = kLayerProviderId;
    // Either may be missing (a half-done installation): no error then.
    WSCDeinstallProvider(&chain, &err);
    WSCDeinstallProvider(&layer, &err);
    for (const WSAPROTOCOL_INFOW& e : entries(nullptr)) {
        if (ours(e)) {
            say(error, "The catalog still lists the provider (error %d); administrator rights are needed.", err);
            return false;
        }
    }
    return true;
}

bool LspCatalog::install(const std::wstring& dllPath, std::string* error) {
    if (dllPath.empty()) {
        say(error, "No provider library given (%d).", 0);
        return false;
    }
    remove(nullptr);
    int err = 0;
    std::vector<WSAPROTOCOL_INFOW> catalog = entries(&err);
    WSAPROTOCOL_INFOW layered;
    if (!layeredEntry(catalog, layered)) {
        say(error, "The catalog lists no TCP/IP provider to layer over (error %d).", err);
        return false;
    }
    GUID layer = kLayerProviderId;
    if (WSCInstallProvider(&layer, dllPath.c_str(), &layered, 1, &err) == SOCKET_ERROR) {
        say(error, "WSCInstallProvider failed for the layered entry (error %d).", err);
        return false;
    }
    catalog = entries(&err);
    DWORD layerId = 0;
    for (const WSAPROTOCOL_INFOW& e : catalog)
        if (sameGuid(e.ProviderId, kLayerProviderId)) layerId = e.dwCatalogEntryId;
    if (layerId == 0) {
        say(error, "The catalog did not record the layered entry (error %d).", err);
        remove(nullptr);
        return false;
    }
    std::vector<WSAPROTOCOL_INFOW> chains = chainEntries(catalog, layerId);
    GUID chain = kChainProviderId;
    if (WSCInstallProvider(&chain, dllPath.c_str(), chains.data(), static_cast<DWORD>(chains.size()), &err) ==
        SOCKET_ERROR) {
        say(error, "WSCInstallProvider failed for the protocol chains (error %d).", err);
        remove(nullptr);
        return false;
    }
    catalog = entries(&err);
    std::vector<DWORD> order = chainsFirst(catalog);
    const int r = WSCWriteProviderOrder(order.data(), static_cast<DWORD>(order.size()));
    if (r != ERROR_SUCCESS) {
        say(error, "WSCWriteProviderOrder failed (error %d).", r);
        remove(nullptr);
        return false;
    }
    if (!isInstalled()) {
        say(error, "The catalog does not list the provider after installing (error %d).", err);
        remove(nullptr);
        return false;
    }
    return true;
}

}  // namespace vnxlsp
