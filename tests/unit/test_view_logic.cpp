// The window-free rules of the main window's views: the traffic texts and
// the probe answers with the signal bars they give (the views themselves:
// tests/gui/test_view_*.cpp).
#include "probe.h"
#include "qt/clientcore.h"
#include "rendpoint.h"
#include "trafficformat.h"

#include <gtest/gtest.h>

#include <cstdint>

using vnxtest::probeAnswer;

namespace {

// ---------------------------------------------------------------- texts

TEST(TrafficTexts, FormatSizeCutsToTwoDecimalsInTheRightUnit) {
    struct Case {
        std::uint64_t n;
        const char* text;
    } cases[] = {
        {0, "0 KB"},
        {1, "0 KB"},
        {1536, "1.5 KB"},
        {1048575, "1023.99 KB"},
        {1048576, "1024 KB"},
        {1048577, "1 MB"},
        {50ull * 1048576, "50 MB"},
        {1073741824, "1024 MB"},
        {1073741825, "1 GB"},
        {3ull * 1073741824, "3 GB"},
        {4294967295ull, "3.99 GB"},
        {12940, "12.63 KB"},  // 12.636..., cut, not rounded
        // Rates are shown eightfold and sums of two counters: neither wraps.
        {8ull * (2ull * 4294967295ull), "63.99 GB"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatSize(c.n), QString::fromLatin1(c.text)) << c.n;
    // Rates are bits: the same numbers, with bit units.
    EXPECT_EQ(FormatBits(1048577), QStringLiteral("1 Mb"));
    EXPECT_EQ(FormatBits(8ull * 7700000), QStringLiteral("58.74 Mb"));
    EXPECT_EQ(RateText(1000, 0), QStringLiteral("7.81 Kb/s"));
    EXPECT_EQ(RateText(0, 0), QStringLiteral("0 Kb/s"));
    EXPECT_EQ(RateText(0xFFFFFFFFu, 0xFFFFFFFFu), QStringLiteral("63.99 Gb/s"));
    EXPECT_EQ(TrafficLine(QStringLiteral("0 Kb/s"), 3), QStringLiteral("0 Kb/s, 3 Apps"));
}

// ---------------------------------------------------------------- probes

TEST(ProbeRules, SignalBarFollowsTheReplyTime) {
    struct Case {
        std::uint32_t ms;
        int value;
    } cases[] = {{0, 3000},   {30, 3000},  {49, 3000},   {50, 2950},   {500, 2500},  {799, 2201},
                 {800, 2200}, {900, 2200}, {2800, 2200}, {5000, 2200}, {9999, 2200}, {0xFFFFFFFFu, 2200}};
    for (const Case& c : cases) {
        const SignalBar bar = AnsweredBar(c.ms);
        EXPECT_EQ(bar.maximum, 3000) << c.ms;
        EXPECT_EQ(bar.value, c.value) << c.ms;
    }
    EXPECT_EQ(TimedOutBar().maximum, 100);
    EXPECT_EQ(TimedOutBar().value, 69);

    ProbeAnswer answer;
    EXPECT_FALSE(ParseProbeAnswer(QByteArray(7, 'x'), answer));
    EXPECT_FALSE(ParseProbeAnswer(QByteArray(9, 'x'), answer));
    ASSERT_TRUE(ParseProbeAnswer(probeAnswer("10.0.0.9", 0x01020304), answer));
    EXPECT_EQ(answer.address, vnx::parseIpv4("10.0.0.9"));
    EXPECT_EQ(answer.connections, 0x01020304u);
}

}  // namespace
