// Resume and retry rules; see uResumeRules.h.
#include "download/uResumeRules.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "platform/AsciiText.h"

std::optional<std::string> HeaderField(const std::vector<std::string>& header,
                                       const std::string& name) {
    for (std::size_t i = 1; i < header.size(); ++i) {
        const std::string& line = header[i];
        if (line.size() > name.size() && line[name.size()] == ':' && StartsWithNoCase(line, name))
            return TrimBlanks(std::string_view(line).substr(name.size() + 1));
    }
    return std::nullopt;
}

TValidators ValidatorsOf(const std::vector<std::string>& header, int64_t total) {
    TValidators v;
    v.Total = total > 0 ? total : -1;
    const std::optional<std::string> etag = HeaderField(header, "ETag");
    // A weak tag names equal meaning, not equal bytes: no ground for joining parts.
    if (etag && etag->size() >= 2 && etag->front() == '"') v.ETag = *etag;
    v.LastModified = HeaderField(header, "Last-Modified").value_or("");
    const std::optional<std::string> ranges = HeaderField(header, "Accept-Ranges");
    v.RangesRefused = ranges && EqualsNoCase(*ranges, "none");
    return v;
}

TBodyPlan PlanBody(int status, uint64_t kept, const TValidators& keptVersion, int64_t rangeFirst,
                   int64_t rangeTotal) {
    if (status == 200) return TBodyPlan::StartOver;
    if (status != 206) return TBodyPlan::Refuse;
    if (kept == 0) return rangeFirst == 0 ? TBodyPlan::StartOver : TBodyPlan::Refuse;
    const bool sameVersion = keptVersion.CanResume() && rangeTotal == keptVersion.Total;
    return sameVersion && rangeFirst >= 0 && static_cast<uint64_t>(rangeFirst) == kept
               ? TBodyPlan::Append
               : TBodyPlan::Refuse;
}

bool IsPartOf(int status, uint64_t first, const TValidators& keptVersion, int64_t rangeFirst,
              int64_t rangeTotal, const TValidators& answer) {
    // A server that honours If-Range may leave the validators out of a 206; one it sends must
    // be the kept one, or the bytes belong to another version.
    const bool sameTag = answer.ETag.empty() || answer.ETag == keptVersion.ETag;
    const bool sameDate = answer.LastModified.empty() || keptVersion.LastModified.empty() ||
                          answer.LastModified == keptVersion.LastModified;
    return status == 206 && keptVersion.CanResume() && rangeTotal == keptVersion.Total &&
           rangeFirst >= 0 && static_cast<uint64_t>(rangeFirst) == first && sameTag && sameDate;
}

bool RetryWorthyStatus(int status) {
    switch (status) {
        case 408:
        case 429:
        case 500:
        case 502:
        case 503:
        case 504:
            return true;
        default:
            return false;
    }
}

namespace {

// "Sun, 06 Nov 1994 08:49:37 GMT"; the C library's parser follows the locale's month names.
std::optional<std::time_t> ParseImfDate(const std::string& text) {
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char weekday[4] = {}, month[4] = {}, zone[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0, used = 0;
    if (std::sscanf(text.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d %3[A-Z]%n", weekday,
                    &day, month, &year, &hour, &minute, &second, zone, &used) != 8 ||
        static_cast<std::size_t>(used) != text.size() || std::strcmp(zone, "GMT") != 0)
        return std::nullopt;
    const auto found = std::find_if(kMonths.begin(), kMonths.end(),
                                    [&](const char* m) { return std::strcmp(m, month) == 0; });
    if (found == kMonths.end() || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = static_cast<int>(found - kMonths.begin());
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

}  // namespace

std::optional<int64_t> RetryAfterSeconds(const std::string& value, std::time_t now) {
    if (!value.empty() &&
        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        // Beyond any wait worth honouring anyway; the cap keeps the number in range.
        return value.size() > 9 ? int64_t{999999999} : std::stoll(value);
    }
    const std::optional<std::time_t> when = ParseImfDate(value);
    if (!when) return std::nullopt;
    return std::max<int64_t>(0, static_cast<int64_t>(*when - now));
}

int64_t RetryWaitMs(int retry, int64_t firstWaitMs) {
    return firstWaitMs << std::clamp(retry - 1, 0, 20);
}
