// The socket through real SOCKS servers to nginx: dante at levels 4 and 5 without
// authentication (a name resolved by dante, not here), microsocks at level 5 with a user name
// and password, and a wrong password.
#include <gtest/gtest.h>

#include <string>

#include "net/TWSocket.h"
#include "tests/support/LoopWait.h"
#include "tests/support/SocksServers.h"

namespace {

struct TFetch {
    TWSocket S;
    std::string Reply;
    int SocksError = 0;
    int Connected = -1;
    int Closed = -1;

    TFetch(const std::string& SocksPort, const std::string& Level, const std::string& User,
           const std::string& Password, const std::string& NginxPort, const std::string& Host) {
        S.OnSocksError = [this](TCustomWSocket*, int E, const std::string&) { SocksError = E; };
        S.OnSessionConnected = [this](TCustomWSocket* Sender, std::uint16_t E) {
            Connected = E;
            if (E == 0) Sender->SendText("GET /hello.txt HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        };
        S.OnDataAvailable = [this](TCustomWSocket* Sender, std::uint16_t) {
            Reply += Sender->ReceiveText();
        };
        S.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t E) { Closed = E; };
        S.SetSocksServer("127.0.0.1");
        S.SetSocksPort(SocksPort);
        S.SetSocksLevel(Level);
        S.SetSocksUsercode(User);
        S.SetSocksPassword(Password);
        S.SetSocksAuthentication(User.empty() ? socksNoAuthentication : socksAuthenticateUsercode);
        S.SetAddr(Host);
        S.SetPort(NginxPort);
        S.Connect();
    }
};

TEST(SocksLive, RealServersRelayToNginx) {
    TSocksRig rig;
    ASSERT_TRUE(rig.Start());
    const std::string dante = rig.Dante.Port(), microsocks = rig.Microsocks.Port();

    struct Row {
        const char* Name;
        std::string Port, Level, User, Password;
        int Error;
        std::string Host = "127.0.0.1";
    } rows[] = {
        {"dante, socks 5", dante, "5", "", "", 0},
        {"dante, socks 5, the name resolved by dante", dante, "5", "", "", 0, "localhost"},
        {"dante, socks 4", dante, "4", "", "", 0},
        {"microsocks, socks 5 with password", microsocks, "5", "alice", "s3cret", 0},
        {"microsocks, wrong password", microsocks, "5", "alice", "wrong", 20015},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        const std::uint64_t lookups = WSocketNameLookups();
        TFetch f(r.Port, r.Level, r.User, r.Password, rig.Nginx.Port(), r.Host);
        ASSERT_TRUE(WaitFor([&] { return f.Closed >= 0; }));
        EXPECT_EQ(WSocketNameLookups(), lookups);
        EXPECT_EQ(f.SocksError, r.Error);
        EXPECT_EQ(f.Connected, r.Error);
        EXPECT_EQ(f.Closed, r.Error);
        if (r.Error == 0) {
            EXPECT_EQ(f.Reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << f.Reply;
            EXPECT_NE(f.Reply.find(std::string("\r\n\r\n") + kSocksPage), std::string::npos)
                << f.Reply;
        }
    }
}

}  // namespace
