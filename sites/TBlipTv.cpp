// Blip.tv extractor; see TBlipTv.h.
#include "sites/TBlipTv.h"

#include "sites/SiteText.h"

const char* TBlipTv::Expression() const {
    return "player.setPrimaryMediaUrl([^<].*?);";
}

std::string TBlipTv::CleanMatch(std::string match) const {
    RemoveFirst(match, "player.setPrimaryMediaUrl");
    RemoveCallSyntax(match);
    return match;
}
