// Download window texts; see uFormat.h.
#include "download/uFormat.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <limits>

TNumberFormat LocaleNumberFormat() {
    const lconv* conv = std::localeconv();
    TNumberFormat format;
    format.DecimalSeparator =
        conv->decimal_point && *conv->decimal_point ? conv->decimal_point : ".";
    format.ThousandSeparator = conv->thousands_sep ? conv->thousands_sep : "";
    return format;
}

int64_t RoundHalfEven(double value) {
    const double floor = std::floor(value);
    const double rest = value - floor;
    double rounded = floor;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(floor, 2.0) != 0.0)) rounded += 1.0;
    // Far beyond any size or duration the window deals with; the cast must not overflow.
    constexpr double kLimit = 9.2e18;
    return static_cast<int64_t>(std::clamp(rounded, -kLimit, kLimit));
}

std::string FormatFixed(double value, int decimals, const TNumberFormat& format) {
    char text[400];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed,
                                   std::clamp(decimals, 0, 30));
    std::string result(text, end.ec == std::errc() ? end.ptr : text);
    const size_t point = result.find('.');
    if (point != std::string::npos) result.replace(point, 1, format.DecimalSeparator);
    return result;
}

std::string GroupDigits(const std::string& text, const TNumberFormat& format) {
    const size_t cut =
        format.DecimalSeparator.empty() ? std::string::npos : text.find(format.DecimalSeparator);
    const std::string whole = text.substr(0, cut);
    size_t first = whole.size();
    while (first > 0 && whole[first - 1] >= '0' && whole[first - 1] <= '9') --first;
    std::string result = whole.substr(0, first);  // a sign stays in front
    const size_t digits = whole.size() - first;
    for (size_t i = 0; i < digits; ++i) {
        if (i > 0 && (digits - i) % 3 == 0) result += format.ThousandSeparator;
        result += whole[first + i];
    }
    if (cut != std::string::npos) result += text.substr(cut);
    return result;
}

std::string FormatSize(int unit, int decimals, int64_t bytes, const TNumberFormat& format) {
    static const char* const kSuffix[] = {"", " KB", " MB", " GB"};
    int chosen = 0;
    if (unit < 0) {
        for (int64_t v = bytes; v > 1024 && chosen < 3; v /= 1024) ++chosen;
    } else {
        chosen = std::min(unit, 3);
    }
    const double value =
        static_cast<double>(bytes) / static_cast<double>(int64_t(1) << (10 * chosen));
    return GroupDigits(FormatFixed(value, decimals, format), format) + kSuffix[chosen];
}

std::string FormatDuration(int64_t seconds) {
    if (seconds < 0 || seconds / 3600 > std::numeric_limits<uint16_t>::max()) return "";
    const int64_t hours = seconds / 3600;
    const int64_t minutes = seconds % 3600 / 60;
    const int64_t rest = seconds % 60;
    std::string text;
    if (hours != 0) text += std::to_string(hours) + " hour ";
    if (minutes != 0) text += std::to_string(minutes) + " min ";
    if (rest != 0 || (hours == 0 && minutes == 0)) text += std::to_string(rest) + " sec ";
    return text;
}

namespace {

// Average bytes per second over whole seconds; none below half a second.
struct TRate {
    int64_t Seconds = 0;
    double BytesPerSecond = 0;
};

TRate AverageRate(int64_t bytes, double elapsedSeconds) {
    TRate rate;
    rate.Seconds = RoundHalfEven(elapsedSeconds);
    if (rate.Seconds > 0)
        rate.BytesPerSecond = static_cast<double>(bytes) / static_cast<double>(rate.Seconds);
    return rate;
}

TProgressView ViewWithRate(const TRate& rate, const TNumberFormat& format) {
    TProgressView view;
    view.HasRate = rate.Seconds > 0;
    if (view.HasRate) view.Rate = FormatFixed(rate.BytesPerSecond / 1024, 2, format) + " KB/s";
    return view;
}

}  // namespace

TProgressView DescribeProgress(int64_t total, int64_t downloaded, double elapsedSeconds,
                               const TNumberFormat& format, int64_t sessionStart) {
    const TRate rate = AverageRate(std::max<int64_t>(0, downloaded - sessionStart), elapsedSeconds);
    TProgressView view = ViewWithRate(rate, format);
    if (total <= 0) {
        view.Amount = FormatSize(0, 0, downloaded, format) + " bytes so far (unknown file size)";
        return view;
    }
    view.SizeKnown = true;
    const double percent = static_cast<double>(downloaded) / static_cast<double>(total) * 100;
    view.Percent = static_cast<int>(std::clamp<int64_t>(RoundHalfEven(percent), 0, 100));
    view.Amount = FormatSize(-1, 1, downloaded, format) + " of " + FormatSize(-1, 1, total, format);
    // Nothing received yet in whole seconds: no time left to tell.
    if (rate.BytesPerSecond > 0 && downloaded <= total) {
        const double left = static_cast<double>(total - downloaded) / rate.BytesPerSecond;
        view.Amount += " (" + FormatDuration(RoundHalfEven(left)) + "left)";
    }
    return view;
}

TProgressView DescribeResult(int64_t downloaded, double elapsedSeconds, const TNumberFormat& format,
                             int64_t sessionStart) {
    const TRate rate = AverageRate(std::max<int64_t>(0, downloaded - sessionStart), elapsedSeconds);
    TProgressView view = ViewWithRate(rate, format);
    view.Amount = FormatSize(-1, 1, downloaded, format) + " in " + FormatDuration(rate.Seconds);
    return view;
}

std::string FitFileName(const std::string& name) {
    constexpr size_t kMaxName = 255;  // NAME_MAX of the usual Linux file systems
    constexpr size_t kMaxExtension = 16;
    if (name.empty() || name == "." || name == "..") return "video";
    if (name.size() <= kMaxName) return name;
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name.size() - dot > kMaxExtension)
        dot = name.size();
    const std::string extension = name.substr(dot);
    size_t cut = kMaxName - extension.size();
    // Back to the start of a UTF-8 character, so the name stays valid text.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return name.substr(0, cut) + extension;
}
