#pragma once
// CDragTreeWidget: the client's list widget (settings program list, main
// window server list). It accepts dropped XML files (announcing them through
// its signals, adding no rows itself), toggles the check marks of the
// selected rows with the space bar and sorts through its CSortHeaderView.
// GUI thread only.
#include <QStringList>
#include <QTreeWidget>

class CSortHeaderView;

class CDragTreeWidget : public QTreeWidget {
    Q_OBJECT
public:
    explicit CDragTreeWidget(QWidget* parent = nullptr);
    ~CDragTreeWidget() override;

    CSortHeaderView* headerView = nullptr;

    // The drag-enter rule: some URL names a non-folder whose URL text ends,
    // in any case, with "xml".
    static bool acceptsUrls(const QList<QUrl>& urls);

signals:
    void itemEntered(QString str);
    void listEntered(QStringList files);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};
