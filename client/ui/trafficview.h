#pragma once
// The traffic view of the main window: one row of "connectionList" per
// application listed in the server status block, with the texts of
// trafficformat.h. Window-free (it works on the list widget it is given) so
// that the rules are testable without a MainWindow. GUI thread only.
#include "trafficformat.h"

class QTreeWidget;
class QTreeWidgetItem;

// Fills columns 1 to 4 of one row ("Data Send", "Data Recv", "Rate",
// "Detail") from one application's counters.
void UpdateAppRow(QTreeWidgetItem* row, const vnx::AppStatus& counters);

// Brings "connectionList" in line with `apps` in place: a row whose name
// (column 0) is not listed is deleted, the others are rewritten, and names
// without a row are appended in ascending order; then the header reads
// "Program [%1]" with the row count. Rows are never rebuilt, so the
// selection and the scroll position survive. Returns the row count.
int RefreshConnectionList(QTreeWidget* list, QMap<QString, vnx::AppStatus> apps);
