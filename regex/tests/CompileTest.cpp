// Compiler behaviour: error numbers and positions, program layout, sets, start hints, modifiers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "regex/RegExprNodes.h"
#include "regex/TRegExpr.h"

namespace {

// Compiles and returns the error number (0 when the pattern compiles) and its position.
std::pair<int, int> CompileError(const std::string& pattern) {
    TRegExpr re;
    re.SetExpression(pattern);
    try {
        re.Compile();
    } catch (const ERegExpr& e) {
        EXPECT_FALSE(re.Program().size()) << pattern;
        return {e.ErrorNumber, e.ErrorPosition};
    }
    return {0, 0};
}

// Kinds of the nodes along the top-level chain and into every operand, in program order.
std::vector<int> NodeKinds(std::string_view program) {
    std::vector<int> kinds;
    const auto* p = reinterpret_cast<const uint8_t*>(program.data());
    size_t at = 1;
    while (at < program.size()) {
        const uint8_t kind = p[at];
        kinds.push_back(kind);
        size_t size = regprog::kHeadSize;
        switch (static_cast<RegNode>(kind)) {
            case RegNode::Literal:
            case RegNode::LiteralNoCase:
                while (p[at + size]) ++size;
                ++size;
                break;
            case RegNode::SmallSet:
            case RegNode::SmallSetNot:
                size += 3;
                break;
            case RegNode::FullSet:
                size += 32;
                break;
            case RegNode::BackRef:
            case RegNode::BackRefNoCase:
                size += 1;
                break;
            case RegNode::Braces:
            case RegNode::BracesLazy:
                size += 8;
                break;
            case RegNode::Loop:
            case RegNode::LoopLazy:
                size += 12;
                break;
            default:
                break;
        }
        at += size;
    }
    EXPECT_EQ(at, program.size());
    return kinds;
}

TEST(RegExprCompile, ErrorsCarryNumberAndPosition) {
    const struct {
        const char* pattern;
        int number;
        int position;
    } cases[] = {
        {"a{2,1}", 124, 5},
        {"(a*)*", 106, 4},
        {"(a*)+", 106, 4},
        {"(a*){2}", 106, 4},
        {"a**", 107, 2},
        {"a*?+", 107, 3},
        {"a{2}{3}", 107, 4},
        {"*a", 115, 1},
        {"a|?", 115, 3},
        {"[z-a]", 109, 4},
        {"\\x4", 111, 3},
        {"\\x", 111, 2},
        {"\\xg1", 108, 2},
        {"\\x{123}", 112, 5},
        {"\\x{12", 111, 5},
        {"(?:a)", 127, 4},
        {"(?i", 127, 3},
        {"(?#open", 125, 7},
        {"(a", 103, 2},
        {"a)", 104, 1},
        {"[abc", 113, 4},
        {"[a\\", 110, 3},
        {"ab\\", 116, 3},
        {"a{123456789}", 122, 11},
        {"a{1,123456789}", 122, 13},
        {"()()()()()()()()()()()()()()()", 102, 29},
        {"", 100, 0},
        {"(a{0,3})*", 106, 8},  // a repetition with minimum 0 has no width
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CompileError(c.pattern), std::make_pair(c.number, c.position)) << c.pattern;
    }
    for (const char* fine : {"a{x}", "a{,3}", "{", "a{", "a{1,x}", "]", "}", "(a)?", "(\\b)??",
                             "()()()()()()()()()()()()()()", "[a-\\d]", "(?i)a(?-i)b"}) {
        EXPECT_EQ(CompileError(fine).first, 0) << fine;
    }
}

TEST(RegExprCompile, ErrorMessageAndEngineState) {
    TRegExpr re;
    re.SetExpression("a{2,1}");
    try {
        re.Exec("aa");
        FAIL();
    } catch (const ERegExpr& e) {
        EXPECT_STREQ(e.what(), "TRegExpr(comp): BRACE Min Param Greater then Max (pos 5)");
    }
    EXPECT_EQ(re.LastError(), 124);
    EXPECT_EQ(re.Expression(), "a{2,1}");  // the pattern stays, the program does not
    EXPECT_TRUE(re.Program().empty());
    try {
        TRegExpr none;
        none.Exec("x");
        FAIL();
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorNumber, 1003);
        EXPECT_STREQ(e.what(), "TRegExpr(exec): Not Assigned Expression Property");
    }
    EXPECT_EQ(TRegExpr::ErrorText(1013), "Unknown error");
    EXPECT_EQ(TRegExpr::ErrorText(0), "No errors");
}

