// The CONNECT tunnel (see THttpTunnel.h), and the engine's side of it: sending the CONNECT,
// acting on the tunnel's verdicts and ending a refused leg. Same thread as the engine.
#include "http/THttpTunnel.h"

#include <algorithm>

#include "http/THttpCli.h"
#include "platform/DebugOutput.h"

const char* THttpTunnel::StateName(TState State) {
    switch (State) {
        case TState::Idle:
            return "Idle";
        case TState::ReadingReply:
            return "ReadingReply";
        case TState::SkippingBody:
            return "SkippingBody";
        case TState::Established:
            return "Established";
        case TState::Refused:
            return "Refused";
    }
    return "?";
}

void THttpTunnel::ChangeState(TState NewState) {
    if (NewState == FState) return;
    DebugOutput(std::string("http tunnel ") + StateName(FState) + " -> " + StateName(NewState));
    FState = NewState;
}

void THttpTunnel::Open() {
    FHeader.clear();
    FStatusLine.clear();
    FReply = THttpResponse();
    FSkip = 0;
    FKeep = false;
    ChangeState(TState::ReadingReply);
}

std::string THttpTunnel::Request(const std::string& Authority, const std::string& AuthorizationLine,
                                 const std::string& Agent) {
    std::string request = "CONNECT " + Authority + " HTTP/1.1\r\nHost: " + Authority + "\r\n";
    if (!AuthorizationLine.empty()) request += AuthorizationLine + "\r\n";
    if (!Agent.empty()) request += "User-Agent: " + Agent + "\r\n";
    return request + "\r\n";
}

THttpTunnel::TVerdict THttpTunnel::Read(TCustomWSocket& Socket) {
    if (FState == TState::SkippingBody) {
        char scratch[4096];
        int n;
        while (FSkip > 0 && (n = Socket.Receive(scratch, static_cast<int>(std::min<std::int64_t>(
                                                             sizeof scratch, FSkip)))) > 0)
            FSkip -= n;
        if (FSkip > 0) return TVerdict::Waiting;
        ChangeState(TState::Refused);
        return TVerdict::BodySkipped;
    }
    char c;
    while (FHeader.size() < MaxReplyHeader && Socket.Receive(&c, 1) == 1) {
        FHeader += c;
        if (FHeader.ends_with("\r\n\r\n") || FHeader.ends_with("\n\n")) return JudgeReply();
    }
    if (FHeader.size() < MaxReplyHeader) return TVerdict::Waiting;
    ChangeState(TState::Refused);
    return TVerdict::TooLong;
}

THttpTunnel::TVerdict THttpTunnel::JudgeReply() {
    // The CONNECT went out as HTTP/1.1: the connection stays unless the reply says otherwise.
    bool first = true, read = false;
    for (std::size_t at = 0; at < FHeader.size();) {
        std::size_t lf = FHeader.find('\n', at);
        std::size_t end = lf > at && FHeader[lf - 1] == '\r' ? lf - 1 : lf;
        const std::string line = FHeader.substr(at, end - at);
        at = lf + 1;
        if (first) {
            first = false;
            FStatusLine = line;
            read = FReply.ReadStatusLine(line) == TStatusLine::Read;
        } else if (!line.empty() && line[0] != ' ' && line[0] != '\t') {
            FReply.ReadHeaderField(line);
        }
    }
    FHeader.clear();
    if (read && FReply.StatusCode / 100 == 2) {
        ChangeState(TState::Established);
        return TVerdict::Established;
    }
    // Only a body of a known, small length is read away; any other leaves the connection.
    FKeep = read && FReply.DecideFraming(false) && !FReply.CloseAfterResponse &&
            FReply.ContentLength >= 0 && FReply.ContentLength <= MaxSkippedBody;
    FSkip = FKeep ? FReply.ContentLength : 0;
    ChangeState(FSkip > 0 ? TState::SkippingBody : TState::Refused);
    return TVerdict::Refused;
}

// ---- the engine's side ----

void THttpCli::SendConnect() {
    // Opened first: the proxy's credentials go with a CONNECT alone.
    Tunnel.Open();
    Socket()->SendText(
        THttpTunnel::Request(TargetHost + ":" + TargetPort, ProxyAuthorizationLine(), Agent));
}

void THttpCli::ReadConnectReply() {
    switch (Tunnel.Read(*Socket())) {
        case THttpTunnel::TVerdict::Waiting:
            return;
        case THttpTunnel::TVerdict::Established:
            Socket()->StartSsl();
            return;
        case THttpTunnel::TVerdict::TooLong:
            FailResponse(BadResponseStatus, "Proxy refused CONNECT: reply too long");
            FSecureFailure = Resp.ReasonPhrase;
            return;
        case THttpTunnel::TVerdict::Refused: {
            const THttpResponse& reply = Tunnel.Reply();
            Resp.StatusCode = reply.StatusCode != 0 ? reply.StatusCode : BadResponseStatus;
            Resp.ReasonPhrase = "Proxy refused CONNECT: " + Tunnel.StatusLine();
            FSecureFailure = Resp.ReasonPhrase;
            // The challenges decide what comes next: the idle step may answer them.
            Resp.AuthChallenges.insert(Resp.AuthChallenges.end(), reply.AuthChallenges.begin(),
                                       reply.AuthChallenges.end());
            if (Tunnel.State() == THttpTunnel::TState::Refused)
                EndConnectRefusal(Tunnel.KeepsConnection());
            return;
        }
        case THttpTunnel::TVerdict::BodySkipped:
            EndConnectRefusal(true);
            return;
    }
}

void THttpCli::EndConnectRefusal(bool Keep) {
    if (Keep) {
        // The idle step may answer a challenge on this connection.
        PostReady();
        return;
    }
    FailResponse(Resp.StatusCode, Resp.ReasonPhrase);
    FSecureFailure = Resp.ReasonPhrase;
}

void THttpCli::TunnelClosed() {
    if (Tunnel.State() == THttpTunnel::TState::Established) {
        Tunnel.ChangeState(THttpTunnel::TState::Idle);
        return;
    }
    if (!Tunnel.Reading()) return;
    // The refusal, or the lack of any answer, stays what the idle step sees.
    Tunnel.ChangeState(THttpTunnel::TState::Refused);
    if (!Resp.Failed && Resp.StatusCode == 0) {
        Resp.Failed = true;
        Resp.StatusCode = BadResponseStatus;
        Resp.ReasonPhrase = "Proxy closed the connection before answering CONNECT";
    }
}
