// The socket against real peers on 127.0.0.1: event order, refusal, resets, pausing, large
// sends, self-destruction from an event, background exceptions, and nginx as an HTTP peer.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/TWSocket.h"
#include "net/tests/NetTestSupport.h"

namespace {

// Logs every event of a client exchange; runs of OnDataAvailable collapse into one "data" line
// because how the bytes are split into reads is up to the network.
struct TClientLog : TEventLog {
    std::string Received;
    void Attach(TCustomWSocket& S) {
        TEventLog::Attach(S);
        S.OnSendData = [this](TCustomWSocket*, int N) {
            Lines.push_back("senddata " + std::to_string(N));
        };
        S.OnDataAvailable = [this](TCustomWSocket* Sender, std::uint16_t E) {
            std::string line = "data " + std::to_string(E);
            if (Lines.empty() || Lines.back() != line) Lines.push_back(line);
            char buf[8190];
            int n = Sender->Receive(buf, sizeof buf);
            if (n > 0) Received.append(buf, static_cast<std::size_t>(n));
        };
    }
};

using Lines = std::vector<std::string>;

void ConnectTo(TCustomWSocket& S, const std::string& Port) {
    S.SetAddr("127.0.0.1");
    S.SetPort(Port);
    S.Connect();
}

// Connects and runs the loop until the connection is up; false when it never came up.
bool ConnectAndWait(TCustomWSocket& S, const std::string& Port) {
    ConnectTo(S, Port);
    return WaitFor([&] { return S.State() == wsConnected; });
}

// Server script: takes everything the client sends, then closes.
void DrainAndClose(int Fd) {
    ReadUntilEof(Fd);
    close(Fd);
}

// Server script: sends Text at once, then closes.
std::function<void(int)> WriteAndClose(std::string Text) {
    return [Text](int Fd) {
        WriteAll(Fd, Text);
        close(Fd);
    };
}

TEST(WSocketExchange, OneClientExchangeInItsExactOrder) {
    TScriptedServer server([](int Fd) {
        if (ReadExactly(Fd, 7) == "hello\r\n") WriteAll(Fd, "world");
        close(Fd);
    });
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    s.OnSessionConnected = [&](TCustomWSocket* Sender, std::uint16_t E) {
        log.Lines.push_back("connected " + std::to_string(E));
        EXPECT_EQ(Sender->SelectMessage(), FD_CONNECT);
        EXPECT_EQ(Sender->SendText("hello\r\n"), 7);
        log.Lines.push_back("send returned");
    };
    s.DnsLookup("127.0.0.1");
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_EQ(s.DnsResultList(), Lines{"127.0.0.1"});
    s.SetAddr(s.DnsResult());
    s.SetPort(server.Port());
    s.Connect();
    log.Lines.push_back("connect returned");
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }));
    EXPECT_TRUE(DrainLoop());
    EXPECT_EQ(log.Lines, (Lines{"dns 0", "state 8>1", "state 1>3", "connect returned", "state 3>5",
                                "connected 0", "senddata 7", "send returned", "sent 0", "data 0",
                                "closed 0", "state 5>8"}));
    EXPECT_EQ(log.Received, "world");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.HSocket(), -1);
}

TEST(WSocketExchange, RefusedConnectionReportsErrorThenClosesOnce) {
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    TRefusedPort refused;
    ConnectTo(s, refused.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }));
    EXPECT_TRUE(DrainLoop());
    EXPECT_EQ(log.Lines, (Lines{"state 8>1", "state 1>3", "state 3>5", "connected 10061",
                                "state 5>8", "closed 0"}));
}

// An IPv6 literal in brackets reaches a listener on ::1 only, and the peer reads as IPv6.
TEST(WSocketExchange, Ipv6LiteralReachesAListenerOnIpv6Loopback) {
    int listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    s.SetAddr("[::1]");
    s.SetPort(std::to_string(ntohs(a.sin6_port)));
    s.Connect();
    ASSERT_TRUE(WaitFor([&] { return s.State() == wsConnected; }));
    EXPECT_EQ(s.PeerAddr(), "::1");
    EXPECT_EQ(s.PeerPort(), std::to_string(ntohs(a.sin6_port)));
    s.Close();
    close(listener);
}

