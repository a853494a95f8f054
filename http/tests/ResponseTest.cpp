// Response handling against a scripted socket: event sequences, body framing, relocations and
// every kind of bad server input the engine must survive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/EngineHarness.h"

namespace {

using namespace std::string_literals;

const std::string kChunked =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
    "5\r\nhello\r\n0\r\n\r\n";

TEST(Response, HeaderFieldsAreRead) {
    TEngineRun run({{{"HTTP/1.1 206 Partial Content\r\n"
                      "Content-Type: Text/HTML; Charset=X\r\n"
                      "Content-Range: bytes 100-199/1000\r\n"
                      "Accept-Ranges: bytes\r\n"
                      "WWW-Authenticate: Basic realm=x\r\n"
                      "Set-Cookie: a=1\r\n"
                      "SET-COOKIE:    b=2\r\n"
                      "X-Empty:   \r\n"
                      "no colon here\r\n"
                      "Content-Length: 2\r\n\r\nok"},
                     false}});
    std::vector<std::string> cookies;
    run.Cli.OnCookie = [&](THttpCli*, const std::string& v, bool& accept) {
        EXPECT_TRUE(accept);
        cookies.push_back(v);
    };
    int headerData = 0;
    run.Cli.OnHeaderData = [&](THttpCli*) { ++headerData; };
    run.Cli.SetRequestVer("1.1");
    ASSERT_TRUE(run.Go());
    EXPECT_EQ(run.Cli.StatusCode(), 206);
    EXPECT_EQ(run.Cli.ReasonPhrase(), "Partial Content");
    EXPECT_EQ(run.Cli.ResponseVersion(), "1.1");
    EXPECT_EQ(run.Cli.ContentType(), "text/html; charset=x");
    EXPECT_EQ(run.Cli.ContentRangeBegin, "100");
    EXPECT_EQ(run.Cli.ContentRangeEnd, "199");
    EXPECT_EQ(run.Cli.AcceptRanges(), "bytes");
    EXPECT_EQ(run.Cli.ContentLength(), 2);
    EXPECT_EQ(cookies, (std::vector<std::string>{"a=1", "b=2"}));
    EXPECT_EQ(run.Cli.ReceivedHeader().size(), 10u);
    EXPECT_EQ(headerData, 10);
    EXPECT_EQ(run.Cli.ReceivedHeader().front(), "HTTP/1.1 206 Partial Content");
}

TEST(Response, ConnectionValueDecidesTheClose) {
    struct {
        const char* version;
        const char* answer;
        const char* connection;
        bool closes;
    } cases[] = {
        {"1.0", "1.1", "", true},
        {"1.0", "1.1", "Keep-Alive", false},
        {"1.1", "1.1", "", false},
        {"1.1", "1.1", " close ", true},
        {"1.1", "1.1", "upgrade", false},
        {"1.0", "1.1", "whatever", true},
        {"1.1", "1.0", "", true},
        {"1.1", "1.0", "keep-alive", false},
        {"1.1", "1.1", "keep-alive, close", true},
        {"1.1", "1.1", "close, keep-alive", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.version) + " " + c.answer + " '" + c.connection + "'");
        std::string header = std::string("HTTP/") + c.answer + " 200 OK\r\nContent-Length: 1\r\n";
        if (*c.connection) header += std::string("Connection:") + c.connection + "\r\n";
        TEngineRun run({{{header + "\r\nx"}, false}});
        run.Cli.SetRequestVer(c.version);
        ASSERT_TRUE(run.Go());
        EXPECT_EQ(run.Cli.CloseAfterResponse(), c.closes);
        EXPECT_EQ(run.Cli.Socket()->State() == wsClosed, c.closes);
    }
}

// A close at any byte of a response ends the request exactly once.
TEST(Response, CloseAtEveryByteEndsTheRequest) {
    const std::vector<std::string> responses = {
        kChunked,
        "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc",
        "HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 2\r\n\r\nmv",
        "<HTML>\r\nabc",
    };
    for (const std::string& response : responses) {
        for (std::size_t cut = 0; cut <= response.size(); ++cut) {
            SCOPED_TRACE(response.substr(0, cut));
            TEngineRun run({{{response.substr(0, cut)}, true},
                            {{"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz"}, true}});
            run.Cli.SetRequestVer("1.1");
            ASSERT_TRUE(run.Go()) << run.Log();
            EXPECT_EQ(run.Cli.State(), EngineState::Idle);
        }
    }
}

