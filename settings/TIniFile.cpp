// INI lines kept in memory between Load and Save; see the header for the rules.
#include "settings/TIniFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/AsciiText.h"
#include "settings/uHelpers.h"

namespace {

// The file a chain of symbolic links ends at, so that saving replaces that file in its own
// folder and the links stay; the path itself when it is no link (or the chain is too long).
std::string LinkTarget(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(4096, '\0');
        const ssize_t n = readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size()) return path;
        target.resize(static_cast<size_t>(n));
        const size_t slash = path.rfind('/');
        path = (target[0] == '/' || slash == std::string::npos)
                   ? target
                   : path.substr(0, slash + 1) + target;
    }
    return path;
}

// "[name]" gives name; anything else nullopt. A missing "]" still names a section.
std::optional<std::string> SectionName(const std::string& line) {
    const std::string t = TrimBlanks(line);
    if (t.empty() || t[0] != '[') return std::nullopt;
    const size_t close = t.find(']');
    return TrimBlanks(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

bool SplitKeyLine(const std::string& line, std::string& key, std::string& value) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    key = TrimBlanks(line.substr(0, eq));
    value = TrimBlanks(line.substr(eq + 1));
    return true;
}

}  // namespace

std::optional<int32_t> ParseIniInteger(const std::string& text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 10) return std::nullopt;
        uint32_t v = 0;
        for (size_t i = 2; i < text.size(); ++i) {
            const int d = HexDigit(text[i]);
            if (d < 0) return std::nullopt;
            v = v * 16 + static_cast<uint32_t>(d);
        }
        return static_cast<int32_t>(v);
    }
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        v = v * 10 + (text[i] - '0');
        if (v > int64_t{INT32_MAX} + 1) return std::nullopt;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(v);
}

TIniFile::TIniFile(std::string path) : FilePath(std::move(path)) {}

bool TIniFile::Load() {
    Lines.clear();
    std::ifstream in(FilePath, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n' && text[i] != '\r') continue;
        Lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) Lines.push_back(text.substr(start));
    return true;
}

bool TIniFile::Save() const {
    std::string text;
    for (const std::string& line : Lines) {
        text += line;
        text += '\n';
    }
    const std::string target = LinkTarget(FilePath);
    std::string temp = target + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        if (n > 0) done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) unlink(temp.c_str());
    return ok;
}

std::optional<TIniFile::TRange> TIniFile::FindSection(const std::string& section) const {
    for (size_t i = 0; i < Lines.size(); ++i) {
        const auto name = SectionName(Lines[i]);
        if (!name || !EqualsNoCase(*name, section)) continue;
        size_t end = i + 1;
        while (end < Lines.size() && !SectionName(Lines[end])) ++end;
        return TRange{i + 1, end};
    }
    return std::nullopt;
}

std::optional<size_t> TIniFile::FindKey(const TRange& range, const std::string& key) const {
    std::string k;
    std::string v;
    for (size_t i = range.First; i < range.End; ++i) {
        if (SplitKeyLine(Lines[i], k, v) && EqualsNoCase(k, key)) return i;
    }
    return std::nullopt;
}

bool TIniFile::SectionExists(const std::string& section) const {
    return FindSection(section).has_value();
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
    return ReadRaw(section, key).has_value();
}

std::optional<std::string> TIniFile::ReadRaw(const std::string& section,
                                             const std::string& key) const {
    const auto range = FindSection(section);
    if (!range) return std::nullopt;
    const auto line = FindKey(*range, key);
    if (!line) return std::nullopt;
    std::string k;
    std::string v;
    SplitKeyLine(Lines[*line], k, v);
    if (v.size() > kMaxValue) v.resize(kMaxValue);
    return v;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
    return ReadRaw(section, key).value_or(def);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t def) const {
    const auto raw = ReadRaw(section, key);
    if (!raw) return def;
    return ParseIniInteger(*raw).value_or(def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
    const std::string line = key + "=" + value;
    auto range = FindSection(section);
    if (!range) {
        Lines.push_back("[" + section + "]");
        Lines.push_back(line);
        return true;
    }
    if (const auto at = FindKey(*range, key)) {
        Lines[*at] = line;
        return true;
    }
    // After the section's last non-blank line, so blank separators stay before the next section.
    size_t insert = range->End;
    while (insert > range->First && TrimBlanks(Lines[insert - 1]).empty()) --insert;
    Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(insert), line);
    return true;
}

bool TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
    return WriteString(section, key, std::to_string(value));
}

bool TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    return WriteString(section, key, value ? "1" : "0");
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
    const auto range = FindSection(section);
    if (!range) return;
    std::string k;
    std::string v;
    for (size_t i = range->End; i-- > range->First;) {
        if (SplitKeyLine(Lines[i], k, v) && EqualsNoCase(k, key)) {
            Lines.erase(Lines.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}
