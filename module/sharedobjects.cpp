#include "sharedobjects.h"

namespace vnxmod {

const vnx::ProxyData* proxyBlock() {
    // Heap objects that are never deleted: no exit-time destructor unmaps
    // them under a thread that is still working.
    static vnx::SharedMemory* memory = new vnx::SharedMemory(vnx::kProxyDataName, vnx::kProxyDataSize, false);
    if (!memory->view()) memory->open();
    return static_cast<const vnx::ProxyData*>(memory->view());
}

vnx::SlotTable& tcpTable() {
    static vnx::SlotTable* table = vnx::createTcpTable(false);
    return *table;
}

vnx::SlotTable& udpSendTable() {
    static vnx::SlotTable* table = vnx::createUdpSendTable(false);
    return *table;
}

vnx::SlotTable& udpRecvTable() {
    static vnx::SlotTable* table = vnx::createUdpRecvTable(false);
    return *table;
}

}  // namespace vnxmod
