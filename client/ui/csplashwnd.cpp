#include "csplashwnd.h"

#include "apphelpers.h"
#include "endpoints.h"
#include "version.h"

#include <QCoreApplication>
#include <QDate>
#include <QKeyEvent>
#include <QPixmap>

CSplashWnd::CSplashWnd(QWidget* parent, const QString& homepageUrl) : QSplashScreen(QPixmap()) {
    if (parent) setParent(parent, windowFlags());
    ui.setupUi(this);

    QPixmap picture(ProgramFilePath(QStringLiteral("data/images/splash.png")));
    if (!picture.isNull()) setPixmap(picture);
    ui.labelTitel->hide();

    const QString home = homepageUrl.isEmpty() ? Endpoints::homepageUrl() : homepageUrl;
    ui.homeLabel->url = home;

    char version[kVersionBufferSize];
    QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();
    QString versionText;
    if (GetFileVersionString(self.constData(), version)) versionText = QString::fromLatin1(version);
    ui.versionLabel->move(374, 204);
    ui.versionLabel->setText(versionText);

    ui.homeLabel->setText(QStringLiteral("<p style=\"font-size:13px\">Home Page: <a href=\"%1\">"
                                         "<span style=\"text-decoration: underline; color:#0000ff;\">%1</span></a></p>")
                              .arg(home.toHtmlEscaped()));
    const QString mail = Endpoints::supportAddress().toHtmlEscaped();
    ui.labelCopyright->setText(
        QStringLiteral("<span style=\"color:#5b6b7a;\">&copy; %1 The Veilnox developers. All rights reserved.</span>")
            .arg(QDate::currentDate().year()));
    ui.labelEmail->setText(
        QStringLiteral("Email: <a href=\"mailto:%1\"><span style=\"color:#0000ff;\">%1</span></a>").arg(mail));
}

void CSplashWnd::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QSplashScreen::keyPressEvent(event);
}
