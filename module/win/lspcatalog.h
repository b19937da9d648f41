#pragma once
// Installing the provider into the Winsock catalog and taking it out again:
// what the client's Install, Repair and Remove come down to on Windows (the
// batch files run veilnox-lspsetup, which calls this).
//
// An installation is one hidden layered entry for the provider itself and
// one protocol chain (provider, then the base provider) for each TCP and
// UDP base provider of IPv4 and IPv6, moved to the front of the catalog so
// that programs pick the chains. The chains carry the provider id the
// client looks for. Each call works on the catalog of the calling
// program's word size. Installing and removing need administrator rights.
#include "platform/net.h"

#include <ws2spi.h>

#include <string>
#include <vector>

namespace vnxlsp {

class LspCatalog {
public:
    // {D3C21122-85E1-53F3-9BB6-23D30C7B09EF}: the protocol chains.
    static const GUID kChainProviderId;
    // {9450C60E-64CD-4E01-94A2-62EEF0D307FF}: the layered entry.
    static const GUID kLayerProviderId;
    // Longest name a catalog entry holds, without the terminator.
    static constexpr int kNameChars = WSAPROTOCOL_LEN;

    // Whether the catalog lists the provider's chains.
    static bool isInstalled();
    // Installs the provider DLL at dllPath (absolute), replacing an earlier
    // installation. False with a message in *error when the provider is
    // not listed afterwards; nothing of a failed attempt is left behind.
    static bool install(const std::wstring& dllPath, std::string* error);
    // Takes every entry of the provider out. True when none is left.
    static bool remove(std::string* error);

    // The catalog as it is now; empty with *err set on failure.
    static std::vector<WSAPROTOCOL_INFOW> entries(int* err);

    // The parts of an installation, from a catalog (tests use them on
    // catalogs of their own).
    // The layered entry, modelled on the first base provider that a chain
    // is made for. False when there is none.
    static bool layeredEntry(const std::vector<WSAPROTOCOL_INFOW>& catalog, WSAPROTOCOL_INFOW& out);
    // One chain over each TCP or UDP base provider of IPv4 or IPv6 (hidden
    // entries and the provider's own left out), its first link the layered
    // entry `layerId`.
    static std::vector<WSAPROTOCOL_INFOW> chainEntries(const std::vector<WSAPROTOCOL_INFOW>& catalog, DWORD layerId);
    // Every catalog id, the provider's chains first, each group in catalog
    // order: the order handed to WSCWriteProviderOrder.
    static std::vector<DWORD> chainsFirst(const std::vector<WSAPROTOCOL_INFOW>& catalog);
};

}  // namespace vnxlsp
