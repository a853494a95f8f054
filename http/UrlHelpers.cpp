// URL splitting, Base64 and the HTTP date text (see UrlHelpers.h).
#include "http/UrlHelpers.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "platform/AsciiText.h"

namespace {

// The base up to and including its last "/", or "/" when it holds none.
std::string DirectoryOf(const std::string& base) {
    std::size_t slash = base.rfind('/');
    return slash == std::string::npos ? std::string("/") : base.substr(0, slash + 1);
}

bool IsSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Characters outside the alphabet are not rejected; they count as zero bits.
unsigned Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;
}

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days).
void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

void DecomposeUrl(const std::string& url, std::string& protocol, std::string& user,
                  std::string& password, std::string& host, std::string& port, std::string& path) {
    const std::string base = path;
    protocol.clear();
    user.clear();
    password.clear();
    host.clear();
    port.clear();
    path.clear();
    if (url.empty()) return;

    if (url.compare(0, 2, "./") == 0) {
        path = DirectoryOf(base) + url.substr(2);
        return;
    }
    if (url.compare(0, 3, "../") == 0) {
        std::string dir = DirectoryOf(base);
        std::string rest = url.substr(3);
        for (;;) {
            dir.pop_back();
            std::size_t slash = dir.rfind('/');
            dir = slash == std::string::npos ? std::string("/") : dir.substr(0, slash + 1);
            if (rest.compare(0, 3, "../") != 0) break;
            rest.erase(0, 3);
        }
        path = dir + rest;
        return;
    }

    std::size_t start = std::string::npos;  // where the authority begins
    std::size_t sep = url.find("://");
    if (sep != std::string::npos) {
        std::string scheme;
        bool valid = true;
        for (std::size_t i = 0; i < sep && valid; ++i) {
            char c = AsciiLower(url[i]);
            valid = IsSchemeChar(c);
            scheme += c;
        }
        if (valid) {
            protocol = scheme;
            start = sep + 3;
        } else {
            protocol = "http";
        }
    }
    if (start == std::string::npos) {
        if (url[0] == '/') {
            protocol = "http";
            if (url.size() > 1 && url[1] != '/') {
                path = url;
                return;
            }
            start = 1;
        } else if (StartsWithNoCase(url, "http:")) {
            protocol = "http";
            if (url.size() > 6 && url[6] != '/') {
                path = url.substr(5);
                return;
            }
            start = 6;
        } else if (StartsWithNoCase(url, "mailto:")) {
            protocol = "mailto";
            start = url.find(':') + 1;
        } else {
            start = 0;
        }
    }
    if (start > url.size()) start = url.size();

    std::size_t pathStart = url.find_first_of("/?", start);
    std::string authority;
    if (pathStart == std::string::npos) {
        authority = url.substr(start);
    } else {
        authority = url.substr(start, pathStart - start);
        path = url.substr(pathStart);
    }

    std::size_t colon = authority.rfind(':');
    std::size_t at = authority.rfind('@');
    // A colon inside an IPv6 literal ("[::1]") starts no port.
    const std::size_t bracket = authority.rfind(']');
    if (colon != std::string::npos && bracket != std::string::npos && colon < bracket &&
        (at == std::string::npos || bracket > at))
        colon = std::string::npos;
    if (colon == std::string::npos && at == std::string::npos) {
        host = authority;
        return;
    }
    if (colon != std::string::npos && (at == std::string::npos || colon > at)) {
        port = authority.substr(colon + 1);
        std::size_t hostStart = at == std::string::npos ? 0 : at + 1;
        host = authority.substr(hostStart, colon - hostStart);
        if (at == std::string::npos) return;
    } else {
        host = authority.substr(at + 1);
    }
    std::string userInfo = authority.substr(0, at);
    std::size_t split = userInfo.find(':');
    if (split == std::string::npos) {
        user = userInfo;
    } else {
        user = userInfo.substr(0, split);
        password = userInfo.substr(split + 1);
    }
}

