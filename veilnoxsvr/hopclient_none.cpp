// The keyed hop where the build has no TLS library (the Windows program):
// every handshake fails and no datagram is sealed or opened, so a tunnel or
// datagram towards a relay that has a key is refused, never sent in the clear.
// The client there publishes no keys, so the registry never asks for one.
#include "hopclient.h"

HopTls::~HopTls() = default;

bool HopTls::start(vnxplat::socket_t s, const std::uint8_t*, int) {
    sock_ = s;
    return false;
}

long HopTls::recvSome(void*, std::size_t) { return -1; }

long HopTls::recvWaiting(void*, std::size_t) { return -1; }

long HopTls::sendAll(const void*, std::size_t) { return -1; }

void HopTls::shutdownSend() {}

bool HopTls::pending() const { return false; }

struct HopDatagrams::Seals {};

HopDatagrams::HopDatagrams() = default;

HopDatagrams::~HopDatagrams() = default;

void HopDatagrams::useKey(const std::uint8_t*) {}

std::size_t HopDatagrams::seal(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t) { return 0; }

bool HopDatagrams::open(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t, std::size_t*) { return false; }
