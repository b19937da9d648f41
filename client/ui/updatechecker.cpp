#include "updatechecker.h"

#include "download.h"
#include "endpoints.h"
#include "messages.h"
#include "platform/system.h"
#include "version.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressDialog>
#include <QUrl>

UpdateChecker::UpdateChecker(QObject* parent) : UpdateChecker(Endpoints::versionEndpoints(), GetAppVersion(), parent) {}

UpdateChecker::UpdateChecker(const QStringList& endpoints, const QString& runningVersion, QObject* parent)
    : QObject(parent), endpoints_(endpoints), runningVersion_(runningVersion) {
    manager_ = new QNetworkAccessManager(this);
}

UpdateChecker::~UpdateChecker() = default;

QString UpdateChecker::currentEndpoint() const {
    return current_ < endpoints_.size() ? endpoints_.at(current_) : QString();
}

void UpdateChecker::switchEndpoint() {
    if (endpoints_.size() >= 2) current_ = current_ == 0 ? 1 : 0;
}

bool UpdateChecker::handleVersionDocument(const QByteArray& body) {
    QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject()) {
        switchEndpoint();
        return false;
    }
    QString version = document.object().value(QStringLiteral("ver")).toString();
    if (!IsNewerVersion(version, runningVersion_)) return false;
    newVersion_ = version;
    emit versionNew(version);
    return true;
}

void UpdateChecker::start() {
    if (reply_) return;  // one check at a time
    QNetworkRequest request(QUrl(currentEndpoint(), QUrl::TolerantMode));
    request.setRawHeader("User-Agent", "ie");
    request.setTransferTimeout(kDownloadTimeoutMs);
    reply_ = manager_->get(request);
    connect(reply_, &QNetworkReply::downloadProgress, reply_, [this](qint64 received, qint64 total) {
        if (reply_ && (received > kDownloadMaxBytes || total > kDownloadMaxBytes)) reply_->abort();
    });
    connect(reply_, &QNetworkReply::finished, this, &UpdateChecker::onReplyFinished);
}

void UpdateChecker::onReplyFinished() {
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    if (!reply) return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError)
        vnxplat::debugOutputf("UpdateChecker: %s", reply->errorString().toLocal8Bit().constData());
    // A failed reply usually carries no body, which is not a document.
    handleVersionDocument(reply->readAll());
    emit checkFinished();
}

bool UpdateChecker::CheckForUpdate(QProgressDialog* progress, int timeoutMs) {
    QString body = DownloadHttpFile(currentEndpoint(), progress, timeoutMs);
    if (body.isEmpty() && endpoints_.size() >= 2) {
        switchEndpoint();
        body = DownloadHttpFile(currentEndpoint(), progress, timeoutMs);
    }
    if (progress) progress->close();
    handleVersionDocument(body.toUtf8());
    return !newVersion_.isEmpty();
}

QString NewVersionQuestion(const QString& version) {
    return QStringLiteral("A new version of Veilnox (v%1) was found. Do you want to download the new version now?")
        .arg(version);
}

UpdateDialogOutcome RunUpdateCheckDialog(UpdateChecker& checker, QWidget* parent, const QString& homepageUrl) {
    QProgressDialog* progress =
        new QProgressDialog(QStringLiteral("Checking new version..."), QStringLiteral("Cancel"), 0, 500, parent);
    checker.CheckForUpdate(progress);
    UpdateDialogOutcome outcome = UpdateDialogOutcome::Latest;
    if (checker.newVersion().isEmpty()) {
        ShowMessage(QStringLiteral("You have the latest version."));
    } else if (AskYesNo(NewVersionQuestion(checker.newVersion()))) {
        OpenExternalUrl(homepageUrl);
        outcome = UpdateDialogOutcome::Opened;
    } else {
        outcome = UpdateDialogOutcome::Declined;
    }
    delete progress;
    return outcome;
}

bool AskForUpdateOnce(UpdateChecker& checker, bool& updateAsked, const QString& homepageUrl) {
    if (updateAsked || checker.newVersion().isEmpty()) return false;
    updateAsked = true;
    if (AskYesNo(NewVersionQuestion(checker.newVersion()))) OpenExternalUrl(homepageUrl);
    return true;
}

QString VersionReleasedLink(const QString& version, const QString& homepageUrl) {
    return QStringLiteral("<a href=\"%1\">%2</a>")
        .arg(homepageUrl.toHtmlEscaped(),
             QStringLiteral("Version %1 was released. Click here to update.").arg(version.toHtmlEscaped()));
}
