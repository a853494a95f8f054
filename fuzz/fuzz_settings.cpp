// Feeds arbitrary bytes as Settings.ini through LoadSettings, and as a scrambled password, an
// address and a system proxy setting through their parsers.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "settings/uCrypt.h"
#include "settings/uHelpers.h"
#include "settings/uSettings.h"
#include "settings/uSystem.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = [] {
        char pattern[] = "/tmp/sorlen-fuzz-XXXXXX";
        return std::string(mkdtemp(pattern)) + "/";
    }();
    const std::string text(reinterpret_cast<const char*>(data), size);

    ProgramFolder = folder;
    if (FILE* f = std::fopen((folder + kSettingsFileName).c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    Options = TOptions{};
    LoadSettings();
    if (EncryptSetting(Options.ProxyPassword).size() % 48 != 0) __builtin_trap();

    DecryptSetting(text);
    const TUrlInfo info = SplitUrl(text);
    if (info.Url != text) __builtin_trap();
    if (CleanFileName(text).size() != size) __builtin_trap();
    ParseProxySetting(text);
    return 0;
}
