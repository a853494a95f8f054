// Common half of the DailyMotion and Blip.tv extractors: fetch the page into memory on one
// THttpThread, find the player line with one expression, clean it into the media address and
// name the video after the media file. Start, Cancel and OnDone run on the UI thread; PageDone
// on the worker.
#pragma once

#include <cstdint>
#include <string>

#include "sites/TPageVideo.h"

class TPlayerLineVideo : public TPageVideo {
public:
    void Start() override;

    // Steps after the fetch, public so that pages can be checked without one.
    void ParsePage(const std::string& body);

protected:
    // The site's expression and its removals on the whole match.
    virtual const char* Expression() const = 0;
    virtual std::string CleanMatch(std::string match) const = 0;
    // Drops the first "(", ")" and ";" and every quote: the player call around the address.
    static void RemoveCallSyntax(std::string& match);

private:
    void PageDone(THttpThread* thread, int32_t errorCode) override;
};
