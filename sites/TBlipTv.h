// Blip.tv extractor: the media address is the argument of player.setPrimaryMediaUrl(...).
// Thread use and ownership as TPlayerLineVideo.
#pragma once

#include "sites/TPlayerLineVideo.h"

class TBlipTv : public TPlayerLineVideo {
protected:
    const char* Expression() const override;
    std::string CleanMatch(std::string match) const override;
};
