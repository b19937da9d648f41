#include "widgethelpers.h"

#include <QAbstractButton>
#include <QColor>
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

bool IsDarkPalette(const QPalette& palette) { return palette.color(QPalette::Window).lightness() < 128; }

QPalette DarkPalette() {
    QPalette dark;
    const QColor window(0x2b, 0x30, 0x36), base(0x1f, 0x23, 0x28), text(0xe6, 0xea, 0xee);
    dark.setColor(QPalette::Window, window);
    dark.setColor(QPalette::WindowText, text);
    dark.setColor(QPalette::Base, base);
    dark.setColor(QPalette::AlternateBase, window);
    dark.setColor(QPalette::Text, text);
    dark.setColor(QPalette::Button, QColor(0x35, 0x3b, 0x42));
    dark.setColor(QPalette::ButtonText, text);
    dark.setColor(QPalette::BrightText, Qt::white);
    dark.setColor(QPalette::Light, QColor(0x4a, 0x52, 0x5b));
    dark.setColor(QPalette::Midlight, QColor(0x3e, 0x45, 0x4d));
    dark.setColor(QPalette::Mid, QColor(0x5a, 0x63, 0x6d));
    dark.setColor(QPalette::Dark, QColor(0x18, 0x1b, 0x1f));
    dark.setColor(QPalette::Shadow, Qt::black);
    dark.setColor(QPalette::Highlight, QColor(0x0d, 0x8f, 0x88));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::ToolTipBase, base);
    dark.setColor(QPalette::ToolTipText, text);
    dark.setColor(QPalette::Link, QColor(0x5e, 0xc8, 0xe5));
    dark.setColor(QPalette::PlaceholderText, QColor(0x9a, 0xa5, 0xb0));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(QPalette::Disabled, role, QColor(0x7d, 0x86, 0x90));
    return dark;
}

QColor TopBarColor(const QPalette& palette) {
    if (IsDarkPalette(palette)) return palette.color(QPalette::Window).lighter(125);
    return QColor(229, 239, 241);
}
