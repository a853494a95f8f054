// What the engine knows about the response being read: status, header fields, body framing and
// counts. One value per response, reset by assignment when a request or relocation starts and
// after an interim (1xx) answer. Owned by the engine; used on its thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "http/TChunkedDecoder.h"

// How the body of a response is delimited (RFC 9112 section 6.3).
enum class TBodyFraming {
    None,        // HEAD, 1xx, 204, 304, a zero length: no body at all
    Length,      // exactly ContentLength bytes
    Chunked,     // chunked transfer coding, last coding of Transfer-Encoding
    UntilClose,  // everything up to the close of the connection
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
    std::string ContentType;
    // Every "transfer-encoding" line, joined with ", " when there were several.
    std::string TransferEncoding;
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
    // A relocation was refused because too many came in a row.
    bool RelocationLimitReached = false;
    TBodyFraming Framing = TBodyFraming::None;
    TChunkedDecoder Chunks;
    // The engine gave up on this response; StatusCode and ReasonPhrase say why.
    bool Failed = false;
};
