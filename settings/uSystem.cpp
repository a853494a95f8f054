// XDG and environment lookups behind the documents folder, proxy and autostart entry.
#include "settings/uSystem.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/AsciiText.h"
#include "settings/uHelpers.h"

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The value of key (XDG_DOCUMENTS_DIR=) in user-dirs.dirs: "$HOME/..." or an absolute path,
// quoted.
std::string UserDirsFolder(const std::string& home, const std::string& prefix) {
    std::ifstream in(ConfigHome() + "/user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        line = TrimBlanks(line);
        if (line.rfind(prefix, 0) != 0) continue;
        std::string value = line.substr(prefix.size());
        if (value.size() < 2 || value.front() != '"' || value.back() != '"') return std::string();
        value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
        if (value.empty() || value[0] != '/') return std::string();
        while (value.size() > 1 && value.back() == '/') value.pop_back();
        // A folder equal to home means the user switched it off.
        return value == home ? std::string() : value;
    }
    return std::string();
}

// Desktop entry Exec quoting: the path in double quotes with " ` $ \ escaped, then the file
// format's own escaping of backslashes; "%" doubled because Exec expands field codes.
std::string QuoteExec(const std::string& path) {
    std::string quoted = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string out;
    for (const char c : quoted) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '%') {
            out += "%%";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string ConfigHome() {
    const std::string xdg = Env("XDG_CONFIG_HOME");
    if (!xdg.empty() && xdg[0] == '/') return xdg;
    return Env("HOME") + "/.config";
}

std::string StateHome() {
    const std::string xdg = Env("XDG_STATE_HOME");
    if (!xdg.empty() && xdg[0] == '/') return xdg;
    return Env("HOME") + "/.local/state";
}

void MakeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0700);
}

std::string GetDocumentsFolder() {
    const std::string home = Env("HOME");
    const std::string fromUserDirs = UserDirsFolder(home, "XDG_DOCUMENTS_DIR=");
    if (!fromUserDirs.empty()) return fromUserDirs;
    if (!home.empty() && IsFolder(home + "/Documents")) return home + "/Documents";
    return std::string();
}

std::string GetDefaultSaveFolder() {
    const std::string documents = GetDocumentsFolder();
    if (IsFolder(documents)) return documents;
    const std::string home = Env("HOME");
    std::string downloads = UserDirsFolder(home, "XDG_DOWNLOAD_DIR=");
    if (downloads.empty() && !home.empty()) downloads = home + "/Downloads";
    if (IsFolder(downloads)) return downloads;
    return home;
}

TSystemProxy ParseProxySetting(const std::string& setting) {
    std::string text = TrimBlanks(setting);
    const size_t scheme = text.find("://");
    if (scheme != std::string::npos) text.erase(0, scheme + 3);
    text = text.substr(0, text.find('/'));
    const size_t at = text.rfind('@');
    if (at != std::string::npos) text.erase(0, at + 1);

    TSystemProxy result;
    if (!text.empty() && text[0] == '[') {
        // An IPv6 literal keeps its colons; the port follows the bracket.
        const size_t close = text.find("]:");
        if (close == std::string::npos) return result;
        result.Host = text.substr(1, close - 1);
        result.Port = text.substr(close + 2);
    } else {
        const size_t colon = text.find(':');
        if (colon == std::string::npos) return result;
        result.Host = text.substr(0, colon);
        result.Port = text.substr(colon + 1);
    }
    result.Found = !result.Host.empty() && !result.Port.empty();
    if (!result.Found) result = TSystemProxy{};
    return result;
}

TSystemProxy FindSystemProxy(int kind) {
    std::string setting;
    if (kind == kProxyHttp) {
        setting = Env("http_proxy");
        if (TrimBlanks(setting).empty()) setting = Env("HTTP_PROXY");
    } else if (kind == kProxyFtp) {
        setting = Env("ftp_proxy");
        if (TrimBlanks(setting).empty()) setting = Env("FTP_PROXY");
    }
    return ParseProxySetting(setting);
}

// Level 5 always hands names to the server: socks5:// gets no local lookup of its own, which
// would leak the name and needs a level the settings file does not have.
TSystemSocksProxy ParseSocksSetting(const std::string& setting) {
    static const std::pair<const char*, const char*> kSchemes[] = {
        {"socks5://", "5"}, {"socks5h://", "5"}, {"socks4://", "4"}, {"socks4a://", "4A"}};
    const std::string text = TrimBlanks(setting);
    const std::size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string::npos) return {};
    const std::string head = AsciiLower(text.substr(0, schemeEnd + 3));
    for (const auto& [scheme, level] : kSchemes) {
        if (head != scheme) continue;
        const TSystemProxy server = ParseProxySetting(text);
        if (!server.Found) break;
        return {true, level, server.Host, server.Port};
    }
    return {};
}

TSystemSocksProxy FindSystemSocksProxy() {
    std::string setting = Env("all_proxy");
    if (TrimBlanks(setting).empty()) setting = Env("ALL_PROXY");
    return ParseSocksSetting(setting);
}

std::string AutostartEntryPath(const std::string& name) {
    return ConfigHome() + "/autostart/" + name + ".desktop";
}

bool SetRunAtStartup(const std::string& name, const std::string& data) {
    if (name.empty() || name.find('/') != std::string::npos) return false;
    const std::string path = AutostartEntryPath(name);
    if (data.empty()) return unlink(path.c_str()) == 0 || errno == ENOENT;
    if (data.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;

    const std::string folder = ConfigHome() + "/autostart";
    mkdir(ConfigHome().c_str(), 0700);
    mkdir(folder.c_str(), 0700);
    const std::string temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << "[Desktop Entry]\n"
            << "Type=Application\n"
            << "Name=" << name << "\n"
            << "Exec=" << QuoteExec(data) << "\n"
            << "X-GNOME-Autostart-enabled=true\n";
        out.flush();
        if (!out) {
            unlink(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string GetSystemCookies(const std::string&) {
    return std::string();
}
