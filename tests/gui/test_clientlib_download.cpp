// DownloadHttpFile and the update check against a local HTTP server.
#include "download.h"
#include "qt/httpserver.h"
#include "qt/widgets.h"
#include "updatechecker.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProgressDialog>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWidget>

#include <cstdlib>

using vnxtest::HttpServer;

namespace {

class Download : public ::testing::Test {
protected:
    void SetUp() override {
        vnxtest::app();
        ASSERT_TRUE(home_.isValid());
        vnxtest::usePerUserRoot(home_.path());
        ASSERT_TRUE(server_.start());
    }
    HttpServer::Route body(const QByteArray& text, int status = 200) {
        HttpServer::Route r;
        r.status = status;
        r.body = text;
        return r;
    }
    HttpServer::Route hang() {
        HttpServer::Route r;
        r.hang = true;
        return r;
    }
    QTemporaryDir home_;
    HttpServer server_;
};

// A port on which nothing listens.
quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress("127.0.0.1"), 0);
    quint16 port = probe.serverPort();
    probe.close();
    return port;
}

}  // namespace

TEST_F(Download, ReturnsTheBodyAsUtf8AndSendsUserAgentIe) {
    server_.setRoute("/list.xml", body("<Array>caf\xc3\xa9</Array>"));
    EXPECT_EQ(DownloadHttpFile(server_.url("/list.xml")), QString::fromUtf8("<Array>caf\xc3\xa9</Array>"));
    ASSERT_EQ(server_.requests, QStringList{"/list.xml"});
    EXPECT_EQ(server_.userAgents.value(0), QByteArray("ie"));
    // Status codes are not examined: an error page's body is returned too.
    server_.setRoute("/gone", body("not here", 404));
    EXPECT_EQ(DownloadHttpFile(server_.url("/gone")), "not here");
    EXPECT_FALSE(vnxtest::runtimeLog().contains("DownloadHttpFile"));
}

TEST_F(Download, EmptyBodiesAndRefusedConnectionsLogReadEmpty) {
    server_.setRoute("/empty", body(""));
    EXPECT_EQ(DownloadHttpFile(server_.url("/empty")), QString());
    EXPECT_EQ(vnxtest::runtimeLog().count("DownloadHttpFile Read Empty file."), 1);
    EXPECT_EQ(DownloadHttpFile(QString("http://127.0.0.1:%1/x").arg(closedPort())), QString());
    EXPECT_EQ(vnxtest::runtimeLog().count("DownloadHttpFile Read Empty file."), 2);
    EXPECT_FALSE(vnxtest::runtimeLog().contains("TimeOUT"));
}

TEST_F(Download, ASilentServerTimesOutAndIsLogged) {
    server_.setRoute("/slow", hang());
    EXPECT_EQ(DownloadHttpFile(server_.url("/slow"), nullptr, 300), QString());
    EXPECT_EQ(server_.requests, QStringList{"/slow"});
    const QString log = vnxtest::runtimeLog();
    EXPECT_EQ(log.count("DownloadHttpFile TimeOUT ."), 1) << log.toStdString();
    EXPECT_FALSE(log.contains("Read Empty"));

    // A progress dialog that no one cancels does not lift the limit.
    QProgressDialog progress("Updating Server List...", "cancel", 0, 10000);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(DownloadHttpFile(server_.url("/slow"), &progress, 300), QString());
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_FALSE(progress.wasCanceled());
    EXPECT_EQ(vnxtest::runtimeLog().count("DownloadHttpFile TimeOUT ."), 2);
}

TEST_F(Download, OversizedBodiesAreAbandoned) {
    server_.setRoute("/big", body(QByteArray(200 * 1024, 'x')));
    EXPECT_EQ(DownloadHttpFile(server_.url("/big"), nullptr, kDownloadTimeoutMs, 64 * 1024), QString());
    EXPECT_TRUE(vnxtest::runtimeLog().contains("DownloadHttpFile body too large."));
    EXPECT_EQ(DownloadHttpFile(server_.url("/big")).size(), 200 * 1024);
}

TEST_F(Download, AProgressDialogGetsTheLabelOnlyWhenItHadNone) {
    server_.setRoute("/doc", body("payload"));
    QProgressDialog unlabeled(QString(), "cancel", 0, 10000);
    const QString url = server_.url("/doc");
    EXPECT_EQ(DownloadHttpFile(url, &unlabeled), "payload");
    EXPECT_EQ(unlabeled.labelText(), "Downloading: " + url);
    EXPECT_GT(unlabeled.maximum(), 10000);  // the bar moved without reaching the end
    EXPECT_LT(unlabeled.value(), unlabeled.maximum());
    EXPECT_FALSE(unlabeled.wasCanceled());

    QProgressDialog labeled("Updating Server List...", "cancel", 0, 10000);
    EXPECT_EQ(DownloadHttpFile(url, &labeled), "payload");
    EXPECT_EQ(labeled.labelText(), "Updating Server List...");
}

