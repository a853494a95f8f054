// HTTP client engine: state, lifecycle, connecting and the close of a connection (see
// THttpCli.h). The request, the response, relocations, the CONNECT tunnel and authentication
// have files of their own.
#include "http/THttpCli.h"

#include "http/UrlHelpers.h"
#include "platform/DebugOutput.h"

THttpCli::THttpCli() {
    AllocateMessageWindow();
}

THttpCli::~THttpCli() {
    if (QuotaTimer != 0) TEventLoop::Current().KillTimer(QuotaTimer);
    if (FSocket) {
        // The socket goes first; nothing it does while closing may reach a half-destroyed engine.
        FSocket->OnSessionClosed = nullptr;
        FSocket->OnDataAvailable = nullptr;
        FSocket->OnSessionConnected = nullptr;
        FSocket->OnDataSent = nullptr;
        FSocket->OnDnsLookupDone = nullptr;
        FSocket->OnError = nullptr;
        FSocket.reset();
    }
    ReleaseMessageWindow();
}

TWSocket* THttpCli::Socket() {
    if (!FSocket) {
        // Made on first use so that a subclass's MakeSocket takes part.
        FSocket = MakeSocket();
        FSocket->SetMultiThreaded(FMultiThreaded);
        FSocket->OnSessionClosed = [this](TCustomWSocket* s, std::uint16_t e) {
            HandleSessionClosed(s, e);
        };
        FSocket->OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t e) {
            HandleDataAvailable(s, e);
        };
        FSocket->OnSessionConnected = [this](TCustomWSocket* s, std::uint16_t e) {
            HandleSessionConnected(s, e);
        };
        FSocket->OnDataSent = [this](TCustomWSocket* s, std::uint16_t e) { HandleDataSent(s, e); };
        FSocket->OnDnsLookupDone = [this](TCustomWSocket* s, std::uint16_t e) {
            HandleDnsLookupDone(s, e);
        };
        FSocket->OnSocksConnected = [this](TCustomWSocket*, std::uint16_t e) {
            if (OnSocksConnected) OnSocksConnected(this, e);
        };
        FSocket->OnSocksError = [this](TCustomWSocket*, int e, const std::string& msg) {
            if (OnSocksError) OnSocksError(this, e, msg);
        };
        ForwardSocketErrors();
    }
    return FSocket.get();
}

void THttpCli::ForwardSocketErrors() {
    FSocket->OnError = [this](TCustomWSocket*) {
        if (OnSocketError) OnSocketError(this);
    };
}

std::unique_ptr<TWSocket> THttpCli::MakeSocket() {
    return std::make_unique<TWSocket>();
}

void THttpCli::AllocateMessageWindow() {
    MessageWindow =
        std::make_unique<TMessageTarget>([this](unsigned Msg, std::uintptr_t W, std::intptr_t L) {
            HandleEngineMessage(Msg, W, L);
        });
}

void THttpCli::ReleaseMessageWindow() {
    MessageWindow.reset();
}

void THttpCli::SetRequestVer(const std::string& Value) {
    if (Value == FRequestVer) return;
    if (Value != "1.0" && Value != "1.1") throw EHttpException("Insupported HTTP version", 5);
    FRequestVer = Value;
}

void THttpCli::SetMultiThreaded(bool Value) {
    FMultiThreaded = Value;
    Socket()->SetMultiThreaded(Value);
}

// ---- events ----

void THttpCli::RaiseStateChange() {
    if (OnStateChange) OnStateChange(this);
}
void THttpCli::RaiseCookie(const std::string& Data, bool& Accept) {
    if (OnCookie) OnCookie(this, Data, Accept);
}
void THttpCli::RaiseSessionConnected() {
    if (OnSessionConnected) OnSessionConnected(this);
}
void THttpCli::RaiseSessionClosed() {
    if (OnSessionClosed) OnSessionClosed(this);
}
void THttpCli::RaiseBeforeHeaderSend(const std::string& Method, std::vector<std::string>& Headers) {
    if (OnBeforeHeaderSend) OnBeforeHeaderSend(this, Method, Headers);
}
void THttpCli::RaiseRequestHeaderBegin() {
    if (OnRequestHeaderBegin) OnRequestHeaderBegin(this);
}
void THttpCli::RaiseRequestHeaderEnd() {
    if (OnRequestHeaderEnd) OnRequestHeaderEnd(this);
}
void THttpCli::RaiseHeaderBegin() {
    HeaderOpen = true;
    if (OnHeaderBegin) OnHeaderBegin(this);
}
void THttpCli::RaiseHeaderEnd() {
    HeaderOpen = false;
    if (OnHeaderEnd) OnHeaderEnd(this);
}
void THttpCli::RaiseDocBegin() {
    if (OnDocBegin) OnDocBegin(this);
}
void THttpCli::RaiseDocData(const char* Buffer, int Len) {
    if (OnDocData) OnDocData(this, Buffer, Len);
}
void THttpCli::RaiseDocEnd() {
    if (OnDocEnd) OnDocEnd(this);
}
void THttpCli::RaiseSendBegin() {
    if (OnSendBegin) OnSendBegin(this);
}
void THttpCli::RaiseSendData(const char* Buffer, int Len) {
    if (OnSendData) OnSendData(this, Buffer, Len);
}
void THttpCli::RaiseSendEnd() {
    if (OnSendEnd) OnSendEnd(this);
}

