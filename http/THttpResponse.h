// What the engine knows about the response being read: status, header fields, body framing and
// counts, and the rules that read them. One value per response, reset by assignment when a
// request or relocation starts and after an interim (1xx) answer. The rules take a line or a
// few values and give a verdict; they know nothing of a connection, so the CONNECT tunnel reads
// its proxy's reply with the same ones. Owned by its reader; used on that reader's thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "http/TChunkedDecoder.h"

// How the body of a response is delimited (RFC 9112 section 6.3).
enum class TBodyFraming {
    None,        // HEAD, 1xx, 204, 304, a zero length: no body at all
    Length,      // exactly ContentLength bytes
    Chunked,     // chunked transfer coding, last coding of Transfer-Encoding
    UntilClose,  // everything up to the close of the connection
};

// What a first line turned out to be.
enum class TStatusLine {
    Read,        // "HTTP/1.x nnn reason": version, status and reason taken
    NotHttp,     // does not begin with "HTTP/": no status line at all
    Unreadable,  // claims HTTP but cannot be read safely
};

// One header field line split at its colon; the name in lower case.
struct THeaderField {
    std::string Name;
    std::string Value;
};

struct THttpResponse {
    int StatusCode = 0;
    std::string ReasonPhrase;
    std::string ResponseVersion;
    std::vector<std::string> ReceivedHeader;
    std::vector<std::string> AuthChallenges;
    std::int64_t ContentLength = -1;
    // Content-Length was not one non-negative decimal (or a list of equal ones), or two lines
    // disagreed.
    bool LengthInvalid = false;
    // The total after "/" in "content-range"; -1 when none or not a number.
    std::int64_t InstanceLength = -1;
    // The first and last byte positions of the last "content-range", as written.
    std::string RangeFirst, RangeLast;
    // The last "content-range" named no numeric total.
    bool RangeWithoutTotal = false;
    std::string ContentType;
    // Every "transfer-encoding" line, joined with ", " when there were several.
    std::string TransferEncoding;
    // A header (status line, fields, continuations, leading empty lines) larger than this is
    // refused, so a header that never ends cannot grow the memory it is held in.
    static constexpr std::int64_t MaxHeaderBytes = 1 << 20;
    std::int64_t HeaderBytes = 0;
    std::int64_t ReceivedCount = 0;
    int HeaderLinesSeen = 0;
    int BodyBlocksSeen = 0;
    bool CloseAfterResponse = false;
    // "Connection: close" was among the values: no later "keep-alive" undoes it.
    bool CloseAsked = false;
    // The "location" value, applied once the header is complete (a folded one is no target).
    std::string LocationValue;
    bool LocationSeen = false;
    bool LocationFolded = false;
    bool LastFieldWasLocation = false;
    // The last field line is held unread until the next line shows whether a continuation
    // folds into it; HeldFolded: one did.
    bool FieldHeld = false;
    bool HeldFolded = false;
    // A relocation was refused because too many came in a row.
    bool RelocationLimitReached = false;
    TBodyFraming Framing = TBodyFraming::None;
    TChunkedDecoder Chunks;
    // The reader gave up on this response; StatusCode and ReasonPhrase say why.
    bool Failed = false;

    // Reads the first line into version, status and reason. An HTTP/1.0 answer closes unless a
    // field says "keep-alive".
    TStatusLine ReadStatusLine(const std::string& Line);
    // Reads one field line (unfolded, not the status line) into the record
    // and hands back its name and value; a line without a colon gives an empty name.
    THeaderField ReadHeaderField(const std::string& Line);
    // The status names another resource to fetch (a 3xx other than 304): only then does a
    // "location" relocate; on any other answer it is information beside the document.
    bool Relocates() const;
    // A field line that begins with a blank or tab continues the field before it (obsolete
    // line folding).
    static bool IsContinuation(std::string_view Line);
    // Joins a continuation to its field: the fold and the continuation's leading blanks become
    // one blank, so the value is read whole.
    static void Unfold(std::string& Field, std::string_view Continuation);
    // Decides Framing once the header is complete (RFC 9112 section 6.3); false when the length
    // cannot be trusted, Framing then undecided.
    bool DecideFraming(bool HeadRequest);
    // The connection closed (with the socket's Error) while the body was being read: true when
    // what arrived cannot be the whole body.
    bool BodyCutAtClose(std::uint16_t Error) const;
    // A non-negative decimal number that fits 64 bits (no sign, no blank); false for anything
    // else, Value then unchanged.
    static bool ParseDecimal(std::string_view Text, std::int64_t& Value);
};
