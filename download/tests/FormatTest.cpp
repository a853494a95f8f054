// The download window's texts by table: sizes, grouping, durations, the progress and result
// lines, and the proposed file name.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "download/uFormat.h"

namespace {

const TNumberFormat English;           // "," and "."
const TNumberFormat German{",", "."};  // "." groups, "," before the fraction
const TNumberFormat Plain{".", ""};    // the C locale: no grouping

TEST(FormatSize, UnitsDecimalsAndGrouping) {
    const struct {
        int unit, decimals;
        int64_t bytes;
        const char* text;
    } rows[] = {
        {-1, 1, 0, "0.0"},
        {-1, 1, 1023, "1,023.0"},
        {-1, 1, 1024, "1,024.0"},  // only more than 1024 moves up a unit
        {-1, 1, 1025, "1.0 KB"},
        {-1, 1, 1572864, "1.5 MB"},
        {-1, 1, int64_t(1) << 40, "1,024.0 GB"},  // GB is the largest unit
        {-1, 1, 5 * (int64_t(1) << 30), "5.0 GB"},
        {-1, 1, std::numeric_limits<int64_t>::max(), "8,589,934,592.0 GB"},
        {0, 0, 1234567, "1,234,567"},
        {0, 0, 0, "0"},
        {1, 2, 1536, "1.50 KB"},
        {7, 0, int64_t(3) << 30, "3 GB"},  // a unit beyond GB is GB
        {-1, 1, 1049, "1.0 KB"},
        {-1, 1, 1075, "1.0 KB"},  // 1.0498...
        {-1, 1, 1076, "1.1 KB"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(FormatSize(row.unit, row.decimals, row.bytes, English), row.text)
            << row.unit << " " << row.decimals << " " << row.bytes;
    }
    EXPECT_EQ(FormatSize(0, 0, 1234567, German), "1.234.567");
    EXPECT_EQ(FormatSize(-1, 1, 1536 * 1024, German), "1,5 MB");
    EXPECT_EQ(FormatSize(-1, 1, 1024, Plain), "1024.0");
}

TEST(GroupDigits, OnlyTheDigitsBeforeTheSeparator) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"", ""},
        {"1", "1"},
        {"123", "123"},
        {"1234", "1,234"},
        {"123456", "123,456"},
        {"1234567.8912", "1,234,567.8912"},
        {".5", ".5"},
        {"-1234", "-1,234"},
        {"12 KB", "12 KB"},
    };
    for (const auto& row : rows) EXPECT_EQ(GroupDigits(row.in, English), row.out) << row.in;
    EXPECT_EQ(GroupDigits("1234567,5", German), "1.234.567,5");
    // Multi-byte separators, as some locales have (a narrow no-break space).
    EXPECT_EQ(GroupDigits("1234567,5", TNumberFormat{",", "\u202f"}), "1\u202f234\u202f567,5");
}

TEST(FormatDuration, HoursMinutesSeconds) {
    const struct {
        int64_t seconds;
        const char* text;
    } rows[] = {
        {0, "0 sec "},
        {1, "1 sec "},
        {59, "59 sec "},
        {60, "1 min "},
        {120, "2 min "},
        {3600, "1 hour "},
        {3725, "1 hour 2 min 5 sec "},
        {3601, "1 hour 1 sec "},
        {int64_t(65535) * 3600 + 3599, "65535 hour 59 min 59 sec "},
        {int64_t(65536) * 3600, ""},  // the hour count no longer fits 16 bits
        {std::numeric_limits<int64_t>::max(), ""},
        {-1, ""},
    };
    for (const auto& row : rows) EXPECT_EQ(FormatDuration(row.seconds), row.text) << row.seconds;
}

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
    const std::pair<double, int64_t> rows[] = {
        {0.49, 0}, {0.5, 0},  {1.5, 2},   {2.5, 2},
        {2.51, 3}, {-0.5, 0}, {-1.5, -2}, {1e300, 9200000000000000000}};
    for (const auto& [in, out] : rows) EXPECT_EQ(RoundHalfEven(in), out) << in;
}