std::size_t FindLast(const std::string& sub, const std::string& text) {
    if (sub.empty()) return 0;
    std::size_t pos = text.rfind(sub);
    return pos == std::string::npos ? 0 : pos + 1;
}

std::string UrlBaseOf(const std::string& url) {
    std::size_t end = url.find('?');
    if (end == std::string::npos) end = url.size();
    while (end > 0) {
        char c = url[end - 1];
        if (c == '/' || c == ':') return url.substr(0, end);
        --end;
    }
    return std::string();
}

void SetDocExtension(std::string& name, const std::string& ext) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) {
        name += '.';
    } else {
        name.erase(dot + 1);
    }
    name += ext;
}

TUriParts SplitUriReference(const std::string& Ref) {
    TUriParts u;
    std::string rest = Ref.substr(0, Ref.find('#'));
    // A scheme is letters, digits, "+", "-" and "." before the first ":", led by a letter.
    const std::size_t colon = rest.find(':');
    const std::size_t delim = rest.find_first_of("/?");
    if (colon != std::string::npos && colon > 0 && (delim == std::string::npos || colon < delim)) {
        std::string scheme;
        for (std::size_t i = 0; i < colon; ++i) scheme += AsciiLower(rest[i]);
        const bool valid = scheme[0] >= 'a' && scheme[0] <= 'z' &&
                           scheme.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789+-.") ==
                               std::string::npos;
        if (valid) {
            u.Scheme = scheme;
            rest.erase(0, colon + 1);
        }
    }
    if (rest.compare(0, 2, "//") == 0) {
        u.HasAuthority = true;
        const std::size_t end = rest.find_first_of("/?", 2);
        std::string authority = rest.substr(2, end == std::string::npos ? end : end - 2);
        rest.erase(0, end == std::string::npos ? rest.size() : end);
        const std::size_t at = authority.rfind('@');
        if (at != std::string::npos) {
            const std::string info = authority.substr(0, at);
            const std::size_t sep = info.find(':');
            u.User = info.substr(0, sep);
            if (sep != std::string::npos) u.Password = info.substr(sep + 1);
            authority.erase(0, at + 1);
        }
        // The port follows the last ":" unless that lies inside an IPv6 literal.
        const std::size_t portSep = authority.rfind(':');
        const std::size_t bracket = authority.rfind(']');
        if (portSep != std::string::npos && (bracket == std::string::npos || portSep > bracket)) {
            u.Port = authority.substr(portSep + 1);
            authority.erase(portSep);
        }
        u.Host = authority;
    }
    const std::size_t q = rest.find('?');
    u.Path = rest.substr(0, q);
    if (q != std::string::npos) {
        u.HasQuery = true;
        u.Query = rest.substr(q + 1);
    }
    return u;
}

