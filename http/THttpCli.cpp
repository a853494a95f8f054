// HTTP client engine: request side, connection handling and response handling (see THttpCli.h).
#include "http/THttpCli.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "http/UrlHelpers.h"
#include "platform/AsciiText.h"
#include "platform/DebugOutput.h"

namespace {

std::string ExtensionOf(const std::string& name) {
    std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

}  // namespace

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
    ConnectExchange = false;
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
        if (!user.empty()) Username = user;
        if (!password.empty()) Password = password;
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
        if (!user.empty()) Username = user;
        if (!password.empty()) Password = password;
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
    TunnelPending = false;
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
    ResolvedAddress = Socket()->DnsResult();
    ChangeState(EngineState::Resolved);
    if (FState != EngineState::Resolved) return;
    // Finished authentication does not carry over to a new connection.
    if (AuthNTLMState == 4) AuthNTLMState = 0;
    if (ProxyAuthNTLMState == 4) {
        ProxyAuthNTLMState = 0;
        AuthNTLMState = 0;
    }
    if (AuthBasicState == 2) AuthBasicState = 0;
    if (ProxyAuthBasicState == 2) {
        ProxyAuthBasicState = 0;
        AuthBasicState = 0;
    }
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

bool THttpCli::NtlmNegotiateGoingOut() const {
    return (NtlmForServer && AuthNTLMState == 1) || (!NtlmForServer && ProxyAuthNTLMState == 1);
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
        if (TunnelPending) return;
        // A kept proxy connection takes the next CONNECT (an authentication leg).
        if (FState == EngineState::Idle) {
            ChangeState(EngineState::Connected);
            if (FState != EngineState::Connected) return;
        }
        SendConnect();
        return;
    }
    ConnectExchange = false;
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

// ---- the request ----

bool THttpCli::RequestLineIsSafe(const std::string& Line) {
    return Line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

void THttpCli::WriteRequest(const std::string& Method, const std::string& Version) {
    WindowBytes = 0;
    if (Options.Has(httpoBandwidthControl)) {
        TEventLoop& loop = TEventLoop::Current();
        if (QuotaTimer != 0) loop.KillTimer(QuotaTimer);
        QuotaTimer = loop.SetTimer(static_cast<unsigned>(std::max(1, BandwidthSampling)),
                                   [this] { BandwidthTick(); });
        WindowQuota = static_cast<std::uint64_t>(std::max(0, BandwidthLimit)) *
                      static_cast<std::uint64_t>(std::max(0, BandwidthSampling)) / 1000;
        Throttled = false;
        Socket()->SetComponentOptions(Socket()->ComponentOptions().Include(wsoNoReceiveLoop));
    }
    std::vector<std::string> lines;
    RequestBytes.clear();
    UnsafeLine.clear();
    RaiseRequestHeaderBegin();

    const bool withBody = Method == "POST" || Method == "PUT";
    lines.push_back(Method + " " + RequestTarget + " HTTP/" + Version);
    if (!Sender.empty()) lines.push_back("From: " + Sender);
    if (!Accept.empty()) lines.push_back("Accept: " + Accept);
    if (!Reference.empty()) lines.push_back("Referer: " + Reference);
    if (!Connection.empty()) lines.push_back("Connection: " + Connection);
    if (!ProxyConnection.empty() && !Tunnelled())
        lines.push_back("Proxy-Connection: " + ProxyConnection);
    if (!AcceptLanguage.empty()) lines.push_back("Accept-Language: " + AcceptLanguage);
    if (withBody && !ContentTypePost.empty()) lines.push_back("Content-Type: " + ContentTypePost);
    if (!Agent.empty()) lines.push_back("User-Agent: " + Agent);
    lines.push_back("Host: " + TargetHost +
                    (TargetPort != DefaultPort(FProtocol) ? ":" + TargetPort : std::string()));
    if (NoCache) lines.push_back("Pragma: no-cache");
    if (withBody) {
        std::int64_t length = 0;
        if (!NtlmNegotiateGoingOut() && SendStream != nullptr)
            length = SendStream->Size() - SendStream->Position();
        lines.push_back("Content-Length: " + std::to_string(length));
    }
    if (ModifiedSince != 0)
        lines.push_back("If-Modified-Since: " + FormatHttpDate(ModifiedSince) + " GMT");
    if (const std::string line = AuthorizationLine(); !line.empty()) lines.push_back(line);
    if (!Cookie.empty()) lines.push_back("Cookie: " + Cookie);
    if (!ContentRangeBegin.empty() || !ContentRangeEnd.empty()) {
        lines.push_back("Range: bytes=" + ContentRangeBegin + "-" + ContentRangeEnd);
        ContentRangeBegin.clear();
        ContentRangeEnd.clear();
    }
    FAcceptRanges.clear();

    RaiseBeforeHeaderSend(Method, lines);
    for (const std::string& line : lines) EmitRequestLine(line);
    RaiseRequestHeaderEnd();
    EmitRequestLine(std::string());

    if (!UnsafeLine.empty()) {
        // A CR, LF or NUL inside a value would let it add lines of its own to the request.
        Resp.StatusCode = RefusedRequestStatus;
        Resp.ReasonPhrase = "Request not sent: " + UnsafeLine + " holds a CR, LF or NUL character";
        RequestBytes.clear();
        DropConnection();
        return;
    }
    Socket()->QueueSendData(RequestBytes.data(), static_cast<int>(RequestBytes.size()));
    RequestBytes.clear();
    Socket()->Send(nullptr, 0);
}

void THttpCli::EmitRequestLine(const std::string& Line) {
    std::string copy = Line;
    if (OnCommand) OnCommand(this, copy);
    if (UnsafeLine.empty() && !RequestLineIsSafe(copy)) {
        std::size_t colon = copy.find(':');
        UnsafeLine = RequestBytes.empty() || colon == std::string::npos
                         ? std::string("the request line")
                         : "the \"" + copy.substr(0, colon) + "\" line";
    }
    RequestBytes += copy;
    RequestBytes += "\r\n";
}

void THttpCli::HandleDataSent(TCustomWSocket*, std::uint16_t) {
    if (!SendingBody) return;
    std::int64_t n = SendStream != nullptr ? SendStream->Read(OutBlock, OutBlockSize) : 0;
    if (n > 0) {
        FSentCount += n;
        RaiseSendData(OutBlock, static_cast<int>(n));
        Socket()->Send(OutBlock, static_cast<int>(n));
    } else {
        SendingBody = false;
        RaiseSendEnd();
    }
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

// ---- the response ----

void THttpCli::HandleDataAvailable(TCustomWSocket*, std::uint16_t Error) {
    if (TunnelPending) {
        ReadConnectReply();
        return;
    }
    int n;
    if (InCount < InBufferLimit) {
        n = Socket()->Receive(InBuffer + InCount, InBufferLimit - InCount);
    } else {
        // A line longer than the buffer: keep reading until its end, which overwrites the tail
        // of the held line so that the following lines stay intact. The held bytes never grow
        // beyond the limit, whatever the server sends.
        char scratch[25];
        int got = Socket()->Receive(scratch, sizeof scratch);
        if (got <= 0) return;
        const char* lf = static_cast<const char*>(std::memchr(scratch, '\n', got));
        if (lf == nullptr) return;
        n = got - static_cast<int>(lf - scratch);
        InCount = InBufferLimit - n;
        std::memcpy(InBuffer + InCount, lf, n);
    }
    if (FRequestType == httpABORT || n <= 0) return;
    WindowBytes += static_cast<std::uint64_t>(n);
    if (Options.Has(httpoBandwidthControl) && WindowBytes > WindowQuota && !Throttled) {
        Throttled = true;
        Socket()->PauseEvents();
    }
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
        const char* lf = static_cast<const char*>(std::memchr(InBuffer, '\n', InCount));
        if (lf == nullptr) break;
        int len = static_cast<int>(lf - InBuffer);
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
    if (line.empty()) {
        HandleHeaderEnd();
        return;
    }
    Resp.ReceivedHeader.push_back(line);
    if (Resp.HeaderLinesSeen == 1) {
        ReadStatusLine(line);
    } else if (line[0] == ' ' || line[0] == '\t') {
        // A folded continuation of the previous field: a folded target is not trusted.
        if (Resp.LastFieldWasLocation) Resp.LocationFolded = true;
    } else {
        ParseHeaderField(line);
    }
    if (Resp.Failed) return;
    if (OnHeaderData) OnHeaderData(this);
}

void THttpCli::ReadStatusLine(const std::string& Line) {
    if (Line.compare(0, 5, "HTTP/") != 0) {
        if (OnDataPush2) OnDataPush2(this);
        return;
    }
    // "HTTP/1.x nnn reason": from a server that claims HTTP, nothing else can be read safely.
    auto digit = [&Line](std::size_t i) { return Line[i] >= '0' && Line[i] <= '9'; };
    const bool readable = Line.size() >= 12 &&
                          (Line.compare(5, 3, "1.0") == 0 || Line.compare(5, 3, "1.1") == 0) &&
                          Line[8] == ' ' && digit(9) && digit(10) && digit(11) && Line[9] != '0' &&
                          (Line.size() == 12 || Line[12] == ' ');
    if (!readable) {
        FailResponse(BadResponseStatus, "Bad status line from server");
        return;
    }
    Resp.ResponseVersion = Line.substr(5, 3);
    Resp.StatusCode = (Line[9] - '0') * 100 + (Line[10] - '0') * 10 + (Line[11] - '0');
    Resp.ReasonPhrase = Line.size() > 13 ? Line.substr(13) : std::string();
    // An HTTP/1.0 server closes unless it says "keep-alive".
    if (Resp.ResponseVersion == "1.0") Resp.CloseAfterResponse = true;
}

void THttpCli::ParseHeaderField(const std::string& Line) {
    std::size_t colon = Line.find(':');
    Resp.LastFieldWasLocation = false;
    if (colon == std::string::npos) return;
    const std::string name = AsciiLower(Line.substr(0, colon));
    std::size_t start = colon + 1;
    while (start + 1 < Line.size() && Line[start] == ' ') ++start;
    const std::string value = Line.substr(std::min(start, Line.size()));

    if (name == "location") {
        Resp.LastFieldWasLocation = true;
        if (!Resp.LocationSeen) Resp.LocationValue = value;
        Resp.LocationSeen = true;
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
        if (!valid || (Resp.ContentLength >= 0 && Resp.ContentLength != length))
            Resp.LengthInvalid = true;
        else
            Resp.ContentLength = length;
    } else if (name == "transfer-encoding") {
        Resp.TransferEncoding += (Resp.TransferEncoding.empty() ? "" : ", ") + value;
    } else if (name == "content-range") {
        // 'bytes 100-199/1000'
        std::size_t dash = value.find('-');
        std::size_t slash = value.find('/');
        ContentRangeBegin = dash != std::string::npos && dash > 6 ? value.substr(6, dash - 6) : "";
        ContentRangeEnd = dash != std::string::npos && slash != std::string::npos && slash > dash
                              ? value.substr(dash + 1, slash - dash - 1)
                              : "";
        std::int64_t total = 0;
        Resp.InstanceLength =
            slash != std::string::npos && ParseDecimal(TrimBlanks(value.substr(slash + 1)), total)
                ? total
                : -1;
    } else if (name == "accept-ranges") {
        FAcceptRanges = value;
    } else if (name == "content-type") {
        Resp.ContentType = AsciiLower(value);
    } else if (name == "www-authenticate" || name == "proxy-authenticate") {
        Resp.AuthChallenges.push_back(value);
    } else if (name == "set-cookie") {
        bool accept = true;
        RaiseCookie(value, accept);
    } else if (name == "connection" || name == "proxy-connection") {
        for (std::size_t at = 0; at <= value.size();) {
            std::size_t comma = value.find(',', at);
            if (comma == std::string::npos) comma = value.size();
            const std::string option = AsciiLower(TrimBlanks(value.substr(at, comma - at)));
            if (option == "close") {
                Resp.CloseAsked = true;
                Resp.CloseAfterResponse = true;
            } else if (option == "keep-alive" && !Resp.CloseAsked) {
                Resp.CloseAfterResponse = false;
            }
            at = comma + 1;
        }
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
        else if (FollowRelocation && !Resp.LocationFolded)
            ApplyLocation(Resp.LocationValue);
    }
    if (!DecideFraming()) return;
    RaiseHeaderEnd();
    if (FState == EngineState::Idle) {
        InCount = 0;
        return;
    }
    ContinueAfterHeader();
}

bool THttpCli::DecideFraming() {
    const int status = Resp.StatusCode;
    if (FRequestType == httpHEAD || (status >= 100 && status < 200) || status == 204 ||
        status == 304) {
        Resp.Framing = TBodyFraming::None;
        // After 101 the connection speaks something else.
        if (status == 101) Resp.CloseAfterResponse = true;
        return true;
    }
    if (!Resp.TransferEncoding.empty()) {
        const std::size_t comma = Resp.TransferEncoding.rfind(',');
        const std::string last = AsciiLower(
            TrimBlanks(comma == std::string::npos ? Resp.TransferEncoding
                                                  : Resp.TransferEncoding.substr(comma + 1)));
        // A length beside a transfer coding is ignored, and a connection that carried both
        // is not trusted with another request.
        if (Resp.ContentLength >= 0 || Resp.LengthInvalid) Resp.CloseAfterResponse = true;
        Resp.ContentLength = -1;
        Resp.LengthInvalid = false;
        if (last == "chunked") {
            Resp.Framing = TBodyFraming::Chunked;
        } else {
            Resp.Framing = TBodyFraming::UntilClose;
            Resp.CloseAfterResponse = true;
        }
        return true;
    }
    if (Resp.LengthInvalid) {
        FailResponse(BadResponseStatus, "Bad Content-Length in response");
        return false;
    }
    if (Resp.ContentLength > 0) {
        Resp.Framing = TBodyFraming::Length;
    } else if (Resp.ContentLength == 0) {
        Resp.Framing = TBodyFraming::None;
    } else if (status == 301 || status == 302) {
        // Taken as bodiless; whatever body it may have cannot be delimited on this connection.
        Resp.Framing = TBodyFraming::None;
        Resp.CloseAfterResponse = true;
    } else {
        Resp.Framing = TBodyFraming::UntilClose;
        Resp.CloseAfterResponse = true;
    }
    return true;
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
        Username = ref.User;
        Password = ref.Password;
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
    if (Resp.Failed || FRelocationPending) return;
    bool whole = true;
    switch (Resp.Framing) {
        case TBodyFraming::Length:
            whole = Resp.ReceivedCount >= Resp.ContentLength;
            break;
        case TBodyFraming::Chunked:
            whole = Resp.Chunks.DataComplete();
            break;
        case TBodyFraming::UntilClose:
            whole = Error == 0;  // a reset may have cut it anywhere
            break;
        case TBodyFraming::None:
            break;
    }
    if (whole) return;
    Resp.Failed = true;
    Resp.StatusCode = BadResponseStatus;
    Resp.ReasonPhrase = "Connection closed before the whole body arrived";
    if (Error != 0) Resp.ReasonPhrase += " (Error #" + std::to_string(Error) + ")";
}

void THttpCli::HandleSessionClosed(TCustomWSocket* Sock, std::uint16_t Error) {
    LinkUp = false;
    if (TunnelPending) {
        TunnelPending = false;
        if (!Resp.Failed && Resp.StatusCode == 0) {
            Resp.Failed = true;
            Resp.StatusCode = BadResponseStatus;
            Resp.ReasonPhrase = "Proxy closed the connection before answering CONNECT";
        }
    }
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

void THttpCli::TrimReceivedBody() {
    if (ReceiveStream != nullptr && Resp.ReceivedCount > 0) {
        std::int64_t size = ReceiveStream->Size() - Resp.ReceivedCount;
        ReceiveStream->SetSize(size < 0 ? 0 : size);
        ReceiveStream->Seek(0, soEnd);
    }
}

void THttpCli::RewindSendStream() {
    if (SendStream != nullptr && FSentCount > 0) SendStream->Seek(-FSentCount, soCurrent);
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

bool THttpCli::ParseDecimal(const std::string& Text, std::int64_t& Value) {
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

std::string THttpCli::ConnectionKey() const {
    return FConnectHost + ":" + FConnectPort + " " + FProtocol +
           (Tunnelled() ? " to " + TargetHost + ":" + TargetPort : std::string());
}

void THttpCli::SendConnect() {
    TunnelPending = true;
    ConnectExchange = true;
    TunnelReply.clear();
    TunnelSkip = 0;
    const std::string authority = TargetHost + ":" + TargetPort;
    std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (const std::string line = ProxyAuthorizationLine(); !line.empty()) request += line + "\r\n";
    if (!Agent.empty()) request += "User-Agent: " + Agent + "\r\n";
    Socket()->SendText(request + "\r\n");
}

void THttpCli::ReadConnectReply() {
    // Byte by byte up to the blank line: what follows it is the server's, inside the tunnel.
    static constexpr std::size_t kLimit = 16384;
    // A refusal's body longer than this is not worth reading to keep the connection.
    static constexpr std::int64_t kMaxSkip = 1 << 20;
    if (TunnelSkip > 0) {
        char scratch[4096];
        int n;
        while (TunnelSkip > 0 &&
               (n = Socket()->Receive(scratch, static_cast<int>(std::min<std::int64_t>(
                                                   sizeof scratch, TunnelSkip)))) > 0)
            TunnelSkip -= n;
        if (TunnelSkip == 0) EndConnectRefusal(true);
        return;
    }
    char c;
    while (TunnelReply.size() < kLimit && Socket()->Receive(&c, 1) == 1) {
        TunnelReply += c;
        if (!TunnelReply.ends_with("\r\n\r\n") && !TunnelReply.ends_with("\n\n")) continue;
        const std::size_t eol = TunnelReply.find_first_of("\r\n");
        const std::string statusLine = TunnelReply.substr(0, eol);
        const std::size_t sp = statusLine.find(' ');
        const int status = sp == std::string::npos ? 0 : std::atoi(statusLine.c_str() + sp + 1);
        if (status / 100 == 2) {
            TunnelPending = false;
            TunnelReply.clear();
            Socket()->StartSsl();
            return;
        }
        Resp.StatusCode = status >= 100 && status <= 999 ? status : BadResponseStatus;
        Resp.ReasonPhrase = "Proxy refused CONNECT: " + statusLine;
        FSecureFailure = Resp.ReasonPhrase;
        // The fields that decide what comes next: the challenges, and whether the connection
        // stays for another leg.
        bool keep = statusLine.starts_with("HTTP/1.1 ");
        std::int64_t length = -1;
        for (std::size_t at = eol; at < TunnelReply.size();) {
            std::size_t next = TunnelReply.find('\n', at + 1);
            if (next == std::string::npos) next = TunnelReply.size();
            const std::string line = TrimBlanks(TunnelReply.substr(at, next - at));
            at = next;
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            const std::string name = AsciiLower(line.substr(0, colon));
            const std::string value = TrimBlanks(line.substr(colon + 1));
            if (name == "proxy-authenticate") {
                Resp.AuthChallenges.push_back(value);
            } else if (name == "content-length") {
                if (!ParseDecimal(value, length)) keep = false;
            } else if (name == "transfer-encoding") {
                keep = false;
            } else if (name == "connection" || name == "proxy-connection") {
                if (AsciiLower(value).find("close") != std::string::npos)
                    keep = false;
                else if (AsciiLower(value).find("keep-alive") != std::string::npos)
                    keep = true;
            }
        }
        TunnelReply.clear();
        if (length < 0 || length > kMaxSkip) keep = false;
        TunnelSkip = keep ? length : 0;
        if (TunnelSkip == 0) EndConnectRefusal(keep);
        return;
    }
    if (TunnelReply.size() >= kLimit) {
        TunnelPending = false;
        FailResponse(BadResponseStatus, "Proxy refused CONNECT: reply too long");
        FSecureFailure = Resp.ReasonPhrase;
    }
}

void THttpCli::EndConnectRefusal(bool Keep) {
    TunnelPending = false;
    if (Keep) {
        // The idle step may answer a challenge on this connection.
        PostReady();
        return;
    }
    FailResponse(Resp.StatusCode, Resp.ReasonPhrase);
    FSecureFailure = Resp.ReasonPhrase;
}

std::string THttpCli::DefaultPort(const std::string& Protocol) {
    return Protocol == "https" ? "443" : "80";
}

std::string THttpCli::ProxyConnectPort() const {
    std::string protocol, user, password, host, port, path;
    DecomposeUrl(Proxy, protocol, user, password, host, port, path);
    return port.empty() ? ProxyPort : port;
}

void THttpCli::HandleRelocationClosed(TCustomWSocket*, std::uint16_t) {
    Socket()->OnSessionClosed = [this](TCustomWSocket* s, std::uint16_t e) {
        HandleSessionClosed(s, e);
    };
    FRelocationPending = false;
    LinkUp = false;
    // An abort closed the connection: the request ends there, with the abort's status.
    if (FState == EngineState::Aborting || FState == EngineState::Idle) return;
    std::string protocol, user, password, host, port, path;
    DecomposeUrl(FLocation.substr(0, FLocation.find('#')), protocol, user, password, host, port,
                 path);
    FDocumentName = path;
    DeriveDocName();
    if (FRequestType == httpPOST) FRequestType = httpGET;
    if (OnLocationChange) OnLocationChange(this);
    if (FState == EngineState::Idle) return;  // ended from the event
    TrimReceivedBody();
    RewindSendStream();
    FSentCount = 0;
    NewResponse();
    if (!Proxy.empty()) FConnectPort = ProxyConnectPort();  // back to the proxy
    InCount = 0;
    PostRestart();
}

void THttpCli::PostRestart() {
    RestartPosted = true;
    MessageWindow->Post(RestartMessage);
}
