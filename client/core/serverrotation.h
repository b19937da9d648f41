#pragma once
// The choice of ConnectNextServer: which row the rotation tries next. Pure,
// so that the walk over the rows, the country filter and the restart of the
// cycle are testable without a window. GUI thread only.
#include <QList>
#include <QString>
#include <QStringList>

// What the rotation needs to know of one row of the server list, in the
// order the rows are shown.
struct RotationRow {
    bool hasEntry = false;  // the row carries a ServerEntry
    QString ip;
    QString country;
};

// The first row, from the top, that has an entry and a non-empty "ip", whose
// country equals `countryFilter` ignoring case (an empty filter, "Any
// Country", accepts every country; a row without a country matches every
// filter) and whose "ip" is not in `usedServers`
// (ignoring case). When no row is left but `usedServers` is not empty, the
// cycle starts again: `usedServers` is emptied and the walk repeated once.
// Returns the row index, or -1 when no row matches at all.
int PickNextServer(const QList<RotationRow>& rows, const QString& countryFilter, QStringList& usedServers);
