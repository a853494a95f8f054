// Asynchronous HTTP/1.0 and HTTP/1.1 client engine: one request at a time over one owned
// TWSocket, reported through events. Created, driven and destroyed on one thread, whose event
// loop delivers the socket's notices and the engine's three queued notifications. The owner
// keeps ReceiveStream and SendStream alive while a request runs; the engine never frees them.
// The one class is defined by concern: THttpCli.cpp (state, lifecycle, connection),
// THttpCliRequest.cpp, THttpCliResponse.cpp, THttpCliRelocation.cpp, THttpTunnel.cpp (the
// engine's side of CONNECT) and THttpAuth.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "http/Ntlm.h"
#include "http/THttpResponse.h"
#include "http/THttpTunnel.h"
#include "http/TStream.h"
#include "net/TWSocket.h"
#include "platform/EventLoop.h"

enum THttpRequest { httpABORT, httpGET, httpPOST, httpPUT, httpHEAD, httpCLOSE };

enum THttpCliOption { httpoNoBasicAuth, httpoNoNTLMAuth, httpoBandwidthControl };

// A set of THttpCliOption (bits 0, 1, 2).
class THttpCliOptions {
public:
    constexpr THttpCliOptions() = default;
    constexpr THttpCliOptions(std::initializer_list<THttpCliOption> Options) {
        for (THttpCliOption o : Options) Bits |= 1u << o;
    }
    constexpr bool Has(THttpCliOption o) const { return (Bits & (1u << o)) != 0; }
    constexpr bool operator==(const THttpCliOptions&) const = default;

private:
    unsigned Bits = 0;
};

// Value 8 is reserved and never entered.
enum class EngineState {
    Idle = 0,
    Starting = 1,
    Connected = 2,
    Resolving = 3,
    Resolved = 4,
    AwaitingHeader = 5,
    ReceivingBody = 6,
    BodyComplete = 7,
    Closing = 9,
    Aborting = 10,
};

// Phases of the NTLM exchange with one party; the numbers are the ones the engine has always
// counted by (2 is never entered).
enum TNtlmPhase : int {
    ntlmNone = 0,
    ntlmNegotiate = 1,     // the negotiate message goes with the next request
    ntlmAuthenticate = 3,  // the authenticate message goes with the next request
    ntlmDone = 4,          // accepted; forgotten when a new connection is looked up
};

// Phases of the Basic exchange with one party.
enum TBasicPhase : int {
    basicNone = 0,
    basicCredentials = 1,  // the credentials go with the next request
    basicDone = 2,         // accepted; forgotten when a new connection is looked up
};

// Misuse of the engine (codes 1 busy, 2 nothing to post, 5 version, 6 authentication state),
// and the final status of a failed RunRequest.
class EHttpException : public std::runtime_error {
public:
    EHttpException(const std::string& Msg, int Code)
        : std::runtime_error(Msg), HttpErrorCode(Code) {}
    int HttpErrorCode;
};

// The engine's notifications to itself; the first three user message numbers.
constexpr unsigned RequestDoneMessage = WM_USER + 1;
constexpr unsigned ReadyMessage = WM_USER + 2;
constexpr unsigned RestartMessage = WM_USER + 3;

class THttpCli {
public:
    using TNotifyEvent = std::function<void(THttpCli* Sender)>;
    using TOnCommand = std::function<void(THttpCli* Sender, std::string& S)>;
    using TDocDataEvent = std::function<void(THttpCli* Sender, const char* Buffer, int Len)>;
    using TCookieRcvdEvent =
        std::function<void(THttpCli* Sender, const std::string& Data, bool& Accept)>;
    using THttpRequestDone =
        std::function<void(THttpCli* Sender, THttpRequest RqType, std::uint16_t ErrCode)>;
    using TBeforeHeaderSendEvent = std::function<void(THttpCli* Sender, const std::string& Method,
                                                      std::vector<std::string>& Headers)>;
    using TErrCodeEvent = std::function<void(THttpCli* Sender, std::uint16_t ErrCode)>;
    using TSocksErrorEvent =
        std::function<void(THttpCli* Sender, std::int32_t Error, const std::string& Msg)>;

