// Feeds arbitrary server bytes to the HTTP engine's response side over a scripted socket, cut
// into pieces of a size the input chooses, with or without the server's close at the end, and
// optionally with the owner aborting from one of the engine's events. Every request must end
// exactly once; an answer that stays open is ended with Abort.
#include <cstdint>
#include <string>

#include "http/THttpCli.h"
#include "http/TStream.h"
#include "tests/support/FeedSocket.h"
#include "platform/EventLoop.h"

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

    TMemoryStream body;
    int done = 0;
    int answers = 0;
    {
        TFeedHttpCli cli;
        cli.URL = "http://example.test/dir/page.html";
        cli.ReceiveStream = &body;
        cli.SetRequestVer((flags & 0x20) != 0 ? "1.1" : "1.0");
        if ((flags & 0x40) != 0) cli.Proxy = "proxy.test:3128";
        ArmAborts(cli, owner);
        cli.OnRequestDone = [&](THttpCli*, THttpRequest, std::uint16_t) { ++done; };
        cli.Feed()->OnRequest = [&] {
            TFeedSocket* s = cli.Feed();
            if (answers++ == 0) {
                for (std::size_t at = 0; at < response.size(); at += step)
                    s->Feed(response.substr(at, step));
                if (closeAtEnd) s->PeerClose();
            } else {
                // Relocations get a short final answer.
                s->Feed("HTTP/1.0 200 OK\r\n\r\nend");
                s->PeerClose();
            }
        };
        cli.StartRequest((flags & 0x80) != 0 ? httpHEAD : httpGET);
        Drain();
        if (cli.State() != EngineState::Idle) {
            // A closed connection must have ended the request by itself.
            if (closeAtEnd) __builtin_trap();
            // Still waiting for more of an answer that will never come.
            cli.Abort();
            Drain();
        }
        if (cli.State() != EngineState::Idle || done != 1) __builtin_trap();
        if (cli.ReceivedCount() < 0) __builtin_trap();
    }
    Drain();
    if (done != 1) __builtin_trap();
    return 0;
}
