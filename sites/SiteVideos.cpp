// The site extractors behind the main window's dispatch, one per extractor kind.
#include "sites/SiteVideos.h"

#include "sites/TBlipTv.h"
#include "sites/TDailyMotion.h"
#include "sites/TVideo.h"
#include "sites/TYouTube.h"
#include "sites/VideoKinds.h"

std::unique_ptr<TVideo> CreateSiteVideo(int32_t kind, int32_t quality) {
    switch (kind) {
        case videoKindBlipTv:
            return std::make_unique<TBlipTv>();
        case videoKindDailyMotion:
            return std::make_unique<TDailyMotion>();
        default: {
            auto youTube = std::make_unique<TYouTube>();
            youTube->Quality = quality;
            return youTube;
        }
    }
}
