// nginx on 127.0.0.1 (or [::1]) for tests, with a private folder and configuration. The test binds
// the listening socket itself (port 0) and hands it to nginx, so the port is never free in between.
// Callers add their own configuration lines (authentication, TLS, locations). Test thread only;
// the object stops nginx and removes its folder when it goes.
#pragma once

#include <string>

#include "tests/support/Process.h"
#include "tests/support/TempFolder.h"

struct TNginxConfig {
    // The folder served; empty serves the private folder's "html" (see Write).
    std::string Root{};
    // Lines added inside server { } (locations, auth_basic, ssl_certificate ...).
    std::string Server{};
    // Lines added inside http { }.
    std::string Http{};
    // Added to the listen line after the address, e.g. " ssl".
    std::string ListenOptions{};
    // Listens on [::1] instead of 127.0.0.1.
    bool Ipv6 = false;
};

class TNginx {
public:
    TNginx() = default;
    ~TNginx();
    TNginx(const TNginx&) = delete;
    TNginx& operator=(const TNginx&) = delete;

    // Files for the configuration or the default root ("html/a.txt", "users.htpasswd"), written
    // before Start; File gives the absolute path of one.
    void Write(const std::string& Name, const std::string& Content) const {
        Folder.Write(Name, Content);
    }
    std::string File(const std::string& Name) const { return Folder.File(Name); }

    // Starts nginx and waits until it answers; false (with its error log kept in ErrorLog) when
    // it did not come up.
    bool Start(const TNginxConfig& Config = {});
    std::string ErrorLog() const { return ReadFile(Folder.File("error.log")); }

    std::string Port() const { return std::to_string(FPort); }
    int NumericPort() const { return FPort; }
    std::string Url(const std::string& Path) const {
        return std::string(FIpv6 ? "http://[::1]:" : "http://127.0.0.1:") + std::to_string(FPort) +
               Path;
    }

private:
    TTempFolder Folder;
    TProcess Process;
    int FPort = 0;
    bool FIpv6 = false;
};
