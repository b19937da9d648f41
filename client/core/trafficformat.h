#pragma once
// The texts of the traffic view (ui/trafficview.h): byte counts, rates and
// the traffic line of the tray tooltip, and the applications read from the
// server status block. Window-free.
#include "statusblock.h"

#include <QMap>
#include <QString>

#include <cstdint>

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

// The tray tooltip's traffic line: "%1, %2 Apps".
QString TrafficLine(const QString& speed, int appCount);
