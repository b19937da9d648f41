#include "desktop.h"

#include <QProcess>
#include <QStandardPaths>

QString AutostartBoxText() { return QStringLiteral("Start Veilnox when I log in"); }

QString MaskBoxText() { return QStringLiteral("Mask Data Connections"); }

QString MaskBoxToolTip() {
    return QStringLiteral(
        "Masking scrambles the data sent to servers without a key. It only hides the bytes from naive "
        "inspection and is not encryption. Servers with a key (shown with a lock) are always encrypted, "
        "whether this is on or off.");
}

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

bool DesktopPrefersDark() {
    const QByteArray theme = qgetenv("GTK_THEME").toLower();
    if (theme.endsWith(":dark") || theme.endsWith("-dark")) return true;
    if (QStandardPaths::findExecutable(QStringLiteral("gsettings")).isEmpty()) return false;
    QProcess gsettings;
    gsettings.start(QStringLiteral("gsettings"), {QStringLiteral("get"), QStringLiteral("org.gnome.desktop.interface"),
                                                  QStringLiteral("color-scheme")});
    if (!gsettings.waitForFinished(2000)) {
        gsettings.kill();
        gsettings.waitForFinished(1000);
        return false;
    }
    return gsettings.readAllStandardOutput().contains("prefer-dark");
}
