// The TLS layer against nginx serving certificates of a private CA that the test trusts through
// SSL_CERT_FILE: exchanges in both delivery modes and through dante, bodies read in small pieces,
// certificates refused for each reason, and servers that break off or do not speak TLS at all.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "net/TWSocket.h"
#include "net/tests/NetTestSupport.h"
#include "tests/support/Process.h"
#include "tests/support/SocksServers.h"
#include "tests/support/TestCa.h"

namespace {

// The CA and its trust last for the whole suite: making keys costs more than a test.
class SslSocket : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TEventLoop::Current();  // its descriptor lives on; not to be counted as a leak
        Ca = new TTestCa();
        Trust = new TTrustedCa(Ca->CaFile());
    }
    static void TearDownTestSuite() {
        delete Trust;
        delete Ca;
    }
    static TTestCa* Ca;
    static TTrustedCa* Trust;
};
TTestCa* SslSocket::Ca = nullptr;
TTrustedCa* SslSocket::Trust = nullptr;

// A TLS client that logs its session events and keeps what it read.
struct TSslClient {
    TWSocket S;
    std::vector<std::string> Lines;
    std::string Received;
    int Closed = 0;
    int ReadSize = 16384;
    std::string Request;
    std::string SocksPort;  // empty: a direct connection

    TSslClient() {
        S.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t E) {
            Lines.push_back("connected " + std::to_string(E));
            if (E == 0 && !Request.empty()) S.SendText(Request);
        };
        S.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) {
            std::string buf(static_cast<std::size_t>(ReadSize), '\0');
            int n = S.Receive(buf.data(), ReadSize);
            if (n > 0) Received.append(buf.data(), static_cast<std::size_t>(n));
        };
        S.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t E) {
            ++Closed;
            Lines.push_back("closed " + std::to_string(E));
        };
        S.SetSslEnable(true);
    }
    // Connects to 127.0.0.1:Port and runs the loop until the session has closed.
    bool Run(const std::string& Port) {
        if (!SocksPort.empty()) {
            S.SetSocksServer("127.0.0.1");
            S.SetSocksPort(SocksPort);
        }
        S.SetAddr("127.0.0.1");
        S.SetPort(Port);
        S.Connect();
        return WaitFor([&] { return Closed > 0; }, 20000);
    }
};

