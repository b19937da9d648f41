// libFuzzer target for the module's DNS response parser: any bytes as a
// response to a query for "a.test" (A or AAAA), and any position as the
// start of a compressed name. Must never read out of bounds, loop or hang.
#include "dnsmessage.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::uint16_t type = (data[0] & 1) ? vnxmod::kTypeAaaa : vnxmod::kTypeA;
    const std::size_t start = data[1];
    data += 2;
    size -= 2;
    vnxmod::DnsAnswer answer;
    const std::uint16_t id = size >= 2 ? static_cast<std::uint16_t>((data[0] << 8) | data[1]) : 0;
    vnxmod::DnsMessage::parseResponse(data, size, id, "a.test", type, answer);
    if (answer.count > vnxmod::kMaxAddresses || std::strlen(answer.canonical) >= vnxmod::kMaxName) __builtin_trap();
    char name[vnxmod::kMaxName];
    std::size_t pos = start;
    if (vnxmod::DnsMessage::readName(data, size, pos, name, sizeof name) && (pos > size || std::strlen(name) > 255))
        __builtin_trap();
    return 0;
}
