// The engine through SOCKS servers on 127.0.0.1: dante at levels 4 and 5, microsocks with a
// user name and password (and a wrong one), squid reached through dante, and the empty default
// level that the socket refuses while the request still goes ahead.
#include <gtest/gtest.h>

#include <string>

#include "http/THttpCli.h"
#include "http/TStream.h"
#include "tests/support/LoopWait.h"
#include "tests/support/SocksServers.h"
#include "tests/support/Squid.h"

namespace {

TEST(EngineSocks, RequestsThroughSocksServers) {
    TSocksRig rig;
    ASSERT_TRUE(rig.Start());
    const std::string dante = rig.Dante.Port(), microsocks = rig.Microsocks.Port();
    TSquid squid;
    ASSERT_TRUE(squid.Start()) << squid.CacheLog();

    struct Row {
        const char* Name;
        std::string SocksPort, Level, User, Password;
        bool ViaSquid;
        int Error;  // of the SOCKS negotiation and of the request; 0 = the page arrived
        int SocketErrors;
        std::string Host = "";  // empty: nginx's own 127.0.0.1
    } rows[] = {
        {"dante, socks 5", dante, "5", "", "", false, 0, 0},
        {"dante, socks 5, the name resolved by dante", dante, "5", "", "", false, 0, 0,
         "localhost"},
        {"dante, socks 4", dante, "4", "", "", false, 0, 0},
        {"microsocks with password", microsocks, "5", "alice", "s3cret", false, 0, 0},
        {"squid reached through dante", dante, "5", "", "", true, 0, 0},
        {"microsocks, wrong password", microsocks, "5", "alice", "wrong", false, 20015, 0},
        {"no socks server, empty level", "", "", "", "", false, 0, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        THttpCli cli;
        TMemoryStream body;
        cli.ReceiveStream = &body;
        cli.URL = r.Host.empty() ? rig.Nginx.Url("/hello.txt")
                                 : "http://" + r.Host + ":" + rig.Nginx.Port() + "/hello.txt";
        if (r.ViaSquid) {
            cli.Proxy = "127.0.0.1";
            cli.ProxyPort = squid.Port();
        }
        cli.SocksServer = r.SocksPort.empty() ? "" : "127.0.0.1";
        cli.SocksPort = r.SocksPort;
        cli.SocksLevel = r.Level;
        cli.SocksUsercode = r.User;
        cli.SocksPassword = r.Password;
        cli.SocksAuthentication =
            r.User.empty() ? socksNoAuthentication : socksAuthenticateUsercode;
        int socksConnected = -1, socksError = 0, socketErrors = 0, done = 0;
        cli.OnSocksConnected = [&](THttpCli*, std::uint16_t E) { socksConnected = E; };
        cli.OnSocksError = [&](THttpCli*, std::int32_t E, const std::string&) { socksError = E; };
        cli.OnSocketError = [&](THttpCli*) { ++socketErrors; };
        cli.OnRequestDone = [&](THttpCli*, THttpRequest, std::uint16_t) { ++done; };
        const std::uint64_t lookups = WSocketNameLookups();
        cli.StartRequest(httpGET);
        ASSERT_TRUE(WaitFor([&] { return done > 0; }));
        // Through SOCKS 5 the name goes to the server, never to this machine's resolver.
        if (r.Level == "5") {
            EXPECT_EQ(WSocketNameLookups(), lookups);
        }
        EXPECT_EQ(socksConnected, r.SocksPort.empty() ? -1 : 0);
        EXPECT_EQ(socksError, r.Error);
        EXPECT_EQ(socketErrors, r.SocketErrors);
        EXPECT_EQ(cli.RequestError(), r.Error);
        if (r.Error == 0) {
            EXPECT_EQ(cli.StatusCode(), 200);
            EXPECT_EQ(body.Data(), kSocksPage);
        } else {
            EXPECT_EQ(cli.StatusCode(), 404);
            EXPECT_EQ(body.Data(), "");
        }
    }
}

}  // namespace
