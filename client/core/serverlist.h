#pragma once
// The server list: one ServerEntry per row of the main window's "proxyList",
// and the pure parts of UpdateServerList (which lists are read, in which
// order, and how one server's attributes become the texts of its row), so
// that they are testable without a window. GUI thread only.
#include "arrayxml.h"
#include "hopkey.h"

#include <QList>
#include <QString>

#include <cstdint>

// One row of the server list. The row item of column 0 holds a pointer to it
// as its user-role data; the row owns it (MainWindow deletes the entries
// when it clears the list).
struct ServerEntry {
    explicit ServerEntry(const StringMap& attrs);

    // An attribute of the server ("ip", "port", "protocol", "country", ...),
    // empty text when missing.
    QString value(const QString& key) const { return attributes.value(key); }

    StringMap attributes;
    std::int32_t port = 0;  // "port" as a decimal number, 0 when not a number
    std::int32_t latencyMs = 0;
    std::int32_t timeouts = 0;
    std::int32_t replies = 0;
    std::int32_t probesSent = 0;
    std::uint32_t probeTick = 0;  // 0 = no probe outstanding
    std::int32_t totalConnections = 0;
    bool connected = false;
    // The position of the server in the data folder's own list
    // (dataDir + "/config/proxys.xml"), which the user may edit from the
    // window; -1 for a server from any other list.
    int localIndex = -1;
    // The "Signal Strength" bar of the row (0..signalMax): kept here because
    // the bar widget is made only once the row comes into view.
    int signalMax = 100;
    int signalValue = 0;
};

// The texts the server list needs from its sources.
struct ServerListSources {
    QString programListText;  // "data/config/proxys.xml" of the program folder
    QString dataListText;     // dataDir + "/config/proxys.xml"
    QString downloadedText;   // the body of the server-list endpoint (or its fallback)
};

// The servers to show, in row order: the program folder's local list (or,
// when that gave no text, the data folder's), followed by every downloaded
// server, duplicates included. Text that is not a well-formed list adds no
// servers. Each "image" is made relative to the program folder
// ("data/config/" + name); an empty "image" stays empty.
// `fromDataList`, when given, is set to how many of the first servers came
// from the data folder's list (0 when the program folder's list was read).
QList<StringMap> CollectServers(const ServerListSources& sources, int* fromDataList = nullptr);

// Column texts of one row.
QString ServerAddressText(const StringMap& server);   // "ip", or "host" when "ip" is empty
QString ServerLocationText(const StringMap& server);  // "country,city,address"
// "strength" as a decimal number, 0 when missing or not a number, kept
// within the bar's range 0..100.
int ServerStrength(const StringMap& server);
// "port" as a decimal number, 0 when not a number.
std::int32_t ServerPortNumber(const StringMap& server);

// Longest text put into a cell or a selector entry. Longer values (a hostile
// or broken list can carry megabyte-long fields) are cut for display only;
// the attribute map keeps the whole value.
constexpr int kMaxDisplayText = 256;
QString DisplayText(const QString& text);

// What protects the traffic to a server, as the list shows it:
//   Encrypted   its "key" holds a relay key (43 base64url characters):
//               the local server encrypts everything to it with that key;
//   Masked      no key, and masking (the "encryptdata" setting, the block's
//               encrypt_data) is on: the bytes are only scrambled against
//               naive inspection;
//   Plain       no key, masking off;
//   DamagedKey  a "key" that is not a relay key: the server is not used at
//               all, since connecting without the key would not reach it
//               and connecting with a wrong one would not either.
// An empty "key" is no key (lists written for plain relays may carry one).
enum class Protection { Encrypted, Masked, Plain, DamagedKey };
Protection ServerProtection(const StringMap& server, bool maskingOn);
// "Encrypted", "Masked", "Plain", "Damaged key".
QString ProtectionText(Protection protection);
// One sentence on what the state means, for the row's tooltip. It never
// holds the key.
QString ProtectionToolTip(Protection protection);
// The server's key: true with `key` filled when "key" holds a valid one.
bool ServerKey(const StringMap& server, std::uint8_t (&key)[vnx::kHopKeySize]);
