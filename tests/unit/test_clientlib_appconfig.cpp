// CAppConfig: file format, loading rules and saves that never lose the
// previous file.
#include "appconfig.h"
#include "qt/clientcore.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/mount.h>
#include <cerrno>
#include <cstring>

using vnxtest::readFile;
using vnxtest::writeFile;

namespace {

// A small tmpfs of its own at `dir` (the test runs in a private mount
// namespace). Empty text on success, else the reason.
QString mountTmpfs(const QString& dir, const char* options, unsigned long flags = 0) {
    if (mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", MS_NOSUID | MS_NODEV | flags, options) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString();
}

}  // namespace

TEST(AppConfigFormat, SavesKeysInOrderWithOneSpaceIndentAndNoDeclaration) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/appconfig.xml";
    CAppConfig config;
    EXPECT_FALSE(config.setPath(path));  // no file yet: empty store
    config["redirecttcp"] = "1";
    config.setNumber("changetime", 30);
    ASSERT_TRUE(config.save());
    EXPECT_EQ(readFile(path, "<missing>").toStdString(),
              "<Vars>\n"
              " <changetime>30</changetime>\n"
              " <redirecttcp>1</redirecttcp>\n"
              "</Vars>\n");

    // Reading a missing key through indexing adds it; it is then written as
    // an empty element.
    EXPECT_TRUE(config["countryfilter"].isEmpty());
    EXPECT_TRUE(config.value("ipconnected").isEmpty());  // reading by value() adds nothing
    ASSERT_TRUE(config.save());
    EXPECT_EQ(readFile(path, "<missing>").toStdString(),
              "<Vars>\n"
              " <changetime>30</changetime>\n"
              " <countryfilter></countryfilter>\n"
              " <redirecttcp>1</redirecttcp>\n"
              "</Vars>\n");

    CAppConfig reloaded(path);
    EXPECT_EQ(reloaded.values(), config.values());
}

TEST(AppConfigFormat, AwkwardValuesSurviveAReload) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/appconfig.xml";
    CAppConfig config(path);
    config["a"] = "x < y && z > w ]]> \"quoted\" 'single'";
    config["countryfilter"] = QString::fromUtf8("C\xc3\xb4te d'Ivoire \xe6\x97\xa5\xe6\x9c\xac");
    config["spaces"] = "  padded  ";
    config["lines"] = "one\ntwo\r\nthree\tfour";
    config["control"] = QString("bell") + QChar(7) + "end";  // not representable in XML
    config["bad key"] = "dropped";                           // not an element name
    config["1digit"] = "dropped";
    ASSERT_TRUE(config.save());
    CAppConfig reloaded(path);
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.value("a"), config.value("a"));
    EXPECT_EQ(reloaded.value("countryfilter"), config.value("countryfilter"));
    EXPECT_EQ(reloaded.value("spaces"), "  padded  ");
    EXPECT_EQ(reloaded.value("lines"), "one\ntwo\r\nthree\tfour");
    EXPECT_EQ(reloaded.value("control"), "bellend");
    EXPECT_FALSE(reloaded.contains("bad key"));
    EXPECT_FALSE(reloaded.contains("1digit"));
    EXPECT_EQ(reloaded.values().size(), 5);
}

TEST(AppConfigLoad, DuplicateKeyKeepsTheSecondValueAndNestingIsFlattened) {
    QMap<QString, QString> values;
    ASSERT_TRUE(
        CAppConfig::parse("<Vars><encryptdata>0</encryptdata><redirectdns>1</redirectdns>"
                          "<encryptdata>1</encryptdata><nested>a<b>b<c>c</c></b>d</nested></Vars>",
                          values));
    EXPECT_EQ(values.value("encryptdata"), "1");
    EXPECT_EQ(values.value("redirectdns"), "1");
    EXPECT_EQ(values.value("nested"), "abcd");
    EXPECT_EQ(values.size(), 3);
}

TEST(AppConfigLoad, MissingMalformedOrForeignFilesGiveAnEmptyStore) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/appconfig.xml";
    CAppConfig config(path);
    EXPECT_TRUE(config.values().isEmpty());
    EXPECT_FALSE(config.load());

    const QByteArray broken[] = {
        "",
        "<Vars><redirecttcp>1</redirecttcp>",         // cut short
        "<Vars><redirecttcp>1</redirectudp></Vars>",  // mismatched
        "<Vars><p:x>1</p:x></Vars>",                  // undeclared prefix
        "<Vars>\x01</Vars>",                          // forbidden character
        "<Vars></Vars><Vars></Vars>",                 // two roots
        QByteArray("<Vars><a>1</a></Vars>\0garbage", 29),
    };
    for (const QByteArray& content : broken) {
        ASSERT_TRUE(writeFile(path, content));
        config["stale"] = "x";
        EXPECT_FALSE(config.load()) << content.constData();
        EXPECT_TRUE(config.values().isEmpty()) << content.constData();
    }

    // Well-formed but not a settings document: nothing to read.
    ASSERT_TRUE(writeFile(path, "<Other><redirecttcp>1</redirecttcp></Other>"));
    EXPECT_TRUE(config.load());
    EXPECT_TRUE(config.values().isEmpty());

    // Larger than any settings file: refused without reading it all.
    QByteArray huge = "<Vars><a>" + QByteArray(CAppConfig::kMaxFileSize, 'x') + "</a></Vars>";
    ASSERT_TRUE(writeFile(path, huge));
    EXPECT_FALSE(config.load());
    EXPECT_TRUE(config.values().isEmpty());
}

