// The response's rules without a connection: status lines, header fields and the framing they
// decide, the check of a body at a close, the decimal reader, and the chunked decoder fed whole,
// byte by byte and split at every point.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/TChunkedDecoder.h"
#include "http/THttpResponse.h"

namespace {

using TPhase = TChunkedDecoder::TPhase;

TEST(ResponseRules, StatusLines) {
    const struct {
        const char* Line;
        TStatusLine Verdict;
        int Status;
        const char* Reason;
        bool Closes;
    } rows[] = {
        {"HTTP/1.1 200 OK", TStatusLine::Read, 200, "OK", false},
        {"HTTP/1.0 404 Not Found", TStatusLine::Read, 404, "Not Found", true},
        {"HTTP/1.1 204", TStatusLine::Read, 204, "", false},
        {"<html>", TStatusLine::NotHttp, 0, "", false},
        {"HTTP/2 200 OK", TStatusLine::Unreadable, 0, "", false},
        {"HTTP/1.1 099 Low", TStatusLine::Unreadable, 0, "", false},
        {"HTTP/1.1 2000 Long", TStatusLine::Unreadable, 0, "", false},
        {"HTTP/1.1 20x", TStatusLine::Unreadable, 0, "", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Line);
        THttpResponse r;
        EXPECT_EQ(r.ReadStatusLine(row.Line), row.Verdict);
        EXPECT_EQ(r.StatusCode, row.Status);
        EXPECT_EQ(r.ReasonPhrase, row.Reason);
        EXPECT_EQ(r.CloseAfterResponse, row.Closes);
    }
}

// The header's lines, separated by "|", unfolded, read and judged: "refused" when no framing
// can be trusted, else the framing, the length and whether the connection closes.
std::string Judge(const std::string& Header) {
    THttpResponse r;
    std::size_t at = Header.find('|');
    EXPECT_EQ(r.ReadStatusLine(Header.substr(0, at)), TStatusLine::Read) << Header;
    std::vector<std::string> fields;
    while (at != std::string::npos) {
        const std::size_t next = Header.find('|', at + 1);
        const std::string line = Header.substr(at + 1, next - at - 1);
        if (THttpResponse::IsContinuation(line))
            THttpResponse::Unfold(fields.back(), line);
        else
            fields.push_back(line);
        at = next;
    }
    for (const std::string& field : fields) r.ReadHeaderField(field);
    if (!r.DecideFraming(false)) return "refused";
    const char* framing[] = {"None", "Length", "Chunked", "UntilClose"};
    return framing[static_cast<int>(r.Framing)] + (" " + std::to_string(r.ContentLength)) +
           (r.CloseAfterResponse ? " close" : " keep");
}

TEST(ResponseRules, FieldsDecideTheFraming) {
    const char* rows[][2] = {
        {"HTTP/1.1 200 OK|Content-Length: 5", "Length 5 keep"},
        {"HTTP/1.1 200 OK|Content-Length: 5, 5|content-length:5", "Length 5 keep"},
        {"HTTP/1.1 200 OK|Content-Length: 5, 6", "refused"},
        {"HTTP/1.1 200 OK|Content-Length: 5|Content-Length: 6", "refused"},
        {"HTTP/1.1 200 OK|Content-Length: -1", "refused"},
        {"HTTP/1.1 200 OK|Content-Length: 5|Transfer-Encoding: gzip, chunked", "Chunked -1 close"},
        {"HTTP/1.1 200 OK|Transfer-Encoding: chunked|Transfer-Encoding: gzip",
         "UntilClose -1 close"},
        {"HTTP/1.1 200 OK", "UntilClose -1 close"},
        // A folded line is part of the value before it.
        {"HTTP/1.1 200 OK|Transfer-Encoding: chunked|  abc", "UntilClose -1 close"},
        {"HTTP/1.1 200 OK|Content-Length:|\t 5|Transfer-Encoding: gzip,| \tchunked",
         "Chunked -1 close"},
        {"HTTP/1.1 200 OK|Content-Length:|\t 5", "Length 5 keep"},
        {"HTTP/1.1 302 Found", "None -1 close"},
        {"HTTP/1.1 304 Not Modified|Content-Length: 9", "None 9 keep"},
        {"HTTP/1.1 101 Switching|Connection: upgrade", "None -1 close"},
        // "close" stands whatever follows it; "keep-alive" keeps an HTTP/1.0 connection.
        {"HTTP/1.1 200 OK|Connection: close|Connection: keep-alive|Content-Length: 0",
         "None 0 close"},
        {"HTTP/1.0 200 OK|Proxy-Connection: Keep-Alive|Content-Length: 1", "Length 1 keep"},
    };
    for (const auto& row : rows) EXPECT_EQ(Judge(row[0]), row[1]) << row[0];
}

TEST(ResponseRules, ContentRangeTotal) {
    THttpResponse r;
    EXPECT_EQ(r.ReadHeaderField("Content-Range:   bytes 100-199/1000").Name, "content-range");
    EXPECT_EQ(r.RangeFirst + " " + r.RangeLast + " " + std::to_string(r.InstanceLength),
              "100 199 1000");
    EXPECT_FALSE(r.RangeWithoutTotal);
    r.ReadHeaderField("Content-Range: bytes 0-1/*");
    EXPECT_EQ(r.InstanceLength, -1);
    EXPECT_TRUE(r.RangeWithoutTotal);
}

TEST(ResponseRules, Decimals) {
    const struct {
        const char* Text;
        bool Read;
        std::int64_t Value;
    } rows[] = {{"0", true, 0},
                {"9223372036854775807", true, INT64_MAX},
                {"9223372036854775808", false, 7},
                {"", false, 7},
                {"+1", false, 7},
                {"1 ", false, 7}};
    for (const auto& row : rows) {
        std::int64_t v = 7;
        EXPECT_EQ(THttpResponse::ParseDecimal(row.Text, v), row.Read) << row.Text;
        EXPECT_EQ(v, row.Value) << row.Text;
    }
}

// Feeds Input in pieces cut at the given points, as the engine does: a piece goes in until the
// decoder has taken all of it or has finished.
std::string Decode(const std::string& Input, const std::vector<std::size_t>& Cuts,
                   TChunkedDecoder& d) {
    std::string data;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= Cuts.size() && !d.Finished(); ++i) {
        const std::size_t to = i < Cuts.size() ? Cuts[i] : Input.size();
        std::int64_t used = 0;
        const std::int64_t len = static_cast<std::int64_t>(to - from);
        while (used < len && !d.Finished()) {
            const char* chunk = nullptr;
            std::int64_t k = 0;
            used += d.Take(Input.data() + from + used, len - used, chunk, k);
            data.append(chunk, k);
        }
        from = to;
    }
    return data;
}