TEST(WSocketExchange, LocalCloseChangesStateBeforeSessionClosed) {
    TScriptedServer server(DrainAndClose);
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    ASSERT_TRUE(ConnectAndWait(s, server.Port()));
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(s.PeerPort(), server.Port());
    log.Lines.clear();
    s.Close();
    EXPECT_TRUE(DrainLoop());
    EXPECT_EQ(log.Lines, (Lines{"state 5>8", "closed 0"}));
    s.Close();  // closing again does nothing
    s.Abort();
    EXPECT_EQ(log.Closed, 1);
}

TEST(WSocketExchange, PeerResetWhileSendingClosesExactlyOnceWithReset) {
    TScriptedServer server([](int Fd) {
        ReadExactly(Fd, 1000);
        ResetClose(Fd);
    });
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    s.OnSendData = nullptr;
    std::string big(8 << 20, 'r');
    s.OnSessionConnected = [&](TCustomWSocket* Sender, std::uint16_t) {
        Sender->Send(big.data(), static_cast<int>(big.size()));
    };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }));
    EXPECT_TRUE(DrainLoop());
    EXPECT_EQ(log.Closed, 1);
    EXPECT_TRUE(log.Has("closed 10054"));
    EXPECT_FALSE(log.Has("sent 0"));
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketExchange, PeerHalfCloseDeliversEverythingThenCloses) {
    std::string payload(8 << 20, 'h');  // a flood, then the half-close
    TScriptedServer server([&](int Fd) {
        WriteAll(Fd, payload);
        shutdown(Fd, SHUT_WR);
        ReadUntilEof(Fd);
        close(Fd);
    });
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }));
    EXPECT_EQ(log.Received, payload);
    EXPECT_EQ(log.Lines.back(), "state 5>8");
    EXPECT_EQ(log.Closed, 1);
}

TEST(WSocketExchange, SilentPeerAndDestroyWhileConnectedDeliverNothing) {
    TScriptedServer server(DrainAndClose);
    TClientLog log;
    {
        TWSocket s;
        log.Attach(s);
        ASSERT_TRUE(ConnectAndWait(s, server.Port()));
        EXPECT_TRUE(DrainLoop());  // the peer says nothing: no data, no close
        log.Lines.clear();
    }
    EXPECT_TRUE(DrainLoop());
    EXPECT_EQ(log.Lines, Lines{});
}

TEST(WSocketExchange, PausedSocketHoldsArrivingBytesUntilResumed) {
    std::atomic<int> step{0};
    TScriptedServer server([&](int Fd) {
        WriteAll(Fd, "first");
        PollUntil([&] { return step >= 1; });
        WriteAll(Fd, "second");
        PollUntil([&] { return step >= 2; });
        close(Fd);
    });
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    int dataEvents = 0;
    auto reader = s.OnDataAvailable;
    s.OnDataAvailable = [&](TCustomWSocket* Sender, std::uint16_t E) {
        ++dataEvents;
        reader(Sender, E);
        if (log.Received == "first") Sender->PauseEvents();
    };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Received == "first"; }));
    step = 1;
    ASSERT_TRUE(WaitFor([&] { return s.RcvdCount() == 6; }));
    int before = dataEvents;
    EXPECT_TRUE(DrainLoop());
    EXPECT_EQ(dataEvents, before);
    EXPECT_EQ(log.Received, "first");
    s.ResumeEvents();
    ASSERT_TRUE(WaitFor([&] { return log.Received == "firstsecond"; }));
    step = 2;
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }));
    EXPECT_EQ(log.Closed, 1);
}

