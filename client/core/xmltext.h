#pragma once
// Text of the current XML element including all of its descendants, read
// without recursion (QXmlStreamReader::readElementText recurses once per
// nesting level, so deeply nested input would exhaust the stack).
#include <QString>
#include <QXmlStreamReader>

// Call with the reader on a StartElement; returns with it on the matching
// EndElement (or on an error, which the caller checks with hasError()).
inline QString ReadFlattenedText(QXmlStreamReader& reader) {
    QString text;
    long long depth = 1;
    while (depth > 0 && !reader.atEnd()) {
        switch (reader.readNext()) {
            case QXmlStreamReader::StartElement: ++depth; break;
            case QXmlStreamReader::EndElement: --depth; break;
            case QXmlStreamReader::Characters:
            case QXmlStreamReader::EntityReference: text += reader.text(); break;
            default: break;
        }
    }
    return text;
}
