#include "serverlist.h"

ServerEntry::ServerEntry(const StringMap& attrs) : attributes(attrs), port(ServerPortNumber(attrs)) {}

QList<StringMap> CollectServers(const ServerListSources& sources, int* fromDataList) {
    QList<StringMap> servers;
    const bool dataList = sources.programListText.isEmpty();
    const QString& local = dataList ? sources.dataListText : sources.programListText;
    if (!local.isEmpty()) ParseArrayXml(local, servers);
    if (fromDataList) *fromDataList = dataList ? servers.size() : 0;
    if (!sources.downloadedText.isEmpty()) ParseArrayXml(sources.downloadedText, servers);
    for (StringMap& server : servers) {
        auto image = server.find(QStringLiteral("image"));
        if (image != server.end() && !image->isEmpty()) *image = QStringLiteral("data/config/") + *image;
    }
    return servers;
}

QString ServerAddressText(const StringMap& server) {
    QString ip = server.value(QStringLiteral("ip"));
    return ip.isEmpty() ? server.value(QStringLiteral("host")) : ip;
}

QString ServerLocationText(const StringMap& server) {
    return QStringLiteral("%1,%2,%3")
        .arg(DisplayText(server.value(QStringLiteral("country"))), DisplayText(server.value(QStringLiteral("city"))),
             DisplayText(ServerAddressText(server)));
}

int ServerStrength(const StringMap& server) {
    bool ok = false;
    int strength = server.value(QStringLiteral("strength")).toInt(&ok);
    if (!ok || strength < 0) return 0;
    return strength > 100 ? 100 : strength;
}

std::int32_t ServerPortNumber(const StringMap& server) {
    bool ok = false;
    int port = server.value(QStringLiteral("port")).toInt(&ok);
    return ok ? port : 0;
}

QString DisplayText(const QString& text) {
    if (text.size() <= kMaxDisplayText) return text;
    return text.left(kMaxDisplayText - 3) + QStringLiteral("...");
}

bool ServerKey(const StringMap& server, std::uint8_t (&key)[vnx::kHopKeySize]) {
    const QString text = server.value(QStringLiteral("key"));
    // Longer text cannot be a key: not converted at all.
    if (text.isEmpty() || text.size() > 2 * static_cast<int>(vnx::kHopKeyTextSize)) return false;
    return vnx::decodeHopKey(text.toStdString(), key);
}

Protection ServerProtection(const StringMap& server, bool maskingOn) {
    if (!server.value(QStringLiteral("key")).trimmed().isEmpty()) {
        std::uint8_t key[vnx::kHopKeySize];
        return ServerKey(server, key) ? Protection::Encrypted : Protection::DamagedKey;
    }
    return maskingOn ? Protection::Masked : Protection::Plain;
}

QString ProtectionText(Protection protection) {
    switch (protection) {
        case Protection::Encrypted: return QStringLiteral("Encrypted");
        case Protection::Masked: return QStringLiteral("Masked");
        case Protection::Plain: return QStringLiteral("Plain");
        case Protection::DamagedKey: break;
    }
    return QStringLiteral("Damaged key");
}

QString ProtectionToolTip(Protection protection) {
    switch (protection) {
        case Protection::Encrypted:
            return QStringLiteral("Encrypted: everything sent to this server is encrypted with its key.");
        case Protection::Masked:
            return QStringLiteral(
                "Masked: this server has no key. Data to it is masked, which only hides it from naive "
                "inspection; it is not encrypted.");
        case Protection::Plain:
            return QStringLiteral("Plain: this server has no key and masking is off. Data to it is not encrypted.");
        case Protection::DamagedKey: break;
    }
    return QStringLiteral(
        "Damaged key: the key given for this server is not a valid key, so Veilnox does not connect to it. "
        "Add the server again from its link.");
}
