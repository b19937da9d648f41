#include "localservers.h"

#include "apphelpers.h"
#include "hopkey.h"
#include "serverlink.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <QTextCodec>
#include <QVector>
#include <QXmlStreamReader>

namespace {

const QLatin1String kScheme("veilnox://");
// Fields of a pasted element that are kept, in the order a line lists them.
const char* const kFieldOrder[] = {"tag", "country", "city", "ip", "port", "protocol", "key", "strength"};
// Longest value of one field: names and tags are short; a pasted megabyte is
// a mistake, not a server.
constexpr int kMaxFieldLength = 1024;

QString field(const char* name) { return QString::fromLatin1(name); }

// Four decimal parts of 0-255 without leading zeros, as the links take them.
bool dottedIpv4(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4) return false;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 3 || (part.size() > 1 && part[0] == QLatin1Char('0'))) return false;
        for (QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
        if (part.toInt() > 255) return false;
    }
    return true;
}

bool portNumber(const QString& text) {
    if (text.isEmpty() || text.size() > 5) return false;
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    const int port = text.toInt();
    return port >= 1 && port <= 65535;
}

bool parseLink(const QString& line, StringMap& server, QString& error) {
    vnx::ServerLink link;
    std::string why;
    if (!vnx::parseServerLink(line.toStdString(), link, why)) {
        error = QString::fromStdString(why);
        return false;
    }
    server.clear();
    server.insert(field("ip"), QString::fromStdString(link.ipv4));
    server.insert(field("port"), QString::number(link.port));
    server.insert(field("protocol"), QStringLiteral("private"));
    if (link.hasKey) server.insert(field("key"), QString::fromStdString(vnx::encodeHopKey(link.key)));
    const std::pair<const char*, const std::string*> names[] = {
        {"tag", &link.tag}, {"country", &link.country}, {"city", &link.city}};
    for (const auto& name : names) {
        // As a list gives them back: trimmed, empty ones left out.
        const QString value = QString::fromStdString(*name.second).trimmed();
        if (!value.isEmpty()) server.insert(field(name.first), value);
    }
    return true;
}

bool parseElement(const QString& text, StringMap& server, QString& error) {
    // A line as printed, or a whole list of one server.
    const bool whole = text.startsWith(QLatin1String("<?xml")) || text.startsWith(QLatin1String("<Array"));
    QList<StringMap> found;
    if (!ParseArrayXml(whole ? text : QStringLiteral("<Array>") + text + QStringLiteral("</Array>"), found) ||
        found.isEmpty()) {
        error = QStringLiteral("The pasted text is not a complete <Element>...</Element> line.");
        return false;
    }
    if (found.size() > 1) {
        error = QStringLiteral("The pasted text holds %1 servers: paste one at a time.").arg(found.size());
        return false;
    }
    const StringMap& element = found.first();
    server.clear();
    for (const char* name : kFieldOrder) {
        const QString value = element.value(field(name));
        if (!value.isEmpty()) server.insert(field(name), value);
    }
    if (!dottedIpv4(server.value(field("ip")))) {
        error = QStringLiteral("The server's ip must be an IPv4 address such as 203.0.113.7.");
        return false;
    }
    if (!portNumber(server.value(field("port")))) {
        error = QStringLiteral("The server's port must be a number from 1 to 65535.");
        return false;
    }
    const QString protocol = server.value(field("protocol"));
    if (!protocol.isEmpty() && protocol != QLatin1String("private")) {
        error = QStringLiteral("Veilnox can only use servers whose protocol is \"private\".");
        return false;
    }
    server.insert(field("protocol"), QStringLiteral("private"));
    std::uint8_t key[vnx::kHopKeySize];
    const QString keyText = server.value(field("key"));
    if (!keyText.isEmpty() && (keyText.size() > 2 * static_cast<int>(vnx::kHopKeyTextSize) ||
                               !vnx::decodeHopKey(keyText.toStdString(), key))) {
        error = QStringLiteral("The server's key is damaged: it must be 43 letters, digits, - or _.");
        return false;
    }
    return true;
}

// Fields whose text could not stand in a list line as it is read back.
bool checkFields(const StringMap& server, QString& error) {
    for (auto it = server.constBegin(); it != server.constEnd(); ++it) {
        if (it.value().size() > kMaxFieldLength) {
            error = QStringLiteral("The server's %1 is too long.").arg(it.key());
            return false;
        }
        for (QChar c : it.value())
            if (c.unicode() < 0x20 || c.unicode() == 0x7F || c.isNonCharacter()) {
                error = QStringLiteral("The server's %1 holds characters a server list cannot keep.").arg(it.key());
                return false;
            }
    }
    return true;
}

// ---------------------------------------------------------------- the file

// Where the parts of a list are in its text (offsets into the text).
struct ListLayout {
    bool hasArray = false;
    int openBegin = -1;  // "<Array"
    int openEnd = -1;    // just past its ">"
    bool selfClosing = false;
    int closeBegin = -1;               // "</Array>", when not self-closing
    QVector<QPair<int, int>> entries;  // [begin, end) of each server, ParseArrayXml's order
};

