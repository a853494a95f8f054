// Common half of the DailyMotion and Blip.tv extractors; see TPlayerLineVideo.h.
#include "sites/TPlayerLineVideo.h"

#include <utility>

#include "download/THttpThread.h"
#include "settings/uHelpers.h"
#include "sites/SiteText.h"

void TPlayerLineVideo::Start() {
    TUrlInfo request = SplitUrl(PageUrl);
    if (request.Path.empty()) {
        ErrorCode = vidFailed;
        ReportDone();
        return;
    }
    request.Url = PageUrl;
    Fetch(std::move(request));
}

void TPlayerLineVideo::RemoveCallSyntax(std::string& match) {
    RemoveFirst(match, "(");
    RemoveFirst(match, ")");
    RemoveFirst(match, ";");
    RemoveAll(match, "\"");
}

void TPlayerLineVideo::PageDone(THttpThread* thread, int32_t errorCode) {
    ErrorCode = vidFailed;
    if (errorCode != 0) return;
    ParsePage(std::string(thread->BodyBytes()));
}

void TPlayerLineVideo::ParsePage(const std::string& body) {
    ErrorCode = vidFailed;
    if (body.empty()) return;
    std::string match;
    if (!FindFirst(Expression(), CrLfLines(body), match) || match.empty()) return;
    std::string media = CleanMatch(std::move(match));
    if (HasUnsafeByte(media)) return;
    MediaUrl = media;
    Title = TitleFromMediaUrl(MediaUrl);
    ErrorCode = vidSuccess;
}
