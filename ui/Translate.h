// The texts the user sees, through gettext's "sorlen" catalogues (glibc's libintl): the language
// LC_MESSAGES chooses (from LANG when nothing else is set) where a catalogue for it is found, the
// English source text otherwise. UI thread; the catalogues are bound once at start-up.
#pragma once

#include <QString>
#include <string>

// Binds the catalogues in <programFolder>/../share/locale: an installed bin/ and the build tree's
// app/ both have them there.
void BindTranslations(const std::string& programFolder);

// The translation of an English source text (UTF-8), or the text itself.
QString Tr(const char* text);

// Marks a text for the catalogue where it cannot be translated yet (before the catalogues are
// bound); Tr translates it where it is shown.
constexpr const char* TrNoop(const char* text) {
    return text;
}
