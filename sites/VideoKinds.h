// Which extractor serves an address: the host table shared by the main window's dispatch and the
// clipboard monitor, and the file kind of each extractor's media. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Extractor kinds as the main window records them (VideoKind) and hands them on.
constexpr int32_t videoKindYouTube = 1;  // also every host the table does not know
constexpr int32_t videoKindBlipTv = 3;
constexpr int32_t videoKindDailyMotion = 4;

constexpr const char* kYouTubeHost = "youtube.com";
constexpr const char* kYouTubeWwwHost = "www.youtube.com";
constexpr const char* kBlipTvHost = "blip.tv";
constexpr const char* kBlipTvWwwHost = "www.blip.tv";
constexpr const char* kDailyMotionHost = "dailymotion.com";
constexpr const char* kDailyMotionWwwHost = "www.dailymotion.com";

// The host is lower-cased (ASCII) and compared whole: a sub-domain other than "www." is no match
// and, like the empty host, goes to YouTube.
int32_t VideoKindForHost(const std::string& host);

// The extension of the proposed file name and the file type the download window offers for a
// kind; YouTube and unknown hosts follow the quality option (0 ".flv", 1 ".mp4", else none).
struct TMediaKind {
    std::string Extension;
    int32_t MediaFormat = 0;

    bool operator==(const TMediaKind&) const = default;
};
TMediaKind MediaKindFor(int32_t videoKind, int32_t format);

// A direct link to a media file: an http or https address on a host that is none of the sites,
// whose path (before any query or fragment) ends in a media file extension. Such an address
// is downloaded as it is, without a page. FileName is the last path segment, percent-decoded
// and cleaned like a title; MediaFormat the file type offered (0 ".flv", 1 ".mp4", 2 all
// files).
struct TDirectLink {
    std::string FileName;
    int32_t MediaFormat = 2;

    bool operator==(const TDirectLink&) const = default;
};
std::optional<TDirectLink> DirectMediaLink(const std::string& address);
