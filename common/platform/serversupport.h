#pragma once
// What a long-running network server needs beyond net.h: process settings
// for many connections, and the classification of socket errors into "try
// again", "out of resources" and "this socket is broken".
#include "net.h"

namespace vnxplat {

// Writes to a closed pipe or connection report an error instead of ending
// the process (SIGPIPE on POSIX; nothing to do on Windows).
void ignoreBrokenPipe();

// Raises the soft limit of open descriptors to the hard limit. Returns the
// limit now in force, 0 when it is unknown or not applicable.
unsigned long raiseDescriptorLimit();

// Sends small writes at once instead of waiting for the acknowledgement of
// the previous segment (TCP_NODELAY). False on failure.
bool setNoDelay(socket_t s);

// Sends at once whatever sendAllGathered (net.h) left waiting (and from now on every
// plain write, as setNoDelay does).
void pushPending(socket_t s);

// The largest segment payload of a connected TCP socket (TCP_MAXSEG): about
// 64 KiB over loopback, about 1.4 KiB over Ethernet. 0 when unknown.
int maxSegmentSize(socket_t s);

// Ends the sending direction of a connection (the peer reads end of data);
// receiving goes on.
void shutdownSend(socket_t s);

// recvWaiting's result when nothing is waiting to be read.
constexpr long kNothingWaiting = -2;
// Receives what has already arrived, without waiting: the bytes received,
// 0 at the end of the stream, -1 on an error, or kNothingWaiting.
long recvWaiting(socket_t s, void* data, std::size_t len);

enum class SocketErrorKind {
    Transient,  // interrupted, would block, or a connection that died while queued
    Exhausted,  // out of descriptors or memory: back off, then try again
    Fatal       // the socket itself is unusable
};
// Classifies lastSocketError() after accept or a datagram receive.
SocketErrorKind classifySocketError(int err);

// The local server's command line: whether an argument it does not know
// ends it with exit code 2 and a hint on standard error (Linux), or is
// ignored, as the Windows program always has.
bool serverRejectsUnknownArguments();

// Whether a hidden local server also ends once the client's process has gone
// (its run mutex is free), not only when the client has written 0 into
// client_window: a Linux client that crashed leaves that field as it was.
// On Windows the window rule alone holds.
bool hiddenServerWatchesClientProcess();

}  // namespace vnxplat
