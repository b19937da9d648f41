// libFuzzer target: the relay header parser and the relay's decoding of a
// request (header, kind, destination) and its address policy, fed with
// arbitrary bytes as they could arrive on a TCP connection or in a datagram.
#include "addresspolicy.h"
#include "relayheader.h"
#include "relayrequest.h"

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly the input, so reads past the end are caught.
    std::vector<std::uint8_t> buf(data, data + size);
    const std::uint8_t* p = buf.empty() ? nullptr : buf.data();

    vnx::RRelayHeader h;
    bool ok = vnx::parseRelayHeader(p, size, h);
    if (ok) {
        if (size < vnx::kRelayHeaderSize) std::abort();
        if (h.payload != p + vnx::kRelayHeaderSize || h.payloadLength != size - vnx::kRelayHeaderSize) std::abort();
        // What was parsed builds back into the same 32 bytes, apart from the
        // reserved bytes, which are ignored on input and zero on output.
        std::uint8_t again[vnx::kRelayHeaderSize];
        vnx::buildRelayHeader(h, again);
        for (std::size_t i = 0; i < vnx::kRelayHeaderSize; ++i) {
            if (i == 5 || i == 7 || i == 30 || i == 31) continue;  // masked byte is normalised to 0/1
            if (again[i] != p[i]) std::abort();
        }
    }

    static const vnxrelay::AddressPolicy strict({}, false);
    for (bool allowProbe : {false, true}) {
        vnxrelay::RelayRequest req;
        vnxrelay::RequestStatus st = vnxrelay::decodeRelayRequest(p, size, allowProbe, req);
        if (st == vnxrelay::RequestStatus::Ok) {
            if (!ok) std::abort();
            if (req.kind == vnx::kRelayKindData) {
                if (req.destLen == 0 || req.destLen > sizeof req.dest) std::abort();
                (void)strict.destinationAllowed(reinterpret_cast<const sockaddr*>(&req.dest));
                vnxrelay::PlainAddress pa;
                if (vnxrelay::plainAddress(reinterpret_cast<const sockaddr*>(&req.dest), pa))
                    (void)vnxrelay::isInternalAddress(pa);
            }
            if (req.payloadLength > 0) {
                // Masking the payload in place must stay inside the input.
                std::vector<std::uint8_t> copy(req.payload, req.payload + req.payloadLength);
                vnx::maskBuffer(copy.data(), copy.size());
            }
        }
    }

    // The same bytes as an address range text.
    std::string text(reinterpret_cast<const char*>(data), size < 64 ? size : 64);
    vnxrelay::Cidr c;
    if (vnxrelay::parseCidr(text, c) && ok) {
        vnxrelay::AddressPolicy policy({c}, false);
        sockaddr_storage ss{};
        auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
        s4->sin_family = AF_INET;
        std::memcpy(&s4->sin_addr, &h.ipv4, 4);
        (void)policy.clientAllowed(reinterpret_cast<const sockaddr*>(&ss));
    }
    return 0;
}
