#pragma once
// The relay's key file: one line of 43 base64url characters (32 random
// bytes), readable by the relay alone.
#include <cstdint>
#include <string>

namespace vnxrelay {

// Where the installed relay keeps its key, and where --print-list-entry
// looks for one when no --key-file is given (after the service's credential
// folder, $CREDENTIALS_DIRECTORY/key).
constexpr char kDefaultKeyFile[] = "/etc/veilnox-relay/key";

// Reads the key in path. False with a one-line reason in error.
bool readKeyFile(const std::string& path, std::uint8_t key[32], std::string& error);

// Creates path (and its folder, mode 0700) holding a new random key, mode
// 0600, unless it exists already. Returns the exit code of --init-key: 0
// (created, or there already) with a line on standard output, 2 with a
// message on standard error.
int initKeyFile(const std::string& path);

// When argv holds --init-key PATH: runs it, sets *exitCode and returns true.
bool runInitKey(int argc, char** argv, int* exitCode);

}  // namespace vnxrelay
