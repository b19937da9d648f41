#include "endpoints.h"

#include <QByteArray>
#include <QtGlobal>

namespace Endpoints {

namespace {
QString fromEnvironment(const char* name, const char* builtIn) {
    QByteArray value = qgetenv(name).trimmed();
    return value.isEmpty() ? QString::fromLatin1(builtIn) : QString::fromUtf8(value);
}
}  // namespace

QString applicationName() { return QStringLiteral("Veilnox"); }
QString homepageUrl() { return QStringLiteral("https://www.veilnox.com/"); }
QString supportPageUrl() { return QStringLiteral("https://www.veilnox.com/support/"); }
QString supportAddress() { return QStringLiteral("support@veilnox.com"); }

QString serverListUrl() { return fromEnvironment("VEILNOX_SERVERLIST_URL", "https://api.veilnox.com/v1/servers.xml"); }
QString serverListFallbackUrl() {
    return fromEnvironment("VEILNOX_SERVERLIST_FALLBACK_URL", "https://mirror.veilnox.net/v1/servers.xml");
}
QString versionUrl() { return fromEnvironment("VEILNOX_VERSION_URL", "https://api.veilnox.com/v1/version.json"); }
QString versionFallbackUrl() {
    return fromEnvironment("VEILNOX_VERSION_FALLBACK_URL", "https://mirror.veilnox.net/v1/version.json");
}

QStringList versionEndpoints() { return {versionUrl(), versionFallbackUrl()}; }
QStringList serverListEndpoints() { return {serverListUrl(), serverListFallbackUrl()}; }

}  // namespace Endpoints
