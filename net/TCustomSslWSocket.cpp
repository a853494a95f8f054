// TLS over the socket's own events. OpenSSL reads and writes through a BIO of ours that calls
// the layers below: reads come from the SOCKS layer (which serves its leftover bytes first),
// writes go into the base send queue, which is then pushed as for any Send. So the raw reads
// keep the base layer's read notices armed exactly as plain reads do.
#include "net/TCustomSslWSocket.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "platform/AsciiText.h"
#include "platform/DebugOutput.h"

namespace {

// Deeper chains than this are not met in practice; a longer one is refused as untrusted.
constexpr int kVerifyDepth = 16;

std::string Env(const char* Name) {
    const char* v = std::getenv(Name);
    return v != nullptr ? v : "";
}

// One context for the process, made again when the trust-store settings of the environment
// change (tests point SSL_CERT_FILE at a private CA). Each session holds its own reference.
ssl_st* NewSession() {
    static std::mutex lock;
    static SSL_CTX* context = nullptr;
    static std::string contextKey;
    std::string key = Env("SSL_CERT_FILE") + '\n' + Env("SSL_CERT_DIR");
    std::lock_guard<std::mutex> guard(lock);
    if (context == nullptr || key != contextKey) {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        if (c == nullptr) return nullptr;
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_verify_depth(c, kVerifyDepth);
        // Reads the variables itself: SSL_CERT_FILE and SSL_CERT_DIR, else the system store.
        SSL_CTX_set_default_verify_paths(c);
        SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION);
        // Whole records per read instead of a header read and a body read.
        SSL_CTX_set_read_ahead(c, 1);
        SSL_CTX_free(context);
        context = c;
        contextKey = key;
    }
    return SSL_new(context);
}

std::string OpenSslReason() {
    unsigned long e = ERR_peek_last_error();
    const char* r = e != 0 ? ERR_reason_error_string(e) : nullptr;
    return r != nullptr ? r : "";
}

}  // namespace

// The BIO between OpenSSL and the socket layers below this one.
struct TSslBio {
    static TCustomSslWSocket* Owner(BIO* B) {
        return static_cast<TCustomSslWSocket*>(BIO_get_data(B));
    }

    static int Write(BIO* B, const char* Data, size_t Len, size_t* Written) {
        // The send queue takes everything; a slow peer only makes it longer.
        Owner(B)->RawWrite(Data, static_cast<int>(std::min<size_t>(Len, 1 << 30)));
        *Written = std::min<size_t>(Len, 1 << 30);
        return 1;
    }

    static int Read(BIO* B, char* Buffer, size_t Size, size_t* ReadBytes) {
        BIO_clear_retry_flags(B);
        int n = Owner(B)->RawRead(Buffer, static_cast<int>(std::min<size_t>(Size, 1 << 30)));
        if (n > 0) {
            *ReadBytes = static_cast<size_t>(n);
            return 1;
        }
        if (n < 0 && Owner(B)->FRawError == 0) BIO_set_retry_read(B);
        return 0;
    }

    static long Ctrl(BIO*, int Cmd, long, void*) { return Cmd == BIO_CTRL_FLUSH ? 1 : 0; }

    static int Create(BIO* B) {
        BIO_set_init(B, 1);
        return 1;
    }

    static BIO_METHOD* Method() {
        static BIO_METHOD* method = [] {
            BIO_METHOD* m =
                BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "sorlen socket");
            if (m == nullptr) return m;
            BIO_meth_set_write_ex(m, Write);
            BIO_meth_set_read_ex(m, Read);
            BIO_meth_set_ctrl(m, Ctrl);
            BIO_meth_set_create(m, Create);
            return m;
        }();
        return method;
    }
};

// ---------------------------------------------------------------------------------------------
// Settings and life cycle

TCustomSslWSocket::~TCustomSslWSocket() {
    FreeSsl();
}

