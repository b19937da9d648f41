#pragma once
// The executables that run on the machine: process id -> executable file name
// and executable file name -> process id, rebuilt from a process snapshot.
//
// Not locked by itself: the server keeps its one instance under the lock of
// the live TrafficStats (serverState()).
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class ProcessNames {
public:
    // Where snapshots come from; vnxplat::processSnapshot unless a test
    // replaces it.
    using SnapshotSource = bool (*)(std::vector<std::pair<std::uint32_t, std::string>>&);
    static void setSnapshotSource(SnapshotSource source);

    // Empties both maps and fills them from a fresh snapshot; when several
    // processes share a name the one met last wins. A failed snapshot leaves
    // both maps empty.
    void rebuild();
    // The executable name of a process; rebuilds once when the id is unknown.
    // Empty when the process cannot be found.
    std::string ownerName(std::uint32_t pid);
    // True when some process with this executable name is running (as of the
    // last rebuild).
    bool isRunning(const std::string& name) const { return byName.count(name) != 0; }

    std::map<std::uint32_t, std::string> byId;
    std::map<std::string, std::uint32_t> byName;
};
