// Cross-checks the matcher against PCRE2 on random patterns from the dialect both engines read
// the same way (literals, ".", sets, anchors with inline and global m, word boundaries, groups,
// alternation, a trailing back-reference, every quantifier form) over short subjects: match
// position, length and every group must agree, and so must a search with every hint off.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <gtest/gtest.h>
#include <pcre2.h>

#include <random>
#include <string>

#include "regex/TRegExpr.h"

namespace {

class PatternMaker {
public:
    explicit PatternMaker(uint32_t seed) : rng_(seed) {}

    std::string Expression(int depth) {
        std::string out = Branch(depth);
        while (Roll(4) == 0) out += "|" + Branch(depth);
        return out;
    }
    // A top-level pattern, sometimes ending in a back-reference to the first group.
    std::string Pattern() {
        std::string out = Expression(2);
        const size_t open = out.find('(');
        if (open != std::string::npos && out.find("(?") != open && Roll(3) == 0)
            out += Piece0("\\1");
        return out;
    }

private:
    std::string Branch(int depth) {
        std::string out;
        for (int n = 1 + Roll(2); n > 0; --n) out += Piece(depth);
        return out;
    }
    std::string Piece(int depth) { return Piece0(Atom(depth)); }
    std::string Piece0(const std::string& atom) {
        static const char* const quantifiers[] = {"*", "+", "?", "{2}", "{1,2}", "{0,2}", "{2,}"};
        // PCRE2 refuses some quantified assertions; leave them unquantified.
        const bool assertion = atom == "^" || atom == "$" || atom == "\\b" || atom == "\\B" ||
                               atom == "(?m)" || atom == "(?-m)";
        if (Roll(2) == 0 || assertion) return atom;
        std::string q = quantifiers[Roll(7)];
        if (Roll(3) == 0) q += "?";
        return atom + q;
    }
    std::string Atom(int depth) {
        static const char* const atoms[] = {"a",  "b",   "c",   ".", "[ab]", "[^a]", "\\d",
                                            "ab", "\\b", "\\B", "^", "$",    "(?m)", "(?-m)"};
        if (depth > 0 && Roll(4) == 0) return "(" + Expression(depth - 1) + ")";
        const int pick = Roll(18);
        return atoms[pick < 14 ? pick : pick % 8];
    }
    int Roll(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    std::mt19937 rng_;
};

// "pos,len;g1pos,g1len;..." with -1 for unset groups, or "-" without a match.
std::string Pcre2Result(pcre2_code* code, const std::string& subject, int groups) {
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(),
                               0, 0, data, nullptr);
    std::string out = "-";
    if (rc > 0) {
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data);
        out.clear();
        for (int n = 0; n <= groups; ++n) {
            const bool set = n < rc && ov[2 * n] != PCRE2_UNSET;
            out += set ? std::to_string(ov[2 * n] + 1) + "," +
                             std::to_string(ov[2 * n + 1] - ov[2 * n])
                       : "-1,-1";
            out += ";";
        }
    }
    pcre2_match_data_free(data);
    return out;
}

std::string OurResult(TRegExpr& re, const std::string& subject, int groups) {
    if (!re.Exec(subject)) return "-";
    std::string out;
    for (int n = 0; n <= groups; ++n)
        out += std::to_string(re.MatchPos(n)) + "," + std::to_string(re.MatchLen(n)) + ";";
    return out;
}

// Every match of a search continued with ExecNext, as "pos,len;...".
std::string AllOurs(TRegExpr& re, const std::string& subject) {
    std::string out;
    for (bool ok = re.Exec(subject); ok; ok = re.ExecNext())
        out += std::to_string(re.MatchPos(0)) + "," + std::to_string(re.MatchLen(0)) + ";";
    return out;
}

TEST(RegExprDifferential, AgreesWithPcre2OnSharedDialect) {
    PatternMaker maker(20261208);
    std::mt19937 rng(7);
    int compared = 0;
    int matched = 0;
    for (int i = 0; i < 4000; ++i) {
        const std::string pattern = maker.Pattern();
        const bool multiLine = i % 4 == 0;
        TRegExpr re;
        re.SetModifierFlag(5, multiLine);
        re.SetExpression(pattern);
        try {
            re.Compile();
        } catch (const ERegExpr&) {
            continue;  // empty-width operands under repetition are refused by design
        }
        int error = 0;
        PCRE2_SIZE offset = 0;
        pcre2_code* code =
            pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), PCRE2_ZERO_TERMINATED,
                          PCRE2_DOTALL | PCRE2_DOLLAR_ENDONLY | PCRE2_ALT_CIRCUMFLEX |
                              (multiLine ? PCRE2_MULTILINE : 0),
                          &error, &offset, nullptr);
        ASSERT_NE(code, nullptr) << pattern << " error " << error;
        uint32_t groups = 0;
        pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &groups);
        for (int s = 0; s < 6; ++s) {
            std::string subject;
            for (int n = std::uniform_int_distribution<int>(0, 12)(rng); n > 0; --n)
                subject += "aabbc1\n"[std::uniform_int_distribution<int>(0, 6)(rng)];
            const std::string ours = OurResult(re, subject, static_cast<int>(groups));
            EXPECT_EQ(ours, Pcre2Result(code, subject, static_cast<int>(groups)))
                << "pattern " << pattern << " subject " << subject;
            const std::string all = AllOurs(re, subject);
            re.UseHints = false;
            EXPECT_EQ(OurResult(re, subject, static_cast<int>(groups)), ours)
                << "without hints: pattern " << pattern << " subject " << subject;
            EXPECT_EQ(AllOurs(re, subject), all)
                << "without hints: pattern " << pattern << " subject " << subject;
            re.UseHints = true;
            ++compared;
            if (ours != "-") ++matched;
        }
        pcre2_code_free(code);
    }
    EXPECT_GT(compared, 10000);
    EXPECT_GT(matched, compared / 3);
}

}  // namespace
