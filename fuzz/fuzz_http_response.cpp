// Feeds arbitrary server bytes to the HTTP engine's response side over a scripted socket, cut
// into pieces of a size the input chooses, with or without the server's close at the end, and
// optionally with the owner aborting from one of the engine's events; or to the program's
// session through its blocking GET. Every request must end exactly once (an answer that stays
// open is ended with Abort), and no answer whose body is known to be short may end as a success.
#include <cstdint>
#include <string>

#include "download/uHttpClient.h"
#include "http/THttpCli.h"
#include "http/TStream.h"
#include "platform/EventLoop.h"
#include "tests/support/FeedSocket.h"

namespace {

// Runs what is queued; a queue that never drains is a fault of its own.
void Drain() {
    TEventLoop& loop = TEventLoop::Current();
    for (int pass = 0; loop.ProcessPending(); ++pass) {
        if (pass > 100000) __builtin_trap();
    }
}

// Aborts the running request at the chosen call of the chosen event.
struct TOwnerAbort {
    int Event = 0;  // 0: never
    int Call = 0;   // which call of that event, from 0
    int Seen = 0;
    void At(THttpCli* s, int event) {
        if (event != Event || Seen++ != Call) return;
        if (s->State() != EngineState::Idle) s->Abort();
    }
};

void ArmAborts(THttpCli& cli, TOwnerAbort& a) {
    cli.OnStateChange = [&a](THttpCli* s) { a.At(s, 1); };
    cli.OnSessionConnected = [&a](THttpCli* s) { a.At(s, 2); };
    cli.OnCommand = [&a](THttpCli* s, std::string&) { a.At(s, 3); };
    cli.OnHeaderBegin = [&a](THttpCli* s) { a.At(s, 4); };
    cli.OnHeaderData = [&a](THttpCli* s) { a.At(s, 5); };
    cli.OnCookie = [&a](THttpCli* s, const std::string&, bool&) { a.At(s, 6); };
    cli.OnHeaderEnd = [&a](THttpCli* s) { a.At(s, 7); };
    cli.OnDocBegin = [&a](THttpCli* s) { a.At(s, 8); };
    cli.OnDocData = [&a](THttpCli* s, const char*, int) { a.At(s, 9); };
    cli.OnDocEnd = [&a](THttpCli* s) { a.At(s, 10); };
    cli.OnLocationChange = [&a](THttpCli* s) { a.At(s, 11); };
    cli.OnSessionClosed = [&a](THttpCli* s) { a.At(s, 12); };
    cli.OnDataPush = [&a](THttpCli* s, std::uint16_t) { a.At(s, 13); };
    cli.OnDataPush2 = [&a](THttpCli* s) { a.At(s, 14); };
}

// A success must carry its whole body: the announced length, or every chunk.
void CheckWholeBody(const THttpCli& cli) {
    const int status = cli.StatusCode();
    if (cli.State() != EngineState::Idle || status < 200 || status > 399) return;
    if (cli.RequestType() == httpHEAD) return;
    if (cli.BodyFraming() == TBodyFraming::Length && cli.ReceivedCount() != cli.ContentLength())
        __builtin_trap();
}

// What every run shares: the target, the owner's aborts, the count of request ends, and the
// scripted server, which sends the input's answer cut into pieces of Step bytes (then maybe its
// close) and a short final answer to any relocation.
struct TRun {
    TRun(const std::string& R, std::size_t S, bool C) : Response(R), Step(S), CloseAtEnd(C) {}
    const std::string& Response;
    std::size_t Step;
    bool CloseAtEnd;
    TMemoryStream Body;
    int Done = 0;
    int Answers = 0;

    template <class TCli>
    void Arm(TFeedClient<TCli>& cli, TOwnerAbort& owner, bool proxy) {
        cli.URL = "http://example.test/dir/page.html";
        cli.ReceiveStream = &Body;
        if (proxy) cli.Proxy = "proxy.test:3128";
        ArmAborts(cli, owner);
        cli.OnRequestDone = [this](THttpCli*, THttpRequest, std::uint16_t) { ++Done; };
        cli.Feed()->OnRequest = [this, &cli] {
            TFeedSocket* s = cli.Feed();
            if (Answers++ == 0) {
                for (std::size_t at = 0; at < Response.size(); at += Step)
                    s->Feed(Response.substr(at, Step));
                if (CloseAtEnd) s->PeerClose();
            } else {
                s->Feed("HTTP/1.0 200 OK\r\n\r\nend");
                s->PeerClose();
            }
        };
    }
};

// The session's path: its blocking GET over the whole answer and the server's close. A GET
// that returns must have found a 2xx status line and a whole body.
void RunSession(TRun& run, TOwnerAbort& owner, bool proxy) {
    {
        TFeedClient<THttpClient> cli;
        run.Arm(cli, owner, proxy);
        bool ok = true;
        try {
            cli.GetSync();
        } catch (const EHttpException&) {
            ok = false;
        }
        Drain();
        if (cli.State() != EngineState::Idle || run.Done != 1) __builtin_trap();
        if (ok) {
            if (cli.StatusCode() < 200 || cli.StatusCode() > 299) __builtin_trap();
            CheckWholeBody(cli);
        }
    }
    Drain();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    TOwnerAbort owner;
    owner.Event = data[1] & 0x0F;
    owner.Call = data[1] >> 4;
    const std::string response(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::size_t step = (flags & 0x0F) == 0 ? response.size() + 1 : (flags & 0x0F);
    const bool closeAtEnd = (flags & 0x10) != 0;

    TRun run(response, step, closeAtEnd);
    const bool proxy = (flags & 0x40) != 0;
    // Event 15 is no event of the engine: those inputs take the session's path instead, which
    // always ends with the server's close.
    if (owner.Event == 15) {
        owner.Event = owner.Call;
        owner.Call = 0;
        run.CloseAtEnd = true;
        RunSession(run, owner, proxy);
        return 0;
    }
    {
        TFeedHttpCli cli;
        run.Arm(cli, owner, proxy);
        cli.SetRequestVer((flags & 0x20) != 0 ? "1.1" : "1.0");
        cli.StartRequest((flags & 0x80) != 0 ? httpHEAD : httpGET);
        Drain();
        if (cli.State() != EngineState::Idle) {
            // A closed connection must have ended the request by itself.
            if (closeAtEnd) __builtin_trap();
            // Still waiting for more of an answer that will never come.
            cli.Abort();
            Drain();
        }
        if (cli.State() != EngineState::Idle || run.Done != 1) __builtin_trap();
        if (cli.ReceivedCount() < 0) __builtin_trap();
        CheckWholeBody(cli);
    }
    Drain();
    if (run.Done != 1) __builtin_trap();
    return 0;
}
