#include "widgethelpers.h"

#include <QAbstractButton>
#include <QPalette>
#include <QWidget>

void SetWindowBackground(QWidget* widget, const QColor& color) {
    if (!widget) return;
    widget->setAutoFillBackground(true);
    QPalette palette = widget->palette();
    palette.setBrush(QPalette::All, QPalette::Window, QBrush(color, Qt::SolidPattern));
    widget->setPalette(palette);
}

double FontScale(const QWidget* widget) {
    if (!widget) return 1.0;
    const double scale = widget->logicalDpiY() / 96.0;
    return scale > 1.0 ? scale : 1.0;
}

int ScaledPixels(int pixels, double scale) { return qRound(pixels * scale); }

void PlaceScaled(QWidget* widget, const QRect& designed, double scale) {
    if (!widget) return;
    // A button's height needs its line of text, not the style's preferred
    // height (the designed height may be lower than that).
    QSize hint = widget->sizeHint();
    if (qobject_cast<QAbstractButton*>(widget)) hint.setHeight(widget->fontMetrics().height() + 4);
    const QSize size(qMax(ScaledPixels(designed.width(), scale), hint.width()),
                     qMax(ScaledPixels(designed.height(), scale), hint.height()));
    widget->setGeometry(QRect(QPoint(ScaledPixels(designed.x(), scale), ScaledPixels(designed.y(), scale)), size));
}
