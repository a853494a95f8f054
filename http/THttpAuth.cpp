// THttpCli's answers to 401 and 407: the four exchange machines run from the idle step, and
// the one authorization line a request carries. Same thread and ownership as THttpCli.
// Server credentials belong to the scheme, host and port the request (or a relocation that
// named them) was sent to, and proxy credentials to the proxy; neither goes anywhere else.
#include "http/Ntlm.h"
#include "http/THttpCli.h"
#include "http/UrlHelpers.h"
#include "platform/AsciiText.h"

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

bool THttpCli::ServerCredentialsApply() const {
    return CredentialsFor == TargetKey();
}

bool THttpCli::ProxyCredentialsApply() const {
    // Inside a tunnel every request goes to the server: the proxy's password goes with the
    // CONNECT alone.
    return !Proxy.empty() && (!Tunnelled() || ConnectExchange);
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
        AuthNTLMState = ProxyAuthNTLMState = AuthBasicState = ProxyAuthBasicState = 0;
        return false;
    }
    ++AuthSteps;
    (this->*Step)();
    return true;
}

void THttpCli::SettleExchange(int& Server, int& Proxy, int Answered, int Accepted) {
    const int status = Resp.StatusCode;
    if (Server == Answered && status != 401)
        Server = Accepted;
    else if (Server == Accepted && status == 401)
        Server = 0;
    if (Proxy == Answered && status != 407) {
        Proxy = Accepted;
    } else if (Proxy == Accepted && status == 407) {
        // Whatever the server accepted went through the proxy's exchange.
        Proxy = 0;
        Server = 0;
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
    SettleExchange(AuthNTLMState, ProxyAuthNTLMState, 3, 4);
    return AnswerChallenge("NTLM", &THttpCli::StepServerNtlm, &THttpCli::StepProxyNtlm);
}

bool THttpCli::TryBasicStep() {
    if (Options.Has(httpoNoBasicAuth)) return false;
    SettleExchange(AuthBasicState, ProxyAuthBasicState, 1, 2);
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

void THttpCli::RestartExchange(int& State, int Next) {
    ClearForAuthRestart();
    State = Next;
    PostRestart();
}

void THttpCli::RefuseExchange(int& State) {
    Resp.AuthChallenges.clear();
    State = 0;
    PostRequestDone();
}

void THttpCli::StepNtlm(bool ForServer) {
    int& state = ForServer ? AuthNTLMState : ProxyAuthNTLMState;
    switch (state) {
        case 0:
            NtlmForServer = ForServer;
            // The three legs must share one connection.
            if (FRequestVer == "1.0") (ForServer ? Connection : ProxyConnection) = "Keep-alive";
            RestartExchange(state, 1);
            break;
        case 1: {
            const std::string* challenge = LastChallenge("NTLM");
            if (challenge == nullptr) break;
            const std::string text =
                challenge->size() > 5 ? challenge->substr(5, kMaxChallengeText) : std::string();
            (ForServer ? ServerNtlmInfo : ProxyNtlmInfo) = DecodeNtlmChallenge(text);
            RestartExchange(state, 3);
            break;
        }
        case 3:  // the credentials were refused: the answer stands
            RefuseExchange(state);
            break;
        default:
            throw EHttpException(
                ForServer ? "Unexpected AuthNTLMState" : "Unexpected ProxyAuthNTLMState", 6);
    }
}

void THttpCli::StepBasic(bool ForServer) {
    int& state = ForServer ? AuthBasicState : ProxyAuthBasicState;
    switch (state) {
        case 0:
            BasicForServer = ForServer;
            RestartExchange(state, 1);
            break;
        case 1:  // refused
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
    if (NtlmForServer && server && AuthNTLMState == 1)
        return "Authorization: NTLM " + BuildNtlmNegotiate();
    if (NtlmForServer && server && AuthNTLMState == 3)
        return "Authorization: NTLM " + NtlmAuthenticateText();
    // Server and proxy never run the same scheme at once, so only NTLM for the server goes
    // before the proxy's line.
    if (std::string proxy = ProxyAuthorizationLine(); !proxy.empty()) return proxy;
    if (BasicForServer && server && AuthBasicState == 1)
        return "Authorization: Basic " + EncodeBase64(Username + ":" + Password);
    return std::string();
}

std::string THttpCli::ProxyAuthorizationLine() const {
    if (!ProxyCredentialsApply()) return std::string();
    if (!NtlmForServer && ProxyAuthNTLMState == 1)
        return "Proxy-Authorization: NTLM " + BuildNtlmNegotiate();
    if (!NtlmForServer && ProxyAuthNTLMState == 3)
        return "Proxy-Authorization: NTLM " + NtlmAuthenticateText();
    if (!BasicForServer && ProxyAuthBasicState == 1)
        return "Proxy-Authorization: Basic " + EncodeBase64(ProxyUsername + ":" + ProxyPassword);
    return std::string();
}
