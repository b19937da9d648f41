#include "inprocessserver.h"

#include "rveilnoxsvr.h"

std::unique_ptr<QObject> CreateInProcessServer() { return std::make_unique<RVeilnoxSvr>(); }