TEST(RegExprCompile, ProgramLayoutAndExactSize) {
    using N = RegNode;
    const struct {
        const char* pattern;
        std::vector<N> kinds;
    } cases[] = {
        {"ab", {N::Branch, N::Literal, N::End}},
        {"a*", {N::Branch, N::Star, N::Literal, N::End}},
        {"a??", {N::Branch, N::BracesLazy, N::Literal, N::End}},
        {"a?", {N::Branch, N::Branch, N::Literal, N::Branch, N::Nothing, N::End}},
        {"a{2,5}", {N::Branch, N::Braces, N::Literal, N::End}},
        {"(?-s).*",
         {N::Branch, N::Comment, N::Branch, N::AnyButSeparator, N::Back, N::Branch, N::Nothing,
          N::End}},
        {"(a)*",
         {N::Branch, N::Branch, static_cast<N>(40), N::Branch, N::Literal, static_cast<N>(55),
          N::Back, N::Branch, N::Nothing, N::End}},
        {"(a)+?",
         {N::Branch, N::LoopEntry, static_cast<N>(40), N::Branch, N::Literal, static_cast<N>(55),
          N::LoopLazy, N::End}},
        {"(a){2,3}",
         {N::Branch, N::LoopEntry, static_cast<N>(40), N::Branch, N::Literal, static_cast<N>(55),
          N::Loop, N::End}},
        {"a|b", {N::Branch, N::Literal, N::Branch, N::Literal, N::End}},
        {"^$\\A\\Z\\b\\B\\d\\D\\1",
         {N::Branch, N::InputStart, N::InputEnd, N::InputStart, N::InputEnd, N::WordBoundary,
          N::NotWordBoundary, N::Digit, N::NonDigit, N::BackRef, N::End}},
        {"(?m)^$", {N::Branch, N::Comment, N::LineStart, N::LineEnd, N::End}},
        {"(?i)a\\1", {N::Branch, N::Comment, N::LiteralNoCase, N::BackRefNoCase, N::End}},
    };
    for (const auto& c : cases) {
        TRegExpr re;
        re.SetExpression(c.pattern);
        re.Compile();
        const std::string_view program = re.Program();
        ASSERT_FALSE(program.empty()) << c.pattern;
        EXPECT_EQ(static_cast<uint8_t>(program[0]), 216) << c.pattern;
        std::vector<int> expected;
        for (N kind : c.kinds) expected.push_back(static_cast<int>(kind));
        EXPECT_EQ(NodeKinds(program), expected) << c.pattern;
    }
}

TEST(RegExprCompile, SetsBecomeSmallOrFullSets) {
    const struct {
        const char* pattern;
        RegNode kind;
        std::string members;  // for small sets: the three operand bytes; else every member
    } cases[] = {
        {"[cab]", RegNode::SmallSet, "abc"},
        {"[^<]", RegNode::SmallSetNot, "<<<"},
        {"[]a]", RegNode::SmallSet, "]aa"},
        {"[a-]", RegNode::SmallSet, "-aa"},
        {"[\\D]", RegNode::SmallSet, "DDD"},
        {"[\\x41\\t]", RegNode::SmallSet, "\tAA"},
        {"(?i)[a]", RegNode::SmallSet, "Aaa"},
        {"[0-9,a-f]", RegNode::FullSet, ",0123456789abcdef"},
        {"[a-\\d]", RegNode::FullSet, "-0123456789a"},
        {"[a-c-e]", RegNode::FullSet, "-abce"},
        {"\\s", RegNode::FullSet, "\t\n\f\r "},
        {"[\\w]", RegNode::FullSet,
         "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz"},
    };
    for (const auto& c : cases) {
        TRegExpr re;
        re.SetExpression(c.pattern);
        re.Compile();
        const auto* node = reinterpret_cast<const uint8_t*>(re.Program().data()) + 1 + 5;
        while (node[0] == static_cast<uint8_t>(RegNode::Comment)) node += 5;
        ASSERT_EQ(node[0], static_cast<uint8_t>(c.kind)) << c.pattern;
        std::string members;
        if (c.kind == RegNode::FullSet) {
            for (int m = 0; m < 256; ++m)
                if (regprog::SetHas(node + 5, static_cast<uint8_t>(m)))
                    members += static_cast<char>(m);
        } else {
            members.assign(reinterpret_cast<const char*>(node + 5), 3);
        }
        EXPECT_EQ(members, c.members) << c.pattern;
    }
    // Both Cyrillic halves at once under r; an inverted range otherwise.
    EXPECT_EQ(CompileError("[\xE0-\xDF]").first, 0);
    EXPECT_EQ(CompileError("(?-r)[\xE0-\xDF]").first, 109);
}

TEST(RegExprCompile, StartHints) {
    const struct {
        const char* pattern;
        char startChar;
        bool anchored;
        const char* must;
        const char* inSet;
        const char* notInSet;
    } cases[] = {
        {"Set-Cookie: .*?\\;", 'S', false, "", "S", "s"},
        {"<title>([^<]+)", '<', false, "", "<", "t"},
        {"^abc", 0, true, "", "a", "b"},
        {".*abc.*de", 0, false, "abc", "\x01z", ""},
        {"a*bcd", 0, false, "bcd", "ab", "c"},
        {"x|y", 0, false, "", "xy", "z"},
        {"(ab|cd)?e", 0, false, "", "ace", "bd"},
        {"\\d+x", 0, false, "x", "09", "ax"},
        {"(\\b)??a", 0, false, "", "a", ""},
        {"$", 0, false, "", "", "\r$"},
    };
    for (const auto& c : cases) {
        TRegExpr re;
        re.SetExpression(c.pattern);
        re.Compile();
        EXPECT_EQ(re.StartChar(), static_cast<unsigned char>(c.startChar)) << c.pattern;
        EXPECT_EQ(re.Anchored(), c.anchored) << c.pattern;
        EXPECT_EQ(re.MustString(), c.must) << c.pattern;
        for (const char* p = c.inSet; *p; ++p)
            EXPECT_TRUE(re.InStartCharSet(static_cast<unsigned char>(*p))) << c.pattern << *p;
        for (const char* p = c.notInSet; *p; ++p)
            EXPECT_FALSE(re.InStartCharSet(static_cast<unsigned char>(*p))) << c.pattern << *p;
    }
    TRegExpr end;
    end.SetExpression("$");
    end.Compile();
    EXPECT_TRUE(end.InStartCharSet(0));  // the attempt at the terminating NUL
}

