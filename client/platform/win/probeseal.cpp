// Windows: the client has no sealing, so keyed servers are not probed.
#include "probe.h"

struct ProbeSeals::State {};

ProbeSeals::ProbeSeals() = default;
ProbeSeals::~ProbeSeals() = default;

QByteArray ProbeSeals::seal(const QByteArray&, const QByteArray&) { return QByteArray(); }

bool ProbeSeals::open(const QByteArray&, const QByteArray&, QByteArray& plain) {
    plain.clear();
    return false;
}
