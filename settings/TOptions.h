// The program's options: one field per key of section "Options" in Settings.ini.
// A plain value; the UI thread owns the live copy (Options in uSettings.h), others get copies.
#pragma once

#include <cstdint>
#include <string>

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

    bool operator==(const TOptions&) const = default;
};
