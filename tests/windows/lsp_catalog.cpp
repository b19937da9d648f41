// The catalog installer: what it would install, worked out from catalogs
// of the test's own, and the real calls as far as the system lets them
// (Wine records no providers: installing there must fail cleanly).
#include "lspcatalog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

using vnxlsp::LspCatalog;

namespace {

WSAPROTOCOL_INFOW entry(DWORD id, int family, int type, int protocol, const wchar_t* name, int chainLen = BASE_PROTOCOL,
                        DWORD flags = 0) {
    WSAPROTOCOL_INFOW e{};
    e.dwCatalogEntryId = id;
    e.iAddressFamily = family;
    e.iSocketType = type;
    e.iProtocol = protocol;
    e.ProtocolChain.ChainLen = chainLen;
    e.dwProviderFlags = flags;
    e.dwServiceFlags1 = XP1_IFS_HANDLES | XP1_GUARANTEED_DELIVERY;
    e.ProviderId = GUID{0xE70F1AA0, 0xAB8B, 0x11CF, {0x8C, 0xA3, 0x00, 0x80, 0x5F, 0x48, 0xA1, 0x92}};
    std::wcsncpy(e.szProtocol, name, WSAPROTOCOL_LEN);
    return e;
}

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<WSAPROTOCOL_INFOW> sampleCatalog() {
    std::vector<WSAPROTOCOL_INFOW> c = {
        entry(1001, AF_INET, SOCK_STREAM, IPPROTO_TCP, L"TCP/IP"),
        entry(1002, AF_INET, SOCK_DGRAM, IPPROTO_UDP, L"UDP/IP"),
        entry(1003, AF_INET6, SOCK_STREAM, IPPROTO_TCP, L"TCP/IPv6"),
        entry(1004, AF_INET6, SOCK_DGRAM, IPPROTO_UDP, L"UDP/IPv6"),
        entry(1005, AF_INET, SOCK_RAW, 0, L"RAW/IP"),
        entry(1006, AF_INET, SOCK_STREAM, IPPROTO_TCP, L"hidden TCP", BASE_PROTOCOL, PFL_HIDDEN),
        entry(1007, AF_INET, SOCK_STREAM, IPPROTO_TCP, L"someone else's chain", 2),
        entry(1008, AF_IRDA, SOCK_STREAM, 0, L"IrDA"),
    };
    // An earlier installation of ours is never layered over again.
    WSAPROTOCOL_INFOW old = entry(1009, AF_INET, SOCK_STREAM, IPPROTO_TCP, L"Veilnox over TCP/IP", 2);
    old.ProviderId = LspCatalog::kChainProviderId;
    c.insert(c.begin() + 3, old);
    return c;
}

TEST(LspCatalog, ChainsOverEachTcpAndUdpBaseProvider) {
    const std::vector<WSAPROTOCOL_INFOW> catalog = sampleCatalog();
    const std::vector<WSAPROTOCOL_INFOW> chains = LspCatalog::chainEntries(catalog, 4242);
    struct Want {
        DWORD base;
        const wchar_t* name;
    } want[] = {{1001, L"Veilnox over TCP/IP"},
                {1002, L"Veilnox over UDP/IP"},
                {1003, L"Veilnox over TCP/IPv6"},
                {1004, L"Veilnox over UDP/IPv6"}};
    ASSERT_EQ(chains.size(), sizeof want / sizeof want[0]);
    for (std::size_t i = 0; i < chains.size(); ++i) {
        SCOPED_TRACE(i);
        const WSAPROTOCOL_INFOW& c = chains[i];
        EXPECT_TRUE(sameGuid(c.ProviderId, LspCatalog::kChainProviderId));
        EXPECT_EQ(c.ProtocolChain.ChainLen, 2);
        EXPECT_EQ(c.ProtocolChain.ChainEntries[0], 4242u);
        EXPECT_EQ(c.ProtocolChain.ChainEntries[1], want[i].base);
        EXPECT_EQ(c.dwCatalogEntryId, 0u) << "given by the system";
        EXPECT_EQ(std::wstring(c.szProtocol), want[i].name);
        const WSAPROTOCOL_INFOW& base = catalog[i < 3 ? i : i + 1];
        EXPECT_EQ(c.iAddressFamily, base.iAddressFamily);
        EXPECT_EQ(c.iSocketType, base.iSocketType);
        EXPECT_EQ(c.iProtocol, base.iProtocol);
        EXPECT_EQ(c.dwServiceFlags1, base.dwServiceFlags1) << "same handles as the base provider";
    }
    // The provider id is the one the client looks for.
    const unsigned char clientBytes[16] = {0x22, 0x11, 0xC2, 0xD3, 0xE1, 0x85, 0xF3, 0x53,
                                           0x9B, 0xB6, 0x23, 0xD3, 0x0C, 0x7B, 0x09, 0xEF};
    EXPECT_EQ(std::memcmp(&LspCatalog::kChainProviderId, clientBytes, 16), 0);

    // A long base name is cut to what an entry holds.
    std::vector<WSAPROTOCOL_INFOW> longName = {entry(1, AF_INET, SOCK_STREAM, IPPROTO_TCP, L"")};
    for (int i = 0; i < WSAPROTOCOL_LEN; ++i)
        longName[0].szProtocol[i] = L'n';
    longName[0].szProtocol[WSAPROTOCOL_LEN] = 0;
    const std::wstring cut = LspCatalog::chainEntries(longName, 7).at(0).szProtocol;
    EXPECT_EQ(cut.size(), static_cast<std::size_t>(WSAPROTOCOL_LEN));
    EXPECT_EQ(cut.substr(0, 13), L"Veilnox over ");

    EXPECT_TRUE(LspCatalog::chainEntries({entry(1, AF_INET, SOCK_RAW, 0, L"raw")}, 7).empty());
}

TEST(LspCatalog, LayeredEntryAndOrder) {
    const std::vector<WSAPROTOCOL_INFOW> catalog = sampleCatalog();
    WSAPROTOCOL_INFOW layered;
    ASSERT_TRUE(LspCatalog::layeredEntry(catalog, layered));
    EXPECT_TRUE(sameGuid(layered.ProviderId, LspCatalog::kLayerProviderId));
    EXPECT_EQ(layered.ProtocolChain.ChainLen, LAYERED_PROTOCOL);
    EXPECT_TRUE(layered.dwProviderFlags & PFL_HIDDEN) << "programs never pick it themselves";
    EXPECT_EQ(std::wstring(layered.szProtocol), L"Veilnox layer");
    EXPECT_FALSE(LspCatalog::layeredEntry({entry(1, AF_INET, SOCK_RAW, 0, L"raw")}, layered));

    std::vector<WSAPROTOCOL_INFOW> installed = catalog;
    std::vector<WSAPROTOCOL_INFOW> chains = LspCatalog::chainEntries(catalog, 4242);
    DWORD next = 2001;
    for (WSAPROTOCOL_INFOW& c : chains) {
        c.dwCatalogEntryId = next++;
        installed.push_back(c);
    }
    const std::vector<DWORD> order = LspCatalog::chainsFirst(installed);
    const std::vector<DWORD> want = {1009, 2001, 2002, 2003, 2004, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008};
    EXPECT_EQ(order, want) << "every entry once, the chains first";
}

// Runs veilnox-lspsetup (beside this program) with arguments; its exit
// status, or -1 when it did not start or end within 60 s.
int runSetup(const std::wstring& args) {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring exe(path, n);
    exe = exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"veilnox-lspsetup.exe";
    std::wstring line = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

TEST(LspCatalog, SystemCallsReturnCleanly) {
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    int err = 0;
    const std::vector<WSAPROTOCOL_INFOW> before = LspCatalog::entries(&err);
    EXPECT_FALSE(before.empty()) << "the catalog lists the system's providers (error " << err << ")";
    if (LspCatalog::isInstalled()) {
        WSACleanup();
        GTEST_SKIP() << "the provider is installed on this system: left alone";
    }

    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dll(path, n);
    dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"veilnoxlsp.dll";
    std::string error;
    const bool installed = LspCatalog::install(dll, &error);
    // Where the system records it (administrator on Windows) it is listed
    // now; where it does not (Wine, a plain user) the call says why.
    EXPECT_EQ(installed, LspCatalog::isInstalled()) << error;
    if (!installed) {
        EXPECT_FALSE(error.empty());
        std::printf("install: %s\n", error.c_str());
    }
    EXPECT_FALSE(LspCatalog::install(L"", &error));
    EXPECT_FALSE(error.empty());

    error.clear();
    EXPECT_TRUE(LspCatalog::remove(&error)) << error;
    EXPECT_FALSE(LspCatalog::isInstalled());
    EXPECT_TRUE(LspCatalog::remove(&error)) << "nothing left to remove: " << error;
    EXPECT_EQ(LspCatalog::entries(&err).size(), before.size()) << "nothing left behind";

    // The tool the batch files run: 0 on success, 1 otherwise, 2 for usage.
    struct Run {
        const wchar_t* args;
        int status;
    } runs[] = {
        {L"status", 1}, {L"remove", 0}, {L"install C:\\nowhere\\veilnoxlsp.dll", 1},
        {L"", 2},       {L"bogus", 2},  {L"status extra", 2},
    };
    for (const Run& r : runs) {
        SCOPED_TRACE(std::string(r.args, r.args + std::wcslen(r.args)));
        EXPECT_EQ(runSetup(r.args), r.status);
    }
    EXPECT_EQ(runSetup(L"install"), installed ? 0 : 1) << "the DLL beside it, as far as the system lets it";
    runSetup(L"remove");
    EXPECT_FALSE(LspCatalog::isInstalled());
    WSACleanup();
}

}  // namespace
