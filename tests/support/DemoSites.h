// The demo-sites server (tools/demo_sites.py) for end-to-end tests: the three sites' pages and
// media and a byte-exact test host, answering as an HTTP proxy on a port it binds itself (port
// 0) and reports, with an https media host whose CA it makes in a folder of ours. Test thread
// only; the object stops the server when it goes.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/UiThread.h"
#include "settings/TUrlInfo.h"
#include "tests/support/Process.h"
#include "tests/support/TempFolder.h"

class TDemoSites {
public:
    TDemoSites();
    // "" when the server did not start.
    std::string Port() const { return FPort ? std::to_string(FPort) : std::string(); }
    int NumericPort() const { return FPort; }
    // The CA that signed the https media host's certificate, for SSL_CERT_FILE.
    std::string CaFile() const { return TlsFolder.File("ca.pem"); }
    // Writes the bytes the server sends for Url into Path (the script's own dump).
    static bool Dump(const std::string& Url, const std::string& Path);
    // The server's request log, read with a plain socket, not with the code under test.
    std::string Log() const;

private:
    TTempFolder TlsFolder;
    TProcess Process;
    int FPort = 0;
};

// Suites that talk to the demo-sites server: one server for the whole suite, and a queued UI
// thread of each test's own, which the test hands to the workers it starts.
class TDemoSitesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    // A request for Url through the server as a proxy, saved to File ("" keeps it in memory).
    static TUrlInfo ViaProxy(const std::string& Url, const std::string& File = "");

    static TDemoSites* Demo;
    TQueuedUiThread Ui;
};