TEST(WSocketExchange, LargeSendToASlowReaderArrivesWholeWithOneDataSent) {
    constexpr std::size_t kSize = 64u << 20;
    std::string payload(kSize, '\0');
    for (std::size_t i = 0; i < kSize; ++i) payload[i] = static_cast<char>((i * 7919) >> 5);
    std::atomic<bool> intact{false};
    TScriptedServer server([&](int Fd) {
        std::size_t got = 0;
        bool same = true;
        char buf[65536];
        while (got < kSize && WaitReadable(Fd)) {
            usleep(200);  // a slow reader keeps the sender's queue backed up
            ssize_t n = recv(Fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            if (std::memcmp(buf, payload.data() + got, static_cast<std::size_t>(n)) != 0)
                same = false;
            got += static_cast<std::size_t>(n);
        }
        intact = same && got == kSize;
        close(Fd);
    });
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    std::int64_t sentBytes = 0;
    int sendCalls = 0;
    bool insideSend = false;
    s.OnSendData = [&](TCustomWSocket*, int N) { sentBytes += N; };
    s.OnDataSent = [&](TCustomWSocket*, std::uint16_t E) {
        EXPECT_FALSE(insideSend);
        log.Lines.push_back("sent " + std::to_string(E));
    };
    s.OnSessionConnected = [&](TCustomWSocket* Sender, std::uint16_t) {
        insideSend = true;
        EXPECT_EQ(Sender->Send(payload.data(), static_cast<int>(kSize)), static_cast<int>(kSize));
        insideSend = false;
        ++sendCalls;
    };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }, 120000));
    EXPECT_TRUE(intact);
    EXPECT_EQ(sentBytes, static_cast<std::int64_t>(kSize));
    int dataSent = 0;
    for (const auto& l : log.Lines) dataSent += l == "sent 0";
    EXPECT_EQ(dataSent, 1);
    EXPECT_EQ(sendCalls, 1);
}

TEST(WSocketExchange, QueuedDataGoesOutWithAnEmptySend) {
    std::string got;
    auto server = std::make_unique<TScriptedServer>([&](int Fd) {
        got = ReadExactly(Fd, 6);
        close(Fd);
    });
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    s.OnSessionConnected = [&](TCustomWSocket* Sender, std::uint16_t) {
        Sender->QueueSendData("abc", 3);
        Sender->QueueSendData("def", 3);
        EXPECT_EQ(Sender->Send(nullptr, 0), 0);
    };
    ConnectTo(s, server->Port());
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }));
    server.reset();  // joins the server thread before its result is read
    EXPECT_EQ(got, "abcdef");
    EXPECT_TRUE(log.Has("sent 0"));
}

TEST(WSocketExchange, NoReceiveLoopGivesOneEventPerNoticeAndLosesNothing) {
    std::string payload(3000, 'n');
    std::atomic<bool> done{false};
    TScriptedServer server([&](int Fd) {
        WriteAll(Fd, payload);
        PollUntil([&] { return done.load(); });
        close(Fd);
    });
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    s.SetComponentOptions({wsoNoReceiveLoop});
    int events = 0;
    s.OnDataAvailable = [&](TCustomWSocket* Sender, std::uint16_t) {
        ++events;
        char buf[10];  // leaves bytes pending: the next notice must come by itself
        int n = Sender->Receive(buf, sizeof buf);
        if (n > 0) log.Received.append(buf, static_cast<std::size_t>(n));
    };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Received.size() == payload.size(); }));
    EXPECT_GE(events, 300);
    done = true;
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }));
    EXPECT_EQ(log.Received, payload);
}

TEST(WSocketExchange, WithoutADataHandlerPendingBytesAreDiscarded) {
    TScriptedServer server(WriteAndClose(std::string(10000, 'd')));
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    std::int64_t readAtClose = -1;
    s.OnSessionClosed = [&](TCustomWSocket* Sender, std::uint16_t) {
        ++log.Closed;
        readAtClose = Sender->ReadCount();
    };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }));
    EXPECT_EQ(readAtClose, 10000);
}

