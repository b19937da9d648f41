#include "clientcore_support.h"

#include "logs.h"
#include "rendpoint.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdlib>
#include <cstring>

namespace clienttest {

QCoreApplication* coreApp() {
    static QCoreApplication* instance = nullptr;
    if (!instance) {
        static int argc = 1;
        static char name[] = "clientlib-test";
        static char* argv[] = {name, nullptr};
        instance = new QCoreApplication(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Veilnox"));
        QDir::setCurrent(QCoreApplication::applicationDirPath());
    }
    return instance;
}

QString runtimeLog() {
    QFile file(vnx::runtimeLogPath());
    if (!file.open(QIODevice::ReadOnly)) return QString();
    return QString::fromLatin1(file.readAll());
}

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

}  // namespace clienttest
