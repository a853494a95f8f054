// The header and framing rules of a response (see THttpResponse.h): pure functions of the
// record and the line given, on the caller's thread.
#include "http/THttpResponse.h"

#include <algorithm>
#include <limits>

#include "platform/AsciiText.h"

TStatusLine THttpResponse::ReadStatusLine(const std::string& Line) {
    if (Line.compare(0, 5, "HTTP/") != 0) return TStatusLine::NotHttp;
    // "HTTP/1.x nnn reason": from a server that claims HTTP, nothing else can be read safely.
    auto digit = [&Line](std::size_t i) { return Line[i] >= '0' && Line[i] <= '9'; };
    const bool readable = Line.size() >= 12 &&
                          (Line.compare(5, 3, "1.0") == 0 || Line.compare(5, 3, "1.1") == 0) &&
                          Line[8] == ' ' && digit(9) && digit(10) && digit(11) && Line[9] != '0' &&
                          (Line.size() == 12 || Line[12] == ' ');
    if (!readable) return TStatusLine::Unreadable;
    ResponseVersion = Line.substr(5, 3);
    StatusCode = (Line[9] - '0') * 100 + (Line[10] - '0') * 10 + (Line[11] - '0');
    ReasonPhrase = Line.size() > 13 ? Line.substr(13) : std::string();
    if (ResponseVersion == "1.0") CloseAfterResponse = true;
    return TStatusLine::Read;
}

THeaderField THttpResponse::ReadHeaderField(const std::string& Line) {
    std::size_t colon = Line.find(':');
    LastFieldWasLocation = false;
    if (colon == std::string::npos) return {};
    THeaderField field;
    field.Name = AsciiLower(Line.substr(0, colon));
    std::size_t start = colon + 1;
    while (start + 1 < Line.size() && Line[start] == ' ') ++start;
    field.Value = Line.substr(std::min(start, Line.size()));
    const std::string& name = field.Name;
    const std::string& value = field.Value;

    if (name == "location") {
        LastFieldWasLocation = true;
        if (!LocationSeen) LocationValue = value;
        LocationSeen = true;
    } else if (name == "content-length") {
        // One decimal, or a list of equal ones; lines that disagree leave no length to trust.
        std::int64_t length = -1;
        bool valid = true;
        for (std::size_t at = 0; valid && at <= value.size();) {
            std::size_t comma = value.find(',', at);
            if (comma == std::string::npos) comma = value.size();
            std::int64_t v = 0;
            valid = ParseDecimal(TrimBlanks(value.substr(at, comma - at)), v) &&
                    (length < 0 || v == length);
            length = v;
            at = comma + 1;
        }
        if (!valid || (ContentLength >= 0 && ContentLength != length))
            LengthInvalid = true;
        else
            ContentLength = length;
    } else if (name == "transfer-encoding") {
        TransferEncoding += (TransferEncoding.empty() ? "" : ", ") + value;
    } else if (name == "content-range") {
        // 'bytes 100-199/1000'
        std::size_t dash = value.find('-');
        std::size_t slash = value.find('/');
        RangeFirst = dash != std::string::npos && dash > 6 ? value.substr(6, dash - 6) : "";
        RangeLast = dash != std::string::npos && slash != std::string::npos && slash > dash
                        ? value.substr(dash + 1, slash - dash - 1)
                        : "";
        std::int64_t total = 0;
        InstanceLength =
            slash != std::string::npos && ParseDecimal(TrimBlanks(value.substr(slash + 1)), total)
                ? total
                : -1;
        RangeWithoutTotal = InstanceLength < 0;
    } else if (name == "content-type") {
        ContentType = AsciiLower(value);
    } else if (name == "www-authenticate" || name == "proxy-authenticate") {
        AuthChallenges.push_back(value);
    } else if (name == "connection" || name == "proxy-connection") {
        for (std::size_t at = 0; at <= value.size();) {
            std::size_t comma = value.find(',', at);
            if (comma == std::string::npos) comma = value.size();
            const std::string option = AsciiLower(TrimBlanks(value.substr(at, comma - at)));
            if (option == "close") {
                CloseAsked = true;
                CloseAfterResponse = true;
            } else if (option == "keep-alive" && !CloseAsked) {
                CloseAfterResponse = false;
            }
            at = comma + 1;
        }
    }
    return field;
}

bool THttpResponse::IsContinuation(std::string_view Line) {
    return !Line.empty() && (Line[0] == ' ' || Line[0] == '\t');
}

void THttpResponse::Unfold(std::string& Field, std::string_view Continuation) {
    const std::size_t start = Continuation.find_first_not_of(" \t");
    Field += ' ';
    if (start != std::string_view::npos) Field.append(Continuation.substr(start));
}

bool THttpResponse::Relocates() const {
    return StatusCode >= 300 && StatusCode <= 399 && StatusCode != 304;
}

bool THttpResponse::DecideFraming(bool HeadRequest) {
    const int status = StatusCode;
    if (HeadRequest || (status >= 100 && status < 200) || status == 204 || status == 304) {
        Framing = TBodyFraming::None;
        // After 101 the connection speaks something else.
        if (status == 101) CloseAfterResponse = true;
        return true;
    }
    if (!TransferEncoding.empty()) {
        const std::size_t comma = TransferEncoding.rfind(',');
        const std::string last = AsciiLower(TrimBlanks(
            comma == std::string::npos ? TransferEncoding : TransferEncoding.substr(comma + 1)));
        // A length beside a transfer coding is ignored, and a connection that carried both
        // is not trusted with another request.
        if (ContentLength >= 0 || LengthInvalid) CloseAfterResponse = true;
        ContentLength = -1;
        LengthInvalid = false;
        if (last == "chunked") {
            Framing = TBodyFraming::Chunked;
        } else {
            Framing = TBodyFraming::UntilClose;
            CloseAfterResponse = true;
        }
        return true;
    }
    if (LengthInvalid) return false;
    if (ContentLength > 0) {
        Framing = TBodyFraming::Length;
    } else if (ContentLength == 0) {
        Framing = TBodyFraming::None;
    } else if (status == 301 || status == 302) {
        // Taken as bodiless; whatever body it may have cannot be delimited on this connection.
        Framing = TBodyFraming::None;
        CloseAfterResponse = true;
    } else {
        Framing = TBodyFraming::UntilClose;
        CloseAfterResponse = true;
    }
    return true;
}

bool THttpResponse::BodyCutAtClose(std::uint16_t Error) const {
    switch (Framing) {
        case TBodyFraming::Length:
            return ReceivedCount < ContentLength;
        case TBodyFraming::Chunked:
            return !Chunks.DataComplete();
        case TBodyFraming::UntilClose:
            return Error != 0;  // a reset may have cut it anywhere
        case TBodyFraming::None:
            break;
    }
    return false;
}

bool THttpResponse::ParseDecimal(std::string_view Text, std::int64_t& Value) {
    if (Text.empty()) return false;
    std::int64_t v = 0;
    for (char c : Text) {
        if (c < '0' || c > '9') return false;
        if (v > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) return false;
        v = v * 10 + (c - '0');
    }
    Value = v;
    return true;
}
