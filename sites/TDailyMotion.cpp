// DailyMotion extractor; see TDailyMotion.h.
#include "sites/TDailyMotion.h"

#include "settings/uHelpers.h"
#include "sites/SiteText.h"

const char* TDailyMotion::Expression() const {
    return "so_player_[0-9,a-f]*.addVariable\\(\"video\",.*?\\)";
}

std::string TDailyMotion::CleanMatch(std::string match) const {
    // Everything up to the comma after "video" goes, the address stays.
    size_t at = match.find("\"video\"");
    if (at != std::string::npos) match.erase(0, std::min(match.size(), at + 8));
    RemoveCallSyntax(match);
    return TrimBlanks(match);
}
