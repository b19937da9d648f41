// Version numbers, the newer-version rule and the program's own version.
#include "qt/clientcore.h"
#include "version.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryFile>

#include <climits>

TEST(VersionToNumber, CombinesTheFirstFourParts) {
    struct Case {
        const char* text;
        int number;
    } cases[] = {
        {"1.1.10.0", 1200}, {"1.1.0.1", 1101}, {"1.2.0.0", 1200}, {"1.1.9.9", 1199}, {"", 0},
        {"   ", 0},         {" 2.3 ", 2300},   {"1.a.3", 1030},   {"1..3.4", 1034},  {"1.2.3.4.5", 1234},
        {"V1.2", 200},      {"3", 3000},       {"0.1", 100},      {"1.2.3.", 1230},
    };
    for (const Case& c : cases)
        EXPECT_EQ(VersionToNumber(c.text), c.number) << c.text;
}

TEST(VersionToNumber, SaturatesInsteadOfOverflowing) {
    EXPECT_EQ(VersionToNumber("99999999999999999999.0"), 0);  // not a 64-bit number: counts 0
    EXPECT_EQ(VersionToNumber("9999999999.0"), INT_MAX);
    EXPECT_EQ(VersionToNumber("2147483.999.999.999"), INT_MAX);
    EXPECT_EQ(VersionToNumber("-9999999999"), INT_MIN);
}

TEST(NewerVersion, ComparesNumbersDividedByAHundred) {
    EXPECT_TRUE(IsNewerVersion("1.2.0.0", "1.1.9.9"));
    EXPECT_FALSE(IsNewerVersion("1.1.9.9", "1.1.0.1"));
    EXPECT_TRUE(IsNewerVersion("1.1.10.0", "1.1.0.1"));  // 12 against 11
    EXPECT_FALSE(IsNewerVersion("1.1.0.1", "1.1.0.1"));
    EXPECT_FALSE(IsNewerVersion("9", ""));   // one character
    EXPECT_TRUE(IsNewerVersion("0.1", ""));  // unknown own version counts 0
    EXPECT_FALSE(IsNewerVersion("0.0.9.9", ""));
}

TEST(OwnVersion, TheRunningProgramCarriesTheProjectVersion) {
    vnxtest::coreApp();
    QString expected = QString::fromLatin1(VEILNOX_VERSION);
    while (expected.count('.') < 3)
        expected += ".0";
    EXPECT_EQ(GetAppVersion(), expected);

    char buffer[kVersionBufferSize];
    ASSERT_TRUE(GetFileVersionString(QCoreApplication::applicationFilePath().toLocal8Bit().constData(), buffer));
    EXPECT_EQ(QString::fromLatin1(buffer), expected);

    QTemporaryFile other;
    ASSERT_TRUE(other.open());
    buffer[0] = 'x';
    EXPECT_FALSE(GetFileVersionString(other.fileName().toLocal8Bit().constData(), buffer));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_FALSE(GetFileVersionString("/no/such/file", buffer));
}
