// WSPStartup: finds the provider of the next link of the chain Winsock
// started us for, starts it, and layers the provider's functions over its
// table.
#include "provider.h"
#include "veilnoxlsp.h"

#include <atomic>
#include <vector>

namespace {

std::atomic<LPWSPSTARTUP> gNextOverride{nullptr};

// The catalog entry with this id. False when the catalog does not list it.
bool catalogEntry(DWORD id, WSAPROTOCOL_INFOW& out) {
    DWORD size = 0;
    int err = 0;
    if (WSCEnumProtocols(nullptr, nullptr, &size, &err) != SOCKET_ERROR || err != WSAENOBUFS || size == 0) return false;
    std::vector<WSAPROTOCOL_INFOW> all(size / sizeof(WSAPROTOCOL_INFOW) + 1);
    size = static_cast<DWORD>(all.size() * sizeof(WSAPROTOCOL_INFOW));
    const int n = WSCEnumProtocols(nullptr, all.data(), &size, &err);
    for (int i = 0; i < n; ++i) {
        if (all[static_cast<std::size_t>(i)].dwCatalogEntryId == id) {
            out = all[static_cast<std::size_t>(i)];
            return true;
        }
    }
    return false;
}

// The WSPStartup of the provider that serves `entry`, loaded from the path
// the catalog records for it. Null when it cannot be found or loaded.
LPWSPSTARTUP loadProvider(WSAPROTOCOL_INFOW& entry) {
    wchar_t recorded[MAX_PATH];
    int len = MAX_PATH;
    int err = 0;
    if (WSCGetProviderPath(&entry.ProviderId, recorded, &len, &err) == SOCKET_ERROR) return nullptr;
    wchar_t path[MAX_PATH];
    const DWORD n = ExpandEnvironmentStringsW(recorded, path, MAX_PATH);
    if (n == 0 || n > MAX_PATH) return nullptr;
    // Kept loaded for the rest of the process, like the provider itself.
    HMODULE module = LoadLibraryW(path);
    if (!module) return nullptr;
    return reinterpret_cast<LPWSPSTARTUP>(reinterpret_cast<void*>(GetProcAddress(module, "WSPStartup")));
}

}  // namespace

VEILNOX_LSP_API void WSPAPI VeilnoxLspUseNextProvider(LPWSPSTARTUP next) { gNextOverride.store(next); }

VEILNOX_LSP_API int WSPAPI WSPStartup(WORD version, LPWSPDATA data, LPWSAPROTOCOL_INFOW protocolInfo,
                                      WSPUPCALLTABLE upcalls, LPWSPPROC_TABLE procTable) {
    if (LOBYTE(version) < 2 || (LOBYTE(version) == 2 && HIBYTE(version) < 2)) return WSAVERNOTSUPPORTED;
    if (!protocolInfo || !procTable) return WSAEFAULT;
    // Only ever started as the first link of a chain with a provider below.
    const int chain = protocolInfo->ProtocolChain.ChainLen;
    if (chain < 2 || chain > MAX_PROTOCOL_CHAIN) return WSAEPROVIDERFAILEDINIT;

    WSAPROTOCOL_INFOW next = vnxlsp::chainBelow(*protocolInfo);
    LPWSPSTARTUP nextStartup = gNextOverride.load();
    if (!nextStartup) {
        if (!catalogEntry(protocolInfo->ProtocolChain.ChainEntries[1], next)) return WSAEPROVIDERFAILEDINIT;
        nextStartup = loadProvider(next);
        if (!nextStartup) return WSAEPROVIDERFAILEDINIT;
    }
    // A base provider is started for its own entry; another layer below
    // gets the chain's entry, in which it finds its own link.
    LPWSAPROTOCOL_INFOW nextInfo = next.ProtocolChain.ChainLen == BASE_PROTOCOL ? &next : protocolInfo;
    WSPPROC_TABLE lower{};
    const int r = nextStartup(version, data, nextInfo, upcalls, &lower);
    if (r != 0) return r;
    return vnxlsp::startLayer(*protocolInfo, *nextInfo, lower, *procTable);
}
