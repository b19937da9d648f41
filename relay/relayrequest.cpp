#include "relayrequest.h"

#include "relayheader.h"
#include "rendpoint.h"

#include <netinet/in.h>

#include <cstring>

namespace vnxrelay {

RequestStatus decodeRelayRequest(const std::uint8_t* buf, std::size_t len, bool allowProbe, RelayRequest& out) {
    out = RelayRequest();
    vnx::RRelayHeader h;
    if (!vnx::parseRelayHeader(buf, len, h)) return RequestStatus::BadHeader;
    out.kind = h.kind;
    out.masked = h.masked;
    out.flags = h.flags;
    out.payload = h.payload;
    out.payloadLength = h.payloadLength;
    if (h.kind == vnx::kRelayKindProbe) return allowProbe ? RequestStatus::Ok : RequestStatus::BadKind;
    if (h.kind != vnx::kRelayKindData) return RequestStatus::BadKind;
    if (h.port == 0) return RequestStatus::BadDestination;
    vnx::REndpoint dest;
    dest.ipv4 = h.ipv4;
    if (h.ipv4 == 0) std::memcpy(dest.ipv6, h.ipv6, 16);
    dest.port = h.port;
    out.destLen = static_cast<socklen_t>(dest.toSockaddr(out.dest));
    return RequestStatus::Ok;
}

}  // namespace vnxrelay
