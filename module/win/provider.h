#pragma once
// The layered service provider's own part: the catalog entries it was
// started for (layers), what it knows about each socket, and the functions
// it puts in front of the next provider's. Everything else of the next
// provider's table is handed to Winsock unchanged.
//
// The provider is an IFS layer: sockets are the next provider's handles,
// so the functions it does not wrap reach the next provider directly.
#include "platform/net.h"

#include <ws2spi.h>

namespace vnxlsp {

// Starts one layer: `self` is the catalog entry (a protocol chain whose
// first link is this provider) Winsock started, `next` the entry the next
// provider was started with, `lower` the table it returned. Fills `out`
// with the table for Winsock. Returns 0 or a Winsock error.
int startLayer(const WSAPROTOCOL_INFOW& self, const WSAPROTOCOL_INFOW& next, const WSPPROC_TABLE& lower,
               WSPPROC_TABLE& out);

// The entry the next link of `self`'s chain is started with when the
// catalog is not asked (the chain with its first link removed).
WSAPROTOCOL_INFOW chainBelow(const WSAPROTOCOL_INFOW& self);

}  // namespace vnxlsp