// ---- queued notifications and state ----

void THttpCli::PostRequestDone() {
    MessageWindow->Post(RequestDoneMessage);
}
void THttpCli::PostReady() {
    MessageWindow->Post(ReadyMessage);
}

void THttpCli::HandleEngineMessage(unsigned Msg, std::uintptr_t, std::intptr_t) {
    switch (Msg) {
        case RequestDoneMessage:
            if (OnRequestDone) OnRequestDone(this, FRequestType, FRequestError);
            break;
        case ReadyMessage:
            ChangeState(EngineState::Idle);
            break;
        case RestartMessage:
            // A restart queued by a request that has ended since (an abort) must not connect;
            // one queued by an authentication step in Idle must.
            if (RestartPosted) {
                RestartPosted = false;
                BeginConnect();
            }
            break;
        default:
            break;
    }
}

const char* THttpCli::StateName(EngineState State) {
    switch (State) {
        case EngineState::Idle:
            return "Idle";
        case EngineState::Starting:
            return "Starting";
        case EngineState::Connected:
            return "Connected";
        case EngineState::Resolving:
            return "Resolving";
        case EngineState::Resolved:
            return "Resolved";
        case EngineState::AwaitingHeader:
            return "AwaitingHeader";
        case EngineState::ReceivingBody:
            return "ReceivingBody";
        case EngineState::BodyComplete:
            return "BodyComplete";
        case EngineState::Closing:
            return "Closing";
        case EngineState::Aborting:
            return "Aborting";
    }
    return "?";
}

// The one writer of State, so that the trace shows every change.
void THttpCli::ChangeState(EngineState NewState) {
    if (NewState == FState) return;
    DebugOutput(std::string("http state ") + StateName(FState) + " -> " + StateName(NewState));
    FState = NewState;
    RaiseStateChange();
    if (NewState == EngineState::Idle) {
        RestartPosted = false;
        if (TryNtlmStep()) return;
        if (TryBasicStep()) return;
        PostRequestDone();
    }
}

// ---- starting a request ----

void THttpCli::StartRequest(THttpRequest Type) {
    if (Type != httpCLOSE && FState != EngineState::Idle)
        throw EHttpException("HTTP component " + Name + " is busy", 1);
    if ((Type == httpPOST || Type == httpPUT) && SendStream == nullptr)
        throw EHttpException("HTTP component has nothing to post or put", 2);
    if (Type == httpCLOSE) {
        Resp.StatusCode = 200;
        Resp.ReasonPhrase = "OK";
        ChangeState(EngineState::Closing);
        CloseWhenDone();
        return;
    }
    FRequestType = Type;
    RelocationCount = 0;
    RestartPosted = false;
    // A refusal of an earlier request's CONNECT is no answer to this one.
    if (Tunnel.State() == THttpTunnel::TState::Refused)
        Tunnel.ChangeState(THttpTunnel::TState::Idle);
    ResetResponse();
    InCount = 0;  // whatever a kept connection sent after the last response is not this answer
    PrepareAddresses();
    StartAuthenticationRound();
    if (Socket()->State() == wsConnected) {
        if (ConnectionKey() == LiveKey) {
            HandleSessionConnected(Socket(), 0);
            return;
        }
        Socket()->Abort();
    }
    ChangeState(EngineState::Starting);
    if (FState != EngineState::Starting) return;  // ended from OnStateChange
    BeginConnect();
}

void THttpCli::ResetResponse() {
    NewResponse();
    FSecureFailure.clear();
    FRequestError = 0;
    FSentCount = 0;
    FDocumentName.clear();
    SendingBody = false;
    FLocation = URL;
}

void THttpCli::NewResponse() {
    Resp = THttpResponse();
    // HTTP/1.0 expects the server to close; HTTP/1.1 expects the connection to stay.
    Resp.CloseAfterResponse = FRequestVer == "1.0";
}

