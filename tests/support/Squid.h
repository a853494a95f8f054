// squid on 127.0.0.1 as a plain HTTP proxy without a disk cache, for tests, with a private
// folder and configuration to which callers add their own lines (proxy authentication, ACLs).
// Test thread only; the object stops squid and removes its folder when it goes.
#pragma once

#include <string>

#include "tests/support/Process.h"
#include "tests/support/TempFolder.h"

struct TSquidConfig {
    // Lines placed before the final "http_access allow all" (auth_param, acl, http_access ...).
    std::string Lines{};
    // Added to the http_port line after the address, e.g. " accel" for a server in front of
    // another (a cache_peer line in Lines names it).
    std::string PortOptions{};
};

class TSquid {
public:
    TSquid() = default;
    ~TSquid();
    TSquid(const TSquid&) = delete;
    TSquid& operator=(const TSquid&) = delete;

    // Files the configuration refers to (a password file for a helper), written before Start.
    void Write(const std::string& Name, const std::string& Content) const {
        Folder.Write(Name, Content);
    }
    std::string File(const std::string& Name) const { return Folder.File(Name); }

    // Starts squid and waits until it listens; false when it did not come up (its log is in
    // CacheLog).
    bool Start(const TSquidConfig& Config = {});
    std::string CacheLog() const { return ReadFile(Folder.File("cache.log")); }

    std::string Port() const { return std::to_string(FPort); }
    int NumericPort() const { return FPort; }

private:
    bool StartOn(int Port, const TSquidConfig& Config);

    TTempFolder Folder;
    TProcess Process;
    std::string ServiceName;
    int FPort = 0;
};

// Proxy authentication demanded of every request. Basic: basic_ncsa_auth against the password
// file "passwd" written into the squid's folder (lines "user:crypt-hash", as htpasswd makes
// them). NTLM: ntlm_fake_auth, which accepts any user and password once the three legs ran over
// one connection.
TSquidConfig SquidBasicAuth(const TSquid& Squid, const std::string& PasswordFile);
TSquidConfig SquidNtlmAuth();