TEST(WSocketExchange, HandlerThatNeverReadsDoesNotSpin) {
    std::atomic<bool> done{false};
    TScriptedServer server([&](int Fd) {
        WriteAll(Fd, "unread");
        PollUntil([&] { return done.load(); });
        close(Fd);
    });
    TWSocket s;
    int events = 0;
    s.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { ++events; };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return events > 0; }));
    EXPECT_TRUE(DrainLoop());
    EXPECT_EQ(events, 1);  // no new notice until somebody reads
    EXPECT_EQ(s.ReceiveText(), "unread");
    done = true;
}

// Records its own destruction so the test can see FreeLater at work.
struct TTrackedSocket : TWSocket {
    explicit TTrackedSocket(bool& Gone) : GoneFlag(Gone) {}
    ~TTrackedSocket() override { GoneFlag = true; }
    bool& GoneFlag;
};

TEST(WSocketExchange, FreeLaterFromInsideAnEventDestroysSafely) {
    TScriptedServer server(WriteAndClose("bye"));
    bool gone = false;
    bool freed = false;
    auto* s = new TTrackedSocket(gone);
    s->OnDataAvailable = [&](TCustomWSocket* Sender, std::uint16_t) {
        char buf[16];
        Sender->Receive(buf, sizeof buf);
        if (!freed) {
            freed = true;
            Sender->FreeLater();
            // Running the loop from inside the event must not delete the socket under us.
            TEventLoop::Current().ProcessPending();
            EXPECT_FALSE(gone);
            Sender->Close();
        }
    };
    ConnectTo(*s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return gone; }));
}

TEST(WSocketExchange, ExceptionInAHandlerGoesToOnBgExceptionThenAborts) {
    TScriptedServer server([](int Fd) {
        WriteAll(Fd, "x");
        ReadUntilEof(Fd);
        close(Fd);
    });
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    s.OnDataAvailable = [](TCustomWSocket*, std::uint16_t) { throw std::runtime_error("handler"); };
    s.OnBgException = [&](TCustomWSocket*, const std::exception& E, bool& CanClose) {
        log.Lines.push_back(std::string("bg ") + E.what() + (CanClose ? " close" : ""));
    };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }));
    EXPECT_EQ(log.Lines, (Lines{"state 8>1", "state 1>3", "state 3>5", "connected 0",
                                "bg handler close", "state 5>8", "closed 0"}));
}

TEST(WSocketExchange, CloseLaterClosesFromTheLoop) {
    TScriptedServer server(DrainAndClose);
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    s.OnSessionConnected = [&](TCustomWSocket* Sender, std::uint16_t E) {
        log.Lines.push_back("connected " + std::to_string(E));
        Sender->CloseLater();
        log.Lines.push_back("after CloseLater");
    };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }));
    EXPECT_EQ(log.Lines, (Lines{"state 8>1", "state 1>3", "state 3>5", "connected 0",
                                "after CloseLater", "state 5>8", "closed 0"}));
}

TEST(WSocketExchange, CloseInsideTheLastDataEventStillClosesOnce) {
    TScriptedServer server(WriteAndClose("last words"));
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    // Closing on the end-of-stream read happens inside the close notice's own receive loop.
    s.OnDataAvailable = [&](TCustomWSocket* Sender, std::uint16_t) {
        char buf[64];
        int n = Sender->Receive(buf, sizeof buf);
        if (n > 0) log.Received.append(buf, static_cast<std::size_t>(n));
        if (n == 0) Sender->Close();
    };
    ConnectTo(s, server.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }));
    EXPECT_TRUE(DrainLoop());
    EXPECT_EQ(log.Closed, 1);
    EXPECT_EQ(log.Received, "last words");
    EXPECT_EQ(log.Lines.back(), "closed 0");
}

TEST(WSocketExchange, ReconnectFromOnSessionClosedAfterARefusal) {
    TScriptedServer server(WriteAndClose("second try"));
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    s.OnSessionClosed = [&](TCustomWSocket* Sender, std::uint16_t E) {
        log.Lines.push_back("closed " + std::to_string(E));
        if (++log.Closed == 1) {
            ConnectTo(*Sender, server.Port());
        }
    };
    TRefusedPort refused;
    ConnectTo(s, refused.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Closed == 2; }));
    EXPECT_EQ(log.Received, "second try");
    EXPECT_TRUE(log.Has("connected 10061"));
    EXPECT_TRUE(log.Has("connected 0"));
}

