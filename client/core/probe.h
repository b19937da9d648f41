#pragma once
// The connectivity probe of the server list: the datagram the client sends
// to each proxy server, the answer it accepts, and what an answer or a
// missed answer does to a row (its ServerEntry counters, the signal bar and
// the "Connectivity" text). Window-free so that the rules are testable on
// their own; MainWindow applies them to the rows of "proxyList".
// GUI thread only.
#include "serverlist.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QVector>

#include <cstdint>
#include <memory>

// 32 bytes: a relay header of kind 5 (probe request) naming the server's
// own address (inet_addr of `ip`, network order) and its port in host byte
// order (little-endian, unlike the network-order port of a connect header),
// masked as every relay header is. A server with a key (serverlist.h,
// Protection::Encrypted) gets it sealed (ProbeSeals below); a server whose
// key is damaged gets none.
constexpr int kProbeSize = 32;
QByteArray BuildProbe(const QString& ip, std::uint16_t port);

// The network-order IPv4 address of a row's "ip" as inet_addr reads it.
// False when the text does not convert (empty, a host name): such a row is
// probed but cannot be sent to, and no answer can belong to it.
bool ProbeAddress(const QString& ip, std::uint32_t& address);

// The port a row is probed on: its "port" when that is a usable port
// (1..65535), else 0 (the probe cannot be sent).
std::uint16_t ProbePort(const ServerEntry& entry);

// The 8-byte answer: the server's IPv4 address (network order, compared
// with the row's "ip") and its current connection count (u32 LE).
constexpr int kProbeAnswerSize = 8;
struct ProbeAnswer {
    std::uint32_t address = 0;  // network order
    std::uint32_t connections = 0;
};
// False for a datagram of any other length.
bool ParseProbeAnswer(const QByteArray& datagram, ProbeAnswer& answer);

// A keyed server's answer comes sealed: the 8 bytes and the seal's 40.
constexpr int kSealedProbeAnswerSize = kProbeAnswerSize + 40;

// The row that an answer from source port `senderPort` belongs to: the
// first row (in the order given) whose address equals the answer's, whose
// probe is outstanding and whose port equals the sender port. -1 when no
// row takes it. Null entries (rows without a server) are skipped. A plain
// answer (`key` empty) is taken only by a row without a key; an answer
// opened with a key only by a row with that key (so nobody without the key
// can make a keyed server look alive).
int FindAnsweringRow(const QList<ServerEntry*>& rows, const ProbeAnswer& answer, std::uint16_t senderPort,
                     const QByteArray& key = QByteArray());

// The same rule for a batch of answers: the rows are indexed once by
// address and port, so a cycle over a long list costs one pass over the
// rows per batch instead of one per answer. The rows must not change while
// the matcher is used.
class ProbeMatcher {
public:
    explicit ProbeMatcher(const QList<ServerEntry*>& rows);
    int find(const ProbeAnswer& answer, std::uint16_t senderPort, const QByteArray& key = QByteArray()) const;
    // The keys of the rows of a server (address in network order, port):
    // those a sealed datagram from it may be opened with, each once.
    QList<QByteArray> keysOf(std::uint32_t address, std::uint16_t port) const;

private:
    QList<ServerEntry*> rows_;
    // Per row: its key (32 bytes), empty without one, one byte when damaged.
    QVector<QByteArray> keys_;
    QHash<quint64, QVector<int>> index_;  // (address << 16 | port) -> rows, in order
};

// The seals of the probes to keyed servers: per key, one sealer toward the
// relay (vnxhop::Direction::ToRelay) and one opener of its answers
// (FromRelay), kept for the window's life. Where the client has no sealing
// (Windows), nothing is sealed and nothing opens: keyed servers are then not
// probed and time out.
class ProbeSeals {
public:
    ProbeSeals();
    ~ProbeSeals();
    ProbeSeals(const ProbeSeals&) = delete;
    ProbeSeals& operator=(const ProbeSeals&) = delete;

    // The probe sealed with `key` (32 bytes); empty when it cannot be.
    QByteArray seal(const QByteArray& key, const QByteArray& probe);
    // A datagram of the relay opened with `key`: true with the content in
    // `plain`; false for anything forged, replayed, stale or malformed.
    bool open(const QByteArray& key, const QByteArray& sealed, QByteArray& plain);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Signal bar of column 2: range 0..maximum with the value.
struct SignalBar {
    int maximum = 100;
    int value = 0;
};
// An answer after `replyMs`: range 0..3000, value 3000 - d' floored at
// 2200, where d' is 0 below 50 ms, 2800 above 2800 ms, else the reply time.
SignalBar AnsweredBar(std::uint32_t replyMs);
// No answer within the cycle: 69 of 100.
SignalBar TimedOutBar();

// Column 4: "Current:%3ms, Success:%1/%2, TotalConnection:%4".
QString ConnectivityText(const ServerEntry& entry);

// Row state changes of a cycle. The tick count 0 means "no probe
// outstanding", so a probe sent at tick 0 is stamped 1 instead.
void MarkProbeSent(ServerEntry& entry, std::uint32_t now);
// An answer taken by the row: replies + 1, latency = now - probeTick,
// probe no longer outstanding, connection count from the answer. Returns
// the reply time.
std::uint32_t MarkProbeAnswered(ServerEntry& entry, std::uint32_t now, const ProbeAnswer& answer);
// End of the cycle's window: a row still waiting counts a time-out with
// latency -1. True when it did.
bool MarkProbeTimedOut(ServerEntry& entry);
