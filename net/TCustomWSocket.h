// Event-driven non-blocking TCP socket, the bottom of TWSocket's class chain (the SOCKS, TLS, line
// and waiting layers sit on top; net/TWSocket.h). A socket belongs to the thread that
// constructs it: it registers a message target and its descriptor with that thread's
// TEventLoop, and every event is delivered on that thread while the loop runs. Owners hold the
// socket; FreeLater hands it to the loop to delete (only for sockets made with new).
//
// API in short (TCP client role):
//   s.OnSessionConnected = ...; s.OnDataAvailable = ...; s.OnSessionClosed = ...;
//   s.DnsLookup("host")  -> OnDnsLookupDone(err), DnsResult()  (dotted address: inside the call)
//   s.SetAddr(s.DnsResult()); s.SetPort("80"); s.Connect()  -> OnSessionConnected(err)
//   s.Send(p, n) / s.SendText(t) / s.QueueSendData(p, n)     -> OnSendData(n) ..., OnDataSent(0)
//   in OnDataAvailable: s.Receive(buf, size)                 -> count, -1 with LastError() set
//   s.Close() / s.CloseLater() / s.Abort()                   -> OnSessionClosed (once)
// Errors go to OnError when it is set (then LastError() tells which), else ESocketException.
// A socket being destroyed delivers no event at all. Error numbers are the desktop platform's
// socket numbers (net/WSocketErrors.h).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/TBuffer.h"
#include "net/WSocketErrors.h"
#include "net/WSocketLookup.h"
#include "platform/EventLoop.h"

struct sockaddr_storage;

enum TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsSocksConnected,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

enum TWSocketOption { wsoNoReceiveLoop, wsoTcpNoDelay, wsoSIO_RCVALL };

// A set of TWSocketOption.
class TWSocketOptions {
public:
    constexpr TWSocketOptions() = default;
    constexpr TWSocketOptions(std::initializer_list<TWSocketOption> Options) {
        for (TWSocketOption o : Options) Bits |= Bit(o);
    }
    constexpr bool Has(TWSocketOption o) const { return (Bits & Bit(o)) != 0; }
    constexpr TWSocketOptions& Include(TWSocketOption o) {
        Bits |= Bit(o);
        return *this;
    }
    constexpr TWSocketOptions& Exclude(TWSocketOption o) {
        Bits &= ~Bit(o);
        return *this;
    }
    constexpr bool operator==(const TWSocketOptions&) const = default;

private:
    static constexpr unsigned Bit(TWSocketOption o) { return 1u << static_cast<unsigned>(o); }
    unsigned Bits = 0;
};

enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

class ESocketException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Notification messages of a socket's target.
constexpr unsigned WM_ASYNCSELECT = WM_USER + 1;         // SelectNotice
constexpr unsigned WM_ASYNCGETHOSTBYNAME = WM_USER + 2;  // HostLookupNotice
constexpr unsigned WM_ASYNCGETHOSTBYADDR = WM_USER + 3;  // AddrLookupNotice
constexpr unsigned WM_CLOSE_DELAYED = WM_USER + 4;       // CloseLaterNotice
constexpr unsigned WM_WSOCKET_RELEASE = WM_USER + 5;     // FreeLaterNotice

// Event bits of a SelectNotice, in the platform's values.
constexpr unsigned FD_READ = 1;
constexpr unsigned FD_WRITE = 2;
constexpr unsigned FD_ACCEPT = 8;
constexpr unsigned FD_CONNECT = 16;
constexpr unsigned FD_CLOSE = 32;

struct TLookupJob;

class TCustomWSocket {
public:
    using TChangeState =
        std::function<void(TCustomWSocket* Sender, TSocketState OldState, TSocketState NewState)>;
    using TSessionEvent = std::function<void(TCustomWSocket* Sender, std::uint16_t ErrCode)>;
    using TSendDataEvent = std::function<void(TCustomWSocket* Sender, int BytesSent)>;
    using TNotifyEvent = std::function<void(TCustomWSocket* Sender)>;
    using TBgExceptionEvent =
        std::function<void(TCustomWSocket* Sender, const std::exception& E, bool& CanClose)>;

    TCustomWSocket();
    virtual ~TCustomWSocket();
    TCustomWSocket(const TCustomWSocket&) = delete;
    TCustomWSocket& operator=(const TCustomWSocket&) = delete;

    // Events; an unset event is skipped.
    TChangeState OnChangeState;
    TSessionEvent OnDnsLookupDone;
    TSessionEvent OnSessionConnected;
    TSessionEvent OnSessionAvailable;
    TSessionEvent OnDataAvailable;
    TSendDataEvent OnSendData;
    TSessionEvent OnDataSent;
    TSessionEvent OnSessionClosed;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

