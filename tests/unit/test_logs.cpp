// Runtime log, server exception log and the console log stream.
#include "logs.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace vnx;

namespace {
QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
}  // namespace

TEST(RuntimeLog, DayBeforeMonthStamp) {
    QDateTime when(QDate(2024, 1, 2), QTime(3, 4, 5));
    EXPECT_EQ(runtimeLogLine(when, "x").toStdString(), "2024.02.01-03:04:05>>: x");
}

TEST(RuntimeLog, FirstLineCreatesTheFolderAndLinesAppend) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    setenv("XDG_DATA_HOME", home.path().toLocal8Bit().constData(), 1);
    QCoreApplication::setApplicationName("veilnoxsvr");
    const QString path = home.path() + "/veilnoxsvr/logs/runtimelogs.txt";
    EXPECT_EQ(runtimeLogPath(), path);
    AppendRuntimeLog(QString());  // empty: nothing, not even the folder
    EXPECT_FALSE(QDir(home.path() + "/veilnoxsvr").exists());
    AppendRuntimeLog("first");
    AppendRuntimeLog(QString::fromUtf8("caf\xc3\xa9"));
    QByteArray text = readAll(path);
    QList<QByteArray> lines = text.split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].endsWith(">>: first\r"));
    EXPECT_TRUE(QRegularExpression("^\\d{4}\\.\\d\\d\\.\\d\\d-\\d\\d:\\d\\d:\\d\\d>>: first\r$")
                    .match(QString::fromLatin1(lines[0]))
                    .hasMatch());
    EXPECT_TRUE(lines[1].endsWith(QByteArray(">>: caf\xe9\r")));  // Latin-1
    unsetenv("XDG_DATA_HOME");
}

TEST(RuntimeLog, UnwritableFolderLosesOnlyTheMessage) {
    QTemporaryDir home;
    QFile blocker(home.path() + "/Veilnox");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));  // a file where the folder should be
    blocker.close();
    setenv("XDG_DATA_HOME", home.path().toLocal8Bit().constData(), 1);
    QCoreApplication::setApplicationName("Veilnox");
    AppendRuntimeLog("lost");  // must not crash or throw
    EXPECT_FALSE(QFile::exists(home.path() + "/Veilnox/logs/runtimelogs.txt"));
    unsetenv("XDG_DATA_HOME");
}

TEST(ServerLog, AsctimeStampAndCrLf) {
    QTemporaryDir dir;
    QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    // The English names whatever the locale: written under a Turkish one
    // (scripts/setup generates it), whose strftime says "Pzt" and "Ara".
    const std::string before = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "tr_TR.UTF-8"), nullptr) << "locale tr_TR.UTF-8 missing: run scripts/setup";
    AppendServerLog("RTcpTunnel::run catch exception!");
    AppendServerLog("second");
    std::setlocale(LC_ALL, before.c_str());
    QByteArray text = readAll("ipserverlog.txt");
    QDir::setCurrent(old);
    QList<QByteArray> lines = text.split('\n');
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines[0].size(), 25);  // 24 characters and the CR
    EXPECT_TRUE(QRegularExpression("^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                   "\\d\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\r$")
                    .match(QString::fromLatin1(lines[0]))
                    .hasMatch())
        << lines[0].constData();
    EXPECT_EQ(lines[1], QByteArray(": RTcpTunnel::run catch exception!\r"));
    EXPECT_EQ(lines[3], QByteArray(": second\r"));
}

TEST(ConsoleLog, PrefixCountsAndTargetCanBeSilenced) {
    QString a = LogPrefix();
    QString b = LogPrefix();
    QRegularExpression re("^(\\d\\d:\\d\\d:\\d\\d)\\[(\\d+)\\]>> $");
    auto ma = re.match(a), mb = re.match(b);
    ASSERT_TRUE(ma.hasMatch()) << a.toStdString();
    ASSERT_TRUE(mb.hasMatch());
    EXPECT_EQ(mb.captured(2).toInt(), ma.captured(2).toInt() + 1);

    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    setLogTarget(f);
    logLine("visible");
    setLogTarget(nullptr);
    logLine("dropped");
    std::fflush(f);
    std::rewind(f);
    char buf[256] = {0};
    std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    QString text = QString::fromLatin1(buf, static_cast<int>(n));
    EXPECT_TRUE(text.contains("visible"));
    EXPECT_FALSE(text.contains("dropped"));
}