// The '<' that starts the tag ending just before `end` (a tag's text holds
// no other '<': attribute values cannot).
int tagBegin(const QString& text, qint64 end) { return text.lastIndexOf(QLatin1Char('<'), static_cast<int>(end) - 1); }

// The layout of a well-formed list; false when the text is not one.
// QXmlStreamReader gives the offset just past each token; tags are found
// back from there.
bool scanList(const QString& text, ListLayout& layout) {
    QXmlStreamReader reader(text);
    reader.setNamespaceProcessing(false);
    bool rootSeen = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement()) continue;
        const bool isArray = !rootSeen && reader.qualifiedName() == QLatin1String("Array");
        rootSeen = true;
        if (!isArray) {
            reader.skipCurrentElement();
            continue;
        }
        layout.hasArray = true;
        layout.openEnd = static_cast<int>(reader.characterOffset());
        layout.openBegin = tagBegin(text, layout.openEnd);
        bool started = false;
        while (reader.readNextStartElement()) {
            if (!started && reader.qualifiedName() == QLatin1String("Element")) started = true;
            const int begin = tagBegin(text, reader.characterOffset());
            reader.skipCurrentElement();
            if (reader.hasError()) break;
            if (started) layout.entries.append(qMakePair(begin, static_cast<int>(reader.characterOffset())));
        }
        if (reader.hasError()) break;
        // On "</Array>" now; "<Array/>" ends without moving on.
        const int closeEnd = static_cast<int>(reader.characterOffset());
        layout.selfClosing =
            closeEnd == layout.openEnd &&
            text.midRef(layout.openBegin, layout.openEnd - layout.openBegin).endsWith(QLatin1String("/>"));
        if (!layout.selfClosing) layout.closeBegin = tagBegin(text, closeEnd);
    }
    return !reader.hasError() && (!layout.hasArray || layout.selfClosing || layout.closeBegin > layout.openBegin);
}

// The list file as text: false, with `error`, when it exists but cannot be
// read as UTF-8. A missing file is empty text.
bool readList(const QString& path, QString& text, QString& error) {
    text.clear();
    if (!QFileInfo::exists(path)) return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxTextFileSize) {
        error = QStringLiteral("Your server list %1 could not be read; it was left unchanged.").arg(path);
        return false;
    }
    const QByteArray bytes = file.readAll();
    QTextCodec::ConverterState state;
    text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars != 0) {
        error = QStringLiteral("Your server list %1 is not UTF-8 text; it was left unchanged.").arg(path);
        return false;
    }
    return true;
}

// The list's text (a leading byte order mark set aside) and its layout;
// false, with `error`, when it is not a list that can be edited.
bool readLayout(const QString& path, const QString& text, QString& body, ListLayout& layout, QList<StringMap>& servers,
                QString& error) {
    body = text.startsWith(QChar(0xFEFF)) ? text.mid(1) : text;
    const QString broken =
        QStringLiteral(
            "Your server list %1 is not a well-formed server list, so it was left unchanged. Correct it "
            "or move it away, then try again.")
            .arg(path);
    if (!ParseArrayXml(body, servers) || !scanList(body, layout) || !layout.hasArray) {
        error = broken;
        return false;
    }
    if (layout.entries.size() != servers.size()) {
        error = broken;
        return false;
    }
    return true;
}

bool sameServer(const StringMap& a, const StringMap& b) {
    for (const char* name : {"ip", "port", "protocol", "key"})
        if (a.value(field(name)) != b.value(field(name))) return false;
    return true;
}

bool writeList(const QString& path, const QString& text, QString& error) {
    if (!MakeParentPath(path)) {
        error = QStringLiteral("The folder of %1 could not be made.").arg(path);
        return false;
    }
    QSaveFile file(path);
    const QByteArray bytes = text.toUtf8();
    // The list holds relay keys: its owner's alone.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(bytes) != bytes.size() || !file.commit()) {
        error = QStringLiteral("Your server list %1 could not be saved (%2); it was left unchanged.")
                    .arg(path, file.errorString());
        return false;
    }
    return true;
}

}  // namespace

bool LooksLikeServerText(const QString& text) {
    const QString trimmed = text.trimmed();
    return trimmed.startsWith(kScheme) || trimmed.contains(QLatin1String("<Element"));
}

bool ParseServerText(const QString& text, StringMap& server, QString& error) {
    server.clear();
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        error = QStringLiteral("Paste a veilnox:// link or an <Element> line of a server list.");
        return false;
    }
    QStringList links;
    const QStringList lines = trimmed.split(QLatin1Char('\n'));
    for (const QString& line : lines)
        if (line.trimmed().startsWith(kScheme)) links << line.trimmed();
    bool ok = false;
    if (links.size() == 1)
        ok = parseLink(links.first(), server, error);
    else if (trimmed.startsWith(QLatin1Char('<')))
        ok = parseElement(trimmed, server, error);
    else
        ok = parseLink(trimmed, server, error);  // its sentence says what a link looks like
    if (ok) ok = checkFields(server, error);
    if (!ok) server.clear();
    return ok;
}

