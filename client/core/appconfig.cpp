#include "appconfig.h"

#include "xmltext.h"

#include <QDomDocument>
#include <QFile>
#include <QSaveFile>
#include <QTextStream>
#include <QXmlStreamReader>

namespace {

bool isNameStart(QChar c) {
    ushort u = c.unicode();
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_' || u == ':' || (u >= 0xC0 && u <= 0xD6) ||
           (u >= 0xD8 && u <= 0xF6) || (u >= 0xF8 && u <= 0x2FF) || (u >= 0x370 && u <= 0x37D) ||
           (u >= 0x37F && u <= 0x1FFF) || (u >= 0x200C && u <= 0x200D) || (u >= 0x2070 && u <= 0x218F) ||
           (u >= 0x2C00 && u <= 0x2FEF) || (u >= 0x3001 && u <= 0xD7FF) || (u >= 0xF900 && u <= 0xFDCF) ||
           (u >= 0xFDF0 && u <= 0xFFFD);
}

bool isNameChar(QChar c) {
    ushort u = c.unicode();
    return isNameStart(c) || u == '-' || u == '.' || (u >= '0' && u <= '9') || u == 0xB7 ||
           (u >= 0x300 && u <= 0x36F) || (u >= 0x203F && u <= 0x2040);
}

// Element names we write back: XML names without a namespace prefix colon
// (the reader processes namespaces, an undeclared prefix would make the
// whole file unreadable).
bool isWritableKey(const QString& key) {
    if (key.isEmpty()) return false;
    for (int i = 0; i < key.size(); ++i) {
        QChar c = key[i];
        if (c.isHighSurrogate() && i + 1 < key.size() && key[i + 1].isLowSurrogate()) {
            uint code = QChar::surrogateToUcs4(c, key[i + 1]);
            if (code > 0xEFFFF) return false;  // beyond the XML name ranges
            ++i;
            continue;
        }
        if (c.isSurrogate() || c == QLatin1Char(':')) return false;
        if (i == 0 ? !isNameStart(c) : !isNameChar(c)) return false;
    }
    return true;
}

// Drops characters XML 1.0 cannot carry (control characters, lone
// surrogates, U+FFFE/U+FFFF).
QString xmlSafe(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        QChar c = text[i];
        ushort u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out += c;
            out += text[++i];
            continue;
        }
        if (c.isSurrogate()) continue;
        if (u < 0x20 && u != 0x09 && u != 0x0A && u != 0x0D) continue;
        if (u == 0xFFFE || u == 0xFFFF) continue;
        out += c;
    }
    return out;
}

}  // namespace

CAppConfig::CAppConfig(const QString& path) : path_(path) {
    if (!path_.isEmpty()) load();
}

bool CAppConfig::setPath(const QString& path) {
    path_ = path;
    return load();
}

bool CAppConfig::load() {
    values_.clear();
    if (path_.isEmpty()) return false;
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) return false;
    if (file.size() > kMaxFileSize) return false;
    QByteArray data = file.read(kMaxFileSize + 1);
    if (data.size() > kMaxFileSize) return false;
    return parse(data, values_);
}

bool CAppConfig::parse(const QByteArray& data, QMap<QString, QString>& out) {
    // A stream reader rather than a DOM: it keeps no tree, so deep nesting
    // cannot exhaust the stack, and it bounds entity expansion.
    QXmlStreamReader reader(data);
    reader.setNamespaceProcessing(true);
    QMap<QString, QString> found;
    bool rootSeen = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement()) continue;
        // Only the document element can be reached here: its children are
        // consumed below.
        bool isVars = !rootSeen && reader.qualifiedName() == QLatin1String("Vars");
        rootSeen = true;
        if (!isVars) {
            reader.skipCurrentElement();
            continue;
        }
        while (reader.readNextStartElement()) {
            QString key = reader.qualifiedName().toString();
            // Nested elements below a key are flattened to their text.
            QString text = ReadFlattenedText(reader);
            if (reader.hasError()) break;
            found.insert(key, text);
        }
    }
    if (reader.hasError()) return false;
    out = found;
    return true;
}

QByteArray CAppConfig::serialize(const QMap<QString, QString>& values) {
    QDomDocument doc;
    QDomElement root = doc.createElement(QStringLiteral("Vars"));
    doc.appendChild(root);
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (!isWritableKey(it.key())) continue;
        QDomElement element = doc.createElement(it.key());
        element.appendChild(doc.createTextNode(xmlSafe(it.value())));
        root.appendChild(element);
    }
    QByteArray bytes;
    QTextStream stream(&bytes, QIODevice::WriteOnly);
    stream.setCodec("UTF-8");
    doc.save(stream, 1);
    stream.flush();
    return bytes;
}

bool CAppConfig::save() const {
    if (path_.isEmpty()) return false;
    QByteArray bytes = serialize(values_);
    // QSaveFile writes a temporary file beside the target, syncs it and
    // renames it over the target on commit; on any failure the target is
    // left as it was.
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

QString& CAppConfig::operator[](const QString& key) { return values_[key]; }

void CAppConfig::setNumber(const QString& key, qint64 number) { values_[key] = QString::number(number); }
