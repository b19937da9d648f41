// Path and file helpers, the Array/Element list parser, the autostart entry
// and the service endpoints.
#include "apphelpers.h"
#include "arrayxml.h"
#include "autostart.h"
#include "endpoints.h"
#include "qt/clientcore.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdlib>

using vnxtest::readFile;
using vnxtest::writeFile;

namespace {

// Runs the test body with `dir` as the current folder.
class CurrentFolder {
public:
    explicit CurrentFolder(const QString& dir) : old_(QDir::currentPath()) { QDir::setCurrent(dir); }
    ~CurrentFolder() { QDir::setCurrent(old_); }

private:
    QString old_;
};

}  // namespace

TEST(ReadTextFile, StripsEachUrlPrefixAndNeverFailsLoudly) {
    QTemporaryDir dir;
    const QString abs = dir.path() + "/rules.txt";
    ASSERT_TRUE(writeFile(abs, "chrome.exe\r\nfirefox.exe\n"));
    // Text mode: line ends read as "\n".
    EXPECT_EQ(ReadTextFile(abs), "chrome.exe\nfirefox.exe\n");
    EXPECT_EQ(ReadTextFile("file://" + abs), ReadTextFile(abs));
    EXPECT_EQ(ReadTextFile("file:///" + abs.mid(1)), ReadTextFile(abs));  // three slashes, absolute path
    {
        // Three slashes before a drive letter: the text after the 8-character
        // prefix names the file ("C:/..." is a relative path here).
        CurrentFolder cwd(dir.path());
        ASSERT_TRUE(QDir().mkpath("C:/data"));
        ASSERT_TRUE(writeFile("C:/data/list.txt", "drive"));
        EXPECT_EQ(ReadTextFile("file:///C:/data/list.txt"), "drive");
        ASSERT_TRUE(writeFile("plain.txt", "backslash"));
        EXPECT_EQ(ReadTextFile("file:\\\\\\plain.txt"), "backslash");
        EXPECT_EQ(ReadTextFile("file:\\\\plain.txt"), "backslash");
    }
    EXPECT_EQ(ReadTextFile(QString()), QString());
    EXPECT_EQ(ReadTextFile(dir.path() + "/missing.txt"), QString());
    EXPECT_EQ(ReadTextFile(dir.path()), QString());  // a folder

    ASSERT_TRUE(writeFile(abs, QByteArray("caf\xc3\xa9 \xe2\x82\xac")));
    EXPECT_EQ(ReadTextFile(abs), QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac"));
}

TEST(WriteTextFile, ReplacesTheWholeFileOrLeavesIt) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/config/rules.txt";
    EXPECT_FALSE(WriteTextFile(path, "x"));  // folder missing
    ASSERT_TRUE(MakeParentPath(path));
    EXPECT_TRUE(WriteTextFile(path, "\r\nc.exe\r\nb.exe"));
    EXPECT_EQ(readFile(path, "<missing>"), QByteArray("\r\nc.exe\r\nb.exe"));
    EXPECT_TRUE(WriteTextFile(path, QString::fromUtf8("\xc3\xa9")));
    EXPECT_EQ(readFile(path, "<missing>"), QByteArray("\xc3\xa9"));
    EXPECT_EQ(QDir(dir.path() + "/config").entryList(QDir::Files | QDir::Hidden).size(), 1);
    EXPECT_FALSE(WriteTextFile(QString(), "x"));
}

TEST(MakeParentPath, CreatesEveryMissingFolderOnlyForPathsWithAFolder) {
    QTemporaryDir dir;
    CurrentFolder cwd(dir.path());
    EXPECT_FALSE(MakeParentPath("logs.txt"));
    EXPECT_FALSE(MakeParentPath("/logs.txt"));  // the separator is the first character
    EXPECT_FALSE(MakeParentPath(""));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 0);

    EXPECT_TRUE(MakeParentPath(dir.path() + "\\a\\b/c\\file.txt"));
    EXPECT_TRUE(QFileInfo(dir.path() + "/a/b/c").isDir());
    EXPECT_FALSE(QFileInfo::exists(dir.path() + "/a/b/c/file.txt"));
    EXPECT_TRUE(MakeParentPath("rel/x.txt"));
    EXPECT_TRUE(QFileInfo(dir.path() + "/rel").isDir());

    ASSERT_TRUE(writeFile(dir.path() + "/blocker", "file"));
    EXPECT_FALSE(MakeParentPath(dir.path() + "/blocker/sub/x.txt"));
}

