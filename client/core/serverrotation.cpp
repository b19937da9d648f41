#include "serverrotation.h"

namespace {
int firstUnused(const QList<RotationRow>& rows, const QString& countryFilter, const QStringList& used) {
    for (int i = 0; i < rows.size(); ++i) {
        const RotationRow& row = rows[i];
        if (!row.hasEntry || row.ip.isEmpty()) continue;
        if (!countryFilter.isEmpty() && !row.country.isEmpty() && row.country.toLower() != countryFilter.toLower())
            continue;
        if (used.contains(row.ip, Qt::CaseInsensitive)) continue;
        return i;
    }
    return -1;
}
}  // namespace

int PickNextServer(const QList<RotationRow>& rows, const QString& countryFilter, QStringList& usedServers) {
    int index = firstUnused(rows, countryFilter, usedServers);
    if (index >= 0 || usedServers.isEmpty()) return index;
    // Every matching server was used: a new cycle from the top.
    usedServers.clear();
    return firstUnused(rows, countryFilter, usedServers);
}
