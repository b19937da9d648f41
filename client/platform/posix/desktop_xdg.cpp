#include "desktop.h"

QString AutostartBoxText() { return QStringLiteral("Start Veilnox when I log in"); }

const QList<BrowserBox>& BrowserBoxes() {
    // The file names of the programs that open the browsers' connections as
    // Debian and the browsers' own packages install them. Epiphany's pages
    // load through WebKit's network process, so the box needs both.
    static const QList<BrowserBox> boxes{
        {QStringLiteral("Firefox"),
         {QStringLiteral("firefox"), QStringLiteral("firefox-esr"), QStringLiteral("firefox-bin")},
         false},
        {QStringLiteral("Google Chrome / Chromium"),
         {QStringLiteral("chrome"), QStringLiteral("chromium"), QStringLiteral("chromium-browser")},
         false},
        {QStringLiteral("Brave"), {QStringLiteral("brave")}, false},
        {QStringLiteral("Epiphany"), {QStringLiteral("epiphany"), QStringLiteral("WebKitNetworkProcess")}, true},
        {QStringLiteral("Opera"), {QStringLiteral("opera")}, false},
    };
    return boxes;
}
