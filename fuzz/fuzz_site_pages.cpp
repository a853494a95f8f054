// Web pages and cookie texts as the extractors parse them: any bytes must give a result or a
// failure code, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sites/TBlipTv.h"
#include "sites/TDailyMotion.h"
#include "sites/TYouTube.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string page(reinterpret_cast<const char*>(data), size);
    for (int quality : {0, 1}) {
        TYouTube yt;
        yt.Quality = quality;
        yt.ParseFormats(page);
        yt.ParseTitle(page);
    }
    TDailyMotion daily;
    daily.ParsePage(page);
    TBlipTv blip;
    blip.ParsePage(page);
    TCookies jar("http://www.youtube.com/");
    jar.AddCookies(page);
    jar.GetCookieHeader();
    return 0;
}
