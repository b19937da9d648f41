#include "bindport.h"

#include "rendpoint.h"

#include <cstdio>

BindResult bindFixedPort(vnxplat::socket_t s, const sockaddr_in& address, bool anyPortIfTaken, const char* what) {
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return BindResult::Fixed;
    const int err = vnxplat::lastSocketError();
    const bool taken = vnxplat::addressInUse(err);
    if (taken && anyPortIfTaken) {
        sockaddr_in any = address;
        any.sin_port = 0;
        if (bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0) return BindResult::AnyPort;
    }
    if (taken)
        std::fprintf(stderr, "veilnoxsvr: cannot %s %s:%d: Address already in use (another program holds the port)\n",
                     what, vnx::ipv4Text(address.sin_addr.s_addr).c_str(), ntohs(address.sin_port));
    else
        std::fprintf(stderr, "veilnoxsvr: cannot %s %s:%d: error %d\n", what,
                     vnx::ipv4Text(address.sin_addr.s_addr).c_str(), ntohs(address.sin_port), err);
    return BindResult::Failed;
}
