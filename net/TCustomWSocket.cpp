// Asynchronous TCP socket over the thread's TEventLoop. Readiness from poll() is turned into
// the platform's notices (connect, read, write, accept, close) with its re-arming rules: a read
// notice is given again only after a read, a write notice only after a short or refused send.
// Host lookups run on short-lived helper threads that post their answer back.
#include "net/TCustomWSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/AsciiText.h"
#include "platform/DebugOutput.h"

// What a lookup thread shares with its socket. The socket reads the answer only after the
// posted notice has passed the loop's queue, which orders it after the thread's writes.
struct TLookupJob {
    std::uint64_t Handle = 0;
    std::string What;
    bool Reverse = false;
    std::vector<std::string> Results;
    int Error = 0;
};

namespace {

// Process-wide: the socket count and whether the socket layer counts as started (the
// requested version is fixed from then on).
std::mutex GLoadLock;
int GSocketCount = 0;
bool GStarted = false;
std::uint8_t GReqVerLow = 1;
std::uint8_t GReqVerHigh = 1;

std::atomic<std::uint64_t> GNextLookupHandle{1};
std::atomic<std::uint64_t> GNextSerial{1};

void StartPlatform() {
    std::lock_guard<std::mutex> guard(GLoadLock);
    if (GStarted) return;
    if (GReqVerHigh < 1) throw ESocketException("wsock32.dll: WSAStartup error #10092");
    GStarted = true;
}

std::string Format(const char* Fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, Fmt);
    std::vsnprintf(buf, sizeof buf, Fmt, args);
    va_end(args);
    return buf;
}

