// Texts of the download window without Qt: sizes with a unit, digit grouping, durations, the
// progress and result lines, and the file name proposed in the save dialog. Pure functions, any
// thread; the separators come from a number format (the locale's, LocaleNumberFormat).
#pragma once

#include <cstdint>
#include <string>

struct TNumberFormat {
    std::string DecimalSeparator = ".";
    std::string ThousandSeparator = ",";
};

// The separators of the current LC_NUMERIC locale (the program takes it from the environment).
TNumberFormat LocaleNumberFormat();

// Nearest whole number, halves to the even neighbour.
int64_t RoundHalfEven(double value);

// value with exactly decimals digits after the separator, no grouping ("%0.<decimals>f").
std::string FormatFixed(double value, int decimals, const TNumberFormat& format);

// Separates the digits before the decimal separator into groups of three from the right.
std::string GroupDigits(const std::string& text, const TNumberFormat& format);

// Unit 0 bytes, 1 KB, 2 MB, 3 GB (higher units are GB); a negative unit picks the largest unit,
// up to GB, that leaves more than 1024 of the one below.
std::string FormatSize(int unit, int decimals, int64_t bytes, const TNumberFormat& format);

// "1 hour 2 min 5 sec " style, with a trailing blank; empty beyond 65535 hours or below zero.
std::string FormatDuration(int64_t seconds);

// What the window shows for bytes received against the expected size (<= 0: unknown) after
// elapsed seconds. Below half a second there is no rate, so no rate and no time left. The rate
// counts the bytes after sessionStart, those of the transfer that took the elapsed time.
struct TProgressView {
    bool SizeKnown = false;
    int Percent = 0;     // with a known size
    std::string Amount;  // the "Downloaded:" line
    bool HasRate = false;
    std::string Rate;  // the "Transfer rate:" line, when HasRate
};
TProgressView DescribeProgress(int64_t total, int64_t downloaded, double elapsedSeconds,
                               const TNumberFormat& format, int64_t sessionStart = 0);
// The result of a completed download: amount in duration, and the average rate.
TProgressView DescribeResult(int64_t downloaded, double elapsedSeconds, const TNumberFormat& format,
                             int64_t sessionStart = 0);

// A proposed file name that a file system and the save dialog take: never empty, "." or "..",
// and at most 255 bytes, cut before the extension on a UTF-8 character boundary.
std::string FitFileName(const std::string& name);
