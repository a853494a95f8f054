// The host table, tested in the order YouTube, Blip.tv, DailyMotion, everything else, and the
// file kind each extractor's media is saved as.
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

TMediaKind MediaKindFor(int32_t videoKind, int32_t format) {
    if (videoKind == videoKindBlipTv) return {".mp4", 1};
    if (videoKind == videoKindDailyMotion) return {".flv", 0};
    return {format == 0 ? ".flv" : format == 1 ? ".mp4" : "", format};
}
