// THttpCli's relocations: a "Location" resolved into the next target, followed on the same
// connection or on a new one once the old has closed. Same thread and ownership as THttpCli.
#include "http/THttpCli.h"
#include "http/UrlHelpers.h"
#include "platform/AsciiText.h"

bool THttpCli::ApplyLocation(const std::string& Value) {
    const std::string value = TrimBlanks(Value);
    if (value.empty()) return false;  // no target: the 3xx is the answer
    if (RelocationCount >= MaxRelocations) {
        Resp.RelocationLimitReached = true;  // a relocation loop ends with this answer
        return false;
    }
    // The current target, as the base the value is resolved against.
    std::string pathQuery = RequestTarget;
    if (!Proxy.empty() && !Tunnelled()) {
        const std::size_t scheme = pathQuery.find("://");
        const std::size_t slash =
            scheme == std::string::npos ? std::string::npos : pathQuery.find('/', scheme + 3);
        pathQuery = slash == std::string::npos ? std::string("/") : pathQuery.substr(slash);
    }
    TUriParts base;
    base.Scheme = FProtocol;
    base.HasAuthority = true;
    base.Host = TargetHost;
    base.Port = TargetPort;
    const std::size_t q = pathQuery.find('?');
    base.Path = pathQuery.substr(0, q);
    base.HasQuery = q != std::string::npos;
    if (base.HasQuery) base.Query = pathQuery.substr(q + 1);

    const TUriParts ref = SplitUriReference(value);
    TUriParts target = ResolveUriReference(base, ref);
    if (target.Host.empty()) {  // "http:///x" keeps the current host
        target.Host = TargetHost;
        if (target.Port.empty()) target.Port = TargetPort;
    }
    const bool ownCredentials = !ref.User.empty() && !ref.Password.empty();
    if (ownCredentials) {
        Username = DecodeUserInfo(ref.User);
        Password = DecodeUserInfo(ref.Password);
    }
    ++RelocationCount;
    FRelocationPending = true;
    // Never sent raw: a blank or control byte would split or extend the request line.
    const std::string path =
        EncodeUnsafeUrlBytes((target.Path.empty() ? std::string("/") : target.Path) +
                             (target.HasQuery ? "?" + target.Query : std::string()));
    const std::string host = EncodeUnsafeUrlBytes(target.Host);
    FProtocol = target.Scheme;
    TargetHost = host;
    TargetPort = target.Port.empty() ? DefaultPort(FProtocol) : target.Port;
    if (Proxy.empty()) {
        FConnectHost = TargetHost;
        FConnectPort = TargetPort;
        RequestTarget = path;
    } else if (Tunnelled()) {
        RequestTarget = path;
    } else {
        // The proxy is told any port but the default one; Location never names one.
        const bool defaultPort = target.Port.empty() || target.Port == DefaultPort(FProtocol);
        RequestTarget =
            FProtocol + "://" + host + (defaultPort ? std::string() : ":" + target.Port) + path;
    }
    const bool bareHost = target.Path.empty() && !target.HasQuery;
    FLocation = FProtocol + "://" + host + (bareHost ? std::string() : path);
    // Credentials a relocation names are for its target alone.
    if (ownCredentials) CredentialsFor = TargetKey();
    return true;
}

void THttpCli::FollowOnSameConnection() {
    InCount = 0;
    if (ConnectionKey() != LiveKey || Resp.CloseAfterResponse) {
        Socket()->OnSessionClosed = [this](TCustomWSocket* s, std::uint16_t e) {
            HandleRelocationClosed(s, e);
        };
        if (Socket()->State() == wsClosed)
            HandleRelocationClosed(Socket(), 0);
        else
            Socket()->CloseLater();
        return;
    }
    if (OnLocationChange) OnLocationChange(this);
    if (FState == EngineState::Idle) return;  // ended from the event
    TrimReceivedBody();
    RewindSendStream();
    FSentCount = 0;
    NewResponse();
    FDocumentName = RequestTarget;
    DeriveDocName();
    if (FRequestType == httpPOST) FRequestType = httpGET;
    PostRestart();
}

std::string THttpCli::ProxyConnectPort() const {
    std::string protocol, user, password, host, port, path;
    DecomposeUrl(Proxy, protocol, user, password, host, port, path);
    return port.empty() ? ProxyPort : port;
}

void THttpCli::HandleRelocationClosed(TCustomWSocket* Sock, std::uint16_t Error) {
    Socket()->OnSessionClosed = [this](TCustomWSocket* s, std::uint16_t e) {
        HandleSessionClosed(s, e);
    };
    FRelocationPending = false;
    LinkUp = false;
    // An abort closed the connection: the request ends there, with the abort's status.
    if (FState == EngineState::Aborting || FState == EngineState::Idle) return;
    const std::optional<TRelocationRefusal> refusal = RefuseRelocation();
    if (!refusal) {
        std::string protocol, user, password, host, port, path;
        DecomposeUrl(FLocation.substr(0, FLocation.find('#')), protocol, user, password, host, port,
                     path);
        FDocumentName = path;
        DeriveDocName();
        if (FRequestType == httpPOST) FRequestType = httpGET;
    }
    if (OnLocationChange) OnLocationChange(this);
    if (FState == EngineState::Idle) return;  // ended from the event
    // The relocation's body is no part of any answer.
    TrimReceivedBody();
    if (refusal) {
        FRequestError = Error;
        Resp.StatusCode = refusal->Status;
        Resp.ReasonPhrase = refusal->Reason;
        Resp.Failed = true;
        HandleSessionClosed(Sock, Error);
        return;
    }
    RewindSendStream();
    FSentCount = 0;
    NewResponse();
    if (!Proxy.empty()) FConnectPort = ProxyConnectPort();  // back to the proxy
    InCount = 0;
    PostRestart();
}
