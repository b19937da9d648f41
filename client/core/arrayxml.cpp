#include "arrayxml.h"

#include "xmltext.h"

#include <QXmlStreamReader>

bool ParseArrayXml(const QString& xml, QList<StringMap>& list) {
    // A stream reader keeps no tree: deeply nested or huge input costs time
    // in proportion to its size, never stack depth.
    QXmlStreamReader reader(xml);
    reader.setNamespaceProcessing(false);
    QList<StringMap> found;
    bool rootSeen = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement()) continue;
        bool isArray = !rootSeen && reader.qualifiedName() == QLatin1String("Array");
        rootSeen = true;
        if (!isArray) {
            reader.skipCurrentElement();
            continue;
        }
        bool started = false;
        while (reader.readNextStartElement()) {
            if (!started && reader.qualifiedName() == QLatin1String("Element")) started = true;
            if (!started) {
                reader.skipCurrentElement();
                continue;
            }
            StringMap entry;
            while (reader.readNextStartElement()) {
                QString key = reader.qualifiedName().toString().trimmed().toLower();
                QString text = ReadFlattenedText(reader);
                if (reader.hasError()) break;
                entry.insert(key, text.trimmed());
            }
            if (reader.hasError()) break;
            found.append(entry);
        }
    }
    if (reader.hasError()) return false;
    list.append(found);
    return true;
}
