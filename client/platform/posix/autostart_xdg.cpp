// XDG autostart entries: one desktop file per entry.
#include "autostart.h"

#include "apphelpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString autostartFolder() {
    QByteArray config = qgetenv("XDG_CONFIG_HOME");
    QString root;
    if (!config.isEmpty() && config.startsWith('/'))
        root = QString::fromLocal8Bit(config);
    else
        root = QDir::homePath() + QStringLiteral("/.config");
    return root + QStringLiteral("/autostart");
}

// Characters that make the Exec program need quoting (desktop entry rules).
bool needsQuoting(const QString& path) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    for (QChar c : path)
        if (reserved.contains(c)) return true;
    return path.isEmpty();
}

// The Exec value for a program path: quoted when needed ("\"", "`", "$" and
// "\" escaped inside the quotes), "%" doubled, then the key-file escape of
// "\" applied.
QString execValue(const QString& path) {
    QString program;
    if (needsQuoting(path) && !path.isEmpty()) {
        QString inner;
        for (QChar c : path) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
                inner += QLatin1Char('\\');
            inner += c;
        }
        program = QLatin1Char('"') + inner + QLatin1Char('"');
    } else {
        program = path;
    }
    program.replace(QLatin1Char('%'), QStringLiteral("%%"));
    QString escaped;
    for (QChar c : program) {
        if (c == QLatin1Char('\\'))
            escaped += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            escaped += QStringLiteral("\\n");
        else
            escaped += c;
    }
    return escaped;
}

// Inverse of execValue for the program part of an Exec line.
QString programFromExec(const QString& value) {
    QString unescaped;
    for (int i = 0; i < value.size(); ++i) {
        if (value[i] == QLatin1Char('\\') && i + 1 < value.size()) {
            QChar n = value[++i];
            unescaped += n == QLatin1Char('n') ? QLatin1Char('\n') : n == QLatin1Char('s') ? QLatin1Char(' ') : n;
        } else {
            unescaped += value[i];
        }
    }
    unescaped.replace(QStringLiteral("%%"), QStringLiteral("%"));
    if (!unescaped.startsWith(QLatin1Char('"'))) return unescaped;
    QString program;
    for (int i = 1; i < unescaped.size(); ++i) {
        QChar c = unescaped[i];
        if (c == QLatin1Char('\\') && i + 1 < unescaped.size()) {
            program += unescaped[++i];
        } else if (c == QLatin1Char('"')) {
            break;
        } else {
            program += c;
        }
    }
    return program;
}

}  // namespace

QString AutostartLocation(const QString& name) { return autostartFolder() + QLatin1Char('/') + name + ".desktop"; }

QString ReadAutostartValue(const QString& name, const QString& missing) {
    if (name.isEmpty()) return missing;
    QFile file(AutostartLocation(name));
    if (!file.open(QIODevice::ReadOnly)) return missing;
    // An entry file is a few hundred bytes; a larger one is read only as far
    // as its first 64 KiB.
    const QList<QByteArray> lines = file.read(64 * 1024).split('\n');
    bool inEntry = false;
    for (const QByteArray& raw : lines) {
        QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (inEntry && line.startsWith(QLatin1String("Exec"))) {
            int eq = line.indexOf(QLatin1Char('='));
            if (eq < 0 || line.leftRef(eq).trimmed() != QLatin1String("Exec")) continue;
            return programFromExec(line.mid(eq + 1).trimmed());
        }
    }
    return QString();  // the entry exists with an empty value
}

bool IsAutostartEnabled(const QString& name) {
    if (name.isEmpty()) return false;
    static const QString kNoValue = QStringLiteral("NoVal");
    // The marker tells a missing entry from one whose value is empty.
    return ReadAutostartValue(name, kNoValue) != kNoValue;
}

bool EnableAutostart(const QString& name, const QString& path) {
    if (name.isEmpty()) return false;
    QString program = path.isEmpty() ? QCoreApplication::applicationFilePath() : path;
    QString file = AutostartLocation(name);
    if (!MakeParentPath(file)) return false;
    QString icon = QFileInfo(program).absolutePath() + QStringLiteral("/data/images/icon.png");
    QString text = QStringLiteral(
                       "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=%1\n"
                       "Exec=%2\n")
                       .arg(name, execValue(program));
    if (QFileInfo::exists(icon)) text += QStringLiteral("Icon=%1\n").arg(icon);
    text += QStringLiteral("Terminal=false\nX-GNOME-Autostart-enabled=true\n");
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly)) return false;
    QByteArray bytes = text.toUtf8();
    if (out.write(bytes) != bytes.size()) {
        out.cancelWriting();
        out.commit();
        return false;
    }
    return out.commit();
}

bool DisableAutostart(const QString& name) {
    if (name.isEmpty()) return false;
    QString file = AutostartLocation(name);
    return !QFileInfo::exists(file) || QFile::remove(file);
}
