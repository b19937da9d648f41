#include "desktop.h"

QString AutostartBoxText() { return QStringLiteral("Start Veilnox with Windows"); }

QString MaskBoxText() { return QStringLiteral("Encrypt Data Connections"); }

QString MaskBoxToolTip() { return QString(); }

const QList<BrowserBox>& BrowserBoxes() {
    static const QList<BrowserBox> boxes{
        {QStringLiteral("Internet Explorer"), {QStringLiteral("iexplore.exe")}, true},
        {QStringLiteral("Google Chrome"), {QStringLiteral("chrome.exe")}, true},
        {QStringLiteral("Firefox"), {QStringLiteral("firefox.exe")}, true},
        {QStringLiteral("Safari"), {QStringLiteral("safari.exe"), QStringLiteral("WebKit2WebProcess.exe")}, true},
        {QStringLiteral("Opera"), {QStringLiteral("opera.exe")}, true},
    };
    return boxes;
}

bool DesktopPrefersDark() { return false; }
