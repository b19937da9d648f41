#include "cdragtreewidget.h"

#include "csortheaderview.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMimeData>
#include <QUrl>

CDragTreeWidget::CDragTreeWidget(QWidget* parent) : QTreeWidget(parent) {
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    headerView = new CSortHeaderView(Qt::Horizontal, this);
    setHeader(headerView);
    setSortingEnabled(false);
}

// The header is a child of the view, which deletes it with itself.
CDragTreeWidget::~CDragTreeWidget() = default;

bool CDragTreeWidget::acceptsUrls(const QList<QUrl>& urls) {
    for (const QUrl& url : urls) {
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isDir()) continue;
        if (url.toString().endsWith(QLatin1String("xml"), Qt::CaseInsensitive)) return true;
    }
    return false;
}

void CDragTreeWidget::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData() && event->mimeData()->hasUrls() && acceptsUrls(event->mimeData()->urls())) {
        event->acceptProposedAction();
        return;
    }
    event->ignore();
}

void CDragTreeWidget::dragMoveEvent(QDragMoveEvent* event) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void CDragTreeWidget::dropEvent(QDropEvent* event) {
    if (!event->mimeData() || !event->mimeData()->hasUrls()) {
        event->ignore();
        return;
    }
    QStringList files;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl& url : urls) {
        const QString text = url.toString();
        emit itemEntered(text);
        files << text;
    }
    emit listEntered(files);
    event->acceptProposedAction();
}

void CDragTreeWidget::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Space) {
        QTreeWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    const QList<QTreeWidgetItem*> rows = selectedItems();
    if (rows.isEmpty()) return;
    const Qt::CheckState next = rows.first()->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked;
    for (QTreeWidgetItem* row : rows)
        row->setCheckState(0, next);
}
