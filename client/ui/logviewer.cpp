#include "logviewer.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QVBoxLayout>

QString LogViewText(const QString& path, qint64 tailBytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("No log yet: %1 is not there.").arg(QDir::toNativeSeparators(path));
    const qint64 size = file.size();
    bool cut = false;
    if (size > tailBytes) {
        file.seek(size - tailBytes);
        cut = true;
    }
    QByteArray data = file.read(tailBytes);
    if (cut) {
        // From the first whole line on.
        const int end = data.indexOf('\n');
        data = end < 0 ? QByteArray() : data.mid(end + 1);
    }
    // The logs are written with CR LF line ends, in Latin-1.
    return QString::fromLatin1(data).remove(QLatin1Char('\r'));
}

LogViewer::LogViewer(const QList<QPair<QString, QString>>& logs, QWidget* parent) : QDialog(parent), logs_(logs) {
    setWindowTitle(QStringLiteral("Veilnox Logs"));
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("logTabs"));
    for (const auto& log : logs_) {
        auto* view = new QPlainTextEdit(tabs_);
        view->setReadOnly(true);
        view->setLineWrapMode(QPlainTextEdit::NoWrap);
        view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        view->setAccessibleName(log.first);
        view->setToolTip(QDir::toNativeSeparators(log.second));
        tabs_->addTab(view, log.first);
        views_.append(view);
    }
    layout->addWidget(tabs_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* refreshButton = buttons->addButton(QStringLiteral("Refresh"), QDialogButtonBox::ActionRole);
    refreshButton->setObjectName(QStringLiteral("refreshBtn"));
    buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("closeBtn"));
    connect(refreshButton, &QPushButton::clicked, this, &LogViewer::refresh);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(720, 420);
    refresh();
}

QPlainTextEdit* LogViewer::view(int index) const {
    return index >= 0 && index < views_.size() ? views_[index] : nullptr;
}

void LogViewer::refresh() {
    for (int i = 0; i < views_.size(); ++i) {
        views_[i]->setPlainText(LogViewText(logs_[i].second));
        // The newest lines are the ones wanted.
        views_[i]->verticalScrollBar()->setValue(views_[i]->verticalScrollBar()->maximum());
    }
}
