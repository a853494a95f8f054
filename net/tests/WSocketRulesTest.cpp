// Socket pieces that need no peer: send blocks, error texts and mapping, resolution routines,
// property rules and the two error routes.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "net/TBuffer.h"
#include "net/TWSocket.h"
#include "net/WSocketErrors.h"
#include "net/tests/NetTestSupport.h"
#include "tests/support/Process.h"

namespace {

TEST(TBuffer, AppendPeekConsumeAndReuse) {
    TBuffer b(4);
    EXPECT_EQ(b.Append("abcdef", 6), 4);
    EXPECT_EQ(b.Append("x", 1), 0);
    int len = 0;
    const char* p = b.PeekData(len);
    ASSERT_EQ(len, 4);
    EXPECT_EQ(std::string(p, len), "abcd");
    b.Consume(3);
    p = b.PeekData(len);
    EXPECT_EQ(std::string(p, len), "d");
    b.Consume(100);  // more than is there: only what is unconsumed
    EXPECT_EQ(b.PeekData(len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(b.WrCount(), 0);  // reused from its start
    EXPECT_EQ(b.Append("xyz", 3), 3);
    p = b.PeekData(len);
    EXPECT_EQ(std::string(p, len), "xyz");
}

TEST(TBuffer, CapacityDefaultsAndKeepsWrittenBytes) {
    TBuffer b(0);
    EXPECT_EQ(b.Capacity(), 1514);
    b.SetCapacity(-5);
    EXPECT_EQ(b.Capacity(), 1514);
    b.Append("hello", 5);
    b.SetCapacity(10);
    int len;
    const char* p = b.PeekData(len);
    EXPECT_EQ(std::string(p, len), "hello");
    EXPECT_EQ(b.Append("0123456789", 10), 5);
}

TEST(SocketErrors, TextsAndTranslation) {
    struct Row {
        int Code;
        const char* Text;
    } rows[] = {{0, "No Error"},
                {10004, "Interrupted system call"},
                {10035, "Operation would block"},
                {10047, "Address family not supported by protocol family"},
                {10054, "Connection reset by peer"},
                {10058, "Can't send after socket shutdown"},
                {10061, "Connection refused"},
                {10071, "Too many levels of remote in path"},
                {10093, "WinSock not initialized"},
                {11001, "Host not found"},
                {11004, "No Data"},
                {20004, "SOCKS server refused the connection (general failure)"},
                {20015, "SOCKS authentication failed"},
                {20018, "SOCKS 4 cannot reach an IPv6 address; choose SOCKS 4A or 5"},
                {10000, "Not a WinSock error"},
                {-1, "Not a WinSock error"}};
    for (const Row& r : rows) EXPECT_EQ(ErrorDescription(r.Code), r.Text) << r.Code;

    struct Map {
        int Errno, Code;
    } maps[] = {{0, 0},
                {ECONNREFUSED, 10061},
                {ECONNRESET, 10054},
                {EPIPE, 10054},
                {ETIMEDOUT, 10060},
                {EAGAIN, 10035},
                {EINPROGRESS, 10035},
                {ENOTCONN, 10057},
                {EHOSTUNREACH, 10065},
                {EADDRINUSE, 10048},
                {EIO, 10022}};
    for (const Map& m : maps) EXPECT_EQ(WSocketErrorFromErrno(m.Errno), m.Code) << m.Errno;
    EXPECT_EQ(WSocketErrorFromGai(EAI_NONAME, 0), 11001);
    EXPECT_EQ(WSocketErrorFromGai(EAI_AGAIN, 0), 11002);
    EXPECT_EQ(WSocketErrorFromGai(EAI_FAIL, 0), 11003);
    EXPECT_EQ(WSocketErrorFromGai(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST(Resolution, DottedAddressRecognition) {
    struct Row {
        const char* Text;
        bool Dotted;
    } rows[] = {{"127.0.0.1", true},       {"  10.1.2.3  ", true},
                {"255.255.255.255", true}, {"0.0.0.0", true},
                {"256.1.1.1", false},      {"1.2.3.256", false},
                {"1.2.3", false},          {"1.2.3.4.5", false},
                {".1.2.3", false},         {"1..2.3", false},
                {"1.2.3.", false},         {"1.2.3.4x", false},
                {"1.2.3.4 x", false},      {"", false},
                {"localhost", false},      {"99999999999.1.1.1", false}};
    for (const Row& r : rows) EXPECT_EQ(IsDottedAddress(r.Text), r.Dotted) << r.Text;
}

std::string Thrown(const std::function<void()>& Fn) {
    try {
        Fn();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "(nothing)";
}

TEST(Resolution, RoutinesAndTheirTexts) {
    EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(WSocketResolveHost("localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(WSocketResolvePort("8080", "tcp"), 8080);
    EXPECT_EQ(WSocketResolvePort("80abc", "tcp"), 80);
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto(" UDP "), 17);
    EXPECT_EQ(WSocketResolveProto("raw"), 255);
    EXPECT_EQ(WSocketResolveProto("17"), 17);

    struct Row {
        std::function<void()> Call;
        std::string Text;
    } rows[] = {
        {[] { WSocketResolveHost(""); }, "WSocketResolveHost: '' Invalid Hostname."},
        {[] { WSocketResolveHost(std::string(257, 'a')); },
         "WSocketResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname."},
        {[] { WSocketResolveHost(kUnknownHost); },
         "WSocketResolveHost: Cannot convert host address '" + kUnknownHost + "', Error #11001"},
        {[] { WSocketResolvePort("", "tcp"); }, "WSocketResolvePort: Invalid Port."},
        {[] { WSocketResolvePort(std::string(32, '1'), "tcp"); },
         "WSocketResolvePort: Invalid Port."},
        {[] { WSocketResolvePort("70000", "tcp"); }, "WSocketResolvePort: Invalid Port."},
        {[] { WSocketResolvePort("80", ""); }, "WSocketResolvePort: Invalid Proto."},
        {[] { WSocketResolvePort("no-such-service", "tcp"); },
         "WSocketResolvePort: Cannot convert port 'no-such-service', Error #11004"},
        {[] { WSocketResolveProto(""); }, "WSocketResolveProto: Invalid Protocol."},
        {[] { WSocketResolveProto("nosuchproto"); },
         "WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004"},
    };
    for (const Row& r : rows) EXPECT_EQ(Thrown(r.Call), r.Text);
    EXPECT_FALSE(LocalHostName().empty());
}

TEST(WSocketProperties, DefaultsAndTrimming) {
    TWSocket s;
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.ListenBacklog(), 5);
    EXPECT_EQ(s.FlushTimeout(), 60);
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.SendFlags(), wsSendNormal);
    EXPECT_EQ(s.ReqVerLow(), 1);
    EXPECT_EQ(s.ReqVerHigh(), 1);
    EXPECT_EQ(s.PeerAddr(), "error");
    EXPECT_EQ(s.PeerPort(), "error");
    EXPECT_EQ(s.RcvdCount(), -1);
    s.SetAddr("  example.org ");
    EXPECT_EQ(s.Addr(), "example.org");
    s.SetLocalAddr("");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    s.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);
    EXPECT_EQ(Thrown([&] { s.SetSendFlags(static_cast<TSocketSendFlags>(7)); }),
              "Invalid SendFlags");
}

// Each row is an operation that fails on a fresh or connecting socket, with its text.
struct FailRow {
    const char* Name;
    std::function<void(TWSocket&)> Setup;
    std::function<void(TWSocket&)> Call;
    std::string Text;
    int LastError;
};

// Refused gives a port for the row that fails while connecting.
std::vector<FailRow> FailRows(const TRefusedPort& Refused) {
    auto connecting = [port = Refused.Port()](TWSocket& s) {
        s.SetAddr("127.0.0.1");
        s.SetPort(port);
        s.Connect();
    };
    auto none = [](TWSocket&) {};
    return {
        {"no port", none, [](TWSocket& s) { s.Connect(); }, "Connect: No Port Specified", 0},
        {"no addr", [](TWSocket& s) { s.SetPort("80"); }, [](TWSocket& s) { s.Connect(); },
         "Connect: No IP Address Specified", 0},
        {"no proto",
         [](TWSocket& s) {
             s.SetPort("80");
             s.SetAddr("127.0.0.1");
             s.SetProto("");
         },
         [](TWSocket& s) { s.Connect(); }, "Connect: No Protocol Specified", 0},
        {"bad addr",
         [](TWSocket& s) {
             s.SetPort("80");
             s.SetAddr(kUnknownHost);
         },
         [](TWSocket& s) { s.Connect(); },
         "connect: WSocketResolveHost: Cannot convert host address '" + kUnknownHost +
             "', Error #11001",
         0},
        {"in use", connecting, [](TWSocket& s) { s.Connect(); }, "Connect: Socket already in use",
         0},
        {"addr while open", connecting, [](TWSocket& s) { s.SetAddr("10.0.0.1"); },
         "Cannot change Addr if not closed", 0},
        {"port while open", connecting, [](TWSocket& s) { s.SetPort("1"); },
         "Cannot change Port if not closed", 0},
        {"proto while open", connecting, [](TWSocket& s) { s.SetProto("udp"); },
         "Cannot change Proto if not closed", 0},
        {"local addr while open", connecting, [](TWSocket& s) { s.SetLocalAddr("0.0.0.0"); },
         "Cannot change LocalAddr if not closed", 0},
        {"local port while open", connecting, [](TWSocket& s) { s.SetLocalPort("0"); },
         "Cannot change LocalPort if not closed", 0},
        {"send closed", none, [](TWSocket& s) { EXPECT_EQ(s.Send("x", 1), -1); },
         "Error 10057 in function Send\r\nSocket is not connected", 10057},
        {"bind",
         [](TWSocket& s) {
             s.SetAddr("127.0.0.1");
             s.SetPort("80");
             s.SetLocalAddr("192.0.2.1");  // not an address of this machine
         },
         [](TWSocket& s) { s.Connect(); }, "winsock.bind failed, error #10049", 0},
        {"dns empty", none, [](TWSocket& s) { s.DnsLookup(""); }, "DNS lookup: invalid host name.",
         0},
        {"reverse empty", none, [](TWSocket& s) { s.ReverseDnsLookup(""); },
         "ReverseDnsLookup: Invalid host name.", 0},
        {"reverse long", none, [](TWSocket& s) { s.ReverseDnsLookup(std::string(257, '1')); },
         "ReverseDnsLookup: Invalid host name.", 0},
        {"version", connecting, [](TWSocket& s) { s.SetReqVerLow(2); },
         "Error 10022 in function SetReqVerLow: WinSock version can't be changed now\r\n"
         "Invalid argument",
         10022},
    };
}

TEST(WSocketErrorsRoute, WithoutOnErrorEachFailureThrowsItsText) {
    const TRefusedPort refused;
    TEventLoop::Current();  // its wake-up descriptor is made on first use and kept
    const int before = OpenDescriptorCount();
    for (const FailRow& r : FailRows(refused)) {
        TWSocket s;
        r.Setup(s);
        EXPECT_EQ(Thrown([&] { r.Call(s); }), r.Text) << r.Name;
        if (r.LastError != 0) {
            EXPECT_EQ(s.LastError(), r.LastError) << r.Name;
        }
    }
    EXPECT_EQ(OpenDescriptorCount(), before);  // sockets left half-open by a failure were closed
}

TEST(WSocketErrorsRoute, WithOnErrorNothingThrowsAndTheHandlerRuns) {
    const TRefusedPort refused;
    for (const FailRow& r : FailRows(refused)) {
        TWSocket s;
        int errors = 0;
        s.OnError = [&](TCustomWSocket* Sender) {
            EXPECT_EQ(Sender, &s);
            ++errors;
        };
        r.Setup(s);
        EXPECT_EQ(Thrown([&] { r.Call(s); }), "(nothing)") << r.Name;
        // The resolution routine is the one error that always raises; it is caught in Connect
        // and comes back through the handler like the rest.
        EXPECT_EQ(errors, 1) << r.Name;
        if (r.LastError != 0) {
            EXPECT_EQ(s.LastError(), r.LastError) << r.Name;
        }
    }
}

TEST(WSocketErrorsRoute, EmptyLookupReportsInvalidArgumentAfterOnError) {
    TWSocket s;
    std::vector<std::string> order;
    s.OnError = [&](TCustomWSocket*) { order.push_back("error"); };
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t E) {
        order.push_back("dns " + std::to_string(E));
    };
    s.DnsLookup("");
    EXPECT_EQ(order, (std::vector<std::string>{"error", "dns 10022"}));
}

TEST(WSocketProperties, SameValueIsAcceptedWhileOpenAndCloseForgetsAddrAndPort) {
    TWSocket s;
    s.SetAddr("127.0.0.1");
    TRefusedPort refused;
    const std::string port = refused.Port();
    s.SetPort(port);
    s.Connect();
    EXPECT_EQ(s.State(), wsConnecting);
    EXPECT_NO_THROW(s.SetAddr(" 127.0.0.1"));
    EXPECT_NO_THROW(s.SetPort(port));
    s.Close();
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.HSocket(), -1);
    EXPECT_EQ(s.Addr(), "127.0.0.1");  // still readable, but no longer assigned
    EXPECT_EQ(Thrown([&] { s.Connect(); }), "Connect: No Port Specified");
}

TEST(WSocketPumping, DrainMessagesTurnsAQuitIntoTheTerminatedFlag) {
    TWSocket s;
    s.PumpMessages();
    EXPECT_FALSE(s.Terminated());
    TEventLoop::Current().Ref().PostQuit();
    s.SetMultiThreaded(true);
    s.PumpMessages();
    EXPECT_TRUE(s.Terminated());
    TEventLoop::Current().ResetTerminated();
}

}  // namespace
