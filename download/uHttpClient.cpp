// The program's HTTP session; see uHttpClient.h.
#include "download/uHttpClient.h"

#include <string>

#include "http/UrlHelpers.h"
#include "platform/DebugOutput.h"
#include "platform/EventLoop.h"

namespace {

std::string Trimmed(const std::string& text) {
    size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = text.find_last_not_of(" \t");
    return text.substr(b, e - b + 1);
}

}  // namespace

THttpClient::THttpClient() = default;

void THttpClient::GetSync() {
    // The address comes from a web page: a blank or control byte in it would split or extend
    // the request line, so such a request is never sent.
    for (char c : URL) {
        if (static_cast<unsigned char>(c) <= ' ') {
            FStatusCode = RefusedRequestStatus;
            FReasonPhrase = "Request not sent: the address holds a blank or control character";
            throw EHttpException(FReasonPhrase, FStatusCode);
        }
    }
    StartRequest(httpGET);
    TEventLoop& loop = TEventLoop::Current();
    while (State() != EngineState::Idle) {
        // The 1 ms sleep between passes is a wait of at most 1 ms for the next event.
        if (MultiThreaded()) Socket()->DrainMessages();
        loop.WaitOne(1);
        if (OnWaitPass) OnWaitPass();
    }
    if (StatusCode() > 399) throw EHttpException(ReasonPhrase(), StatusCode());
}

void THttpClient::PauseReceive() {
    Socket()->PauseEvents();
}

void THttpClient::ResumeReceive() {
    Socket()->ResumeEvents();
}

void THttpClient::ResetResponse() {
    THttpCli::ResetResponse();
    ContentLength64 = -1;
    InstanceLength = -1;
}

void THttpClient::HandleHeaderLine() {
    if (FCurrentLine.empty()) {
        EndOfHeader();
        return;
    }
    // The engine reads every line; the two sizes are then read again as 64-bit numbers, and
    // the engine's own count stays -1, so that a body ends only at its close or last chunk.
    THttpCli::HandleHeaderLine();
    FContentLength = -1;
    if (FHeaderLinesSeen <= 1 || ResponseFailed || FState == EngineState::Idle) return;
    const size_t colon = FCurrentLine.find(':');
    if (colon == std::string::npos) return;
    std::string name = FCurrentLine.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string value = Trimmed(FCurrentLine.substr(colon + 1));
    if (name == "content-length") {
        // Read as 64 bits: a medium file of 3 GB is no error. Not a number, or beyond 63
        // bits, and the response cannot be delimited: it ends as a failure.
        if (!ParseDecimal(value, ContentLength64)) {
            ContentLength64 = -1;
            FailResponse(BadResponseStatus, "Bad Content-Length in response");
        }
    } else if (name == "location" && FRelocationPending && !Proxy.empty()) {
        // Through a proxy the engine keeps the old scheme; an "https://" target must still end
        // with the engine's 501 rather than be handed to the proxy.
        std::string protocol, user, password, host, port, path;
        DecomposeUrl(FLocation, protocol, user, password, host, port, path);
        if (!protocol.empty()) FProtocol = protocol;
    } else if (name == "content-range") {
        const size_t slash = value.find('/');
        const std::string total =
            slash == std::string::npos ? std::string() : Trimmed(value.substr(slash + 1));
        if (!ParseDecimal(total, InstanceLength)) {
            InstanceLength = -1;
            FailResponse(BadResponseStatus, "Bad Content-Range in response");
        }
    }
}

void THttpClient::EndOfHeader() {
    if (FHeaderLinesSeen == 0)
        RaiseHeaderBegin();
    else if (FHeaderLinesSeen == -1)
        FHeaderLinesSeen = 0;
    ++FHeaderLinesSeen;
    if (FResponseVersion == "1.1" && FStatusCode == 100) {
        // Interim answer: the real header follows.
        FReceivedHeader.clear();
        FHeaderLinesSeen = -1;
        return;
    }
    DebugOutput("end of header");
    RaiseHeaderEnd();
    // Kept although the session's callbacks never end the request here: continuing after an
    // abort would hand body bytes to a request that is over.
    if (FState == EngineState::Idle || ResponseFailed) {
        InCount = 0;
        return;
    }
    ContinueAfterHeader(ContentLength64);
}

void THttpClient::HandleRelocationClosed(TCustomWSocket* Sock, std::uint16_t Error) {
    std::string protocol, user, password, host, port, path;
    DecomposeUrl(FLocation, protocol, user, password, host, port, path);
    // A relative "ftp://" value ends up inside the path; an absolute one names the scheme.
    const bool toFtp = path.find("ftp://") != std::string::npos || protocol == "ftp";
    FDocumentName = path;
    DeriveDocName();
    LinkUp = false;
    FRelocationPending = false;
    if (FRequestType == httpPOST) FRequestType = httpGET;
    Socket()->OnSessionClosed = [this](TCustomWSocket* s, std::uint16_t e) {
        HandleSessionClosed(s, e);
    };
    if (OnLocationChange) OnLocationChange(this);
    // An abort closed the connection: it has ended the request already.
    if (FState == EngineState::Aborting || FState == EngineState::Idle) return;
    if (FRequestError != 0) {
        // The connection broke: waiting here would never end, and the relocating answer is
        // no result.
        FStatusCode = 404;
        FReasonPhrase =
            "Connection lost before the relocation (Error #" + std::to_string(FRequestError) + ")";
        HandleSessionClosed(Sock, Error);
        return;
    }
    FReceivedHeader.clear();
    FHeaderLinesSeen = 0;
    FBodyBlocksSeen = 0;
    ContentLength64 = -1;
    FContentType.clear();
    FStatusCode = 0;
    if (!Proxy.empty()) FConnectPort = ProxyConnectPort();
    if (toFtp) {
        FRequestError = Error;
        FStatusCode = 504;
        FReasonPhrase = "Redirected to ftp server";
        HandleSessionClosed(Sock, Error);
        return;
    }
    // The body of the relocating response stays in ReceiveStream and in the counts: in memory
    // mode the text holds the relocation bodies in front of the final one.
    InCount = 0;
    FCloseAfterResponse = FRequestVer == "1.0";
    MessageWindow->Post(RestartMessage);
}
