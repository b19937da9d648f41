#pragma once
// Helpers of the end-to-end tests: the veilnoxsvr processes of the test's
// network namespace, the environment of a client under test, and a client
// for the veilnox automation socket (client/automation.h). Bounded waiting
// comes from tests/support (waiters.h).
#include "processes.h"
#include "waiters.h"

#include <QJsonObject>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace e2etest {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start);

using vnxtest::waitUntil;

// The living veilnoxsvr processes of this network namespace. The client
// starts them detached, so they are found through /proc rather than as
// children; zombies count as ended.
std::vector<int> serverPids();

// True when something accepts TCP connections on 127.0.0.1:9111.
bool localServerListening();

// True when the child `pid` has ended (a zombie not yet reaped) or is gone.
bool hasEnded(int pid);

// Environment entries for a veilnox child. Under AddressSanitizer leak
// detection is off for it: Qt 5.15's offscreen platform plugin leaves its
// screen objects behind at exit (the in-process window tests catch leaks of
// our own code). Empty otherwise.
std::vector<std::string> clientSanitizerEnv();

// A throwaway profile folder prefixXXXXXX with home/ and a private run/
// (XDG_RUNTIME_DIR); empty when it could not be made.
std::string makeProfileDir(const std::string& prefix);

// Ends a client under test and the veilnoxsvr it launched: the client
// first (its watchdog would relaunch the server), then the servers of this
// namespace (they share the client's output pipe), then the client is
// reaped. Everything by pid.
void endClient(vnxtest::BackgroundProcess& client);

// Environment entries for a veilnox child on the offscreen platform with its
// automation socket at socketPath, reading the server list and the version
// document from dir/servers.xml and dir/version.json; clientSanitizerEnv()
// included.
std::vector<std::string> clientEnv(const std::string& dir, const std::string& socketPath);

// One line-based conversation with the client's automation socket.
class AutomationClient {
public:
    ~AutomationClient();
    bool open(const std::string& path);
    void disconnect();
    // Sends raw bytes (no line end added); false when the socket failed.
    bool sendRaw(const std::string& bytes);
    // The reply to one command line; an empty object when the socket failed
    // or closed, or the reply was not a JSON object. Waits at most 10 s.
    QJsonObject command(const std::string& line);

private:
    int fd_ = -1;
    std::string buffer_;
};

}  // namespace e2etest
