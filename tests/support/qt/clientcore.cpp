#include "qt/clientcore.h"

#include "logs.h"
#include "rendpoint.h"
#include "waiters.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vnxtest {

int& appArgc() {
    static int argc = 1;
    return argc;
}

char** appArgv() {
    static char name[] = "clientlib-test";
    static char* argv[] = {name, nullptr};
    return argv;
}

void settleApp() {
    QCoreApplication::setApplicationName(QStringLiteral("Veilnox"));
    QDir::setCurrent(QCoreApplication::applicationDirPath());
}

QCoreApplication* coreApp() {
    static QCoreApplication* instance = nullptr;
    if (!instance) {
        instance = new QCoreApplication(appArgc(), appArgv());
        settleApp();
    }
    return instance;
}

QString binDir() { return QCoreApplication::applicationDirPath(); }

bool waitFor(const std::function<bool()>& condition, int ms) {
    // The condition is asked first, then after each round of events.
    bool first = true;
    return waitUntil(
        [&] {
            if (!first) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            first = false;
            return condition();
        },
        ms, 5);
}

QByteArray readFile(const QString& path, const QByteArray& missing) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : missing;
}

bool writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QString runtimeLog() { return QString::fromLatin1(readFile(vnx::runtimeLogPath())); }

void usePerUserRoot(const QString& root) {
    QDir().mkpath(root + "/share");
    QDir().mkpath(root + "/config");
    setenv("XDG_DATA_HOME", QFile::encodeName(root + "/share").constData(), 1);
    setenv("XDG_CONFIG_HOME", QFile::encodeName(root + "/config").constData(), 1);
}

StringMap server(const QString& ip, const QString& port, const QString& country, const QString& city,
                 const QString& protocol) {
    StringMap s;
    s["ip"] = ip;
    s["port"] = port;
    s["country"] = country;
    s["city"] = city;
    s["protocol"] = protocol;
    s["tag"] = country.left(2).toUpper();
    return s;
}

QByteArray listXml(const QList<StringMap>& servers) {
    QByteArray xml = "<Array>\n";
    for (const StringMap& s : servers) {
        xml += " <Element>";
        for (auto it = s.begin(); it != s.end(); ++it)
            xml += "<" + it.key().toUtf8() + ">" + it.value().toHtmlEscaped().toUtf8() + "</" + it.key().toUtf8() + ">";
        xml += "</Element>\n";
    }
    return xml + "</Array>\n";
}

QByteArray probeAnswer(const char* ip, std::uint32_t connections) {
    QByteArray answer(8, '\0');
    const std::uint32_t address = vnx::parseIpv4(ip);
    std::memcpy(answer.data(), &address, 4);
    for (int i = 0; i < 4; ++i)
        answer[4 + i] = static_cast<char>((connections >> (8 * i)) & 0xFF);
    return answer;
}

QString ruleName(const vnx::ProgramRule& rule) {
    int n = 0;
    while (n < 128 && rule.name[n] != 0)
        ++n;
    return QString::fromUtf16(rule.name, n);
}

vnx::AppStatus appEntry(const char* name, std::uint32_t udpSent, std::uint32_t udpRecv, std::uint32_t udpRate,
                        std::uint32_t udpConnections, std::uint32_t tcpRecv, std::uint32_t tcpSent,
                        std::uint32_t tcpRate, std::uint32_t tcpConnections) {
    vnx::AppStatus e;
    std::memset(&e, 0, sizeof e);
    // A name of 32 bytes or more fills the field without a terminator.
    std::memcpy(e.name, name, std::min(std::strlen(name), sizeof e.name));
    e.udp_sent = udpSent;
    e.udp_recv = udpRecv;
    e.udp_rate = udpRate;
    e.udp_connections = udpConnections;
    e.tcp_recv = tcpRecv;
    e.tcp_sent = tcpSent;
    e.tcp_rate = tcpRate;
    e.tcp_connections = tcpConnections;
    return e;
}

}  // namespace vnxtest
