// veilnox-lspsetup install [DLL] | remove | status
// Installs the provider DLL (default: veilnoxlsp.dll beside this program)
// into the Winsock catalog of this program's word size, takes it out, or
// tells whether it is there. Run by the client's batch files as
// administrator. Exit status 0 on success (status: installed), 1 otherwise,
// 2 for a usage error.
#include "lspcatalog.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::wstring besideThisProgram(const wchar_t* file) {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    std::wstring dir(path, n);
    const std::size_t slash = dir.find_last_of(L"\\/");
    dir = slash == std::wstring::npos ? std::wstring() : dir.substr(0, slash + 1);
    return dir + file;
}

int usage() {
    std::fprintf(stderr, "Usage: veilnox-lspsetup install [DLL] | remove | status\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return usage();
    const std::wstring command = argv[1];
    std::string error;
    if (command == L"status" && argc == 2) {
        const bool installed = vnxlsp::LspCatalog::isInstalled();
        std::printf("%s\n", installed ? "installed" : "not installed");
        return installed ? 0 : 1;
    }
    if (command == L"remove" && argc == 2) {
        if (!vnxlsp::LspCatalog::remove(&error)) {
            std::fprintf(stderr, "veilnox-lspsetup: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (command == L"install" && argc <= 3) {
        std::wstring dll = argc == 3 ? argv[2] : besideThisProgram(L"veilnoxlsp.dll");
        wchar_t full[MAX_PATH];
        const DWORD n = GetFullPathNameW(dll.c_str(), MAX_PATH, full, nullptr);
        if (n == 0 || n >= MAX_PATH || GetFileAttributesW(full) == INVALID_FILE_ATTRIBUTES) {
            std::fprintf(stderr, "veilnox-lspsetup: the provider library is missing: %ls\n", dll.c_str());
            return 1;
        }
        if (!vnxlsp::LspCatalog::install(full, &error)) {
            std::fprintf(stderr, "veilnox-lspsetup: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    return usage();
}
