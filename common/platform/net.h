#pragma once
// Socket layer: BSD sockets on Linux, Winsock 2 on Windows. Sockets wait with
// poll (WSAPoll): select cannot watch descriptors >= 1024 on Linux.
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#endif

namespace vnxplat {

#if defined(_WIN32)
using socket_t = SOCKET;
constexpr socket_t kBadSocket = INVALID_SOCKET;
using pollfd_t = WSAPOLLFD;
#else
using socket_t = int;
constexpr socket_t kBadSocket = -1;
using pollfd_t = struct pollfd;
#endif

// WSAStartup 2.2 on Windows; nothing on Linux (sends use MSG_NOSIGNAL, so a
// peer that has gone never raises SIGPIPE). Returns false on failure.
bool netInit();
int lastSocketError();
void closeSocket(socket_t s);

// Waits for events; timeoutMs < 0 waits forever. Result as poll().
int pollSockets(pollfd_t* fds, std::size_t n, int timeoutMs);

// send without raising SIGPIPE when the peer has gone.
long sendNoSignal(socket_t s, const void* data, std::size_t len);
long recvSome(socket_t s, void* data, std::size_t len);
// Sends the whole buffer, retrying partial sends and EINTR. Returns len, or
// -1 when the connection failed.
long sendAll(socket_t s, const void* data, std::size_t len);
// sendAll telling the system that more data follows at once, so that it may
// gather several writes into one full segment instead of sending each on its
// own. A stream that pauses must be pushed with pushPending
// (serversupport.h), or the last of it may wait.
long sendAllGathered(socket_t s, const void* data, std::size_t len);

// recvfrom that also tells when the datagram was larger than the buffer
// (*truncated). Returns the bytes stored, or -1 on error.
long recvDatagram(socket_t s, void* data, std::size_t len, sockaddr_storage* from, bool* truncated);

// connect with a time limit: 0 once connected, -1 on failure with the error
// in lastSocketError() (ETIMEDOUT / WSAETIMEDOUT when timeoutMs passed
// first). The socket must be blocking; it is blocking again on return.
int connectWithin(socket_t s, const sockaddr* to, socklen_t len, int timeoutMs);

bool setReuseAddr(socket_t s);
// The local port a bound socket has (network order); 0 when unknown.
std::uint16_t localPort(socket_t s);
// Whether the bytes a connection received before the peer reset it can still
// be read in full (Linux), rather than being dropped with the reset. A peer
// may then end a connection whose every byte was acknowledged with a reset,
// which leaves no TIME_WAIT behind on either side.
bool keepsDataBeforeReset();
bool setNonBlocking(socket_t s, bool on);
bool wouldBlock(int err);
// Whether a bind failed because another socket holds the address and port.
bool addressInUse(int err);

// Owns one socket and closes it when destroyed, so that a socket is closed
// exactly once whichever way its owner ends (a return, an exception, a
// failed start). Move-only: a move hands the socket over and leaves the
// source empty; moving or resetting onto an owner that holds a socket closes
// that one first. Not thread-safe: one thread (or one owner object) uses it.
class Socket {
public:
    Socket() = default;
    explicit Socket(socket_t s) : handle(s) {}
    ~Socket() { reset(); }
    Socket(Socket&& other) noexcept : handle(other.release()) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // The socket, still owned here; kBadSocket when empty.
    socket_t get() const { return handle; }
    bool valid() const { return handle != kBadSocket; }
    explicit operator bool() const { return valid(); }
    // Gives the socket up without closing it; the caller owns it now.
    socket_t release() {
        socket_t s = handle;
        handle = kBadSocket;
        return s;
    }
    // Closes the socket held (if any) and holds `s` instead. Handing back
    // the socket already held keeps it open.
    void reset(socket_t s = kBadSocket) {
        if (s == handle) return;
        socket_t old = handle;
        handle = s;
        closeSocket(old);
    }

private:
    socket_t handle = kBadSocket;
};

}  // namespace vnxplat