void TCustomSslWSocket::SetSslEnable(bool Value) {
    if (State() != wsClosed) {
        RaiseSocketException("Can't change SslEnable if not closed");
        return;
    }
    FSslEnable = Value;
}

void TCustomSslWSocket::SetSslHostName(const std::string& Value) {
    if (State() != wsClosed) {
        RaiseSocketException("Can't change SslHostName if not closed");
        return;
    }
    FSslHostName = TrimBlanks(Value);
}

void TCustomSslWSocket::AssignDefaultValue() {
    TCustomSocksWSocket::AssignDefaultValue();
    FreeSsl();
}

void TCustomSslWSocket::SetSslState(TSslState NewState) {
    static const char* const kNames[] = {"Off", "WaitConnect", "Handshake", "Established",
                                         "ShuttingDown"};
    if (NewState != FSslState)
        DebugOutput(std::string("tls state ") + kNames[static_cast<int>(FSslState)] + " -> " +
                    kNames[static_cast<int>(NewState)]);
    FSslState = NewState;
}

void TCustomSslWSocket::FreeSsl() {
    if (FSsl != nullptr) {
        SSL_free(FSsl);  // and the BIO with it
        FSsl = nullptr;
    }
    std::string().swap(FEarlyData);
    FRawEof = false;
    FRawError = 0;
    SetSslState(TSslState::Off);
}

// ---------------------------------------------------------------------------------------------
// Connecting and the handshake

void TCustomSslWSocket::Connect() {
    // The layers below word every misuse of a socket in use themselves.
    if (HSocket() >= 0 && State() != wsClosed) {
        TCustomSocksWSocket::Connect();
        return;
    }
    FreeSsl();
    FSslError = 0;
    FSslErrorText.clear();
    if (FSslEnable) {
        if (!EqualsNoCase(Proto(), "tcp") && Proto() != "6") {
            RaiseSocketException("TLS needs tcp");
            return;
        }
        SetSslState(TSslState::WaitConnect);
    }
    TCustomSocksWSocket::Connect();
}

void TCustomSslWSocket::StartSsl() {
    if (State() != wsConnected || FSslState != TSslState::Off || Negotiating()) {
        RaiseSocketException("StartSsl: no connection, or TLS on it already");
        return;
    }
    FSslError = 0;
    FSslErrorText.clear();
    StartHandshake();
}

void TCustomSslWSocket::FireSessionConnected(std::uint16_t Error) {
    if (FSslState != TSslState::WaitConnect || SocksNegotiating()) {
        TCustomSocksWSocket::FireSessionConnected(Error);
        return;
    }
    if (Error != 0) {
        SetSslState(TSslState::Off);
        TCustomSocksWSocket::FireSessionConnected(Error);
        return;
    }
    StartHandshake();
}

void TCustomSslWSocket::StartHandshake() {
    ERR_clear_error();
    FSsl = NewSession();
    BIO* bio =
        FSsl != nullptr && TSslBio::Method() != nullptr ? BIO_new(TSslBio::Method()) : nullptr;
    if (bio == nullptr) {
        Failed(sslSetupFailed, "TLS session could not be set up: " + OpenSslReason());
        return;
    }
    BIO_set_data(bio, this);
    SSL_set_bio(FSsl, bio, bio);
    SSL_set_connect_state(FSsl);
    std::string name = FSslHostName.empty() ? Addr() : FSslHostName;
    TIpv6Bytes ip6{};
    const bool ipv6 = ParseIpv6Literal(name, ip6);
    if (ipv6 && name.front() == '[') name = name.substr(1, name.size() - 2);
    bool named = IsDottedAddress(name) || ipv6
                     ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), name.c_str()) == 1
                     : SSL_set_tlsext_host_name(FSsl, name.c_str()) == 1 &&
                           SSL_set1_host(FSsl, name.c_str()) == 1;
    if (!named) {
        Failed(sslSetupFailed, "TLS session could not be set up for '" + name + "'");
        return;
    }
    SSL_set_hostflags(FSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SetSslState(TSslState::Handshake);
    HandshakeStep();
}