std::string Dotted(std::uint32_t NetAddr) {
    char buf[INET_ADDRSTRLEN];
    in_addr a{};
    a.s_addr = NetAddr;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

// Only called on text IsDottedAddress accepted: four decimal numbers below 256.
std::uint32_t ParseDotted(const std::string& Text) {
    std::uint32_t host = 0, part = 0;
    for (char c : TrimBlanks(Text)) {
        if (c == '.') {
            host = (host << 8) | part;
            part = 0;
        } else {
            part = part * 10 + static_cast<std::uint32_t>(c - '0');
        }
    }
    return htonl((host << 8) | part);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::uint16_t Word(int v) {
    return static_cast<std::uint16_t>(v);
}

void RunLookup(TLookupJob& Job) {
    if (Job.Reverse) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        std::string t = TrimBlanks(Job.What);
        // Like the platform's address conversion, anything unparsable becomes the broadcast
        // address, which then has no name.
        sa.sin_addr.s_addr = IsDottedAddress(t) ? ParseDotted(t) : INADDR_NONE;
        char host[NI_MAXHOST];
        errno = 0;
        int rc = getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host,
                             nullptr, 0, NI_NAMEREQD);
        if (rc != 0) {
            Job.Error = WSocketErrorFromGai(rc, errno);
            return;
        }
        Job.Results.push_back(host);
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    errno = 0;
    int rc = getaddrinfo(Job.What.c_str(), nullptr, &hints, &res);
    if (rc != 0) {
        Job.Error = WSocketErrorFromGai(rc, errno);
        return;
    }
    for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next)
        if (ai->ai_family == AF_INET)
            Job.Results.push_back(
                Dotted(reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr));
    freeaddrinfo(res);
    if (Job.Results.empty()) Job.Error = WSANO_DATA;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Resolution routines

bool IsDottedAddress(const std::string& Text) {
    std::size_t i = 0, n = Text.size();
    while (i < n && Text[i] == ' ') ++i;
    if (i < n && Text[i] == '.') return false;
    int dots = 0;
    unsigned num = 0;
    for (; i < n; ++i) {
        char c = Text[i];
        if (c == '.') {
            if (++dots > 3 || num > 255) return false;
            if (i + 1 >= n || !IsDigit(Text[i + 1])) return false;
            num = 0;
        } else if (IsDigit(c)) {
            num = num * 10 + static_cast<unsigned>(c - '0');
            if (num > 1000) num = 1000;  // already too big; stop it growing
        } else {
            while (i < n && Text[i] == ' ') ++i;
            if (i < n) return false;
            break;
        }
    }
    return dots == 3 && num < 256;
}

std::uint32_t WSocketResolveHost(const std::string& Text) {
    if (Text.empty() || Text.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + Text + "' Invalid Hostname.");
    std::string t = TrimBlanks(Text);
    if (IsDottedAddress(t)) return ParseDotted(t);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    errno = 0;
    int rc = getaddrinfo(t.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        int err = rc != 0 ? WSocketErrorFromGai(rc, errno) : WSANO_DATA;
        throw ESocketException(Format(
            "WSocketResolveHost: Cannot convert host address '%s', Error #%d", t.c_str(), err));
    }
    std::uint32_t addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return addr;
}

std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto) {
    if (Port.empty() || Port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (IsDigit(Port[0])) {
        unsigned long v = 0;
        for (std::size_t i = 0; i < Port.size() && IsDigit(Port[i]); ++i) {
            v = v * 10 + static_cast<unsigned long>(Port[i] - '0');
            // A number past 16 bits would wrap onto some other port.
            if (v > 65535) throw ESocketException("WSocketResolvePort: Invalid Port.");
        }
        return static_cast<std::uint16_t>(v);
    }
    servent se{};
    servent* found = nullptr;
    char buf[1024];
    std::string p = TrimBlanks(Port), pr = TrimBlanks(Proto);
    if (getservbyname_r(p.c_str(), pr.c_str(), &se, buf, sizeof buf, &found) != 0 ||
        found == nullptr)
        throw ESocketException(Format("WSocketResolvePort: Cannot convert port '%s', Error #%d",
                                      Port.c_str(), WSANO_DATA));
    return ntohs(static_cast<std::uint16_t>(found->s_port));
}

int WSocketResolveProto(const std::string& Text) {
    if (Text.empty() || Text.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    if (IsDigit(Text[0])) {
        int v = 0;
        for (std::size_t i = 0; i < Text.size() && IsDigit(Text[i]) && v < 100000; ++i)
            v = v * 10 + (Text[i] - '0');
        return v;
    }
    const std::string t = AsciiLower(TrimBlanks(Text));
    if (t == "tcp") return IPPROTO_TCP;
    if (t == "udp") return IPPROTO_UDP;
    if (t == "raw") return IPPROTO_RAW;
    protoent pe{};
    protoent* found = nullptr;
    char buf[1024];
    if (getprotobyname_r(t.c_str(), &pe, buf, sizeof buf, &found) != 0 || found == nullptr)
        throw ESocketException(
            Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d", Text.c_str(),
                   WSANO_DATA));
    return found->p_proto;
}

std::string LocalHostName() {
    char buf[64];
    if (gethostname(buf, sizeof buf) != 0) throw ESocketException("Winsock.GetHostName failed");
    buf[sizeof buf - 1] = '\0';
    return buf;
}

// ---------------------------------------------------------------------------------------------
// Life cycle

TCustomWSocket::TCustomWSocket() : FLoop(TEventLoop::Current()) {
    FWindow = std::make_unique<TMessageTarget>(
        [this](unsigned Msg, std::uintptr_t W, std::intptr_t L) { WindowMessage(Msg, W, L); });
    {
        std::lock_guard<std::mutex> guard(GLoadLock);
        ++GSocketCount;
    }
    AssignDefaultValue();
}

TCustomWSocket::~TCustomWSocket() {
    // Nothing is delivered from here on: the owner may be half gone already.
    FDestroying = true;
    try {
        CancelLookup();
    } catch (...) {
    }
    if (FState != wsClosed) {
        try {
            Close();
        } catch (...) {
        }
    }
    ReleaseHandle();
    {
        std::lock_guard<std::mutex> guard(GLoadLock);
        if (--GSocketCount < 1) GStarted = false;
    }
    FWindow.reset();
}

void TCustomWSocket::AssignDefaultValue() {
    if (FHSocket >= 0) ReleaseHandle();
    FSinAddr = 0;
    FSinPort = 0;
    FAddrAssigned = false;
    FAddrResolved = false;
    FPortAssigned = false;
    FPortResolved = false;
    FProtoStr = std::string("tcp");
    FProtoAssigned = true;
    FProtoResolved = false;
    FProtocol = IPPROTO_TCP;
    FType = 1;
    FLocalPortStr = std::string("0");
    FLocalPortNum = 0;
    FLocalPortResolved = false;
    FLocalAddr = std::string("0.0.0.0");
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    FSelectEvents = 0;
    FAllSent = true;
    FPaused = false;
    FReadCount = 0;
    FCloseInvoked = false;
    FFlushTimeout = 60;
}

void TCustomWSocket::ReleaseHandle() {
    if (FWatch != 0) {
        FLoop.UnwatchFd(FWatch);
        FWatch = 0;
    }
    if (FHSocket >= 0) {
        ::close(FHSocket);
        FHSocket = -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Properties

// The part of the address named Name changes only while closed; assigning the same value
// again is no error.
void TCustomWSocket::AssignWhileClosed(const std::string& Value, const char* Name,
                                       std::string& Text, bool& Assigned, bool& Resolved) {
    std::string t = TrimBlanks(Value);
    if (FState != wsClosed) {
        if (t != Text)
            RaiseSocketException(std::string("Cannot change ") + Name + " if not closed");
        return;
    }
    Text = t;
    Assigned = !t.empty();
    Resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& Value) {
    AssignWhileClosed(Value, "Addr", FAddrStr, FAddrAssigned, FAddrResolved);
}

void TCustomWSocket::SetPort(const std::string& Value) {
    AssignWhileClosed(Value, "Port", FPortStr, FPortAssigned, FPortResolved);
}

void TCustomWSocket::SetProto(const std::string& Value) {
    AssignWhileClosed(Value, "Proto", FProtoStr, FProtoAssigned, FProtoResolved);
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
    if (FState != wsClosed) {
        RaiseSocketException("Cannot change LocalAddr if not closed");
        return;
    }
    FLocalAddr = Value.empty() ? "0.0.0.0" : Value;
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
    if (FState != wsClosed) {
        RaiseSocketException("Cannot change LocalPort if not closed");
        return;
    }
    FLocalPortStr = Value;
    FLocalPortResolved = false;
}

std::uint8_t TCustomWSocket::ReqVerLow() const {
    std::lock_guard<std::mutex> guard(GLoadLock);
    return GReqVerLow;
}

std::uint8_t TCustomWSocket::ReqVerHigh() const {
    std::lock_guard<std::mutex> guard(GLoadLock);
    return GReqVerHigh;
}

// The requested version is read when the first socket starts the stack; later it is fixed.
void TCustomWSocket::SetReqVerPart(std::uint8_t& Part, std::uint8_t Value, const char* Setter) {
    {
        std::lock_guard<std::mutex> guard(GLoadLock);
        if (!GStarted) {
            Part = Value;
            return;
        }
    }
    WSocketSetLastError(WSAEINVAL);
    SocketError(std::string(Setter) + ": WinSock version can't be changed now");
}

void TCustomWSocket::SetReqVerLow(std::uint8_t Value) {
    SetReqVerPart(GReqVerLow, Value, "SetReqVerLow");
}

void TCustomWSocket::SetReqVerHigh(std::uint8_t Value) {
    SetReqVerPart(GReqVerHigh, Value, "SetReqVerHigh");
}

TSocketSendFlags TCustomWSocket::SendFlags() const {
    switch (FSendFlags) {
        case 0:
            return wsSendNormal;
        case MSG_OOB:
            return wsSendUrgent;
        default:
            const_cast<TCustomWSocket*>(this)->RaiseSocketException("Invalid internal SendFlags");
            return wsSendNormal;
    }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
    switch (Value) {
        case wsSendNormal:
            FSendFlags = 0;
            return;
        case wsSendUrgent:
            FSendFlags = MSG_OOB;
            return;
    }
    RaiseSocketException("Invalid SendFlags");
}

int TCustomWSocket::RcvdCount() {
    if (FHSocket < 0) return -1;
    int n = 0;
    if (ioctl(FHSocket, FIONREAD, &n) != 0) {
        WSocketRecordErrno();
        return -1;
    }
    return n;
}

// The connected peer's address record; false, after the error is reported, when there is none.
bool TCustomWSocket::PeerName(sockaddr_in& Sa, const char* Caller) {
    if (FState != wsConnected) return false;
    socklen_t len = sizeof Sa;
    if (getpeername(FHSocket, reinterpret_cast<sockaddr*>(&Sa), &len) != 0) {
        WSocketRecordErrno();
        SocketError(Caller);
        return false;
    }
    return true;
}

std::string TCustomWSocket::GetPeerAddr() {
    sockaddr_in sa{};
    return PeerName(sa, "GetPeerAddr") ? Dotted(sa.sin_addr.s_addr) : "error";
}

std::string TCustomWSocket::GetPeerPort() {
    sockaddr_in sa{};
    return PeerName(sa, "GetPeerPort") ? std::to_string(ntohs(sa.sin_port)) : "error";
}

// ---------------------------------------------------------------------------------------------
// Errors and events

void TCustomWSocket::SocketError(const std::string& FunctionName) {
    int code = WSocketGetLastError();
    std::string msg = "Error " + std::to_string(code) + " in function " + FunctionName + "\r\n" +
                      ErrorDescription(code);
    if (code == WSAECONNRESET || code == WSAENOTCONN) {
        ReleaseHandle();
        if (FState != wsClosed && !FCloseInvoked) {
            FCloseInvoked = true;
            FireSessionClosed(Word(code));
        }
        ChangeState(wsClosed);
    }
    FLastError = code;
    RaiseSocketException(msg);
}

void TCustomWSocket::RaiseSocketException(const std::string& Text) {
    if (OnError) {
        FireError();
        return;
    }
    throw ESocketException(Text);
}

void TCustomWSocket::HandleBackGroundException(const std::exception& E) {
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, canClose);
        } catch (...) {
        }
    }
    if (canClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

namespace {
const char* SocketStateName(TSocketState State) {
    static const char* const kNames[] = {"InvalidState", "Opened",         "Bound",
                                         "Connecting",   "SocksConnected", "Connected",
                                         "Accepting",    "Listening",      "Closed"};
    return State >= wsInvalidState && State <= wsClosed ? kNames[State] : "?";
}
}  // namespace

// The one writer of the state, so that the trace shows every change.
void TCustomWSocket::ChangeState(TSocketState NewState) {
    TSocketState old = FState;
    if (old != NewState)
        DebugOutput(std::string("socket state ") + SocketStateName(old) + " -> " +
                    SocketStateName(NewState));
    FState = NewState;
    ApplySelectEvents();
    if (old != NewState) FireChangeState(old, NewState);
}

void TCustomWSocket::FireChangeState(TSocketState OldState, TSocketState NewState) {
    if (!FDestroying && OnChangeState) OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::FireDataAvailable(std::uint16_t Error) {
    if (FDestroying) return;
    if (OnDataAvailable) {
        OnDataAvailable(this, Error);
        return;
    }
    // Nobody wants the bytes: drop them so the connection keeps moving.
    char junk[1024];
    if (Receive(junk, sizeof junk) < 0 && FLastError == WSAEWOULDBLOCK) FLastError = 0;
}

void TCustomWSocket::FireSessionAvailable(std::uint16_t Error) {
    if (!FDestroying && OnSessionAvailable) OnSessionAvailable(this, Error);
}

void TCustomWSocket::FireSessionConnected(std::uint16_t Error) {
    FireSessionConnectedSpecial(Error);
}

void TCustomWSocket::FireSessionConnectedSpecial(std::uint16_t Error) {
    if (!FDestroying && OnSessionConnected) OnSessionConnected(this, Error);
}

void TCustomWSocket::FireSessionClosed(std::uint16_t Error) {
    if (!FDestroying && OnSessionClosed) OnSessionClosed(this, Error);
}

void TCustomWSocket::FireDataSent(std::uint16_t Error) {
    if (!FDestroying && OnDataSent) OnDataSent(this, Error);
}

void TCustomWSocket::FireDnsLookupDone(std::uint16_t Error) {
    if (!FDestroying && OnDnsLookupDone) OnDnsLookupDone(this, Error);
}

void TCustomWSocket::FireError() {
    if (!FDestroying && OnError) OnError(this);
}

void TCustomWSocket::ConnectFailed(std::uint16_t Error) {
    const TConnectionMark mark = MarkConnection();
    TCustomWSocket::FireSessionConnected(Error);
    if (mark.Open()) InternalClose(true, Error);
}

// ---------------------------------------------------------------------------------------------
// Notices

template <typename F>
void TCustomWSocket::Guarded(F&& Fn) {
    ++FDispatchDepth;
    try {
        Fn();
    } catch (const std::exception& e) {
        FSelectMessage = 0;
        HandleBackGroundException(e);
    } catch (...) {
        FSelectMessage = 0;
        HandleBackGroundException(ESocketException("Unknown exception"));
    }
    --FDispatchDepth;
}

void TCustomWSocket::WindowMessage(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) {
    if (Msg == WM_WSOCKET_RELEASE) {
        // Deleting while one of our own notices is still on the stack (a handler pumping the
        // loop) would pull the socket out from under it; try again from the outer loop.
        if (FDispatchDepth > 0) {
            FWindow->Post(Msg, WParam, LParam);
            return;
        }
        delete this;
        return;
    }
    Guarded([&] { WndProc(Msg, WParam, LParam); });
}

void TCustomWSocket::WndProc(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) {
    std::uint32_t word = static_cast<std::uint32_t>(LParam);
    switch (Msg) {
        case WM_ASYNCSELECT:
            HandleSelectNotice(WParam, word);
            break;
        case WM_ASYNCGETHOSTBYNAME:
        case WM_ASYNCGETHOSTBYADDR:
            HandleLookupNotice(WParam, word);
            break;
        case WM_CLOSE_DELAYED:
            Close();
            break;
        default:
            break;
    }
}

void TCustomWSocket::OnDescriptorReady(short Revents) {
    Guarded([&] {
        if (FHSocket < 0) return;
        if (FState == wsConnecting) {
            int err = FPendingConnectError;
            FPendingConnectError = 0;
            if (err == 0) {
                int soerr = 0;
                socklen_t len = sizeof soerr;
                getsockopt(FHSocket, SOL_SOCKET, SO_ERROR, &soerr, &len);
                err = WSocketErrorFromErrno(soerr);
            }
            FReadArmed = true;
            HandleSelectNotice(FSerial, FD_CONNECT | (static_cast<std::uint32_t>(err) << 16));
            return;
        }
        unsigned bits = 0;
        if ((Revents & POLLIN) && FReadArmed) {
            bits |= FD_READ;
            FReadArmed = false;
        }
        if ((Revents & POLLOUT) && FWriteArmed) {
            bits |= FD_WRITE;
            FWriteArmed = false;
        }
        bool closing = (Revents & (POLLRDHUP | POLLHUP | POLLERR)) && !FCloseNoticed && FType == 1;
        int closeErr = 0;
        if (closing) {
            FCloseNoticed = true;
            if (Revents & POLLERR) {
                int soerr = 0;
                socklen_t len = sizeof soerr;
                getsockopt(FHSocket, SOL_SOCKET, SO_ERROR, &soerr, &len);
                closeErr = WSocketErrorFromErrno(soerr);
            }
        }
        ApplySelectEvents();
        std::uint64_t serial = FSerial;
        if (bits != 0) HandleSelectNotice(serial, bits);
        // The close comes as a notice of its own, carrying its error, after read and write.
        if (closing)
            HandleSelectNotice(serial, FD_CLOSE | (static_cast<std::uint32_t>(closeErr) << 16));
    });
}

void TCustomWSocket::Rearm(unsigned Bit) {
    if (Bit == FD_READ) FReadArmed = true;
    if (Bit == FD_WRITE) FWriteArmed = true;
    if (Bit == FD_CLOSE) FCloseNoticed = false;
    ApplySelectEvents();
}

void TCustomWSocket::HandleSelectNotice(std::uint64_t Serial, std::uint32_t Word) {
    static constexpr unsigned Order[] = {FD_CONNECT, FD_READ, FD_WRITE, FD_ACCEPT, FD_CLOSE};
    unsigned bits = Word & 0xFFFF;
    std::uint16_t err = static_cast<std::uint16_t>(Word >> 16);
    for (unsigned bit : Order) {
        if ((bits & bit) == 0) continue;
        if (!TConnectionMark(this, Serial).Open()) return;
        // A handler paused us: keep the event for after ResumeEvents instead of losing it.
        if (FPaused) {
            Rearm(bit);
            continue;
        }
        FSelectMessage = bit;
        switch (bit) {
            case FD_CONNECT:
                Do_FD_CONNECT(err);
                break;
            case FD_READ:
                Do_FD_READ(err);
                break;
            case FD_WRITE:
                Do_FD_WRITE(err);
                break;
            case FD_ACCEPT:
                Do_FD_ACCEPT(err);
                break;
            case FD_CLOSE:
                Do_FD_CLOSE(err);
                break;
        }
        FSelectMessage = 0;
    }
}

void TCustomWSocket::Do_FD_CONNECT(std::uint16_t Error) {
    if (FState == wsConnected) return;
    const TConnectionMark mark = MarkConnection();
    ChangeState(wsConnected);
    FireSessionConnected(Error);
    // A handler that already closed, or closed and connected anew, has settled it.
    if (Error != 0 && FState != wsClosed && !mark.Replaced()) Close();
}

void TCustomWSocket::Do_FD_READ(std::uint16_t Error) {
    if (FState != wsConnected) {
        ChangeState(wsConnected);
        FireSessionConnected(Error);
    }
    ReceiveLoop(Error, FComponentOptions);
}

void TCustomWSocket::Do_FD_WRITE(std::uint16_t Error) {
    const TConnectionMark mark = MarkConnection();
    TryToSend();
    // A send that failed and closed the connection must not read as "all sent".
    if (FAllSent && mark.Open()) FireDataSent(Error);
}

void TCustomWSocket::Do_FD_ACCEPT(std::uint16_t Error) {
    FireSessionAvailable(Error);
}

void TCustomWSocket::Do_FD_CLOSE(std::uint16_t Error) {
    if (FState == wsConnecting || FHSocket < 0) return;
    const TConnectionMark mark = MarkConnection();
    ReceiveLoop(Error, TWSocketOptions(FComponentOptions).Exclude(wsoNoReceiveLoop));
    if (!mark.Open()) return;  // a handler closed it meanwhile
    if (!FCloseInvoked) {
        FCloseInvoked = true;
        FireSessionClosed(Error);
    }
    if (FState != wsClosed && !mark.Replaced()) Close();
}

void TCustomWSocket::ReceiveLoop(std::uint16_t Error, TWSocketOptions Options) {
    const TConnectionMark mark = MarkConnection();
    for (;;) {
        FLastError = 0;
        FReadDone = false;
        FireDataAvailable(Error);
        if (!mark.Open()) return;
        if (Options.Has(wsoNoReceiveLoop)) return;
        if (FLastError != 0) {
            if (FLastError == -1) FLastError = 0;
            return;
        }
        if (!FPaused && HeldInputTaken()) continue;
        // A handler that read nothing (or paused) would make this spin forever on the same
        // pending bytes; they stay pending and the next read re-arms the notice.
        if (!FReadDone || FPaused) return;
        // A short read already said nothing is pending; anything arriving after it comes with
        // a fresh notice, so the count is only asked for after full reads.
        if (FReadDrained) return;
        // Pending bytes only grow between our own reads, so while the last count is not used
        // up they are certainly there and asking again would only cost a system call.
        if (FKnownPending > 0) continue;
        int pending = 0;
        if (ioctl(FHSocket, FIONREAD, &pending) != 0) {
            FLastError = WSocketRecordErrno();
            return;
        }
        FKnownPending = pending;
        if (pending == 0) return;
    }
}

void TCustomWSocket::ApplySelectEvents() {
    if (FWatch == 0) return;
    short ev = 0;
    if (!FPaused && FHSocket >= 0 && FSelectEvents != 0) {
        if (FState == wsConnecting) {
            ev = POLLOUT;
        } else if (FState == wsConnected || FState == wsSocksConnected) {
            if (FReadArmed) ev |= POLLIN;
            if (FWriteArmed) ev |= POLLOUT;
            if (!FCloseNoticed && FType == 1) ev |= POLLRDHUP;
        }
    }
    FLoop.SetFdEvents(FWatch, ev);
}

// ---------------------------------------------------------------------------------------------
// Connecting

void TCustomWSocket::SetLingerOption() {
    if (FLingerOnOff == wsLingerNoSet) return;
    if (FHSocket < 0) {
        RaiseSocketException("Cannot set linger option at this time");
        return;
    }
    linger l{};
    l.l_onoff = FLingerOnOff == wsLingerOn ? 1 : 0;
    l.l_linger = FLingerTimeout;
    if (setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) {
        WSocketRecordErrno();
        SocketError("setsockopt(SO_LINGER)");
    }
}

bool TCustomWSocket::BindSocket() {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(FLocalPortNum);
    sa.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
    if (bind(FHSocket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        int err = WSocketRecordErrno();
        RaiseSocketException(Format("winsock.bind failed, error #%d", err));
        return false;
    }
    socklen_t len = sizeof sa;
    if (getsockname(FHSocket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        int err = WSocketRecordErrno();
        RaiseSocketException(Format("winsock.getsockname failed, error #%d", err));
        return false;
    }
    FLocalPortNum = ntohs(sa.sin_port);
    FLocalPortStr = std::to_string(FLocalPortNum);
    return true;
}

namespace {
// A descriptor option that cannot be set is reported as the platform's error of that call.
bool SetOption(TCustomWSocket& Socket, int Fd, int Level, int Name, const void* Value,
               socklen_t Len, const char* What) {
    if (setsockopt(Fd, Level, Name, Value, Len) == 0) return true;
    WSocketRecordErrno();
    Socket.SocketError(What);
    return false;
}
}  // namespace

void TCustomWSocket::Connect() {
    if (!ResolveDestination()) return;
    int fd = OpenDescriptor();
    if (fd < 0) return;
    if (!(FType == 1 ? SetStreamOptions(fd) : SetDatagramOptions(fd))) return;
    StartConnecting(fd);
}

bool TCustomWSocket::ResolveDestination() {
    if (FHSocket >= 0 && FState != wsClosed) {
        RaiseSocketException("Connect: Socket already in use");
        return false;
    }
    if (!FPortAssigned) {
        RaiseSocketException("Connect: No Port Specified");
        return false;
    }
    if (!FAddrAssigned) {
        RaiseSocketException("Connect: No IP Address Specified");
        return false;
    }
    if (!FProtoAssigned) {
        RaiseSocketException("Connect: No Protocol Specified");
        return false;
    }
    StartPlatform();
    try {
        if (!FProtoResolved) {
            FProtocol = WSocketResolveProto(FProtoStr);
            FType = FProtocol == IPPROTO_TCP ? 1 : FProtocol == IPPROTO_UDP ? 2 : 3;
            FProtoResolved = true;
        }
        if (!FPortResolved) {
            FSinPort = WSocketResolvePort(FPortStr, FProtoStr);
            FPortResolved = true;
        }
        if (!FLocalPortResolved) {
            FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProtoStr);
            FLocalPortResolved = true;
        }
        if (!FAddrResolved) {
            FSinAddr = WSocketResolveHost(FAddrStr);
            FAddrResolved = true;
        }
    } catch (const ESocketException& e) {
        RaiseSocketException(std::string("connect: ") + e.what());
        return false;
    }
    return true;
}

int TCustomWSocket::OpenDescriptor() {
    DeleteBufferedData();
    ReleaseHandle();
    int type = FType == 1 ? SOCK_STREAM : FType == 2 ? SOCK_DGRAM : SOCK_RAW;
    int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, FProtocol);
    if (fd < 0) {
        WSocketRecordErrno();
        SocketError("Connect (socket)");
        return -1;
    }
    FHSocket = fd;
    FSerial = GNextSerial++;
    FReadArmed = true;
    FWriteArmed = false;
    FCloseNoticed = false;
    FPendingConnectError = 0;
    FKnownPending = 0;
    // A new connection gets its own OnSessionClosed, whatever ended the previous one.
    FCloseInvoked = false;

    socklen_t len = sizeof FSndBufSize;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &FSndBufSize, &len) != 0) {
        WSocketRecordErrno();
        SocketError("getsockopt(SO_SNDBUF)");
        return -1;
    }
    len = sizeof FRcvBufSize;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &FRcvBufSize, &len) != 0) {
        WSocketRecordErrno();
        SocketError("getsockopt(SO_RCVBUF)");
        return -1;
    }

    ChangeState(wsOpened);
    if (FState != wsOpened) {
        WSocketSetLastError(WSAEINVAL);
        SocketError("Connect (Invalid operation in OnChangeState)");
        return -1;
    }
    return fd;
}

