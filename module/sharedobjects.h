#pragma once
// The named objects the module uses, opened (never created) on first use and
// kept for the rest of the process: the objects are never unmapped, so a
// thread still inside a hook while the program exits cannot touch freed
// memory, and objects that other processes remove stay mapped here.
#include "records.h"
#include "sharedmemory.h"

namespace vnxmod {

// The proxy data block; null while no client holds it (retried every call).
const vnx::ProxyData* proxyBlock();
vnx::SlotTable& tcpTable();
vnx::SlotTable& udpSendTable();
vnx::SlotTable& udpRecvTable();

}  // namespace vnxmod
