// SOCKS 4, 4A and 5 negotiations against a scripted peer: the exact bytes asked for, replies
// fed whole and byte by byte, every reply code, closes at every byte, and the settings rules.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "net/TWSocket.h"
#include "net/tests/LoopPeer.h"

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

// One leg of a negotiation: what the client must send, then what the server answers.
struct TLeg {
    std::string Ask;
    std::string Answer;
};

const std::string kMethodNoAuth = "\x05\x01\x00"s;
const std::string kMethodAuth = "\x05\x02\x00\x02"s;
const std::string kSocks5Request = "\x05\x01\x00\x03\x0b"s + "example.org" + "\x00\x50"s;
const std::string kCredentials = "\x01\x04user\x04pass"s;
const std::string kSocks5Ok = "\x05\x00\x00\x01\x0a\x01\x02\x03\x12\x34"s;
const std::string kSocks4Request = "\x04\x01\x00\x50\x7f\x00\x00\x01user\x00"s;
const std::string kSocks4aRequest =
    "\x04\x01\x00\x50\x00\x00\x00\x01user\x00"s + "example.org\x00"s;
const std::string kSocks4Ok = "\x00\x5a\x00\x00\x00\x00\x00\x00"s;

// A socket set up for one negotiation, with every event it raises written down.
struct TSocksClient {
    TWSocket S;
    Lines Log;
    std::string Data;
    int Closed = 0;

    TSocksClient() {
        S.OnSocksConnected = [this](TCustomWSocket*, std::uint16_t E) {
            Log.push_back("socksconnected " + std::to_string(E));
        };
        S.OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState A) {
            Log.push_back("auth " + std::to_string(A));
        };
        S.OnSocksError = [this](TCustomWSocket*, int E, const std::string& Msg) {
            Log.push_back("sockserror " + std::to_string(E) + " " + Msg);
        };
        S.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t E) {
            Log.push_back("connected " + std::to_string(E));
        };
        S.OnDataAvailable = [this](TCustomWSocket* Sender, std::uint16_t) {
            char buf[3];  // small reads: leftover bytes must survive being taken piecewise
            int n = Sender->Receive(buf, sizeof buf);
            if (n <= 0) return;
            if (Log.empty() || Log.back() != "data") Log.push_back("data");
            Data.append(buf, static_cast<std::size_t>(n));
        };
        S.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t E) {
            ++Closed;
            Log.push_back("closed " + std::to_string(E));
        };
    }

    void Connect(const std::string& PeerPort, const std::string& Level,
                 TSocksAuthentication Auth = socksNoAuthentication,
                 const std::string& Addr = "example.org") {
        S.SetSocksServer(" 127.0.0.1 ");
        S.SetSocksPort(PeerPort);
        S.SetSocksLevel(Level);
        S.SetSocksUsercode("user");
        S.SetSocksPassword("pass");
        S.SetSocksAuthentication(Auth);
        S.SetAddr(Addr);
        S.SetPort("80");
        S.Connect();
    }

    // Plays Legs against the peer; stops early, closing the peer, once Limit answer bytes
    // have gone out (a negative Limit plays everything). False when the client asked for
    // something other than a leg's bytes.
    bool Play(TLoopPeer& Peer, const std::vector<TLeg>& Legs, bool Bytewise, int Limit = -1) {
        if (!Peer.Accept()) return false;
        std::size_t left = Limit < 0 ? std::string::npos : static_cast<std::size_t>(Limit);
        for (const TLeg& leg : Legs) {
            // The client's bytes are always taken: closing on unread bytes would be a reset.
            EXPECT_EQ(Peer.Read(leg.Ask.size()), leg.Ask);
            std::string answer = leg.Answer.substr(0, left);
            if (Bytewise)
                Peer.FeedBytewise(answer, S);
            else
                Peer.Feed(answer, S);
            if (answer.size() < leg.Answer.size()) break;
            if (left != std::string::npos) left -= answer.size();
        }
        if (Limit >= 0) Peer.Close();
        return WaitFor([&] {
            for (const std::string& line : Log)
                if (line.rfind("connected", 0) == 0) return Limit < 0 || Closed > 0;
            return Closed > 0;
        });
    }
};

