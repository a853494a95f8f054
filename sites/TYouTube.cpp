// YouTube extractor and its cookie jar; see TYouTube.h.
#include "sites/TYouTube.h"

#include "download/THttpThread.h"
#include "settings/uHelpers.h"
#include "settings/uSystem.h"
#include "sites/SiteText.h"

TCookies::TCookies(const std::string& url) : Url(url) {
    AddCookies(GetSystemCookies(url));
}

void TCookies::AddCookies(std::string text) {
    for (size_t semi; (semi = text.find(';')) != std::string::npos;) {
        std::string entry = text.substr(0, semi);
        RemoveCookie(entry);
        Items.push_back(entry);
        text = TrimBlanks(text.substr(semi + 1));
    }
    if (!text.empty()) {
        RemoveCookie(text);
        Items.push_back(text);
    }
}

void TCookies::RemoveCookie(const std::string& entry) {
    size_t eq = entry.find('=');
    if (eq == std::string::npos) return;
    const std::string name = entry.substr(0, eq);
    std::erase_if(Items, [&](const std::string& item) {
        size_t at = item.find('=');
        return at != std::string::npos && item.compare(0, at, name) == 0 && at == name.size();
    });
}

std::string TCookies::GetCookieHeader() const {
    std::string header;
    for (const auto& item : Items) header += "; " + item;
    if (!header.empty() && header[0] == ';') header.erase(0, 2);
    return header;
}

void TYouTube::Start() {
    TUrlInfo request;
    request.Url = PageUrl + "&hl=en_US&persist_hl=0";
    CookieJar = std::make_unique<TCookies>(PageUrl);
    request.Cookies = CookieJar->GetCookieHeader();
    Fetch(std::move(request), [this](THttpThread* t) { CollectCookies(t); });
}

void TYouTube::CollectCookies(THttpThread* thread) {
    std::string header;
    for (const auto& line : thread->HeaderLines) header += line + "\r\n";
    bool found = false;
    ForEachMatch("Set-Cookie: .*?\\;", header, [&](std::string hit) {
        found = true;
        RemoveFirst(hit, "Set-Cookie:");
        RemoveAll(hit, ";");
        CookieJar->AddCookies(TrimBlanks(hit));
    });
    if (!found) return;
    TUrlInfo request = thread->Request;
    request.Cookies = CookieJar->GetCookieHeader();
    thread->SetRequest(request);
    Cookies = CookieJar->GetCookieHeader();
}

void TYouTube::PageDone(THttpThread* thread, int32_t errorCode) {
    bool parsed = false;
    if (errorCode == 0 && !thread->BodyBytes().empty()) {
        const std::string text = CrLfLines(thread->BodyBytes());
        // An address that could carry a second request line or a blank into the request is
        // no usable result.
        if (ParseFormats(text) && ParseTitle(text) && !HasUnsafeByte(SelectedUrl)) {
            ErrorCode = vidSuccess;
            MediaUrl = SelectedUrl;
            Title = PageTitle;
            parsed = true;
        }
    }
    if (!parsed && !Cancelled) ErrorCode = vidFailed;
}

namespace {

// Replaces every \uXXXX by the byte of its low 8 bits (or by nothing when XXXX is no hex
// number), as if searching from the start again after each replacement, so a decoded
// backslash or "u" can form the next escape. One pass: the output never holds "\u".
std::string DecodeUnicodeEscapes(std::string in) {
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        char c = in[i];
        if (c != 'u' || out.empty() || out.back() != '\\') {
            out.push_back(c);
            ++i;
            continue;
        }
        out.pop_back();
        size_t digits = std::min<size_t>(4, in.size() - i - 1);
        int value = digits == 4 ? 0 : -1;
        for (size_t k = 1; k <= digits && value >= 0; ++k) {
            int d = HexDigit(in[i + k]);
            value = d < 0 ? -1 : value * 16 + d;
        }
        if (value >= 0) {
            // The decoded byte is read again as input, in the place of the last digit.
            i += 4;
            in[i] = static_cast<char>(value & 0xFF);
        } else {
            i += 1 + digits;
        }
    }
    return out;
}

}  // namespace

bool TYouTube::ParseFormats(const std::string& text) {
    std::string config;
    if (!FindFirst("'PLAYER_CONFIG': \\{.*?\\}", text, config) || config.empty()) return false;
    std::string map;
    if (!FindFirst("\"fmt_url_map\": \".*?\"", config, map) || map.empty()) return false;
    RemoveAll(map, "\r\n");
    RemoveAll(map, "\"");
    RemoveFirst(map, "fmt_url_map:");
    RemoveAll(map, " ");
    map = DecodeUnicodeEscapes(std::move(map));
    RemoveAll(map, "\\");

    size_t from = 0;
    while (from < map.size()) {
        size_t comma = map.find(',', from);
        size_t end = comma == std::string::npos ? map.size() : comma;
        std::string_view entry(map.data() + from, end - from);
        size_t bar = entry.find('|');
        if (bar != std::string_view::npos) {
            int tag = DecimalTag(entry.substr(0, bar));
            if (tag == 5)
                FormatUrls[0] = entry.substr(bar + 1);
            else if (tag == 18)
                FormatUrls[1] = entry.substr(bar + 1);
        }
        if (comma == std::string::npos) break;
        from = comma + 1;
    }

    if (Quality == 0)
        SelectedUrl = FormatUrls[0];
    else if (Quality >= 1 && Quality <= 4)
        SelectedUrl = FormatUrls[1];
    return true;
}

bool TYouTube::ParseTitle(const std::string& text) {
    std::string title;
    if (!FindFirst("<title>([^<]+)", text, title)) return false;
    RemoveAll(title, "\t");
    RemoveAll(title, "\r\n");
    RemoveFirst(title, "<title>");
    RemoveFirst(title, "YouTube");
    RemoveFirst(title, "<");
    RemoveFirst(title, " - ");
    RemoveFirst(title, "- ");
    PageTitle = FolderSafeTitle(TrimBlanks(title));
    return true;
}