TEST(Response, BytesBeyondAKeptBodyDoNotLeakIntoTheNextAnswer) {
    TEngineRun run({{{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokJUNK"}, false},
                    {{"HTTP/1.1 201 Created\r\nContent-Length: 1\r\n\r\nz"}, false}});
    run.Cli.SetRequestVer("1.1");
    ASSERT_TRUE(run.Go());
    EXPECT_EQ(run.Body.Data(), "ok");
    ASSERT_TRUE(run.Go());
    EXPECT_EQ(run.Cli.StatusCode(), 201);
    EXPECT_EQ(run.Body.Data(), "okz");
}

// Whatever the server sends, nothing is written or read outside the receive buffer.
TEST(Response, OverfullBufferStaysInBounds) {
    const std::string big(20000, 'x');
    struct {
        const char* name;
        std::string response;
        int status;
        std::size_t bodySize;
    } cases[] = {
        {"chunked beside a smaller length",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n4e20\r\n" +
             big + "\r\n0\r\n\r\n",
         200, big.size()},
        {"junk without a line end after a kept body",
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" + big, 200, 2},
        {"header line longer than the buffer, many times over",
         "HTTP/1.1 200 OK\r\nX: " + big + big + "\r\nContent-Length: 2\r\n\r\nok", 200, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> pieces;
        for (std::size_t at = 0; at < c.response.size(); at += 1000)
            pieces.push_back(c.response.substr(at, 1000));
        TEngineRun run({{pieces, false}});
        run.Cli.SetRequestVer("1.1");
        ASSERT_TRUE(run.Go());
        EXPECT_EQ(run.Cli.StatusCode(), c.status);
        EXPECT_EQ(run.Body.Data().size(), c.bodySize);
        EXPECT_LE(run.Cli.InCount, THttpCli::InBufferLimit);
    }
}

TEST(Response, OverlongLineLosesItsEndOnly) {
    const std::string longLine = "X-Long: " + std::string(20000, 'a') + "\r\n";
    TEngineRun run({{{"HTTP/1.1 200 OK\r\n" + longLine + "Content-Length: 2\r\n\r\nok"}, false}});
    run.Cli.SetRequestVer("1.1");
    ASSERT_TRUE(run.Go());
    EXPECT_EQ(run.Body.Data(), "ok");
    ASSERT_EQ(run.Cli.ReceivedHeader().size(), 3u);
    EXPECT_LT(run.Cli.ReceivedHeader()[1].size(), 8192u);
    EXPECT_EQ(run.Cli.ReceivedHeader()[1].compare(0, 8, "X-Long: "), 0);
}

struct RelocationCase {
    const char* name;
    const char* url;
    const char* location;
    const char* version;
    const char* secondRequestLine;
    const char* secondHost;
    const char* finalLocation;
    int connects;
    const char* log;
    // The relocating answer when not the plain 302 with the location and a two-byte body.
    std::string first = {};
};

TEST(Relocation, SameAndNewConnection) {
    const std::vector<RelocationCase> cases = {
        {"absolute path, kept", "http://example.test/dir/page.html", "/next", "1.1",
         "GET /next HTTP/1.1", "example.test", "http://example.test/next", 1,
         "hb he db d:mv de lc hb he db d:final de rd0"},
        {"relative, kept", "http://example.test/dir/page.html", "other.html", "1.1",
         "GET /dir/other.html HTTP/1.1", "example.test", "http://example.test/dir/other.html", 1,
         "hb he db d:mv de lc hb he db d:final de rd0"},
        {"absolute path, closing", "http://example.test/dir/page.html", "/next", "1.0",
         "GET /next HTTP/1.0", "example.test", "http://example.test/next", 2,
         "hb he db d:mv de lc hb he db d:final de sc rd0"},
        {"other host and port", "http://example.test/a", "http://other.test:8080/x?y", "1.1",
         "GET /x?y HTTP/1.1", "other.test:8080", "http://other.test/x?y", 2,
         "hb he db d:mv de lc hb he db d:final de rd0"},
        {"host only", "http://example.test/a", "HTTP://other.test", "1.1", "GET / HTTP/1.1",
         "other.test", "http://other.test", 2, "hb he db d:mv de lc hb he db d:final de rd0"},
        {"port kept for a path", "http://example.test:8080/a", "/x", "1.1", "GET /x HTTP/1.1",
         "example.test:8080", "http://example.test/x", 1,
         "hb he db d:mv de lc hb he db d:final de rd0"},
        {"query only", "http://example.test/dir/page.html?a=1", "?x=1", "1.1",
         "GET /dir/page.html?x=1 HTTP/1.1", "example.test", "http://example.test/dir/page.html?x=1",
         1, "hb he db d:mv de lc hb he db d:final de rd0"},
        {"network path", "http://example.test/a", "//other.test:8080/p", "1.1", "GET /p HTTP/1.1",
         "other.test:8080", "http://other.test/p", 2,
         "hb he db d:mv de lc hb he db d:final de rd0"},
        {"dot segments", "http://example.test/dir/sub/page.html", "../up/./x.html", "1.1",
         "GET /dir/up/x.html HTTP/1.1", "example.test", "http://example.test/dir/up/x.html", 1,
         "hb he db d:mv de lc hb he db d:final de rd0"},
        {"blank and CR encoded, fragment dropped", "http://example.test/a", "/a b\rc#frag", "1.1",
         "GET /a%20b%0Dc HTTP/1.1", "example.test", "http://example.test/a%20b%0Dc", 1,
         "hb he db d:mv de lc hb he db d:final de rd0"},
        {"chunked relocation body", "http://example.test/a", "/next", "1.1", "GET /next HTTP/1.1",
         "example.test", "http://example.test/next", 1,
         "hb he db d:mv de lc hb he db d:final de rd0",
         "HTTP/1.1 302 Found\r\nLocation: /next\r\nTransfer-Encoding: chunked\r\n\r\n"
         "2\r\nmv\r\n0\r\n\r\n"},
        {"relocation asking to close", "http://example.test/a", "/next", "1.1",
         "GET /next HTTP/1.1", "example.test", "http://example.test/next", 2,
         "hb he db d:mv de lc hb he db d:final de rd0",
         "HTTP/1.1 302 Found\r\nLocation: /next\r\nConnection: close\r\nContent-Length: "
         "2\r\n\r\nmv"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool closes = std::string(c.version) == "1.0";
        const std::string first = !c.first.empty()
                                      ? c.first
                                      : std::string("HTTP/1.1 302 Found\r\nLocation: ") +
                                            c.location + "\r\nContent-Length: 2\r\n\r\nmv";
        TEngineRun run(
            {{{first}, closes}, {{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfinal"}, closes}});
        run.Cli.URL = c.url;
        run.Cli.SetRequestVer(c.version);
        ASSERT_TRUE(run.Go()) << run.Log();
        EXPECT_EQ(run.Log(), c.log);
        EXPECT_EQ(run.Cli.StatusCode(), 200);
        EXPECT_EQ(run.Body.Data(), "final");  // the relocating body is trimmed away
        EXPECT_EQ(run.Cli.Location(), c.finalLocation);
        EXPECT_EQ(run.Cli.Feed()->Connects, c.connects);
        const std::string& sent = run.Cli.Feed()->Sent;
        std::size_t second = sent.find("\r\n\r\n") + 4;
        EXPECT_EQ(sent.substr(second, sent.find("\r\n", second) - second), c.secondRequestLine);
        EXPECT_NE(sent.find(std::string("Host: ") + c.secondHost + "\r\n", second),
                  std::string::npos);
    }
}

// Values that name no target leave the 3xx as the answer; targets the engine cannot fetch end
// with its failure, never as a request to the old host.
TEST(Relocation, NoTargetOrOneThatCannotBeFetched) {
    struct {
        const char* name;
        const char* fields;
        int status;
    } cases[] = {
        {"empty", "Location:\r\n", 302},
        {"blank", "Location:    \r\n", 302},
        {"folded", "Location: /a\r\n b\r\n", 302},
        {"ftp", "Location: ftp://example.test/pub/f.flv\r\n", 501},
        {"gopher", "Location: gopher://example.test/x\r\n", 501},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TEngineRun run(
            {{{std::string("HTTP/1.1 302 Found\r\n") + c.fields + "Content-Length: 0\r\n\r\n"},
              false},
             {{"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz"}, false}});
        run.Cli.SetRequestVer("1.1");
        ASSERT_TRUE(run.Go()) << run.Log();
        EXPECT_EQ(run.Cli.StatusCode(), c.status);
        EXPECT_EQ(run.Cli.Feed()->Sent.find("GET", 1), std::string::npos) << run.Cli.Feed()->Sent;
    }
}

TEST(Relocation, LoopStopsAndNotFollowingKeepsTheAnswer) {
    const std::string loop = "HTTP/1.1 302 Found\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n";
    std::vector<TScriptedAnswer> script(THttpCli::MaxRelocations + 5, {{loop}, false});
    TEngineRun run(script);
    run.Cli.SetRequestVer("1.1");
    ASSERT_TRUE(run.Go());
    EXPECT_EQ(run.Cli.StatusCode(), 302);
    EXPECT_EQ(run.Cli.RelocationPending(), false);
    EXPECT_TRUE(run.Cli.RelocationLimitReached());

    TEngineRun plain({{{loop}, false}});
    plain.Cli.SetRequestVer("1.1");
    plain.Cli.FollowRelocation = false;
    ASSERT_TRUE(plain.Go());
    EXPECT_EQ(plain.Cli.StatusCode(), 302);
    EXPECT_EQ(plain.Cli.Location(), plain.Cli.URL);
    EXPECT_EQ(plain.Log(), "hb he rd0");
}

TEST(Relocation, HeaderCutOffIsNotFollowed) {
    TEngineRun run({{{"HTTP/1.0 302 Found\r\nLocation: /n\r\nServ"}, true},
                    {{"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nz"}, true}});
    ASSERT_TRUE(run.Go());
    EXPECT_EQ(run.Log(), "hb he sc rd0");
    EXPECT_EQ(run.Cli.StatusCode(), THttpCli::BadResponseStatus);
    EXPECT_EQ(run.Cli.Feed()->Connects, 1);
}

}  // namespace