TEST(RegExprCompile, RequiredLiteralAndItsLeastOffset) {
    const struct {
        const char* pattern;
        const char* literal;
        int offset;
    } cases[] = {
        {"'PLAYER_CONFIG': \\{.*?\\}", "}", 18},
        {"so_player_[0-9,a-f]*.addVariable\\(\"video\",.*?\\)", ")", 31},
        {"<title>([^<]+)", "<title>", 0},
        {"a.*b", "b", 1},
        {"(a|b)c", "c", 0},  // a choice counts as no width
        {"x(ab)+y", "y", 3},
        {"a(b|cd)?e", "e", 1},
        {"ab?c", "c", 1},
        {"a{3}b\\d", "b", 3},
        {"(ab)\\1*c", "c", 2},
        {"a((?i)b)", "a", 0},
        {"a|b", "", 0},
        {"(?i)abc", "", 0},
        {"(a|b)*", "", 0},
    };
    for (const auto& c : cases) {
        TRegExpr re;
        re.SetExpression(c.pattern);
        re.Compile();
        EXPECT_EQ(re.RequiredLiteral(), c.literal) << c.pattern;
        EXPECT_EQ(re.RequiredOffset(), c.offset) << c.pattern;
    }
}

TEST(RegExprCompile, ModifierInterface) {
    TRegExpr re;
    EXPECT_EQ(re.ModifierStr(), "rsg-imx");
    const bool defaults[] = {false, true, true, true, false, false};
    for (int i = 1; i <= 6; ++i) EXPECT_EQ(re.ModifierFlag(i), defaults[i - 1]) << i;
    re.SetModifierFlag(1, true);
    re.SetModifierFlag(3, false);
    EXPECT_EQ(re.Modifiers(), TRegExpr::ModI | TRegExpr::ModR | TRegExpr::ModG);
    for (int bad : {0, 7, -1}) {
        try {
            re.SetModifierFlag(bad, true);
            FAIL() << bad;
        } catch (const ERegExpr& e) {
            EXPECT_EQ(e.ErrorNumber, 1013);
            EXPECT_STREQ(e.what(), "Unknown error");
        }
    }
    const struct {
        const char* text;
        int start;
        bool valid;
        int result;
    } parses[] = {
        {"iM", 0, true, TRegExpr::ModI | TRegExpr::ModM},
        {"-is", 63, true, 63 & ~(TRegExpr::ModI | TRegExpr::ModS)},
        {"x-i-g", TRegExpr::ModI | TRegExpr::ModG, true, TRegExpr::ModX},
        {"i-x", TRegExpr::ModX, true, TRegExpr::ModI},
        {"", 5, true, 5},
        {"iq", 0, false, TRegExpr::ModI},  // letters before the bad one stay applied
    };
    for (const auto& p : parses) {
        int mods = p.start;
        EXPECT_EQ(TRegExpr::ParseModifierString(p.text, mods), p.valid) << p.text;
        EXPECT_EQ(mods, p.result) << p.text;
    }
}

TEST(RegExprCompile, RecompilesWhenSettingsChange) {
    TRegExpr re;
    re.SetExpression("a.b");
    EXPECT_TRUE(re.Exec("a\nb"));
    re.SetModifierFlag(3, false);  // s off: "." stops at line separators
    EXPECT_FALSE(re.Exec("a\nb"));
    EXPECT_TRUE(re.Exec("a-b"));

    re.SetExpression("^b");
    re.SetModifierStr("m");
    EXPECT_TRUE(re.Exec("a\r\nb"));
    EXPECT_EQ(re.LinePairedSeparator(), "\r\n");
    re.SetLinePairedSeparator("");
    re.LineSeparatorChars.clear();  // nothing separates lines: "^" is the subject start again
    EXPECT_TRUE(re.Exec("b"));
    re.SetExpression("x^b");
    EXPECT_FALSE(re.Exec("xb"));
    for (const char* bad : {"\r\r", "a", "abc"}) {
        try {
            re.SetLinePairedSeparator(bad);
            FAIL() << bad;
        } catch (const ERegExpr& e) {
            EXPECT_EQ(e.ErrorNumber, 128);
        }
    }
}

}  // namespace
