#pragma once
// Binding the local server's fixed IPv4 ports, with a way out where the port
// is held by another program and the kernel capture hooks can be told of
// another one (RTcpServer::anyPortIfTaken).
#include "platform/net.h"

enum class BindResult { Fixed, AnyPort, Failed };

// Binds `s` to `address`; where its port is held by another socket and
// anyPortIfTaken, binds a free port of the same address instead. On
// failure, says so on stderr ("veilnoxsvr: cannot <what> ADDR:PORT: ...").
BindResult bindFixedPort(vnxplat::socket_t s, const sockaddr_in& address, bool anyPortIfTaken, const char* what);
