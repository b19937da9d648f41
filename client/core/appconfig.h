#pragma once
// CAppConfig: the client's settings store, a key-ordered map of text values
// kept in "appconfig.xml":
//
//   <Vars>
//    <changetime>30</changetime>
//    <redirecttcp>1</redirecttcp>
//   </Vars>
//
// (no declaration, one child per key in key order, one space of indentation,
// UTF-8). One instance lives for the whole run (AppContext::config); every
// writer changes the map and saves at once. GUI thread only.
//
// Saving never loses the previous file: the new content is written to a
// temporary file in the same folder, flushed to disk and then renamed over
// the old one, so a crash or a full disk leaves either the old or the new
// file, never a truncated one. Loading treats any damaged, oversized or
// malformed file as an empty store and never crashes or hangs on it.
#include <QByteArray>
#include <QMap>
#include <QString>

class CAppConfig {
public:
    // Files larger than this are not settings files: they load as empty.
    static constexpr qint64 kMaxFileSize = 4 * 1024 * 1024;

    CAppConfig() = default;
    // Remembers the path and, when it is non-empty, loads it.
    explicit CAppConfig(const QString& path);

    // Replaces the path and reloads from it.
    bool setPath(const QString& path);
    const QString& path() const { return path_; }

    // Empties the map and reads the file. False (map empty) when the file is
    // missing, unreadable, too large or not well-formed XML.
    bool load();
    // Writes the whole map to path() (see above). False when nothing was
    // replaced (empty path, folder not writable, disk full); the old file is
    // then untouched. Callers in the client ignore the result.
    bool save() const;

    // The value of `key`, added as an empty entry when missing (so that the
    // next save writes it as an empty element).
    QString& operator[](const QString& key);
    // The number variant: stores `number` as decimal text.
    void setNumber(const QString& key, qint64 number);
    // Reads without adding a missing key (empty text then).
    QString value(const QString& key) const { return values_.value(key); }
    bool contains(const QString& key) const { return values_.contains(key); }
    const QMap<QString, QString>& values() const { return values_; }

    // The exact bytes save() writes for `values`. Keys that are not valid
    // XML names are left out and characters XML cannot carry are dropped
    // from values, so that the file always loads again.
    static QByteArray serialize(const QMap<QString, QString>& values);
    // Reads the content of a settings file. False (out untouched) when it is
    // not well-formed XML.
    static bool parse(const QByteArray& data, QMap<QString, QString>& out);

private:
    QMap<QString, QString> values_;
    QString path_;
};
