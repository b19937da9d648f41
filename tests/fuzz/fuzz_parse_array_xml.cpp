// libFuzzer target: ParseArrayXml on arbitrary text. It must return, never
// crash, and leave the list untouched when it reports failure.
#include "arrayxml.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));
    QList<StringMap> list;
    list.append(StringMap{{"sentinel", "1"}});
    const bool ok = ParseArrayXml(text, list);
    if (list.isEmpty() || list.first().value("sentinel") != "1") std::abort();
    if (!ok && list.size() != 1) std::abort();
    for (const StringMap& entry : list)
        for (auto it = entry.cbegin(); it != entry.cend(); ++it)
            if (it.key() != it.key().trimmed().toLower() || it.value() != it.value().trimmed()) std::abort();
    return 0;
}
