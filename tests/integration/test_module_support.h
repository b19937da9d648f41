#pragma once
// Helpers of the module tests: running a program (under the module) to
// completion with a time limit, the proxy data block written as the
// client would, and a stand-in for the local server that keeps the
// server's side of the slot contract. Processes beside the test and network
// namespaces come from tests/support.
#include "namedobjects.h"
#include "netns.h"
#include "processes.h"
#include "records.h"
#include "rendpoint.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vnxtest {

struct RunResult {
    int exitCode = -1;   // -1: killed (time limit) or did not start
    std::string output;  // stdout and stderr
};

// Runs argv with extra environment entries ("NAME=value"); kills it after
// timeoutMs. preload: LD_PRELOAD the module.
RunResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeoutMs,
                     bool preload = true);

// Line "key=value" from a program's output; empty when missing.
std::string field(const std::string& output, const std::string& key);

// Plays the local server on 127.0.0.1/::1 port 9111: finds the record of
// every connection and datagram, answers each line of a connection with
// "DST <destination> <line>", each datagram with "ECHO <payload>" from a
// separate reply socket after writing the UDPRECV record naming the
// destination as the source.
class StandInServer {
public:
    StandInServer();
    ~StandInServer();
    bool start();
    void stop();
    // Destinations seen, in text form ("192.0.2.10:80", "[2001:db8::10]:80").
    std::vector<std::string> tcpDestinations();
    std::vector<std::string> udpDestinations();
    int unmatched() const { return unmatched_.load(); }
    // Before each reply, a forgery of it from another loopback socket (no
    // record): "FORGED", or for DNS the answer with 6.6.6.6 as its address,
    // as another local user who watched the query would send.
    void forgeReplies(bool on) { forge_ = on; }

private:
    void tcpLoop(int listener, bool v6);
    void udpLoop();
    void serveConnection(int fd, std::string dst);

    std::atomic<bool> running_{false};
    std::atomic<int> unmatched_{0};
    std::atomic<int> active_{0};
    std::atomic<bool> forge_{false};
    int tcp4_ = -1, tcp6_ = -1, udp4_ = -1, udp6_ = -1;
    int wake_[2] = {-1, -1};
    std::vector<std::thread> threads_;
    std::mutex lock_;
    std::vector<std::string> tcpSeen_, udpSeen_;
};

// The stand-in's DNS zone: example.test (A, AAAA), alias.test (CNAME),
// www.corp.test, big.test (truncated over UDP, 20 addresses over TCP);
// anything else NXDOMAIN.
std::string dnsReply(const std::string& query, bool overTcp);

}  // namespace vnxtest