TEST(ChunkedDecoder, WholeByteByByteAndSplitAnywhere) {
    const struct {
        std::string Input;
        std::string Data;
        TPhase Phase;
        const char* Error;
    } rows[] = {
        {"5\r\nhello\r\n0\r\n\r\n", "hello", TPhase::Done, ""},
        {"3;ext=1\r\nabc\r\nA \r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n", "abc0123456789", TPhase::Done,
         ""},
        {"2\nok\n0\n\n", "ok", TPhase::Done, ""},
        {"1\r\nab\r\n", "a", TPhase::Failed, "Chunk data longer than its size"},
        {"ILLEGAL\r\n", "", TPhase::Failed, "Bad chunk size"},
        {"10000000000000000\r\n", "", TPhase::Failed, "Chunk size too big"},
        {"3\r\nabc\r\n0\r\n", "abc", TPhase::Trailer, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Input);
        std::vector<std::vector<std::size_t>> feeds = {{}};
        std::vector<std::size_t> bytes;
        for (std::size_t i = 1; i < row.Input.size(); ++i) {
            bytes.push_back(i);
            feeds.push_back({i});
        }
        feeds.push_back(bytes);
        for (const auto& cuts : feeds) {
            TChunkedDecoder d;
            EXPECT_EQ(Decode(row.Input, cuts, d), row.Data);
            EXPECT_EQ(d.Phase(), row.Phase);
            EXPECT_STREQ(d.Error(), row.Error);
        }
    }
}

}  // namespace
