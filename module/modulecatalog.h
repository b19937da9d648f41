#pragma once
// The per-user catalog of installed network-stack modules:
// $XDG_DATA_HOME/Veilnox/module/catalog (default ~/.local/share/...), one
// line per module: "{GUID} <absolute path of the library>". The install
// script adds Veilnox's line, the format script removes it.
#include <string>

namespace vnxmod {

class ModuleCatalog {
public:
    static constexpr const char* kModuleGuid = "{D3C21122-85E1-53F3-9BB6-23D30C7B09EF}";

    // The catalog file of this user; empty when no data folder is known.
    static std::string path();
    // The library path recorded for guid (compared without regard to
    // case), or empty when the catalog has no such line.
    static std::string find(const std::string& catalogPath, const char* guid);
};

}  // namespace vnxmod