void THttpCli::PrepareAddresses() {
    std::string protocol, user, password, host, port, path;
    if (!Proxy.empty()) {
        DecomposeUrl(URL, protocol, user, password, host, port, path);
        TargetHost = host;
        TargetPort = !port.empty() ? port : DefaultPort(protocol);
        FDocumentName = path;
        if (!user.empty()) Username = DecodeUserInfo(user);
        if (!password.empty()) Password = DecodeUserInfo(password);
        FProtocol = protocol;
        RequestTarget = Tunnelled() ? path
                                    : (protocol.empty() ? std::string("http") : protocol) + "://" +
                                          host + (port.empty() ? std::string() : ":" + port) + path;
        std::string pp, pu, ppw, ph, pn, ppath;
        DecomposeUrl(Proxy, pp, pu, ppw, ph, pn, ppath);
        FConnectHost = ph;
        FConnectPort = pn.empty() ? ProxyPort : pn;
    } else {
        DecomposeUrl(URL, protocol, user, password, host, port, RequestTarget);
        TargetHost = FConnectHost = host;
        TargetPort = FConnectPort = port.empty() ? DefaultPort(protocol) : port;
        FDocumentName = RequestTarget;
        FProtocol = protocol;
        if (!user.empty()) Username = DecodeUserInfo(user);
        if (!password.empty()) Password = DecodeUserInfo(password);
    }
    if (FProtocol.empty()) FProtocol = "http";
    if (RequestTarget.empty()) RequestTarget = "/";
    DeriveDocName();
}

void THttpCli::DeriveDocName() {
    std::size_t q = FDocumentName.find('?');
    if (q != std::string::npos) FDocumentName.erase(q);
    if (FDocumentName.empty() || FDocumentName.back() == '/') {
        FDocumentName = "document.htm";
        return;
    }
    std::size_t slash = FDocumentName.rfind('/');
    if (slash != std::string::npos) FDocumentName.erase(0, slash + 1);
    if (FDocumentName.size() > 255) FDocumentName.resize(255);
}

template <class F>
static void WithSocketRaising(TWSocket* s, F f) {
    // With OnError unset the socket raises, so a failure to start is seen by the caller
    // instead of leaving the request waiting for an answer that never comes.
    auto saved = std::move(s->OnError);
    s->OnError = nullptr;
    try {
        f();
    } catch (...) {
        s->OnError = std::move(saved);
        throw;
    }
    s->OnError = std::move(saved);
}

void THttpCli::BeginConnect() {
    Socket()->OnSessionClosed = [this](TCustomWSocket* s, std::uint16_t e) {
        HandleSessionClosed(s, e);
    };
    if (Socket()->State() == wsConnected) {
        HandleSessionConnected(Socket(), 0);
        return;
    }
    ResolvedAddress.clear();
    ChangeState(EngineState::Resolving);
    if (FState != EngineState::Resolving) return;
    if (SocksResolvesNames()) {
        // Looking the name up here would leak it outside the tunnel, and miss names only the
        // far side knows.
        HandleDnsLookupDone(Socket(), 0);
        return;
    }
    try {
        Socket()->SetLocalAddr(LocalAddr);
        WithSocketRaising(Socket(), [this] { Socket()->DnsLookup(FConnectHost); });
    } catch (const std::exception& e) {
        Resp.StatusCode = 404;
        Resp.ReasonPhrase = e.what();
        LinkUp = false;
        ChangeState(EngineState::Idle);
    }
}

bool THttpCli::SocksResolvesNames() const {
    return !SocksServer.empty() && (SocksLevel == "5" || SocksLevel == "4A" || SocksLevel == "4a");
}

void THttpCli::ConfigureSocket() {
    Socket()->SetAddr(ResolvedAddress);
    Socket()->SetLocalAddr(LocalAddr);
    Socket()->SetPort(FConnectPort);
    Socket()->SetProto("tcp");
    Socket()->SetSocksServer(SocksServer);
    Socket()->SetSocksLevel(SocksLevel);
    Socket()->SetSocksPort(SocksPort);
    Socket()->SetSocksUsercode(SocksUsercode);
    Socket()->SetSocksPassword(SocksPassword);
    Socket()->SetSocksAuthentication(SocksAuthentication);
    // Through an HTTP proxy the proxy speaks to the server; TLS is the server's own here.
    Socket()->SetSslEnable(FProtocol == "https" && Proxy.empty());
    Tunnel.ChangeState(THttpTunnel::TState::Idle);  // a new connection
    Socket()->SetSslHostName(TargetHost);
}