std::string Pattern(std::size_t Size) {
    std::string s(Size, '\0');
    for (std::size_t i = 0; i < Size; ++i)
        s[i] = i % 97 == 96 ? '\n' : static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

TEST_F(SslSocket, RequestsAndBodiesComeBackDecryptedInEveryReadingMode) {
    ASSERT_TRUE(Ca->Ok());
    TTestCert cert = Ca->Issue("IP:127.0.0.1,DNS:localhost");
    const std::string big = Pattern(3 << 20);
    TNginx nginx;
    nginx.Write("html/hello.txt", "hello over tls");
    nginx.Write("html/big.bin", big);
    ASSERT_TRUE(nginx.Start({.Server = NginxTlsLines(cert), .ListenOptions = " ssl"}))
        << nginx.ErrorLog();
    TDante dante;
    ASSERT_TRUE(dante.Start());

    struct Row {
        const char* Name;
        std::string HostName;  // empty: checked as the address 127.0.0.1
        bool LineMode;
        int ReadSize;
        std::string SocksPort;
    };
    const Row rows[] = {
        {"through a SOCKS 5 tunnel", "localhost", false, 1000, dante.Port()},
        {"by address", "", false, 16384, ""},
        {"by name, with SNI", "localhost", false, 16384, ""},
        {"line mode", "", true, 16384, ""},
        // Pieces far smaller than a record: the rest waits inside OpenSSL without a notice.
        {"small reads", "", false, 1000, ""},
        {"small reads, line mode", "localhost", true, 7, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        TProcessCounts before = CurrentCounts();
        {
            TSslClient c;
            c.S.SetSslHostName(row.HostName);
            c.S.SetLineMode(row.LineMode);
            c.S.SetLineEnd("\n");
            c.ReadSize = row.ReadSize;
            c.SocksPort = row.SocksPort;
            // Two requests on one connection: the second is sent from the first's answer.
            c.Request = "GET /hello.txt HTTP/1.1\r\nHost: localhost\r\n\r\n";
            c.S.OnDataSent = [&](TCustomWSocket*, std::uint16_t) {
                if (c.Request.empty()) return;
                c.Request.clear();
                c.S.SendText(
                    "GET /big.bin HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
            };
            ASSERT_TRUE(c.Run(nginx.Port()));
            EXPECT_EQ(c.Lines, (std::vector<std::string>{"connected 0", "closed 0"}));
            EXPECT_EQ(c.S.SslError(), 0) << c.S.SslErrorText();
            std::size_t first = c.Received.find("hello over tls");
            EXPECT_NE(first, std::string::npos);
            std::size_t body = c.Received.find("\r\n\r\n", first);
            ASSERT_NE(body, std::string::npos);
            EXPECT_TRUE(c.Received.compare(body + 4, std::string::npos, big) == 0)
                << "received " << c.Received.size() - body - 4 << " body bytes";
            EXPECT_EQ(c.S.HSocket(), -1);
        }
        TProcessCounts after = CountsBackTo(before);
        EXPECT_LE(after.Descriptors, before.Descriptors);
    }
}

TEST_F(SslSocket, CertificatesAreRefusedForEachReasonWithOneFailedConnect) {
    ASSERT_TRUE(Ca->Ok());
    TTestCa stranger("Stranger CA");
    ASSERT_TRUE(stranger.Ok());
    struct Row {
        const char* Name;
        TTestCert Cert;
        std::string HostName;
        int Error;
        const char* Phrase;
    };
    const Row rows[] = {
        {"another host", Ca->Issue("DNS:other.example"), "", sslCertificateWrongHost,
         "certificate is for another host"},
        {"another name", Ca->Issue("DNS:other.example"), "localhost", sslCertificateWrongHost,
         "certificate is for another host"},
        {"expired", Ca->Issue("IP:127.0.0.1", -1), "", sslCertificateExpired,
         "certificate expired"},
        {"untrusted CA", stranger.Issue("IP:127.0.0.1"), "", sslCertificateUntrusted,
         "certificate not trusted"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        ASSERT_FALSE(row.Cert.Cert.empty());
        TNginx nginx;
        ASSERT_TRUE(nginx.Start({.Server = NginxTlsLines(row.Cert), .ListenOptions = " ssl"}))
            << nginx.ErrorLog();
        TProcessCounts before = CurrentCounts();
        {
            TSslClient c;
            c.S.SetSslHostName(row.HostName);
            c.Request = "GET / HTTP/1.0\r\n\r\n";
            ASSERT_TRUE(c.Run(nginx.Port()));
            std::string code = std::to_string(row.Error);
            EXPECT_EQ(c.Lines, (std::vector<std::string>{"connected " + code, "closed " + code}));
            EXPECT_EQ(c.S.SslError(), row.Error);
            EXPECT_EQ(c.S.SslErrorText().rfind(row.Phrase, 0), 0u) << c.S.SslErrorText();
            EXPECT_EQ(c.Received, "");
        }
        TProcessCounts after = CountsBackTo(before);
        EXPECT_LE(after.Descriptors, before.Descriptors);
    }
}

TEST_F(SslSocket, ServersThatBreakOffOrDoNotSpeakTlsFailTheConnect) {
    struct Row {
        const char* Name;
        std::function<void(int)> Script;
        int Error;
        const char* Phrase;
    };
    const Row rows[] = {
        {"plain HTTP on the port",
         [](int Fd) {
             WaitReadable(Fd, 5000);
             WriteAll(Fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
             ReadUntilEof(Fd);
             close(Fd);
         },
         sslHandshakeFailed, "TLS handshake failed"},
        {"closed after the client hello",
         [](int Fd) {
             WaitReadable(Fd, 5000);
             close(Fd);
         },
         sslServerClosed, "server closed the connection during TLS handshake"},
        {"half a server hello, then closed",
         [](int Fd) {
             // The whole client hello is read first: closing with bytes unread would send a
             // reset, which may overtake the half hello.
             const std::string head = ReadExactly(Fd, 5);
             if (head.size() == 5)
                 ReadExactly(Fd, std::size_t(uint8_t(head[3])) << 8 | uint8_t(head[4]));
             WriteAll(Fd, std::string("\x16\x03\x03\x00\x40\x02\x00\x00", 8));
             close(Fd);
         },
         sslServerClosed, "server closed the connection during TLS handshake"},
        {"reset during the handshake",
         [](int Fd) {
             WaitReadable(Fd, 5000);
             ResetClose(Fd);
         },
         // The reset is met as the end of the stream by the read that comes first.
         sslServerClosed, "server closed the connection during TLS handshake"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        TProcessCounts before = CurrentCounts();
        {
            TScriptedServer server(row.Script);
            TSslClient c;
            ASSERT_TRUE(c.Run(server.Port()));
            std::string code = std::to_string(row.Error);
            EXPECT_EQ(c.Lines, (std::vector<std::string>{"connected " + code, "closed " + code}));
            EXPECT_EQ(c.S.SslErrorText().rfind(row.Phrase, 0), 0u) << c.S.SslErrorText();
            EXPECT_EQ(c.Received, "");
        }
        TProcessCounts after = CountsBackTo(before);
        EXPECT_LE(after.Descriptors, before.Descriptors);
    }
}

TEST_F(SslSocket, ASendMeetingAResetReportsOneClose) {
    // The send fails and closes the socket; the close alert must not be tried from inside it.
    TScriptedServer server([&](int Fd) {
        {
            TTlsServerSide tls(Fd, Ca->Issue("IP:127.0.0.1"));
            tls.ReadHeader();
        }
        ResetClose(Fd);
    });
    TSslClient c;
    c.Request = "ping\r\n\r\n";
    c.S.SetAddr("127.0.0.1");
    c.S.SetPort(server.Port());
    c.S.Connect();
    ASSERT_TRUE(WaitFor([&] { return !c.Lines.empty(); })) << "no handshake";
    ASSERT_EQ(c.Lines[0], "connected 0");
    // The reset has come when the socket turns readable; the loop must not see it first.
    ASSERT_TRUE(WaitReadable(c.S.HSocket(), 10000));
    c.S.SendText("more");
    EXPECT_TRUE(DrainLoop());
    EXPECT_EQ(c.Lines, (std::vector<std::string>{"connected 0", "closed 10054"}));
}

TEST_F(SslSocket, OwnerClosingDuringTheHandshakeGetsOnlyTheClose) {
    TScriptedServer server([](int Fd) {
        ReadUntilEof(Fd);
        close(Fd);
    });
    TSslClient c;
    c.S.OnChangeState = [&](TCustomWSocket*, TSocketState, TSocketState New) {
        if (New == wsConnected) c.S.CloseLater();
    };
    ASSERT_TRUE(c.Run(server.Port()));
    EXPECT_EQ(c.Lines, (std::vector<std::string>{"closed 0"}));
    EXPECT_FALSE(c.S.SslEstablished());
    // The socket is reusable without TLS.
    c.S.OnChangeState = nullptr;
    c.S.SetSslEnable(false);
    TScriptedServer plain([](int Fd) {
        WriteAll(Fd, "plain");
        close(Fd);
    });
    c.Lines.clear();
    c.Closed = 0;
    ASSERT_TRUE(c.Run(plain.Port()));
    EXPECT_EQ(c.Lines, (std::vector<std::string>{"connected 0", "closed 0"}));
    EXPECT_EQ(c.Received, "plain");
}

}  // namespace
