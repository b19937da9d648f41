#pragma once
// The three network namespaces of the whole-chain tests, made by the test:
//
//   application (the test's own namespace)       192.0.2.2    2001:db8:1::2
//        | veth
//   veilnox-relay, also the router               192.0.2.1    2001:db8:1::1
//                                                198.51.100.1 2001:db8:2::1
//        | veth
//   destination servers (servers.py)             198.51.100.2 2001:db8:2::2
//
// A destination logs 198.51.100.1 / 2001:db8:2::1 for traffic that came
// through the relay, and the application's own address for traffic that
// went out directly. Nothing leaves these namespaces. A fixture derives from
// NamespaceTopology and calls buildTopology() in its SetUp (under
// ASSERT_NO_FATAL_FAILURE) and tearDownTopology() at the end of TearDown.
#include "netns.h"
#include "processes.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vnxtest {

extern const char* const kApp4;
extern const char* const kApp6;
extern const char* const kRelayIn4;
extern const char* const kRelayOut4;
extern const char* const kRelayOut6;
extern const char* const kDest4;
extern const char* const kDest6;

// The destination servers' script (HTTP, DNS, echo), for tests and the demo.
std::string serversScript();

// A DNS stub on 127.0.0.53 as desktops have one, for "python3 -c": it
// forwards every query to the destination's resolver from the application
// namespace's own address, so a query that reaches it shows up there as a
// leak (and as "stub query" in its own output). Says "stub ready" first.
extern const char* const kLocalStubScript;
// A datagram client for "python3 -c ... HOST MODE": sends "ping" to
// HOST:7000 (MODE sendto, connect or sendmsg) and prints "from=ADDR:PORT"
// and "reply=TEXT" of the answer.
extern const char* const kUdpClientScript;

struct TopologyOptions {
    std::string relayProgram;             // the veilnox-relay to run
    std::vector<std::string> relayAllow;  // its --allow client ranges
    // "sysctl -w" settings for the application's and the relay's namespaces
    // (empty for none).
    std::string sysctls;
    std::string nameserver;  // the resolv.conf bound over /etc/resolv.conf names it
    std::string workPrefix;  // "/tmp/name": the work folder is /tmp/nameXXXXXX
};

class NamespaceTopology : public ::testing::Test {
protected:
    // Builds the namespaces, starts veilnox-relay (relayPort_) and the
    // destination servers (HTTP 8000 with /big, echo 7000, lines 9000, DNS 53
    // over UDP and TCP), makes the work folder dir_ and binds its resolv.conf
    // and hosts over the system's. Fatal failures on any error.
    void buildTopology(const TopologyOptions& options);
    // Ends the servers and the relay, unbinds the files, removes dir_.
    void tearDownTopology();
    // The peer the destination logged for a request of `path`; empty if none.
    std::string httpPeer(const std::string& path, int waitMs = 5000);

    NetNamespace relayNs_, destNs_;
    BackgroundProcess relay_, servers_;
    std::uint16_t relayPort_ = 0;
    std::string bigSha_, dir_;

private:
    bool mounted_ = false;
};

}  // namespace vnxtest
