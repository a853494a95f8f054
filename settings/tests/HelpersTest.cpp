#include <gtest/gtest.h>

#include <utility>

#include "settings/uHelpers.h"

namespace {

TEST(SplitUrl, SchemeHostAndPath) {
    const struct {
        std::string url;
        int32_t scheme;
        std::string host;
        std::string path;
    } rows[] = {
        {"http://www.YouTube.com/watch?v=abc&feature=x", 3, "www.YouTube.com",
         "/watch?v=abc&feature=x"},
        {"https://www.youtube.com/watch?v=abc", 4, "www.youtube.com", "/watch?v=abc"},
        {"HTTP://host.example/x", 3, "host.example", "/x"},
        {"ftp://files.example/pub/a.flv", 1, "files.example", "/pub/a.flv"},
        {"http://www.youtube.com:8080/watch?v=abc", 3, "www.youtube.com", "/watch?v=abc"},
        {"http://user:pa:ss@host.example:81/p", 3, "host.example", "/p"},
        {"http://host.example", 3, "host.example", ""},
        {"http://host.example/", 3, "host.example", "/"},
        {"http://host.example/a b \r\n", 3, "host.example", "/a b"},
        {"gopher://host/x", 2, "host", "/x"},
        {"foo+bar://host/x", -1, "host", "/x"},
        {"youtube", 0, "", ""},
        {"www.youtube.com/watch?v=abc", 0, "", ""},
        {"", 0, "", ""},
        {"://host/x", 0, "", ""},
        {"http:///x", 0, "", ""},
        {"ht tp://host/x", 0, "", ""},
        {"  http://host/x", 0, "", ""},
        {"http://:80/x", 0, "", ""},
    };
    for (const auto& row : rows) {
        const TUrlInfo info = SplitUrl(row.url);
        EXPECT_EQ(info.Url, row.url);
        EXPECT_EQ(info.Scheme, row.scheme) << row.url;
        EXPECT_EQ(info.Host, row.host) << row.url;
        EXPECT_EQ(info.Path, row.path) << row.url;
        EXPECT_TRUE(info.FileName.empty() && info.Cookies.empty() && info.ProxyAddress.empty());
    }
}

TEST(SplitUrl, LongAndBinaryTextDoesNotFail) {
    const std::string longPath = "http://h/" + std::string(1 << 20, 'a');
    EXPECT_EQ(SplitUrl(longPath).Path.size(), (1u << 20) + 1);
    const char raw[] = "http://\xff\x00\x01:/\x80";
    const std::string binary(raw, sizeof raw - 1);
    EXPECT_EQ(SplitUrl(binary).Host, std::string("\xff\x00\x01", 3));
}

TEST(CleanFileName, ReplacesOnlyForbiddenCharacters) {
    const struct {
        std::string title;
        std::string name;
    } rows[] = {
        {"Episode 1: the end/beginning", "Episode 1_ the end_beginning"},
        {"a\\b|c/d?e>f<g:h\"i*j", "a_b_c_d_e_f_g_h_i_j"},
        {"..", ".."},
        {" dots. and  blanks ", " dots. and  blanks "},
        {std::string("nul\0byte", 8), "nul_byte"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"", ""},
    };
    for (const auto& row : rows) EXPECT_EQ(CleanFileName(row.title), row.name);
}

TEST(TrimBlanks, DropsBytesUpToSpaceAtBothEndsOnly) {
    const struct {
        std::string text;
        std::string trimmed;
    } rows[] = {
        {" \t\r\n a b \x01\x1f ", "a b"},
        {std::string("\0x\0", 3), "x"},
        {"\x7f\x80", "\x7f\x80"},
        {"   ", ""},
        {"", ""},
    };
    for (const auto& row : rows) EXPECT_EQ(TrimBlanks(row.text), row.trimmed);
}

TEST(HexDigit, BothCasesAndTheNeighboursOfEachRange) {
    const std::pair<char, int> rows[] = {{'0', 0},  {'9', 9},  {'a', 10},  {'f', 15},   {'A', 10},
                                         {'F', 15}, {'/', -1}, {':', -1},  {'`', -1},   {'g', -1},
                                         {'@', -1}, {'G', -1}, {'\0', -1}, {'\xff', -1}};
    for (const auto& [c, value] : rows) EXPECT_EQ(HexDigit(c), value) << int(c);
}

}  // namespace
