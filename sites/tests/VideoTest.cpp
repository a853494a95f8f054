#include <gtest/gtest.h>

#include <memory>

#include "settings/uSystem.h"
#include "sites/TVideo.h"
#include "sites/VideoKinds.h"

namespace {

TEST(SplitLines, BreaksAtCrLfAndCrLf) {
    const struct {
        std::string buffer;
        std::vector<std::string> lines;
    } rows[] = {
        {"a\r\nb\n\nc", {"a", "b", "", "c"}},
        {"a\r\n", {"a"}},
        {"", {}},
        {"\n", {""}},
        {"\r\r", {"", ""}},
        {"\n\r", {"", ""}},
        {"a\rb\r\n\r\nc\n", {"a", "b", "", "c"}},
        {"no break", {"no break"}},
        {std::string("x\0y\nz", 5), {std::string("x\0y", 3), "z"}},
    };
    for (const auto& row : rows) {
        std::vector<std::string> list{"kept"};
        SplitLines(list, row.buffer);
        std::vector<std::string> expected{"kept"};
        expected.insert(expected.end(), row.lines.begin(), row.lines.end());
        EXPECT_EQ(list, expected) << row.buffer;
    }
}

TEST(SystemCookies, LinuxHasNoSharedStore) {
    EXPECT_EQ(GetSystemCookies("http://www.youtube.com/watch?v=x"), "");
}

// An extractor whose fetch the test finishes by hand.
class TManualVideo : public TVideo {
public:
    void Start() override { Cancelled = false; }
    void Cancel() override { Cancelled = true; }
    void Finish(int32_t code) {
        ErrorCode = code;
        ReportDone();
    }
};

TEST(VideoContract, CancelTurnsAnyOutcomeIntoCancelled) {
    const struct {
        bool cancel;
        int32_t result;
        int32_t reported;
    } rows[] = {{false, vidSuccess, vidSuccess},
                {false, vidFailed, vidFailed},
                {true, vidSuccess, vidCancelled},
                {true, vidFailed, vidCancelled}};
    for (const auto& row : rows) {
        TManualVideo video;
        std::vector<int32_t> calls;
        video.OnDone = [&](TVideo* v, int32_t code) {
            EXPECT_EQ(v, &video);
            calls.push_back(code);
        };
        video.Start();
        if (row.cancel) video.Cancel();
        video.Finish(row.result);
        EXPECT_EQ(video.ErrorCode, row.reported);
        video.Finish(row.result);
        EXPECT_EQ(calls, std::vector<int32_t>{row.reported});
    }
}

TEST(VideoContract, OwnerMayReleaseTheExtractorInsideOnDone) {
    auto owned = std::make_unique<TManualVideo>();
    TManualVideo* raw = owned.get();
    int32_t seen = -1;
    owned->OnDone = [&](TVideo*, int32_t code) {
        seen = code;
        owned.reset();
    };
    raw->Finish(vidFailed);
    EXPECT_EQ(seen, vidFailed);
    EXPECT_EQ(owned, nullptr);
}

}  // namespace

namespace {

TEST(VideoKinds, HostTable) {
    const struct {
        std::string host;
        int32_t kind;
    } rows[] = {
        {"youtube.com", videoKindYouTube},
        {"www.youtube.com", videoKindYouTube},
        {"WWW.YouTube.COM", videoKindYouTube},
        {"blip.tv", videoKindBlipTv},
        {"www.Blip.TV", videoKindBlipTv},
        {"dailymotion.com", videoKindDailyMotion},
        {"WWW.DAILYMOTION.COM", videoKindDailyMotion},
        {"m.dailymotion.com", videoKindYouTube},
        {"uk.blip.tv", videoKindYouTube},
        {"youtu.be", videoKindYouTube},
        {"dailymotion.com.evil.example", videoKindYouTube},
        {"www.dailymotion.com.", videoKindYouTube},
        {"", videoKindYouTube},
        {"\xc4\xb0"
         "blip.tv",
         videoKindYouTube},
    };
    for (const auto& row : rows) EXPECT_EQ(VideoKindForHost(row.host), row.kind) << row.host;
}

TEST(VideoKinds, ExtensionAndFileTypeFollowTheSiteOrTheQuality) {
    const struct {
        int32_t kind, format;
        TMediaKind media;
    } rows[] = {
        {videoKindYouTube, 0, {".flv", 0}},     {videoKindYouTube, 1, {".mp4", 1}},
        {videoKindYouTube, 4, {"", 4}},         {videoKindYouTube, -1, {"", -1}},
        {videoKindBlipTv, 0, {".mp4", 1}},      {videoKindBlipTv, 7, {".mp4", 1}},
        {videoKindDailyMotion, 1, {".flv", 0}}, {videoKindDailyMotion, 0, {".flv", 0}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(MediaKindFor(row.kind, row.format), row.media) << row.kind << "/" << row.format;
    }
}

TEST(VideoKinds, DirectLinksToMediaFiles) {
    const struct {
        const char* address;
        std::optional<TDirectLink> link;
    } rows[] = {
        {"http://media.example/v/clip.flv", TDirectLink{"clip.flv", 0}},
        {"https://media.example/clip.MP4?sig=1#t=5", TDirectLink{"clip.MP4", 1}},
        {"http://media.example/a.m4v", TDirectLink{"a.m4v", 1}},
        {"  http://127.0.0.1:8080/My%20Film%3A%20Part%202.webm ",
         TDirectLink{"My Film_ Part 2.webm", 2}},
        {"http://media.example/odd%2Fname%zz.ogg", TDirectLink{"odd_name%zz.ogg", 2}},
        {"http://media.example/x.mkv", TDirectLink{"x.mkv", 2}},
        {"http://media.example/x.mov", TDirectLink{"x.mov", 2}},
        {"http://media.example/x.avi", TDirectLink{"x.avi", 2}},
        {"http://media.example/x.mp3", TDirectLink{"x.mp3", 2}},
        {"http://media.example/x.m4a", TDirectLink{"x.m4a", 2}},
        {"http://media.example/x.ogv", TDirectLink{"x.ogv", 2}},
        // The three sites keep their extractors; other pages and schemes are no links.
        {"http://www.youtube.com/clip.flv", std::nullopt},
        {"http://WWW.DailyMotion.com/a.mp4", std::nullopt},
        {"http://blip.tv/file/1.mp4", std::nullopt},
        {"http://media.example/watch?v=clip.mp4", std::nullopt},
        {"http://media.example/page.html", std::nullopt},
        {"http://media.example/.mp4", std::nullopt},
        {"http://media.example/mp4", std::nullopt},
        {"ftp://media.example/clip.flv", std::nullopt},
        {"media.example/clip.flv", std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(DirectMediaLink(row.address), row.link) << row.address;
}

}  // namespace
