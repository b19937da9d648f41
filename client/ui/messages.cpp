#include "messages.h"

#include "endpoints.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

#include <utility>

namespace {

MessageBoxHook& messageHook() {
    static MessageBoxHook hook;
    return hook;
}
OpenUrlHook& urlHook() {
    static OpenUrlHook hook;
    return hook;
}
OpenFileHook& fileHook() {
    static OpenFileHook hook;
    return hook;
}

// A splash screen stays on top of every window: a box under it could be
// neither read nor answered. It goes before a box shows.
void closeSplashScreens() {
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows)
        if (window->isVisible() && window->windowType() == Qt::SplashScreen) window->close();
}

bool runMessageBox(MessageKind kind, const QString& title, const QString& text) {
    if (messageHook()) return messageHook()(kind, title, text);
    closeSplashScreens();
    switch (kind) {
        case MessageKind::About: QMessageBox::about(nullptr, title, text); return true;
        case MessageKind::Information: QMessageBox::information(nullptr, title, text); return true;
        case MessageKind::YesNo:
            return QMessageBox::question(nullptr, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) !=
                   QMessageBox::No;
        case MessageKind::OkCancel:
            return QMessageBox::question(nullptr, title, text, QMessageBox::Ok | QMessageBox::Cancel,
                                         QMessageBox::Ok) == QMessageBox::Ok;
    }
    return false;
}

}  // namespace

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) { return std::exchange(messageHook(), std::move(hook)); }

void ShowMessage(const QString& text) {
    runMessageBox(MessageKind::About, Endpoints::applicationName() + QStringLiteral(" Message"), text);
}

bool AskYesNo(const QString& text) { return runMessageBox(MessageKind::YesNo, Endpoints::applicationName(), text); }

void ShowInformation(const QString& title, const QString& text) {
    runMessageBox(MessageKind::Information, title, text);
}

bool AskOkCancel(const QString& title, const QString& text) {
    return runMessageBox(MessageKind::OkCancel, title, text);
}

OpenUrlHook SetOpenUrlHook(OpenUrlHook hook) { return std::exchange(urlHook(), std::move(hook)); }

bool OpenExternalUrl(const QString& url) {
    if (urlHook()) return urlHook()(url);
    return QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
}

OpenFileHook SetOpenFileHook(OpenFileHook hook) { return std::exchange(fileHook(), std::move(hook)); }

QString GetOpenFileName(QWidget* parent, const QString& caption, const QString& folder, const QString& filter) {
    if (fileHook()) return fileHook()(parent, caption, folder, filter);
    return QFileDialog::getOpenFileName(parent, caption, folder, filter);
}
