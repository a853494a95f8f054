// Matcher behaviour: quantifiers, back-references, anchors, word boundaries, modifier scoping,
// the search interface, and bounded behaviour on hostile patterns and subjects.
#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <vector>

#include "regex/TRegExpr.h"

namespace {

// Groups of the first match as "g0|g1|...", up to the highest group set ("~" for an unset one);
// "-" when nothing matches, "E<number>" when the engine raises.
std::string Search(const std::string& pattern, const std::string& subject,
                   const std::string& modifiers = "") {
    TRegExpr re;
    try {
        if (!modifiers.empty()) re.SetModifierStr(modifiers);
        re.SetExpression(pattern);
        if (!re.Exec(subject)) return "-";
    } catch (const ERegExpr& e) {
        return "E" + std::to_string(e.ErrorNumber);
    }
    int last = 0;
    for (int n = 1; n < TRegExpr::NSubExp; ++n)
        if (re.MatchPos(n) > 0) last = n;
    std::string out = re.MatchText(0);
    for (int n = 1; n <= last; ++n) out += "|" + (re.MatchPos(n) > 0 ? re.MatchText(n) : "~");
    return out;
}

// 1-based positions of every match found by Exec and ExecNext.
std::vector<int> AllPositions(const std::string& pattern, const std::string& subject,
                              const std::string& modifiers = "") {
    TRegExpr re;
    if (!modifiers.empty()) re.SetModifierStr(modifiers);
    re.SetExpression(pattern);
    std::vector<int> positions;
    for (bool ok = re.Exec(subject); ok; ok = re.ExecNext()) positions.push_back(re.MatchPos(0));
    return positions;
}

std::string Repeat(const std::string& unit, int times) {
    std::string text;
    text.reserve(unit.size() * times);
    for (int i = 0; i < times; ++i) text += unit;
    return text;
}

struct Case {
    const char* pattern;
    std::string subject;
    const char* expected;
    const char* modifiers = "";
};

void RunTable(const std::vector<Case>& cases) {
    for (const auto& c : cases)
        EXPECT_EQ(Search(c.pattern, c.subject, c.modifiers), c.expected)
            << "pattern " << c.pattern << " subject " << c.subject;
}

TEST(RegExprMatch, QuantifiersOverSimpleOperands) {
    RunTable({
        {"a*", "aaab", "aaa"},         {"a*?", "aaab", ""},
        {"a+?", "aaab", "a"},          {"xa*b", "xaab", "xaab"},
        {"a*?b", "aab", "aab"},        {"a{2}", "aaaa", "aa"},
        {"a{2,}", "aaaaa", "aaaaa"},   {"a{2,3}", "aaaa", "aaa"},
        {"a{2,3}?", "aaaa", "aa"},     {"a{3}", "aab", "-"},
        {"a??b", "ab", "ab"},          {"a?a", "a", "a"},
        {"[ab]+c", "xabbac", "abbac"}, {"\\d+?0", "1200", "120"},
        {"\\D*x", "ab1x", "x"},        {".*b", "abab", "abab"},
        {".*?b", "abab", "ab"},        {"a+", "aaa", "a", "-g"},  // g off: every quantifier is lazy
        {"a{2,}", "aaaa", "aa", "-g"},
    });
}

TEST(RegExprMatch, QuantifiersOverComplexOperands) {
    RunTable({
        {"(ab)*", "ababx", "abab|ab"},
        {"(ab)*?x", "ababx", "ababx|ab"},
        {"(ab)+?", "abab", "ab|ab"},
        {"(ab)+", "ababa", "abab|ab"},
        {"(ab)??", "ab", ""},
        {"(ab)?c", "abc", "abc|ab"},
        {"(a|b){2,3}", "abab", "aba|a"},
        {"(a|b){2,3}?", "abab", "ab|b"},
        {"(a|b){2}c", "abac", "bac|a"},
        {"(a|ab){1,2}c", "abc", "abc|ab"},
        // Loop state must survive a failed alternative: iteration one is "ab", two is "a".
        {"(a|ab){1,2}c", "abac", "abac|a"},
        {"(ab|a)(c|bcd)(d*)", "abcd", "abcd|ab|c|d"},
        {"((a)|b)+", "ab", "ab|b|a"},
        {"(ab)+", "abab", "ab|ab", "-g"},
        {"(?-s)(.)+", "ab\ncd", "ab|b"},
        {"(?-s).+", "\r\nxy", "xy"},
        {"(?-s)a.b", "a\nb", "-"},
        {"((a){1,2}x){2}", "axaax", "axaax|aax|a"},
    });
}

TEST(RegExprMatch, BackReferences) {
    RunTable({
        {"(a+)b\\1", "aabaa", "aabaa|aa"},
        {"(a+)b\\1", "aaba", "aba|a"},
        {"(ab)\\1", "abAB", "-"},
        {"(ab)\\1", "abAB", "abAB|ab", "i"},
        {"\\1(a)", "aa", "-"},
        {"(a)|\\1b", "b", "-"},
        {"(ab)\\1*c", "abababc", "abababc|ab"},
        {"(ab)\\1*?c", "ababc", "ababc|ab"},
        // Backing off a repeated back-reference gives up whole copies, never half of one.
        {"(ab)\\1*b", "ababab", "-"},
        {"(ab)\\1{1,2}a", "abababa", "abababa|ab"},
        // An empty capture repeated: bounded, and the same as repeating nothing.
        {"(x*)\\1*y", "y", "y|"},
        {"(x*)\\1{5,}y", "y", "y|"},
        {"(x*)\\1+?y", "zy", "y|"},
        {"(x*)\\1{99999999}?y", "y", "y|"},
    });
}

TEST(RegExprMatch, EscapesClassesAndCodePage) {
    RunTable({
        {"\\x41\\x{42}\\x{}?c", "ABc", "ABc"},
        {"\\t\\n\\r\\f\\a\\e", "\t\n\r\f\a\x1b", "\t\n\r\f\a\x1b"},
        {"a\\.b", "axb a.b", "a.b"},
        {"\\(\\)\\{\\}\\;", "(){};", "(){};"},
        {"[\\d.]+", "a1.5b", "1.5"},
        {"\\s+", "a \t\r\nb", " \t\r\n"},
        {"\\w+", "--ab_9--", "ab_9"},
        {"\\W+", "ab--cd", "--"},
        {"\\S+", "  ab ", "ab"},
        {"[\\S]", "aS", "S"},
        {"\\d\\D", "a1b", "1b"},
        {"a{x}", "a{x}", "a{x}"},
        {"a{,3}", "a{,3}", "a{,3}"},
        {"x{", "x{", "x{"},
        {"[\xE0-\xFF]+", "a\xB8\xE0\xFFz", "\xB8\xE0\xFF"},
        {"[\xE0-\xFF]+", "\xB8\xE0", "\xE0", "-r"},
        {"[\xC0-\xDF]+", "\xA8\xC0", "\xA8\xC0"},
        {"\\x00", "a", "-"},  // NUL only ends the subject, it is never matched
    });
    TRegExpr re;
    re.SetExpression("b+");
    std::string page = std::string("abbc\0bb", 7);
    ASSERT_TRUE(re.Exec(std::move(page)));
    EXPECT_EQ(re.MatchText(0), "bb");
    EXPECT_EQ(re.InputString(), "abbc");
}

TEST(RegExprMatch, AnchorsAndLineSeparators) {
    RunTable({
        {"^a", "b\na", "-"},
        {"a$", "a\nb", "-"},
        {"a$", "ba", "a"},
        {"\\Ab", "a\nb", "-", "m"},
        {"a\\Z", "a\r\n", "-", "m"},
        {"^b", "a\r\nb", "b", "m"},
        {"^b", "a\rb", "b", "m"},
        {"^b", "a\nb", "b", "m"},
        {"a$", "a\r\nb", "a", "m"},
        {"\\r$", "a\r\nb", "-", "m"},  // no line end between CR and LF
        {"^\\n", "a\r\nb", "-", "m"},  // no line start between them either
    });
    EXPECT_EQ(AllPositions("$", "x\r\ny", "m"), (std::vector<int>{2, 5}));
    EXPECT_EQ(AllPositions("^", "x\r\ny", "m"), (std::vector<int>{1, 4}));
    EXPECT_EQ(AllPositions("^.", "a\nb\rc", "m"), (std::vector<int>{1, 3, 5}));

    // Only the pair separates lines: a lone CR is an ordinary character.
    TRegExpr re;
    re.SetModifierStr("m-s");
    re.LineSeparatorChars.clear();
    re.SetExpression("^b|a.b");
    ASSERT_TRUE(re.Exec("a\rb"));
    EXPECT_EQ(re.MatchText(0), "a\rb");
    re.SetExpression("^b");
    EXPECT_TRUE(re.Exec("a\r\nb"));
    EXPECT_EQ(re.MatchPos(0), 4);
}

// Start hints skip only hopeless positions: inline m, the separators in force when matching
// (not when compiling) and a line end at the paired head all count.
TEST(RegExprMatch, StartHintsFollowTheModifiersAndSeparatorsInForce) {
    const struct {
        const char* pattern;
        const char* subject;
        const char* separators;
        const char* modifiers;
        std::vector<int> positions;
    } cases[] = {
        {"(?m)$", "a\nb", "\r\n", "", {2, 4}}, {"$", "a\nb", "\r\n", "m", {2, 4}},
        {"(?m)$", "a\r\nb", "\n", "", {2, 5}},  // CR LF ends a line though CR is no separator
        {"(?m)$", "a;b\nc", ";", "", {2, 6}},  {"((?m)$)|b", "ab\n", "\r\n", "", {2, 3, 4}},
    };
    for (const auto& c : cases) {
        TRegExpr re;
        re.SetModifierStr(c.modifiers);
        re.SetExpression(c.pattern);
        re.Compile();  // with the default separators
        re.LineSeparatorChars = c.separators;
        std::vector<int> positions;
        for (bool ok = re.Exec(c.subject); ok; ok = re.ExecNext())
            positions.push_back(re.MatchPos(0));
        EXPECT_EQ(positions, c.positions) << c.pattern << " over " << c.subject;
    }
}

TEST(RegExprMatch, WordBoundaries) {
    const struct {
        const char* pattern;
        const char* subject;
        int position;  // 0 = no match
    } cases[] = {
        {"\\bab", "cab ab", 5}, {"\\Bab", "ab cab", 5}, {"ab\\b", "abc ab", 5}, {"\\b", "", 0},
        {"\\B", "", 1},         {"\\b", "  x", 3},      {"x\\b", "x", 1},       {"\\B.", "ab", 2},
    };
    for (const auto& c : cases) {
        TRegExpr re;
        re.SetExpression(c.pattern);
        EXPECT_EQ(re.Exec(c.subject) ? re.MatchPos(0) : 0, c.position) << c.pattern;
    }
    TRegExpr custom;
    custom.WordCharacters = "-";
    custom.SetExpression("\\b-");
    ASSERT_TRUE(custom.Exec("a-"));
    EXPECT_EQ(custom.MatchPos(0), 2);
}

TEST(RegExprMatch, ModifierScoping) {
    RunTable({
        {"(?i)abc", "ABC", "ABC"},
        {"(?i)abc", "aBc", "aBc"},
        {"((?i)a)b", "AB", "-"},
        {"((?i)a)b", "xAb", "Ab|A"},
        {"(?i)a|b", "B", "B"},
        {"(?i)a((?-i)b)c", "AbC", "AbC|b"},
        {"(?i)a((?-i)b)c", "ABC", "-"},
        {"(?i)[a-c]+", "xAbC", "AbC"},
        {"(?i)\xE4", "\xC4", "\xC4"},
        {"(?x) a b # comment\n c", "abc", "abc"},
        {"(?x)a b*", "abbb", "abbb"},
        {"(?x)a\\ b", "a b", "a b"},
        {"(?x)[ ]", " ", " "},
        {"(?x)a #*\n+", "aa", "E106"},
        {"(?#note)ab(?#)", "ab", "ab"},
        {"(?-g)(ab)+?", "abab", "ab|ab"},
    });
    TRegExpr re;
    re.FlipCase = [](char c) { return c == 'q' ? 'z' : c; };
    re.SetModifierStr("i");
    re.SetExpression("q");
    ASSERT_TRUE(re.Exec("xz"));
    EXPECT_EQ(re.MatchPos(0), 2);
}

TEST(RegExprMatch, SearchInterface) {
    // Empty matches advance by one; non-empty ones continue at their end.
    TRegExpr re;
    re.SetExpression("a*");
    std::vector<std::pair<int, int>> seen;
    for (bool ok = re.Exec("baaac"); ok; ok = re.ExecNext())
        seen.emplace_back(re.MatchPos(0), re.MatchLen(0));
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, 0}, {2, 3}, {5, 0}, {6, 0}}));
    EXPECT_EQ(re.MatchText(0), "");  // groups are empty after a false result

    re.SetExpression("$");
    ASSERT_TRUE(re.Exec(""));
    EXPECT_EQ(re.MatchPos(0), 1);
    EXPECT_EQ(re.MatchLen(0), 0);
    EXPECT_FALSE(re.ExecPos(2));
    EXPECT_EQ(re.MatchText(15), "");
    EXPECT_EQ(re.MatchText(-1), "");
    EXPECT_EQ(re.MatchText(1), "");

    re.SetExpression("b");
    EXPECT_TRUE(re.Exec(std::string("ab\0b", 4)));  // the subject ends at its first NUL
    EXPECT_EQ(re.InputString(), "ab");
    EXPECT_FALSE(re.ExecNext());
    re.SetExpression(std::string("a\0b", 3));
    EXPECT_EQ(re.Expression(), "a");

    const struct {
        int number;
        std::function<void(TRegExpr&)> call;
    } errors[] = {
        {1005, [](TRegExpr& r) { r.ExecPos(1); }},
        {1007, [](TRegExpr& r) { r.ExecNext(); }},
        {1006, [](TRegExpr& r) { r.SetInputString("x"), r.ExecPos(0); }},
        {1007, [](TRegExpr& r) { r.Exec("zzz"), r.ExecNext(); }},
    };
    for (const auto& e : errors) {
        TRegExpr fresh;
        fresh.SetExpression("x");
        try {
            e.call(fresh);
            ADD_FAILURE() << e.number;
        } catch (const ERegExpr& error) {
            EXPECT_EQ(error.ErrorNumber, e.number);
            EXPECT_EQ(error.ErrorPosition, 0);
        }
    }
}

