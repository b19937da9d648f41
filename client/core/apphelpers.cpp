#include "apphelpers.h"

#include "endpoints.h"
#include "platform/system.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

QString GetAppDataDir() {
    QString root = QString::fromLocal8Bit(vnxplat::appDataRoot().c_str());
    if (root.isEmpty()) return Endpoints::applicationName();
    return root + QLatin1Char('/') + Endpoints::applicationName();
}

bool MakeParentPath(const QString& path) {
    QString unified = path;
    unified.replace(QLatin1Char('\\'), QLatin1Char('/'));
    int cut = unified.lastIndexOf(QLatin1Char('/'));
    if (cut <= 0) return false;
    QString folder = unified.left(cut);
    QDir().mkpath(folder);
    return QFileInfo(folder).isDir();
}

namespace {
bool startsWithDriveLetter(const QString& text) {
    return text.size() >= 2 && text[0].isLetter() && text[0].unicode() < 128 && text[1] == QLatin1Char(':');
}
}  // namespace

QString ReadTextFile(const QString& path) {
    if (path.isEmpty()) return QString();
    QString name = path;
    static const QLatin1String kTripleSlash("file:///");
    if (name.startsWith(kTripleSlash)) {
        // file:///C:/x names C:/x; file:///home/x names /home/x.
        QString rest = name.mid(kTripleSlash.size());
        name = startsWithDriveLetter(rest) ? rest : name.mid(kTripleSlash.size() - 1);
    } else if (name.startsWith(QLatin1String("file://"))) {
        name = name.mid(7);
    } else if (name.startsWith(QLatin1String("file:\\\\\\"))) {
        name = name.mid(8);
    } else if (name.startsWith(QLatin1String("file:\\\\"))) {
        name = name.mid(7);
    }
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return QString();
    if (file.size() > kMaxTextFileSize) return QString();
    QByteArray data = file.read(kMaxTextFileSize + 1);
    if (data.size() > kMaxTextFileSize) return QString();
    QTextStream stream(data);
    stream.setCodec("UTF-8");
    return stream.readAll();
}

bool WriteTextFile(const QString& path, const QString& text) {
    if (path.isEmpty()) return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return false;
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    stream << text;
    stream.flush();
    if (stream.status() != QTextStream::Ok) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

QString ProgramFilePath(const QString& relative) {
    if (QFileInfo::exists(relative) || QDir::isAbsolutePath(relative)) return relative;
    if (!QCoreApplication::instance()) return relative;
    QString beside = QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative;
    return QFileInfo::exists(beside) ? beside : relative;
}
