#pragma once
// QImageButton: a push button drawn from pictures, one per state (normal,
// pressed/checked, hovered, disabled), with a caption drawn over the picture
// in a colour per state. While no normal picture is loaded it paints as a
// plain QPushButton. GUI thread only.
#include <QImage>
#include <QPushButton>
#include <QRgb>

class QImageButton : public QPushButton {
    Q_OBJECT
public:
    enum class State { Normal, Down, Hover, Disabled };

    explicit QImageButton(QWidget* parent = nullptr);

    // Loads the normal picture from `normalPath` and each other picture when
    // its path is non-empty (a path that does not load leaves that picture
    // empty). With `resizeToImage`, a loaded normal picture sets the button
    // size. A non-empty `maskPath` sets the button mask from that bitmap.
    bool setImages(const QString& normalPath, const QString& downPath = QString(), const QString& hoverPath = QString(),
                   const QString& disabledPath = QString(), bool resizeToImage = false, bool stretch = false,
                   const QString& maskPath = QString());
    // Top-left corner of the caption rectangle.
    void setTextOffset(int x, int y);
    void setTextColors(QRgb normal, QRgb down, QRgb hover, QRgb disabled);
    void setTextFlags(int flags) { textFlags = flags; }
    void setUserData(unsigned int data) { userData = data; }

    State state() const;
    bool isHovered() const { return hover; }
    const QImage& image(State state) const;

signals:
    void dataclicked(unsigned int userData);

public slots:
    void OnThisClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QImage normalImage;
    QImage downImage;
    QImage hoverImage;
    QImage disabledImage;
    int textFlags = Qt::AlignHCenter | Qt::AlignVCenter;  // 132
    bool hover = false;
    QRgb normalColor = 0xFF000000;
    QRgb downColor = 0xFF000000;
    QRgb hoverColor = 0xFF000000;
    QRgb disabledColor = 0xFF7F7F7F;
    int textOffsetX = 0;
    int textOffsetY = 0;
    bool stretch = false;
    unsigned int userData = 0;
};
