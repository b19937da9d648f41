#pragma once
// Version texts and numbers of the client.
#include <QString>

#include <cstddef>

constexpr std::size_t kVersionBufferSize = 128;

// Writes the version of the program file `path` as four decimal numbers
// joined by dots into `out` (kVersionBufferSize bytes, NUL-terminated).
// Programs built here carry the project version compiled in: the running
// program's own file (and every file that is the same file) answers with
// it; any other file has no version (false, `out` empty).
bool GetFileVersionString(const char* path, char* out);

// The project version compiled into this build, four parts ("1.0.0.0").
// Needs no application object.
QString ProjectVersion();

// The running program's version ("1.0.0.0"), empty when unknown.
QString GetAppVersion();

// a*1000 + b*100 + c*10 + d of the first four dot-separated parts of the
// lower-cased, trimmed text; a missing or non-numeric part counts 0, parts
// after the fourth are ignored. Saturates at the int range instead of
// overflowing.
int VersionToNumber(const QString& text);

// True when `candidate` has more than one character and
// VersionToNumber(running) / 100 < VersionToNumber(candidate) / 100.
bool IsNewerVersion(const QString& candidate, const QString& running);