void TCustomSslWSocket::HandshakeStep() {
    const TConnectionMark mark = MarkConnection();
    ERR_clear_error();
    int rc = SSL_do_handshake(FSsl);
    int err = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(FSsl, rc);
    // Our records go out whatever the outcome: a failure's alert tells the server why.
    FlushRaw();
    if (!mark.Open() || FSslState != TSslState::Handshake) return;
    if (rc == 1) {
        Handshaken();
        return;
    }
    if (err == SSL_ERROR_WANT_READ) return;
    ClassifyHandshakeError();
    Failed(FSslError, FSslErrorText);
}

void TCustomSslWSocket::Handshaken() {
    SetSslState(TSslState::Established);
    if (!FEarlyData.empty()) {
        std::string early;
        early.swap(FEarlyData);
        Encrypt(early.data(), static_cast<int>(early.size()));
        FlushRaw();
    }
    const TConnectionMark mark = MarkConnection();
    TCustomSocksWSocket::FireSessionConnected(0);
    // Records that came with the last handshake message were taken off the socket already; no
    // notice will tell of them.
    if (mark.Open() && FSsl != nullptr && SSL_has_pending(FSsl) == 1) PostHeld();
}

void TCustomSslWSocket::ClassifyHandshakeError() {
    long verify = SSL_get_verify_result(FSsl);
    std::string detail = X509_verify_cert_error_string(verify);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        FSslError = sslCertificateWrongHost;
        FSslErrorText = "certificate is for another host";
    } else if (verify == X509_V_ERR_CERT_HAS_EXPIRED || verify == X509_V_ERR_CERT_NOT_YET_VALID) {
        FSslError = sslCertificateExpired;
        FSslErrorText = "certificate expired or not yet valid (" + detail + ")";
    } else if (verify != X509_V_OK) {
        FSslError = sslCertificateUntrusted;
        FSslErrorText = "certificate not trusted (" + detail + ")";
    } else if (FRawError != 0) {
        FSslError = FRawError;
        FSslErrorText =
            "connection failed during TLS handshake (" + ErrorDescription(FRawError) + ")";
    } else if (FRawEof) {
        FSslError = sslServerClosed;
        FSslErrorText = "server closed the connection during TLS handshake";
    } else {
        std::string reason = OpenSslReason();
        FSslError = sslHandshakeFailed;
        FSslErrorText = "TLS handshake failed" + (reason.empty() ? "" : " (" + reason + ")");
    }
}

void TCustomSslWSocket::Failed(int Error, const std::string& Text) {
    FSslError = Error;
    FSslErrorText = Text;
    DebugOutput("tls failed: " + Text);
    SetSslState(TSslState::Off);
    ConnectFailed(static_cast<std::uint16_t>(Error));
}

// ---------------------------------------------------------------------------------------------
// Sending

void TCustomSslWSocket::Encrypt(const void* Data, int Len) {
    if (Data == nullptr || Len <= 0 || FSsl == nullptr) return;
    ERR_clear_error();
    size_t written = 0;
    // The BIO takes every record, so a write only fails on a broken session.
    if (SSL_write_ex(FSsl, Data, static_cast<size_t>(Len), &written) != 1) {
        FSslError = sslProtocolError;
        FSslErrorText = "TLS write failed (" + OpenSslReason() + ")";
    }
}

int TCustomSslWSocket::Send(const void* Data, int Len) {
    if (FSslState != TSslState::Handshake && FSslState != TSslState::Established)
        return TCustomSocksWSocket::Send(Data, Len);
    if (State() != wsConnected) return TCustomSocksWSocket::Send(Data, Len);
    int accepted = Data != nullptr && Len > 0 ? Len : 0;
    if (FSslState == TSslState::Handshake) {
        if (accepted > 0) FEarlyData.append(static_cast<const char*>(Data), accepted);
        return accepted;
    }
    Encrypt(Data, Len);
    return TCustomSocksWSocket::Send(nullptr, 0) < 0 ? -1 : accepted;
}

