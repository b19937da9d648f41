#pragma once
// Texts and program names of the settings that depend on the desktop the
// client runs on: the start-with-the-session check box, the masking box and
// the five browser boxes of the settings dialog. Linux names what a Linux desktop has;
// Windows keeps the Windows names.
#include <QList>
#include <QString>
#include <QStringList>

// The text of the "autostartBox" check boxes.
QString AutostartBoxText();

// The text and tooltip of the settings dialog's "encBox" (the "encryptdata"
// key). What it switches scrambles the bytes to servers without a key; it
// is no encryption, and Linux says so: "Mask Data Connections", with a
// tooltip that names what masking does and that servers with a key are
// always encrypted. Windows keeps "Encrypt Data Connections" and no tooltip.
QString MaskBoxText();
QString MaskBoxToolTip();

// One browser box: its text and the executable names it adds and removes.
// The box shows checked when every name is listed (`needsAll`, for browsers
// whose traffic leaves through a helper process) or when any one is.
struct BrowserBox {
    QString text;
    QStringList executables;
    bool needsAll = false;
};

// The five boxes in the order of the dialog's "ieCheck", "chromeCheck",
// "firefoxCheck", "safariCheck" and "operaCheck".
const QList<BrowserBox>& BrowserBoxes();

// Whether the desktop asks for dark windows: GTK_THEME names a dark variant
// or the desktop's colour scheme (GNOME's "color-scheme", asked through
// gsettings, at most 2 s) prefers dark. The client then shows its windows
// in a dark palette where Qt's own palette is light. Windows: false (Qt
// follows the system there).
bool DesktopPrefersDark();
