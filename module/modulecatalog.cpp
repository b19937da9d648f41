#include "modulecatalog.h"

#include "platform/system.h"

#include <strings.h>
#include <cstdio>

namespace vnxmod {

std::string ModuleCatalog::path() {
    const std::string root = vnxplat::appDataRoot();
    return root.empty() ? std::string() : root + "/Veilnox/module/catalog";
}

std::string ModuleCatalog::find(const std::string& catalogPath, const char* guid) {
    FILE* f = std::fopen(catalogPath.c_str(), "re");
    if (!f) return std::string();
    std::string found;
    char line[8192];
    const std::size_t guidLen = std::string(guid).size();
    while (found.empty() && std::fgets(line, sizeof line, f)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        if (s.size() <= guidLen + 1 || s[guidLen] != ' ' || strncasecmp(s.c_str(), guid, guidLen) != 0) continue;
        std::string rest = s.substr(guidLen + 1);
        while (!rest.empty() && rest.front() == ' ')
            rest.erase(0, 1);
        found = rest;
    }
    std::fclose(f);
    return found;
}

}  // namespace vnxmod
