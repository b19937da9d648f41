#pragma once
// Small path and file helpers of the client. GUI thread (no locks), but
// none of them needs a window (the widget helpers are in ui/widgethelpers.h).
#include <QString>

// The per-user folder of the client: the user's application-data root
// ($XDG_DATA_HOME, default ~/.local/share, on Linux; the roaming APPDATA
// folder on Windows), a separator and "Veilnox". The client's data folder is
// this followed by "/data". Empty root (no HOME): "Veilnox" alone.
QString GetAppDataDir();

// Creates the folder that contains `path` and all missing parents ("\" and
// "/" both separate). False when the path has no separator, or only a
// leading one, and when the folder does not exist afterwards.
bool MakeParentPath(const QString& path);

// The whole file as text (UTF-8). "file:///", "file://", "file:\\\" and
// "file:\\" prefixes are stripped first; "file:///" keeps the leading "/" of
// an absolute POSIX path and strips it before a drive letter ("C:"). Every
// failure gives empty text. Reads at most kMaxTextFileSize bytes (a larger
// file gives empty text).
QString ReadTextFile(const QString& path);
constexpr qint64 kMaxTextFileSize = 64 * 1024 * 1024;

// Replaces the file with `text` (UTF-8). The text goes to a temporary file
// beside it that is renamed over the old one, so a failure leaves the old
// file as it was. False on failure.
bool WriteTextFile(const QString& path, const QString& text);

// A path that the client gives relative to its program folder ("data/...").
// The client runs with its program folder as the current folder; when the
// file is not found relative to the current folder, the program folder is
// tried. Returns the path as given when neither has it.
QString ProgramFilePath(const QString& relative);
