// The program's HTTP session; see uHttpClient.h.
#include "download/uHttpClient.h"

#include <string>

#include "platform/DebugOutput.h"
#include "platform/EventLoop.h"

THttpClient::THttpClient() = default;

void THttpClient::GetSync() {
    if (!StartGet()) throw EHttpException(Resp.ReasonPhrase, Resp.StatusCode);
    TEventLoop& loop = TEventLoop::Current();
    while (RequestRunning()) {
        // Sleeps until the socket, a timer or a posted message (a cancel's wake-up) has work.
        if (MultiThreaded()) Socket()->DrainMessages();
        loop.WaitOne(-1);
        if (OnWaitPass) OnWaitPass();
    }
    EndGet();
}

bool THttpClient::StartGet() {
    // The address comes from a web page: a blank or control byte in it would split or extend
    // the request line, so such a request is never sent.
    for (char c : URL) {
        if (static_cast<unsigned char>(c) <= ' ') {
            Resp.StatusCode = RefusedRequestStatus;
            Resp.ReasonPhrase = "Request not sent: the address holds a blank or control character";
            return false;
        }
    }
    // Credentials set by the owner go with the first request, without waiting for a 401.
    if (!Username.empty() && !Password.empty() && AuthBasicState == basicNone) StepServerBasic();
    StartRequest(httpGET);
    return true;
}

void THttpClient::EndGet() {
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

void THttpClient::ParseHeaderField(const std::string& Line) {
    THttpCli::ParseHeaderField(Line);
    // A content-range whose total is not a number leaves the size to report unknown: the
    // session does not guess.
    if (!Resp.Failed && Resp.RangeWithoutTotal)
        FailResponse(BadResponseStatus, "Bad Content-Range in response");
}

void THttpClient::RaiseHeaderEnd() {
    DebugOutput("end of header");
    THttpCli::RaiseHeaderEnd();
}

std::optional<THttpCli::TRelocationRefusal> THttpClient::RefuseRelocation() const {
    // The program fetches nothing over FTP: the relocation ends the request.
    if (FProtocol == "ftp") return TRelocationRefusal{504, "Redirected to ftp server"};
    return std::nullopt;
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