bool TCustomWSocket::SetStreamOptions(int Fd) {
    int on = 1;
    if (!SetOption(*this, Fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on, "setsockopt(SO_REUSEADDR)"))
        return false;
    if (FComponentOptions.Has(wsoTcpNoDelay) &&
        !SetOption(*this, Fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on,
                   "setsockopt(IPPROTO_TCP, TCP_NODELAY)"))
        return false;
    SetLingerOption();
    if (FHSocket != Fd) return false;
    if (!SetOption(*this, Fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on, "setsockopt(SO_KEEPALIVE)"))
        return false;
    return (FLocalPortNum == 0 && FLocalAddr == "0.0.0.0") || BindSocket();
}

bool TCustomWSocket::SetDatagramOptions(int Fd) {
    if (!BindSocket()) return false;
    if (FMultiCast) {
        if (FMultiCastIpTTL != 1) {
            unsigned char ttl = static_cast<unsigned char>(FMultiCastIpTTL);
            if (!SetOption(*this, Fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl,
                           "setsockopt(IP_MULTICAST_TTL)"))
                return false;
        }
        if (FLocalAddr != "0.0.0.0") {
            in_addr ifaddr{};
            ifaddr.s_addr = WSocketResolveHost(FLocalAddr);
            if (!SetOption(*this, Fd, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr,
                           "setsockopt(IP_MULTICAST_IF)"))
                return false;
        }
    }
    int on = 1;
    return FSinAddr != INADDR_BROADCAST || SetOption(*this, Fd, SOL_SOCKET, SO_BROADCAST, &on,
                                                     sizeof on, "setsockopt(SO_BROADCAST)");
}

