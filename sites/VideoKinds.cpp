// The host table, tested in the order YouTube, Blip.tv, DailyMotion, everything else.
#include "sites/VideoKinds.h"

int32_t VideoKindForHost(const std::string& host) {
    std::string lower = host;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    if (lower == kYouTubeHost || lower == kYouTubeWwwHost) return videoKindYouTube;
    if (lower == kBlipTvHost || lower == kBlipTvWwwHost) return videoKindBlipTv;
    if (lower == kDailyMotionHost || lower == kDailyMotionWwwHost) return videoKindDailyMotion;
    return videoKindYouTube;
}