    // The header and the body bytes that came with it live in one fixed buffer: at most 8190
    // data bytes plus a zero byte.
    static constexpr int InBufferSize = 8193;
    static constexpr int InBufferLimit = 8190;
    // The rest of a body is read in blocks of up to this size and handed on where it was read:
    // a fast download then costs few reads, few deliveries and large writes.
    static constexpr int BodyBlockSize = 1 << 20;
    // Size of one block of a POST or PUT body.
    static constexpr int OutBlockSize = 8193;
    // Relocations followed in a row before the engine stops following (a loop would never end).
    static constexpr int MaxRelocations = 50;
    // Authentication steps taken for one response chain before the answer is left to stand.
    static constexpr int MaxAuthSteps = 6;
    // Status and reasons of the engine's own refusals of bad input.
    static constexpr int RefusedRequestStatus = 400;
    static constexpr int BadResponseStatus = 502;

    THttpCli();
    virtual ~THttpCli();
    THttpCli(const THttpCli&) = delete;
    THttpCli& operator=(const THttpCli&) = delete;

    // Published properties.
    std::string Name;
    std::string URL;
    std::string LocalAddr = "0.0.0.0";
    std::string Proxy;
    std::string ProxyPort = "80";
    std::string Sender;
    std::string Agent = "Mozilla/4.0 (compatible; Orvo)";
    std::string Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    std::string AcceptLanguage;
    std::string Reference;
    std::string Connection;
    std::string ProxyConnection;
    std::string Username, Password;
    std::string ProxyUsername, ProxyPassword;
    // The SOCKS server the socket goes through, copied to it before every connect; an empty
    // SocksServer connects directly. The empty default level is refused by the socket (through
    // OnSocketError), which then keeps its own, "5".
    std::string SocksServer, SocksLevel, SocksPort, SocksUsercode, SocksPassword;
    TSocksAuthentication SocksAuthentication = socksNoAuthentication;
    bool NoCache = false;
    double ModifiedSince = 0;  // days since 1899-12-30, time of day as the fraction
    std::string Cookie;
    std::string ContentTypePost = "application/x-www-form-urlencoded";
    std::string ContentRangeBegin, ContentRangeEnd;
    bool FollowRelocation = true;
    std::int32_t BandwidthLimit = 100000;
    std::int32_t BandwidthSampling = 1000;
    THttpCliOptions Options;
    TStream* ReceiveStream = nullptr;
    TStream* SendStream = nullptr;

    const std::string& RequestVer() const { return FRequestVer; }
    void SetRequestVer(const std::string& Value);
    bool MultiThreaded() const { return FMultiThreaded; }
    virtual void SetMultiThreaded(bool Value);
    const std::string& AcceptRanges() const { return FAcceptRanges; }

    // Events; an unset event is skipped.
    TNotifyEvent OnTrace;
    TNotifyEvent OnSessionConnected;
    TNotifyEvent OnSessionClosed;
    TNotifyEvent OnHeaderData;
    TOnCommand OnCommand;
    TNotifyEvent OnHeaderBegin;
    TNotifyEvent OnHeaderEnd;
    TNotifyEvent OnRequestHeaderBegin;
    TNotifyEvent OnRequestHeaderEnd;
    TNotifyEvent OnDocBegin;
    TDocDataEvent OnDocData;
    TNotifyEvent OnDocEnd;
    TNotifyEvent OnSendBegin;
    TDocDataEvent OnSendData;
    TNotifyEvent OnSendEnd;
    TNotifyEvent OnStateChange;
    THttpRequestDone OnRequestDone;
    TNotifyEvent OnLocationChange;
    TCookieRcvdEvent OnCookie;
    TErrCodeEvent OnDataPush;
    TNotifyEvent OnDataPush2;
    TErrCodeEvent OnSocksConnected;
    TNotifyEvent OnSocksAuthState;
    TSocksErrorEvent OnSocksError;
    TNotifyEvent OnSocketError;
    TBeforeHeaderSendEvent OnBeforeHeaderSend;

    // Begins a request and returns; OnRequestDone reports its end.
    virtual void StartRequest(THttpRequest Type);
    // Begins a request and waits for its end, raising for a final status of 400 or more
    // (401 and 407 excepted).
    virtual void RunRequest(THttpRequest Type);
    // Ends the running request at once; when idle, reports an empty request as done.
    void Abort();

