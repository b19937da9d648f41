#include "inprocessserver.h"

#include "sharedmemory.h"

namespace {
// Holds the three slot tables (and their mutexes) for the life of the window.
class SlotTableHolder : public QObject {
public:
    SlotTableHolder()
        : tcp_(vnx::createTcpTable(true)), udpSend_(vnx::createUdpSendTable(true)),
          udpRecv_(vnx::createUdpRecvTable(true)) {}

private:
    std::unique_ptr<vnx::SlotTable> tcp_;
    std::unique_ptr<vnx::SlotTable> udpSend_;
    std::unique_ptr<vnx::SlotTable> udpRecv_;
};
}  // namespace

std::unique_ptr<QObject> CreateInProcessServer() { return std::make_unique<SlotTableHolder>(); }
