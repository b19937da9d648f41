#pragma once
// QHTMLLabel: a rich-text label that stands for one address (`url`), shown
// with the pointing-hand cursor. A press does not reach the label's own link
// handling: it takes the label's text as `url` when none was set and opens
// `url` when it is a web or mail address (through OpenExternalUrl).
#include <QLabel>

class QHTMLLabel : public QLabel {
    Q_OBJECT
public:
    explicit QHTMLLabel(QWidget* parent = nullptr);

    QString url;

signals:
    void urlClicked(const QString& url);

protected:
    void mousePressEvent(QMouseEvent* event) override;
};
