// The request side against a scripted socket: exact header bytes, proxies, refused values,
// connection reuse, the engine's own failures and its misuse exceptions.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/EngineHarness.h"
#include "tests/support/LoopWait.h"

namespace {

const TScriptedAnswer kOk = {{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}, false};

// The request header as sent, up to and including its empty line.
std::string FirstHeader(const std::string& sent) {
    return sent.substr(0, sent.find("\r\n\r\n") + 4);
}

TEST(Request, DefaultGetHeader) {
    TEngineRun run({kOk});
    ASSERT_TRUE(run.Go());
    EXPECT_EQ(FirstHeader(run.Cli.Feed()->Sent),
              "GET /dir/page.html HTTP/1.0\r\n"
              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
              "User-Agent: Mozilla/4.0 (compatible; Orvo)\r\n"
              "Host: example.test\r\n\r\n");
}

TEST(Request, EveryLineInItsPlace) {
    TMemoryStream post("0123456789");
    post.Seek(3, soBeginning);  // the body is read from the current position
    TEngineRun run({kOk});
    THttpCli& c = run.Cli;
    c.URL = "http://user:pw@example.test:8080/p?q=1";
    c.Sender = "me@example.test";
    c.Accept = "*/*";
    c.Reference = "http://ref.test/";
    c.Connection = "Keep-Alive";
    c.ProxyConnection = "Keep-Alive";
    c.AcceptLanguage = "en";
    c.ContentTypePost = "text/plain";
    c.Agent = "Agent/1";
    c.NoCache = true;
    c.ModifiedSince = 34644 + (8 * 3600 + 49 * 60 + 37) / 86400.0;
    c.Cookie = "a=1; b=2";
    c.ContentRangeBegin = "100";
    c.SendStream = &post;
    std::vector<std::string> commands;
    c.OnCommand = [&](THttpCli*, std::string& s) { commands.push_back(s); };
    std::string order;
    c.OnRequestHeaderBegin = [&](THttpCli*) { order += "begin "; };
    c.OnBeforeHeaderSend = [&](THttpCli*, const std::string& m, std::vector<std::string>& l) {
        order += m + ":" + std::to_string(l.size()) + " ";
        l.push_back("X-Added: 1");
    };
    c.OnRequestHeaderEnd = [&](THttpCli*) { order += "end:" + std::to_string(commands.size()); };
    ASSERT_TRUE(run.Go(httpPOST));
    EXPECT_EQ(run.Cli.Feed()->Sent,
              "POST /p?q=1 HTTP/1.0\r\n"
              "From: me@example.test\r\n"
              "Accept: */*\r\n"
              "Referer: http://ref.test/\r\n"
              "Connection: Keep-Alive\r\n"
              "Proxy-Connection: Keep-Alive\r\n"
              "Accept-Language: en\r\n"
              "Content-Type: text/plain\r\n"
              "User-Agent: Agent/1\r\n"
              "Host: example.test:8080\r\n"
              "Pragma: no-cache\r\n"
              "Content-Length: 7\r\n"
              "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
              "Cookie: a=1; b=2\r\n"
              "Range: bytes=100-\r\n"
              "X-Added: 1\r\n\r\n"
              "3456789");
    EXPECT_EQ(order, "begin POST:15 end:16");
    EXPECT_EQ(commands.size(), 17u);
    EXPECT_EQ(commands.back(), "");
    EXPECT_EQ(c.Username, "user");
    EXPECT_EQ(c.Password, "pw");
    EXPECT_EQ(c.ContentRangeBegin, "");  // the range is used once
    EXPECT_EQ(c.SentCount(), 7);
}

TEST(Request, ThroughProxy) {
    struct {
        const char* url;
        const char* proxy;
        const char* requestLine;
        const char* host;
        const char* connectHost;
        const char* connectPort;
    } cases[] = {
        {"http://site.test/a?b", "proxy.test", "GET http://site.test/a?b HTTP/1.0", "site.test",
         "proxy.test", "3128"},
        {"http://site.test:81/a", "http://proxy.test:8888", "GET http://site.test:81/a HTTP/1.0",
         "site.test:81", "proxy.test", "8888"},
        {"site.test", "proxy.test", "GET http://site.test HTTP/1.0", "site.test", "proxy.test",
         "3128"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        TEngineRun run({kOk});
        run.Cli.URL = c.url;
        run.Cli.Proxy = c.proxy;
        run.Cli.ProxyPort = "3128";
        ASSERT_TRUE(run.Go());
        const std::string header = FirstHeader(run.Cli.Feed()->Sent);
        EXPECT_EQ(header.substr(0, header.find("\r\n")), c.requestLine);
        EXPECT_NE(header.find(std::string("\r\nHost: ") + c.host + "\r\n"), std::string::npos);
        EXPECT_EQ(run.Cli.ConnectHost(), c.connectHost);
        EXPECT_EQ(run.Cli.ConnectPort(), c.connectPort);
    }
}

// Values with CR, LF or NUL would add lines of their own; the request is refused instead.
TEST(Request, LineBreaksInValuesAreRefused) {
    using namespace std::string_literals;
    struct {
        const char* name;
        std::string url, cookie, agent;
    } cases[] = {
        {"URL", "http://example.test/a\r\nX-Evil: 1", "", "A"},
        {"URL with NUL", "http://example.test/a\0b"s, "", "A"},
        {"cookie", "http://example.test/", "a=1\nSet: 2", "A"},
        {"agent", "http://example.test/", "", "A\rB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TEngineRun run({kOk});
        run.Cli.SetRequestVer("1.1");
        run.Cli.URL = c.url;
        run.Cli.Cookie = c.cookie;
        run.Cli.Agent = c.agent;
        ASSERT_TRUE(run.Go()) << run.Log();
        EXPECT_EQ(run.Cli.StatusCode(), THttpCli::RefusedRequestStatus);
        EXPECT_NE(run.Cli.ReasonPhrase().find("CR, LF or NUL"), std::string::npos);
        EXPECT_EQ(run.Cli.Feed()->Sent.find("\r\n\r\n"), std::string::npos);
        EXPECT_EQ(run.Cli.Socket()->State(), wsClosed);
    }
}

TEST(Request, KeptConnectionIsReused) {
    struct {
        const char* version;
        const char* secondUrl;
        int lookups;
    } cases[] = {
        {"1.1", "http://example.test/two", 1},
        {"1.0", "http://example.test/two", 2},
        {"1.1", "http://example.test:81/two", 2},
        {"1.1", "http://other.test/two", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.version) + " " + c.secondUrl);
        const bool closes = std::string(c.version) == "1.0";
        TEngineRun run({{kOk.Pieces, closes}, {kOk.Pieces, closes}});
        run.Cli.SetRequestVer(c.version);
        ASSERT_TRUE(run.Go());
        run.Cli.URL = c.secondUrl;
        std::vector<int> states;
        run.Cli.OnStateChange = [&](THttpCli* s) { states.push_back(int(s->State())); };
        ASSERT_TRUE(run.Go());
        EXPECT_EQ(run.Cli.Feed()->Lookups, c.lookups);
        EXPECT_EQ(run.Cli.Feed()->Connects, c.lookups);
        if (c.lookups == 1) {
            // Connected, AwaitingHeader, ReceivingBody, BodyComplete, Idle: no lookup, no connect
            EXPECT_EQ(states, (std::vector<int>{2, 5, 6, 7, 0}));
        }
        EXPECT_EQ(run.Body.Data(), "okok");
    }
}

TEST(Request, CloseRequestEndsTheKeptConnection) {
    TEngineRun run({kOk});
    run.Cli.SetRequestVer("1.1");
    ASSERT_TRUE(run.Go());
    run.Events.clear();
    ASSERT_TRUE(run.Go(httpCLOSE));
    EXPECT_EQ(run.Log(), "sc rd0");
    EXPECT_EQ(run.Cli.Socket()->State(), wsClosed);
    EXPECT_EQ(run.Cli.StatusCode(), 200);
    EXPECT_EQ(run.Cli.RequestType(), httpGET);  // the close does not replace the request type
    run.Events.clear();
    ASSERT_TRUE(run.Go(httpCLOSE));  // nothing to close: straight back to Idle
    EXPECT_EQ(run.Log(), "rd0");
}

TEST(Request, EngineFailures) {
    TEngineRun gopher;
    gopher.Cli.URL = "gopher://example.test/";
    ASSERT_TRUE(gopher.Go());
    EXPECT_EQ(gopher.Cli.StatusCode(), 501);
    EXPECT_EQ(gopher.Cli.ReasonPhrase(), "Protocol \"gopher\" not implemented");
    EXPECT_EQ(gopher.Cli.Feed()->Connects, 0);
    EXPECT_EQ(gopher.Log(), "sc rd0");

    TEngineRun idle;
    std::vector<std::string> seen;
    idle.Cli.OnStateChange = [&](THttpCli*) { seen.push_back("state"); };
    idle.Cli.Abort();
    EXPECT_EQ(idle.Log(), "rd0");  // at once, not queued
    EXPECT_EQ(idle.Cli.StatusCode(), 200);
    EXPECT_EQ(seen.size(), 1u);

    TEngineRun midBody({{{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"}, false}});
    midBody.Cli.OnDocData = [](THttpCli* s, const char*, int) { s->Abort(); };
    ASSERT_TRUE(midBody.Go());
    EXPECT_EQ(midBody.Cli.StatusCode(), 404);
    EXPECT_EQ(midBody.Cli.ReasonPhrase(), "Connection aborted on request");
    EXPECT_EQ(midBody.DoneError, 3);
    EXPECT_EQ(midBody.Log(), "hb he db de sc rd3");

    TEngineRun atHeaderEnd({{{"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"}, false}});
    atHeaderEnd.Cli.OnHeaderEnd = [](THttpCli* s) { s->Abort(); };
    ASSERT_TRUE(atHeaderEnd.Go());
    EXPECT_EQ(atHeaderEnd.Log(), "hb sc rd3");
    EXPECT_EQ(atHeaderEnd.Body.Data(), "");
}

// An owner may end the request from any state event; it must then end exactly once.
TEST(Request, AbortFromEveryStateEvent) {
    const EngineState states[] = {EngineState::Starting,       EngineState::Resolving,
                                  EngineState::Resolved,       EngineState::Connected,
                                  EngineState::AwaitingHeader, EngineState::ReceivingBody,
                                  EngineState::BodyComplete};
    for (EngineState at : states) {
        SCOPED_TRACE(int(at));
        TEngineRun run({{{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"}, false}});
        run.Cli.SetRequestVer("1.1");
        run.Cli.OnStateChange = [at](THttpCli* s) {
            if (s->State() == at) s->Abort();
        };
        ASSERT_TRUE(run.Go()) << run.Log();
        EXPECT_EQ(run.DoneError, 3);
        EXPECT_EQ(run.Cli.StatusCode(), 404);
        EXPECT_EQ(run.Cli.State(), EngineState::Idle);
    }
}

// Every state change of the engine and of its socket reaches the debug output when asked for.
TEST(Request, StateChangesAreTracedWhenDebugging) {
    ::setenv("SORLEN_DEBUG", "1", 1);
    testing::internal::CaptureStderr();
    {
        TEngineRun run({{{"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"}, true}});
        EXPECT_TRUE(run.Go());
    }
    const std::string trace = testing::internal::GetCapturedStderr();
    ::unsetenv("SORLEN_DEBUG");
    EXPECT_EQ(trace,
              "http state Idle -> Starting\n"
              "http state Starting -> Resolving\n"
              "http state Resolving -> Resolved\n"
              "socket state Closed -> Connected\n"
              "http state Resolved -> Connected\n"
              "http state Connected -> AwaitingHeader\n"
              "http state AwaitingHeader -> ReceivingBody\n"
              "http state ReceivingBody -> BodyComplete\n"
              "socket state Connected -> Closed\n"
              "http state BodyComplete -> Idle\n");
}

// The same from every other event of a request that relocates and then gets a chunked body,
// on a kept connection and on a closing one.
// Ends a running request; events that come again after it (one per request line) find it idle.
void Stop(THttpCli* s) {
    if (s->State() != EngineState::Idle) s->Abort();
}

TEST(Request, AbortFromEveryEvent) {
    using TArm = void (*)(THttpCli&);
    const std::vector<std::pair<const char*, TArm>> events = {
        {"OnSessionConnected",
         [](THttpCli& c) { c.OnSessionConnected = [](THttpCli* s) { Stop(s); }; }},
        {"OnRequestHeaderBegin",
         [](THttpCli& c) { c.OnRequestHeaderBegin = [](THttpCli* s) { Stop(s); }; }},
        {"OnBeforeHeaderSend",
         [](THttpCli& c) {
             c.OnBeforeHeaderSend = [](THttpCli* s, const std::string&, std::vector<std::string>&) {
                 Stop(s);
             };
         }},
        {"OnCommand",
         [](THttpCli& c) { c.OnCommand = [](THttpCli* s, std::string&) { Stop(s); }; }},
        {"OnRequestHeaderEnd",
         [](THttpCli& c) { c.OnRequestHeaderEnd = [](THttpCli* s) { Stop(s); }; }},
        {"OnHeaderBegin", [](THttpCli& c) { c.OnHeaderBegin = [](THttpCli* s) { Stop(s); }; }},
        {"OnHeaderData", [](THttpCli& c) { c.OnHeaderData = [](THttpCli* s) { Stop(s); }; }},
        {"OnHeaderEnd", [](THttpCli& c) { c.OnHeaderEnd = [](THttpCli* s) { Stop(s); }; }},
        {"OnDocBegin", [](THttpCli& c) { c.OnDocBegin = [](THttpCli* s) { Stop(s); }; }},
        {"OnDocData",
         [](THttpCli& c) { c.OnDocData = [](THttpCli* s, const char*, int) { Stop(s); }; }},
        {"OnDocEnd", [](THttpCli& c) { c.OnDocEnd = [](THttpCli* s) { Stop(s); }; }},
        {"OnLocationChange",
         [](THttpCli& c) { c.OnLocationChange = [](THttpCli* s) { Stop(s); }; }},
        {"OnCookie",
         [](THttpCli& c) { c.OnCookie = [](THttpCli* s, const std::string&, bool&) { Stop(s); }; }},
    };
    for (const char* version : {"1.1", "1.0"}) {
        const bool closes = std::string(version) == "1.0";
        for (const auto& [name, arm] : events) {
            SCOPED_TRACE(std::string(name) + " " + version);
            TEngineRun run(
                {{{"HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 2\r\n\r\nmv"}, closes},
                 {{"HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nTransfer-Encoding: chunked\r\n\r\n"
                   "2\r\nab\r\n0\r\n\r\n"},
                  closes}});
            run.Cli.SetRequestVer(version);
            arm(run.Cli);
            EXPECT_TRUE(run.Go()) << run.Log();
            EXPECT_EQ(run.DoneError, 3);
            EXPECT_EQ(run.Cli.StatusCode(), 404);
            EXPECT_EQ(run.Cli.State(), EngineState::Idle);
        }
    }
}

TEST(Request, MisuseRaises) {
    TEngineRun run({kOk});
    run.Cli.Name = "Http1";
    run.Cli.Feed()->OnRequest = nullptr;  // keep the first request running
    run.Cli.StartRequest(httpGET);
    try {
        run.Cli.StartRequest(httpGET);
        ADD_FAILURE() << "no exception";
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.HttpErrorCode, 1);
        EXPECT_STREQ(e.what(), "HTTP component Http1 is busy");
    }
    run.Cli.Abort();
    try {
        run.Cli.StartRequest(httpPUT);
        ADD_FAILURE() << "no exception";
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.HttpErrorCode, 2);
    }
    run.Cli.SetRequestVer("1.1");
    try {
        run.Cli.SetRequestVer("2.0");
        ADD_FAILURE() << "no exception";
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.HttpErrorCode, 5);
        EXPECT_STREQ(e.what(), "Insupported HTTP version");
    }
    EXPECT_EQ(run.Cli.RequestVer(), "1.1");
}

TEST(Request, DocumentNameFromPathAndType) {
    struct {
        const char* url;
        const char* contentType;
        const char* name;
    } cases[] = {
        {"http://h/dir/", "text/html", "document.htm"},
        {"http://h/a/setup.exe", "text/html", "setup.htm"},
        {"http://h/a/setup.exe", "application/octet-stream", "setup.exe"},
        {"http://h/a/readme", "text/html", "readme.htm"},
        {"http://h/a/b.php?x=1/y", "text/html", "b.php"},
        {"http://h", "text/plain", "document.htm"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        TEngineRun run(
            {{{std::string("HTTP/1.0 200 OK\r\nContent-Type: ") + c.contentType + "\r\n\r\nx"},
              true}});
        run.Cli.URL = c.url;
        ASSERT_TRUE(run.Go());
        EXPECT_EQ(run.Cli.DocumentName(), c.name);
    }
}

TEST(Request, BandwidthPausesAndResumes) {
    // The body comes in small pieces, each fed only while the socket reads, so that the quota
    // of 1000 bytes a window has to pause the socket and resume it, window after window.
    const std::string body(3000, 'b');
    TEngineRun run({{{"HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n"}, false}});
    run.Cli.SetRequestVer("1.1");
    run.Cli.Options = {httpoBandwidthControl};
    run.Cli.BandwidthLimit = 20000;
    run.Cli.BandwidthSampling = 50;
    int windowsEnded = 0;  // data that ran over the quota and paused the socket
    run.Cli.OnDocData = [&](THttpCli* s, const char*, int) {
        if (static_cast<TFeedHttpCli*>(s)->Feed()->Paused) ++windowsEnded;
    };
    run.Cli.StartRequest(httpGET);
    std::size_t fed = 0;
    EXPECT_TRUE(WaitFor([&] {
        // The pieces follow the answer's header, which the scripted server sends first. They go
        // in back to back between two turns of the loop, where no window can end, so each
        // window's quota is overrun however slowly the loop turns.
        const bool header =
            std::find(run.Events.begin(), run.Events.end(), "he") != run.Events.end();
        while (header && !run.Cli.Feed()->Paused && fed < body.size()) {
            run.Cli.Feed()->Feed(body.substr(fed, 250));
            fed += 250;
        }
        return run.Done > 0;
    })) << "the throttled socket was not resumed";
    EXPECT_EQ(run.Done, 1);
    EXPECT_GE(windowsEnded, 2);
    EXPECT_TRUE(run.Body.Data() == body) << run.Body.Data().size() << " bytes";
    EXPECT_TRUE(run.Cli.Socket()->ComponentOptions().Has(wsoNoReceiveLoop));
}

}  // namespace
