#pragma once
// CSortHeaderView: the header of CDragTreeWidget. A click (press and release
// with the arrow cursor) sorts the tree by the clicked column: descending for
// a column other than the current sort column, else the opposite of the
// last order. While the cursor shows a resize shape the header behaves as a
// plain QHeaderView, so dragging a section edge still resizes.
#include <QHeaderView>

class CSortHeaderView : public QHeaderView {
    Q_OBJECT
public:
    explicit CSortHeaderView(Qt::Orientation orientation, QWidget* parent = nullptr);

    // The order of the last sort this header requested (true = descending).
    bool descending = true;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};