void TCustomWSocket::StartConnecting(int Fd) {
    FSelectEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
    FWatch = FLoop.WatchFd(Fd, 0, [this](short Revents) { OnDescriptorReady(Revents); });
    ApplySelectEvents();

    if (FType != 1) {
        ChangeState(wsConnected);
        FireSessionConnected(0);
        return;
    }

    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(FSinPort);
    sa.sin_addr.s_addr = FSinAddr;
    if (::connect(Fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        int e = errno;
        int err = WSocketErrorFromErrno(e);
        // Linux may settle a loopback connect inside the call; the desktop platform always
        // answers from the loop, so the outcome is reported from there all the same.
        if (e == ECONNREFUSED || e == ETIMEDOUT || e == ENETUNREACH || e == EHOSTUNREACH ||
            e == ECONNRESET) {
            FPendingConnectError = err;
        } else if (err != WSAEWOULDBLOCK) {
            WSocketSetLastError(err);
            FLastError = err;
            SocketError("Connect");
            return;
        }
    }
    ChangeState(wsConnecting);
}

// ---------------------------------------------------------------------------------------------
// Sending

void TCustomWSocket::DeleteBufferedData() {
    FBufList.clear();
}

bool TCustomWSocket::SendQueueEmpty() const {
    for (const TBuffer& b : FBufList) {
        int len;
        if (b.PeekData(len) != nullptr) return false;
    }
    return true;
}

void TCustomWSocket::QueueSendData(const void* Data, int Len) {
    if (Data == nullptr || Len <= 0) return;
    const char* p = static_cast<const char*>(Data);
    if (FBufList.empty()) FBufList.emplace_back(FBufSize);
    for (;;) {
        int n = FBufList.back().Append(p, Len);
        p += n;
        Len -= n;
        if (Len <= 0) break;
        FBufList.emplace_back(FBufSize);
    }
    FAllSent = false;
}

int TCustomWSocket::Send(const void* Data, int Len) {
    if (FState != wsConnected && FState != wsSocksConnected) {
        WSocketSetLastError(WSAENOTCONN);
        SocketError("Send");
        return -1;
    }
    FAllSent = false;
    int result = 0;
    if (Len > 0 && Data != nullptr) {
        QueueSendData(Data, Len);
        result = Len;
    }
    TryToSend();
    if (FAllSent && FHSocket >= 0) FWindow->Post(WM_ASYNCSELECT, FSerial, FD_WRITE);
    return result;
}

int TCustomWSocket::SendText(const std::string& Text) {
    if (Text.empty()) return 0;
    return Send(Text.data(), static_cast<int>(Text.size()));
}

int TCustomWSocket::RealSend(const char* Data, int Len) {
    ssize_t n;
    if (FType == 1) {
        n = ::send(FHSocket, Data, Len, FSendFlags | MSG_NOSIGNAL);
    } else {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(FSinPort);
        sa.sin_addr.s_addr = FSinAddr;
        n = ::sendto(FHSocket, Data, Len, FSendFlags | MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    if (n < 0) {
        WSocketRecordErrno();
        return -1;
    }
    return static_cast<int>(n);
}

void TCustomWSocket::TryToSend() {
    if (FHSocket < 0 || FBufList.empty()) {
        FAllSent = true;
        return;
    }
    const TConnectionMark mark = MarkConnection();
    for (;;) {
        int len = 0;
        const char* p = FBufList.front().PeekData(len);
        if (p == nullptr) {
            if (FBufList.size() == 1) {
                FAllSent = true;
                return;
            }
            FBufList.pop_front();
            continue;
        }
        int count = RealSend(p, len);
        if (count > 0) {
            // Consumed before the event: a handler that sends again must not resend these.
            FBufList.front().Consume(count);
            if (OnSendData && !FDestroying) OnSendData(this, count);
            if (!mark.Open() || FBufList.empty()) return;
            if (count < len) {
                if (!FWriteArmed) {
                    FWriteArmed = true;
                    ApplySelectEvents();
                }
                return;
            }
            continue;
        }
        if (count == 0) return;
        int err = WSocketGetLastError();
        if (err == WSAEWOULDBLOCK) {
            if (!FWriteArmed) {
                FWriteArmed = true;
                ApplySelectEvents();
            }
            return;
        }
        if (err == WSAEINVAL || err == WSAENOTSOCK || err == WSAECONNABORTED ||
            err == WSAECONNRESET || err == WSAENOTCONN) {
            FCloseInvoked = true;
            Close();
            FireSessionClosed(Word(err));
            return;
        }
        FLastError = err;
        SocketError("TryToSend failed");
        return;
    }
}

// ---------------------------------------------------------------------------------------------
// Receiving

int TCustomWSocket::ReadRaw(void* Buffer, int BufferSize) {
    if (FHSocket < 0) {
        WSocketSetLastError(WSAENOTSOCK);
        return -1;
    }
    FReadDone = true;
    if (!FReadArmed) {
        FReadArmed = true;
        ApplySelectEvents();
    }
    ssize_t n = ::recv(FHSocket, Buffer, BufferSize < 0 ? 0 : BufferSize, 0);
    if (n < 0) {
        FReadDrained = false;
        FKnownPending = 0;
        WSocketRecordErrno();
        return -1;
    }
    FReadDrained = n < BufferSize;
    FKnownPending = FReadDrained ? 0 : std::max<std::int64_t>(FKnownPending - n, 0);
    return static_cast<int>(n);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
    int n = ReadRaw(Buffer, BufferSize);
    if (n < 0)
        FLastError = WSocketGetLastError();
    else
        FReadCount += n;
    return n;
}

std::string TCustomWSocket::ReceiveText() {
    int n = RcvdCount();
    if (n < 0) return "";
    if (n == 0) n = 255;
    std::string s(static_cast<std::size_t>(n), '\0');
    int got = Receive(s.data(), n);
    if (got <= 0) return "";
    s.resize(static_cast<std::size_t>(got));
    return s;
}

// ---------------------------------------------------------------------------------------------
// Closing

void TCustomWSocket::InternalClose(bool ShutFirst, std::uint16_t Error) {
    if (FHSocket >= 0) {
        if (FState == wsClosed) return;
        if (ShutFirst) ::shutdown(FHSocket, SHUT_WR);
        if (FWatch != 0) {
            FLoop.UnwatchFd(FWatch);
            FWatch = 0;
        }
        int fd = FHSocket;
        FHSocket = -1;
        if (::close(fd) != 0 && errno != EINTR) {
            int err = WSocketRecordErrno();
            if (err != WSANOTINITIALISED) {
                SocketError("Disconnect (closesocket)");
                return;
            }
        }
        ChangeState(wsClosed);
        const TConnectionMark mark = MarkConnection();
        if (!FDestroying && !FCloseInvoked) {
            FCloseInvoked = true;
            FireSessionClosed(Error);
        }
        // A handler that already started the next connection keeps its settings.
        if (mark.Replaced() || FHSocket >= 0) return;
    } else {
        if (FState == wsClosed) return;
        ChangeState(wsClosed);
    }
    try {
        AssignDefaultValue();
    } catch (...) {
    }
}

void TCustomWSocket::InternalAbort(std::uint16_t Error) {
    CancelLookup();
    DeleteBufferedData();
    if (FState == wsConnected && FProtocol == IPPROTO_TCP) {
        FLingerOnOff = wsLingerOff;
        SetLingerOption();
    }
    InternalClose(false, Error);
}

void TCustomWSocket::Close() {
    InternalClose(true, 0);
}

void TCustomWSocket::Abort() {
    InternalAbort(0);
}

void TCustomWSocket::CloseLater() {
    FWindow->Post(WM_CLOSE_DELAYED);
}

void TCustomWSocket::FreeLater() {
    FWindow->Post(WM_WSOCKET_RELEASE);
}

void TCustomWSocket::HalfClose(int How) {
    if (FHSocket >= 0) ::shutdown(FHSocket, How);
}

void TCustomWSocket::PauseEvents() {
    FPaused = true;
    ApplySelectEvents();
}

void TCustomWSocket::ResumeEvents() {
    FPaused = false;
    // Bytes that came in while paused must produce a read notice now.
    FReadArmed = true;
    ApplySelectEvents();
}

// ---------------------------------------------------------------------------------------------
// Waiting

void TCustomWSocket::DrainMessages() {
    FLoop.ProcessPending();
    if (FLoop.Terminated()) FTerminated = true;
}

void TCustomWSocket::PumpMessages() {
    if (FMultiThreaded)
        DrainMessages();
    else
        FLoop.ProcessPending();
}

// One round of a blocking wait: at most 1 ms for the next event instead of spinning.
void TCustomWSocket::WaitStep() {
    FLoop.WaitOne(1);
    if (FMultiThreaded && FLoop.Terminated()) FTerminated = true;
}

void TCustomWSocket::Flush() {
    while (FHSocket >= 0 && !SendQueueEmpty()) {
        TryToSend();
        if (FHSocket < 0 || SendQueueEmpty()) break;
        WaitStep();
    }
}

void TCustomWSocket::WaitClosed() {
    while (FHSocket >= 0 && FState != wsClosed) {
        WaitStep();
        // While paused no close notice can come; waiting on would never end.
        if (FHSocket < 0 || FState == wsClosed || FPaused) break;
        if (RcvdCount() > 0) FireDataAvailable(0);
        if (FHSocket < 0) break;
        char probe;
        if (::recv(FHSocket, &probe, 1, MSG_PEEK | MSG_DONTWAIT) < 0 &&
            WSocketRecordErrno() != WSAEWOULDBLOCK)
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Name lookup

void TCustomWSocket::StartLookup(const std::string& What, bool Reverse) {
    auto job = std::make_shared<TLookupJob>();
    job->Handle = GNextLookupHandle++;
    job->What = What;
    job->Reverse = Reverse;
    TTargetRef ref = FWindow->Ref();
    try {
        std::thread([job, ref] {
            RunLookup(*job);
            ref.Post(job->Reverse ? WM_ASYNCGETHOSTBYADDR : WM_ASYNCGETHOSTBYNAME, job->Handle,
                     static_cast<std::intptr_t>(static_cast<std::uint32_t>(job->Error) << 16));
        }).detach();
    } catch (const std::system_error& e) {
        RaiseSocketException(Format("%s: can't start DNS lookup, error #%d", What.c_str(),
                                    WSocketErrorFromErrno(e.code().value())));
        return;
    }
    FDnsLookupHandle = job->Handle;
    FLookup = std::move(job);
}

// The earlier lookup and its results are dropped without an event of their own.
void TCustomWSocket::DropLookup() {
    FDnsLookupHandle = 0;
    FLookup.reset();
    FDnsResult.clear();
    FDnsResultList.clear();
}

void TCustomWSocket::DnsLookup(const std::string& HostName) {
    if (HostName.empty()) {
        RaiseSocketException("DNS lookup: invalid host name.");
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    DropLookup();
    if (IsDottedAddress(HostName)) {
        FDnsResult = Dotted(ParseDotted(HostName));
        FDnsResultList.push_back(FDnsResult);
        FireDnsLookupDone(0);
        return;
    }
    StartPlatform();
    StartLookup(HostName, false);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
    if (HostAddr.empty() || HostAddr.size() > 256) {
        RaiseSocketException("ReverseDnsLookup: Invalid host name.");
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    DropLookup();
    StartPlatform();
    StartLookup(HostAddr, true);
}

void TCustomWSocket::HandleLookupNotice(std::uint64_t Handle, std::uint32_t Word) {
    if (Handle == 0 || Handle != FDnsLookupHandle) return;
    FDnsLookupHandle = 0;
    std::shared_ptr<TLookupJob> job = std::move(FLookup);
    std::uint16_t err = static_cast<std::uint16_t>(Word >> 16);
    if (err == 0 && job) {
        FDnsResultList = job->Results;
        FDnsResult = FDnsResultList.empty() ? std::string() : FDnsResultList.front();
    }
    FireDnsLookupDone(err);
}

void TCustomWSocket::CancelLookup() {
    if (FDnsLookupHandle == 0) return;
    // getaddrinfo cannot be stopped; its answer is dropped when it arrives.
    FDnsLookupHandle = 0;
    FLookup.reset();
    FireDnsLookupDone(WSAEINTR);
}