TEST(RegExprMatch, HostileInputEndsCleanly) {
    // Repeated complex operands over a few MiB match; the backtracking stack lives on the heap,
    // so a thread with a small stack goes as deep as any other.
    struct Job {
        const char* pattern;
        std::string subject;
        int expected;     // length of the match
        int length = -1;  // found: of the match, or the error number negated
    } jobs[] = {
        {"(ab)+", Repeat("ab", 1 << 20), 2 << 20},
        {"((?-s).+)", Repeat("xy", 1 << 20) + "\n", 2 << 20},
        {"(a|b)*!", Repeat("ab", 100000) + "!", 200001},
    };
    auto body = [](void* arg) -> void* {
        auto* j = static_cast<Job*>(arg);
        TRegExpr local;
        local.SetExpression(j->pattern);
        try {
            j->length = local.Exec(j->subject) ? local.MatchLen(0) : 0;
        } catch (const ERegExpr& e) {
            j->length = -e.ErrorNumber;
        }
        return nullptr;
    };
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    for (Job& job : jobs) {
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, &attr, body, &job), 0);
        pthread_join(thread, nullptr);
        EXPECT_EQ(job.length,
                  static_cast<int>(job.subject.size()) - (job.pattern[1] == '(' ? 1 : 0))
            << job.pattern;
    }
    pthread_attr_destroy(&attr);

    // Beyond its memory budget the stack ends the search with its own error; the engine stays
    // usable afterwards.
    TRegExpr re;
    re.SetExpression("(a|b)*!");
    re.MatchStackLimit = 1 << 20;
    try {
        re.Exec(jobs[2].subject);
        ADD_FAILURE() << "expected the stack budget";
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorNumber, TRegExpr::ErrStackBudget);
        EXPECT_STREQ(e.what(), "TRegExpr(exec): Backtracking Stack Over Its Memory Budget");
    }
    EXPECT_EQ(re.MatchText(0), "");
    EXPECT_TRUE(re.Exec("abba!"));
    EXPECT_EQ(re.MatchText(0), "abba!");

    // The step budget is per start position: a long search of cheap attempts completes.
    re.SetExpression("(a|b)c");
    re.MatchStepLimit = 50;
    std::string pairs;
    for (int i = 0; i < 100000; ++i) pairs += "ab";
    ASSERT_TRUE(re.Exec(pairs + "c"));
    EXPECT_EQ(re.MatchPos(0), 200000);

    // Exponential backtracking runs into the step budget.
    re.SetExpression("(a|aa)*c");
    re.MatchStepLimit = 100000;
    EXPECT_THROW(re.Exec(std::string(60, 'a') + "bc"), ERegExpr);
    EXPECT_EQ(re.LastError(), TRegExpr::ErrStepLimit);

    // Long alternations and long runs of optional pieces compile and match.
    std::string alternation;
    for (int i = 0; i < 20000; ++i) alternation += "ab|";
    EXPECT_EQ(Search(alternation + "zz", "xxzz"), "zz");
    std::string optional;
    for (int i = 0; i < 5000; ++i) optional += "a?";
    EXPECT_EQ(Search(optional + "b", "xaaab"), "aaab");

    // Eleven nested counted loops exceed the loop stack at match time.
    std::string nested = "a";
    for (int i = 0; i < 11; ++i) nested = "(" + nested + "){1,2}";
    EXPECT_EQ(Search(nested, "a"), "E1014");
    nested = "a";
    for (int i = 0; i < 10; ++i) nested = "(" + nested + "){1,2}";
    EXPECT_EQ(Search(nested, "a").substr(0, 1), "a");
}

}  // namespace
