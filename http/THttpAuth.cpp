// THttpCli's answers to 401 and 407: the four exchange machines run from the idle step, and
// the one authorization line a request carries. Same thread and ownership as THttpCli.
// Server credentials belong to the scheme, host and port the request (or a relocation that
// named them) was sent to, and proxy credentials to the proxy; neither goes anywhere else.
#include "http/Ntlm.h"
#include "http/THttpCli.h"
#include "http/UrlHelpers.h"
#include "platform/AsciiText.h"
#include "platform/DebugOutput.h"

namespace {

// Longest NTLM challenge text the engine decodes.
constexpr std::size_t kMaxChallengeText = 1000;

}  // namespace

std::string THttpCli::TargetKey() const {
    return AsciiLower(FProtocol) + "://" + AsciiLower(TargetHost) + ":" + TargetPort;
}

void THttpCli::StartAuthenticationRound() {
    CredentialsFor = TargetKey();
    AuthSteps = 0;
    AuthStepsRelocation = RelocationCount;
}

const char* THttpCli::AuthPartyName(const void* Phase) const {
    if (Phase == &AuthNTLMState) return "server NTLM";
    if (Phase == &ProxyAuthNTLMState) return "proxy NTLM";
    if (Phase == &AuthBasicState) return "server Basic";
    return "proxy Basic";
}

template <class TPhase>
void THttpCli::SetAuthPhase(TPhase& Phase, TPhase Value) {
    if (Phase == Value) return;
    DebugOutput(std::string("http auth ") + AuthPartyName(&Phase) + " " + std::to_string(Phase) +
                " -> " + std::to_string(Value));
    Phase = Value;
}

void THttpCli::ForgetFinishedAuthentication() {
    if (AuthNTLMState == ntlmDone) SetAuthPhase(AuthNTLMState, ntlmNone);
    if (ProxyAuthNTLMState == ntlmDone) {
        SetAuthPhase(ProxyAuthNTLMState, ntlmNone);
        SetAuthPhase(AuthNTLMState, ntlmNone);
    }
    if (AuthBasicState == basicDone) SetAuthPhase(AuthBasicState, basicNone);
    if (ProxyAuthBasicState == basicDone) {
        SetAuthPhase(ProxyAuthBasicState, basicNone);
        SetAuthPhase(AuthBasicState, basicNone);
    }
}

bool THttpCli::ServerCredentialsApply() const {
    return CredentialsFor == TargetKey();
}

bool THttpCli::ProxyCredentialsApply() const {
    // Inside a tunnel every request goes to the server: the proxy's password goes with the
    // CONNECT alone.
    return !Proxy.empty() && (!Tunnelled() || Tunnel.ProxyAnswering());
}

const std::string* THttpCli::LastChallenge(const char* Scheme) const {
    for (auto it = Resp.AuthChallenges.rbegin(); it != Resp.AuthChallenges.rend(); ++it)
        if (StartsWithNoCase(*it, Scheme)) return &*it;
    return nullptr;
}

bool THttpCli::TakeAuthStep(TStep Step) {
    if (AuthStepsRelocation != RelocationCount) {
        AuthStepsRelocation = RelocationCount;
        AuthSteps = 0;
    }
    // A peer that keeps asking (a proxy that forgets its NTLM connection while the server asks
    // too) would restart the request forever; its last answer stands instead.
    if (AuthSteps >= MaxAuthSteps) {
        SetAuthPhase(AuthNTLMState, ntlmNone);
        SetAuthPhase(ProxyAuthNTLMState, ntlmNone);
        SetAuthPhase(AuthBasicState, basicNone);
        SetAuthPhase(ProxyAuthBasicState, basicNone);
        return false;
    }
    ++AuthSteps;
    (this->*Step)();
    return true;
}

template <class TPhase>
void THttpCli::SettleExchange(TPhase& Server, TPhase& Proxy, TPhase Answered, TPhase Accepted) {
    const int status = Resp.StatusCode;
    const TPhase none = TPhase(0);
    if (Server == Answered && status != 401)
        SetAuthPhase(Server, Accepted);
    else if (Server == Accepted && status == 401)
        SetAuthPhase(Server, none);
    if (Proxy == Answered && status != 407) {
        SetAuthPhase(Proxy, Accepted);
    } else if (Proxy == Accepted && status == 407) {
        // Whatever the server accepted went through the proxy's exchange.
        SetAuthPhase(Proxy, none);
        SetAuthPhase(Server, none);
    }
}

bool THttpCli::AnswerChallenge(const char* Scheme, TStep ServerStep, TStep ProxyStep) {
    const int status = Resp.StatusCode;
    if (status == 401 && !Username.empty() && !Password.empty() && ServerCredentialsApply() &&
        LastChallenge(Scheme) != nullptr)
        return TakeAuthStep(ServerStep);
    if (status == 407 && !ProxyUsername.empty() && !ProxyPassword.empty() &&
        ProxyCredentialsApply() && LastChallenge(Scheme) != nullptr)
        return TakeAuthStep(ProxyStep);
    return false;
}