TEST_F(Download, CancellingTheProgressDialogEndsTheDownloadAtOnce) {
    server_.setRoute("/slow", hang());
    QProgressDialog progress("Checking new version...", "Cancel", 0, 500);
    server_.onRequest = [&](const QString&) { progress.cancel(); };
    EXPECT_EQ(DownloadHttpFile(server_.url("/slow"), &progress), QString());
    EXPECT_TRUE(progress.wasCanceled());
    EXPECT_EQ(server_.requests.size(), 1);
    // A cancel is not a failure to log.
    EXPECT_FALSE(vnxtest::runtimeLog().contains("DownloadHttpFile"));
    // A dialog that stays cancelled ends the next download at once too.
    server_.onRequest = nullptr;
    EXPECT_EQ(DownloadHttpFile(server_.url("/slow"), &progress), QString());
}

class UpdateCheck : public Download {
protected:
    void SetUp() override {
        Download::SetUp();
        endpoints_ = QStringList{server_.url("/primary.json"), server_.url("/fallback.json")};
    }
    QStringList endpoints_;
};

TEST_F(UpdateCheck, AnEmptyPrimaryFallsBackAndANewerVersionIsRecorded) {
    server_.setRoute("/primary.json", body(""));
    server_.setRoute("/fallback.json", body("{\"ver\": \"1.2.0.0\", \"notes\": \"x\"}"));
    UpdateChecker checker(endpoints_, "1.1.9.9");
    QSignalSpy spy(&checker, &UpdateChecker::versionNew);
    QProgressDialog progress("Checking new version...", "Cancel", 0, 500);
    EXPECT_TRUE(checker.CheckForUpdate(&progress));
    EXPECT_EQ(server_.requests, QStringList({"/primary.json", "/fallback.json"}));
    EXPECT_EQ(checker.newVersion(), "1.2.0.0");
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toString(), "1.2.0.0");
    EXPECT_EQ(checker.currentEndpoint(), endpoints_[1]);  // the next check starts there
    EXPECT_FALSE(progress.isVisible());
}

TEST_F(UpdateCheck, DocumentsWithoutAUsableVerTeachNothing) {
    UpdateChecker checker(endpoints_, "1.1.0.1");
    QSignalSpy spy(&checker, &UpdateChecker::versionNew);
    const QByteArray useless[] = {"{\"version\": \"9.9\"}", "{\"ver\": \"9\"}", "{\"ver\": 9.9}",
                                  "{\"ver\": \"1.1.9.9\"}"};
    for (const QByteArray& doc : useless) {
        server_.setRoute("/primary.json", body(doc));
        EXPECT_FALSE(checker.CheckForUpdate(nullptr, 5000)) << doc.constData();
        // A JSON object keeps the endpoint.
        EXPECT_EQ(checker.currentEndpoint(), endpoints_[0]) << doc.constData();
    }
    EXPECT_EQ(spy.count(), 0);
    EXPECT_TRUE(checker.newVersion().isEmpty());
    EXPECT_FALSE(server_.requests.contains("/fallback.json"));

    // Something that is not a JSON object switches the endpoint.
    server_.setRoute("/primary.json", body("[\"1.9.0.0\"]"));
    EXPECT_FALSE(checker.CheckForUpdate(nullptr, 5000));
    EXPECT_EQ(checker.currentEndpoint(), endpoints_[1]);
    EXPECT_FALSE(server_.requests.contains("/fallback.json"));
}

TEST_F(UpdateCheck, ALearnedVersionIsKeptAndOnlyReplacedByANewerDocument) {
    UpdateChecker checker(endpoints_, "1.0.0.0");
    server_.setRoute("/primary.json", body("{\"ver\":\"1.1.10.0\"}"));
    EXPECT_TRUE(checker.CheckForUpdate(nullptr, 5000));
    EXPECT_EQ(checker.newVersion(), "1.1.10.0");
    server_.setRoute("/primary.json", body(""));
    server_.setRoute("/fallback.json", body(""));
    EXPECT_TRUE(checker.CheckForUpdate(nullptr, 5000));  // still known from before
    EXPECT_EQ(checker.newVersion(), "1.1.10.0");
}

TEST_F(UpdateCheck, ACancelledCheckTriesBothEndpointsAndEndsWhereItStarted) {
    server_.setRoute("/primary.json", hang());
    server_.setRoute("/fallback.json", hang());
    UpdateChecker checker(endpoints_, "1.0.0.0");
    QProgressDialog progress("Checking new version...", "Cancel", 0, 500);
    server_.onRequest = [&](const QString&) { progress.cancel(); };
    EXPECT_FALSE(checker.CheckForUpdate(&progress));
    EXPECT_TRUE(checker.newVersion().isEmpty());
    EXPECT_EQ(server_.requests.value(0), "/primary.json");
    // Switched to the alternate for the second fetch, then back by the
    // empty result.
    EXPECT_EQ(checker.currentEndpoint(), endpoints_[0]);
}

