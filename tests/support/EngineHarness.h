// Drives one THttpCli (or a subclass such as the program's session) over a scripted TFeedSocket
// on the test thread and records its events as a short text ("hb he db d:hello de sc rd0"), so
// a test can assert the whole sequence. Header-only; its users link the HTTP engine.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/THttpCli.h"
#include "http/TStream.h"
#include "platform/EventLoop.h"
#include "tests/support/FeedSocket.h"
#include "tests/support/LoopWait.h"

// One answer of the scripted server: the bytes in the pieces it writes them in, then maybe a close
// (a reset when CloseError is set).
struct TScriptedAnswer {
    std::vector<std::string> Pieces;
    bool Close = true;
    std::uint16_t CloseError = 0;
};

// Records the header, document, close and relocation events by short names.
inline void RecordEvents(THttpCli& Cli, std::vector<std::string>& Events) {
    Cli.OnHeaderBegin = [&Events](THttpCli*) { Events.push_back("hb"); };
    Cli.OnHeaderEnd = [&Events](THttpCli*) { Events.push_back("he"); };
    Cli.OnDocBegin = [&Events](THttpCli*) { Events.push_back("db"); };
    Cli.OnDocEnd = [&Events](THttpCli*) { Events.push_back("de"); };
    Cli.OnSessionClosed = [&Events](THttpCli*) { Events.push_back("sc"); };
    Cli.OnLocationChange = [&Events](THttpCli*) { Events.push_back("lc"); };
}

inline std::string JoinEvents(const std::vector<std::string>& Events) {
    std::string out;
    for (const std::string& e : Events) out += (out.empty() ? "" : " ") + e;
    return out;
}

template <class TCli>
class TScriptedRun {
public:
    TFeedClient<TCli> Cli;
    TMemoryStream Body;
    std::vector<std::string> Events;
    int Done = 0;
    std::uint16_t DoneError = 0;

    explicit TScriptedRun(std::vector<TScriptedAnswer> Script = {}) : Answers(std::move(Script)) {
        Cli.URL = "http://example.test/dir/page.html";
        Cli.ReceiveStream = &Body;
        RecordEvents(Cli, Events);
        Cli.OnDocData = [this](THttpCli*, const char* b, int n) {
            Events.push_back("d:" + std::string(b, n));
        };
        Cli.OnDataPush2 = [this](THttpCli*) { Events.push_back("p2"); };
        Cli.OnRequestDone = [this](THttpCli*, THttpRequest, std::uint16_t e) {
            Events.push_back("rd" + std::to_string(e));
            ++Done;
            DoneError = e;
        };
        Cli.Feed()->OnRequest = [this] { Answer(); };
    }

    void Answer() {
        if (Next >= Answers.size()) return;
        const TScriptedAnswer& a = Answers[Next++];
        for (const std::string& piece : a.Pieces) Cli.Feed()->Feed(piece);
        if (a.Close) Cli.Feed()->PeerClose(a.CloseError);
    }

    // Starts a request and pumps the loop until it is done (false when the watchdog runs out).
    bool Go(THttpRequest Type = httpGET) {
        int before = Done;
        Cli.StartRequest(Type);
        return WaitDone(before + 1);
    }

    bool WaitDone(int Count) {
        WaitFor([&] { return Done >= Count; });
        // Whatever is still queued must not report the request a second time.
        EXPECT_TRUE(DrainLoop());
        return Done == Count;
    }

    std::string Log() const { return JoinEvents(Events); }

private:
    std::vector<TScriptedAnswer> Answers;
    std::size_t Next = 0;
};

using TEngineRun = TScriptedRun<THttpCli>;
