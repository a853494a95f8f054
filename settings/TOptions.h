// The program's options: one field per key of section "Options" in Settings.ini.
// A plain value; the UI thread owns the live copy (Options in uSettings.h), others get copies.
#pragma once

#include <cstdint>
#include <string>

// The range of TOptions::Connections.
constexpr int32_t kMinConnections = 1;
constexpr int32_t kMaxConnections = 16;

struct TOptions {
    bool ShowURL = false;
    int32_t Format = 0;  // YouTube quality: 0 normal (.flv), 1 best available (.mp4)
    std::string SaveTo;
    bool CloseOnComplete = false;
    bool UseProxy = false;
    std::string ProxyAddress;
    std::string ProxyPort;
    std::string ProxyUsername;
    std::string ProxyPassword;  // clear text in memory, scrambled in the file
    bool MonitorClipboard = false;
    bool LoadOnStart = false;
    // A SOCKS server every request goes through (an ssh -D tunnel, an onion router); it may
    // stand in front of the HTTP proxy. Level "4", "4A" or "5".
    bool UseSocks = false;
    std::string SocksLevel = "5";
    std::string SocksAddress;
    std::string SocksPort;
    std::string SocksUsername;
    std::string SocksPassword;  // clear text in memory, scrambled in the file like ProxyPassword
    // A download that ends while its window is not the active one is told by the desktop.
    bool NotifyWhenDone = true;
    // Seconds without a body byte after which a download counts its connection as lost.
    int32_t StallTimeout = 30;
    // Attempts in a row without a new byte after which a download gives up; 0: never again.
    int32_t RetryCount = 5;
    // Connections one download may open to its server.
    int32_t Connections = 4;
    // Files smaller than this (KiB) stay on one connection: opening more costs more than it gains.
    int32_t SplitAboveKiB = 8192;

    bool operator==(const TOptions&) const = default;
};