TEST(DescribeProgress, KnownUnknownAndTooEarlyForARate) {
    const int64_t mib = 1 << 20;
    TProgressView v = DescribeProgress(10 * mib, 3 * mib / 2, 1.4, English);
    EXPECT_TRUE(v.SizeKnown);
    EXPECT_EQ(v.Percent, 15);
    EXPECT_EQ(v.Amount, "1.5 MB of 10.0 MB (6 sec left)");  // 1.5 MB/s, 8.5 MB to go: 5.67 s
    ASSERT_TRUE(v.HasRate);
    EXPECT_EQ(v.Rate, "1536.00 KB/s");

    // Below half a second: amounts and percentage, but no rate and no time left.
    v = DescribeProgress(10 * mib, 2 * mib, 0.49, English);
    EXPECT_EQ(v.Percent, 20);
    EXPECT_EQ(v.Amount, "2.0 MB of 10.0 MB");
    EXPECT_FALSE(v.HasRate);
    // Seconds in, nothing received: no time left either.
    EXPECT_EQ(DescribeProgress(10 * mib, 0, 3, English).Amount, "0.0 of 10.0 MB");

    v = DescribeProgress(-1, 1234567, 2, English);
    EXPECT_FALSE(v.SizeKnown);
    EXPECT_EQ(v.Percent, 0);
    EXPECT_EQ(v.Amount, "1,234,567 bytes so far (unknown file size)");
    EXPECT_EQ(v.Rate, "602.82 KB/s");
    EXPECT_EQ(DescribeProgress(0, 5, 0, English).Amount, "5 bytes so far (unknown file size)");

    // Halves of a percent go to even; more than announced never shows more than 100.
    EXPECT_EQ(DescribeProgress(200, 1, 1, English).Percent, 0);
    EXPECT_EQ(DescribeProgress(200, 3, 1, English).Percent, 2);
    EXPECT_EQ(DescribeProgress(100, 250, 1, English).Percent, 100);
    // Hours beyond 16 bits: the time left is blank, not wrapped.
    EXPECT_EQ(DescribeProgress(std::numeric_limits<int64_t>::max(), 1, 1, English).Amount,
              "1.0 of 8,589,934,592.0 GB (left)");
}

TEST(DescribeResult, AmountInDurationWithTheAverageRate) {
    TProgressView v = DescribeResult(3 * (int64_t(1) << 20), 62.5, German);
    EXPECT_EQ(v.Amount, "3,0 MB in 1 min 2 sec ");
    EXPECT_EQ(v.Rate, "49,55 KB/s");
    v = DescribeResult(1000, 0.2, English);
    EXPECT_EQ(v.Amount, "1,000.0 in 0 sec ");
    EXPECT_FALSE(v.HasRate);
}

TEST(FitFileName, ANameTheFileSystemAndTheDialogTake) {
    const std::string eAcute = "\xc3\xa9";
    const std::string longStem(300, 'a');
    std::string utf8Stem;
    while (utf8Stem.size() < 300) utf8Stem += eAcute;
    const struct {
        std::string in, out;
    } rows[] = {
        {"", "video"},
        {".", "video"},
        {"..", "video"},
        {"...flv", "...flv"},
        {"clip.flv", "clip.flv"},
        {longStem + ".flv", std::string(251, 'a') + ".flv"},
        {longStem, std::string(255, 'a')},
        {utf8Stem + ".mp4", utf8Stem.substr(0, 250) + ".mp4"},  // whole characters only
        {longStem + "." + std::string(40, 'x'),
         (longStem + "." + std::string(40, 'x')).substr(0, 255)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(FitFileName(row.in), row.out) << row.in.size();
        EXPECT_LE(FitFileName(row.in).size(), 255u);
    }
}

}  // namespace
