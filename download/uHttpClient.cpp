// The program's HTTP session; see uHttpClient.h.
#include "download/uHttpClient.h"

#include <string>

#include "platform/AsciiText.h"
#include "platform/DebugOutput.h"
#include "platform/EventLoop.h"

THttpClient::THttpClient() = default;

void THttpClient::GetSync() {
    // The address comes from a web page: a blank or control byte in it would split or extend
    // the request line, so such a request is never sent.
    for (char c : URL) {
        if (static_cast<unsigned char>(c) <= ' ') {
            Resp.StatusCode = RefusedRequestStatus;
            Resp.ReasonPhrase = "Request not sent: the address holds a blank or control character";
            throw EHttpException(Resp.ReasonPhrase, Resp.StatusCode);
        }
    }
    // Credentials set by the owner go with the first request, without waiting for a 401.
    if (!Username.empty() && !Password.empty() && AuthBasicState == 0) StepServerBasic();
    StartRequest(httpGET);
    TEventLoop& loop = TEventLoop::Current();
    while (RequestRunning()) {
        // The 1 ms sleep between passes is a wait of at most 1 ms for the next event.
        if (MultiThreaded()) Socket()->DrainMessages();
        loop.WaitOne(1);
        if (OnWaitPass) OnWaitPass();
    }
    if (StatusCode() == 0) {
        // Nothing could be read as a status line: no answer the program can trust.
        Resp.StatusCode = BadResponseStatus;
        Resp.ReasonPhrase = "No status line in the response";
    } else if (RelocationLimitReached()) {
        Resp.ReasonPhrase = "Too many relocations";
    }
    // A 3xx that stayed the answer (no target, a loop) carries no document either.
    if (StatusCode() < 200 || StatusCode() > 299)
        throw EHttpException(ReasonPhrase(), StatusCode());
}

void THttpClient::PauseReceive() {
    Socket()->PauseEvents();
}

void THttpClient::ResumeReceive() {
    Socket()->ResumeEvents();
}

void THttpClient::HandleHeaderLine() {
    const std::string line = FCurrentLine;
    THttpCli::HandleHeaderLine();
    // A content-range whose total is not a number leaves the size to report unknown: the
    // session does not guess.
    if (Resp.Failed || Resp.HeaderLinesSeen <= 1 || line.empty()) return;
    if (!StartsWithNoCase(line, "content-range:")) return;
    if (InstanceLength() < 0) FailResponse(BadResponseStatus, "Bad Content-Range in response");
}

void THttpClient::RaiseHeaderEnd() {
    DebugOutput("end of header");
    THttpCli::RaiseHeaderEnd();
}

void THttpClient::HandleRelocationClosed(TCustomWSocket* Sock, std::uint16_t Error) {
    if (FProtocol != "ftp" || FState == EngineState::Aborting || FState == EngineState::Idle) {
        THttpCli::HandleRelocationClosed(Sock, Error);
        return;
    }
    // The program fetches nothing over FTP: the relocation ends the request.
    Socket()->OnSessionClosed = [this](TCustomWSocket* s, std::uint16_t e) {
        HandleSessionClosed(s, e);
    };
    FRelocationPending = false;
    if (OnLocationChange) OnLocationChange(this);
    if (FState == EngineState::Idle) return;
    TrimReceivedBody();  // the relocation's body is no part of any answer
    FRequestError = Error;
    Resp.StatusCode = 504;
    Resp.ReasonPhrase = "Redirected to ftp server";
    Resp.Failed = true;
    HandleSessionClosed(Sock, Error);
}

void UseProxy(THttpCli& client, const TProxy& proxy) {
    client.Proxy = proxy.Address;
    client.ProxyPort = proxy.Port;
    client.ProxyUsername = proxy.Username;
    client.ProxyPassword = proxy.Password;
    if (proxy.SocksAddress.empty()) return;
    client.SocksServer = proxy.SocksAddress;
    client.SocksPort = proxy.SocksPort;
    client.SocksLevel = proxy.SocksLevel;
    client.SocksUsercode = proxy.SocksUsername;
    client.SocksPassword = proxy.SocksPassword;
    client.SocksAuthentication = proxy.SocksUsername.empty() && proxy.SocksPassword.empty()
                                     ? socksNoAuthentication
                                     : socksAuthenticateUsercode;
}
