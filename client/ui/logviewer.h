#pragma once
// LogViewer: a read-only view of the client's and the local server's log
// files, one tab each, with Refresh (reads the files again) and Close. A
// file that is missing shows as such; a long file shows its last
// kLogViewTailBytes. GUI thread only.
#include <QDialog>
#include <QList>
#include <QPair>
#include <QString>

class QPlainTextEdit;
class QTabWidget;

constexpr qint64 kLogViewTailBytes = 1024 * 1024;

// The text a log tab shows for the file at `path`: its last `tailBytes`
// (from the first whole line on), or a line saying that there is no log
// yet.
QString LogViewText(const QString& path, qint64 tailBytes = kLogViewTailBytes);

class LogViewer : public QDialog {
    Q_OBJECT
public:
    // `logs`: (tab title, file path) pairs.
    explicit LogViewer(const QList<QPair<QString, QString>>& logs, QWidget* parent = nullptr);

    QTabWidget* tabs() const { return tabs_; }
    QPlainTextEdit* view(int index) const;

public slots:
    void refresh();

private:
    QList<QPair<QString, QString>> logs_;
    QTabWidget* tabs_ = nullptr;
    QList<QPlainTextEdit*> views_;
};