TEST(AppDataDir, FollowsXdgDataHome) {
    QTemporaryDir dir;
    setenv("XDG_DATA_HOME", QFile::encodeName(dir.path()).constData(), 1);
    EXPECT_EQ(GetAppDataDir(), dir.path() + "/Veilnox");
    unsetenv("XDG_DATA_HOME");
    const QByteArray home = qgetenv("HOME");
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(GetAppDataDir(), QString("/home/someone/.local/share/Veilnox"));
    setenv("HOME", home.constData(), 1);
}

TEST(ParseArrayXml, WalksFromTheFirstElementThroughEverySibling) {
    QList<StringMap> list;
    ASSERT_TRUE(ParseArrayXml("<Array><Item><ip>1</ip></Item><Other/></Array>", list));
    EXPECT_TRUE(list.isEmpty());  // no "Element": nothing

    ASSERT_TRUE(
        ParseArrayXml("<Array>\n"
                      "  <Item><ip>skipped</ip></Item>\n"
                      "  <Element><IP> 1.2.3.4 </IP><Port>443</Port><port>8443</port>"
                      "<City>  Oslo <b>West</b> </City></Element>\n"
                      "  <Server><ip>5.6.7.8</ip></Server>\n"
                      "  <Element/>\n"
                      "</Array>",
                      list));
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list[0].value("ip"), "1.2.3.4");
    EXPECT_EQ(list[0].value("port"), "8443");  // a later child with the same key wins
    EXPECT_EQ(list[0].value("city"), "Oslo West");
    EXPECT_EQ(list[0].size(), 3);
    EXPECT_EQ(list[1].value("ip"), "5.6.7.8");  // any sibling name counts
    EXPECT_TRUE(list[2].isEmpty());             // no children: an empty map

    // Appends to what the list holds; namespaces are not processed.
    ASSERT_TRUE(ParseArrayXml("<Array><Element><x:tag>DE</x:tag></Element></Array>", list));
    ASSERT_EQ(list.size(), 4);
    EXPECT_EQ(list[3].value("x:tag"), "DE");
}

TEST(ParseArrayXml, MalformedInputLeavesTheListUntouched) {
    QList<StringMap> list;
    list.append(StringMap{{"keep", "me"}});
    const char* broken[] = {
        "",
        "<Array><Element><ip>1</ip></Element>",
        "<Array><Element><ip>1</port></Element></Array>",
        "<Array><Element><ip>1</ip></Element></Array><Array/>",
        "not xml at all",
    };
    for (const char* text : broken) {
        EXPECT_FALSE(ParseArrayXml(QString::fromLatin1(text), list)) << text;
        ASSERT_EQ(list.size(), 1) << text;
    }
    EXPECT_TRUE(ParseArrayXml("<Servers><Element/></Servers>", list));  // no Array
    EXPECT_EQ(list.size(), 1);

    // Deep nesting is handled without recursion.
    QString deep = "<Array><Element><ip>";
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    for (int i = 0; i < 100000; ++i)
        deep += "</a>";
    deep += "9</ip></Element></Array>";
    ASSERT_TRUE(ParseArrayXml(deep, list));
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[1].value("ip"), "9");
}

class Autostart : public ::testing::Test {
protected:
    void SetUp() override {
        vnxtest::coreApp();
        ASSERT_TRUE(dir_.isValid());
        setenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.path()).constData(), 1);
        file_ = dir_.path() + "/autostart/Veilnox.desktop";
    }
    void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }
    QTemporaryDir dir_;
    QString file_;
};