TEST_F(UpdateCheck, TheStartUpCheckRunsAsynchronously) {
    server_.setRoute("/primary.json", body("{\"ver\":\"2.0.0.0\"}"));
    UpdateChecker checker(endpoints_, "1.0.0.0");
    QSignalSpy finished(&checker, &UpdateChecker::checkFinished);
    QSignalSpy learned(&checker, &UpdateChecker::versionNew);
    checker.start();
    EXPECT_TRUE(checker.newVersion().isEmpty());  // nothing before the reply
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_EQ(checker.newVersion(), "2.0.0.0");
    EXPECT_EQ(learned.count(), 1);
    EXPECT_EQ(server_.userAgents.value(0), QByteArray("ie"));

    // A failed reply brings no document: the next check starts at the other
    // endpoint.
    UpdateChecker unreachable({QString("http://127.0.0.1:%1/v.json").arg(closedPort()), endpoints_[0]}, "1.0.0.0");
    QSignalSpy done(&unreachable, &UpdateChecker::checkFinished);
    unreachable.start();
    ASSERT_TRUE(done.wait(10000));
    EXPECT_TRUE(unreachable.newVersion().isEmpty());
    EXPECT_EQ(unreachable.currentEndpoint(), endpoints_[0]);
}

TEST_F(UpdateCheck, DefaultEndpointsComeFromTheEnvironment) {
    setenv("VEILNOX_VERSION_URL", endpoints_[0].toUtf8().constData(), 1);
    setenv("VEILNOX_VERSION_FALLBACK_URL", endpoints_[1].toUtf8().constData(), 1);
    UpdateChecker checker;
    unsetenv("VEILNOX_VERSION_URL");
    unsetenv("VEILNOX_VERSION_FALLBACK_URL");
    EXPECT_EQ(checker.endpoints(), endpoints_);
    EXPECT_EQ(checker.currentEndpoint(), endpoints_[0]);
    EXPECT_FALSE(checker.runningVersion().isEmpty());
}

TEST_F(UpdateCheck, TheSettingsButtonFlowTellsAsksAndOpens) {
    const QString home = "https://home.example/";
    QWidget settings;
    server_.setRoute("/primary.json", body("{\"ver\":\"1.0.0.5\"}"));
    UpdateChecker checker(endpoints_, "1.0.0.0");
    {
        vnxtest::MessageRecorder boxes;
        vnxtest::UrlRecorder opened;
        EXPECT_EQ(RunUpdateCheckDialog(checker, &settings, home), UpdateDialogOutcome::Latest);
        ASSERT_EQ(boxes.boxes.size(), 1);
        EXPECT_EQ(boxes.boxes[0].kind, MessageKind::About);
        EXPECT_EQ(boxes.boxes[0].title, "Veilnox Message");
        EXPECT_EQ(boxes.boxes[0].text, "You have the latest version.");
        EXPECT_TRUE(opened.urls.isEmpty());
        EXPECT_TRUE(settings.findChildren<QProgressDialog*>().isEmpty());  // destroyed
    }
    server_.setRoute("/primary.json", body("{\"ver\":\"1.3.0.0\"}"));
    {
        vnxtest::MessageRecorder boxes(false);
        vnxtest::UrlRecorder opened;
        EXPECT_EQ(RunUpdateCheckDialog(checker, &settings, home), UpdateDialogOutcome::Declined);
        ASSERT_EQ(boxes.boxes.size(), 1);
        EXPECT_EQ(boxes.boxes[0].kind, MessageKind::YesNo);
        EXPECT_EQ(boxes.boxes[0].text,
                  "A new version of Veilnox (v1.3.0.0) was found. Do you want to download the new version now?");
        EXPECT_TRUE(opened.urls.isEmpty());
    }
    {
        vnxtest::MessageRecorder boxes(true);
        vnxtest::UrlRecorder opened;
        EXPECT_EQ(RunUpdateCheckDialog(checker, &settings, home), UpdateDialogOutcome::Opened);
        EXPECT_EQ(opened.urls, QStringList{home});
    }
}

TEST_F(UpdateCheck, TheAutomaticQuestionIsPutOncePerRun) {
    UpdateChecker checker(endpoints_, "1.0.0.0");
    bool asked = false;
    vnxtest::MessageRecorder boxes(false);
    vnxtest::UrlRecorder opened;
    EXPECT_FALSE(AskForUpdateOnce(checker, asked, "https://home.example/"));  // nothing known yet
    EXPECT_FALSE(asked);
    ASSERT_TRUE(checker.handleVersionDocument("{\"ver\":\"1.5\"}"));
    EXPECT_TRUE(AskForUpdateOnce(checker, asked, "https://home.example/"));
    EXPECT_TRUE(asked);
    EXPECT_FALSE(AskForUpdateOnce(checker, asked, "https://home.example/"));  // answered No before
    EXPECT_EQ(boxes.boxes.size(), 1);
    EXPECT_TRUE(opened.urls.isEmpty());
    EXPECT_EQ(VersionReleasedLink("1.5", "https://home.example/"),
              "<a href=\"https://home.example/\">Version 1.5 was released. Click here to update.</a>");
}
