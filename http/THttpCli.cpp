// HTTP client engine: request side, connection handling and response handling (see THttpCli.h).
#include "http/THttpCli.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <thread>

#include "http/UrlHelpers.h"

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::string Lower(std::string s) {
    for (char& c : s) c = LowerAscii(c);
    return s;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
    }
    return true;
}

// Drops control characters and spaces at both ends.
std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

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
            // A restart queued by a request that has ended since (an abort) must not connect.
            if (FState != EngineState::Idle) BeginConnect();
            break;
        default:
            break;
    }
}

void THttpCli::ChangeState(EngineState NewState) {
    if (NewState == FState) return;
    FState = NewState;
    RaiseStateChange();
    if (NewState == EngineState::Idle) {
        if (TryNtlmStep()) return;
        if (TryBasicStep()) return;
        PostRequestDone();
    }
}

// The authentication exchanges answer 401 and 407 in a later stage of the engine; until then
// every 401 or 407 stands as the final answer.
bool THttpCli::TryNtlmStep() {
    return false;
}
bool THttpCli::TryBasicStep() {
    return false;
}

// ---- starting a request ----

void THttpCli::StartRequest(THttpRequest Type) {
    if (Type != httpCLOSE && FState != EngineState::Idle)
        throw EHttpException("HTTP component " + Name + " is busy", 1);
    if ((Type == httpPOST || Type == httpPUT) && SendStream == nullptr)
        throw EHttpException("HTTP component has nothing to post or put", 2);
    if (Type == httpCLOSE) {
        FStatusCode = 200;
        FReasonPhrase = "OK";
        ChangeState(EngineState::Closing);
        CloseWhenDone();
        return;
    }
    FRequestType = Type;
    RelocationCount = 0;
    ResetResponse();
    InCount = 0;  // whatever a kept connection sent after the last response is not this answer
    PrepareAddresses();
    if (Socket()->State() == wsConnected) {
        if (FConnectHost == LiveHost && FConnectPort == LivePort && FProtocol == LiveProtocol) {
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
    FReceivedHeader.clear();
    AuthChallenges.clear();
    FRequestError = 0;
    FStatusCode = 0;
    FReceivedCount = 0;
    FSentCount = 0;
    FHeaderLinesSeen = 0;
    FBodyBlocksSeen = 0;
    FContentLength = -1;
    FDocumentName.clear();
    FContentType.clear();
    FTransferEncoding.clear();
    SendingBody = false;
    ResponseFailed = false;
    FLocation = URL;
    // HTTP/1.0 expects the server to close; HTTP/1.1 expects the connection to stay.
    FCloseAfterResponse = FRequestVer == "1.0";
}

void THttpCli::PrepareAddresses() {
    std::string protocol, user, password, host, port, path;
    if (!Proxy.empty()) {
        DecomposeUrl(URL, protocol, user, password, host, port, path);
        TargetHost = host;
        TargetPort = !port.empty() ? port : protocol == "https" ? "443" : "80";
        FDocumentName = path;
        if (!user.empty()) Username = user;
        if (!password.empty()) Password = password;
        RequestTarget = (protocol.empty() ? std::string("http") : protocol) + "://" + host +
                        (port.empty() ? std::string() : ":" + port) + path;
        FProtocol = protocol;
        std::string pp, pu, ppw, ph, pn, ppath;
        DecomposeUrl(Proxy, pp, pu, ppw, ph, pn, ppath);
        FConnectHost = ph;
        FConnectPort = pn.empty() ? ProxyPort : pn;
    } else {
        DecomposeUrl(URL, protocol, user, password, host, port, RequestTarget);
        TargetHost = FConnectHost = host;
        TargetPort = FConnectPort = port.empty() ? std::string("80") : port;
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
        FStatusCode = 404;
        FReasonPhrase = e.what();
        LinkUp = false;
        ChangeState(EngineState::Idle);
    }
}

void THttpCli::ConfigureSocket() {
    Socket()->SetAddr(ResolvedAddress);
    Socket()->SetLocalAddr(LocalAddr);
    Socket()->SetPort(FConnectPort);
    Socket()->SetProto("tcp");
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
            FStatusCode = 404;
            FReasonPhrase = "can't resolve hostname to IP address";
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
        FStatusCode = Status;
        FReasonPhrase = Reason;
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
    LiveHost = FConnectHost;
    LivePort = FConnectPort;
    LiveProtocol = FProtocol;
    if (FProtocol != "http") {
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
        FStatusCode = 404;
        FReasonPhrase = ErrorDescription(Error) + " (Error #" + std::to_string(Error) + ")";
        RaiseSessionConnected();
        return;  // the socket's close that follows ends the request
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
    if (!ProxyConnection.empty()) lines.push_back("Proxy-Connection: " + ProxyConnection);
    if (!AcceptLanguage.empty()) lines.push_back("Accept-Language: " + AcceptLanguage);
    if (withBody && !ContentTypePost.empty()) lines.push_back("Content-Type: " + ContentTypePost);
    if (!Agent.empty()) lines.push_back("User-Agent: " + Agent);
    lines.push_back("Host: " + TargetHost +
                    (TargetPort != "80" ? ":" + TargetPort : std::string()));
    if (NoCache) lines.push_back("Pragma: no-cache");
    if (withBody) {
        std::int64_t length = 0;
        if (!NtlmNegotiateGoingOut() && SendStream != nullptr)
            length = SendStream->Size() - SendStream->Position();
        lines.push_back("Content-Length: " + std::to_string(length));
    }
    if (ModifiedSince != 0)
        lines.push_back("If-Modified-Since: " + FormatHttpDate(ModifiedSince) + " GMT");
    if (BasicForServer && AuthBasicState == 1)
        lines.push_back("Authorization: Basic " + EncodeBase64(Username + ":" + Password));
    else if (!BasicForServer && ProxyAuthBasicState == 1)
        lines.push_back("Proxy-Authorization: Basic " +
                        EncodeBase64(ProxyUsername + ":" + ProxyPassword));
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
        FStatusCode = RefusedRequestStatus;
        FReasonPhrase = "Request not sent: " + UnsafeLine + " holds a CR, LF or NUL character";
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
    while (FState != EngineState::Idle) {
        if (FMultiThreaded) {
            Socket()->PumpMessages();
            std::this_thread::yield();
        } else {
            loop.WaitOne(1000);
            if (loop.Terminated()) {
                Abort();
                break;
            }
        }
    }
    if (FStatusCode >= 400 && FStatusCode != 401 && FStatusCode != 407)
        throw EHttpException(FReasonPhrase, FStatusCode);
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
        FStatusCode = 404;
        FReasonPhrase = "Connection aborted on request";
        FRequestError = 3;
        if (wasResolving)
            HandleSessionClosed(Socket(), 0);
        else
            Socket()->Close();
        ChangeState(EngineState::Idle);
        return;
    }
    FState = EngineState::Aborting;
    if (Socket()->State() != wsClosed) Socket()->Abort();
    FStatusCode = 200;
    FReasonPhrase = "OK";
    FRequestError = 0;
    FState = EngineState::Idle;
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
    int n;
    if (InCount < InBufferLimit) {
        n = Socket()->Receive(InBuffer + InCount, InBufferLimit - InCount);
    } else {
        // A line longer than the buffer: keep reading until its end, which overwrites the tail
        // of the held line so that the following lines stay intact.
        char scratch[25];
        int got = Socket()->Receive(scratch, sizeof scratch);
        if (got <= 0) return;
        const char* lf = static_cast<const char*>(std::memchr(scratch, '\n', got));
        if (lf == nullptr) return;
        int k = got - static_cast<int>(lf - scratch);
        std::memcpy(InBuffer + InCount + 1 - k, lf, k);
        n = 1;
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
    DeliverHeldBody(FContentLength >= 0 ? FContentLength - FReceivedCount : -1);
    if (ResponseFailed || FState == EngineState::Idle) return;
    if (NextStep != nullptr)
        (this->*NextStep)();
    else
        FinishResponse();
}

void THttpCli::DeliverHeldBody(std::int64_t Limit) {
    PendingData = InBuffer;
    PendingLength = InCount;
    if (Limit >= 0 && Limit < PendingLength) PendingLength = Limit;
    std::int64_t taken = PendingLength;
    HandleBodyData();
    PendingLength = 0;
    // Handlers may have emptied the buffer meanwhile (a failed response, an abort).
    if (taken > InCount) taken = InCount;
    InCount -= static_cast<int>(taken);
    std::memmove(InBuffer, InBuffer + taken, InCount);
    InBuffer[InCount] = '\0';
}

void THttpCli::HandleHeaderLine() {
    if (FHeaderLinesSeen == 0) {
        RaiseHeaderBegin();
        if (FState == EngineState::Idle) {  // ended from the event
            InCount = 0;
            return;
        }
    } else if (FHeaderLinesSeen == -1) {
        FHeaderLinesSeen = 0;
    }
    ++FHeaderLinesSeen;
    const std::string line = FCurrentLine;

    if (FHeaderLinesSeen == 1 && StartsWithNoCase(line, "<html>")) {
        // No header at all: the server sent the document straight away.
        if (FContentType.empty()) FContentType = "text/html";
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
    FReceivedHeader.push_back(line);
    if (FHeaderLinesSeen == 1)
        ReadStatusLine(line);
    else
        ParseHeaderField(line);
    if (ResponseFailed) return;
    if (OnHeaderData) OnHeaderData(this);
}

void THttpCli::ReadStatusLine(const std::string& Line) {
    if (Line.compare(0, 8, "HTTP/1.0") != 0 && Line.compare(0, 8, "HTTP/1.1") != 0) {
        if (OnDataPush2) OnDataPush2(this);
        return;
    }
    FResponseVersion = Line.substr(5, 3);
    std::int64_t code = 0;
    if (!ParseDecimal(Trim(Line.size() > 9 ? Line.substr(9, 3) : std::string()), code)) {
        FailResponse(BadResponseStatus, "Bad status line from server");
        return;
    }
    FStatusCode = static_cast<int>(code);
    FReasonPhrase = Line.size() > 13 ? Line.substr(13) : std::string();
}

void THttpCli::ParseHeaderField(const std::string& Line) {
    std::size_t colon = Line.find(':');
    if (colon == std::string::npos) return;
    const std::string name = Lower(Line.substr(0, colon));
    std::size_t start = colon + 1;
    while (start + 1 < Line.size() && Line[start] == ' ') ++start;
    const std::string value = Line.substr(std::min(start, Line.size()));

    if (name == "location") {
        ApplyLocation(value);
    } else if (name == "content-length") {
        std::int64_t length = 0;
        FContentLength = ParseDecimal(Trim(value), length) ? length : -1;
    } else if (name == "transfer-encoding") {
        FTransferEncoding = value;
    } else if (name == "content-range") {
        // 'bytes 100-199/1000'
        std::size_t dash = value.find('-');
        std::size_t slash = value.find('/');
        ContentRangeBegin = dash != std::string::npos && dash > 6 ? value.substr(6, dash - 6) : "";
        ContentRangeEnd = dash != std::string::npos && slash != std::string::npos && slash > dash
                              ? value.substr(dash + 1, slash - dash - 1)
                              : "";
    } else if (name == "accept-ranges") {
        FAcceptRanges = value;
    } else if (name == "content-type") {
        FContentType = Lower(value);
    } else if (name == "www-authenticate" || name == "proxy-authenticate") {
        AuthChallenges.push_back(value);
    } else if (name == "set-cookie") {
        bool accept = true;
        RaiseCookie(value, accept);
    } else if (name == "connection" || name == "proxy-connection") {
        const std::string v = Lower(Trim(value));
        if (v == "close")
            FCloseAfterResponse = true;
        else if (v == "keep-alive")
            FCloseAfterResponse = false;
    }
}

void THttpCli::HandleHeaderEnd() {
    if (FResponseVersion == "1.1" && FStatusCode == 100) {
        // Interim answer: the real header follows.
        FReceivedHeader.clear();
        FHeaderLinesSeen = -1;
        return;
    }
    RaiseHeaderEnd();
    if (FState == EngineState::Idle) {
        InCount = 0;
        return;
    }
    ContinueAfterHeader(FContentLength);
}

void THttpCli::ContinueAfterHeader(std::int64_t Length) {
    const bool noBody =
        FRequestType == httpHEAD || Length == 0 ||
        (Length == -1 && (FStatusCode < 200 || FStatusCode == 204 || FStatusCode == 301 ||
                          FStatusCode == 302 || FStatusCode == 304));
    if (noBody) {
        if (FRelocationPending) {
            FollowOnSameConnection();
        } else if (FCloseAfterResponse) {
            if (FRequestType == httpHEAD) {
                InCount = 0;
                ChangeState(EngineState::ReceivingBody);
                NextStep = nullptr;
            }
            CloseWhenDone();
        } else {
            PostReady();
        }
        return;
    }
    const std::string ext = Lower(ExtensionOf(FDocumentName));
    if ((ext == ".exe" || ext.empty()) && FContentType == "text/html")
        SetDocExtension(FDocumentName, "htm");
    ChangeState(EngineState::ReceivingBody);
    if (FState != EngineState::ReceivingBody) {
        InCount = 0;
        return;
    }
    NextStep = &THttpCli::HandleBodyData;
    if (InCount > 0) {
        DeliverHeldBody(Length >= 0 ? Length - FReceivedCount : -1);
        if (ResponseFailed || FState == EngineState::Idle) return;
    }
    if (NextStep == nullptr) FinishResponse();
}

void THttpCli::ApplyLocation(const std::string& Value, bool HttpsIsAbsolute) {
    if (FRequestType == httpPUT) {
        FLocation = Value;
        return;
    }
    if (!FollowRelocation) return;
    if (RelocationCount >= MaxRelocations) return;  // a relocation loop ends with this answer
    ++RelocationCount;
    FRelocationPending = true;
    const bool absolute = StartsWithNoCase(Value, "http://") ||
                          (HttpsIsAbsolute && StartsWithNoCase(Value, "https://"));
    std::string protocol, user, password, host, port, path;
    auto takeCredentials = [&] {
        if (!user.empty() && !password.empty()) {
            Username = user;
            Password = password;
        }
    };
    if (Proxy.empty()) {
        if (!Value.empty() && Value[0] == '/') {
            RequestTarget = Value;
            FLocation = "http://" + FConnectHost + Value;
        } else if (!absolute) {
            RequestTarget = UrlBaseOf(RequestTarget) + Value;
            FLocation = "http://" + FConnectHost + RequestTarget;
        } else {
            DecomposeUrl(Value, protocol, user, password, host, port, path);
            if (!host.empty()) FConnectHost = host;
            RequestTarget = path;
            FConnectPort = port.empty() ? std::string("80") : port;
            TargetPort = FConnectPort;
            FProtocol = protocol;
            takeCredentials();
            TargetHost = FConnectHost;
            if (RequestTarget.empty()) {
                RequestTarget = "/";
                FLocation = protocol + "://" + FConnectHost;
            } else {
                FLocation = protocol + "://" + FConnectHost + RequestTarget;
            }
        }
        return;
    }
    // Through a proxy the request line carries the absolute URL. Location never names a port,
    // but the proxy must still be told which one, so the request target keeps it.
    if (!Value.empty() && Value[0] == '/') {
        DecomposeUrl(RequestTarget, protocol, user, password, host, port, path);
        const std::string scheme = protocol.empty() ? std::string("http") : protocol;
        FLocation = scheme + "://" + host + Value;
        RequestTarget = scheme + "://" + host + (port.empty() ? "" : ":" + port) + Value;
        takeCredentials();
    } else if (!absolute) {
        RequestTarget = UrlBaseOf(RequestTarget) + Value;
        FLocation = RequestTarget;
    } else {
        DecomposeUrl(Value, protocol, user, password, host, port, path);
        FConnectPort = port.empty() ? std::string("80") : port;
        TargetPort = FConnectPort;
        takeCredentials();
        if (!host.empty()) TargetHost = host;
        FLocation = protocol + "://" + TargetHost + path;
        RequestTarget = protocol + "://" + TargetHost + (port.empty() ? "" : ":" + port) + path;
    }
}

void THttpCli::HandleBodyData() {
    if (FBodyBlocksSeen == 0) {
        ChunkSize = 0;
        ChunkTaken = 0;
        ChunkPhase = 0;
        RaiseDocBegin();
        if (FState != EngineState::ReceivingBody) return;
    }
    ++FBodyBlocksSeen;
    if (FTransferEncoding == "chunked") {
        DecodeChunked();
        return;
    }
    if (PendingLength > 0) {
        FReceivedCount += PendingLength;
        if (ReceiveStream != nullptr) ReceiveStream->Write(PendingData, PendingLength);
        RaiseDocData(PendingData, static_cast<int>(PendingLength));
        if (FState != EngineState::ReceivingBody) return;
        if (FReceivedCount == FContentLength) EndBody();
    }
}

void THttpCli::DecodeChunked() {
    const char* p = PendingData;
    std::int64_t left = PendingLength;
    while (left > 0 && ChunkPhase != 4) {
        switch (ChunkPhase) {
            case 0:  // size digits
                if (!IsHexChar(*p)) {
                    ChunkPhase = 1;
                    break;
                }
                if (ChunkSize > (std::numeric_limits<std::int64_t>::max() >> 4)) {
                    FailResponse(BadResponseStatus, "Chunk size too big");
                    return;
                }
                ChunkSize = ChunkSize * 16 + HexCharValue(*p);
                ++p;
                --left;
                break;
            case 1:  // extension and line end
                if (*p == '\n') ChunkPhase = 2;
                ++p;
                --left;
                break;
            case 2: {  // data
                std::int64_t k = std::min(left, ChunkSize - ChunkTaken);
                if (k > 0) {
                    FReceivedCount += k;
                    ChunkTaken += k;
                    if (ReceiveStream != nullptr) ReceiveStream->Write(p, k);
                    RaiseDocData(p, static_cast<int>(k));
                    if (FState != EngineState::ReceivingBody) return;
                    p += k;
                    left -= k;
                }
                if (ChunkTaken >= ChunkSize) ChunkPhase = 3;
                break;
            }
            case 3:  // line end after the data
                if (*p == '\n') {
                    ChunkPhase = ChunkSize == 0 ? 4 : 0;
                    ChunkSize = 0;
                    ChunkTaken = 0;
                }
                ++p;
                --left;
                break;
            default:
                break;
        }
    }
    if (ChunkPhase == 4) EndBody();
}

void THttpCli::EndBody() {
    FBodyBlocksSeen = 0;
    NextStep = nullptr;
    ChangeState(EngineState::BodyComplete);
    if (FState != EngineState::BodyComplete) return;
    StopQuotaTimer();
    RaiseDocEnd();
    if (FCloseAfterResponse) CloseWhenDone();
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
    if (ResponseFailed || FState == EngineState::Idle) return;
    if (FRelocationPending)
        FollowOnSameConnection();
    else if (!FCloseAfterResponse)
        PostReady();
    // Otherwise the body's end asked for the close, whose handling ends the request.
}

void THttpCli::FailResponse(int Status, const std::string& Reason) {
    FStatusCode = Status;
    FReasonPhrase = Reason;
    ResponseFailed = true;
    FRelocationPending = false;
    NextStep = nullptr;
    InCount = 0;
    InBuffer[0] = '\0';
    if (Socket()->State() != wsClosed)
        Socket()->Abort();  // its close ends the request
    else if (FState != EngineState::Idle)
        PostReady();
}

void THttpCli::HandleSessionClosed(TCustomWSocket* Sock, std::uint16_t Error) {
    if (Error != 0) FRequestError = Error;
    LinkUp = false;
    InCount = 0;  // bytes of a closed connection never belong to the next one
    if (HeaderOpen) {
        if (FRelocationPending) {
            RaiseHeaderEnd();
            HandleRelocationClosed(Sock, Error);
            return;
        }
        // The response was cut off inside its header: it still ends, as a failure.
        if (!ResponseFailed && FState != EngineState::Aborting) {
            FStatusCode = BadResponseStatus;
            FReasonPhrase = "Connection closed before the response header ended";
        }
        RaiseHeaderEnd();
    }
    if (FBodyBlocksSeen > 0) {
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
    if (ReceiveStream != nullptr && FReceivedCount > 0) {
        std::int64_t size = ReceiveStream->Size() - FReceivedCount;
        ReceiveStream->SetSize(size < 0 ? 0 : size);
        ReceiveStream->Seek(0, soEnd);
    }
}

void THttpCli::RewindSendStream() {
    if (SendStream != nullptr && FSentCount > 0) SendStream->Seek(-FSentCount, soCurrent);
}

void THttpCli::FollowOnSameConnection() {
    TrimReceivedBody();
    RewindSendStream();
    FReceivedCount = 0;
    FSentCount = 0;
    InCount = 0;
    FHeaderLinesSeen = 0;
    FBodyBlocksSeen = 0;
    if (FConnectHost != LiveHost || FConnectPort != LivePort || FProtocol != LiveProtocol ||
        FCloseAfterResponse) {
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
    const std::string location = FLocation;
    ResetResponse();
    FLocation = location;
    FDocumentName = RequestTarget;
    DeriveDocName();
    if (FRequestType == httpPOST) FRequestType = httpGET;
    MessageWindow->Post(RestartMessage);
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

std::string THttpCli::ProxyConnectPort() const {
    std::string protocol, user, password, host, port, path;
    DecomposeUrl(Proxy, protocol, user, password, host, port, path);
    return port.empty() ? ProxyPort : port;
}

void THttpCli::HandleRelocationClosed(TCustomWSocket*, std::uint16_t) {
    Socket()->OnSessionClosed = [this](TCustomWSocket* s, std::uint16_t e) {
        HandleSessionClosed(s, e);
    };
    // An abort closed the connection: the request ends there, with the abort's status.
    if (FState == EngineState::Aborting) {
        FRelocationPending = false;
        return;
    }
    std::string protocol, user, password, host, port, path;
    DecomposeUrl(FLocation.substr(0, FLocation.find('#')), protocol, user, password, host, port,
                 path);
    FDocumentName = path;
    DeriveDocName();
    LinkUp = false;
    FRelocationPending = false;
    if (FRequestType == httpPOST) FRequestType = httpGET;
    if (OnLocationChange) OnLocationChange(this);
    if (FState == EngineState::Idle) return;  // ended from the event
    FReceivedHeader.clear();
    FHeaderLinesSeen = 0;
    FBodyBlocksSeen = 0;
    FStatusCode = 0;
    FContentLength = -1;
    FContentType.clear();
    FTransferEncoding.clear();
    if (!Proxy.empty()) FConnectPort = ProxyConnectPort();  // back to the proxy
    TrimReceivedBody();
    RewindSendStream();
    FReceivedCount = 0;
    FSentCount = 0;
    InCount = 0;
    FCloseAfterResponse = FRequestVer == "1.0";
    MessageWindow->Post(RestartMessage);
}