TEST_F(Autostart, EnableWritesTheOwnPathAndDisableRemovesTheEntry) {
    EXPECT_EQ(AutostartLocation("Veilnox"), file_);
    EXPECT_FALSE(IsAutostartEnabled("Veilnox"));
    EXPECT_EQ(ReadAutostartValue("Veilnox", "NoVal"), "NoVal");

    ASSERT_TRUE(EnableAutostart("Veilnox", QString()));
    EXPECT_TRUE(IsAutostartEnabled("Veilnox"));
    EXPECT_EQ(ReadAutostartValue("Veilnox", "NoVal"), QCoreApplication::applicationFilePath());
    const QByteArray text = readFile(file_, "<missing>");
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n")) << text.constData();
    EXPECT_TRUE(text.contains("\nType=Application\n"));
    EXPECT_TRUE(text.contains("\nExec=" + QFile::encodeName(QCoreApplication::applicationFilePath()) + "\n"));

    EXPECT_FALSE(IsAutostartEnabled("Other"));
    EXPECT_FALSE(IsAutostartEnabled(QString()));

    ASSERT_TRUE(DisableAutostart("Veilnox"));
    EXPECT_FALSE(QFileInfo::exists(file_));
    EXPECT_FALSE(IsAutostartEnabled("Veilnox"));
    EXPECT_TRUE(DisableAutostart("Veilnox"));  // already gone
}

TEST_F(Autostart, AnEmptyValueStillCountsAsEnabled) {
    ASSERT_TRUE(QDir().mkpath(dir_.path() + "/autostart"));
    ASSERT_TRUE(writeFile(file_, "[Desktop Entry]\nType=Application\nExec=\n"));
    EXPECT_TRUE(IsAutostartEnabled("Veilnox"));
    EXPECT_EQ(ReadAutostartValue("Veilnox", "NoVal"), QString());
    ASSERT_TRUE(writeFile(file_, ""));
    EXPECT_TRUE(IsAutostartEnabled("Veilnox"));
    EXPECT_EQ(ReadAutostartValue("Veilnox", "NoVal"), QString());
}

TEST_F(Autostart, PathsWithSpecialCharactersRoundTrip) {
    const QString odd = "/opt/My Apps/vei$l \"nox\" 100%/back\\slash/veilnox";
    ASSERT_TRUE(EnableAutostart("Veilnox", odd));
    EXPECT_EQ(ReadAutostartValue("Veilnox", "NoVal"), odd);
    const QByteArray text = readFile(file_, "<missing>");
    EXPECT_TRUE(text.contains("Exec=\"/opt/My Apps/")) << text.constData();
    EXPECT_TRUE(text.contains("100%%")) << text.constData();
}

TEST(Endpoints, EnvironmentOverridesReplaceTheBuiltInAddresses) {
    unsetenv("VEILNOX_VERSION_URL");
    const QString builtIn = Endpoints::versionUrl();
    EXPECT_TRUE(builtIn.startsWith("https://")) << builtIn.toStdString();
    setenv("VEILNOX_VERSION_URL", "http://127.0.0.1:1/v.json", 1);
    setenv("VEILNOX_VERSION_FALLBACK_URL", "http://127.0.0.1:2/v.json", 1);
    setenv("VEILNOX_SERVERLIST_URL", "http://127.0.0.1:3/s.xml", 1);
    setenv("VEILNOX_SERVERLIST_FALLBACK_URL", "", 1);  // empty: the default stays
    EXPECT_EQ(Endpoints::versionEndpoints(), QStringList({"http://127.0.0.1:1/v.json", "http://127.0.0.1:2/v.json"}));
    EXPECT_EQ(Endpoints::serverListUrl(), "http://127.0.0.1:3/s.xml");
    EXPECT_TRUE(Endpoints::serverListFallbackUrl().startsWith("https://"));
    EXPECT_NE(Endpoints::serverListFallbackUrl(), Endpoints::serverListUrl());
    unsetenv("VEILNOX_VERSION_URL");
    unsetenv("VEILNOX_VERSION_FALLBACK_URL");
    unsetenv("VEILNOX_SERVERLIST_URL");
    unsetenv("VEILNOX_SERVERLIST_FALLBACK_URL");
    EXPECT_EQ(Endpoints::versionUrl(), builtIn);
}
