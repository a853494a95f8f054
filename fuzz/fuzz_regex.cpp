// Compiles arbitrary patterns and runs them over arbitrary subjects, once with the start hints
// and once without: where both searches complete they must find the same matches. Input: one
// byte of modifiers and options, one byte of pattern length, the pattern, then the subject.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "regex/TRegExpr.h"

namespace {

// Every match of Exec and ExecNext as (position, length); false when the engine raised.
bool AllMatches(TRegExpr& re, const std::string& subject, std::vector<std::pair<int, int>>& found) {
    try {
        for (bool ok = re.Exec(subject); ok && found.size() < 200; ok = re.ExecNext()) {
            const std::string& input = re.InputString();
            for (int n = 0; n < TRegExpr::NSubExp; ++n) {
                const int pos = re.MatchPos(n);
                if (pos < 0) continue;
                const int len = re.MatchLen(n);
                if (pos < 1 || len < 0 || static_cast<size_t>(pos - 1 + len) > input.size())
                    abort();
                if (re.MatchText(n) != input.substr(pos - 1, len)) abort();
            }
            found.emplace_back(re.MatchPos(0), re.MatchLen(0));
        }
    } catch (const ERegExpr&) {
        return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t options = data[0];
    const size_t patternLength = std::min<size_t>(data[1], size - 2);
    const std::string pattern(reinterpret_cast<const char*>(data + 2), patternLength);
    const std::string subject(reinterpret_cast<const char*>(data + 2 + patternLength),
                              size - 2 - patternLength);

    TRegExpr re;
    // The step limit holds per start position, so it is kept small: exponential patterns over
    // a few hundred positions must not stall the run.
    re.MatchStepLimit = 10000;
    re.MatchStackLimit = 1 << 20;
    try {
        re.SetModifiers(options & 63);
        if (options & 64) re.SetLinePairedSeparator("");
        if (options & 128) re.LineSeparatorChars = "\n";
        re.SetExpression(pattern);
        re.Compile();
    } catch (const ERegExpr&) {
        return 0;
    }
    std::vector<std::pair<int, int>> hinted;
    std::vector<std::pair<int, int>> plain;
    const bool hintedDone = AllMatches(re, subject, hinted);
    re.UseHints = false;
    if (AllMatches(re, subject, plain) && hintedDone && hinted != plain) abort();
    return 0;
}
