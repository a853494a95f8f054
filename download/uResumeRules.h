// When a download may go on from the bytes it already has, and when it is tried again: the
// validators of the first answer, the judgement of an answer to a range request, the statuses
// worth another attempt and the waits between attempts. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// What identifies the version of a resource the kept bytes belong to.
struct TValidators {
    int64_t Total = -1;          // the whole resource's size; -1: not announced
    std::string ETag;            // a strong entity tag, quotes included; weak ones are not kept
    std::string LastModified;    // the Last-Modified field as sent
    bool RangesRefused = false;  // "Accept-Ranges: none"

    // Only a known size and a validator prove that a later part belongs to the same bytes.
    bool CanResume() const {
        return Total > 0 && !RangesRefused && (!ETag.empty() || !LastModified.empty());
    }
    // The If-Range value: the entity tag when there is one, since a date is only to the second.
    const std::string& IfRange() const { return ETag.empty() ? LastModified : ETag; }

    bool operator==(const TValidators&) const = default;
};

// The value of the named field in a received header (status line first), blanks trimmed;
// none when it is absent.
std::optional<std::string> HeaderField(const std::vector<std::string>& header,
                                       const std::string& name);

// The validators a 200 or 206 answer carries; total is the whole resource's size it announced.
TValidators ValidatorsOf(const std::vector<std::string>& header, int64_t total);

// What to do with the body of an answer, given the bytes kept and the validators they came with.
enum class TBodyPlan {
    Append,     // a 206 for exactly the rest of the same version: written after the kept bytes
    StartOver,  // the whole resource (a 200): the file is written again from its first byte
    Refuse,     // a part that is not provably the rest: not written, the next attempt starts over
};
// status: the final answer's (200 or 206); rangeFirst and rangeTotal: its Content-Range start
// and total (-1 when absent).
TBodyPlan PlanBody(int status, uint64_t kept, const TValidators& keptVersion, int64_t rangeFirst,
                   int64_t rangeTotal);

// An answer to a request for the part from first on is exactly that part of the kept version:
// a 206 starting there, with the same total and no validator other than the kept one.
bool IsPartOf(int status, uint64_t first, const TValidators& keptVersion, int64_t rangeFirst,
              int64_t rangeTotal, const TValidators& answer);

// Answers that say "later" rather than "no": timeouts, too many requests, a server or gateway
// that is down for a moment.
bool RetryWorthyStatus(int status);

// Seconds to wait from a Retry-After value (delta-seconds or an HTTP date, compared with now);
// none when the value is unreadable. A date in the past is 0.
std::optional<int64_t> RetryAfterSeconds(const std::string& value, std::time_t now);

// The wait before retry number retry (1 for the first): firstWaitMs, doubling each time.
int64_t RetryWaitMs(int retry, int64_t firstWaitMs);
