#include "rulesfile.h"

QStringList RulesFileNames(const QString& text) {
    QStringList names;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const QString name = line.trimmed();
        if (name.size() >= 2 && !name.startsWith(QLatin1Char('#'))) names.append(name);
    }
    return names;
}

QString RulesFileText(const QStringList& names) {
    QString text;
    for (const QString& name : names)
        text += QStringLiteral("\r\n") + name;
    return text;
}
