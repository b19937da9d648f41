#pragma once
// The servers a user adds from the window ("Add server..."): a pasted
// veilnox:// link, or a list line as `veilnox-relay --print-list-entry`
// prints it, checked and turned into a server's attributes; and the data
// folder's own list (dataDir + "/config/proxys.xml") edited in place.
//
// Editing keeps the file as the user left it: a server is added as one more
// line before "</Array>" and removed by taking out its element (its whole
// line when it stands alone on one), every other character stays. A file
// that exists but is not a well-formed list is never replaced, and a result
// that would not read back as the intended list is never written. The file
// is replaced atomically (a temporary file renamed over it) and made
// readable by its owner only, since it holds relay keys.
//
// Window-free; GUI thread only (no locks).
#include "arrayxml.h"

#include <QString>

// Whether text (the clipboard's, say) looks like something the dialog
// takes: it starts with "veilnox://" or holds "<Element".
bool LooksLikeServerText(const QString& text);

// Reads a pasted server. Either a link (parsed by vnx::parseServerLink;
// protocol "private"), or an "Element" of a list (a line, with or without
// the "Array" around it) whose "ip" is an IPv4 address, whose "port" is
// 1-65535, whose "protocol" is "private" or empty (it becomes "private") and
// whose "key", when not empty, is a relay key. When the text holds a link
// line and an element line (as --print-list-entry prints them), the link is
// read. On success `server` holds ip, port, protocol and, when given, tag,
// country, city, strength and key (its text); other fields are dropped. On
// failure false with one sentence for the user in `error`.
bool ParseServerText(const QString& text, StringMap& server, QString& error);

// The server as one list line: " <Element>" with tag, country, city, ip,
// port, protocol, key and strength, those that are not empty, in this order,
// then "</Element>" (no line end).
QString ServerElementLine(const StringMap& server);

// dataDir + "/config/proxys.xml".
QString LocalServerListPath(const QString& dataDir);

// Appends `server` (as ParseServerText gives it) to the list at `path`,
// creating the file and its folders when missing. Refused, with the file
// left as it was and a sentence in `error`: a file that cannot be read, is
// not UTF-8, is not a well-formed list or has no "Array"; a server whose ip
// and port are already in it; a failed write.
bool AddLocalServer(const QString& path, const StringMap& server, QString& error);

// Removes the server at `index` (the order ParseArrayXml gives) from the
// list at `path`. `expected` is that server as the window read it: when the
// entry there no longer has its ip, port, protocol and key (the file changed
// since), nothing is removed. Refused as AddLocalServer is otherwise.
bool RemoveLocalServer(const QString& path, int index, const StringMap& expected, QString& error);
