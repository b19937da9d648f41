#pragma once
// The parser of the "Array"/"Element" lists the server list comes in:
//
//   <Array>
//     <Element><ip>1.2.3.4</ip><port>443</port>...</Element>
//     <Element>...</Element>
//   </Array>
#include <QList>
#include <QMap>
#include <QString>

using StringMap = QMap<QString, QString>;

// Parses `xml` (namespace processing off). Starting at the first child
// element "Element" of the document element "Array", that element and every
// following sibling element, whatever its name, gives one map: child
// element name (trimmed, lower-cased) -> its text, all descendant text,
// trimmed; a later child with the same name wins. The maps are appended to
// `list`. False, with `list` untouched, when `xml` is not well-formed; true
// (nothing appended) when there is no "Array" or no "Element".
bool ParseArrayXml(const QString& xml, QList<StringMap>& list);
