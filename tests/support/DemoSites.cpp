#include "tests/support/DemoSites.h"

#include <unistd.h>

#include <cstdlib>

#include "tests/support/Loopback.h"

namespace {
const std::string Script = std::string(SORLEN_SOURCE_DIR) + "/tools/demo_sites.py";
}

TDemoSites::TDemoSites() {
    TProcessOptions options;
    options.StdinPipe = true;
    options.StdoutPipe = true;
    if (!Process.Start({"python3", Script, "--exit-with-stdin", "--tls-dir", TlsFolder.Path},
                       options))
        return;
    const std::string line = Process.ReadLine(10000);
    if (line.rfind("listening ", 0) == 0)
        FPort = std::atoi(line.substr(line.rfind(' ') + 1).c_str());
}

bool TDemoSites::Dump(const std::string& Url, const std::string& Path) {
    TProcess dump;
    if (!dump.Start({"python3", Script, "--dump", Url, Path})) return false;
    return dump.Succeeds(60000);
}

std::string TDemoSites::Log() const {
    std::string reply;
    int s = ConnectLoopback(FPort);
    if (s < 0) return reply;
    WriteAll(s, "GET http://demo-sites.test/log HTTP/1.0\r\n\r\n");
    reply = ReadUntilEof(s, 64 << 20);
    close(s);
    size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : reply.substr(body + 4);
}

TDemoSites* TDemoSitesTest::Demo = nullptr;

void TDemoSitesTest::SetUpTestSuite() {
    Demo = new TDemoSites;
}

void TDemoSitesTest::TearDownTestSuite() {
    delete Demo;
    Demo = nullptr;
}

void TDemoSitesTest::SetUp() {
    ASSERT_NE(Demo->NumericPort(), 0) << "demo-sites server did not start";
}

TUrlInfo TDemoSitesTest::ViaProxy(const std::string& Url, const std::string& File) {
    TUrlInfo r;
    r.Url = Url;
    r.ProxyAddress = "127.0.0.1";
    r.ProxyPort = Demo->Port();
    r.FileName = File;
    return r;
}
