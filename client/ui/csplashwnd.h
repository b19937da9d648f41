#pragma once
// CSplashWnd: the picture window shown as the start-up splash screen and as
// the about window: "data/images/splash.png" (480 x 360) with the version,
// the home page link, the support address and the notice line over it.
// A click closes it (the splash screen's own behaviour). GUI thread only.
#include "ui_splash.h"

#include <QSplashScreen>

class QKeyEvent;

class CSplashWnd : public QSplashScreen {
    Q_OBJECT
public:
    // `parent` may be null (the start-up splash); the about window is owned
    // by the main window. `homepageUrl` empty: Endpoints::homepageUrl().
    explicit CSplashWnd(QWidget* parent = nullptr, const QString& homepageUrl = QString());

    Ui_splash ui;

protected:
    // Escape closes it, as a click does.
    void keyPressEvent(QKeyEvent* event) override;
};