    // Properties. Addr, Port and Proto change only while closed (same value: always accepted);
    // LocalAddr and LocalPort only while closed. Values are trimmed; empty means unassigned.
    const std::string& Addr() const { return FAddrStr; }
    void SetAddr(const std::string& Value);
    const std::string& Port() const { return FPortStr; }
    virtual void SetPort(const std::string& Value);
    const std::string& Proto() const { return FProtoStr; }
    virtual void SetProto(const std::string& Value);
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& Value);
    const std::string& LocalPort() const { return FLocalPortStr; }
    void SetLocalPort(const std::string& Value);
    std::string PeerAddr() { return GetPeerAddr(); }
    std::string PeerPort() { return GetPeerPort(); }
    const std::string& DnsResult() const { return FDnsResult; }
    const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
    TSocketState State() const { return FState; }
    // The notice bit being handled right now (FD_READ ...), 0 outside a notice.
    unsigned SelectMessage() const { return FSelectMessage; }
    std::int64_t ReadCount() const { return FReadCount; }
    virtual int RcvdCount();
    int LastError() const { return FLastError; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
    bool MultiCast() const { return FMultiCast; }
    void SetMultiCast(bool Value) { FMultiCast = Value; }
    const std::string& MultiCastAddrStr() const { return FMultiCastAddrStr; }
    void SetMultiCastAddrStr(const std::string& Value) { FMultiCastAddrStr = Value; }
    int MultiCastIpTTL() const { return FMultiCastIpTTL; }
    void SetMultiCastIpTTL(int Value) { FMultiCastIpTTL = Value; }
    bool ReuseAddr() const { return FReuseAddr; }
    void SetReuseAddr(bool Value) { FReuseAddr = Value; }
    TWSocketOptions ComponentOptions() const { return FComponentOptions; }
    void SetComponentOptions(TWSocketOptions Value) { FComponentOptions = Value; }
    int ListenBacklog() const { return FListenBacklog; }
    void SetListenBacklog(int Value) { FListenBacklog = Value; }
    std::uint8_t ReqVerLow() const;
    void SetReqVerLow(std::uint8_t Value);
    std::uint8_t ReqVerHigh() const;
    void SetReqVerHigh(std::uint8_t Value);
    int FlushTimeout() const { return FFlushTimeout; }
    void SetFlushTimeout(int Value) { FFlushTimeout = Value; }
    TSocketSendFlags SendFlags() const;
    void SetSendFlags(TSocketSendFlags Value);
    TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
    int LingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(int Value) { FLingerTimeout = Value; }
    // The descriptor, -1 when none.
    int HSocket() const { return FHSocket; }
    bool AllSent() const { return FAllSent; }
    // Set when DrainMessages met a quit message.
    bool Terminated() const { return FTerminated; }
    // Platform buffer sizes read after the socket was created.
    int SndBufSize() const { return FSndBufSize; }
    int RcvBufSize() const { return FRcvBufSize; }

    // Operations.
    virtual void Connect();
    virtual void Close();
    virtual void CloseLater();
    virtual void FreeLater();
    virtual void Abort();
    virtual void Flush();
    virtual void WaitClosed();
    virtual int Receive(void* Buffer, int BufferSize);
    virtual std::string ReceiveText();
    virtual int Send(const void* Data, int Len);
    virtual int SendText(const std::string& Text);
    virtual void QueueSendData(const void* Data, int Len);
    virtual void DnsLookup(const std::string& HostName);
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    virtual void CancelLookup();
    virtual std::string GetPeerAddr();
    virtual std::string GetPeerPort();
    virtual void HalfClose(int How);
    virtual void PauseEvents();
    virtual void ResumeEvents();
    virtual void PumpMessages();
    // Runs the thread's loop until nothing is pending; a quit message sets Terminated().
    void DrainMessages();

    // Reports a platform error of FunctionName (the thread's last socket error).
    void SocketError(const std::string& FunctionName);
    // OnError when set (the text is dropped), else throws ESocketException(Text).
    virtual void RaiseSocketException(const std::string& Text);

protected:
    virtual void WndProc(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam);
    virtual void TryToSend();
    virtual void AssignDefaultValue();
    virtual void InternalClose(bool ShutFirst, std::uint16_t Error);
    virtual void InternalAbort(std::uint16_t Error);
    // Binds Fd to LocalAddr and LocalPort; false when the bind failed (already reported).
    virtual bool BindSocket(int Fd);
    virtual int RealSend(const char* Data, int Len);
    virtual void HandleBackGroundException(const std::exception& E);
    virtual void FireDataAvailable(std::uint16_t Error);
    virtual void FireSessionAvailable(std::uint16_t Error);
    virtual void FireSessionConnected(std::uint16_t Error);
    virtual void FireSessionConnectedSpecial(std::uint16_t Error);
    virtual void FireSessionClosed(std::uint16_t Error);
    virtual void FireDataSent(std::uint16_t Error);
    virtual void FireChangeState(TSocketState OldState, TSocketState NewState);
    virtual void FireDnsLookupDone(std::uint16_t Error);
    virtual void FireError();
    virtual int ReadRaw(void* Buffer, int BufferSize);
    virtual void Do_FD_CONNECT(std::uint16_t Error);
    virtual void Do_FD_READ(std::uint16_t Error);
    virtual void Do_FD_WRITE(std::uint16_t Error);
    virtual void Do_FD_ACCEPT(std::uint16_t Error);
    virtual void Do_FD_CLOSE(std::uint16_t Error);

    void ChangeState(TSocketState NewState);
    void ReceiveLoop(std::uint16_t Error, TWSocketOptions Options);
    void DeleteBufferedData();
    void SetLingerOption(int Fd);
    void ApplySelectEvents();
    bool SendQueueEmpty() const;
    // For a layer that served a read from bytes it held: the platform's read notice comes
    // again as after a read of the socket itself.
    void RearmRead() { Rearm(FD_READ); }
    bool EventsPaused() const { return FPaused; }
    // The close of this connection is reported already or on its way (a failed send closes).
    bool CloseInvoked() const { return FCloseInvoked; }
    // For a layer that holds bytes already taken off the socket (decrypted records): true when
    // it still holds some and the reader took from it since the last call, so the receive loop
    // offers them again instead of waiting for a notice that will not come.
    virtual bool HeldInputTaken() { return false; }

    // For the layers above. The next Connect goes to NetAddr:HostPort (network, host byte
    // order) without resolving Addr and Port, which keep naming the destination; a proxy layer
    // reaches its server this way.
    void SetConnectTarget(std::uint32_t NetAddr, std::uint16_t HostPort) {
        FSinAddr = NetAddr;
        FSinV6 = false;
        FSinPort = HostPort;
        FAddrResolved = FPortResolved = true;
        FFallbacks.clear();
    }
    // Taken before a handler runs, asked afterwards whether the handler closed the connection
    // or started another one: every descriptor gets a serial of its own. A default mark names
    // no connection.
    class TConnectionMark {
    public:
        TConnectionMark() = default;
        // The marked connection is still the open one.
        bool Open() const { return Same() && FSocket->FHSocket >= 0; }
        // The socket has moved on to another connection (or none was marked).
        bool Replaced() const { return !Same(); }

    private:
        friend class TCustomWSocket;
        TConnectionMark(const TCustomWSocket* Socket, std::uint64_t Serial)
            : FSocket(Socket), FSerial(Serial) {}
        bool Same() const { return FSocket != nullptr && FSerial == FSocket->FSerial; }
        const TCustomWSocket* FSocket = nullptr;
        std::uint64_t FSerial = 0;
    };
    TConnectionMark MarkConnection() const { return {this, FSerial}; }
    // A layer's connect failed (a refused tunnel, a failed handshake): OnSessionConnected(Error)
    // tells the owner, then the connection closes with Error unless the handler closed or
    // replaced it.
    void ConnectFailed(std::uint16_t Error);
    void PostToSelf(unsigned Msg) { FWindow->Post(Msg); }

private:
    // Counts the socket layer as started; from then on the requested version is fixed.
    static void StartPlatform();
    // A serial for a new descriptor, unique in the process.
    static std::uint64_t NextSerial();
    // The steps of Connect: each says false (or -1) when Connect must stop, already reported.
    bool ResolveDestination();
    int OpenDescriptor();
    bool SetStreamOptions(int Fd);
    bool SetDatagramOptions(int Fd);
    void StartConnecting(int Fd);
    void HandleSelectNotice(std::uint64_t Serial, std::uint32_t Word);
    void HandleLookupNotice(std::uint64_t Handle, std::uint32_t Word);
    void OnDescriptorReady(short Revents);
    void ReleaseHandle();
    void StartLookup(const std::string& What, bool Reverse);
    void DropLookup();
    bool PeerName(sockaddr_storage& Sa, const char* Caller);
    // Fills the address record from an address literal (IPv6, bracketed or not) or a name
    // (blocking IPv4 lookup); raises ESocketException.
    void ResolveAddressText(const std::string& Text);
    // Connection racing (RFC 8305) over the further addresses of a lookup: while the socket's
    // own descriptor connects, each further address gets a descriptor of its own, 250 ms after
    // the last one started or at once when one fails; the first to connect becomes the
    // socket's descriptor, the state staying wsConnecting until its connect notice.
    // The socket's own attempt failed: the oldest rival takes its place (the next address is
    // started at once). False when no attempt is left.
    bool ConnectNextAddress();
    // Starts the next address that gets as far as connecting; false when none is left.
    bool StartRival();
    void OnRivalReady(std::uint64_t Serial);
    void AdoptRival(std::size_t Index);
    // Arms the 250 ms step anew when further addresses are left.
    void RestartRaceTimer();
    // Closes the rivals and stops the timer.
    void DropRace();
    void WaitStep();
    void Rearm(unsigned Bit);
    void WindowMessage(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam);
    template <typename F>
    void Guarded(F&& Fn);
    void SetReqVerPart(std::uint8_t& Part, std::uint8_t Value, const char* Setter);
    void AssignWhileClosed(const std::string& Value, const char* Name, std::string& Text,
                           bool& Assigned, bool& Resolved);

    TEventLoop& FLoop;
    std::unique_ptr<TMessageTarget> FWindow;

    // Descriptor and its registration with the loop.
    int FHSocket = -1;
    std::uint64_t FSerial = 0;  // new for every descriptor; posted notices name it
    TEventLoop::TWatchId FWatch = 0;
    bool FReadArmed = false;         // a read notice may be given (re-armed by every read)
    bool FWriteArmed = false;        // a write notice is wanted (a send fell short)
    bool FCloseNoticed = false;      // the peer's close was reported already
    int FPendingConnectError = 0;    // a connect refused inside the call, reported from the loop
    int FDispatchDepth = 0;          // notices of this socket being handled right now
    bool FReadDone = false;          // a read happened since the receive loop's last pass
    bool FReadDrained = false;       // the last read got less than asked: nothing was left
    std::int64_t FKnownPending = 0;  // bytes the last pending count reported, minus reads since

    // Address record and what is assigned and resolved.
    std::uint32_t FSinAddr = 0;  // network order
    bool FSinV6 = false;         // the record is FSin6Addr, not FSinAddr
    TIpv6Bytes FSin6Addr{};
    // Further addresses of the lookup that gave Addr, not yet tried.
    std::vector<std::string> FFallbacks;
    // Attempts racing beside the socket's own descriptor; each gets a serial as it is started.
    struct TRival {
        int Fd = -1;
        std::uint64_t Serial = 0;
        TEventLoop::TWatchId Watch = 0;
    };
    std::vector<TRival> FRivals;
    TEventLoop::TTimerId FRaceTimer = 0;
    std::uint16_t FSinPort = 0;  // host order
    std::uint16_t FLocalPortNum = 0;
    int FProtocol = 6;
    int FType = 1;  // 1 stream, 2 datagram, 3 raw
    std::string FAddrStr, FPortStr, FProtoStr;
    std::string FLocalAddr = "0.0.0.0";
    std::string FLocalPortStr = "0";
    bool FAddrAssigned = false, FPortAssigned = false, FProtoAssigned = false;
    bool FAddrResolved = false, FPortResolved = false, FProtoResolved = false;
    bool FLocalPortResolved = false;

    // Send queue.
    std::list<TBuffer> FBufList;
    int FBufSize = 1460;
    bool FAllSent = true;

    bool FCloseInvoked = false;
    bool FPaused = false;
    bool FDestroying = false;
    bool FTerminated = false;
    unsigned FSelectEvents = 0;
    unsigned FSelectMessage = 0;  // event being handled

    std::uint64_t FDnsLookupHandle = 0;
    std::shared_ptr<TLookupJob> FLookup;
    std::string FDnsResult;
    std::vector<std::string> FDnsResultList;

    TSocketState FState = wsClosed;
    std::int64_t FReadCount = 0;
    int FLastError = 0;
    bool FMultiThreaded = false;
    bool FMultiCast = false;
    std::string FMultiCastAddrStr;
    int FMultiCastIpTTL = 1;
    bool FReuseAddr = false;
    TWSocketOptions FComponentOptions;
    int FListenBacklog = 5;
    int FFlushTimeout = 60;
    int FSendFlags = 0;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    int FLingerTimeout = 0;
    int FSndBufSize = 0;
    int FRcvBufSize = 0;
};

// Runs a handler of the loop; an escaping exception goes to HandleBackGroundException.
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
