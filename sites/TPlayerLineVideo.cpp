// Common half of the DailyMotion and Blip.tv extractors; see TPlayerLineVideo.h.
#include "sites/TPlayerLineVideo.h"

#include <vector>

#include "download/THttpThread.h"
#include "settings/uHelpers.h"
#include "sites/SiteText.h"

void TPlayerLineVideo::Start() {
    TUrlInfo request = SplitUrl(PageUrl);
    if (request.Path.empty()) {
        ErrorCode = vidFailed;
        ThreadEnded(nullptr);
        return;
    }
    Cancelled = false;
    request.Url = PageUrl;
    if (!Proxy.Address.empty()) {
        request.ProxyAddress = Proxy.Address;
        request.ProxyPort = Proxy.Port;
        request.ProxyUserName = Proxy.Username;
        request.ProxyPassword = Proxy.Password;
    }
    Thread = new THttpThread(request);
    Thread->OnDone = [this](THttpThread* t, int32_t code) { PageDone(t, code); };
    Thread->OnTerminate = [this](THttpThread* t) { ThreadEnded(t); };
    Thread->Resume();
}

void TPlayerLineVideo::Cancel() {
    Cancelled = true;
    if (Thread) Thread->CancelRequest();
}

void TPlayerLineVideo::ThreadEnded(THttpThread*) {
    Thread = nullptr;
    ReportDone();
}

void TPlayerLineVideo::PageDone(THttpThread* thread, int32_t errorCode) {
    ErrorCode = vidFailed;
    if (errorCode != 0) return;
    ParsePage(std::string(thread->BodyBytes()));
}

void TPlayerLineVideo::ParsePage(const std::string& body) {
    ErrorCode = vidFailed;
    if (body.empty()) return;
    std::vector<std::string> lines;
    SplitLines(lines, body);
    std::string text;
    text.reserve(body.size() + lines.size());
    for (const auto& line : lines) text.append(line).append("\r\n");
    std::string match;
    if (!FindFirst(Expression(), text, match) || match.empty()) return;
    std::string media = CleanMatch(std::move(match));
    if (HasUnsafeByte(media)) return;
    MediaUrl = media;
    Title = TitleFromMediaUrl(MediaUrl);
    ErrorCode = vidSuccess;
}
