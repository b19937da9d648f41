// libFuzzer target: loading a settings file from arbitrary bytes. Loading
// must never crash; whatever loads must save and load back to the same map
// (so a save never produces a file the next start cannot read).
#include "appconfig.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));
    QMap<QString, QString> loaded;
    if (!CAppConfig::parse(bytes, loaded)) {
        if (!loaded.isEmpty()) std::abort();
        return 0;
    }
    const QByteArray saved = CAppConfig::serialize(loaded);
    QMap<QString, QString> reloaded;
    if (!CAppConfig::parse(saved, reloaded)) std::abort();
    // Keys that cannot be written back (prefixed names) are dropped; every
    // other entry survives unchanged.
    for (auto it = reloaded.cbegin(); it != reloaded.cend(); ++it)
        if (loaded.value(it.key()) != it.value()) std::abort();
    for (auto it = loaded.cbegin(); it != loaded.cend(); ++it)
        if (!it.key().contains(QLatin1Char(':')) && !reloaded.contains(it.key())) std::abort();
    // Saving again gives the same bytes.
    if (CAppConfig::serialize(reloaded) != saved) std::abort();
    return 0;
}
