#pragma once
// DNS messages for the module's own name look-ups: building a query and
// reading the addresses out of a response. Parsing is bounded everywhere:
// every read is checked against the message length, compression pointers
// must point backwards and are followed at most a fixed number of times,
// names are at most 255 bytes.
#include <cstddef>
#include <cstdint>

namespace vnxmod {

constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kTypeCname = 5;
constexpr std::uint16_t kTypePtr = 12;
constexpr std::uint16_t kTypeAaaa = 28;
constexpr std::size_t kMaxAddresses = 32;
constexpr std::size_t kMaxName = 256;  // presentation form with NUL

struct DnsAnswer {
    enum class Status {
        Ok,      // at least one address (or, for PTR, a name)
        NoData,  // the name exists, no address of that type
        NoName,  // NXDOMAIN
        Failed,  // SERVFAIL, REFUSED and the like: try again elsewhere
    };
    Status status = Status::Failed;
    bool truncated = false;
    std::size_t count = 0;
    std::uint8_t addr[kMaxAddresses][16];  // 4 bytes used for A
    char canonical[kMaxName] = {};         // last name of the CNAME chain
    char target[kMaxName] = {};            // PTR: the first name pointed to
};

class DnsMessage {
public:
    // A recursive query for name/type; returns its length, or 0 when the
    // name is not a valid domain name or does not fit.
    static std::size_t buildQuery(std::uint16_t id, const char* name, std::uint16_t type, std::uint8_t* out,
                                  std::size_t cap);
    enum class Parse { Ok, NotOurs, Malformed };
    // Reads a response to the query (id, name, type). NotOurs: a message
    // for another query (ignore it and wait on); Malformed: broken input.
    static Parse parseResponse(const std::uint8_t* msg, std::size_t len, std::uint16_t id, const char* name,
                               std::uint16_t type, DnsAnswer& out);
    // Reads the (possibly compressed) name at *pos into out as dotted
    // lower-case text and moves *pos past it. False on malformed input.
    static bool readName(const std::uint8_t* msg, std::size_t len, std::size_t& pos, char* out, std::size_t cap);
};

}  // namespace vnxmod
