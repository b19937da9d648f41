#pragma once
// The client's modal message boxes, the opening of external addresses and
// the file-open dialog, all behind one replaceable hook each, so that tests
// (and the screenshot tool) answer them without a real modal window.
// GUI thread only.
#include <QString>

#include <functional>

class QWidget;

enum class MessageKind {
    About,        // ShowMessage: application icon, one OK button
    Information,  // ShowInformation: information icon, one OK button
    YesNo,        // AskYesNo: Yes / No, No is the default
    OkCancel,     // AskOkCancel: OK / Cancel, OK is the default
};

// Answers one box: true for OK / Yes. For YesNo and OkCancel, closing the box
// counts as No / Cancel.
using MessageBoxHook = std::function<bool(MessageKind kind, const QString& title, const QString& text)>;
// Installs `hook` (an empty function restores the real boxes) and returns
// the previous hook.
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);

// A modal about-style box without parent titled "Veilnox Message".
void ShowMessage(const QString& text);
// A modal Yes/No box without parent; true unless the answer was No.
bool AskYesNo(const QString& text);
// A modal information box without parent with the given title.
void ShowInformation(const QString& title, const QString& text);
// A modal question box with OK and Cancel (OK the default); true for OK.
bool AskOkCancel(const QString& title, const QString& text);

// Opens an address in the user's browser or mail program. The hook returns
// whether it was opened.
using OpenUrlHook = std::function<bool(const QString& url)>;
OpenUrlHook SetOpenUrlHook(OpenUrlHook hook);
bool OpenExternalUrl(const QString& url);

// The platform's file-open dialog: returns the chosen file or empty text
// when cancelled.
using OpenFileHook =
    std::function<QString(QWidget* parent, const QString& caption, const QString& folder, const QString& filter)>;
OpenFileHook SetOpenFileHook(OpenFileHook hook);
QString GetOpenFileName(QWidget* parent, const QString& caption, const QString& folder, const QString& filter);
