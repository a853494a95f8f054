// Text helpers of the site extractors; see SiteText.h.
#include "sites/SiteText.h"

#include <exception>
#include <vector>

#include "regex/TRegExpr.h"
#include "settings/uHelpers.h"
#include "sites/TVideo.h"

bool FindFirst(const std::string& expression, const std::string& text, std::string& match) {
    try {
        TRegExpr re;
        re.SetExpression(expression);
        if (!re.Exec(text)) return false;
        match = re.MatchText(0);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void ForEachMatch(const std::string& expression, const std::string& text,
                  const std::function<void(std::string)>& onMatch) {
    try {
        TRegExpr re;
        re.SetExpression(expression);
        for (bool hit = re.Exec(text); hit; hit = re.ExecNext()) onMatch(re.MatchText(0));
    } catch (const std::exception&) {
    }
}

std::string CrLfLines(std::string_view body) {
    std::vector<std::string> lines;
    SplitLines(lines, body);
    std::string text;
    text.reserve(body.size() + lines.size());
    for (const auto& line : lines) text.append(line).append("\r\n");
    return text;
}

void RemoveFirst(std::string& text, std::string_view what) {
    size_t at = text.find(what);
    if (at != std::string::npos) text.erase(at, what.size());
}

void RemoveAll(std::string& text, std::string_view what) {
    if (what.empty()) return;
    std::string out;
    out.reserve(text.size());
    size_t from = 0;
    for (size_t at; (at = text.find(what, from)) != std::string::npos; from = at + what.size())
        out.append(text, from, at - from);
    out.append(text, from, std::string::npos);
    text = std::move(out);
}

int DecimalTag(std::string_view text) {
    if (text.empty() || text.size() > 9) return -1;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool HasUnsafeByte(std::string_view url) {
    for (char c : url)
        if (static_cast<unsigned char>(c) <= ' ') return true;
    return false;
}

std::string FolderSafeTitle(std::string title) {
    if (!title.empty() && title.find_first_not_of('.') == std::string::npos)
        title.assign(title.size(), '_');
    return title;
}

std::string TitleFromMediaUrl(const std::string& mediaUrl) {
    std::string name = SplitUrl(mediaUrl).Path;
    size_t query = name.find('?');
    if (query != std::string::npos) name.erase(query);
    size_t slash = name.rfind('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);
    if (name.size() > 3 && name[name.size() - 4] == '.') name.erase(name.size() - 4);
    return FolderSafeTitle(name);
}
