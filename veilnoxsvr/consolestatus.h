#pragma once
// The server's console output beyond per-connection lines: the detailed-log
// switch, the status dump, the size formatting it uses, and the one-line
// connection summary printed at start.
#include <cstdint>
#include <string>

// Stores the switch and prints "begin printf logs..." (on) or "end printf
// logs..." (off) on standard output.
void setDetailedLogs(bool on);

// Writes the status dump to the console log stream (which a running server
// has pointed at a discarding sink): the number of applications counted, the
// total rate, and two lines per application of the status block.
void printStatus();

// A size in KB (x / 1024, truncated to two decimals) or, above 1024 KB, in MB,
// in general notation with six significant digits: 1536 -> "1.5 KB",
// 1048576 -> "1024 KB", 1073741 -> "1.02 MB". Takes 64 bits so that rates
// multiplied by 8 are formatted without overflow.
std::string FormatKbMb(std::uint64_t value);

// "-----tcp connections:N , udp connections:M END." on standard output with
// the numbers of TCP and UDP tunnels that exist now.
void printConnectionSummary();