    // Run-time state the owner reads.
    // The owned socket, made on first use.
    TWSocket* Socket();
    EngineState State() const { return FState; }
    THttpRequest RequestType() const { return FRequestType; }
    int StatusCode() const { return Resp.StatusCode; }
    const std::string& ReasonPhrase() const { return Resp.ReasonPhrase; }
    // The reason phrase when the request failed in the TLS handshake or at the proxy's
    // CONNECT; empty for every other outcome.
    const std::string& SecureFailure() const { return FSecureFailure; }
    const std::string& ResponseVersion() const { return Resp.ResponseVersion; }
    std::uint16_t RequestError() const { return FRequestError; }
    const std::vector<std::string>& ReceivedHeader() const { return Resp.ReceivedHeader; }
    // -1 when the response announced no length.
    std::int64_t ContentLength() const { return Resp.ContentLength; }
    const std::string& ContentType() const { return Resp.ContentType; }
    std::int64_t InstanceLength() const { return Resp.InstanceLength; }
    const std::string& TransferEncoding() const { return Resp.TransferEncoding; }
    TBodyFraming BodyFraming() const { return Resp.Framing; }
    const std::string& Location() const { return FLocation; }
    const std::string& DocumentName() const { return FDocumentName; }
    std::int64_t ReceivedCount() const { return Resp.ReceivedCount; }
    std::int64_t SentCount() const { return FSentCount; }
    int HeaderLinesSeen() const { return Resp.HeaderLinesSeen; }
    int BodyBlocksSeen() const { return Resp.BodyBlocksSeen; }
    const std::string& CurrentLine() const { return FCurrentLine; }
    const std::string& ConnectHost() const { return FConnectHost; }
    const std::string& ConnectPort() const { return FConnectPort; }
    const std::string& Protocol() const { return FProtocol; }
    bool RelocationPending() const { return FRelocationPending; }
    bool CloseAfterResponse() const { return Resp.CloseAfterResponse; }
    // The last relocation was not followed because too many came in a row.
    bool RelocationLimitReached() const { return Resp.RelocationLimitReached; }

protected:
    using TStep = void (THttpCli::*)();

    virtual std::unique_ptr<TWSocket> MakeSocket();
    virtual void ConfigureSocket();
    // SOCKS 4A and 5 take the host name itself: no lookup on this machine.
    bool SocksResolvesNames() const;
    virtual void WriteRequest(const std::string& Method, const std::string& Version);
    virtual void HandleHeaderLine();
    // Reads one unfolded header field line (not the status line) into the response record, and
    // hands the fields that concern the engine itself (cookies, ranges) to it.
    virtual void ParseHeaderField(const std::string& Line);
    virtual void HandleBodyData();
    virtual void EmitRequestLine(const std::string& Line);
    virtual void BeginConnect();
    virtual void DropConnection();
    virtual void ResetResponse();
    virtual void FollowOnSameConnection();
    virtual void StepServerNtlm();
    virtual void StepProxyNtlm();
    virtual void StepServerBasic();
    virtual void StepProxyBasic();
    virtual void HandleDnsLookupDone(TCustomWSocket* Sock, std::uint16_t Error);
    virtual void HandleSessionClosed(TCustomWSocket* Sock, std::uint16_t Error);
    virtual void HandleSessionConnected(TCustomWSocket* Sock, std::uint16_t Error);
    virtual void HandleDataSent(TCustomWSocket* Sock, std::uint16_t Error);
    virtual void HandleDataAvailable(TCustomWSocket* Sock, std::uint16_t Error);
    virtual void HandleRelocationClosed(TCustomWSocket* Sock, std::uint16_t Error);
    // Asked once a relocation's old connection is down: a subclass that fetches nothing at the
    // new target names the status and reason the request ends with instead of following it.
    struct TRelocationRefusal {
        int Status;
        std::string Reason;
    };
    virtual std::optional<TRelocationRefusal> RefuseRelocation() const { return std::nullopt; }
    virtual void ChangeState(EngineState NewState);
    virtual void RaiseStateChange();
    virtual void RaiseCookie(const std::string& Data, bool& Accept);
    virtual void RaiseSessionConnected();
    virtual void RaiseSessionClosed();
    virtual void RaiseBeforeHeaderSend(const std::string& Method,
                                       std::vector<std::string>& Headers);
    virtual void RaiseRequestHeaderBegin();
    virtual void RaiseRequestHeaderEnd();
    virtual void RaiseHeaderBegin();
    virtual void RaiseHeaderEnd();
    virtual void RaiseDocBegin();
    virtual void RaiseDocData(const char* Buffer, int Len);
    virtual void RaiseDocEnd();
    virtual void RaiseSendBegin();
    virtual void RaiseSendData(const char* Buffer, int Len);
    virtual void RaiseSendEnd();
    virtual void PostRequestDone();
    virtual void HandleEngineMessage(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam);
    virtual void PostReady();
    virtual void DeriveDocName();
    virtual void AllocateMessageWindow();
    virtual void ReleaseMessageWindow();

