#include "serverlist.h"

ServerEntry::ServerEntry(const StringMap& attrs) : attributes(attrs), port(ServerPortNumber(attrs)) {}

QList<StringMap> CollectServers(const ServerListSources& sources) {
    QList<StringMap> servers;
    const QString& local = sources.programListText.isEmpty() ? sources.dataListText : sources.programListText;
    if (!local.isEmpty()) ParseArrayXml(local, servers);
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
