// The host table, tested in the order YouTube, Blip.tv, DailyMotion, everything else, and the
// file kind each extractor's media is saved as.
#include "sites/VideoKinds.h"

#include "platform/AsciiText.h"
#include "settings/uHelpers.h"

namespace {

// "%41" becomes "A"; a "%" without two hexadecimal digits stays as it is.
std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
            HexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

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

std::optional<TDirectLink> DirectMediaLink(const std::string& address) {
    static constexpr std::pair<const char*, int32_t> kExtensions[] = {
        {".flv", 0}, {".mp4", 1}, {".m4v", 1}, {".webm", 2}, {".mkv", 2}, {".mov", 2},
        {".avi", 2}, {".mp3", 2}, {".m4a", 2}, {".ogg", 2},  {".ogv", 2},
    };
    const TUrlInfo url = SplitUrl(TrimBlanks(address));
    if (url.Scheme != urlSchemeHttp && url.Scheme != urlSchemeHttps) return std::nullopt;
    const std::string host = AsciiLower(url.Host);
    for (const char* site : {kYouTubeHost, kYouTubeWwwHost, kBlipTvHost, kBlipTvWwwHost,
                             kDailyMotionHost, kDailyMotionWwwHost}) {
        if (host == site) return std::nullopt;
    }
    const std::string path = url.Path.substr(0, url.Path.find_first_of("?#"));
    const std::string name = PercentDecoded(path.substr(path.rfind('/') + 1));
    const std::string lower = AsciiLower(name);
    for (const auto& [extension, format] : kExtensions) {
        if (lower.size() > std::char_traits<char>::length(extension) && lower.ends_with(extension))
            return TDirectLink{CleanFileName(name), format};
    }
    return std::nullopt;
}

TMediaKind MediaKindFor(int32_t videoKind, int32_t format) {
    if (videoKind == videoKindBlipTv) return {".mp4", 1};
    if (videoKind == videoKindDailyMotion) return {".flv", 0};
    return {format == 0 ? ".flv" : format == 1 ? ".mp4" : "", format};
}