    // Helpers shared with subclasses.
    // Starts a new response record: every field of the previous response is gone.
    void NewResponse();
    // Stops reading a response the engine cannot make sense of: the request ends with Status
    // and Reason once the connection is down.
    void FailResponse(int Status, const std::string& Reason);
    // Queues RestartMessage: the request goes out again from BeginConnect, also from Idle after
    // an authentication step, unless the request ends first.
    void PostRestart();
    // A request runs until it has ended in Idle without an authentication step pending.
    bool RequestRunning() const { return FState != EngineState::Idle || RestartPosted; }
    void TrimReceivedBody();
    void RewindSendStream();
    // The idle step: an authentication exchange may take the request out again instead of
    // ending it (true when it did).
    virtual bool TryNtlmStep();
    virtual bool TryBasicStep();
    void BandwidthTick();
    // Points the socket's OnError at the OnSocketError forwarder.
    void ForwardSocketErrors();
    // Closes the socket now without the close being reported back to the engine.
    void CloseSocketQuietly();
    // The proxy's port: the one its address names, else ProxyPort.
    std::string ProxyConnectPort() const;
    static std::string DefaultPort(const std::string& Protocol);
    // https through an HTTP proxy: a CONNECT tunnel to the server, TLS inside it, and requests
    // in the server's own form.
    bool Tunnelled() const { return FProtocol == "https" && !Proxy.empty(); }
    std::string ConnectionKey() const;
    void SendConnect();
    // Reads the proxy's answer to CONNECT: on 2xx TLS starts in the tunnel; a refusal ends the
    // leg with the proxy's status and challenges, on a connection kept when its body is framed.
    void ReadConnectReply();

