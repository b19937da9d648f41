#pragma once
// The kernel capture service's report of the connections it reset. When a
// user's policy starts to cover programs, the service resets the chosen
// programs' connections that were opened before (they would otherwise keep
// going directly) and writes "<count> <unix-seconds>\n" into the user's
// report file (CaptureResetFile(), platformdefaults.h). The main window
// polls it on its 1.2 s tick and shows a new report in the status bar.
// GUI thread only.
#include <QString>

// One report as read from the file.
struct CaptureReset {
    qint64 count = 0;
    qint64 seconds = 0;
};

// Reads a report: two non-negative decimal numbers separated by blanks, on
// the first line of a file of at most 64 bytes. False when the file is
// missing or unreadable, or holds anything else.
bool ReadCaptureReset(const QString& path, CaptureReset& report);

// The status-bar text for `count` reset connections.
QString CaptureResetText(qint64 count);

// Remembers the time of the last report shown, so that each report is shown
// once.
class CaptureResetWatch {
public:
    // Reports written at or before `shownUntil` (unix seconds) count as shown:
    // the window passes the second before it started, so that a report left
    // from an earlier session is not shown again.
    explicit CaptureResetWatch(qint64 shownUntil = 0) : shownUntil_(shownUntil) {}

    // The text to show for the report in `path` when it is newer than the
    // last one shown and counts at least one connection; empty otherwise. A
    // newer report of 0 connections is remembered without a text.
    QString poll(const QString& path);

    qint64 shownUntil() const { return shownUntil_; }

private:
    qint64 shownUntil_;
};
