// URL splitting, Base64 (RFC 4648 vectors) and the HTTP date text.
#include "http/UrlHelpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct UrlCase {
    const char* base;  // previous value of the path output
    const char* url;
    const char* protocol;
    const char* user;
    const char* password;
    const char* host;
    const char* port;
    const char* path;
};

TEST(DecomposeUrl, SplitsEveryForm) {
    const std::vector<UrlCase> cases = {
        {"", "", "", "", "", "", "", ""},
        {"", "http://www.host.com/dir/page.html?x=1", "http", "", "", "www.host.com", "",
         "/dir/page.html?x=1"},
        {"", "HTTP://Host:8080", "http", "", "", "Host", "8080", ""},
        {"", "http://u:p@h:81/x", "http", "u", "p", "h", "81", "/x"},
        {"", "http://u:p@h/x", "http", "u", "p", "h", "", "/x"},
        {"", "http://u@h/x", "http", "u", "", "h", "", "/x"},
        {"", "http://u:p:q@h/x", "http", "u", "p:q", "h", "", "/x"},
        {"", "http://[::1]:8080/v.mp4", "http", "", "", "[::1]", "8080", "/v.mp4"},
        {"", "http://u:p@[fe80::1]/x", "http", "u", "p", "[fe80::1]", "", "/x"},
        {"", "http://h?q=1", "http", "", "", "h", "", "?q=1"},
        {"", "https://h/", "https", "", "", "h", "", "/"},
        {"", "svn+ssh://h/r", "svn+ssh", "", "", "h", "", "/r"},
        {"", "ht~p://host/x", "http", "", "", "ht~p", "", "//host/x"},
        {"", "http:/x", "http", "", "", "", "", "/x"},
        {"", "http:host/x", "http", "", "", "", "", "host/x"},
        {"", "http:", "http", "", "", "", "", ""},
        {"", "/", "http", "", "", "", "", ""},
        {"", "/a/b?c", "http", "", "", "", "", "/a/b?c"},
        {"", "//host/x", "http", "", "", "", "", "/host/x"},
        {"", "mailto:joe@example.com", "mailto", "joe", "", "example.com", "", ""},
        {"", "host.com:99/p", "", "", "", "host.com", "99", "/p"},
        {"", "host.com", "", "", "", "host.com", "", ""},
        {"", "://h/x", "", "", "", "h", "", "/x"},
        {"/dir/page", "./x", "", "", "", "", "", "/dir/x"},
        {"", "./x", "", "", "", "", "", "/x"},
        {"page", "./x", "", "", "", "", "", "/x"},
        {"/a/b/c.html", "../x", "", "", "", "", "", "/a/x"},
        {"/a/b/c.html", "../../x", "", "", "", "", "", "/x"},
        {"/a/b/c.html", "../../../../x", "", "", "", "", "", "/x"},
        {"", "../x", "", "", "", "", "", "/x"},
        {"/a/b/c.html", "http://n/y", "http", "", "", "n", "", "/y"},
    };
    for (const auto& c : cases) {
        std::string protocol = "old", user = "old", password = "old", host = "old", port = "old";
        std::string path = c.base;
        DecomposeUrl(c.url, protocol, user, password, host, port, path);
        SCOPED_TRACE(std::string("url '") + c.url + "' base '" + c.base + "'");
        EXPECT_EQ(protocol, c.protocol);
        EXPECT_EQ(user, c.user);
        EXPECT_EQ(password, c.password);
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(path, c.path);
    }
}

TEST(UrlText, FindLastBaseAndExtension) {
    EXPECT_EQ(FindLast("/", "abc"), 0u);
    EXPECT_EQ(FindLast("/", "/a/b"), 3u);
    EXPECT_EQ(FindLast("ab", "abab"), 3u);
    EXPECT_EQ(FindLast("", "abc"), 0u);
    EXPECT_EQ(FindLast("abcd", "abc"), 0u);

    const std::vector<std::pair<const char*, const char*>> bases = {
        {"/a/b/c.php?x=/y", "/a/b/"}, {"abc", ""}, {"", ""},     {"http://h", "http://"},
        {"http://h/x", "http://h/"},  {"/", "/"},  {"?a/b", ""}, {"x:y", "x:"},
    };
    for (const auto& [in, out] : bases) EXPECT_EQ(UrlBaseOf(in), out) << in;

    const std::vector<std::pair<const char*, const char*>> names = {
        {"setup.exe", "setup.htm"},
        {"document", "document.htm"},
        {"a.b.c", "a.b.htm"},
        {".", ".htm"},
        {"", ".htm"},
    };
    for (const auto& [in, out] : names) {
        std::string name = in;
        SetDocExtension(name, "htm");
        EXPECT_EQ(name, out) << in;
    }
}

