// Servers for the end-to-end tests, each on 127.0.0.1 with a port the kernel picks and a
// private folder: the demo-sites server (tools/demo_sites.py, also a proxy) and nginx serving
// files. Both stop when the object goes; a server that does not come up fails the test.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <string>

#include "platform/UiThread.h"
#include "settings/TUrlInfo.h"

class TTestProcess {
public:
    TTestProcess() = default;
    ~TTestProcess() { Stop(); }
    TTestProcess(const TTestProcess&) = delete;
    TTestProcess& operator=(const TTestProcess&) = delete;
    // Starts argv with a pipe on its standard input (closed by Stop) and returns the first
    // line it prints, or "" when none came within the time.
    std::string Start(const char* const argv[], int timeoutMs);
    void Stop();

private:
    pid_t FPid = -1;
    int FStdin = -1;
};

class TDemoSites {
public:
    TDemoSites();
    int Port = 0;  // 0 when the server did not start
    // Writes the bytes the server sends for url into path (the script's own dump).
    static bool Dump(const std::string& url, const std::string& path);
    // The server's request log.
    std::string Log() const;

private:
    TTestProcess FProcess;
};

// Suites that talk to the demo-sites server: one server for the whole suite, and a queued UI
// thread, set for each test, to which the workers report.
class TDemoSitesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;
    // A request for url through the server as a proxy, saved to file ("" keeps it in memory).
    static TUrlInfo ViaProxy(const std::string& url, const std::string& file = "");

    static TDemoSites* Demo;
    TQueuedUiThread Ui;
};

class TNginx {
public:
    // Serves the folder root; Port is 0 when nginx did not start.
    explicit TNginx(const std::string& root);
    ~TNginx();
    int Port = 0;

private:
    std::string FDir;
    TTestProcess FProcess;
};

// A fresh folder under /tmp, removed with everything in it.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    std::string operator/(const std::string& name) const { return Path + "/" + name; }
    std::string Path;
};

std::string ReadFile(const std::string& path);
// Open descriptors and threads of this process, for leak checks.
int OpenDescriptorCount();
int ThreadCount();
// Both counts once they have stopped changing for 200 ms (at most 3 s): workers and name
// lookups of earlier tests may still be on their way out.
struct TProcessCounts {
    int Descriptors = 0;
    int Threads = 0;
};
TProcessCounts SettledCounts();