void THttpCli::CloseSocketQuietly() {
    auto saved = std::move(Socket()->OnSessionClosed);
    Socket()->OnSessionClosed = nullptr;
    Socket()->Close();
    Socket()->OnSessionClosed = std::move(saved);
}

void THttpCli::HandleDnsLookupDone(TCustomWSocket* Sock, std::uint16_t Error) {
    if (Error != 0) {
        if (FState != EngineState::Aborting) {
            FRequestError = Error;
            Resp.StatusCode = 404;
            Resp.ReasonPhrase = "can't resolve hostname to IP address";
            HandleSessionClosed(Sock, Error);
        }
        return;
    }
    // A lookup of a dotted address ends inside DnsLookup, where errors are made to raise.
    ForwardSocketErrors();
    ResolvedAddress = SocksResolvesNames() ? FConnectHost : Socket()->DnsResult();
    // SOCKS 4 carries an IPv4 address only: take one when the lookup found any.
    if (!SocksServer.empty() && SocksLevel == "4")
        for (const std::string& a : Socket()->DnsResultList())
            if (IsDottedAddress(a)) {
                ResolvedAddress = a;
                break;
            }
    ChangeState(EngineState::Resolved);
    if (FState != EngineState::Resolved) return;
    ForgetFinishedAuthentication();
    // Ends the request before a connection is made, with the socket's last error number.
    auto endUnconnected = [&](int Status, const std::string& Reason) {
        const int err = Socket()->LastError();
        FRequestError = static_cast<std::uint16_t>(err);
        Resp.StatusCode = Status;
        Resp.ReasonPhrase = Reason;
        CloseSocketQuietly();
        HandleSessionClosed(Sock, static_cast<std::uint16_t>(err));
    };
    // The socket's error number words the reason; without one its own message does.
    auto connectFailed = [&](const std::exception& e) {
        const int err = Socket()->LastError();
        endUnconnected(404, err != 0 ? "can't connect: " + ErrorDescription(err) + " (Error #" +
                                           std::to_string(err) + ")"
                                     : std::string("can't connect: ") + e.what());
    };
    try {
        ConfigureSocket();
    } catch (const std::exception& e) {
        connectFailed(e);
        return;
    }
    LiveKey = ConnectionKey();
    if (FProtocol != "http" && FProtocol != "https") {
        endUnconnected(501, "Protocol \"" + FProtocol + "\" not implemented");
        return;
    }
    try {
        WithSocketRaising(Socket(), [this] { Socket()->Connect(); });
    } catch (const std::exception& e) {
        connectFailed(e);
    }
}

void THttpCli::HandleSessionConnected(TCustomWSocket* Sock, std::uint16_t Error) {
    if (Error != 0) {
        FRequestError = Error;
        Resp.StatusCode = 404;
        // A refused certificate or handshake says why in words of its own.
        const bool tls = Socket()->SslError() == Error;
        Resp.ReasonPhrase = tls ? Socket()->SslErrorText() : ErrorDescription(Error);
        Resp.ReasonPhrase += " (Error #" + std::to_string(Error) + ")";
        if (tls) FSecureFailure = Resp.ReasonPhrase;
        RaiseSessionConnected();
        return;  // the socket's close that follows ends the request
    }
    if (Tunnelled() && !Socket()->SslEstablished()) {
        // The proxy's connection: the tunnel comes first, TLS in it, then this call again.
        if (Tunnel.Reading()) return;
        // A kept proxy connection takes the next CONNECT (an authentication leg).
        if (FState == EngineState::Idle) {
            ChangeState(EngineState::Connected);
            if (FState != EngineState::Connected) return;
        }
        SendConnect();
        return;
    }
    FRelocationPending = false;
    LinkUp = true;
    ChangeState(EngineState::Connected);
    RaiseSessionConnected();
    // The owner may have ended the request from the event; nothing is to be sent then.
    if (FState != EngineState::Connected) return;
    NextStep = &THttpCli::HandleHeaderLine;
    ChangeState(EngineState::AwaitingHeader);
    if (FState != EngineState::AwaitingHeader) return;
    try {
        switch (FRequestType) {
            case httpGET:
                WriteRequest("GET", FRequestVer);
                break;
            case httpHEAD:
                WriteRequest("HEAD", FRequestVer);
                break;
            case httpPOST:
            case httpPUT:
                WriteRequest(FRequestType == httpPOST ? "POST" : "PUT", FRequestVer);
                if (!LinkUp) return;  // the request was refused
                if (!NtlmNegotiateGoingOut()) {
                    RaiseSendBegin();
                    SendingBody = true;
                    HandleDataSent(Sock, 0);
                }
                break;
            default:
                break;
        }
    } catch (const std::exception&) {
        DropConnection();
    }
}