struct TNegotiation {
    const char* Name;
    std::string Level;
    TSocksAuthentication Auth;
    std::vector<TLeg> Legs;
    Lines Expected;
    std::string BoundAddr, BoundPort;
    std::string Addr = "";  // empty: a name, or 127.0.0.1 at level 4
};

std::vector<TNegotiation> Negotiations() {
    const std::string longName(255, 'n');
    return {
        {"socks5",
         "5",
         socksNoAuthentication,
         {{kMethodNoAuth, "\x05\x00"s}, {kSocks5Request, kSocks5Ok + "DATA"}},
         {"socksconnected 0", "connected 0", "data"},
         "10.1.2.3",
         "4660"},
        {"socks5 bound to a host name of 255 bytes",
         "5",
         socksNoAuthentication,
         {{kMethodNoAuth, "\x05\x00"s},
          {kSocks5Request, "\x05\x00\x00\x03\xff"s + longName + "\x1f\x90"s + "DATA"}},
         {"socksconnected 0", "connected 0", "data"},
         longName,
         "8080"},
        {"socks5 with user name and password",
         "5",
         socksAuthenticateUsercode,
         {{kMethodAuth, "\x05\x02"s},
          {kCredentials, "\x01\x00"s},
          {kSocks5Request, kSocks5Ok + "DATA"}},
         {"socksconnected 0", "auth 0", "auth 1", "connected 0", "data"},
         "10.1.2.3",
         "4660"},
        {"socks5 server needs no authentication after all",
         "5",
         socksAuthenticateUsercode,
         {{kMethodAuth, "\x05\x00"s}, {kSocks5Request, kSocks5Ok + "DATA"}},
         {"socksconnected 0", "auth 3", "connected 0", "data"},
         "10.1.2.3",
         "4660"},
        {"socks5 to an IPv4 literal",
         "5",
         socksNoAuthentication,
         {{kMethodNoAuth, "\x05\x00"s},
          {"\x05\x01\x00\x01\x0a\x09\x08\x07\x00\x50"s, kSocks5Ok + "DATA"}},
         {"socksconnected 0", "connected 0", "data"},
         "10.1.2.3",
         "4660",
         "10.9.8.7"},
        {"socks5 to an IPv6 literal, bound to an IPv6 address",
         "5",
         socksNoAuthentication,
         {{kMethodNoAuth, "\x05\x00"s},
          {"\x05\x01\x00\x04"s + std::string(15, '\0') + "\x01\x00\x50"s,
           "\x05\x00\x00\x04\x20\x01\x0d\xb8"s + std::string(11, '\0') + "\x05\x12\x34"s + "DATA"}},
         {"socksconnected 0", "connected 0", "data"},
         "2001:db8::5",
         "4660",
         "[::1]"},
        {"socks4a to an IPv4 literal",
         "4A",
         socksNoAuthentication,
         {{kSocks4Request, kSocks4Ok + "DATA"}},
         {"socksconnected 0", "connected 0", "data"},
         "",
         "",
         "127.0.0.1"},
        {"socks4",
         "4",
         socksNoAuthentication,
         {{kSocks4Request, kSocks4Ok + "DATA"}},
         {"socksconnected 0", "connected 0", "data"},
         "",
         ""},
        {"socks4a",
         "4a",
         socksNoAuthentication,
         {{kSocks4aRequest, kSocks4Ok + "DATA"}},
         {"socksconnected 0", "connected 0", "data"},
         "",
         ""},
    };
}

