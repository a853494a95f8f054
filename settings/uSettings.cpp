// Loading and saving Options through TIniFile, plus module initialisation.
#include "settings/uSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <type_traits>
#include <variant>

#include "platform/AsciiText.h"
#include "settings/TIniFile.h"
#include "settings/uCrypt.h"
#include "settings/uSystem.h"

TOptions Options;
std::string ProgramFolder;
bool AppStarted = false;

namespace {

constexpr const char* kOldPasswordKey = "ProxtPassword";

// The keys of section "Options" in the order they are written; the passwords are stored
// scrambled. Keys after LoadOnStart came later: files written before them simply lack them.
struct TSettingsKey {
    const char* Name;
    std::variant<bool TOptions::*, int32_t TOptions::*, std::string TOptions::*> Field;
    bool Scrambled = false;
};
const TSettingsKey kSettingsKeys[] = {
    {"ShowURL", &TOptions::ShowURL},
    {"Format", &TOptions::Format},
    {"SaveTo", &TOptions::SaveTo},
    {"CloseOnComplete", &TOptions::CloseOnComplete},
    {"UseProxy", &TOptions::UseProxy},
    {"ProxyAddress", &TOptions::ProxyAddress},
    {"ProxyPort", &TOptions::ProxyPort},
    {"ProxyUsername", &TOptions::ProxyUsername},
    {"ProxyPassword", &TOptions::ProxyPassword, true},
    {"MonitorClipboard", &TOptions::MonitorClipboard},
    {"LoadOnStart", &TOptions::LoadOnStart},
    {"UseSocks", &TOptions::UseSocks},
    {"SocksLevel", &TOptions::SocksLevel},
    {"SocksAddress", &TOptions::SocksAddress},
    {"SocksPort", &TOptions::SocksPort},
    {"SocksUsername", &TOptions::SocksUsername},
    {"SocksPassword", &TOptions::SocksPassword, true},
    {"NotifyWhenDone", &TOptions::NotifyWhenDone},
    {"StallTimeout", &TOptions::StallTimeout},
    {"RetryCount", &TOptions::RetryCount},
    {"Connections", &TOptions::Connections},
    {"SplitAboveKiB", &TOptions::SplitAboveKiB},
};

std::string ExecutableFolder() {
    std::string path(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size()) return std::string();
    path.resize(static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

std::string ConfigFolder() {
    return ConfigHome() + "/sorlen/";
}

// Set when a file that could not be read had to stay where it is: saving would overwrite it.
bool KeepUnreadableFile = false;

// Bytes no settings file of ours or a text editor's INI would hold: a NUL, a UTF-16 or UTF-32
// byte-order mark, or lines that are not all blank yet name no options section.
bool IsUnreadableSettings(const std::string& path, const TIniFile& ini) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string text = bytes.str();
    if (text.find('\0') != std::string::npos) return true;
    if (text.rfind("\xFF\xFE", 0) == 0 || text.rfind("\xFE\xFF", 0) == 0) return true;
    return !TrimBlanks(text).empty() && !ini.SectionExists(kSettingsSection);
}

// Moves the file out of the way under the first free name of "<path>.unreadable",
// "<path>.unreadable.1", ...; empty when it cannot be moved.
std::string SetAside(const std::string& path) {
    for (int n = 0; n < 100; ++n) {
        const std::string name =
            path + ".unreadable" + (n == 0 ? std::string() : "." + std::to_string(n));
        if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0)
            return name;
        // A file system without the no-replace flag still gets a checked plain rename.
        if (errno == EINVAL && access(name.c_str(), F_OK) != 0 &&
            rename(path.c_str(), name.c_str()) == 0)
            return name;
        if (errno != EEXIST && errno != EINVAL) break;
    }
    return std::string();
}

[[maybe_unused]] const bool initialised = (InitSettingsModule(), true);

}  // namespace

void InitSettingsModule() {
    Options = TOptions{};
    Options.SaveTo = GetDefaultSaveFolder();
    ProgramFolder = ExecutableFolder();
    AppStarted = false;
    KeepUnreadableFile = false;
}

std::string SettingsFilePath() {
    if (!ProgramFolder.empty() && access(ProgramFolder.c_str(), W_OK) == 0) {
        return ProgramFolder + kSettingsFileName;
    }
    return ConfigFolder() + kSettingsFileName;
}