    std::unique_ptr<TWSocket> FSocket;
    THttpTunnel Tunnel;
    std::string FSecureFailure;
    std::unique_ptr<TMessageTarget> MessageWindow;
    EngineState FState = EngineState::Idle;
    THttpRequest FRequestType = httpGET;
    // The response being read (or the last one read).
    THttpResponse Resp;
    std::uint16_t FRequestError = 0;
    std::string FLocation;
    std::string FDocumentName;
    std::int64_t FSentCount = 0;
    std::string FCurrentLine;
    std::string FConnectHost, FConnectPort;
    std::string TargetHost, TargetPort;
    std::string FProtocol;
    // What the open connection leads to (ConnectionKey when it was made).
    std::string LiveKey;
    bool LinkUp = false;
    std::string ResolvedAddress;
    std::string RequestTarget;
    bool FRelocationPending = false;
    int RelocationCount = 0;
    // RestartMessage is queued and not yet handled.
    bool RestartPosted = false;
    bool HeaderOpen = false;
    bool SendingBody = false;
    TStep NextStep = nullptr;
    const char* PendingData = nullptr;
    std::int64_t PendingLength = 0;
    char InBuffer[InBufferSize] = {};
    int InCount = 0;
    std::unique_ptr<char[]> BodyBlock;  // made for the first body read that is not held
    char OutBlock[OutBlockSize] = {};
    std::string RequestBytes;
    TNtlmPhase AuthNTLMState = ntlmNone, ProxyAuthNTLMState = ntlmNone;
    TBasicPhase AuthBasicState = basicNone, ProxyAuthBasicState = basicNone;
    bool NtlmForServer = false, BasicForServer = false;
    TNTLM_Msg2_Info ServerNtlmInfo, ProxyNtlmInfo;
    // "scheme://host:port" that the server credentials belong to.
    std::string CredentialsFor;
    int AuthSteps = 0;
    int AuthStepsRelocation = 0;
    std::uint64_t WindowBytes = 0, WindowQuota = 0;
    bool Throttled = false;
    TEventLoop::TTimerId QuotaTimer = 0;
    std::string FRequestVer = "1.0";
    bool FMultiThreaded = false;
    std::string FAcceptRanges;
    // Names the first request line that held CR, LF or NUL; empty when all were clean.
    std::string UnsafeLine;

private:
    void PrepareAddresses();
    // Resolves a "Location" value against the current target (RFC 3986) and makes the result
    // the next target; false when the value names none.
    bool ApplyLocation(const std::string& Value);
    // Hands the held bytes over as body bytes, bounded by Limit (negative: no bound), then
    // removes the bytes the body took from the buffer.
    void DeliverHeldBody(std::int64_t Limit);
    // The response is complete: follow a pending relocation, else wait for the close the
    // response asked for, else return to Idle.
    void FinishResponse();
    void EndBody();
    // Reads the first line of a response: version, status and reason, or OnDataPush2 when it is
    // not a status line; an unreadable "HTTP/" line fails the response.
    void ReadStatusLine(const std::string& Line);
    // Reads the held field line, now that no further continuation can fold into it.
    void ReadHeldField();
    void HandleHeaderEnd();
    // After OnHeaderEnd: no body, or the body with the bytes already held.
    void ContinueAfterHeader();
    void DecodeChunked();
    void BodyFromBuffer();
    // Reads the next body bytes into BodyBlock and delivers them from there; bytes beyond the
    // body are held as ever.
    void ReceiveBodyBlock();
    // Counts received bytes against the bandwidth window; over its quota the socket pauses.
    void CountWindowBytes(int Count);
    // Adds Count bytes to the response header's size; past the bound the response fails and
    // false comes back.
    bool CountHeaderBytes(std::int64_t Count);
    // The connection closed while a body was being read: a body known to be short fails.
    void CheckBodyAtClose(std::uint16_t Error);
    void StopQuotaTimer();
    void CloseWhenDone();
    bool NtlmNegotiateGoingOut() const;

    // Authentication (THttpAuth.cpp).
    std::string TargetKey() const;
    // A new request: its target owns the server credentials, and no step has been taken yet.
    void StartAuthenticationRound();
    // A new connection is looked up: finished exchanges do not carry over to it.
    void ForgetFinishedAuthentication();
    // Every authentication phase changes here, traced.
    template <class TPhase>
    void SetAuthPhase(TPhase& Phase, TPhase Value);
    const char* AuthPartyName(const void* Phase) const;
    bool ServerCredentialsApply() const;
    bool ProxyCredentialsApply() const;
    const std::string* LastChallenge(const char* Scheme) const;
    // After an answer: a sent exchange is accepted unless its party refused, and an accepted one
    // is forgotten when that party asks again.
    template <class TPhase>
    void SettleExchange(TPhase& Server, TPhase& Proxy, TPhase Answered, TPhase Accepted);
    // Starts the step of the party that asked with Scheme, when its credentials may go there.
    bool AnswerChallenge(const char* Scheme, TStep ServerStep, TStep ProxyStep);
    bool TakeAuthStep(TStep Step);
    void ClearForAuthRestart();
    // The request goes out again with the exchange moved on to Next.
    template <class TPhase>
    void RestartExchange(TPhase& State, TPhase Next);
    // The party refused the credentials: its answer ends the request.
    template <class TPhase>
    void RefuseExchange(TPhase& State);
    void StepNtlm(bool ForServer);
    void StepBasic(bool ForServer);
    std::string NtlmAuthenticateText() const;
    std::string AuthorizationLine() const;
    std::string ProxyAuthorizationLine() const;
    // A refusal of CONNECT has been read whole; Keep: the proxy keeps the connection.
    void EndConnectRefusal(bool Keep);
    // The connection closed: a reply still being read ends the leg as a refusal.
    void TunnelClosed();
    static bool RequestLineIsSafe(const std::string& Line);
    static const char* StateName(EngineState State);
};