TEST(SocksNegotiation, RepliesFedWholeAndByteByByteReachTheDestination) {
    for (bool bytewise : {false, true}) {
        for (const TNegotiation& n : Negotiations()) {
            SCOPED_TRACE(std::string(n.Name) + (bytewise ? ", byte by byte" : ", whole"));
            TLoopPeer peer;
            TSocksClient c;
            const std::uint64_t lookups = WSocketNameLookups();
            c.Connect(peer.Port(), n.Level, n.Auth,
                      !n.Addr.empty()  ? n.Addr
                      : n.Level == "4" ? "127.0.0.1"
                                       : "example.org");
            ASSERT_TRUE(c.Play(peer, n.Legs, bytewise));
            // The name went to the SOCKS server; nothing was looked up here.
            EXPECT_EQ(WSocketNameLookups(), lookups);
            // The bytes after the reply came with it or right behind it; both reach the reader.
            ASSERT_TRUE(WaitFor([&] { return c.Data.size() >= 4; }));
            EXPECT_EQ(c.Log, n.Expected);
            EXPECT_EQ(c.Data, "DATA");
            EXPECT_EQ(c.S.SocksBoundAddr(), n.BoundAddr);
            EXPECT_EQ(c.S.SocksBoundPort(), n.BoundPort);
            EXPECT_EQ(c.S.State(), wsConnected);
            // The connection is the application's now, both ways.
            EXPECT_EQ(c.S.SendText("up"), 2);
            EXPECT_EQ(peer.Read(2), "up");
        }
    }
}

// Every step of the negotiation reaches the debug output when asked for.
TEST(SocksNegotiation, StateChangesAreTracedWhenDebugging) {
    const TNegotiation n = Negotiations()[2];  // with user name and password: every state
    ::setenv("SORLEN_DEBUG", "1", 1);
    testing::internal::CaptureStderr();
    {
        TLoopPeer peer;
        TSocksClient c;
        c.Connect(peer.Port(), n.Level, n.Auth);
        EXPECT_TRUE(c.Play(peer, n.Legs, false));
    }
    std::istringstream trace(testing::internal::GetCapturedStderr());
    ::unsetenv("SORLEN_DEBUG");
    Lines socks;
    for (std::string line; std::getline(trace, line);)
        if (line.rfind("socks state ", 0) == 0) socks.push_back(line.substr(12));
    EXPECT_EQ(socks, (Lines{"None -> MethodSelection", "MethodSelection -> Authentication",
                            "Authentication -> RequestSent", "RequestSent -> None"}));
}

struct TRefusal {
    std::string Level;
    TSocksAuthentication Auth;
    std::vector<TLeg> Legs;
    int Error;
    std::string Text;
    std::string Addr = "";  // empty: a name, or 127.0.0.1 at level 4
};

