// SplitUrl, CleanFileName and the small text helpers.
#include "settings/uHelpers.h"

#include <array>
#include <cstring>
#include <utility>

#include "platform/AsciiText.h"

namespace {

// Each field of the proxy record beside the request's field that carries it: the one list both
// directions read.
using TProxyField = std::pair<std::string TProxy::*, std::string TUrlInfo::*>;
constexpr TProxyField kHttpProxyFields[] = {
    {&TProxy::Address, &TUrlInfo::ProxyAddress},
    {&TProxy::Port, &TUrlInfo::ProxyPort},
    {&TProxy::Username, &TUrlInfo::ProxyUserName},
    {&TProxy::Password, &TUrlInfo::ProxyPassword},
};
constexpr TProxyField kSocksFields[] = {
    {&TProxy::SocksAddress, &TUrlInfo::SocksAddress},
    {&TProxy::SocksPort, &TUrlInfo::SocksPort},
    {&TProxy::SocksLevel, &TUrlInfo::SocksLevel},
    {&TProxy::SocksUsername, &TUrlInfo::SocksUserName},
    {&TProxy::SocksPassword, &TUrlInfo::SocksPassword},
};

bool IsSchemeChar(char c, bool first) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first) return alpha;
    return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

int32_t SchemeCode(const std::string& name) {
    static constexpr std::array<std::pair<const char*, int32_t>, 5> kSchemes = {{
        {"ftp", urlSchemeFtp},
        {"gopher", urlSchemeGopher},
        {"http", urlSchemeHttp},
        {"https", urlSchemeHttps},
        {"file", urlSchemeFile},
    }};
    const std::string lower = AsciiLower(name);
    for (const auto& [text, code] : kSchemes) {
        if (lower == text) return code;
    }
    return urlSchemeUnknown;
}

}  // namespace

TUrlInfo SplitUrl(const std::string& text) {
    TUrlInfo info;
    info.Url = text;
    const size_t sep = text.find("://");
    if (sep == std::string::npos || sep == 0) return info;
    for (size_t i = 0; i < sep; ++i) {
        if (!IsSchemeChar(text[i], i == 0)) return info;
    }
    const size_t authorityStart = sep + 3;
    size_t pathStart = text.find('/', authorityStart);
    if (pathStart == std::string::npos) pathStart = text.size();
    std::string authority = text.substr(authorityStart, pathStart - authorityStart);
    // user:password@ is not part of the host; the password may itself hold ":".
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    const size_t colon = authority.find(':');
    if (colon == 0 || authority.empty()) return info;
    info.Host = authority.substr(0, colon);
    info.Scheme = SchemeCode(text.substr(0, sep));
    info.Path = TrimBlanks(text.substr(pathStart));
    return info;
}

void ApplyProxy(const TProxy& Proxy, TUrlInfo& Request) {
    if (!Proxy.Address.empty()) {
        for (const auto& [proxy, request] : kHttpProxyFields) Request.*request = Proxy.*proxy;
    }
    if (!Proxy.SocksAddress.empty()) {
        for (const auto& [proxy, request] : kSocksFields) Request.*request = Proxy.*proxy;
    }
}

TProxy RequestProxy(const TUrlInfo& Request) {
    TProxy Proxy;
    for (const auto& [proxy, request] : kHttpProxyFields) Proxy.*proxy = Request.*request;
    for (const auto& [proxy, request] : kSocksFields) Proxy.*proxy = Request.*request;
    return Proxy;
}

std::string CleanFileName(const std::string& text) {
    static constexpr char kBad[] = "\\|/?><:\"*";
    std::string out = text;
    for (char& c : out) {
        if (c == '\0' || std::strchr(kBad, c) != nullptr) c = '_';
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