void TCustomSslWSocket::QueueSendData(const void* Data, int Len) {
    if (FSslState == TSslState::Established)
        Encrypt(Data, Len);
    else if (FSslState == TSslState::Handshake && Data != nullptr && Len > 0)
        FEarlyData.append(static_cast<const char*>(Data), Len);
    else
        TCustomSocksWSocket::QueueSendData(Data, Len);
}

void TCustomSslWSocket::FireDataSent(std::uint16_t Error) {
    // The tunnel's and the handshake's own bytes are no business of the owner's, who has not
    // been told of a connection yet.
    if (FSslState == TSslState::WaitConnect || FSslState == TSslState::Handshake) return;
    TCustomSocksWSocket::FireDataSent(Error);
}

// ---------------------------------------------------------------------------------------------
// Receiving

int TCustomSslWSocket::RawRead(char* Buffer, int Size) {
    FRawTouched = true;
    ++FRawReads;
    int n = TCustomSocksWSocket::ReadRaw(Buffer, Size);
    if (n == 0) FRawEof = true;
    if (n < 0) {
        int err = WSocketGetLastError();
        if (err != WSAEWOULDBLOCK) FRawError = err;
    }
    return n;
}

int TCustomSslWSocket::RcvdCount() {
    if (FSslState == TSslState::Handshake) return 0;
    if (FSslState == TSslState::Established) {
        int pending = SSL_pending(FSsl);
        if (pending > 0) return pending;
    }
    return TCustomSocksWSocket::RcvdCount();
}

