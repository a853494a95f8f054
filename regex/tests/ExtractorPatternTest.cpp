// The six patterns the site extractors use, over header blocks and page texts shaped like the
// sites' pages (lines joined with CR LF, as the extractors do before searching).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "regex/TRegExpr.h"

namespace {

const char kCookie[] = "Set-Cookie: .*?\\;";
const char kTitle[] = "<title>([^<]+)";
const char kBlip[] = "player.setPrimaryMediaUrl([^<].*?);";
const char kDaily[] = "so_player_[0-9,a-f]*.addVariable\\(\"video\",.*?\\)";
const char kConfig[] = "'PLAYER_CONFIG': \\{.*?\\}";
const char kFmtMap[] = "\"fmt_url_map\": \".*?\"";

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    return text;
}

// Filler that looks like markup and script, with the characters the patterns start with.
std::string Filler(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += "<div class=\"s\" id='p" + std::to_string(i) +
                "'><span>so play; Set the player {x} \"fmt\" </span></div>\r\n";
    return text;
}

std::vector<std::string> AllMatches(const char* pattern, const std::string& text) {
    TRegExpr re;
    re.SetExpression(pattern);
    std::vector<std::string> found;
    for (bool ok = re.Exec(text); ok; ok = re.ExecNext()) found.push_back(re.MatchText(0));
    return found;
}

TEST(ExtractorPatterns, CookieLinesOfAHeaderBlock) {
    const std::string headers = Lines({
        "HTTP/1.1 200 OK",
        "Date: Wed, 01 Sep 2010 10:00:00 GMT",
        "Set-Cookie: VISITOR_INFO1_LIVE=kXq3zW; path=/; domain=.youtube.com",
        "Content-Type: text/html; charset=utf-8",
        "Set-Cookie: PREF=f1=50000000&hl=en; expires=Thu, 01-Sep-2011 10:00:00 GMT; path=/",
    });
    EXPECT_EQ(AllMatches(kCookie, headers),
              (std::vector<std::string>{"Set-Cookie: VISITOR_INFO1_LIVE=kXq3zW;",
                                        "Set-Cookie: PREF=f1=50000000&hl=en;"}));

    // Without a semicolon the match runs on into the following lines ("." takes line breaks).
    const std::string bare = Lines(
        {"Set-Cookie: use_hitbox=d5c5516c", "Server: x", "Content-Type: text/html; charset=utf-8"});
    EXPECT_EQ(AllMatches(kCookie, bare),
              (std::vector<std::string>{
                  "Set-Cookie: use_hitbox=d5c5516c\r\nServer: x\r\nContent-Type: text/html;"}));
    EXPECT_TRUE(AllMatches(kCookie, Lines({"HTTP/1.1 302 Found", "Location: /x"})).empty());
}

TEST(ExtractorPatterns, YouTubeWatchPage) {
    const std::string page =
        Lines({
            "<!DOCTYPE html>",
            "<html lang=\"en\"><head>",
            "<title>YouTube",
            "        - Big Buck Bunny</title>",
            "<link rel=\"stylesheet\" href=\"/s.css\">",
        }) +
        Filler(2000) +
        Lines({
            "<script>",
            "yt.setConfig({",
            "  'PLAYER_CONFIG': {\"url\": \"http:\\/\\/s.ytimg.com\\/yt\\/swf\\/watch.swf\", "
            "\"args\": {\"fmt_list\": \"34\\/640x360,18\\/640x360,5\\/320x240\", "
            "\"fmt_url_map\": "
            "\"34|http:\\/\\/v1.lscache1.c.youtube.com\\/videoplayback?id=1\\u0026itag=34,"
            "18|http:\\/\\/v2.lscache1.c.youtube.com\\/videoplayback?id=1\\u0026itag=18,"
            "5|http:\\/\\/v3.lscache1.c.youtube.com\\/videoplayback?id=1\\u0026itag=5\", "
            "\"video_id\": \"abc\"}, \"sts\": 1}",
            "});",
            "</script>",
        }) +
        Filler(500);

    TRegExpr title;
    title.SetExpression(kTitle);
    ASSERT_TRUE(title.Exec(page));
    EXPECT_EQ(title.MatchText(0), "<title>YouTube\r\n        - Big Buck Bunny");
    EXPECT_EQ(title.MatchText(1), "YouTube\r\n        - Big Buck Bunny");

    TRegExpr config;
    config.SetExpression(kConfig);
    ASSERT_TRUE(config.Exec(page));
    const std::string whole = config.MatchText(0);
    // Ends at the first "}" after the "{": the inner args object closes it.
    EXPECT_EQ(whole.substr(0, 28), "'PLAYER_CONFIG': {\"url\": \"ht");
    EXPECT_TRUE(whole.ends_with("\"video_id\": \"abc\"}")) << whole;

    TRegExpr map;
    map.SetExpression(kFmtMap);
    ASSERT_TRUE(map.Exec(whole));
    EXPECT_EQ(map.MatchText(0).substr(0, 20), "\"fmt_url_map\": \"34|h");
    EXPECT_TRUE(map.MatchText(0).ends_with("\\u0026itag=5\"")) << map.MatchText(0);
    EXPECT_FALSE(map.ExecNext());
}

TEST(ExtractorPatterns, DailyMotionAndBlipPlayerLines) {
    const std::string daily =
        Filler(300) +
        Lines({
            "<script type=\"text/javascript\">",
            "var so_player_4c2ea1,f = new SWFObject(\"/swf/player\", \"player\", \"480\");",
            "so_player_4c2ea1,f.addVariable(\"video\", "
            "\"http://www.dailymotion.com/p/clip.flv?key=1\");",
            "so_player_4c2ea1,f.addVariable(\"autoplay\", \"1\");",
            "</script>",
        });
    EXPECT_EQ(AllMatches(kDaily, daily),
              (std::vector<std::string>{"so_player_4c2ea1,f.addVariable(\"video\", "
                                        "\"http://www.dailymotion.com/p/clip.flv?key=1\")"}));

    const std::string blip =
        Filler(300) + Lines({
                          "<script>",
                          "player.setPrimaryMediaUrl(\"http://blip.tv/f/show-ep1.mp4\");",
                          "player.setPrimaryMediaUrl<b>;",
                          "player-setPrimaryMediaUrl(x;",
                          "</script>",
                      });
    TRegExpr re;
    re.SetExpression(kBlip);
    ASSERT_TRUE(re.Exec(blip));
    EXPECT_EQ(re.MatchText(0), "player.setPrimaryMediaUrl(\"http://blip.tv/f/show-ep1.mp4\");");
    EXPECT_EQ(re.MatchText(1), "(\"http://blip.tv/f/show-ep1.mp4\")");
    // "<" right after the name blocks a match there; "." takes any character, "-" included.
    ASSERT_TRUE(re.ExecNext());
    EXPECT_EQ(re.MatchText(0), "player-setPrimaryMediaUrl(x;");
    EXPECT_FALSE(re.ExecNext());
}

}  // namespace
