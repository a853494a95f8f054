// THttpCli's request side: the request header written line by line, the body of a POST or PUT
// sent block by block. Same thread and ownership as THttpCli.
#include <algorithm>

#include "http/THttpCli.h"
#include "http/UrlHelpers.h"

bool THttpCli::NtlmNegotiateGoingOut() const {
    return (NtlmForServer && AuthNTLMState == ntlmNegotiate) ||
           (!NtlmForServer && ProxyAuthNTLMState == ntlmNegotiate);
}

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

void THttpCli::RewindSendStream() {
    if (SendStream != nullptr && FSentCount > 0) SendStream->Seek(-FSentCount, soCurrent);
}