TEST(AppConfigLoad, DeepNestingAndEntityBombsNeitherCrashNorHang) {
    const int depth = 200000;
    QByteArray deep = "<Vars><k>";
    for (int i = 0; i < depth; ++i)
        deep += "<a>";
    deep += "v";
    for (int i = 0; i < depth; ++i)
        deep += "</a>";
    deep += "</k></Vars>";
    QMap<QString, QString> values;
    ASSERT_TRUE(CAppConfig::parse(deep, values));
    EXPECT_EQ(values.value("k"), "v");

    QByteArray bomb = "<?xml version=\"1.0\"?><!DOCTYPE Vars [<!ENTITY a \"aaaaaaaaaa\">";
    char prev = 'a';
    for (char e = 'b'; e <= 'j'; ++e, ++prev)
        bomb += QByteArray("<!ENTITY ") + e + " \"&" + prev + ";&" + prev + ";&" + prev + ";&" + prev + ";&" + prev +
                ";&" + prev + ";&" + prev + ";&" + prev + ";&" + prev + ";&" + prev + ";\">";
    bomb += "]><Vars><k>&j;</k></Vars>";
    QMap<QString, QString> bombed;
    EXPECT_FALSE(CAppConfig::parse(bomb, bombed));  // expansion limit reached
    EXPECT_TRUE(bombed.isEmpty());
}

class AppConfigSave : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        mountPoint_ = dir_.path() + "/mnt";
        ASSERT_TRUE(QDir().mkpath(mountPoint_));
    }
    void TearDown() override {
        if (mounted_) umount2(QFile::encodeName(mountPoint_).constData(), MNT_DETACH);
    }
    void mountOrSkip(const char* options, unsigned long flags = 0) {
        QString error = mountTmpfs(mountPoint_, options, flags);
        if (!error.isEmpty()) GTEST_SKIP() << "cannot mount a tmpfs here: " << error.toStdString();
        mounted_ = true;
    }
    QTemporaryDir dir_;
    QString mountPoint_;
    bool mounted_ = false;
};

TEST_F(AppConfigSave, AFullDiskLeavesTheOldFileIntact) {
    mountOrSkip("size=64k,mode=0755");
    if (IsSkipped()) return;
    const QString path = mountPoint_ + "/appconfig.xml";
    CAppConfig config(path);
    config["redirecttcp"] = "1";
    config["ipconnected"] = "10.1.2.3";
    ASSERT_TRUE(config.save());
    const QByteArray before = readFile(path, "<missing>");

    // Fill the disk, then try to save a value larger than what is left.
    {
        QFile filler(mountPoint_ + "/filler");
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
    }
    config["countryfilter"] = QString(32 * 1024, QChar('c'));
    EXPECT_FALSE(config.save());
    EXPECT_EQ(readFile(path, "<missing>"), before);
    CAppConfig reloaded(path);
    EXPECT_EQ(reloaded.value("ipconnected"), "10.1.2.3");
    // No temporary file is left behind.
    EXPECT_EQ(QDir(mountPoint_).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

TEST_F(AppConfigSave, AReadOnlyFolderLeavesTheOldFileIntact) {
    mountOrSkip("size=64k,mode=0755");
    if (IsSkipped()) return;
    const QString path = mountPoint_ + "/appconfig.xml";
    ASSERT_TRUE(writeFile(path, "<Vars>\n <redirecttcp>0</redirecttcp>\n</Vars>\n"));
    ASSERT_EQ(mount(nullptr, QFile::encodeName(mountPoint_).constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
    CAppConfig config(path);
    EXPECT_EQ(config.value("redirecttcp"), "0");
    config["redirecttcp"] = "1";
    EXPECT_FALSE(config.save());
    EXPECT_EQ(readFile(path, "<missing>"), QByteArray("<Vars>\n <redirecttcp>0</redirecttcp>\n</Vars>\n"));
}

TEST(AppConfigSaveTarget, EmptyPathWritesNothingAndSetPathReloads) {
    CAppConfig config;
    config["a"] = "1";
    EXPECT_FALSE(config.save());
    QTemporaryDir dir;
    const QString path = dir.path() + "/appconfig.xml";
    ASSERT_TRUE(writeFile(path, "<Vars><b>2</b></Vars>"));
    EXPECT_TRUE(config.setPath(path));
    EXPECT_FALSE(config.contains("a"));
    EXPECT_EQ(config.value("b"), "2");
    // A folder where the file should be: nothing is replaced.
    CAppConfig blocked(dir.path());
    blocked["a"] = "1";
    EXPECT_FALSE(blocked.save());
    EXPECT_TRUE(QFileInfo(dir.path()).isDir());
}
