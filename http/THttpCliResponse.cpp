// THttpCli's response side: the received bytes cut into header lines and body data, the
// header read with the rules of THttpResponse, the body delivered by its framing, and the end of
// a response. Same thread and ownership as THttpCli.
#include <algorithm>
#include <cstring>

#include "http/THttpCli.h"
#include "http/UrlHelpers.h"
#include "platform/AsciiText.h"

namespace {

std::string ExtensionOf(const std::string& name) {
    std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

}  // namespace

void THttpCli::HandleDataAvailable(TCustomWSocket*, std::uint16_t Error) {
    if (Tunnel.Reading()) {
        ReadConnectReply();
        return;
    }
    if (FState == EngineState::ReceivingBody && NextStep == &THttpCli::HandleBodyData &&
        InCount == 0 && FRequestType != httpHEAD) {
        ReceiveBodyBlock();
        return;
    }
    int n;
    if (InCount < InBufferLimit) {
        n = Socket()->Receive(InBuffer + InCount, InBufferLimit - InCount);
    } else {
        // A line longer than the buffer: keep reading until its end, in pieces of half the
        // buffer, which overwrite the tail of the held line so that the following lines stay
        // intact. The held bytes never grow beyond the limit, whatever the server sends.
        char scratch[InBufferLimit / 2];
        int got = Socket()->Receive(scratch, sizeof scratch);
        if (got <= 0) return;
        const char* lf = static_cast<const char*>(std::memchr(scratch, '\n', got));
        if (NextStep == &THttpCli::HandleHeaderLine &&
            !CountHeaderBytes(lf == nullptr ? got : lf - scratch))
            return;
        if (lf == nullptr) return;
        n = got - static_cast<int>(lf - scratch);
        InCount = InBufferLimit - n;
        std::memcpy(InBuffer + InCount, lf, n);
    }
    if (FRequestType == httpABORT || n <= 0) return;
    CountWindowBytes(n);
    InCount += n;
    InBuffer[InCount] = '\0';
    if (FState == EngineState::ReceivingBody) {
        if (FRequestType == httpHEAD) {
            InCount = 0;
            Socket()->Abort();
            return;
        }
        BodyFromBuffer();
        return;
    }
    while (InCount > 0) {
        if (FState == EngineState::ReceivingBody && NextStep == &THttpCli::HandleBodyData) {
            // A body that began at a header-less first line takes the rest as it is.
            BodyFromBuffer();
            return;
        }
        const bool headerLine = NextStep == &THttpCli::HandleHeaderLine;
        const char* lf = static_cast<const char*>(std::memchr(InBuffer, '\n', InCount));
        if (lf == nullptr) {
            // The unfinished line counts as well: a header may never end.
            if (headerLine && Resp.HeaderBytes + InCount > THttpResponse::MaxHeaderBytes)
                CountHeaderBytes(InCount);
            break;
        }
        int len = static_cast<int>(lf - InBuffer);
        if (headerLine && !CountHeaderBytes(len + 1)) return;
        int lineLen = (len > 0 && InBuffer[len - 1] == '\r') ? len - 1 : len;
        FCurrentLine.assign(InBuffer, lineLen);
        InCount -= len + 1;
        std::memmove(InBuffer, lf + 1, InCount);
        InBuffer[InCount] = '\0';
        if (FState == EngineState::AwaitingHeader || FState == EngineState::ReceivingBody) {
            if (NextStep != nullptr)
                (this->*NextStep)();
            else
                PostReady();
        } else if (OnDataPush) {
            OnDataPush(this, Error);
        }
    }
}

void THttpCli::ReceiveBodyBlock() {
    if (!BodyBlock) BodyBlock = std::make_unique<char[]>(BodyBlockSize);
    int room = BodyBlockSize;
    if (Options.Has(httpoBandwidthControl)) {
        // No more than the window has left, so a limited transfer overruns its quota by no more
        // than a header-sized read, as it always did.
        const std::uint64_t left = WindowQuota > WindowBytes ? WindowQuota - WindowBytes : 0;
        room = static_cast<int>(std::clamp<std::uint64_t>(left, InBufferLimit, BodyBlockSize));
    }
    const int n = Socket()->Receive(BodyBlock.get(), room);
    if (FRequestType == httpABORT || n <= 0) return;
    CountWindowBytes(n);
    PendingData = BodyBlock.get();
    PendingLength = n;
    if (Resp.Framing == TBodyFraming::Length)
        PendingLength = std::min<std::int64_t>(n, Resp.ContentLength - Resp.ReceivedCount);
    HandleBodyData();
    const std::int64_t taken = PendingLength;
    PendingLength = 0;
    if (taken < n && NextStep == nullptr && !Resp.Failed) {
        // Bytes beyond the response only tell that the connection is not to be reused, so a
        // header-sized piece of them is held for FinishResponse.
        InCount = static_cast<int>(std::min<std::int64_t>(n - taken, InBufferLimit));
        std::memcpy(InBuffer, BodyBlock.get() + taken, InCount);
        InBuffer[InCount] = '\0';
    }
    if (NextStep == nullptr) FinishResponse();
}

void THttpCli::CountWindowBytes(int Count) {
    WindowBytes += static_cast<std::uint64_t>(Count);
    if (Options.Has(httpoBandwidthControl) && WindowBytes > WindowQuota && !Throttled) {
        Throttled = true;
        Socket()->PauseEvents();
    }
}

bool THttpCli::CountHeaderBytes(std::int64_t Count) {
    Resp.HeaderBytes += Count;
    if (Resp.HeaderBytes <= THttpResponse::MaxHeaderBytes) return true;
    FailResponse(BadResponseStatus, "Response header too large");
    return false;
}

void THttpCli::BodyFromBuffer() {
    DeliverHeldBody(Resp.Framing == TBodyFraming::Length ? Resp.ContentLength - Resp.ReceivedCount
                                                         : -1);
    if (NextStep == nullptr) FinishResponse();
}

void THttpCli::DeliverHeldBody(std::int64_t Limit) {
    PendingData = InBuffer;
    PendingLength = InCount;
    if (Limit >= 0 && Limit < PendingLength) PendingLength = Limit;
    // The body step leaves in PendingLength the bytes it took.
    HandleBodyData();
    std::int64_t taken = PendingLength;
    PendingLength = 0;
    // Handlers may have emptied the buffer meanwhile (a failed response, an abort).
    if (taken > InCount) taken = InCount;
    InCount -= static_cast<int>(taken);
    std::memmove(InBuffer, InBuffer + taken, InCount);
    InBuffer[InCount] = '\0';
}

void THttpCli::HandleHeaderLine() {
    // Empty lines before a status line (a kept connection's stray line end after the previous
    // answer) are no header; the header size bound limits how many are taken.
    if (FCurrentLine.empty() && Resp.HeaderLinesSeen <= 0) return;
    if (Resp.HeaderLinesSeen == 0) {
        RaiseHeaderBegin();
        if (FState == EngineState::Idle) {  // ended from the event
            InCount = 0;
            return;
        }
    } else if (Resp.HeaderLinesSeen == -1) {
        Resp.HeaderLinesSeen = 0;
    }
    ++Resp.HeaderLinesSeen;
    const std::string line = FCurrentLine;

    if (Resp.HeaderLinesSeen == 1 && StartsWithNoCase(line, "<html>")) {
        // No header at all: the server sent the document straight away, up to its close.
        if (Resp.ContentType.empty()) Resp.ContentType = "text/html";
        Resp.Framing = TBodyFraming::UntilClose;
        Resp.CloseAfterResponse = true;
        ChangeState(EngineState::ReceivingBody);
        NextStep = &THttpCli::HandleBodyData;
        RaiseHeaderEnd();
        if (FState != EngineState::ReceivingBody) {
            InCount = 0;
            return;
        }
        PendingData = line.data();
        PendingLength = static_cast<std::int64_t>(line.size());
        HandleBodyData();
        PendingLength = 0;
        return;
    }
    if (Resp.HeaderLinesSeen > 1 && THttpResponse::IsContinuation(line)) {
        // A fold right after the status line continues no field: it is passed over unread.
        if (!Resp.FieldHeld) return;
        THttpResponse::Unfold(Resp.ReceivedHeader.back(), line);
        Resp.HeldFolded = true;
        if (OnHeaderData) OnHeaderData(this);
        return;
    }
    ReadHeldField();
    if (Resp.Failed) return;
    if (line.empty()) {
        HandleHeaderEnd();
        return;
    }
    Resp.ReceivedHeader.push_back(line);
    if (Resp.HeaderLinesSeen == 1)
        ReadStatusLine(line);
    else
        Resp.FieldHeld = true;
    if (Resp.Failed) return;
    if (OnHeaderData) OnHeaderData(this);
}

void THttpCli::ReadHeldField() {
    if (!Resp.FieldHeld) return;
    Resp.FieldHeld = false;
    ParseHeaderField(Resp.ReceivedHeader.back());
    // A folded target is not trusted.
    if (Resp.HeldFolded && Resp.LastFieldWasLocation) Resp.LocationFolded = true;
    Resp.HeldFolded = false;
}

void THttpCli::ReadStatusLine(const std::string& Line) {
    switch (Resp.ReadStatusLine(Line)) {
        case TStatusLine::NotHttp:
            if (OnDataPush2) OnDataPush2(this);
            break;
        case TStatusLine::Unreadable:
            FailResponse(BadResponseStatus, "Bad status line from server");
            break;
        case TStatusLine::Read:
            break;
    }
}

void THttpCli::ParseHeaderField(const std::string& Line) {
    const THeaderField field = Resp.ReadHeaderField(Line);
    if (field.Name == "content-range") {
        ContentRangeBegin = Resp.RangeFirst;
        ContentRangeEnd = Resp.RangeLast;
    } else if (field.Name == "accept-ranges") {
        FAcceptRanges = field.Value;
    } else if (field.Name == "set-cookie") {
        bool accept = true;
        RaiseCookie(field.Value, accept);
    }
}

void THttpCli::HandleHeaderEnd() {
    const int status = Resp.StatusCode;
    if (status >= 100 && status < 200 && status != 101) {
        // Interim answer (100 Continue, 103 Early Hints, ...): the real header follows, and
        // nothing of this one counts for it.
        NewResponse();
        Resp.HeaderLinesSeen = -1;
        return;
    }
    if (Resp.LocationSeen) {
        if (FRequestType == httpPUT)
            FLocation = Resp.LocationValue;
        else if (FollowRelocation && !Resp.LocationFolded && Resp.Relocates())
            ApplyLocation(Resp.LocationValue);
    }
    if (!Resp.DecideFraming(FRequestType == httpHEAD)) {
        FailResponse(BadResponseStatus, "Bad Content-Length in response");
        return;
    }
    RaiseHeaderEnd();
    if (FState == EngineState::Idle) {
        InCount = 0;
        return;
    }
    ContinueAfterHeader();
}

void THttpCli::ContinueAfterHeader() {
    if (Resp.Framing == TBodyFraming::None) {
        if (FRequestType == httpHEAD && Resp.CloseAfterResponse && !FRelocationPending) {
            // Bytes that still come before the close are dropped with the connection.
            InCount = 0;
            ChangeState(EngineState::ReceivingBody);
        }
        NextStep = nullptr;
        FinishResponse();
        return;
    }
    const std::string ext = AsciiLower(ExtensionOf(FDocumentName));
    if ((ext == ".exe" || ext.empty()) && Resp.ContentType == "text/html")
        SetDocExtension(FDocumentName, "htm");
    ChangeState(EngineState::ReceivingBody);
    if (FState != EngineState::ReceivingBody) {
        InCount = 0;
        return;
    }
    NextStep = &THttpCli::HandleBodyData;
    if (InCount > 0) BodyFromBuffer();
}

void THttpCli::HandleBodyData() {
    if (Resp.BodyBlocksSeen == 0) {
        RaiseDocBegin();
        if (FState != EngineState::ReceivingBody) return;
    }
    ++Resp.BodyBlocksSeen;
    if (Resp.Framing == TBodyFraming::Chunked) {
        DecodeChunked();
        return;
    }
    if (PendingLength > 0) {
        Resp.ReceivedCount += PendingLength;
        if (ReceiveStream != nullptr) ReceiveStream->Write(PendingData, PendingLength);
        RaiseDocData(PendingData, static_cast<int>(PendingLength));
        if (FState != EngineState::ReceivingBody) return;
    }
    if (Resp.Framing == TBodyFraming::Length && Resp.ReceivedCount >= Resp.ContentLength) EndBody();
}

void THttpCli::DecodeChunked() {
    TChunkedDecoder& chunks = Resp.Chunks;
    std::int64_t used = 0;
    while (used < PendingLength && !chunks.Finished()) {
        const char* data = nullptr;
        std::int64_t k = 0;
        used += chunks.Take(PendingData + used, PendingLength - used, data, k);
        if (k > 0) {
            Resp.ReceivedCount += k;
            if (ReceiveStream != nullptr) ReceiveStream->Write(data, k);
            RaiseDocData(data, static_cast<int>(k));
            if (FState != EngineState::ReceivingBody) {
                PendingLength = used;
                return;
            }
        }
    }
    PendingLength = used;
    if (chunks.Phase() == TChunkedDecoder::TPhase::Failed)
        FailResponse(BadResponseStatus, chunks.Error());
    else if (chunks.Phase() == TChunkedDecoder::TPhase::Done)
        EndBody();
}

void THttpCli::EndBody() {
    Resp.BodyBlocksSeen = 0;
    NextStep = nullptr;
    ChangeState(EngineState::BodyComplete);
    if (FState != EngineState::BodyComplete) return;
    StopQuotaTimer();
    RaiseDocEnd();
}

void THttpCli::StopQuotaTimer() {
    if (Options.Has(httpoBandwidthControl) && QuotaTimer != 0) {
        TEventLoop::Current().KillTimer(QuotaTimer);
        QuotaTimer = 0;
    }
}

void THttpCli::CloseWhenDone() {
    // A socket that is closed already reports no close again; end the request here instead.
    if (Socket()->State() == wsClosed) {
        if (FState != EngineState::Idle) PostReady();
        return;
    }
    Socket()->CloseLater();
}

void THttpCli::FinishResponse() {
    if (Resp.Failed || FState == EngineState::Idle) return;
    NextStep = nullptr;
    if (InCount > 0) {
        // Bytes beyond the response were never asked for: the connection is not reused.
        Resp.CloseAfterResponse = true;
        InCount = 0;
        InBuffer[0] = '\0';
    }
    if (FRelocationPending)
        FollowOnSameConnection();
    else if (Resp.CloseAfterResponse)
        CloseWhenDone();  // its handling ends the request
    else
        PostReady();
}

void THttpCli::FailResponse(int Status, const std::string& Reason) {
    Resp.StatusCode = Status;
    Resp.ReasonPhrase = Reason;
    Resp.Failed = true;
    FRelocationPending = false;
    NextStep = nullptr;
    InCount = 0;
    InBuffer[0] = '\0';
    if (Socket()->State() != wsClosed)
        Socket()->Abort();  // its close ends the request
    else if (FState != EngineState::Idle)
        PostReady();
}

void THttpCli::CheckBodyAtClose(std::uint16_t Error) {
    if (Resp.Failed || FRelocationPending || !Resp.BodyCutAtClose(Error)) return;
    Resp.Failed = true;
    Resp.StatusCode = BadResponseStatus;
    Resp.ReasonPhrase = "Connection closed before the whole body arrived";
    if (Error != 0) Resp.ReasonPhrase += " (Error #" + std::to_string(Error) + ")";
}

void THttpCli::TrimReceivedBody() {
    if (ReceiveStream != nullptr && Resp.ReceivedCount > 0) {
        std::int64_t size = ReceiveStream->Size() - Resp.ReceivedCount;
        ReceiveStream->SetSize(size < 0 ? 0 : size);
        ReceiveStream->Seek(0, soEnd);
    }
}
