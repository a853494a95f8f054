// The desktop's per-user settings as Linux keeps them: the documents folder (XDG user dirs),
// the proxy (http_proxy / ftp_proxy, and a SOCKS server in all_proxy), the programs started at
// log-on (XDG autostart) and the browser's cookie store (none). Called on the UI thread; each
// call reads or writes the files anew.
#pragma once

#include <string>

// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
std::string ConfigHome();
// $XDG_STATE_HOME when it is an absolute path, else ~/.local/state.
std::string StateHome();
// mkdir -p of every folder above path's last "/", for the user alone; a failure shows up when
// the file is written.
void MakeFolders(const std::string& path);

// XDG_DOCUMENTS_DIR from user-dirs.dirs, else ~/Documents when it exists, else empty.
std::string GetDocumentsFolder();
// Where downloads go unless the user chose: the documents folder when it exists, else the XDG
// download folder (XDG_DOWNLOAD_DIR, else ~/Downloads) when it exists, else the home folder.
std::string GetDefaultSaveFolder();

struct TSystemProxy {
    bool Found = false;
    std::string Host;
    std::string Port;
};

constexpr int kProxyHttp = 1;
constexpr int kProxyFtp = 2;

// kind 1 reads http_proxy (or HTTP_PROXY), kind 2 ftp_proxy (or FTP_PROXY); any other kind finds
// nothing. Found only for a setting of the form [scheme://][user:password@]host:port[/...].
TSystemProxy FindSystemProxy(int kind);
// The same reading applied to a setting's text, for callers that already have it.
TSystemProxy ParseProxySetting(const std::string& setting);

struct TSystemSocksProxy {
    bool Found = false;
    std::string Level;  // "4", "4A" or "5"
    std::string Host;
    std::string Port;
};

// all_proxy (or ALL_PROXY) when it names a SOCKS server: socks5:// and socks5h:// give level
// "5", socks4:// "4", socks4a:// "4A" (any case); the rest reads as for FindSystemProxy.
TSystemSocksProxy FindSystemSocksProxy();
TSystemSocksProxy ParseSocksSetting(const std::string& setting);

// Writes (non-empty data: the program's path) or removes (empty data) the autostart entry
// $XDG_CONFIG_HOME/autostart/<name>.desktop. False when the entry cannot be written or removed.
bool SetRunAtStartup(const std::string& name, const std::string& data);
// Path of the autostart entry for name.
std::string AutostartEntryPath(const std::string& name);

// The system browser's cookies for address, read by the extractors and the download window.
// Linux has no shared cookie store: always empty.
std::string GetSystemCookies(const std::string& address);