void THttpCli::DropConnection() {
    Socket()->Close();
    LinkUp = false;
}

void THttpCli::RunRequest(THttpRequest Type) {
    StartRequest(Type);
    TEventLoop& loop = TEventLoop::Current();
    // Each pass sleeps until the next event of this thread's loop arrives.
    while (RequestRunning()) {
        if (FMultiThreaded) {
            Socket()->DrainMessages();
            if (!RequestRunning()) break;
        }
        loop.WaitOne(1000);
        if (!FMultiThreaded && loop.Terminated()) {
            Abort();
            break;
        }
    }
    if (Resp.StatusCode >= 400 && Resp.StatusCode != 401 && Resp.StatusCode != 407)
        throw EHttpException(Resp.ReasonPhrase, Resp.StatusCode);
}

void THttpCli::Abort() {
    if (FState != EngineState::Idle) {
        bool wasResolving = FState == EngineState::Resolving;
        ChangeState(EngineState::Aborting);
        if (wasResolving) {
            try {
                Socket()->CancelLookup();
            } catch (const std::exception&) {
            }
        }
        Resp.StatusCode = 404;
        Resp.ReasonPhrase = "Connection aborted on request";
        FRequestError = 3;
        if (wasResolving)
            HandleSessionClosed(Socket(), 0);
        else
            Socket()->Close();
        ChangeState(EngineState::Idle);
        return;
    }
    // Idle all along: a kept connection is dropped without its close reaching the engine.
    if (Socket()->State() != wsClosed) {
        auto saved = std::move(Socket()->OnSessionClosed);
        Socket()->OnSessionClosed = nullptr;
        Socket()->Abort();
        Socket()->OnSessionClosed = std::move(saved);
    }
    LinkUp = false;
    RestartPosted = false;  // an authentication step's restart ends with the request
    Resp.StatusCode = 200;
    Resp.ReasonPhrase = "OK";
    FRequestError = 0;
    RaiseStateChange();
    if (OnRequestDone) OnRequestDone(this, FRequestType, 0);
}

void THttpCli::BandwidthTick() {
    if (Throttled) {
        Throttled = false;
        WindowBytes = WindowBytes > WindowQuota ? WindowBytes - WindowQuota : 0;
        Socket()->ResumeEvents();
    } else {
        // A window that stayed under its quota is over; its bytes do not count against the next.
        WindowBytes = 0;
    }
}

void THttpCli::HandleSessionClosed(TCustomWSocket* Sock, std::uint16_t Error) {
    LinkUp = false;
    TunnelClosed();
    InCount = 0;  // bytes of a closed connection never belong to the next one
    // The server closed the connection the relocated request was to reuse: the queued restart
    // finds it closed and opens a new one.
    if (RestartPosted) return;
    if (Error != 0) FRequestError = Error;
    const bool running = !Resp.Failed && FState != EngineState::Aborting &&
                         FState != EngineState::Idle && !FRelocationPending;
    if (HeaderOpen) {
        // The response was cut off inside its header: it still ends, as a failure.
        if (running) {
            Resp.Failed = true;
            Resp.StatusCode = BadResponseStatus;
            Resp.ReasonPhrase = "Connection closed before the response header ended";
        }
        RaiseHeaderEnd();
    } else if (running && FState == EngineState::AwaitingHeader && Resp.HeaderLinesSeen == 0 &&
               Resp.StatusCode == 0) {
        Resp.Failed = true;
        Resp.StatusCode = BadResponseStatus;
        Resp.ReasonPhrase = "Connection closed without a response";
    }
    if (FState == EngineState::ReceivingBody) CheckBodyAtClose(Error);
    if (Resp.BodyBlocksSeen > 0) {
        StopQuotaTimer();
        RaiseDocEnd();
    }
    if (FRelocationPending) {
        HandleRelocationClosed(Sock, Error);
    } else {
        RaiseSessionClosed();
        if (FState != EngineState::Idle) PostReady();
    }
}

std::string THttpCli::ConnectionKey() const {
    return FConnectHost + ":" + FConnectPort + " " + FProtocol +
           (Tunnelled() ? " to " + TargetHost + ":" + TargetPort : std::string());
}

std::string THttpCli::DefaultPort(const std::string& Protocol) {
    return Protocol == "https" ? "443" : "80";
}

void THttpCli::PostRestart() {
    RestartPosted = true;
    MessageWindow->Post(RestartMessage);
}