TSettingsLoad LoadSettings() {
    const std::string path = SettingsFilePath();
    TIniFile ini(path);
    ini.Load();
    if (IsUnreadableSettings(path, ini)) {
        TSettingsLoad result{true, SetAside(path)};
        KeepUnreadableFile = result.KeptAs.empty();
        return result;
    }
    const std::string s = kSettingsSection;
    if (!ini.SectionExists(s)) return {};

    const TOptions def;
    for (const TSettingsKey& key : kSettingsKeys) {
        std::visit(
            [&](auto field) {
                using T = std::remove_reference_t<decltype(Options.*field)>;
                if constexpr (std::is_same_v<T, bool>)
                    Options.*field = ini.ReadBool(s, key.Name, def.*field);
                else if constexpr (std::is_same_v<T, int32_t>)
                    Options.*field = ini.ReadInteger(s, key.Name, def.*field);
                else
                    Options.*field = ini.ReadString(s, key.Name, def.*field);
            },
            key.Field);
    }
    if (ini.ValueExists(s, kOldPasswordKey)) {
        // Older builds misspelt the key; take its value once and drop it from the file.
        Options.ProxyPassword = ini.ReadString(s, kOldPasswordKey, def.ProxyPassword);
        ini.DeleteKey(s, kOldPasswordKey);
        ini.Save();
    }

    if (Options.SaveTo.empty()) Options.SaveTo = GetDefaultSaveFolder();
    for (const TSettingsKey& key : kSettingsKeys) {
        if (!key.Scrambled) continue;
        std::string& value = Options.*std::get<std::string TOptions::*>(key.Field);
        if (!value.empty()) value = DecryptSetting(value);
    }
    if (Options.SocksLevel == "4a") Options.SocksLevel = "4A";
    if (Options.SocksLevel != "4" && Options.SocksLevel != "4A")
        Options.SocksLevel = def.SocksLevel;
    // No limit at all would leave a dead connection on the screen for ever.
    if (Options.StallTimeout <= 0) Options.StallTimeout = def.StallTimeout;
    if (Options.RetryCount < 0) Options.RetryCount = def.RetryCount;
    // A hand-edited count beyond the range means as many (or as few) as allowed.
    Options.Connections = std::clamp(Options.Connections, kMinConnections, kMaxConnections);
    if (Options.SplitAboveKiB < 0) Options.SplitAboveKiB = def.SplitAboveKiB;
    return {};
}

bool SaveSettings() {
    if (KeepUnreadableFile) return false;
    const std::string path = SettingsFilePath();
    if (path.rfind(ConfigFolder(), 0) == 0) MakeFolders(ConfigFolder());
    TIniFile ini(path);
    ini.Load();
    const std::string s = kSettingsSection;
    for (const TSettingsKey& key : kSettingsKeys) {
        const bool written = std::visit(
            [&](auto field) {
                const auto& value = Options.*field;
                using T = std::remove_cvref_t<decltype(value)>;
                if constexpr (std::is_same_v<T, bool>)
                    return ini.WriteBool(s, key.Name, value);
                else if constexpr (std::is_same_v<T, int32_t>)
                    return ini.WriteInteger(s, key.Name, value);
                else
                    return ini.WriteString(s, key.Name,
                                           key.Scrambled ? EncryptSetting(value) : value);
            },
            key.Field);
        if (!written) return false;
    }
    return ini.Save();
}

int32_t StallMsFromOptions(const TOptions& Options) {
    constexpr int32_t kMaxSeconds = std::numeric_limits<int32_t>::max() / 1000;
    return std::clamp(Options.StallTimeout, 1, kMaxSeconds) * 1000;
}

TProxy ProxyFromOptions(const TOptions& Options) {
    TProxy proxy;
    if (Options.UseProxy) {
        proxy.Address = Options.ProxyAddress;
        proxy.Port = Options.ProxyPort;
        proxy.Username = Options.ProxyUsername;
        proxy.Password = Options.ProxyPassword;
    }
    if (Options.UseSocks) {
        proxy.SocksAddress = Options.SocksAddress;
        proxy.SocksPort = Options.SocksPort;
        proxy.SocksLevel = Options.SocksLevel;
        proxy.SocksUsername = Options.SocksUsername;
        proxy.SocksPassword = Options.SocksPassword;
    }
    return proxy;
}
