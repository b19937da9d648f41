#pragma once
// The rules file as the settings dialog reads and writes it: one executable
// name per line. Reading trims each line and drops lines shorter than two
// characters and comments (a leading "#"); writing puts a line break
// (CR LF) before every name. Names compare case-insensitively; dropping
// duplicates is the dialog's job. GUI thread only.
#include <QString>
#include <QStringList>

// The names of a rules file's text, in file order, duplicates included.
QStringList RulesFileNames(const QString& text);

// The text the dialog saves for its rows, top to bottom: "\r\n" before each
// name, so it starts with a line break and ends with the last name.
QString RulesFileText(const QStringList& names);