bool THttpCli::TryNtlmStep() {
    if (Options.Has(httpoNoNTLMAuth)) return false;
    SettleExchange(AuthNTLMState, ProxyAuthNTLMState, ntlmAuthenticate, ntlmDone);
    return AnswerChallenge("NTLM", &THttpCli::StepServerNtlm, &THttpCli::StepProxyNtlm);
}

bool THttpCli::TryBasicStep() {
    if (Options.Has(httpoNoBasicAuth)) return false;
    SettleExchange(AuthBasicState, ProxyAuthBasicState, basicCredentials, basicDone);
    return AnswerChallenge("Basic", &THttpCli::StepServerBasic, &THttpCli::StepProxyBasic);
}

void THttpCli::ClearForAuthRestart() {
    TrimReceivedBody();
    RewindSendStream();
    InCount = 0;
    // The request goes out again to the same place: what it fetches is unchanged.
    const std::string documentName = FDocumentName;
    const std::string location = FLocation;
    ResetResponse();
    FDocumentName = documentName;
    FLocation = location;
}

template <class TPhase>
void THttpCli::RestartExchange(TPhase& State, TPhase Next) {
    ClearForAuthRestart();
    SetAuthPhase(State, Next);
    PostRestart();
}

template <class TPhase>
void THttpCli::RefuseExchange(TPhase& State) {
    Resp.AuthChallenges.clear();
    SetAuthPhase(State, TPhase(0));
    PostRequestDone();
}

void THttpCli::StepNtlm(bool ForServer) {
    TNtlmPhase& state = ForServer ? AuthNTLMState : ProxyAuthNTLMState;
    switch (state) {
        case ntlmNone:
            NtlmForServer = ForServer;
            // The three legs must share one connection.
            if (FRequestVer == "1.0") (ForServer ? Connection : ProxyConnection) = "Keep-alive";
            RestartExchange(state, ntlmNegotiate);
            break;
        case ntlmNegotiate: {
            const std::string* challenge = LastChallenge("NTLM");
            if (challenge == nullptr) break;
            const std::string text =
                challenge->size() > 5 ? challenge->substr(5, kMaxChallengeText) : std::string();
            (ForServer ? ServerNtlmInfo : ProxyNtlmInfo) = DecodeNtlmChallenge(text);
            RestartExchange(state, ntlmAuthenticate);
            break;
        }
        case ntlmAuthenticate:  // the credentials were refused: the answer stands
            RefuseExchange(state);
            break;
        default:
            throw EHttpException(
                ForServer ? "Unexpected AuthNTLMState" : "Unexpected ProxyAuthNTLMState", 6);
    }
}

void THttpCli::StepBasic(bool ForServer) {
    TBasicPhase& state = ForServer ? AuthBasicState : ProxyAuthBasicState;
    switch (state) {
        case basicNone:
            BasicForServer = ForServer;
            RestartExchange(state, basicCredentials);
            break;
        case basicCredentials:  // refused
            RefuseExchange(state);
            break;
        default:
            throw EHttpException(
                ForServer ? "Unexpected AuthBasicState" : "Unexpected ProxyAuthBasicState", 6);
    }
}

void THttpCli::StepServerNtlm() {
    StepNtlm(true);
}
void THttpCli::StepProxyNtlm() {
    StepNtlm(false);
}
void THttpCli::StepServerBasic() {
    StepBasic(true);
}
void THttpCli::StepProxyBasic() {
    StepBasic(false);
}

std::string THttpCli::NtlmAuthenticateText() const {
    std::string host;
    try {
        host = LocalHostName();
    } catch (const std::exception&) {
        // The message is still built, with an empty host name.
    }
    return NtlmForServer
               ? BuildNtlmAuthenticate("", host, Username, Password, ServerNtlmInfo.ServerChallenge)
               : BuildNtlmAuthenticate("", host, ProxyUsername, ProxyPassword,
                                       ProxyNtlmInfo.ServerChallenge);
}

std::string THttpCli::AuthorizationLine() const {
    const bool server = ServerCredentialsApply();
    if (NtlmForServer && server && AuthNTLMState == ntlmNegotiate)
        return "Authorization: NTLM " + BuildNtlmNegotiate();
    if (NtlmForServer && server && AuthNTLMState == ntlmAuthenticate)
        return "Authorization: NTLM " + NtlmAuthenticateText();
    // Server and proxy never run the same scheme at once, so only NTLM for the server goes
    // before the proxy's line.
    if (std::string proxy = ProxyAuthorizationLine(); !proxy.empty()) return proxy;
    if (BasicForServer && server && AuthBasicState == basicCredentials)
        return "Authorization: Basic " + EncodeBase64(Username + ":" + Password);
    return std::string();
}

std::string THttpCli::ProxyAuthorizationLine() const {
    if (!ProxyCredentialsApply()) return std::string();
    if (!NtlmForServer && ProxyAuthNTLMState == ntlmNegotiate)
        return "Proxy-Authorization: NTLM " + BuildNtlmNegotiate();
    if (!NtlmForServer && ProxyAuthNTLMState == ntlmAuthenticate)
        return "Proxy-Authorization: NTLM " + NtlmAuthenticateText();
    if (!BasicForServer && ProxyAuthBasicState == basicCredentials)
        return "Proxy-Authorization: Basic " + EncodeBase64(ProxyUsername + ":" + ProxyPassword);
    return std::string();
}
