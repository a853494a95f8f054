// THttpCli's answers to 401 and 407: the four exchange machines run from the idle step, and
// the one authorization line a request carries. Same thread and ownership as THttpCli.
// Server credentials belong to the scheme, host and port the request (or a relocation that
// named them) was sent to, and proxy credentials to the proxy; neither goes anywhere else.
#include "http/Ntlm.h"
#include "http/THttpCli.h"
#include "http/UrlHelpers.h"

namespace {

bool StartsWithNoCase(const std::string& Text, const std::string& Prefix) {
    if (Text.size() < Prefix.size()) return false;
    for (std::size_t i = 0; i < Prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(Text[i])) !=
            std::tolower(static_cast<unsigned char>(Prefix[i])))
            return false;
    return true;
}

std::string LowerAscii(std::string Text) {
    for (char& c : Text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return Text;
}

// Longest NTLM challenge text the engine decodes.
constexpr std::size_t kMaxChallengeText = 1000;

}  // namespace

std::string THttpCli::TargetKey() const {
    return LowerAscii(FProtocol) + "://" + LowerAscii(TargetHost) + ":" + TargetPort;
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
    return !Proxy.empty();
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

bool THttpCli::TryNtlmStep() {
    if (Options.Has(httpoNoNTLMAuth)) return false;
    if (AuthNTLMState == 3 && Resp.StatusCode != 401)
        AuthNTLMState = 4;
    else if (AuthNTLMState == 4 && Resp.StatusCode == 401)
        AuthNTLMState = 0;
    if (ProxyAuthNTLMState == 3 && Resp.StatusCode != 407) {
        ProxyAuthNTLMState = 4;
    } else if (ProxyAuthNTLMState == 4 && Resp.StatusCode == 407) {
        ProxyAuthNTLMState = 0;
        AuthNTLMState = 0;
    }
    if (Resp.StatusCode == 401 && !Username.empty() && !Password.empty() &&
        ServerCredentialsApply() && LastChallenge("NTLM") != nullptr)
        return TakeAuthStep(&THttpCli::StepServerNtlm);
    if (Resp.StatusCode == 407 && !ProxyUsername.empty() && !ProxyPassword.empty() &&
        ProxyCredentialsApply() && LastChallenge("NTLM") != nullptr)
        return TakeAuthStep(&THttpCli::StepProxyNtlm);
    return false;
}

bool THttpCli::TryBasicStep() {
    if (Options.Has(httpoNoBasicAuth)) return false;
    if (AuthBasicState == 1 && Resp.StatusCode != 401)
        AuthBasicState = 2;
    else if (AuthBasicState == 2 && Resp.StatusCode == 401)
        AuthBasicState = 0;
    if (ProxyAuthBasicState == 1 && Resp.StatusCode != 407) {
        ProxyAuthBasicState = 2;
    } else if (ProxyAuthBasicState == 2 && Resp.StatusCode == 407) {
        ProxyAuthBasicState = 0;
        AuthBasicState = 0;
    }
    if (Resp.StatusCode == 401 && !Username.empty() && !Password.empty() &&
        ServerCredentialsApply() && LastChallenge("Basic") != nullptr)
        return TakeAuthStep(&THttpCli::StepServerBasic);
    if (Resp.StatusCode == 407 && !ProxyUsername.empty() && !ProxyPassword.empty() &&
        ProxyCredentialsApply() && LastChallenge("Basic") != nullptr)
        return TakeAuthStep(&THttpCli::StepProxyBasic);
    return false;
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

void THttpCli::StepNtlm(bool ForServer) {
    int& state = ForServer ? AuthNTLMState : ProxyAuthNTLMState;
    switch (state) {
        case 0:
            NtlmForServer = ForServer;
            ClearForAuthRestart();
            state = 1;
            // The three legs must share one connection.
            if (FRequestVer == "1.0") (ForServer ? Connection : ProxyConnection) = "Keep-alive";
            PostRestart();
            break;
        case 1: {
            const std::string* challenge = LastChallenge("NTLM");
            if (challenge == nullptr) break;
            const std::string text =
                challenge->size() > 5 ? challenge->substr(5, kMaxChallengeText) : std::string();
            (ForServer ? ServerNtlmInfo : ProxyNtlmInfo) = DecodeNtlmChallenge(text);
            ClearForAuthRestart();
            state = 3;
            PostRestart();
            break;
        }
        case 3:  // the credentials were refused: the answer stands
            Resp.AuthChallenges.clear();
            state = 0;
            PostRequestDone();
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
            ClearForAuthRestart();
            state = 1;
            PostRestart();
            break;
        case 1:  // refused
            Resp.AuthChallenges.clear();
            state = 0;
            PostRequestDone();
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
    const bool proxy = ProxyCredentialsApply();
    if (NtlmForServer && server && AuthNTLMState == 1)
        return "Authorization: NTLM " + BuildNtlmNegotiate();
    if (NtlmForServer && server && AuthNTLMState == 3)
        return "Authorization: NTLM " + NtlmAuthenticateText();
    if (!NtlmForServer && proxy && ProxyAuthNTLMState == 1)
        return "Proxy-Authorization: NTLM " + BuildNtlmNegotiate();
    if (!NtlmForServer && proxy && ProxyAuthNTLMState == 3)
        return "Proxy-Authorization: NTLM " + NtlmAuthenticateText();
    if (BasicForServer && server && AuthBasicState == 1)
        return "Authorization: Basic " + EncodeBase64(Username + ":" + Password);
    if (!BasicForServer && proxy && ProxyAuthBasicState == 1)
        return "Proxy-Authorization: Basic " + EncodeBase64(ProxyUsername + ":" + ProxyPassword);
    return std::string();
}
