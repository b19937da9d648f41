#pragma once
// Small widget helpers of the client: backgrounds and the sizes of forms
// without layout. GUI thread only.
#include <QColor>
#include <QRect>

class QWidget;

// Turns on the widget's background auto-fill and paints its Window role, in
// every colour group, with a solid brush of `color`.
void SetWindowBackground(QWidget* widget, const QColor& color);

// The windows' sizes in pixels are those of 96 dpi. Where the type is set at
// a higher dpi (a desktop's 125 % text size gives 120) they grow by the same
// factor, never shrink: logical dpi of `widget` / 96, at least 1.
double FontScale(const QWidget* widget);
int ScaledPixels(int pixels, double scale);

// Places a widget of a form without layout at `designed` (its 96 dpi
// geometry) times `scale`, widened to its size hint and heightened to its
// size hint (a button: to its line of text) so that its text is never cut.
void PlaceScaled(QWidget* widget, const QRect& designed, double scale);

// Dark desktops: a palette is dark when its window colour is (lightness
// below the middle). DarkPalette is the dark palette the screenshot tool
// and the tests show the windows in (the desktop's own is used otherwise).
class QPalette;
bool IsDarkPalette(const QPalette& palette);
QPalette DarkPalette();

// The background of the main window's top bar: a tint of the window colour
// (Veilnox's light blue-grey on light desktops).
QColor TopBarColor(const QPalette& palette);
