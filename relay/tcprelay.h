#pragma once
// One relayed TCP connection: reads the client's 32-byte relay header,
// connects to the destination it names and copies bytes both ways, unmasking
// what the client sends and masking what goes back when the header asks for
// it. An end of stream on one side is passed on as a half-close
// (shutdown(SHUT_WR)) while the other direction keeps flowing. A client
// that asks for it (kRelayFlagResetAtEnd) and ends first is ended with a
// reset once it has acknowledged everything, so that no TIME_WAIT is left on
// its side (see endWhenAcked).
//
// On a keyed relay the client's side is TLS 1.3 (see hop/tls.h): the
// handshake must prove the key before the header is read, and the header and
// payload then travel inside TLS, never masked.
//
// Lives on the event-loop thread. Sockets are non-blocking and registered
// edge-triggered; each side remembers whether it is readable and writable,
// so a direction only waits when its socket said "would block". Buffers come
// from the context's pool only while a direction holds bytes its target has
// not taken; otherwise data moves through the shared scratch buffer.
#include "epollhandler.h"

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

typedef struct ssl_st SSL;

namespace vnxrelay {

class RelayContext;
struct RelayRequest;
struct SourceState;

class TcpRelay {
public:
    // Takes ownership of the accepted client socket; counts the connection
    // (and, until its header is read, as header-less) against source.
    TcpRelay(RelayContext& ctx, int clientFd, SourceState* source);
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    // Registers the client socket and tries to read the header at once
    // (clients send it right after connecting, so it is often there). False
    // when the socket could not be watched; the caller then deletes the
    // object. The relay may have finished (and retired itself) on return.
    bool start();
    // Moves as much data as the sockets allow (within a budget per call).
    void process();
    // Header, connect and idle time-outs; returns idle buffers to the pool.
    void checkTimers();

    bool dead() const { return state_ == State::Dead; }
    // Closes the connection with a reset to make room for another.
    void shed() { finish(true); }
    // Called by the server while the relay waits for the client to
    // acknowledge its last bytes: ends it once it has (or after a bound).
    // True while it still waits; then ackCheckAt() is when to call again.
    bool checkAcked();
    std::uint64_t ackCheckAt() const { return ackCheckAt_; }

    // Owned by the server: its list of live relays and the ready queue.
    TcpRelay* prev = nullptr;
    TcpRelay* next = nullptr;
    bool queued = false;
    // The client's source, and the context's lists of header-less
    // connections (all of them, and those of this source).
    SourceState* const source;
    bool headerless = false;
    TcpRelay* hlPrev = nullptr;
    TcpRelay* hlNext = nullptr;
    TcpRelay* srcPrev = nullptr;
    TcpRelay* srcNext = nullptr;

private:
    enum class State { Handshake, Header, Connecting, Relaying, Dead };

    // The context's lists: the ready queue, and the header-less connections
    // (all of them, and those of this source), oldest first.
    void queueForMore();
    void joinHeaderless();
    void leaveHeaderless();

    class Side : public EpollHandler {
    public:
        void onEvents(std::uint32_t events) override;
        TcpRelay* owner = nullptr;
        int fd = -1;
        bool readable = false;
        bool writable = false;
        bool hup = false;  // peer closed or reset: read until end, do not trust short reads
    };

    // Bytes flowing from one side to the other.
    struct Flow {
        std::uint8_t* buf = nullptr;  // pool buffer, or null while nothing is held
        std::size_t off = 0;
        std::size_t len = 0;  // bytes held, starting at buf + off
        bool eof = false;     // the source reached its end
        bool shut = false;    // the end was passed on with shutdown(SHUT_WR)
        std::uint64_t lastUse = 0;
        bool finished() const { return eof && shut && len == 0; }
    };

    bool handshake();
    bool readHeader();
    // recv/send on a side, through TLS for a keyed client: >0 bytes, 0 at
    // the end of stream (reads), -1 with errno (EAGAIN: would block), -2 when
    // TLS must write before it reads on (the client's side then waits for
    // room). A TLS
    // write takes as much as the socket does, so a short write still means
    // the socket is full.
    ssize_t readSide(Side& s, std::uint8_t* buf, std::size_t len);
    ssize_t writeSide(Side& s, const std::uint8_t* buf, std::size_t len);
    void shutdownSide(Side& s);
    bool startConnect(const RelayRequest& req);
    bool finishConnect();
    // False on a socket error. budget drops below zero when the call stopped
    // only because the budget ran out.
    bool pump(Flow& f, Side& src, Side& dst, int& budget);
    // Both directions ended, the client's first, and the client reads what
    // came before a reset: ends with a reset to the client once every byte
    // sent to it is acknowledged, else waits for that (checkAcked).
    void endWhenAcked();
    bool clientAckedAll() const;
    // Closes both sockets (with a reset when reset is set) and hands the
    // object to the context for freeing. resetUpstream defaults to reset.
    void finish(bool reset) { finish(reset, reset); }
    void finish(bool resetClient, bool resetUpstream);
    void closeSockets(bool resetClient, bool resetUpstream);

    RelayContext& ctx_;
    State state_ = State::Header;
    Side client_;
    Side upstream_;
    Flow c2u_;
    Flow u2c_;
    SSL* ssl_ = nullptr;  // the client's TLS, on a keyed relay
    bool masked_ = false;
    bool resetAtEnd_ = false;  // the client asked for kRelayFlagResetAtEnd
    bool heldEnd_ = false;     // the end towards the client waits for endWhenAcked
    bool waitingAck_ = false;  // on the context's list of relays waiting for acknowledgements
    bool counted_ = false;     // counted as a live relay (past the header)
    std::uint8_t header_[32];
    std::size_t headerGot_ = 0;
    std::uint64_t stateSince_ = 0;
    std::uint64_t lastActive_ = 0;
    std::uint64_t ackWaitSince_ = 0;
    std::uint64_t ackCheckAt_ = 0;
    std::uint64_t ackInterval_ = 0;
};

}  // namespace vnxrelay
