// SOCKS servers on 127.0.0.1 for tests, each with a private folder and configuration: dante
// (SOCKS 4 and 5 without authentication), microsocks (SOCKS 5 with a user name and password)
// and ssh -D. Both relay only to loopback addresses. Test thread only; each object stops its
// server when it goes.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/Nginx.h"
#include "tests/support/Process.h"
#include "tests/support/TempFolder.h"

class TDante {
public:
    TDante() = default;
    TDante(const TDante&) = delete;
    TDante& operator=(const TDante&) = delete;

    // Starts danted and waits until it listens; false when it did not come up (see Log).
    bool Start();
    std::string Log() const { return ReadFile(Folder.File("danted.log")); }
    std::string Port() const { return std::to_string(FPort); }
    int NumericPort() const { return FPort; }

private:
    TTempFolder Folder;
    TProcess Process;
    int FPort = 0;
};

class TMicrosocks {
public:
    TMicrosocks() = default;
    TMicrosocks(const TMicrosocks&) = delete;
    TMicrosocks& operator=(const TMicrosocks&) = delete;

    // Starts microsocks asking for User and Password and waits until it listens.
    bool Start(const std::string& User, const std::string& Password);
    std::string Port() const { return std::to_string(FPort); }
    int NumericPort() const { return FPort; }

private:
    TProcess Process;
    int FPort = 0;
};

// OpenSSH's dynamic forwarding (`ssh -D`) as a SOCKS 5 server without authentication: sshd on
// a loopback port, in a mount namespace of its own whose hosts file names FarName for
// 127.0.0.1, and ssh logged in to it with keys made here. FarName resolves only on the far side
// of the tunnel. Needs root (sshd).
class TSshSocks {
public:
    TSshSocks() = default;
    TSshSocks(const TSshSocks&) = delete;
    TSshSocks& operator=(const TSshSocks&) = delete;

    // Starts both and waits until the SOCKS port listens; false when either did not come up.
    bool Start(const std::string& FarName);
    std::string Port() const { return std::to_string(FPort); }

private:
    TTempFolder Folder;
    TProcess Sshd;
    TProcess Client;
    int FPort = 0;
};

// nginx serving kSocksPage as /hello.txt, dante without authentication and microsocks asking
// for alice / s3cret: the servers every SOCKS suite talks through.
inline constexpr const char* kSocksPage = "hello through socks";

struct TSocksRig {
    TNginx Nginx;
    TDante Dante;
    TMicrosocks Microsocks;

    ::testing::AssertionResult Start();
};
