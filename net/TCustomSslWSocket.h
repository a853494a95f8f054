// TLS client layer of the socket, over OpenSSL. With SslEnable off every call passes straight
// to the SOCKS layer below. With it on, once the connection (or the SOCKS tunnel) stands the
// handshake runs from the socket's own events on its thread, and the owner sees
// OnSessionConnected only when it has finished (or failed); Send encrypts, the data events and
// Receive carry decrypted bytes, Close sends the TLS close first. The layer owns its OpenSSL
// objects and frees them on every close.
#pragma once

#include <cstdint>
#include <string>

#include "net/TCustomSocksWSocket.h"

struct ssl_st;
struct TSslBio;

// Posted to the socket itself: close a connection whose TLS stream broke while being read;
// offer decrypted bytes that no platform notice will announce; send what a read made OpenSSL
// write.
constexpr unsigned WM_SSL_BROKEN = WM_USER + 21;
constexpr unsigned WM_SSL_HELD = WM_USER + 22;
constexpr unsigned WM_SSL_FLUSH = WM_USER + 23;

// Why a TLS connection failed; reported by OnSessionConnected and OnSessionClosed, with
// SslErrorText() saying it in words.
constexpr int sslHandshakeFailed = 20101;
constexpr int sslServerClosed = 20102;  // the server closed before the handshake ended
constexpr int sslCertificateUntrusted = 20103;
constexpr int sslCertificateExpired = 20104;  // or not yet valid
constexpr int sslCertificateWrongHost = 20105;
constexpr int sslProtocolError = 20106;  // a broken stream after the handshake
constexpr int sslSetupFailed = 20107;    // OpenSSL could not start a session

class TCustomSslWSocket : public TCustomSocksWSocket {
public:
    TCustomSslWSocket() = default;
    ~TCustomSslWSocket() override;

    // Both change only while closed and stay across connections.
    bool SslEnable() const { return FSslEnable; }
    void SetSslEnable(bool Value);
    // The name sent to the server (SNI) and checked against its certificate; empty uses
    // Addr(). A dotted address is checked as an address and not sent.
    const std::string& SslHostName() const { return FSslHostName; }
    void SetSslHostName(const std::string& Value);
    // Why the last TLS connection failed: one of the codes above (or a socket error met during
    // the handshake) and a phrase for the user; 0 and empty while nothing failed.
    int SslError() const { return FSslError; }
    const std::string& SslErrorText() const { return FSslErrorText; }
    // The handshake has finished on the current connection.
    bool SslEstablished() const { return FSslState == TSslState::Established; }

    // Starts TLS on a connection that stands already (an HTTP proxy's tunnel): OnSessionConnected
    // comes again once the handshake has finished or failed.
    void StartSsl();

    void Connect() override;
    void Close() override;
    int Send(const void* Data, int Len) override;
    void QueueSendData(const void* Data, int Len) override;
    int RcvdCount() override;
    void ResumeEvents() override;

protected:
    void AssignDefaultValue() override;
    void WndProc(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) override;
    void FireDataAvailable(std::uint16_t Error) override;
    void FireSessionConnected(std::uint16_t Error) override;
    void FireSessionClosed(std::uint16_t Error) override;
    void FireDataSent(std::uint16_t Error) override;
    int ReadRaw(void* Buffer, int BufferSize) override;
    bool HeldInputTaken() override;

    // A lower layer is still setting the connection up: its bytes are not the owner's.
    bool Negotiating() const { return SocksNegotiating() || FSslState == TSslState::Handshake; }

private:
    friend struct TSslBio;

    enum class TSslState {
        Off,          // pass-through
        WaitConnect,  // TLS wanted; the connection or the SOCKS tunnel is not up yet
        Handshake,    // handshake records going back and forth
        Established,  // application data, encrypted
        ShuttingDown  // our close alert is on its way; the connection goes next
    };

    void SetSslState(TSslState NewState);
    void StartHandshake();
    void HandshakeStep();
    void Handshaken();
    // Records why, then reports a failed connect and closes the connection with Error.
    void Failed(int Error, const std::string& Text);
    // Sets SslError()/SslErrorText() from the failed handshake's verification and error queue.
    void ClassifyHandshakeError();
    void Encrypt(const void* Data, int Len);
    // Pushes what OpenSSL wrote into the send queue towards the peer.
    void FlushRaw() { TryToSend(); }
    void FreeSsl();
    void PostHeld();

    // Called by the BIO: the layers below, without recursion into this one.
    int RawRead(char* Buffer, int Size);
    void RawWrite(const char* Data, int Len) {
        ++FRawWrites;
        TCustomWSocket::QueueSendData(Data, Len);
    }

    bool FSslEnable = false;
    std::string FSslHostName;
    TSslState FSslState = TSslState::Off;
    ssl_st* FSsl = nullptr;
    // Application bytes the owner sent before the handshake finished.
    std::string FEarlyData;
    // What the raw reads met: the peer's end of stream, a socket error, any read at all.
    bool FRawEof = false;
    int FRawError = 0;
    bool FRawTouched = false;
    // Successful decrypted reads and raw reads, and their counts when the receive loop last
    // asked.
    std::int64_t FPlainReads = 0;
    std::int64_t FPlainReadsSeen = 0;
    std::int64_t FRawReads = 0;
    std::int64_t FRawReadsSeen = 0;
    int FSslError = 0;
    std::string FSslErrorText;
    TConnectionMark FBroken;  // the connection a posted WM_SSL_BROKEN closes
    std::int64_t FRawWrites = 0;
    TConnectionMark FFlush;  // the connection a posted WM_SSL_FLUSH is for
    bool FHeldPosted = false;
};
