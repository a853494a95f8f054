// Line mode by table (line ends split across reads, piecewise readers, the last line at
// close, the line limit, echo and editing, switching line mode off with bytes buffered) and
// the waiting layer's flag wait.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/TWSocket.h"
#include "net/tests/LoopPeer.h"

namespace {

using Lines = std::vector<std::string>;

// A line-mode socket connected to a loop peer; its reader takes ReadSize bytes per event and
// notes a line when the layer reports nothing left of it.
struct TLineClient {
    TLoopPeer Peer;
    TWSocket S;
    Lines Got;
    std::string Current, Raw;
    int Calls = 0;
    int ReadSize = 8190;
    bool Closed = false;

    bool Open(const std::string& LineEnd) {
        S.SetLineMode(true);
        S.SetLineEnd(LineEnd);
        S.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) { Read(); };
        S.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t) { Closed = true; };
        S.SetAddr("127.0.0.1");
        S.SetPort(Peer.Port());
        S.Connect();
        return Peer.Accept() && WaitFor([&] { return S.State() == wsConnected; });
    }

    void Read() {
        ++Calls;
        std::string buf(static_cast<std::size_t>(ReadSize), '\0');
        int n = S.Receive(buf.data(), ReadSize);
        if (n <= 0) return;
        if (!S.LineMode()) {
            Raw.append(buf, 0, static_cast<std::size_t>(n));
            return;
        }
        Current.append(buf, 0, static_cast<std::size_t>(n));
        if (S.RcvdCount() == 0) {
            Got.push_back(Current);
            Current.clear();
        }
    }
};

