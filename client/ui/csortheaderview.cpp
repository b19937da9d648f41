#include "csortheaderview.h"

#include <QMouseEvent>
#include <QTreeWidget>

CSortHeaderView::CSortHeaderView(Qt::Orientation orientation, QWidget* parent) : QHeaderView(orientation, parent) {}

void CSortHeaderView::mousePressEvent(QMouseEvent* event) {
    if (cursor().shape() != Qt::ArrowCursor) {
        QHeaderView::mousePressEvent(event);
        return;
    }
    event->accept();
}

void CSortHeaderView::mouseReleaseEvent(QMouseEvent* event) {
    if (cursor().shape() != Qt::ArrowCursor) {
        QHeaderView::mouseReleaseEvent(event);
        return;
    }
    event->accept();
    auto* tree = qobject_cast<QTreeWidget*>(parentWidget());
    if (!tree) return;
    const int column = logicalIndexAt(event->pos());
    if (column < 0) return;
    descending = column != tree->sortColumn() ? true : !descending;
    tree->sortItems(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
}
