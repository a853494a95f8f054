// An address split into parts (SplitUrl) plus the request settings that travel with it to an
// HTTP worker thread. A plain value: the worker gets its own copy.
#pragma once

#include <cstdint>
#include <string>

// Scheme codes as the WinINet scheme enumeration numbers them; 0 means "not an absolute address".
constexpr int32_t urlSchemeUnknown = -1;
constexpr int32_t urlSchemeNone = 0;
constexpr int32_t urlSchemeFtp = 1;
constexpr int32_t urlSchemeGopher = 2;
constexpr int32_t urlSchemeHttp = 3;
constexpr int32_t urlSchemeHttps = 4;
constexpr int32_t urlSchemeFile = 5;

struct TUrlInfo {
    std::string Url;
    int32_t Scheme = urlSchemeNone;
    std::string Host;  // as written, case kept
    std::string Path;  // path and query, trimmed
    std::string ProxyAddress;
    std::string ProxyPort;
    std::string ProxyUserName;
    std::string ProxyPassword;
    std::string FileName;        // output file; empty = fetch the body into memory
    std::string Cookies;         // cookie header text for the request
    std::string SocksAddress{};  // empty: no SOCKS server
    std::string SocksPort{};
    std::string SocksLevel{};
    std::string SocksUserName{};
    std::string SocksPassword{};
    // A file download that loses its connection or gets a "try later" answer tries again: at
    // once after an attempt that brought bytes, else after RetryWaitMs, each wait twice the one
    // before, giving up after RetryCount such retries (0: no retry at all). No body byte for
    // StallMs counts as lost.
    int32_t RetryCount = 5;
    int32_t RetryWaitMs = 1000;
    int32_t StallMs = 30000;
    // More than 1: a file of at least SplitFrom bytes whose server takes ranges is fetched in
    // pieces over up to this many connections at once. 0 or 1: one connection.
    int32_t Connections = 0;
    int64_t SplitFrom = int64_t{8} << 20;

    bool operator==(const TUrlInfo&) const = default;
};
