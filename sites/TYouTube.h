// YouTube extractor: fetches a watch page into memory on one THttpThread, collects the cookies
// the site sets, and takes the media address of the wanted format and the page title.
// Start, Cancel and OnDone belong to the UI thread; PageDone and CollectCookies run on the
// worker while the UI thread waits for OnDone. TCookies is its cookie jar, owned by it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sites/TPageVideo.h"

// Cookies as name=value texts (or bare words), in insertion order; a replaced cookie moves to
// the end. Names compare case-sensitively.
class TCookies {
public:
    // Starts with the system cookie store's cookies for url.
    explicit TCookies(const std::string& url);

    // Adds every cookie of a text such as "a=1; b=2", replacing same-named ones.
    void AddCookies(std::string text);
    // Drops every item with the entry's name; an entry without "=" names nothing.
    void RemoveCookie(const std::string& entry);
    // The items joined with "; ".
    std::string GetCookieHeader() const;

    std::string Url;
    std::vector<std::string> Items;
};

class TYouTube : public TPageVideo {
public:
    void Start() override;

    // Page parsing, public so that pages can be checked without a fetch.
    bool ParseFormats(const std::string& text);
    bool ParseTitle(const std::string& text);

    std::string PageTitle;
    std::string SelectedUrl;
    int32_t Quality = 0;        // 0 normal (tag 5, .flv), 1 best available (tag 18, .mp4)
    std::string FormatUrls[2];  // addresses of tag 5 and tag 18
    std::unique_ptr<TCookies> CookieJar;

private:
    void PageDone(THttpThread* thread, int32_t errorCode) override;
    void CollectCookies(THttpThread* thread);
};