int TCustomSslWSocket::ReadRaw(void* Buffer, int BufferSize) {
    if (FSslState == TSslState::Handshake) {
        // The handshake's records are not the owner's to read.
        WSocketSetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    if (FSslState != TSslState::Established && FSslState != TSslState::ShuttingDown)
        return TCustomSocksWSocket::ReadRaw(Buffer, BufferSize);
    if (FSslError == sslProtocolError) {
        WSocketSetLastError(WSAECONNABORTED);
        return -1;
    }
    if (BufferSize <= 0) return 0;
    ERR_clear_error();
    FRawTouched = false;
    const std::int64_t writes = FRawWrites;
    size_t got = 0;
    int rc = SSL_read_ex(FSsl, Buffer, static_cast<size_t>(BufferSize), &got);
    int err = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(FSsl, rc);
    int result = -1;
    int lastError = 0;
    if (rc == 1) {
        result = static_cast<int>(got);
        ++FPlainReads;
        // Served from records read earlier: the socket itself was not read, so its notice
        // must be asked for again once nothing is held any more.
        if (SSL_has_pending(FSsl) == 1)
            PostHeld();
        else if (!FRawTouched)
            RearmRead();
    } else if (err == SSL_ERROR_WANT_READ) {
        lastError = WSAEWOULDBLOCK;
    } else if (err == SSL_ERROR_ZERO_RETURN || FRawEof) {
        // The server's close alert, or its plain end of stream: the data ends here either way,
        // as it would on a plain connection.
        result = 0;
    } else if (FRawError != 0) {
        lastError = FRawError;
    } else {
        // A broken record or a refused renegotiation: nothing more can be read, and the peer
        // may well keep the connection open, so it is closed from the loop.
        FSslError = sslProtocolError;
        FSslErrorText = "TLS connection broken (" + OpenSslReason() + ")";
        FBroken = MarkConnection();
        PostToSelf(WM_SSL_BROKEN);
        lastError = WSAECONNABORTED;
    }
    // Reading may have answered the server (a key update, an alert). Sent from the loop: a
    // failed send closes the socket, which must not happen inside the owner's Receive (a line
    // reader would hand out its half-filled buffer).
    if (FRawWrites != writes && FFlush.Replaced()) {
        FFlush = MarkConnection();
        PostToSelf(WM_SSL_FLUSH);
    }
    if (result < 0) WSocketSetLastError(lastError);
    return result;
}

void TCustomSslWSocket::FireDataAvailable(std::uint16_t Error) {
    if (FSslState == TSslState::Handshake) {
        if (Error != 0) {
            FRawError = Error;
            ClassifyHandshakeError();
            Failed(FSslError, FSslErrorText);
            return;
        }
        HandshakeStep();
        return;
    }
    TCustomSocksWSocket::FireDataAvailable(Error);
}

bool TCustomSslWSocket::HeldInputTaken() {
    bool taken = FPlainReads != FPlainReadsSeen;
    bool raw = FRawReads != FRawReadsSeen;
    FPlainReadsSeen = FPlainReads;
    FRawReadsSeen = FRawReads;
    // Taken only from held records, the socket itself was not asked: it may hold more, and a
    // closing connection would otherwise end before it was read.
    return taken && FSslState == TSslState::Established && (SSL_has_pending(FSsl) == 1 || !raw);
}

// ---------------------------------------------------------------------------------------------
// Closing

void TCustomSslWSocket::Close() {
    // Not when the peer has gone already: the alert would only meet a reset. Nor when a failed
    // send is closing the socket: sending from inside that send would report the close twice.
    if (FSslState == TSslState::Established && HSocket() >= 0 && SelectMessage() != FD_CLOSE &&
        !FRawEof && FRawError == 0 && FSslError == 0 && !CloseInvoked()) {
        SetSslState(TSslState::ShuttingDown);
        ERR_clear_error();
        SSL_shutdown(FSsl);
        FlushRaw();
    }
    TCustomSocksWSocket::Close();
}

void TCustomSslWSocket::FireSessionClosed(std::uint16_t Error) {
    const TConnectionMark mark = MarkConnection();
    if (FSslState == TSslState::Handshake) {
        SetSslState(TSslState::Off);
        // Our own Close during the handshake is the owner's choice; the server or the network
        // ending it is a failed connect.
        if (Error != 0 || SelectMessage() == FD_CLOSE) {
            if (Error != 0) FRawError = Error;
            FRawEof = true;
            ClassifyHandshakeError();
            TCustomSocksWSocket::FireSessionConnected(static_cast<std::uint16_t>(FSslError));
            Error = static_cast<std::uint16_t>(FSslError);
        }
    }
    // The peer's close may come before the queued close of a broken stream: it is still no
    // orderly end, or a body that runs to the close would pass for whole.
    if (Error == 0 && FSslError == sslProtocolError) Error = sslProtocolError;
    TCustomSocksWSocket::FireSessionClosed(Error);
    // A handler that connected anew has a session of its own by now.
    if (!mark.Replaced()) FreeSsl();
}

// A reader that takes one piece per notice (no receive loop), or one that paused, would leave
// them there for good.
void TCustomSslWSocket::PostHeld() {
    if (FHeldPosted) return;
    FHeldPosted = true;
    PostToSelf(WM_SSL_HELD);
}

void TCustomSslWSocket::ResumeEvents() {
    TCustomSocksWSocket::ResumeEvents();
    if (FSslState == TSslState::Established && SSL_has_pending(FSsl) == 1) PostHeld();
}

void TCustomSslWSocket::WndProc(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) {
    switch (Msg) {
        case WM_SSL_BROKEN:
            if (FBroken.Open()) InternalClose(true, static_cast<std::uint16_t>(sslProtocolError));
            return;
        case WM_SSL_FLUSH:
            if (FFlush.Open()) FlushRaw();
            FFlush = {};
            return;
        case WM_SSL_HELD:
            FHeldPosted = false;
            if (FSslState == TSslState::Established && HSocket() >= 0 && !EventsPaused() &&
                SSL_has_pending(FSsl) == 1)
                ReceiveLoop(0, ComponentOptions());
            return;
        default:
            TCustomSocksWSocket::WndProc(Msg, WParam, LParam);
    }
}
