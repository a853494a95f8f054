// Page parsing of the three extractors and the YouTube cookie jar, without any fetch.
#include <gtest/gtest.h>

#include <random>

#include "sites/SiteVideos.h"
#include "sites/TBlipTv.h"
#include "sites/TDailyMotion.h"
#include "sites/TYouTube.h"
#include "sites/VideoKinds.h"

namespace {

std::string PlayerConfigPage(const std::string& map) {
    return "<html><head><title>YouTube - A clip</title></head>\r\n<script>\r\n"
           "'PLAYER_CONFIG': {\"args\": {\"fmt_url_map\": \"" +
           map + "\", \"x\": 1}},\r\n</script></html>\r\n";
}

// The escape rule as worded: search from the start after every replacement.
std::string DecodeByRule(std::string map) {
    for (size_t at; (at = map.find("\\u")) != std::string::npos;) {
        std::string digits = map.substr(at + 2, 4);
        bool hex = digits.size() == 4 &&
                   digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        std::string by = hex ? std::string(1, char(std::stoi(digits, nullptr, 16) & 0xFF)) : "";
        map.replace(at, 2 + digits.size(), by);
    }
    std::erase(map, '\\');
    return map;
}

}  // namespace

TEST(CookieJar, AddReplaceAndHeader) {
    struct Row {
        std::vector<std::string> adds;
        std::vector<std::string> items;
        std::string header;
    } rows[] = {
        {{}, {}, ""},
        {{"a=1"}, {"a=1"}, "a=1"},
        {{"x=1", "x=2; y=3"}, {"x=2", "y=3"}, "x=2; y=3"},
        {{"a=1; b=2", "a=3"}, {"b=2", "a=3"}, "b=2; a=3"},
        {{"A=1", "a=2"}, {"A=1", "a=2"}, "A=1; a=2"},  // names are case-sensitive
        {{"flag; a=1", "flag"}, {"flag", "a=1", "flag"}, "flag; a=1; flag"},  // bare words stay
        {{"PREF=f1=5", "PREF=f1=6"}, {"PREF=f1=6"}, "PREF=f1=6"},  // name ends at the first =
        {{"ab=1", "a=2"}, {"ab=1", "a=2"}, "ab=1; a=2"},           // a prefix is another name
        {{"a=1;;  b=2 ;"}, {"a=1", "", "b=2 "}, "a=1; ; b=2 "},
    };
    for (const auto& row : rows) {
        TCookies jar("http://www.youtube.com/watch?v=x");
        for (const auto& text : row.adds) jar.AddCookies(text);
        EXPECT_EQ(jar.Items, row.items) << row.header;
        EXPECT_EQ(jar.GetCookieHeader(), row.header);
    }
}

TEST(YouTubePage, FormatMapAndQuality) {
    struct Row {
        std::string map;
        int quality;
        bool ok;
        std::string selected;
    } rows[] = {
        {"35|a,34|b,18|c,5|d", 0, true, "d"},
        {"35|a,34|b,18|c,5|d", 1, true, "c"},
        {"35|a,34|b,18|c,5|d", 4, true, "c"},
        {"35|a,34|b,18|c,5|d", 7, true, ""},
        {"5|first,5|second", 0, true, "second"},
        {"05|lead,x5|no", 0, true, "lead"},
        {"5|a\\u0026b", 0, true, "a&b"},
        {"5|a\\uZZZZb", 0, true, "ab"},
        {"5|a:\\/\\/b", 0, true, "a://b"},
        {"5|a b\\u0020c", 0, true, "ab c"},  // blanks go before escapes are decoded
        {"5|x\\u00", 0, true, "x"},          // a cut escape is dropped
        {"5|\\u005cu0041", 0, true, "A"},    // a decoded backslash starts the next escape
        {"18|only", 0, true, ""},
        {"garbage", 0, true, ""},
        {"", 0, true, ""},
    };
    for (const auto& row : rows) {
        TYouTube yt;
        yt.Quality = row.quality;
        EXPECT_EQ(yt.ParseFormats(PlayerConfigPage(row.map)), row.ok) << row.map;
        EXPECT_EQ(yt.SelectedUrl, row.selected) << row.map << " quality " << row.quality;
    }
}

TEST(YouTubePage, EscapesDecodeAsIfSearchedFromTheStart) {
    std::mt19937 rng(7);
    const std::string alphabet = "\\u005cC4a1Zx";
    for (int n = 0; n < 3000; ++n) {
        std::string map;
        for (size_t len = rng() % 24; len > 0; --len) map += alphabet[rng() % alphabet.size()];
        TYouTube yt;
        ASSERT_TRUE(yt.ParseFormats(PlayerConfigPage("5|" + map)));
        std::string expected = DecodeByRule(map);
        if (expected.find_first_of(",|\" ") != std::string::npos)
            continue;  // a decoded separator changes the split; the rule is checked elsewhere
        EXPECT_EQ(yt.FormatUrls[0], expected) << map;
    }
}

