#include "download.h"

#include "logs.h"
#include "platform/system.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QProgressDialog>
#include <QTimer>
#include <QUrl>

#include <memory>

QString DownloadHttpFile(const QString& url, QProgressDialog* progress, int timeoutMs, qint64 maxBytes) {
    // Declared before the manager: the reply's slots may run while the
    // manager deletes it.
    bool tooLarge = false;
    // A manager per call: deleting it aborts and deletes the reply too.
    std::unique_ptr<QNetworkAccessManager> manager(new QNetworkAccessManager());
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setRawHeader("User-Agent", "ie");
    QPointer<QNetworkReply> reply = manager->get(request);
    reply->setReadBufferSize(0);
    QObject::connect(reply.data(), &QNetworkReply::downloadProgress, reply.data(),
                     [&tooLarge, maxBytes, reply](qint64 received, qint64 total) {
                         if (received > maxBytes || total > maxBytes) {
                             tooLarge = true;
                             reply->abort();
                         }
                     });

    if (progress) {
        QPointer<QProgressDialog> dialog = progress;
        bool labelWasEmpty = dialog->labelText().isEmpty();
        QElapsedTimer clock;
        clock.start();
        while (reply && reply->isRunning() && !clock.hasExpired(timeoutMs)) {
            QCoreApplication::processEvents();
            vnxplat::sleepMs(10);
            if (!dialog || dialog->wasCanceled()) return QString();
            dialog->setMaximum(dialog->maximum() + 1);
            dialog->setValue(dialog->value() + 1);
            if (labelWasEmpty) dialog->setLabelText(QStringLiteral("Downloading: ") + url);
            if (dialog->wasCanceled()) return QString();
        }
    } else {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(reply.data(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        timer.start(timeoutMs);
        if (reply->isRunning()) loop.exec();
    }

    if (!reply) return QString();
    if (reply->isRunning()) {
        vnx::AppendRuntimeLog(QStringLiteral("DownloadHttpFile TimeOUT ."));
        return QString();
    }
    if (tooLarge) {
        vnx::AppendRuntimeLog(QStringLiteral("DownloadHttpFile body too large."));
        return QString();
    }
    QByteArray body = reply->readAll();
    if (body.isEmpty()) {
        vnx::AppendRuntimeLog(QStringLiteral("DownloadHttpFile Read Empty file."));
        return QString();
    }
    return QString::fromUtf8(body);
}
