// Text helpers shared by the site extractors: searches with TRegExpr, literal removals and
// the check that a media address is safe to put into a request line.
// Plain functions, safe on any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

// Searches text with expression (default modifiers); on a hit stores the whole match in
// match. Returns false on no hit, also when the engine refuses the pattern or the input.
bool FindFirst(const std::string& expression, const std::string& text, std::string& match);
// Calls onMatch with the whole match of every hit, in order.
void ForEachMatch(const std::string& expression, const std::string& text,
                  const std::function<void(std::string)>& onMatch);

// The lines of body, each ended by CR LF whatever break it had: the form the site expressions
// are written against.
std::string CrLfLines(std::string_view body);

void RemoveFirst(std::string& text, std::string_view what);
void RemoveAll(std::string& text, std::string_view what);
// The value of a decimal number such as "18"; -1 for anything else.
int DecimalTag(std::string_view text);
// A media address goes into a request line: one holding CR, LF, NUL, a blank or another
// control byte could smuggle a second line or split the request line.
bool HasUnsafeByte(std::string_view url);
// A title is proposed as a file name inside the chosen folder: one made only of dots ("." or
// "..") would name that folder or its parent, so its dots become "_".
std::string FolderSafeTitle(std::string title);
// The media file's name without its path, query and a 3-letter extension: the title that the
// DailyMotion and Blip.tv extractors propose.
std::string TitleFromMediaUrl(const std::string& mediaUrl);