TEST(LineMode, LinesCutFromTheStreamByTable) {
    struct Row {
        const char* Name;
        std::string LineEnd;
        Lines Feeds;
        int ReadSize;
        bool CloseAfter;
        Lines Expected;
    } rows[] = {
        {"CR LF split across reads", "\r\n", {"ab\r", "\n"}, 8190, false, {"ab\r\n"}},
        {"lines read a byte at a time",
         "\r\n",
         {"one\r\ntwo\r\nthr", "ee\r\n"},
         1,
         false,
         {"one\r\n", "two\r\n", "three\r\n"}},
        {"three-byte end split inside",
         "END",
         {"1E", "N", "D2EN", "D"},
         2,
         false,
         {"1END", "2END"}},
        {"a lone CR is no line end", "\r\n", {"x\ry\r\n"}, 8190, false, {"x\ry\r\n"}},
        {"last line at close", "\n", {"a\nb"}, 8190, true, {"a\n", "b"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        TLineClient c;
        c.ReadSize = r.ReadSize;
        ASSERT_TRUE(c.Open(r.LineEnd));
        for (const std::string& f : r.Feeds) c.Peer.Feed(f, c.S);
        if (r.CloseAfter) c.Peer.Close();
        ASSERT_TRUE(WaitFor([&] { return c.Got.size() >= r.Expected.size(); }));
        EXPECT_EQ(c.Got, r.Expected);
        if (r.CloseAfter) {
            ASSERT_TRUE(WaitFor([&] { return c.Closed; }));
        }
    }
    // The CR alone raised nothing: one event, after the LF.
    TLineClient c;
    ASSERT_TRUE(c.Open("\r\n"));
    c.Peer.Feed("ab\r", c.S);
    EXPECT_EQ(c.Calls, 0);
    c.Peer.Feed("\n", c.S);
    EXPECT_EQ(c.Calls, 1);
}

TEST(LineMode, LineLimitReportsOverlongDataAndMayDropIt) {
    for (bool clear : {true, false}) {
        SCOPED_TRACE(clear ? "cleared" : "kept");
        TLineClient c;
        ASSERT_TRUE(c.Open("\r\n"));
        std::vector<int> reported;
        c.S.OnLineLimitExceeded = [&](TCustomWSocket*, int Length, bool& ClearData) {
            EXPECT_TRUE(ClearData);
            reported.push_back(Length);
            ClearData = clear;
        };
        c.Peer.Feed(std::string(70000, 'x'), c.S);
        c.Peer.Feed("ok\r\n", c.S);
        ASSERT_TRUE(WaitFor([&] { return c.Got.size() == 1; }));
        ASSERT_FALSE(reported.empty());
        EXPECT_GT(reported[0], 65536);
        // Whatever came after the dropped part starts the next line.
        std::size_t kept = clear ? 70000 - static_cast<std::size_t>(reported[0]) : 70000;
        EXPECT_EQ(c.Got[0], std::string(kept, 'x') + "ok\r\n");
        if (clear) {
            EXPECT_EQ(reported.size(), 1u);
        }
    }
}

TEST(LineMode, EchoAndEditing) {
    struct Row {
        bool Edit, Echo;
        std::string Input;
        Lines Expected;
        std::string Echoed;
    } rows[] = {
        // Tab to the next multiple of 8; backspace only inside the line.
        {true, true, "ab\bc\td\r\n\bx\r\n", {"ac      d\r\n", "x\r\n"}, "ab\b \bc      d\r\nx\r\n"},
        {true, false, "a\t\b\bb\r\n", {"a     b\r\n"}, ""},
        {false, true, "a\bb\r\n", {"a\bb\r\n"}, "a\bb\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Input);
        TLineClient c;
        c.S.SetLineEdit(r.Edit);
        c.S.SetLineEcho(r.Echo);
        ASSERT_TRUE(c.Open("\r\n"));
        c.Peer.FeedBytewise(r.Input, c.S);
        ASSERT_TRUE(WaitFor([&] { return c.Got.size() >= r.Expected.size(); }));
        EXPECT_EQ(c.Got, r.Expected);
        c.S.SendText("|");  // marks the end of the echo
        EXPECT_EQ(c.Peer.Read(r.Echoed.size() + 1), r.Echoed + "|");
    }
}

TEST(LineMode, SendTextLineCountsTwoForAnyLineEnd) {
    struct Row {
        std::string LineEnd, Text;
        int Result;
        std::string Sent;
    } rows[] = {
        {"\r\n", "", 0, ""},         {"\r\n", "x", 3, "x\r\n"}, {"\n", "abc", 5, "abc\n"},
        {"END", "abc", 5, "abcEND"}, {"", "abc", 5, "abc"},
    };
    TLineClient c;
    ASSERT_TRUE(c.Open("\r\n"));
    std::string expected;
    for (const Row& r : rows) {
        c.S.SetLineEnd(r.LineEnd);
        EXPECT_EQ(c.S.SendTextLine(r.Text), r.Result) << r.Text;
        expected += r.Sent;
    }
    EXPECT_EQ(c.Peer.Read(expected.size()), expected);
}

TEST(LineMode, SwitchedOffWithBytesBufferedDeliversThemRaw) {
    TLineClient c;
    ASSERT_TRUE(c.Open("\r\n"));
    c.S.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) {
        c.Read();
        if (c.Got.size() == 1) c.S.SetLineMode(false);
    };
    c.Peer.Feed("first\r\nsecond\r\nrest", c.S);
    ASSERT_TRUE(WaitFor([&] { return c.Raw == "second\r\nrest"; })) << c.Raw;
    EXPECT_EQ(c.Got, Lines{"first\r\n"});
    c.Peer.Feed("more", c.S);
    ASSERT_TRUE(WaitFor([&] { return c.Raw == "second\r\nrestmore"; })) << c.Raw;
}

TEST(SyncWait, FlagTimeoutAndQuit) {
    TLoopPeer peer;
    TWSocket s;
    bool connected = false;
    s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { connected = true; };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.Port());
    s.SetTimeout(10000);
    EXPECT_EQ(s.RunAndWait(
                  connected,
                  [&](std::intptr_t V) {
                      EXPECT_EQ(V, 7);
                      s.Connect();
                  },
                  7),
              0);
    EXPECT_TRUE(connected);

    bool never = false;
    s.SetTimeout(20);
    EXPECT_EQ(s.WaitForFlag(never), WSocketWaitTimedOut);
    s.SetTimeout(0);
    TEventLoop::Current().Ref().PostQuit();
    EXPECT_EQ(s.WaitForFlag(never), WSocketWaitTimedOut);
    TEventLoop::Current().ResetTerminated();
}

}  // namespace
