#include "proxypublish.h"

#include "hopkey.h"
#include "platformdefaults.h"
#include "rendpoint.h"
#include "serverlist.h"

#include <cstring>

using vnx::ProxyData;

void WriteProxyText(char (&field)[vnx::kProxyTextSize], const QString& text) {
    constexpr int kCopy = vnx::kProxyTextSize - 1;
    QByteArray utf8 = text.toUtf8();
    int n = utf8.size() < kCopy ? utf8.size() : kCopy;
    std::memcpy(field, utf8.constData(), static_cast<size_t>(n));
    std::memset(field + n, 0, static_cast<size_t>(kCopy - n));
}

void WriteProxyServer(ProxyData& data, const StringMap& server) {
    bool ok = false;
    ushort port = server.value(QStringLiteral("port")).toUShort(&ok);
    data.proxy_port = ok ? port : 0;
    WriteProxyText(data.proxy_ip, server.value(QStringLiteral("ip")));
    WriteProxyText(data.proxy_user, server.value(QStringLiteral("user")));
    WriteProxyText(data.proxy_pass, server.value(QStringLiteral("pass")));
    WriteProxyText(data.proxy_protocol, server.value(QStringLiteral("protocol")));
}

bool PublishServerKey(const StringMap& server) {
    std::uint8_t key[vnx::kHopKeySize];
    bool ok = false;
    const ushort port = server.value(QStringLiteral("port")).toUShort(&ok);
    const QByteArray ip = server.value(QStringLiteral("ip")).toLatin1();
    const std::uint32_t address = ip.isEmpty() ? 0 : vnx::parseIpv4(ip.constData());
    const bool keyed = ok && port != 0 && address != 0 && address != 0xFFFFFFFFu && ServerKey(server, key);
    const bool published = keyed ? vnx::publishHopKey(address, port, key) : vnx::publishHopKey(0, 0, nullptr);
    std::memset(key, 0, sizeof key);
    return published;
}

QStringList ParseRulesText(const QString& text) {
    QStringList rules;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString& raw : lines) {
        QString line = raw.trimmed();
        if (line.size() >= 2 && line.size() < 128 && !line.startsWith(QLatin1Char('#'))) rules.append(line);
    }
    return rules;
}

int PublishRules(ProxyData& data, const QString& rulesText) {
    const QStringList rules = ParseRulesText(rulesText);
    int count = rules.size() < vnx::kMaxRules ? rules.size() : vnx::kMaxRules;
    for (int i = 0; i < count; ++i) {
        vnx::ProgramRule& rule = data.rules[i];
        const QString& name = rules[i];
        // Lines are at most 127 UTF-16 units, so the terminator always fits.
        int n = 0;
        for (; n < name.size() && n < 127; ++n)
            rule.name[n] = static_cast<char16_t>(name[n].unicode());
        rule.name[n] = 0;
        rule.enabled = 1;
    }
    data.rule_count = count;
    return count;
}

namespace {
// 1/0 from a settings value; `fallback` when it is empty.
std::uint8_t flagValue(const QString& value, std::uint8_t fallback) {
    if (value.isEmpty()) return fallback;
    return value.toInt() != 0 ? 1 : 0;
}
}  // namespace

void ApplyRedirectSettings(ProxyData& data, CAppConfig& config) {
    data.redirect_all_apps = flagValue(config[QStringLiteral("redirectallapp")], 0);
    data.encrypt_data = flagValue(config[QStringLiteral("encryptdata")], 1);
    data.redirect_dns = flagValue(config[QStringLiteral("redirectdns")], 1);
    data.redirect_udp = flagValue(config[QStringLiteral("redirectudp")], RedirectUdpByDefault() ? 1 : 0);
    data.redirect_tcp = flagValue(config[QStringLiteral("redirecttcp")], 1);
}

void StoreConnectionKeys(CAppConfig& config, const StringMap& server) {
    const QString ip = server.value(QStringLiteral("ip"));
    const QString port = server.value(QStringLiteral("port"));
    const QString protocol = server.value(QStringLiteral("protocol"));
    config[QStringLiteral("ipconnected")] = ip;
    config[QStringLiteral("portconnected")] = port;
    config[QStringLiteral("protocolconnected")] = protocol;
    config[QStringLiteral("ipconnected_last")] = ip;
    config[QStringLiteral("portconnected_last")] = port;
    config[QStringLiteral("protocolconnected_last")] = protocol;
    config.save();
}

void ClearConnectedKey(CAppConfig& config) { StoreSetting(config, QStringLiteral("ipconnected"), QString()); }

bool StoreSetting(CAppConfig& config, const QString& key, const QString& value) {
    if (config.value(key) == value) return false;
    config[key] = value;
    config.save();
    return true;
}
