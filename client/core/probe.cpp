#include "probe.h"

#include "relayheader.h"
#include "rendpoint.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;
}

bool ProbeAddress(const QString& ip, std::uint32_t& address) {
    const QByteArray text = ip.toLatin1();
    address = vnx::parseIpv4(text.constData());
    // inet_addr answers INADDR_NONE both for text it cannot read and for the
    // broadcast address itself; only the latter is an address.
    return address != kAddressNone || text.trimmed() == "255.255.255.255";
}

QByteArray BuildProbe(const QString& ip, std::uint16_t port) {
    vnx::RRelayHeader header;
    header.kind = vnx::kRelayKindProbe;
    header.masked = false;  // there is no payload
    ProbeAddress(ip, header.ipv4);
    std::uint8_t wire[vnx::kRelayHeaderSize];
    vnx::buildRelayHeader(header, wire);
    // The port field of a probe is in host byte order (little-endian), set
    // byte by byte so the bytes do not depend on the machine; masked like the
    // rest of the header.
    wire[28] = static_cast<std::uint8_t>(port & 0xFF) ^ vnx::kMaskByte;
    wire[29] = static_cast<std::uint8_t>(port >> 8) ^ vnx::kMaskByte;
    return QByteArray(reinterpret_cast<const char*>(wire), static_cast<int>(sizeof wire));
}

std::uint16_t ProbePort(const ServerEntry& entry) {
    return entry.port >= 1 && entry.port <= 65535 ? static_cast<std::uint16_t>(entry.port) : 0;
}

bool ParseProbeAnswer(const QByteArray& datagram, ProbeAnswer& answer) {
    if (datagram.size() != kProbeAnswerSize) return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(datagram.constData());
    std::memcpy(&answer.address, bytes, 4);
    answer.connections = static_cast<std::uint32_t>(bytes[4]) | static_cast<std::uint32_t>(bytes[5]) << 8 |
                         static_cast<std::uint32_t>(bytes[6]) << 16 | static_cast<std::uint32_t>(bytes[7]) << 24;
    return true;
}

namespace {
quint64 matchKey(std::uint32_t address, std::uint16_t port) { return static_cast<quint64>(address) << 16 | port; }
}  // namespace

ProbeMatcher::ProbeMatcher(const QList<ServerEntry*>& rows) : rows_(rows), keys_(rows.size()) {
    for (int i = 0; i < rows_.size(); ++i) {
        const ServerEntry* entry = rows_.at(i);
        std::uint32_t address = 0;
        if (!entry || !ProbeAddress(entry->value(QStringLiteral("ip")), address)) continue;
        if (!entry->value(QStringLiteral("key")).isEmpty()) {
            std::uint8_t key[vnx::kHopKeySize];
            keys_[i] = ServerKey(entry->attributes, key)
                           ? QByteArray(reinterpret_cast<const char*>(key), static_cast<int>(sizeof key))
                           : QByteArray(1, '!');
        }
        index_[matchKey(address, static_cast<std::uint16_t>(entry->port))].append(i);
    }
}

int ProbeMatcher::find(const ProbeAnswer& answer, std::uint16_t senderPort, const QByteArray& key) const {
    const auto it = index_.constFind(matchKey(answer.address, senderPort));
    if (it == index_.constEnd()) return -1;
    for (int i : it.value())
        if (rows_.at(i)->probeTick != 0 && keys_.at(i) == key) return i;
    return -1;
}

QList<QByteArray> ProbeMatcher::keysOf(std::uint32_t address, std::uint16_t port) const {
    QList<QByteArray> keys;
    const auto it = index_.constFind(matchKey(address, port));
    if (it == index_.constEnd()) return keys;
    for (int i : it.value())
        if (keys_.at(i).size() == static_cast<int>(vnx::kHopKeySize) && !keys.contains(keys_.at(i)))
            keys.append(keys_.at(i));
    return keys;
}

int FindAnsweringRow(const QList<ServerEntry*>& rows, const ProbeAnswer& answer, std::uint16_t senderPort,
                     const QByteArray& key) {
    return ProbeMatcher(rows).find(answer, senderPort, key);
}

SignalBar AnsweredBar(std::uint32_t replyMs) {
    std::uint32_t d = replyMs;
    if (d < 50)
        d = 0;
    else if (d > 2800)
        d = 2800;
    SignalBar bar;
    bar.maximum = 3000;
    bar.value = std::max(2200, 3000 - static_cast<int>(d));
    return bar;
}

SignalBar TimedOutBar() {
    SignalBar bar;
    bar.maximum = 100;
    bar.value = 69;
    return bar;
}

QString ConnectivityText(const ServerEntry& entry) {
    return QStringLiteral("Current:%3ms, Success:%1/%2, TotalConnection:%4")
        .arg(entry.replies)
        .arg(entry.probesSent)
        .arg(entry.latencyMs)
        .arg(entry.totalConnections);
}

void MarkProbeSent(ServerEntry& entry, std::uint32_t now) {
    ++entry.probesSent;
    entry.probeTick = now != 0 ? now : 1;
}

std::uint32_t MarkProbeAnswered(ServerEntry& entry, std::uint32_t now, const ProbeAnswer& answer) {
    const std::uint32_t replyMs = now - entry.probeTick;
    ++entry.replies;
    // A reply time is at most the cycle's window; the clamp only keeps a
    // clock that jumped from showing a negative latency.
    entry.latencyMs = static_cast<std::int32_t>(std::min<std::uint32_t>(replyMs, 0x7FFFFFFFu));
    entry.probeTick = 0;
    entry.totalConnections = static_cast<std::int32_t>(answer.connections);
    return replyMs;
}

bool MarkProbeTimedOut(ServerEntry& entry) {
    if (entry.probeTick == 0) return false;
    ++entry.timeouts;
    entry.probeTick = 0;
    entry.latencyMs = -1;
    return true;
}
