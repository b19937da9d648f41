#pragma once
// The traffic view of the main window: the size texts, one row of
// "connectionList" per application listed in the server status block, and
// the traffic line of the tray tooltip. Window-free (it works on the list
// widget it is given) so that the rules are testable without a MainWindow.
// GUI thread only.
#include "statusblock.h"

#include <QMap>
#include <QString>

#include <cstdint>

class QTreeWidget;
class QTreeWidgetItem;

// A byte count (or a rate) as text: above 1073741824 "%1 GB", above 1048576
// "%1 MB", else "%1 KB"; the number cut (not rounded) to two decimals and
// written in the shortest form with up to six significant digits
// ("0 KB", "1.5 KB", "1024 KB", "1 MB", "3.99 GB"). Takes 64 bits so that
// sums and the eightfold rates never wrap before they are shown.
QString FormatSize(std::uint64_t n);

// A number of bits (a rate is shown as eight times its bytes): the numbers
// of FormatSize with the units "Kb", "Mb" and "Gb" ("7.81 Kb").
QString FormatBits(std::uint64_t bits);

// "%1/s" with FormatBits of eight times the sum of the two byte rates.
QString RateText(std::uint32_t udpRate, std::uint32_t tcpRate);

// The applications of the block: the first app_count entries (at most 512)
// keyed by name, the bytes of `name` up to the first NUL read as UTF-8; a
// later entry with the same name replaces an earlier one.
QMap<QString, vnx::AppStatus> ReadStatusRows(const vnx::ServerStatus& block);

// Fills columns 1 to 4 of one row ("Data Send", "Data Recv", "Rate",
// "Detail") from one application's counters.
void UpdateAppRow(QTreeWidgetItem* row, const vnx::AppStatus& counters);

// Brings "connectionList" in line with `apps` in place: a row whose name
// (column 0) is not listed is deleted, the others are rewritten, and names
// without a row are appended in ascending order; then the header reads
// "Program [%1]" with the row count. Rows are never rebuilt, so the
// selection and the scroll position survive. Returns the row count.
int RefreshConnectionList(QTreeWidget* list, QMap<QString, vnx::AppStatus> apps);

// The tray tooltip's traffic line: "%1, %2 Apps".
QString TrafficLine(const QString& speed, int appCount);