TEST(WSocketExchange, OperationsInTheWrongStateAreHarmless) {
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    char buf[16];
    EXPECT_EQ(s.Receive(buf, sizeof buf), -1);
    EXPECT_EQ(s.ReceiveText(), "");
    s.Close();
    s.Abort();
    s.CloseLater();
    s.PauseEvents();
    s.ResumeEvents();
    s.Flush();
    s.WaitClosed();
    s.HalfClose(1);
    s.CancelLookup();
    EXPECT_TRUE(DrainLoop());
    EXPECT_EQ(log.Lines, Lines{});
    EXPECT_EQ(s.State(), wsClosed);

    // Sending while the connection is still being made drops that connection, once.
    int errors = 0;
    s.OnError = [&](TCustomWSocket*) { ++errors; };
    TRefusedPort refused;
    ConnectTo(s, refused.Port());
    EXPECT_EQ(s.Send("x", 1), -1);
    EXPECT_EQ(s.LastError(), 10057);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.HSocket(), -1);
    EXPECT_TRUE(DrainLoop());
    EXPECT_EQ(log.Lines, (Lines{"state 8>1", "state 1>3", "closed 10057", "state 3>8"}));
}

TEST(WSocketExchange, FlushAndWaitClosedKeepTheLoopTurning) {
    std::string payload(4 << 20, 'f');
    std::atomic<bool> whole{false};
    TScriptedServer server([&](int Fd) {
        whole = ReadExactly(Fd, payload.size()) == payload;
        close(Fd);
    });
    TWSocket s;
    TEventLog log;
    log.Attach(s);
    ASSERT_TRUE(ConnectAndWait(s, server.Port()));
    s.QueueSendData(payload.data(), static_cast<int>(payload.size()));
    s.Flush();
    EXPECT_TRUE(s.AllSent());
    s.WaitClosed();  // returns once the peer's close has come through the loop
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(log.Closed, 1);
    EXPECT_TRUE(whole);
}

TEST(WSocketExchange, DatagramSocketIsConnectedAtOnceAndExchanges) {
    int peerPort = 0;
    int peer = BoundOnLoopback(SOCK_DGRAM, peerPort);
    ASSERT_GE(peer, 0);
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    s.SetProto("udp");
    ConnectTo(s, std::to_string(peerPort));
    EXPECT_EQ(log.Lines, (Lines{"state 8>1", "state 1>5", "connected 0"}));
    EXPECT_NE(s.LocalPort(), "0");  // bound on connect, the real port is kept
    EXPECT_EQ(s.SendText("ping"), 4);
    char buf[16];
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ASSERT_TRUE(WaitReadable(peer));
    ssize_t n = recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "ping");
    sendto(peer, "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), fromLen);
    ASSERT_TRUE(WaitFor([&] { return log.Received == "pong"; }));
    close(peer);
}

TEST(WSocketExchange, HttpGetFromNginx) {
    std::string body(200000, 'z');
    TNginx nginx;
    nginx.Write("html/index.html", body);
    ASSERT_TRUE(nginx.Start()) << nginx.ErrorLog();
    TWSocket s;
    TClientLog log;
    log.Attach(s);
    s.OnSessionConnected = [&](TCustomWSocket* Sender, std::uint16_t E) {
        ASSERT_EQ(E, 0);
        Sender->SendText("GET /index.html HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    };
    ConnectTo(s, nginx.Port());
    ASSERT_TRUE(WaitFor([&] { return log.Closed > 0; }));
    EXPECT_EQ(log.Received.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    ASSERT_GE(log.Received.size(), body.size());
    EXPECT_EQ(log.Received.substr(log.Received.size() - body.size()), body);
    EXPECT_EQ(log.Closed, 1);
    EXPECT_TRUE(log.Has("closed 0"));
}

}  // namespace
