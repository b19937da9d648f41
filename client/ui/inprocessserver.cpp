#include "inprocessserver.h"

#include "rveilnoxsvr.h"

namespace {
// Owns the server object for as long as the window keeps it.
class InProcessServer : public QObject {
public:
    RVeilnoxSvr server;
};
}  // namespace

std::unique_ptr<QObject> CreateInProcessServer() { return std::make_unique<InProcessServer>(); }