TEST(SocksNegotiation, EveryRefusalEndsWithItsErrorOnce) {
    auto socks5 = [](const std::string& Reply) {
        return std::vector<TLeg>{{kMethodNoAuth, "\x05\x00"s}, {kSocks5Request, Reply}};
    };
    auto socks4 = [](const std::string& Reply) {
        return std::vector<TLeg>{{kSocks4Request, Reply}};
    };
    auto withAuth = [](const std::string& Reply) {
        return std::vector<TLeg>{{kMethodAuth, "\x05\x02"s}, {kCredentials, Reply}};
    };
    std::vector<TRefusal> rows = {
        {"5", socksNoAuthentication, {{kMethodNoAuth, "\x04\x00"s}}, 20002, "socks version error"},
        {"5",
         socksNoAuthentication,
         {{kMethodNoAuth, "\x05\xff"s}},
         20003,
         "authentification method not acceptable"},
        {"5", socksAuthenticateUsercode, withAuth("\x01\x01"s), 20015,
         "socks authentication failed"},
        {"5", socksAuthenticateUsercode, withAuth("\x05\x00"s), 20002, "socks version error"},
        {"5", socksAuthenticateUsercode, withAuth("\x01\x00\x00"s), 20001,
         "too much data availaible"},
        {"5", socksNoAuthentication, socks5("\x04\x00\x00\x01"s), 20002, "socks version error"},
        {"5", socksNoAuthentication, socks5("\x05\x00\x00\x05\x00"s), 20011,
         "address type not supported"},
        {"5", socksNoAuthentication, socks5("\x05\x09"s), 20012, "unassigned error #9"},
        {"4", socksNoAuthentication, socks4("\x04\x5a"s), 20002, "socks version error"},
        {"4", socksNoAuthentication, {}, 20018, "SOCKS 4 cannot reach an IPv6 address", "::1"},
        {"4", socksNoAuthentication, socks4("\x00\x5b\x00\x00\x00\x00\x00\x00"s), 20016,
         "request rejected or failed"},
        {"4", socksNoAuthentication, socks4("\x00\x5c\x00\x00\x00\x00\x00\x00"s), 20008,
         "connection refused"},
        {"4", socksNoAuthentication, socks4("\x00\x5d\x00\x00\x00\x00\x00\x00"s), 20015,
         "authentification failed"},
        {"4", socksNoAuthentication, socks4("\x00\x5e\x00\x00\x00\x00\x00\x00"s), 20012,
         "unassigned error #94"},
    };
    const char* socks5Texts[] = {
        "general SOCKS server failure", "connection not allowed by ruleset",
        "network unreachable",          "host unreachable",
        "connection refused",           "time to live expired",
        "command not supported",        "address type not supported"};
    for (int code = 1; code <= 8; ++code)
        rows.push_back({"5", socksNoAuthentication,
                        socks5("\x05"s + static_cast<char>(code) + "\x00\x01"s), 20003 + code,
                        socks5Texts[code - 1]});

    for (const TRefusal& r : rows) {
        SCOPED_TRACE(std::to_string(r.Error) + " " + r.Text);
        TLoopPeer peer;
        TSocksClient c;
        c.Connect(peer.Port(), r.Level, r.Auth,
                  !r.Addr.empty()  ? r.Addr
                  : r.Level == "4" ? "127.0.0.1"
                                   : "example.org");
        ASSERT_TRUE(c.Play(peer, r.Legs, false));
        std::string e = std::to_string(r.Error);
        ASSERT_GE(c.Log.size(), 3u);
        EXPECT_EQ(Lines(c.Log.end() - 3, c.Log.end()),
                  (Lines{"sockserror " + e + " " + r.Text, "connected " + e, "closed " + e}));
        EXPECT_EQ(c.Closed, 1);
        EXPECT_EQ(c.S.State(), wsClosed);
        EXPECT_EQ(c.S.SocksServer(), "");
    }
}

// The server going away anywhere in the negotiation is a failed connect, never a quiet close.
TEST(SocksNegotiation, ServerClosingAtEveryByteFailsTheConnectOnce) {
    const std::vector<TLeg> legs = {
        {kMethodAuth, "\x05\x02"s}, {kCredentials, "\x01\x00"s}, {kSocks5Request, kSocks5Ok}};
    for (int limit = 0; limit < 14; ++limit) {
        SCOPED_TRACE("closed after " + std::to_string(limit) + " reply bytes");
        TLoopPeer peer;
        TSocksClient c;
        c.Connect(peer.Port(), "5", socksAuthenticateUsercode);
        ASSERT_TRUE(c.Play(peer, legs, true, limit));
        Lines tail = {"sockserror 20014 connection closed during socks negotiation",
                      "connected 20014", "closed 20014"};
        // Between the method answer and the end of the password answer, authentication failed.
        if (limit >= 2 && limit < 4) tail.insert(tail.begin(), "auth 2");
        ASSERT_GE(c.Log.size(), tail.size());
        EXPECT_EQ(Lines(c.Log.end() - static_cast<long>(tail.size()), c.Log.end()), tail);
        EXPECT_EQ(c.Closed, 1);
        EXPECT_TRUE(c.Data.empty());
    }
}