QString ServerElementLine(const StringMap& server) {
    QString line = QStringLiteral(" <Element>");
    for (const char* name : kFieldOrder) {
        const QString value = server.value(field(name));
        if (value.isEmpty()) continue;
        line += QStringLiteral("<%1>%2</%1>").arg(field(name), value.toHtmlEscaped());
    }
    return line + QStringLiteral("</Element>");
}

QString LocalServerListPath(const QString& dataDir) { return dataDir + QStringLiteral("/config/proxys.xml"); }

bool AddLocalServer(const QString& path, const StringMap& server, QString& error) {
    QString text;
    if (!readList(path, text, error)) return false;
    QString result;
    QList<StringMap> before;
    if (text.trimmed().isEmpty() || text.trimmed() == QString(QChar(0xFEFF))) {
        result = QStringLiteral("<Array>\n") + ServerElementLine(server) + QStringLiteral("\n</Array>\n");
    } else {
        QString body;
        ListLayout layout;
        if (!readLayout(path, text, body, layout, before, error)) return false;
        for (const StringMap& known : before)
            if (known.value(QStringLiteral("ip")) == server.value(QStringLiteral("ip")) &&
                known.value(QStringLiteral("port")) == server.value(QStringLiteral("port"))) {
                error = QStringLiteral("The server %1:%2 is already in your list.")
                            .arg(server.value(QStringLiteral("ip")), server.value(QStringLiteral("port")));
                return false;
            }
        const QString newline = body.contains(QLatin1String("\r\n")) ? QStringLiteral("\r\n") : QStringLiteral("\n");
        const QString line = ServerElementLine(server);
        if (layout.selfClosing) {
            // "<Array/>" becomes "<Array>", the line and "</Array>".
            QString open = body.mid(layout.openBegin, layout.openEnd - layout.openBegin);
            open.chop(2);
            open = open.trimmed() + QLatin1Char('>');
            body.replace(layout.openBegin, layout.openEnd - layout.openBegin,
                         open + newline + line + newline + QStringLiteral("</Array>"));
        } else {
            // Before "</Array>": on the line of its own that "</Array>" starts
            // after blanks, else on a new line.
            const int lineStart = body.lastIndexOf(QLatin1Char('\n'), layout.closeBegin - 1) + 1;
            if (body.midRef(lineStart, layout.closeBegin - lineStart).trimmed().isEmpty())
                body.insert(lineStart, line + newline);
            else
                body.insert(layout.closeBegin, newline + line + newline);
        }
        result = text.startsWith(QChar(0xFEFF)) ? QString(QChar(0xFEFF)) + body : body;
    }
    // What is written must read back as the old list and the new server.
    QList<StringMap> after;
    QList<StringMap> expected = before;
    expected.append(server);
    const QString check = result.startsWith(QChar(0xFEFF)) ? result.mid(1) : result;
    if (!ParseArrayXml(check, after) || after != expected) {
        error = QStringLiteral(
                    "The server could not be added to %1 without changing its other servers; the file "
                    "was left unchanged.")
                    .arg(path);
        return false;
    }
    return writeList(path, result, error);
}

bool RemoveLocalServer(const QString& path, int index, const StringMap& expected, QString& error) {
    QString text;
    if (!readList(path, text, error)) return false;
    QString body;
    ListLayout layout;
    QList<StringMap> before;
    if (text.isEmpty() || !readLayout(path, text, body, layout, before, error)) {
        if (text.isEmpty()) error = QStringLiteral("Your server list %1 no longer exists.").arg(path);
        return false;
    }
    if (index < 0 || index >= before.size() || !sameServer(before[index], expected)) {
        error = QStringLiteral(
                    "Your server list %1 changed since it was shown, so nothing was removed. Look at the "
                    "list again and retry.")
                    .arg(path);
        return false;
    }
    int begin = layout.entries[index].first;
    int end = layout.entries[index].second;
    // The whole line when the element stands alone on it.
    const int lineStart = body.lastIndexOf(QLatin1Char('\n'), begin - 1) + 1;
    int lineEnd = body.indexOf(QLatin1Char('\n'), end);
    if (lineEnd < 0) lineEnd = body.size();
    if (body.midRef(lineStart, begin - lineStart).trimmed().isEmpty() &&
        body.midRef(end, lineEnd - end).trimmed().isEmpty()) {
        begin = lineStart;
        end = lineEnd < body.size() ? lineEnd + 1 : lineEnd;
    }
    body.remove(begin, end - begin);
    QList<StringMap> after;
    QList<StringMap> remaining = before;
    remaining.removeAt(index);
    if (!ParseArrayXml(body, after) || after != remaining) {
        error = QStringLiteral(
                    "The server could not be removed from %1 without changing its other servers; the "
                    "file was left unchanged.")
                    .arg(path);
        return false;
    }
    return writeList(path, text.startsWith(QChar(0xFEFF)) ? QString(QChar(0xFEFF)) + body : body, error);
}
