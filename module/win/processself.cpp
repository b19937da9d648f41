// The program's name on Windows: the file name of its executable. There is
// no launcher: the provider is in every program that uses Winsock.
#include "processself.h"

#include <windows.h>

namespace vnxmod {

void readProcessSelf(ProcessSelf& s) {
    s.exe[0] = s.argv0[0] = 0;
    static wchar_t path[32768];  // read once, under the caller's once-guard
    const DWORD n = GetModuleFileNameW(nullptr, path, sizeof path / sizeof path[0]);
    if (n == 0 || n >= sizeof path / sizeof path[0]) return;
    const wchar_t* base = path;
    for (const wchar_t* p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/') base = p + 1;
    const int len = WideCharToMultiByte(CP_UTF8, 0, base, -1, s.exe, static_cast<int>(kSelfNameMax), nullptr, nullptr);
    if (len <= 0) s.exe[0] = 0;
}

bool startedConnected() { return false; }

}  // namespace vnxmod