TEST(SocksNegotiation, Socks4DestinationThatCannotBeResolved) {
    TLoopPeer peer;
    TSocksClient c;
    c.Connect(peer.Port(), "4", socksNoAuthentication, kUnknownHost);
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(WaitFor([&] { return c.Closed > 0; }));
    ASSERT_EQ(c.Log.size(), 3u);
    EXPECT_EQ(c.Log[0], "socksconnected 0");
    EXPECT_EQ(c.Log[1].rfind("sockserror 20017 ESocketException WSocketResolveHost: ", 0), 0u)
        << c.Log[1];
    EXPECT_EQ(c.Log[2], "closed 20017");
}

// Lengths that a one-byte SOCKS 5 field cannot carry, and a NUL inside a SOCKS 4 user id,
// would go out truncated or shift the fields after them; nothing is sent at all.
TEST(SocksNegotiation, FieldsThatCannotBeEncodedAreRefusedBeforeConnecting) {
    struct Row {
        std::string Level, User, Password, Addr;
        const char* Problem;  // nullptr: accepted
    } rows[] = {
        {"5", "user", "pass", std::string(256, 'h'), "host name longer than 255 bytes"},
        {"5", std::string(256, 'u'), "pass", "example.org", "user code longer than 255 bytes"},
        {"5", "user", std::string(256, 'p'), "example.org", "password longer than 255 bytes"},
        {"4", "us\0er"s, "", "127.0.0.1", "user code holds a NUL byte"},
        {"4A", "user", "", "exa\0mple.org"s, "host name holds a NUL byte"},
        {"5", std::string(255, 'u'), std::string(255, 'p'), std::string(255, 'h'), nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Problem ? r.Problem : "255 bytes each");
        TLoopPeer peer;
        TWSocket s;
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort(peer.Port());
        s.SetSocksLevel(r.Level);
        s.SetSocksAuthentication(socksAuthenticateUsercode);
        s.SetSocksUsercode(r.User);
        s.SetSocksPassword(r.Password);
        s.SetAddr(r.Addr);
        s.SetPort("80");
        if (r.Problem == nullptr) {
            EXPECT_NO_THROW(s.Connect());
            EXPECT_GE(s.HSocket(), 0);
            continue;
        }
        try {
            s.Connect();
            ADD_FAILURE() << "accepted";
        } catch (const ESocketException& e) {
            EXPECT_EQ(std::string(e.what()), "connect: socks level " + r.Level + " " + r.Problem);
        }
        EXPECT_LT(s.HSocket(), 0);
        EXPECT_EQ(s.State(), wsClosed);
    }
}

TEST(SocksNegotiation, SettingsRulesAndResetAtEveryClose) {
    TWSocket s;
    auto raises = [&](auto Call, const std::string& Text) {
        try {
            Call();
            ADD_FAILURE() << "no exception for " << Text;
        } catch (const ESocketException& e) {
            EXPECT_EQ(std::string(e.what()), Text);
        }
    };
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    raises([&] { s.SetSocksLevel("6"); }, "Invalid socks level. Must be 4, 4A or 5.");
    raises([&] { s.SetSocksLevel(""); }, "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(s.SocksLevel(), "4A");

    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort("1080");
    s.SetProto("udp");
    s.SetAddr("example.org");
    s.SetPort("80");
    raises([&] { s.Connect(); }, "tcp is the only protocol supported thru socks server");

    TLoopPeer peer;
    s.SetProto("tcp");
    s.SetSocksPort(peer.Port());
    s.SetSocksLevel("5");
    s.SetSocksUsercode("user");
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.Connect();
    ASSERT_TRUE(peer.Accept());
    raises([&] { s.SetSocksServer("other"); }, "Can't change socks server if not closed");
    raises([&] { s.SetSocksPort("1"); }, "Can't change socks port if not closed");
    raises([&] { s.SetSocksLevel("4"); }, "Can't change socks level if not closed");
    s.Close();
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksPort(), "");
    EXPECT_EQ(s.SocksLevel(), "5");
    EXPECT_EQ(s.SocksUsercode(), "user");
    EXPECT_EQ(s.SocksAuthentication(), socksAuthenticateUsercode);
}

}  // namespace