TEST(HexDigits, ClassifyAndValue) {
    const std::string digits = "0123456789abcdefABCDEF";
    const int values[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                          11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
    for (std::size_t i = 0; i < digits.size(); ++i) {
        EXPECT_TRUE(IsHexChar(digits[i])) << digits[i];
        EXPECT_EQ(HexCharValue(digits[i]), values[i]) << digits[i];
    }
    for (char c : std::string("gG/:@`\0 \xff-", 11)) EXPECT_FALSE(IsHexChar(c)) << int(c);
}

TEST(DecodeUserInfo, PercentTripletsOnly) {
    const std::pair<std::string, std::string> rows[] = {
        {"p%40ss%2Fw", "p@ss/w"}, {"%3a%3F%25", ":?%"}, {"raw@:x", "raw@:x"},
        {"50%", "50%"},           {"%4", "%4"},         {"%zz%4g", "%zz%4g"},
    };
    for (const auto& [in, out] : rows) EXPECT_EQ(DecodeUserInfo(in), out) << in;
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(HexCharValue(hex[i]) * 16 + HexCharValue(hex[i + 1]));
    return out;
}

TEST(Base64, KnownAnswersBothWays) {
    // RFC 4648 sections 10 and 9, plus alphabet-edge values.
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
        {FromHex("14fb9c03d97e"), "FPucA9l+"},
        {FromHex("14fb9c03d9"), "FPucA9k="},
        {FromHex("14fb9c03"), "FPucAw=="},
        {FromHex("00"), "AA=="},
        {FromHex("0000"), "AAA="},
        {FromHex("000000"), "AAAA"},
        {FromHex("ffffff"), "////"},
        {FromHex("fbff"), "+/8="},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(EncodeBase64(plain), encoded);
        EXPECT_EQ(DecodeBase64(encoded), plain) << encoded;
    }
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    EXPECT_EQ(DecodeBase64(EncodeBase64(all)), all);
}

TEST(Base64, PartialAndForeignInputStaysInside) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Z", ""},    // six bits make no byte
        {"Zg", "f"},  // unpadded groups decode what they hold
        {"Zm8", "fo"},
        {"Zm9vYg", "foob"},
        {"Zm9vY", "foo"},
        {"Zg=", "f"},
        {"Z===", "d"},  // the first byte is always taken
        {"Zh==", "f"},  // non-zero pad bits are ignored
        {"Zm=v", "f"},  // "=" in third place ends the group
        {"!!!!", std::string(3, '\0')},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(DecodeBase64(in), out) << in;
}

// The reference resolution examples of RFC 3986 section 5.4 against "http://a/b/c/d;p?q".
TEST(ResolveUriReference, PublishedExamples) {
    const TUriParts base = SplitUriReference("http://a/b/c/d;p?q");
    auto text = [](const TUriParts& u) {
        return u.Scheme + ":" + (u.HasAuthority ? "//" + u.Host : "") + u.Path +
               (u.HasQuery ? "?" + u.Query : "");
    };
    const std::pair<const char*, const char*> cases[] = {
        {"g:h", "g:h"},
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q"},
        {"g#s", "http://a/b/c/g"},
        {";x", "http://a/b/c/;x"},
        {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../..", "http://a/"},
        {"../../../g", "http://a/g"},
        {"/./g", "http://a/g"},
        {"/../g", "http://a/g"},
        {"g.", "http://a/b/c/g."},
        {"..g", "http://a/b/c/..g"},
        {"./../g", "http://a/b/g"},
        {"g/./h", "http://a/b/c/g/h"},
        {"g/../h", "http://a/b/c/h"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"HTTP://u:p@H:81/x", "http://H/x"},
    };
    for (const auto& [ref, target] : cases)
        EXPECT_EQ(text(ResolveUriReference(base, SplitUriReference(ref))), target) << ref;
    const TUriParts withUser = SplitUriReference("http://u:p@[::1]:81/x");
    EXPECT_EQ(withUser.User + " " + withUser.Password + " " + withUser.Host + " " + withUser.Port,
              "u p [::1] 81");
    EXPECT_EQ(EncodeUnsafeUrlBytes(std::string("/a b\r\0\x7f\xe9%41", 11)),
              "/a%20b%0D%00%7F%E9%41");
}

TEST(FormatHttpDate, WeekdayMonthAndClock) {
    struct {
        double value;
        const char* text;
    } cases[] = {
        {34644 + (8 * 3600 + 49 * 60 + 37) / 86400.0, "Sun, 06 Nov 1994 08:49:37"},
        {0, "Sat, 30 Dec 1899 00:00:00"},
        {25569, "Thu, 01 Jan 1970 00:00:00"},
        {36585.5, "Tue, 29 Feb 2000 12:00:00"},  // leap day of a century leap year
        {36616 - 1 / 86400.0 / 2.0 + 0.999999, "Fri, 31 Mar 2000 23:59:59"},
        {-1.25, "Fri, 29 Dec 1899 06:00:00"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatHttpDate(c.value), c.text) << c.value;
}

}  // namespace
