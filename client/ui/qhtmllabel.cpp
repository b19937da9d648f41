#include "qhtmllabel.h"

#include "messages.h"

#include <QMouseEvent>
#include <QUrl>

QHTMLLabel::QHTMLLabel(QWidget* parent) : QLabel(parent) {
    setCursor(Qt::PointingHandCursor);
    setTextFormat(Qt::RichText);
    setOpenExternalLinks(true);
}

void QHTMLLabel::mousePressEvent(QMouseEvent* event) {
    if (url.isEmpty()) url = text();
    event->accept();
    if (event->button() != Qt::LeftButton) return;
    emit urlClicked(url);
    QUrl target(url, QUrl::StrictMode);
    const QString scheme = target.scheme();
    if (target.isValid() &&
        (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("mailto")))
        OpenExternalUrl(url);
}