std::string RemoveDotSegments(const std::string& Path) {
    std::string in = Path, out;
    auto dropLastSegment = [&out] {
        const std::size_t slash = out.rfind('/');
        out.erase(slash == std::string::npos ? 0 : slash);
    };
    while (!in.empty()) {
        if (in.compare(0, 3, "../") == 0) {
            in.erase(0, 3);
        } else if (in.compare(0, 2, "./") == 0) {
            in.erase(0, 2);
        } else if (in.compare(0, 3, "/./") == 0) {
            in.erase(0, 2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.compare(0, 4, "/../") == 0) {
            in.erase(0, 3);
            dropLastSegment();
        } else if (in == "/..") {
            in = "/";
            dropLastSegment();
        } else if (in == "." || in == "..") {
            in.clear();
        } else {
            const std::size_t next = in.find('/', 1);
            out += in.substr(0, next);
            in.erase(0, next == std::string::npos ? in.size() : next);
        }
    }
    return out;
}

TUriParts ResolveUriReference(const TUriParts& Base, const TUriParts& Ref) {
    TUriParts t;
    if (!Ref.Scheme.empty() || Ref.HasAuthority) {
        t = Ref;
        if (t.Scheme.empty()) t.Scheme = Base.Scheme;
        t.Path = RemoveDotSegments(Ref.Path);
        return t;
    }
    t = Base;
    if (Ref.Path.empty()) {
        if (Ref.HasQuery) {
            t.HasQuery = true;
            t.Query = Ref.Query;
        }
        return t;
    }
    t.HasQuery = Ref.HasQuery;
    t.Query = Ref.Query;
    if (Ref.Path[0] == '/') {
        t.Path = RemoveDotSegments(Ref.Path);
    } else if (Base.HasAuthority && Base.Path.empty()) {
        t.Path = RemoveDotSegments("/" + Ref.Path);
    } else {
        const std::size_t slash = Base.Path.rfind('/');
        const std::string dir =
            slash == std::string::npos ? std::string() : Base.Path.substr(0, slash + 1);
        t.Path = RemoveDotSegments(dir + Ref.Path);
    }
    return t;
}

std::string DecodeUserInfo(const std::string& Text) {
    std::string out;
    out.reserve(Text.size());
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '%' && i + 2 < Text.size() && IsHexChar(Text[i + 1]) &&
            IsHexChar(Text[i + 2])) {
            out += static_cast<char>(HexCharValue(Text[i + 1]) * 16 + HexCharValue(Text[i + 2]));
            i += 2;
        } else {
            out += Text[i];
        }
    }
    return out;
}

std::string EncodeUnsafeUrlBytes(const std::string& Text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(Text.size());
    for (char c : Text) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= ' ' || b >= 0x7F) {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

bool IsHexChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexCharValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return (c & 0x0F) + 9;
}

std::string EncodeBase64(const std::string& data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(data[i]) << 16) |
                     (static_cast<unsigned char>(data[i + 1]) << 8) |
                     static_cast<unsigned char>(data[i + 2]);
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += kBase64Alphabet[(v >> 6) & 63];
        out += kBase64Alphabet[v & 63];
    }
    std::size_t left = data.size() - i;
    if (left > 0) {
        unsigned v = static_cast<unsigned char>(data[i]) << 16;
        if (left == 2) v |= static_cast<unsigned char>(data[i + 1]) << 8;
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += left == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string DecodeBase64(const std::string& text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    for (std::size_t i = 0; i + 1 < text.size(); i += 4) {
        std::size_t have = text.size() - i < 4 ? text.size() - i : 4;
        unsigned c0 = Base64Value(text[i]);
        unsigned c1 = Base64Value(text[i + 1]);
        out += static_cast<char>((c0 << 2) | (c1 >> 4));
        if (have < 3 || text[i + 2] == '=') continue;
        unsigned c2 = Base64Value(text[i + 2]);
        out += static_cast<char>(((c1 & 15) << 4) | (c2 >> 2));
        if (have < 4 || text[i + 3] == '=') continue;
        unsigned c3 = Base64Value(text[i + 3]);
        out += static_cast<char>(((c2 & 3) << 6) | c3);
    }
    return out;
}

std::string FormatHttpDate(double dateTime) {
    static const char kDays[] = "MonTueWedThuFriSatSun";
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (!std::isfinite(dateTime) || std::fabs(dateTime) > 1e8) dateTime = 0;
    // The whole part counts days; the fraction's magnitude is the time of day even for dates
    // before 1899-12-30, as the date-time type defines it.
    double whole = std::trunc(dateTime);
    std::int64_t millis = std::llround(std::fabs(dateTime - whole) * 86400000.0);
    if (millis >= 86400000) millis = 86399999;
    std::int64_t days = static_cast<std::int64_t>(whole) - 25569;  // 1899-12-30 to 1970-01-01
    int year = 0, month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    int weekday = static_cast<int>(((days + 3) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
    int seconds = static_cast<int>(millis / 1000);
    char text[64];
    std::snprintf(text, sizeof text, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d",
                  kDays + 3 * weekday, day, kMonths + 3 * (month - 1), year, seconds / 3600,
                  seconds / 60 % 60, seconds % 60);
    return text;
}
