#pragma once
// What the module knows about the process it runs in: the names it answers
// to and how it was launched. Each platform reads these its own way
// (processself_posix.cpp; win/processself.cpp).
#include <cstddef>

namespace vnxmod {

constexpr std::size_t kSelfNameMax = 256;

struct ProcessSelf {
    char exe[kSelfNameMax];    // file name of the executable, UTF-8
    char argv0[kSelfNameMax];  // file name it was started under (a link keeps it); may be empty
};

// Fills both names; an unknown name is left empty. Called once per process.
void readProcessSelf(ProcessSelf& out);

// True when veilnox-run found the client connected when it started this
// program or one of its ancestors (the environment marker
// Policy::kConnectedMarker, read before the program can change it).
bool startedConnected();

}  // namespace vnxmod
