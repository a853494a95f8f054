// Compiles arbitrary patterns and runs them over arbitrary subjects. Input: one byte of
// modifiers and options, one byte of pattern length, the pattern, then the subject.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "regex/TRegExpr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t options = data[0];
    const size_t patternLength = std::min<size_t>(data[1], size - 2);
    const std::string pattern(reinterpret_cast<const char*>(data + 2), patternLength);
    const std::string subject(reinterpret_cast<const char*>(data + 2 + patternLength),
                              size - 2 - patternLength);

    TRegExpr re;
    re.MatchStepLimit = 200000;  // keeps exponential patterns from stalling the run
    try {
        re.SetModifiers(options & 63);
        if (options & 64) re.SetLinePairedSeparator("");
        if (options & 128) re.LineSeparatorChars = "\n";
        re.SetExpression(pattern);
        int matches = 0;
        for (bool ok = re.Exec(subject); ok && matches < 200; ok = re.ExecNext(), ++matches) {
            const std::string& input = re.InputString();
            for (int n = 0; n < TRegExpr::NSubExp; ++n) {
                const int pos = re.MatchPos(n);
                if (pos < 0) continue;
                const int len = re.MatchLen(n);
                if (pos < 1 || len < 0 || static_cast<size_t>(pos - 1 + len) > input.size())
                    abort();
                if (re.MatchText(n) != input.substr(pos - 1, len)) abort();
            }
        }
    } catch (const ERegExpr&) {
    }
    return 0;
}
