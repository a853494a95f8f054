// DailyMotion extractor: the media address is the argument of the player's
// addVariable("video", ...) line. Thread use and ownership as TPlayerLineVideo.
#pragma once

#include "sites/TPlayerLineVideo.h"

class TDailyMotion : public TPlayerLineVideo {
protected:
    const char* Expression() const override;
    std::string CleanMatch(std::string match) const override;
};