TEST(YouTubePage, MissingPieces) {
    const std::string good = PlayerConfigPage("5|u");
    struct Row {
        std::string page;
        bool formats;
        bool title;
    } rows[] = {
        {good, true, true},
        {"", false, false},
        {"'PLAYER_CONFIG': {\"fmt_url_map\": \"5|u\"", false, false},  // cut before the brace
        {"'PLAYER_CONFIG': {\"fmt_map\": \"5|u\"}", false, false},
        {"'PLAYER_CONFIG': {} \"fmt_url_map\": \"5|u\"", false, false},  // map outside
        {"<title></title>", false, false},
        {"<title>x", false, true},
        {std::string("<title>a\0b</title>", 18), false, true},
    };
    for (const auto& row : rows) {
        TYouTube yt;
        EXPECT_EQ(yt.ParseFormats(row.page), row.formats) << row.page;
        EXPECT_EQ(yt.ParseTitle(row.page), row.title) << row.page;
    }
}

TEST(YouTubePage, Titles) {
    struct Row {
        std::string element;
        std::string title;
    } rows[] = {
        {"<title>YouTube - My clip</title>", "My clip"},
        {"<title>My clip - YouTube</title>", "My clip"},
        {"<title>YouTube\t- My clip</title>", "My clip"},
        {"<title>\r\n  YouTube - Two\r\nlines </title>", "Twolines"},
        {"<title>youtube - case kept</title>", "youtubecase kept"},
        {"<title>A - B - C</title>", "AB C"},
        {"<title>YouTube</title>", ""},
    };
    for (const auto& row : rows) {
        TYouTube yt;
        ASSERT_TRUE(yt.ParseTitle(row.element)) << row.element;
        EXPECT_EQ(yt.PageTitle, row.title) << row.element;
    }
}

TEST(PlayerLinePages, MediaAddressAndTitle) {
    struct Row {
        bool daily;
        std::string page;
        int code;
        std::string media;
        std::string title;
    } rows[] = {
        {true,
         "so_player_3f0c1.addVariable(\"video\", "
         "\"http://proxy.dailymotion.com/p/clip.flv?key=1\");",
         0, "http://proxy.dailymotion.com/p/clip.flv?key=1", "clip"},
        {true, "so_player_a,b.addVariable(\"video\",\"http://h/p/a.webm\")", 0, "http://h/p/a.webm",
         "a.webm"},
        {true, "so_player_1.addVariable(\"video\", \"http://h/noext\")", 0, "http://h/noext",
         "noext"},
        {true, "so_player_1.addVariable(\"preview\", \"x\")", 2, "", ""},
        {true, "so_player_1.addVariable(\"video\", \"http://h/a b.flv\")", 2, "", ""},
        {true, "", 2, "", ""},
        {false, "player.setPrimaryMediaUrl(\"http://blip.tv/f/show-ep1.mp4\");", 0,
         "http://blip.tv/f/show-ep1.mp4", "show-ep1"},
        {false, "player.setPrimaryMediaUrl(\"http://blip.tv/f/x.mp4?a=1\"); y;", 0,
         "http://blip.tv/f/x.mp4?a=1", "x"},
        {false, "player.setPrimaryMediaUrl<br>", 2, "", ""},
        {false, "player.setPrimaryMediaUrl(\"http://h/a\r\nHost: evil\");", 2, "", ""},
        {false, "player.setPrimaryMediaUrl(\"http://h/../../etc/passwd\");", 0,
         "http://h/../../etc/passwd", "passwd"},
    };
    for (const auto& row : rows) {
        std::unique_ptr<TPlayerLineVideo> video;
        if (row.daily)
            video = std::make_unique<TDailyMotion>();
        else
            video = std::make_unique<TBlipTv>();
        video->ParsePage(row.page);
        EXPECT_EQ(video->ErrorCode, row.code) << row.page;
        EXPECT_EQ(video->MediaUrl, row.media) << row.page;
        EXPECT_EQ(video->Title, row.title) << row.page;
    }
}

TEST(SiteVideos, KindChoosesTheExtractor) {
    struct Row {
        int32_t kind;
        bool youTube, blip, daily;
    } rows[] = {
        {videoKindYouTube, true, false, false},
        {videoKindBlipTv, false, true, false},
        {videoKindDailyMotion, false, false, true},
        {0, true, false, false},
        {2, true, false, false},
    };
    for (const auto& row : rows) {
        std::unique_ptr<TVideo> video = CreateSiteVideo(row.kind, 1);
        ASSERT_TRUE(video) << row.kind;
        auto* yt = dynamic_cast<TYouTube*>(video.get());
        EXPECT_EQ(yt != nullptr, row.youTube) << row.kind;
        EXPECT_EQ(dynamic_cast<TBlipTv*>(video.get()) != nullptr, row.blip) << row.kind;
        EXPECT_EQ(dynamic_cast<TDailyMotion*>(video.get()) != nullptr, row.daily) << row.kind;
        if (yt) {
            EXPECT_EQ(yt->Quality, 1);
        }
    }
}
