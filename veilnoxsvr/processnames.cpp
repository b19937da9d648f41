#include "processnames.h"

#include "platform/system.h"

#include <atomic>

namespace {
std::atomic<ProcessNames::SnapshotSource> snapshotSource{&vnxplat::processSnapshot};

// The file name part of an image path (Windows paths use backslashes).
std::string fileNamePart(const std::string& image) {
    std::size_t cut = image.find_last_of("\\/");
    return cut == std::string::npos ? image : image.substr(cut + 1);
}
}  // namespace

void ProcessNames::setSnapshotSource(SnapshotSource source) {
    snapshotSource.store(source ? source : &vnxplat::processSnapshot);
}

void ProcessNames::rebuild() {
    byId.clear();
    byName.clear();
    std::vector<std::pair<std::uint32_t, std::string>> snapshot;
    if (!snapshotSource.load()(snapshot)) return;
    for (const auto& entry : snapshot) {
        std::string name = fileNamePart(entry.second);
        byId[entry.first] = name;
        byName[name] = entry.first;
    }
}

std::string ProcessNames::ownerName(std::uint32_t pid) {
    auto it = byId.find(pid);
    if (it != byId.end()) {
        // On Linux a process keeps its id across exec: a program started by
        // fork+exec after the last snapshot would otherwise be counted under
        // its parent's name. Ask for the name as it is now.
        std::string live;
        if (snapshotSource.load() == &vnxplat::processSnapshot && vnxplat::processNameOf(pid, live) &&
            live != it->second) {
            it->second = live;
            byName[live] = pid;
        }
        return it->second;
    }
    rebuild();
    it = byId.find(pid);
    return it != byId.end() ? it->second : std::string();
}
