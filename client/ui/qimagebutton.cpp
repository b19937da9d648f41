#include "qimagebutton.h"

#include <QBitmap>
#include <QPaintEvent>
#include <QPainter>

QImageButton::QImageButton(QWidget* parent) : QPushButton(parent) {
    connect(this, &QPushButton::clicked, this, &QImageButton::OnThisClicked);
}

bool QImageButton::setImages(const QString& normalPath, const QString& downPath, const QString& hoverPath,
                             const QString& disabledPath, bool resizeToImage, bool stretchImage,
                             const QString& maskPath) {
    normalImage = QImage(normalPath);
    if (!downPath.isEmpty()) downImage = QImage(downPath);
    if (!hoverPath.isEmpty()) hoverImage = QImage(hoverPath);
    if (!disabledPath.isEmpty()) disabledImage = QImage(disabledPath);
    if (resizeToImage && normalImage.width() > 0) resize(normalImage.size());
    stretch = stretchImage;
    if (!maskPath.isEmpty()) {
        QBitmap mask(maskPath);
        if (!mask.isNull()) setMask(mask);
    }
    update();
    return true;
}

void QImageButton::setTextOffset(int x, int y) {
    textOffsetX = x;
    textOffsetY = y;
    update();
}

void QImageButton::setTextColors(QRgb normal, QRgb down, QRgb hoverRgb, QRgb disabled) {
    normalColor = normal;
    downColor = down;
    hoverColor = hoverRgb;
    disabledColor = disabled;
    update();
}

QImageButton::State QImageButton::state() const {
    if (!isEnabled()) return State::Disabled;
    if (isChecked() || isDown()) return State::Down;
    if (hover) return State::Hover;
    return State::Normal;
}

const QImage& QImageButton::image(State s) const {
    switch (s) {
        case State::Disabled: return disabledImage.isNull() ? normalImage : disabledImage;
        case State::Down: return downImage.isNull() ? normalImage : downImage;
        case State::Hover: return hoverImage.isNull() ? normalImage : hoverImage;
        case State::Normal: break;
    }
    return normalImage;
}

void QImageButton::OnThisClicked() { emit dataclicked(userData); }

void QImageButton::paintEvent(QPaintEvent* event) {
    if (normalImage.isNull()) {
        QPushButton::paintEvent(event);
        return;
    }
    const State s = state();
    // The whole button, not only the exposed part: a partial repaint must
    // not shift the picture to the exposed rectangle.
    const QRect area = rect();
    QRect caption(QPoint(textOffsetX, textOffsetY), area.bottomRight());
    QRgb color = normalColor;
    switch (s) {
        case State::Down:
            caption.translate(1, 1);
            color = downColor;
            break;
        case State::Hover: color = hoverColor; break;
        case State::Disabled: color = disabledColor; break;
        case State::Normal: break;
    }
    const QRect target(area.topLeft(), stretch ? area.size() : normalImage.size());
    const QRect source(QPoint(0, 0), normalImage.size());
    QPainter painter(this);
    painter.drawImage(target, image(s), source);
    painter.setPen(QColor::fromRgba(color));
    painter.drawText(caption, textFlags, text());
    // The picture has no focus look of its own: a keyboard user sees where
    // Tab went by a frame in the palette's highlight (only once the keyboard
    // moved the focus, as the style does for other buttons).
    if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
        QPen pen(palette().color(QPalette::Highlight), 2);
        pen.setStyle(Qt::DotLine);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(area).adjusted(1, 1, -1, -1), 4, 4);
    }
}

void QImageButton::enterEvent(QEvent* event) {
    hover = true;
    update();
    QPushButton::enterEvent(event);
}

void QImageButton::leaveEvent(QEvent* event) {
    hover = false;
    update();
    QPushButton::leaveEvent(event);
}

void QImageButton::mouseReleaseEvent(QMouseEvent* event) {
    QPushButton::mouseReleaseEvent(event);
    hover = false;
    update();
}
