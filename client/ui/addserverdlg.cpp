#include "addserverdlg.h"

#include "localservers.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

AddServerDlg::AddServerDlg(const QString& listPath, QWidget* parent) : QDialog(parent), listPath_(listPath) {
    setWindowTitle(QStringLiteral("Add server"));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("Paste the server's veilnox:// link, or the <Element> line that "
                                            "\"veilnox-relay --print-list-entry\" prints on the server:"),
                             this);
    intro->setTextFormat(Qt::PlainText);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    textEdit = new QPlainTextEdit(this);
    textEdit->setObjectName(QStringLiteral("serverText"));
    textEdit->setTabChangesFocus(true);
    textEdit->setPlaceholderText(QStringLiteral("veilnox://KEY@203.0.113.7:9200?tag=DE&country=Germany&city=Berlin"));
    // A link or a line is short: a few lines of room.
    textEdit->setFixedHeight(textEdit->fontMetrics().lineSpacing() * 4 + 12);
    layout->addWidget(textEdit);

    errorLabel = new QLabel(this);
    errorLabel->setObjectName(QStringLiteral("errorLabel"));
    errorLabel->setTextFormat(Qt::PlainText);
    errorLabel->setWordWrap(true);
    errorLabel->setStyleSheet(QStringLiteral("color: #b00020;"));
    errorLabel->hide();
    layout->addWidget(errorLabel);

    auto* where = new QLabel(QStringLiteral("It is added to your own server list, %1.").arg(listPath), this);
    where->setTextFormat(Qt::PlainText);
    where->setWordWrap(true);
    layout->addWidget(where);

    buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Add"));
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { tryAdd(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(qMax(520, sizeHint().width()), sizeHint().height());

    // What the user most likely copied last is the server to add.
    if (const QClipboard* clipboard = QGuiApplication::clipboard()) {
        const QString copied = clipboard->text();
        if (copied.size() <= 64 * 1024 && LooksLikeServerText(copied)) textEdit->setPlainText(copied.trimmed());
    }
}

bool AddServerDlg::tryAdd() {
    StringMap server;
    QString error;
    if (!ParseServerText(textEdit->toPlainText(), server, error) || !AddLocalServer(listPath_, server, error)) {
        errorLabel->setText(error);
        errorLabel->show();
        return false;
    }
    errorLabel->hide();
    added_ = server;
    accept();
    return true;
}
