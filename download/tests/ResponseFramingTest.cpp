// Every framing and relocation case through the three ways the program meets a response: the
// engine's events, the session's blocking GET and the worker thread. The engine and the GET run
// over a scripted socket, whole, cut at every byte and one byte at a time; the worker talks to a
// scripted server on 127.0.0.1, whole and one byte at a time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download/THttpThread.h"
#include "download/uHttpClient.h"
#include "platform/UiThread.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/ScriptedServer.h"

namespace {

using namespace std::string_literals;

struct TFramingCase {
    const char* name;
    THttpRequest type;    // HEAD rows run through the engine only
    const char* version;  // the engine's and the blocking GET's request version
    std::string response;
    bool close;        // the server closes after the response
    int status;        // the engine's final status
    std::string body;  // what reached the receive stream
    const char* log;   // the engine's events; nullptr: not compared
    int32_t code;      // the blocking GET's raised status and the worker's code; 0: success
    std::uint16_t closeError = 0;         // the close is a reset with this error
    std::vector<TScriptedAnswer> then{};  // answers to the relocated requests
    // Long answers run whole and cut at these points only; empty: at every byte and one byte
    // at a time.
    std::vector<std::size_t> cuts{};

    std::vector<TScriptedAnswer> Script() const {
        std::vector<TScriptedAnswer> script = {{{response}, close, closeError}};
        script.insert(script.end(), then.begin(), then.end());
        return script;
    }
};

const std::string kChunked =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
    "5\r\nhello\r\n0\r\n\r\n";
const TScriptedAnswer kFinal = {{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfinal"}, false};
const TScriptedAnswer kLoop = {
    {"HTTP/1.1 302 Found\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n"}, false};

std::string Repeat(const std::string& Text, std::size_t Times) {
    std::string out;
    for (std::size_t i = 0; i < Times; ++i) out += Text;
    return out;
}

const std::vector<std::size_t> kLongCuts = {1, 8190, 8191, 600000};

const std::vector<TFramingCase>& Cases() {
    static const std::vector<TFramingCase> cases = {
        {"length, server closes", httpGET, "1.0",
         "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", true, 200, "hello",
         "hb he db d:hello de sc rd0", 0},
        {"length, kept", httpGET, "1.1", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false,
         200, "hello", "hb he db d:hello de rd0", 0},
        {"close-delimited", httpGET, "1.0", "HTTP/1.0 200 OK\r\n\r\nabc", true, 200, "abc",
         "hb he db d:abc de sc rd0", 0},
        {"chunked", httpGET, "1.1", kChunked, false, 200, "hello", "hb he db d:hello de rd0", 0},
        {"chunk extension and trailer", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nabc\r\na\r\n0123456789\r\n"
         "0\r\nX-Trailer: 1\r\n\r\n",
         false, 200, "abc0123456789", "hb he db d:abc d:0123456789 de rd0", 0},
        {"'Chunked' in any case", httpGET, "1.0",
         "HTTP/1.0 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n", true, 200,
         "ab", "hb he db d:ab de sc rd0", 0},
        {"204 without length", httpGET, "1.1", "HTTP/1.1 204 No Content\r\n\r\n", false, 204, "",
         "hb he rd0", 0},
        {"304 without length", httpGET, "1.1", "HTTP/1.1 304 Not Modified\r\n\r\n", false, 304, "",
         "hb he rd0", 304},
        {"length 0 kept", httpGET, "1.1", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false,
         200, "", "hb he rd0", 0},
        {"length 0, closing", httpGET, "1.0", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", false,
         200, "", "hb he sc rd0", 0},
        {"HEAD kept", httpHEAD, "1.1", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", false, 200,
         "", "hb he rd0", 0},
        {"HEAD closing drops what follows", httpHEAD, "1.0",
         "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nstray bytes", false, 200, "",
         "hb he sc rd0", 0},
        {"100 continue", httpGET, "1.1",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, 200,
         "ok", "hb he db d:ok de rd0", 0},
        {"no header at all", httpGET, "1.0", "<html><body>\r\nline two\r\n", true, 0,
         "<html><body>line two\r\n", "hb he db d:<html><body> d:line two\r\n de sc rd0", 502},
        {"status line that is not one", httpGET, "1.1", "FOO BAR\r\nContent-Length: 2\r\n\r\nok",
         false, 0, "ok", "hb p2 he db d:ok de rd0", 502},
        {"NUL inside a header line", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nX-A: a\0b\r\nContent-Length: 2\r\n\r\nok"s, false, 200, "ok",
         "hb he db d:ok de rd0", 0},
        {"huge length", httpGET, "1.0",
         "HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nab", true, 502, "",
         "hb he sc rd0", 502},
        {"negative length", httpGET, "1.0", "HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\nab", true,
         502, "", "hb he sc rd0", 502},
        {"body cut short", httpGET, "1.0", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc", true,
         502, "abc", "hb he db d:abc de sc rd0", 502},
        {"closed inside the header", httpGET, "1.1", "HTTP/1.1 200 OK\r\nContent-Le", true, 502, "",
         "hb he sc rd0", 502},
        {"closed before any byte", httpGET, "1.1", "", true, 502, "", "sc rd0", 502},
        {"status code not a number", httpGET, "1.1",
         "HTTP/1.1 2x0 OK\r\nContent-Length: 2\r\n\r\nok", false, 502, "", "hb he sc rd0", 502},
        {"status line too short", httpGET, "1.1", "HTTP/1.1\r\n\r\n", false, 502, "",
         "hb he sc rd0", 502},
        {"chunk size beyond 64 bits", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFF\r\nab", false,
         502, "", "hb he db de sc rd0", 502},
        {"empty lines before the status line", httpGET, "1.1",
         "\r\n\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, 200, "ok",
         "hb he db d:ok de rd0", 0},
        {"empty line before a relocated answer on the kept connection",
         httpGET,
         "1.1",
         "HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 0\r\n\r\n",
         false,
         200,
         "final",
         "hb he lc hb he db d:final de rd0",
         0,
         0,
         {{{"\r\n" + kFinal.Pieces[0]}, false}}},
        // A header is bounded, however it grows.
        {"header past 1 MiB in one line",
         httpGET,
         "1.1",
         "HTTP/1.1 200 OK\r\nX-Long: " + std::string(1 << 20, 'a') + "\r\n\r\nok",
         false,
         502,
         "",
         "hb he sc rd0",
         502,
         0,
         {},
         kLongCuts},
        {"header past 1 MiB in many lines",
         httpGET,
         "1.1",
         "HTTP/1.1 200 OK\r\n" + Repeat("X-A: b\r\n \tc\r\n", 90000) + "\r\nok",
         false,
         502,
         "",
         "hb he sc rd0",
         502,
         0,
         {},
         kLongCuts},
        {"empty lines past 1 MiB before the status line",
         httpGET,
         "1.1",
         Repeat("\r\n", 600000) + "HTTP/1.1 200 OK\r\n\r\nok",
         false,
         502,
         "",
         "sc rd0",
         502,
         0,
         {},
         kLongCuts},
        // Bodiless answers, whatever their framing fields say.
        {"204 with a length, kept", httpGET, "1.1",
         "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", false, 204, "", "hb he rd0", 0},
        {"304 chunked, kept", httpGET, "1.1",
         "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n", false, 304, "",
         "hb he rd0", 304},
        {"HEAD chunked, kept", httpHEAD, "1.1",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", false, 200, "", "hb he rd0", 0},
        {"103 early hints before the answer", httpGET, "1.1",
         "HTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\nContent-Length: 9\r\n\r\n"
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
         false, 200, "ok", "hb he db d:ok de rd0", 0},
        // Transfer-Encoding is a list; its last coding decides.
        {"'chunked' with trailing blanks", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked  \r\n\r\n2\r\nab\r\n0\r\n\r\n", false, 200,
         "ab", "hb he db d:ab de rd0", 0},
        {"'gzip, chunked' keeps the gzip bytes", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n2\r\nzz\r\n0\r\n\r\n", false,
         200, "zz", "hb he db d:zz de rd0", 0},
        {"chunked over two lines", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n"
         "2\r\nzz\r\n0\r\n\r\n",
         false, 200, "zz", "hb he db d:zz de rd0", 0},
        {"last coding not chunked: until the close", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n2\r\nzz", true, 200, "2\r\nzz",
         "hb he db d:2\r\nzz de sc rd0", 0},
        {"folded transfer-encoding: last coding not chunked", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n  abc\r\n\r\n2\r\nzz", true, 200,
         "2\r\nzz", "hb he db d:2\r\nzz de sc rd0", 0},
        {"fold right after the status line is passed over", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\n Content-Length: 9\r\nContent-Length: 2\r\n\r\nok", false, 200, "ok",
         "hb he db d:ok de rd0", 0},
        {"chunked beside a smaller length", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n"
         "3\r\nabc\r\n0\r\n\r\n",
         false, 200, "abc", "hb he db d:abc de sc rd0", 0},
        // Content-Length: one decimal, or a list of equal ones.
        {"equal lengths in a list", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nContent-Length: 2, 2\r\n\r\nok", false, 200, "ok",
         "hb he db d:ok de rd0", 0},
        {"differing lengths in a list", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nContent-Length: 2, 3\r\n\r\nok", false, 502, "", "hb he sc rd0", 502},
        {"two differing length lines", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok", false, 502, "",
         "hb he sc rd0", 502},
        {"length not a number", httpGET, "1.1", "HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\nok",
         false, 502, "", "hb he sc rd0", 502},
        // Bodies cut short are failures; a reset after the whole body is not.
        {"chunked cut before its last chunk", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel", true, 502, "hel",
         "hb he db d:hel de sc rd0", 502},
        {"chunk size not hex", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nILLEGAL\r\n\r\n", false, 502, "",
         "hb he db de sc rd0", 502},
        {"chunk longer than its size", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", false, 502,
         "ab", "hb he db d:ab de sc rd0", 502},
        {"trailer cut off keeps the whole data", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\nX-T: 1\r\n", true,
         200, "ab", "hb he db d:ab de sc rd0", 0},
        {"reset after the whole body", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok", true, 200, "ok",
         "hb he db d:ok de sc rd10054", 0, 10054},
        {"reset ends a body without length", httpGET, "1.0", "HTTP/1.0 200 OK\r\n\r\nabc", true,
         502, "abc", "hb he db d:abc de sc rd10054", 502, 10054},
        // No status line, or one that cannot be read.
        {"a single byte", httpGET, "1.1", "o", true, 502, "", "sc rd0", 502},
        {"eight NUL bytes", httpGET, "1.1", std::string(8, '\0'), true, 502, "", "sc rd0", 502},
        {"HTTP/2 status line", httpGET, "1.1", "HTTP/2 404\r\nContent-Length: 0\r\n\r\n", false,
         502, "", "hb he sc rd0", 502},
        // The session frames by length like the engine: nothing after the body is kept, and a
        // kept-alive answer to an HTTP/1.0 request ends with its body.
        {"kept-alive answer to HTTP/1.0", httpGET, "1.0",
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: keep-alive\r\n\r\nok", false, 200,
         "ok", "hb he db d:ok de rd0", 0},
        {"bytes after the body", httpGET, "1.0",
         "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nokJUNK", true, 200, "ok",
         "hb he db d:ok de sc rd0", 0},
        // Relocations: the relocating answer is read by its own framing and dropped; nothing of
        // it reaches the next answer.
        {"chunked relocation body",
         httpGET,
         "1.1",
         "HTTP/1.1 302 Found\r\nLocation: /next\r\nTransfer-Encoding: chunked\r\n\r\n"
         "2\r\nmv\r\n0\r\n\r\n",
         false,
         200,
         "final",
         "hb he db d:mv de lc hb he db d:final de rd0",
         0,
         0,
         {kFinal}},
        {"relocation then the server closes",
         httpGET,
         "1.1",
         "HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 2\r\n\r\nmv",
         true,
         200,
         "final",
         "hb he db d:mv de lc hb he db d:final de rd0",
         0,
         0,
         {kFinal}},
        {"relocation with a length beside chunked",
         httpGET,
         "1.1",
         "HTTP/1.1 301 Moved\r\nLocation: /next\r\nContent-Length: 99\r\n"
         "Transfer-Encoding: chunked\r\n\r\n2\r\nmv\r\n0\r\n\r\n",
         false,
         200,
         "final",
         "hb he db d:mv de lc hb he db d:final de rd0",
         0,
         0,
         {kFinal}},
        {"relocation loop ends at the limit", httpGET, "1.1", kLoop.Pieces[0], false, 302, "",
         nullptr, 302, 0, std::vector<TScriptedAnswer>(THttpCli::MaxRelocations + 5, kLoop)},
        {"blank location: the 302 is the answer", httpGET, "1.1",
         "HTTP/1.1 302 Found\r\nLocation:  \r\nContent-Length: 2\r\n\r\nmv", false, 302, "mv",
         "hb he db d:mv de rd0", 302},
        {"folded location: the 302 is the answer", httpGET, "1.1",
         "HTTP/1.1 302 Found\r\nLocation: /a\r\n b\r\nContent-Length: 2\r\n\r\nmv", false, 302,
         "mv", "hb he db d:mv de rd0", 302},
        {"location beside a 200: the 200 is the answer", httpGET, "1.1",
         "HTTP/1.1 200 OK\r\nLocation: this should be ignored\r\nContent-Length: 2\r\n\r\nok",
         false, 200, "ok", "hb he db d:ok de rd0", 0},
        {"ftp target", httpGET, "1.1",
         "HTTP/1.1 302 Found\r\nLocation: ftp://127.0.0.1/pub/f.flv\r\nContent-Length: 2\r\n\r\nmv",
         false, 501, "", "hb he db d:mv de lc sc rd0", 504},
        {"gopher target", httpGET, "1.1",
         "HTTP/1.1 302 Found\r\nLocation: gopher://127.0.0.1/x\r\nContent-Length: 2\r\n\r\nmv",
         false, 501, "", "hb he db d:mv de lc sc rd0", 501},
    };
    return cases;
}

// The script with every answer cut at Cut (npos: one byte at a time).
std::vector<TScriptedAnswer> Split(const std::vector<TScriptedAnswer>& Script, std::size_t Cut) {
    std::vector<TScriptedAnswer> out = Script;
    for (TScriptedAnswer& a : out) {
        std::string whole;
        for (const std::string& p : a.Pieces) whole += p;
        a.Pieces.clear();
        if (Cut == std::string::npos) {
            for (char ch : whole) a.Pieces.emplace_back(1, ch);
        } else {
            a.Pieces = {whole.substr(0, std::min(Cut, whole.size())),
                        whole.substr(std::min(Cut, whole.size()))};
        }
    }
    return out;
}

std::size_t LongestAnswer(const std::vector<TScriptedAnswer>& Script) {
    std::size_t longest = 0;
    for (const TScriptedAnswer& a : Script) {
        std::size_t n = 0;
        for (const std::string& p : a.Pieces) n += p.size();
        longest = std::max(longest, n);
    }
    return longest;
}

// The events without the data blocks, whose cuts follow the reads.
std::string Shape(const std::vector<std::string>& Events) {
    std::vector<std::string> kept;
    for (const std::string& e : Events)
        if (e.compare(0, 2, "d:") != 0) kept.push_back(e);
    return JoinEvents(kept);
}

// The cuts every row runs with: whole, at every byte, one byte at a time.
std::vector<std::size_t> Cuts(const TFramingCase& c) {
    if (!c.cuts.empty()) return c.cuts;
    std::vector<std::size_t> cuts;
    for (std::size_t cut = 0; cut <= LongestAnswer(c.Script()); ++cut) cuts.push_back(cut);
    cuts.push_back(std::string::npos);
    return cuts;
}

std::string CutName(std::size_t Cut) {
    return Cut == std::string::npos ? "byte by byte" : "cut at " + std::to_string(Cut);
}

TEST(Framing, Engine) {
    for (const auto& c : Cases()) {
        SCOPED_TRACE(c.name);
        TEngineRun whole(c.Script());
        whole.Cli.SetRequestVer(c.version);
        ASSERT_TRUE(whole.Go(c.type)) << whole.Log();
        if (c.log != nullptr) {
            EXPECT_EQ(whole.Log(), c.log);
        }
        EXPECT_EQ(whole.Cli.StatusCode(), c.status) << whole.Cli.ReasonPhrase();
        EXPECT_EQ(whole.Body.Data(), c.body);
        for (std::size_t cut : Cuts(c)) {
            SCOPED_TRACE(CutName(cut));
            TEngineRun run(Split(c.Script(), cut));
            run.Cli.SetRequestVer(c.version);
            ASSERT_TRUE(run.Go(c.type)) << run.Log();
            EXPECT_EQ(Shape(run.Events), Shape(whole.Events));
            EXPECT_EQ(run.Cli.StatusCode(), c.status) << run.Cli.ReasonPhrase();
            EXPECT_EQ(run.Body.Data(), c.body);
        }
    }
}

// Runs the session's blocking GET over the script; the status it raised, 0 when it returned.
int32_t GetSyncCode(TScriptedRun<THttpClient>& Run) {
    try {
        Run.Cli.GetSync();
        return 0;
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.HttpErrorCode, Run.Cli.StatusCode());
        return e.HttpErrorCode;
    }
}

TEST(Framing, SessionGetSync) {
    for (const auto& c : Cases()) {
        if (c.type != httpGET) continue;
        SCOPED_TRACE(c.name);
        for (std::size_t cut : Cuts(c)) {
            SCOPED_TRACE(CutName(cut));
            TScriptedRun<THttpClient> run(Split(c.Script(), cut));
            run.Cli.SetRequestVer(c.version);
            EXPECT_EQ(GetSyncCode(run), c.code) << run.Cli.ReasonPhrase();
            EXPECT_EQ(run.Body.Data(), c.body);
            EXPECT_TRUE(run.WaitDone(1)) << "reported " << run.Done << " times";
        }
    }
}

class FramingWorker : public ::testing::Test {
protected:
    // The worker in memory mode against the script served for real, one connection per answer
    // (its HTTP/1.0 requests never keep one), whole or one byte at a time.
    void RunWorker(const TFramingCase& c, bool ByteByByte) {
        std::vector<TScriptedServer::TConnection> connections;
        for (const TScriptedAnswer& a : Split(c.Script(), ByteByByte ? std::string::npos : 0))
            connections.push_back({TScriptedServer::TExchange(a.Pieces, a.Close)});
        TScriptedServer server(connections, ByteByByte ? 1 : 0);
        TUrlInfo request;
        request.Url = server.Url("/dir/page.html");
        int32_t code = -1;
        std::string body;
        bool ended = false;
        auto* t = new THttpThread(request, Ui);
        t->OnDone = [&](THttpThread* th, int32_t e) {
            code = e;
            body = std::string(th->BodyBytes());
        };
        t->OnTerminate = [&](THttpThread*) { ended = true; };
        t->Resume();
        ASSERT_TRUE(Ui.WaitFor([&] { return ended; }, std::chrono::seconds(20)));
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(body, c.body);
    }

    TQueuedUiThread Ui;
};

TEST_F(FramingWorker, WholeAndByteByByte) {
    for (const auto& c : Cases()) {
        // A reset cannot be ordered after the data on a real connection; the scripted socket
        // covers those rows.
        if (c.type != httpGET || c.closeError != 0) continue;
        SCOPED_TRACE(c.name);
        RunWorker(c, false);
        if (c.cuts.empty()) RunWorker(c, true);
    }
}

}  // namespace
