#pragma once
// The relay's event loop: one thread, one epoll instance, serving the TCP
// listener, every TCP relay, the UDP socket with its associations, and
// SIGTERM/SIGINT through a signalfd.
//
// Resources are bounded: at most --max-conns TCP connections, at most
// --max-udp UDP associations, one 128 KiB buffer per busy direction, and per
// source the --max-*-per-source limits. A connection beyond a limit takes the
// place of the oldest one still owing its header (the source's own when the
// source is at its limit), or is reset at once when every connection is
// relaying. When the process runs out of descriptors, accepting pauses
// briefly instead of spinning.
#include "hostaddresses.h"
#include "relaycontext.h"
#include "relayoptions.h"
#include "udprelay.h"

#include <sys/socket.h>

#include <string>
#include <vector>

namespace vnxrelay {

class RelayServer {
public:
    explicit RelayServer(const RelayOptions& opts);
    ~RelayServer();
    RelayServer(const RelayServer&) = delete;
    RelayServer& operator=(const RelayServer&) = delete;

    // Binds TCP and UDP on the listen address (one port for both; port 0
    // picks one that is free for both) and prepares the signal handling.
    // SIGTERM and SIGINT must already be blocked in the calling thread.
    // False with a message on failure.
    bool open(std::string& error);
    // The bound address, e.g. "127.0.0.1:9200" or "[::1]:9200".
    std::string listenAddressText() const;
    // Serves until SIGTERM or SIGINT. Returns the exit code (0).
    int run();

private:
    class Acceptor : public EpollHandler {
    public:
        explicit Acceptor(RelayServer& s) : server(s) {}
        void onEvents(std::uint32_t events) override;
        RelayServer& server;
    };
    class SignalWatch : public EpollHandler {
    public:
        explicit SignalWatch(RelayServer& s) : server(s) {}
        void onEvents(std::uint32_t events) override;
        RelayServer& server;
    };

    bool bindTcp(const sockaddr* addr, socklen_t len, std::string& error, int& err);
    void acceptConnections();
    // Sheds a header-less connection where the limits call for it; false
    // when the new connection from src must be refused instead.
    bool makeRoom(SourceState* src, const sockaddr* from);
    void pauseAccepting();
    void checkTimers();
    void runReady();
    // Ends the relays whose client acknowledged their last bytes.
    void checkAcks();
    void freeRetired();
    void link(TcpRelay* r);
    void unlink(TcpRelay* r);

    RelayOptions opts_;
    RelayContext ctx_;
    UdpRelay udp_;
    HostAddresses hostAddresses_;
    Acceptor acceptor_;
    SignalWatch signalWatch_;
    int listenFd_ = -1;
    int signalFd_ = -1;
    sockaddr_storage bound_{};
    TcpRelay* head_ = nullptr;
    std::vector<TcpRelay*> readyBatch_;
    bool stop_ = false;
    bool acceptPaused_ = false;
    bool fdShortageLogged_ = false;
    std::uint64_t acceptResumeAt_ = 0;
    std::uint64_t nextTimerCheck_ = 0;
    std::uint64_t nextSourceSweep_ = 0;
    unsigned timerIntervalMs_ = 1000;
};

}  // namespace vnxrelay
