#pragma once
// AddServerDlg: the main window's "Add server..." dialog. The user pastes a
// server's veilnox:// link, or the <Element> line that veilnox-relay
// --print-list-entry prints; text on the clipboard that looks like either is
// there already. OK checks the text (ParseServerText) and appends the server
// to the user's own list (AddLocalServer); every refusal is said in the
// dialog, which stays open. The caller reloads the server list after an
// Accepted result. GUI thread only; lives for one exec() on the caller's
// stack.
#include "arrayxml.h"

#include <QDialog>
#include <QString>

class QDialogButtonBox;
class QLabel;
class QPlainTextEdit;

class AddServerDlg : public QDialog {
    Q_OBJECT
public:
    // `listPath`: the list file the server is added to.
    explicit AddServerDlg(const QString& listPath, QWidget* parent = nullptr);

    // Checks the text and adds the server: true (and the dialog accepted)
    // when it was added, false with the reason shown in `errorLabel`.
    bool tryAdd();

    // The server added (after an Accepted result).
    const StringMap& added() const { return added_; }

    QPlainTextEdit* textEdit = nullptr;
    QLabel* errorLabel = nullptr;
    QDialogButtonBox* buttons = nullptr;

private:
    QString listPath_;
    StringMap added_;
};
