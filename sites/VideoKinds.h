// Which extractor serves an address: the host table shared by the main window's dispatch and the
// clipboard monitor. Pure functions, any thread.
#pragma once

#include <cstdint>
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
