// SOCKS negotiation as a small state machine over the reply buffer. Every reply may arrive
// split anywhere; each step reads only into the fixed buffer and acts once enough is in.
#include "net/TCustomSocksWSocket.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "platform/AsciiText.h"
#include "platform/DebugOutput.h"

namespace {

std::string PortBytes(std::uint16_t Port) {
    return {static_cast<char>(Port >> 8), static_cast<char>(Port & 0xFF)};
}

std::string AddressBytes(std::uint32_t NetAddr) {
    return std::string(reinterpret_cast<const char*>(&NetAddr), 4);
}

// One length byte and the bytes, as SOCKS 5 and RFC 1929 fields are written.
std::string Field(const std::string& s) {
    return static_cast<char>(s.size()) + s;
}

struct TReplyText {
    int Error;
    const char* Text;
};

// SOCKS 5 reply codes 1 to 8.
constexpr TReplyText kSocks5Replies[] = {
    {socksGeneralFailure, "general SOCKS server failure"},
    {socksConnectionNotAllowed, "connection not allowed by ruleset"},
    {socksNetworkUnreachable, "network unreachable"},
    {socksHostUnreachable, "host unreachable"},
    {socksConnectionRefused, "connection refused"},
    {socksTtlExpired, "time to live expired"},
    {socksUnknownCommand, "command not supported"},
    {socksUnknownAddressType, "address type not supported"},
};

// SOCKS 4 status codes 91 to 93.
constexpr TReplyText kSocks4Replies[] = {
    {socksRejectedOrFailed, "request rejected or failed"},
    {socksConnectionRefused, "connection refused"},
    {socksAuthenticationFailed, "authentification failed"},
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Settings

void TCustomSocksWSocket::AssignDefaultValue() {
    TCustomWSocket::AssignDefaultValue();
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel = std::string("5");  // a plain literal trips GCC 12's -Wrestrict at -O2
    SetSocksState(TSocksState::None);
    FLeftoverCnt = 0;
    FLeftoverPos = 0;
}

// The one writer of the negotiation state, so that the trace shows every change.
void TCustomSocksWSocket::SetSocksState(TSocksState NewState) {
    static const char* const kNames[] = {"None", "MethodSelection", "Authentication",
                                         "RequestSent"};
    if (NewState != FSocksState)
        DebugOutput(std::string("socks state ") + kNames[static_cast<int>(FSocksState)] + " -> " +
                    kNames[static_cast<int>(NewState)]);
    FSocksState = NewState;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
    if (State() != wsClosed) {
        RaiseSocketException("Can't change socks server if not closed");
        return;
    }
    FSocksServer = TrimBlanks(Value);
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
    if (State() != wsClosed) {
        RaiseSocketException("Can't change socks port if not closed");
        return;
    }
    FSocksPort = TrimBlanks(Value);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
    if (State() != wsClosed) {
        RaiseSocketException("Can't change socks level if not closed");
        return;
    }
    if (Value != "4" && Value != "4A" && Value != "4a" && Value != "5") {
        RaiseSocketException("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    FSocksLevel = Value == "4a" ? "4A" : Value;
}

// A SOCKS 5 field holds at most 255 bytes and a SOCKS 4 user id ends at its first NUL: a value
// that does not fit would go out truncated, or its rest would be read as the next field.
bool TCustomSocksWSocket::CheckSocksFields() {
    const char* problem = nullptr;
    if (IsLevel5()) {
        if (Addr().size() > 255)
            problem = "host name longer than 255 bytes";
        else if (FSocksAuthentication == socksAuthenticateUsercode && FSocksUsercode.size() > 255)
            problem = "user code longer than 255 bytes";
        else if (FSocksAuthentication == socksAuthenticateUsercode && FSocksPassword.size() > 255)
            problem = "password longer than 255 bytes";
    } else if (FSocksUsercode.find('\0') != std::string::npos) {
        problem = "user code holds a NUL byte";
    } else if (FSocksLevel == "4A" && Addr().find('\0') != std::string::npos) {
        problem = "host name holds a NUL byte";
    }
    if (problem == nullptr) return true;
    RaiseSocketException(std::string("connect: socks level ") + FSocksLevel + " " + problem);
    return false;
}

// ---------------------------------------------------------------------------------------------
// Connecting

void TCustomSocksWSocket::Connect() {
    SetSocksState(TSocksState::None);
    // The base class words every misuse (no port, no address, socket in use) itself.
    if (FSocksServer.empty() || Port().empty() || Addr().empty() ||
        (HSocket() >= 0 && State() != wsClosed)) {
        TCustomWSocket::Connect();
        return;
    }
    if (!EqualsNoCase(Proto(), "tcp") && Proto() != "6") {
        RaiseSocketException("tcp is the only protocol supported thru socks server");
        return;
    }
    if (!CheckSocksFields()) return;
    std::uint32_t serverAddr = 0;
    std::uint16_t serverPort = 0;
    try {
        serverPort = WSocketResolvePort(FSocksPort, Proto());
        serverAddr = WSocketResolveHost(FSocksServer);
        FDestPort = WSocketResolvePort(Port(), Proto());
    } catch (const ESocketException& e) {
        RaiseSocketException(std::string("connect: ") + e.what());
        return;
    }
    SetSocksState(TSocksState::MethodSelection);
    FRcvCnt = 0;
    FLeftoverCnt = 0;
    FBoundAddr.clear();
    FBoundPort.clear();
    SetConnectTarget(serverAddr, serverPort);
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::FireSessionConnected(std::uint16_t Error) {
    if (FSocksState != TSocksState::MethodSelection) {
        TCustomWSocket::FireSessionConnected(Error);
        return;
    }
    const TConnectionMark mark = MarkConnection();
    if (Error != 0) SetSocksState(TSocksState::None);
    FireSocksConnected(Error);
    if (!mark.Open()) return;
    if (Error != 0) {
        TCustomWSocket::FireSessionConnected(Error);
        return;
    }
    if (!IsLevel5()) {
        SendRequest();
        return;
    }
    FAuthAsked = FSocksAuthentication == socksAuthenticateUsercode;
    // With credentials "no authentication" is offered too: OpenSSH's ssh -D closes the
    // connection on an offer of user name and password alone.
    if (FAuthAsked)
        SendBytes({5, 2, 0, 2});
    else
        SendBytes({5, 1, 0});
}

void TCustomSocksWSocket::SendBytes(const std::string& Bytes) {
    FRcvCnt = 0;
    Send(Bytes.data(), static_cast<int>(Bytes.size()));
}

void TCustomSocksWSocket::SendAuthentication() {
    SetSocksState(TSocksState::Authentication);
    FireSocksAuthState(socksAuthStart);
    if (FSocksState != TSocksState::Authentication) return;  // the handler closed the socket
    SendBytes('\x01' + Field(FSocksUsercode) + Field(FSocksPassword));
}

// SOCKS 4A and 5 hand a name to the server, which resolves it on its side of the tunnel: a
// name only the far side knows is reached, and no lookup leaves this machine. An address
// literal goes as an address. SOCKS 4 carries only an IPv4 address, so it resolves here.
void TCustomSocksWSocket::SendRequest() {
    SetSocksState(TSocksState::RequestSent);
    const std::string host = TrimBlanks(Addr());
    TIpv6Bytes ip6{};
    const bool isIpv6 = ParseIpv6Literal(host, ip6);
    if (IsLevel5()) {
        std::string request{5, 1, 0};
        if (isIpv6)
            request += '' + std::string(reinterpret_cast<const char*>(&ip6), 16);
        else if (IsDottedAddress(host))
            request += '' + AddressBytes(WSocketResolveHost(host));
        else
            request += '' + Field(Addr());
        SendBytes(request + PortBytes(FDestPort));
        return;
    }
    if (isIpv6) {
        Failed(socksNoIpv6, "SOCKS 4 cannot reach an IPv6 address");
        return;
    }
    const bool nameForServer = FSocksLevel == "4A" && !IsDottedAddress(host);
    std::uint32_t ip = htonl(1);  // 0.0.0.1 tells a SOCKS 4A server a host name follows
    if (!nameForServer) {
        try {
            ip = WSocketResolveHost(Addr());
        } catch (const ESocketException& e) {
            SetSocksState(TSocksState::None);
            const TConnectionMark mark = MarkConnection();
            FireSocksError(socksHostResolutionFailed, std::string("ESocketException ") + e.what());
            // No OnSessionConnected here: the owner learns of it from the close alone.
            if (mark.Open()) InternalClose(true, socksHostResolutionFailed);
            return;
        }
    }
    std::string request{4, 1};
    request += PortBytes(FDestPort) + AddressBytes(ip) + FSocksUsercode + '\0';
    if (nameForServer) request += Addr() + '\0';
    SendBytes(request);
}

// ---------------------------------------------------------------------------------------------
// Replies

void TCustomSocksWSocket::FireDataAvailable(std::uint16_t Error) {
    switch (FSocksState) {
        case TSocksState::None:
            TCustomWSocket::FireDataAvailable(Error);
            return;
        case TSocksState::MethodSelection:
            if (Error != 0) break;
            // Read no further than the two bytes: nothing else may come before our next step.
            if (ReadReply(2)) MethodReply();
            return;
        case TSocksState::Authentication:
            if (Error != 0) break;
            if (ReadReply(kRcvBufSize)) AuthReply();
            return;
        case TSocksState::RequestSent:
            if (Error != 0) break;
            if (!ReadReply(kRcvBufSize)) return;
            if (IsLevel5())
                Socks5Reply();
            else
                Socks4Reply();
            return;
    }
    Failed(Error, "data receive error");
}

bool TCustomSocksWSocket::ReadReply(int Want) {
    int room = std::min(Want, kRcvBufSize) - FRcvCnt;
    if (room <= 0) return false;
    int n = TCustomWSocket::ReadRaw(FRcvBuf + FRcvCnt, room);
    if (n <= 0) return false;  // nothing yet, or the close notice that follows tells the rest
    FRcvCnt += n;
    return true;
}

void TCustomSocksWSocket::MethodReply() {
    if (!IsLevel5()) {
        Failed(socksProtocolError, "TWSocket logic error");
        return;
    }
    if (FRcvBuf[0] != 5) {
        Failed(socksVersionError, "socks version error");
        return;
    }
    if (FRcvCnt < 2) return;
    switch (FRcvBuf[1]) {
        case 0:
            if (FAuthAsked) {
                FireSocksAuthState(socksAuthNotRequired);
                if (FSocksState != TSocksState::MethodSelection) return;
            }
            SendRequest();
            return;
        case 2:
            SendAuthentication();
            return;
        default:
            Failed(socksAuthMethodError, "authentification method not acceptable");
    }
}

void TCustomSocksWSocket::AuthReply() {
    if (FRcvBuf[0] != 1) {
        Failed(socksVersionError, "socks version error");
        return;
    }
    if (FRcvCnt >= 3) {
        Failed(socksProtocolError, "too much data availaible");
        return;
    }
    if (FRcvCnt < 2) return;
    if (FRcvBuf[1] != 0) {
        Failed(socksAuthenticationFailed, "socks authentication failed");
        return;
    }
    FireSocksAuthState(socksAuthSuccess);
    if (FSocksState == TSocksState::Authentication) SendRequest();
}

void TCustomSocksWSocket::Socks4Reply() {
    if (FRcvBuf[0] != 0) {
        Failed(socksVersionError, "socks version error");
        return;
    }
    if (FRcvCnt < 8) return;
    int status = FRcvBuf[1];
    if (status == 90) {
        Succeeded(8);
    } else if (status >= 91 && status <= 93) {
        Failed(kSocks4Replies[status - 91].Error, kSocks4Replies[status - 91].Text);
    } else {
        Failed(socksUnassignedError, "unassigned error #" + std::to_string(status));
    }
}

void TCustomSocksWSocket::Socks5Reply() {
    if (FRcvBuf[0] != 5) {
        Failed(socksVersionError, "socks version error");
        return;
    }
    if (FRcvCnt < 2) return;
    int code = FRcvBuf[1];
    if (code >= 1 && code <= 8) {
        Failed(kSocks5Replies[code - 1].Error, kSocks5Replies[code - 1].Text);
        return;
    }
    if (code != 0) {
        Failed(socksUnassignedError, "unassigned error #" + std::to_string(code));
        return;
    }
    if (FRcvCnt < 5) return;
    int length;
    if (FRcvBuf[3] == 1) {
        length = 10;
    } else if (FRcvBuf[3] == 3) {
        length = 7 + FRcvBuf[4];
    } else if (FRcvBuf[3] == 4) {
        length = 22;
    } else {
        Failed(socksUnknownAddressType, "address type not supported");
        return;
    }
    if (FRcvCnt < length) return;
    if (FRcvBuf[3] == 1) {
        FBoundAddr = std::to_string(FRcvBuf[4]) + "." + std::to_string(FRcvBuf[5]) + "." +
                     std::to_string(FRcvBuf[6]) + "." + std::to_string(FRcvBuf[7]);
    } else if (FRcvBuf[3] == 4) {
        char text[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, FRcvBuf + 4, text, sizeof text);
        FBoundAddr = text;
    } else {
        FBoundAddr.assign(reinterpret_cast<const char*>(FRcvBuf + 5), FRcvBuf[4]);
    }
    FBoundPort = std::to_string(FRcvBuf[length - 2] << 8 | FRcvBuf[length - 1]);
    Succeeded(length);
}

void TCustomSocksWSocket::Succeeded(int ReplyLength) {
    SetSocksState(TSocksState::None);
    FLeftoverPos = ReplyLength;
    FLeftoverCnt = FRcvCnt - ReplyLength;
    const TConnectionMark mark = MarkConnection();
    FireSessionConnected(0);
    // Whatever the server sent after its reply goes to the reader now; the platform has no
    // notice for bytes already taken off the socket. A reader that takes nothing stops this.
    while (FLeftoverCnt > 0 && mark.Open()) {
        int before = FLeftoverCnt;
        FireDataAvailable(0);
        if (FLeftoverCnt == before) break;
    }
}

void TCustomSocksWSocket::Failed(int Error, const std::string& Msg) {
    SetSocksState(TSocksState::None);
    const TConnectionMark mark = MarkConnection();
    FireSocksError(Error, Msg);
    if (mark.Open()) ConnectFailed(static_cast<std::uint16_t>(Error));
}

void TCustomSocksWSocket::FireSessionClosed(std::uint16_t Error) {
    if (FSocksState == TSocksState::None) {
        TCustomWSocket::FireSessionClosed(Error);
        return;
    }
    bool authenticating = FSocksState == TSocksState::Authentication;
    SetSocksState(TSocksState::None);
    if (authenticating) FireSocksAuthState(socksAuthFailure);
    // Our own Close during the negotiation is the owner's choice; the server or the network
    // ending it is a failed connect, and must not read as a clean close of a session that never
    // began.
    if (Error != 0 || SelectMessage() == FD_CLOSE) {
        int code = Error != 0 ? Error : socksServerClosed;
        FireSocksError(
            code, Error != 0 ? "data receive error" : "connection closed during socks negotiation");
        TCustomWSocket::FireSessionConnected(static_cast<std::uint16_t>(code));
        Error = static_cast<std::uint16_t>(code);
    }
    TCustomWSocket::FireSessionClosed(Error);
}

// ---------------------------------------------------------------------------------------------
// Reading

int TCustomSocksWSocket::RcvdCount() {
    if (FLeftoverCnt > 0) return FLeftoverCnt;
    return TCustomWSocket::RcvdCount();
}

int TCustomSocksWSocket::ReadRaw(void* Buffer, int BufferSize) {
    if (FLeftoverCnt <= 0) return TCustomWSocket::ReadRaw(Buffer, BufferSize);
    int n = std::clamp(BufferSize, 0, FLeftoverCnt);
    std::memcpy(Buffer, FRcvBuf + FLeftoverPos, static_cast<std::size_t>(n));
    FLeftoverPos += n;
    FLeftoverCnt -= n;
    return n;
}

// ---------------------------------------------------------------------------------------------
// Events

void TCustomSocksWSocket::FireSocksConnected(std::uint16_t Error) {
    if (OnSocksConnected) OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::FireSocksError(int Error, const std::string& Msg) {
    if (OnSocksError) OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState AuthState) {
    if (OnSocksAuthState) OnSocksAuthState(this, AuthState);
}
