// Catalogue binding and lookup for Translate.h.
#include "ui/Translate.h"

#include <libintl.h>

namespace {
constexpr const char* kDomain = "sorlen";
}

void BindTranslations(const std::string& programFolder) {
    const std::string folder = programFolder + "../share/locale";
    bindtextdomain(kDomain, folder.c_str());
    // The windows take UTF-8 whatever the locale's own character set.
    bind_textdomain_codeset(kDomain, "UTF-8");
}

QString Tr(const char* text) {
    return QString::fromUtf8(dgettext(kDomain, text));
}
