// The user's own servers, without a window: what protects a server as the
// list shows it, the key handed to the local server, the pasted link or list
// line that "Add server..." reads, and the data folder's list edited in place
// in a real temporary folder.
#include "hopkey.h"
#include "localservers.h"
#include "proxypublish.h"
#include "qt/clientcore.h"
#include "rendpoint.h"
#include "serverlist.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

using vnxtest::listXml;
using vnxtest::readFile;
using vnxtest::server;
using vnxtest::writeFile;

namespace {

// A key whose bytes start at `seed`, as text.
QString keyText(std::uint8_t seed, std::uint8_t (*bytes)[vnx::kHopKeySize] = nullptr) {
    std::uint8_t key[vnx::kHopKeySize];
    for (std::size_t i = 0; i < sizeof key; ++i)
        key[i] = static_cast<std::uint8_t>(seed + 7 * i);
    if (bytes) std::memcpy(*bytes, key, sizeof key);
    return QString::fromStdString(vnx::encodeHopKey(key));
}

StringMap keyed(const QString& ip, const QString& port, const QString& key) {
    StringMap s = server(ip, port, "Germany", "Berlin");
    s["key"] = key;
    return s;
}

mode_t fileMode(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

}  // namespace

// ---------------------------------------------------------------- protection

TEST(ServerProtection, KeyStateAndMaskingDecideTheMark) {
    const QString good = keyText(1);
    QString strayBits = good;
    strayBits[42] = 'B';  // the last character carries two bits that must be 0
    struct Case {
        const char* what;
        bool present;
        QString key;
        bool masking;
        Protection expected;
        QString text;
    };
    const Case cases[] = {
        {"valid key, masking on", true, good, true, Protection::Encrypted, "Encrypted"},
        {"valid key, masking off", true, good, false, Protection::Encrypted, "Encrypted"},
        {"42 characters", true, good.left(42), true, Protection::DamagedKey, "Damaged key"},
        {"stray bits", true, strayBits, false, Protection::DamagedKey, "Damaged key"},
        {"not base64url", true, good.left(41) + "+/", true, Protection::DamagedKey, "Damaged key"},
        {"44 characters", true, good + "A", false, Protection::DamagedKey, "Damaged key"},
        {"no key, masking on", false, "", true, Protection::Masked, "Masked"},
        {"no key, masking off", false, "", false, Protection::Plain, "Plain"},
        {"empty key, masking on", true, "", true, Protection::Masked, "Masked"},
        {"empty key, masking off", true, "", false, Protection::Plain, "Plain"},
    };
    for (const Case& c : cases) {
        StringMap s = server("203.0.113.7", "9200", "Germany");
        if (c.present) s["key"] = c.key;
        const Protection protection = ServerProtection(s, c.masking);
        EXPECT_EQ(protection, c.expected) << c.what;
        EXPECT_EQ(ProtectionText(protection), c.text) << c.what;
        // The tooltip names the state and never shows the key.
        EXPECT_TRUE(ProtectionToolTip(protection).startsWith(c.text + ":")) << c.what;
        if (!c.key.isEmpty()) {
            EXPECT_FALSE(ProtectionToolTip(protection).contains(c.key.left(12))) << c.what;
        }
        std::uint8_t key[vnx::kHopKeySize];
        EXPECT_EQ(ServerKey(s, key), c.expected == Protection::Encrypted) << c.what;
    }
    std::uint8_t expected[vnx::kHopKeySize];
    std::uint8_t got[vnx::kHopKeySize];
    ASSERT_TRUE(ServerKey(keyed("1.2.3.4", "1", keyText(9, &expected)), got));
    EXPECT_EQ(0, std::memcmp(got, expected, sizeof got));
}

TEST(ServerProtection, TheKeyOfTheSelectedServerIsPublishedAndWithdrawn) {
    std::uint8_t key[vnx::kHopKeySize];
    const StringMap relay = keyed("203.0.113.7", "9200", keyText(3, &key));
    const std::uint32_t address = vnx::parseIpv4("203.0.113.7");
    std::uint8_t read[vnx::kHopKeySize];

    ASSERT_TRUE(PublishServerKey(relay));
    ASSERT_TRUE(vnx::readHopKey(address, 9200, read));
    EXPECT_EQ(0, std::memcmp(read, key, sizeof key));
    // It belongs to that server only.
    EXPECT_FALSE(vnx::readHopKey(address, 9201, read));
    EXPECT_FALSE(vnx::readHopKey(vnx::parseIpv4("203.0.113.8"), 9200, read));

    // A plain server, a damaged key, a disconnect: no key for anyone.
    for (const StringMap& other :
         {server("203.0.113.7", "9200", "Germany"), keyed("203.0.113.7", "9200", keyText(3).left(40)), StringMap()}) {
        ASSERT_TRUE(PublishServerKey(relay));
        ASSERT_TRUE(PublishServerKey(other));
        EXPECT_FALSE(vnx::readHopKey(address, 9200, read));
    }
}

TEST(ServerListOrder, TheServersOfTheDataFoldersListAreCounted) {
    ServerListSources sources;
    sources.dataListText = listXml({server("9.9.9.1", "9", "Z"), server("9.9.9.2", "9", "Z")});
    sources.downloadedText = listXml({server("2.0.0.1", "3", "C")});
    int local = -1;
    EXPECT_EQ(CollectServers(sources, &local).size(), 3);
    EXPECT_EQ(local, 2);
    sources.programListText = listXml({server("1.0.0.1", "1", "A")});
    EXPECT_EQ(CollectServers(sources, &local).size(), 2);
    EXPECT_EQ(local, 0);  // the program folder's list is not the user's
}

// ---------------------------------------------------------------- pasted text

TEST(PastedServer, LinksAndListLinesAreReadOrRefusedWithTheReason) {
    const QString key = keyText(5);
    const QString element =
        " <Element><tag>DE</tag><country>Germany</country><city>Berlin</city><ip>203.0.113.7</ip>"
        "<port>9200</port><protocol>private</protocol><key>" +
        key + "</key></Element>";
    struct Case {
        const char* what;
        QString text;
        bool ok;
        QString ip, port, keyText, city;  // expected on success
        QString error;                    // a part of the sentence on failure
    };
    const Case cases[] = {
        {"link with key",
         "  veilnox://" + key + "@203.0.113.7:9200?tag=DE&country=Germany&city=Frankfurt%20am%20Main\n", true,
         "203.0.113.7", "9200", key, "Frankfurt am Main", ""},
        {"link without key", "veilnox://198.51.100.4:443", true, "198.51.100.4", "443", "", "", ""},
        {"no scheme", key + "@203.0.113.7:9200", false, "", "", "", "", "veilnox://"},
        {"bad key in link", "veilnox://" + key.left(42) + "@203.0.113.7:9200", false, "", "", "", "", "key"},
        {"port 0", "veilnox://203.0.113.7:0", false, "", "", "", "", "1 to 65535"},
        {"port 65536", "veilnox://203.0.113.7:65536", false, "", "", "", "", "1 to 65535"},
        {"host name", "veilnox://relay.example:9200", false, "", "", "", "", "IPv4"},
        {"element line", element, true, "203.0.113.7", "9200", key, "Berlin", ""},
        {"element and link as printed", element + "\nveilnox://" + key + "@203.0.113.7:9200?city=Berlin", true,
         "203.0.113.7", "9200", key, "Berlin", ""},
        {"whole list of one", "<Array>" + element + "</Array>", true, "203.0.113.7", "9200", key, "Berlin", ""},
        {"element without key", "<Element><ip>192.0.2.1</ip><port>80</port></Element>", true, "192.0.2.1", "80", "", "",
         ""},
        {"element with bad ip", "<Element><ip>203.0.113.300</ip><port>9200</port></Element>", false, "", "", "", "",
         "IPv4"},
        {"element with host", "<Element><ip>relay.example</ip><port>9200</port></Element>", false, "", "", "", "",
         "IPv4"},
        {"element with leading zero", "<Element><ip>10.0.0.01</ip><port>9200</port></Element>", false, "", "", "", "",
         "IPv4"},
        {"element with bad port", "<Element><ip>192.0.2.1</ip><port>99999</port></Element>", false, "", "", "", "",
         "1 to 65535"},
        {"element without port", "<Element><ip>192.0.2.1</ip></Element>", false, "", "", "", "", "1 to 65535"},
        {"element of another protocol",
         "<Element><ip>192.0.2.1</ip><port>1</port><protocol>socks5</protocol></Element>", false, "", "", "", "",
         "private"},
        {"element with bad key", "<Element><ip>192.0.2.1</ip><port>1</port><key>abc</key></Element>", false, "", "", "",
         "", "key"},
        {"cut element", element.left(60), false, "", "", "", "", "complete"},
        {"two elements", element + element, false, "", "", "", "", "one at a time"},
        {"control character", "<Element><ip>192.0.2.1</ip><port>1</port><city>a&#9;b</city></Element>", false, "", "",
         "", "", "city"},
        {"empty", "  \n ", false, "", "", "", "", "Paste"},
    };
    for (const Case& c : cases) {
        StringMap s;
        QString error;
        s["stale"] = "x";
        const bool ok = ParseServerText(c.text, s, error);
        EXPECT_EQ(ok, c.ok) << c.what << ": " << error.toStdString();
        if (ok) {
            EXPECT_EQ(s.value("ip"), c.ip) << c.what;
            EXPECT_EQ(s.value("port"), c.port) << c.what;
            EXPECT_EQ(s.value("protocol"), "private") << c.what;
            EXPECT_EQ(s.value("key"), c.keyText) << c.what;
            EXPECT_EQ(s.value("city"), c.city) << c.what;
            EXPECT_FALSE(s.contains("stale")) << c.what;
            // As a list line it reads back as the same server.
            QList<StringMap> back;
            ASSERT_TRUE(ParseArrayXml("<Array>" + ServerElementLine(s) + "</Array>", back)) << c.what;
            ASSERT_EQ(back.size(), 1);
            EXPECT_EQ(back[0], s) << c.what;
        } else {
            EXPECT_TRUE(s.isEmpty()) << c.what;
            EXPECT_TRUE(error.contains(c.error)) << c.what << ": " << error.toStdString();
        }
    }
    // The dialog prefills only what looks like either form.
    EXPECT_TRUE(LooksLikeServerText("  veilnox://1.2.3.4:5"));
    EXPECT_TRUE(LooksLikeServerText(element));
    EXPECT_FALSE(LooksLikeServerText("https://example.org/"));
    EXPECT_FALSE(LooksLikeServerText(""));
}

// ---------------------------------------------------------------- the file

class LocalList : public ::testing::Test {
protected:
    QString path() const { return LocalServerListPath(dir.path() + "/data"); }
    QList<StringMap> servers() const {
        QList<StringMap> list;
        EXPECT_TRUE(ParseArrayXml(QString::fromUtf8(readFile(path())), list));
        return list;
    }
    QTemporaryDir dir;
};

TEST_F(LocalList, AddingCreatesTheFileForItsOwnerAndKeepsEveryOtherCharacter) {
    StringMap first;
    QString error;
    ASSERT_TRUE(ParseServerText("veilnox://" + keyText(7) + "@203.0.113.7:9200?tag=DE&country=Germany", first, error));
    ASSERT_TRUE(AddLocalServer(path(), first, error)) << error.toStdString();
    EXPECT_EQ(fileMode(path()), 0600u);
    EXPECT_EQ(servers(), QList<StringMap>{first});

    // A file the user wrote: comments, odd spacing, CRLF lines, an entry with
    // fields the client does not know. It stays as it is around the new line.
    const QByteArray own =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- my relays -->\r\n<Array>\r\n"
        "  <Element><ip>192.0.2.10</ip><port>9200</port><protocol>private</protocol>"
        "<strength>80</strength><image>de.png</image></Element>\r\n"
        "  <Element ><ip>192.0.2.20</ip><port>9200</port></Element><!-- keep -->\r\n"
        "</Array>\r\n";
    ASSERT_TRUE(writeFile(path(), own));
    ASSERT_TRUE(
        QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    const QList<StringMap> before = servers();
    ASSERT_EQ(before.size(), 2);
    ASSERT_TRUE(AddLocalServer(path(), first, error)) << error.toStdString();
    const QByteArray added = readFile(path());
    const QByteArray line = ServerElementLine(first).toUtf8() + "\r\n";
    const int at = own.indexOf("</Array>");
    EXPECT_EQ(added, own.left(at) + line + own.mid(at));
    EXPECT_EQ(servers(), before + QList<StringMap>{first});
    EXPECT_EQ(fileMode(path()), 0600u);  // it holds keys now

    // The same address and port again is refused, the file untouched.
    StringMap again = server("192.0.2.20", "9200", "X");
    EXPECT_FALSE(AddLocalServer(path(), again, error));
    EXPECT_TRUE(error.contains("already")) << error.toStdString();
    EXPECT_EQ(readFile(path()), added);

    // Removing gives back exactly the file the user had.
    ASSERT_TRUE(RemoveLocalServer(path(), 2, first, error)) << error.toStdString();
    EXPECT_EQ(readFile(path()), own);
    EXPECT_EQ(fileMode(path()), 0600u);
    // An element that shares its line keeps the rest of the line.
    ASSERT_TRUE(RemoveLocalServer(path(), 1, before[1], error)) << error.toStdString();
    EXPECT_EQ(readFile(path()).toStdString(),
              QByteArray(own).replace("<Element ><ip>192.0.2.20</ip><port>9200</port></Element>", "").toStdString());
    EXPECT_EQ(servers(), before.mid(0, 1));
}

TEST_F(LocalList, EmptyAndSelfClosingListsAndOneLineLists) {
    const StringMap s = keyed("198.51.100.1", "1", keyText(2));
    QString error;
    struct Case {
        QByteArray content;
        int count;  // servers before
    };
    const Case cases[] = {
        {"", 0},
        {"  \n", 0},
        {"<Array/>", 0},
        {"<Array />\n", 0},
        {"<Array></Array>", 0},
        {"<Array><Element><ip>1.1.1.1</ip><port>1</port></Element></Array>", 1},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(writeFile(path(), c.content));
        ASSERT_TRUE(AddLocalServer(path(), s, error)) << c.content.constData() << ": " << error.toStdString();
        const QList<StringMap> list = servers();
        ASSERT_EQ(list.size(), c.count + 1) << c.content.constData();
        EXPECT_EQ(list.last(), s);
        ASSERT_TRUE(RemoveLocalServer(path(), c.count, s, error)) << error.toStdString();
        EXPECT_EQ(servers().size(), c.count);
    }
}

TEST_F(LocalList, ABrokenOrChangedFileIsNeverOverwritten) {
    const StringMap s = keyed("198.51.100.1", "1", keyText(2));
    QString error;
    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary += static_cast<char>((i * 131) & 0xFF);
    for (const QByteArray& broken :
         {QByteArray("<Array><Element><ip>1.1.1.1</ip>"), QByteArray("<Servers><Element/></Servers>"),
          QByteArray("<Array><Element><city>\xff\xfe</city></Element></Array>"), binary}) {
        ASSERT_TRUE(writeFile(path(), broken));
        error.clear();
        EXPECT_FALSE(AddLocalServer(path(), s, error));
        EXPECT_FALSE(error.isEmpty());
        EXPECT_TRUE(error.contains("unchanged")) << error.toStdString();
        EXPECT_EQ(readFile(path()), broken);
        EXPECT_FALSE(RemoveLocalServer(path(), 0, s, error));
        EXPECT_EQ(readFile(path()), broken);
    }

    // A list that changed since the window read it: the entry at the index
    // is another server now, or the index is gone.
    const QByteArray list = listXml({server("1.1.1.1", "1", "A"), s});
    ASSERT_TRUE(writeFile(path(), list));
    EXPECT_FALSE(RemoveLocalServer(path(), 0, s, error));
    EXPECT_TRUE(error.contains("changed")) << error.toStdString();
    EXPECT_FALSE(RemoveLocalServer(path(), 2, s, error));
    StringMap otherKey = s;
    otherKey["key"] = keyText(3);
    EXPECT_FALSE(RemoveLocalServer(path(), 1, otherKey, error));
    EXPECT_EQ(readFile(path()), list);
    QFile::remove(path());
    EXPECT_FALSE(RemoveLocalServer(path(), 0, s, error));
    EXPECT_FALSE(QFileInfo::exists(path()));

    // A folder where the file should be: refused, nothing lost.
    ASSERT_TRUE(QDir().mkpath(path()));
    EXPECT_FALSE(AddLocalServer(path(), s, error));
    EXPECT_TRUE(QFileInfo(path()).isDir());
}
