#pragma once
// DownloadHttpFile: the client's blocking HTTP GET (server list, version
// document). GUI thread; it keeps processing events while it waits, so other
// slots may run meanwhile.
#include <QString>

class QProgressDialog;

constexpr int kDownloadTimeoutMs = 300000;
// A document larger than this is not one the client asks for; the download
// is abandoned (empty result) rather than held in memory.
constexpr qint64 kDownloadMaxBytes = 32 * 1024 * 1024;

// GETs `url` (parsed tolerantly) with the User-Agent "ie" and returns the
// body decoded as UTF-8, or empty text on every failure.
// With `progress`: the dialog's bar keeps moving (maximum and value raised by
// one every ~10 ms), an empty label becomes "Downloading: " + url, and a
// cancel of the dialog ends the download at once. With or without a dialog
// the download takes at most `timeoutMs`; then "DownloadHttpFile TimeOUT ."
// is logged and the result is empty. An empty body logs "DownloadHttpFile Read Empty file.". HTTP
// status codes are not examined: an error reply gives whatever body it has.
QString DownloadHttpFile(const QString& url, QProgressDialog* progress = nullptr, int timeoutMs = kDownloadTimeoutMs,
                         qint64 maxBytes = kDownloadMaxBytes);
