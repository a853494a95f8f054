// SOCKS 4, 4A and 5 client layer of the socket (RFC 1928, user name and password of RFC 1929).
// With SocksServer empty every call passes straight to TCustomWSocket. Otherwise Connect goes
// to the SOCKS server, the negotiation runs from the socket's own events on its thread, and the
// owner sees OnSessionConnected only when the destination is reached (or the attempt failed).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/TCustomWSocket.h"

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };

class TCustomSocksWSocket : public TCustomWSocket {
public:
    using TSocksErrorEvent =
        std::function<void(TCustomWSocket* Sender, int Error, const std::string& Msg)>;
    using TSocksAuthStateEvent =
        std::function<void(TCustomWSocket* Sender, TSocksAuthState AuthState)>;

    TCustomSocksWSocket() = default;

    TSessionEvent OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

    // Server, port and level change only while closed, and every close sets them back to
    // empty, empty and "5": give them again before each Connect. Credentials stay.
    const std::string& SocksServer() const { return FSocksServer; }
    virtual void SetSocksServer(const std::string& Value);
    const std::string& SocksPort() const { return FSocksPort; }
    virtual void SetSocksPort(const std::string& Value);
    const std::string& SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& Value);
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& Value) { FSocksUsercode = Value; }
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& Value) { FSocksPassword = Value; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthentication = Value; }
    // Where a SOCKS 5 server bound its side of the connection (dotted address or host name,
    // decimal port); empty until a SOCKS 5 negotiation succeeded.
    const std::string& SocksBoundAddr() const { return FBoundAddr; }
    const std::string& SocksBoundPort() const { return FBoundPort; }

    void Connect() override;
    int RcvdCount() override;

protected:
    void AssignDefaultValue() override;
    void FireDataAvailable(std::uint16_t Error) override;
    void FireSessionConnected(std::uint16_t Error) override;
    void FireSessionClosed(std::uint16_t Error) override;
    int ReadRaw(void* Buffer, int BufferSize) override;
    virtual void FireSocksConnected(std::uint16_t Error);
    virtual void FireSocksError(int Error, const std::string& Msg);
    void FireSocksAuthState(TSocksAuthState AuthState);

    bool SocksNegotiating() const { return FSocksState != TSocksState::None; }

private:
    enum class TSocksState { None, MethodSelection, Authentication, RequestSent };

    // A reply and what may follow it in the same read: the longest SOCKS 5 reply is 262 bytes.
    static constexpr int kRcvBufSize = 512;

    void SetSocksState(TSocksState NewState);
    // False when Connect must not go ahead (already reported).
    bool CheckSocksFields();
    // Reads into the reply buffer up to Want bytes in all; false when nothing came.
    bool ReadReply(int Want);
    void MethodReply();
    void AuthReply();
    void Socks4Reply();
    void Socks5Reply();
    void SendAuthentication();
    void SendRequest();
    void SendBytes(const std::string& Bytes);
    void Succeeded(int ReplyLength);
    void Failed(int Error, const std::string& Msg);
    bool IsLevel5() const { return FSocksLevel == "5"; }

    std::string FSocksServer;
    std::string FSocksPort;
    std::string FSocksLevel = "5";
    std::string FSocksUsercode;
    std::string FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;

    TSocksState FSocksState = TSocksState::None;
    bool FAuthAsked = false;
    std::uint16_t FDestPort = 0;
    unsigned char FRcvBuf[kRcvBufSize] = {};
    int FRcvCnt = 0;
    std::string FBoundAddr;
    std::string FBoundPort;
    // Bytes that came with the final reply, served to the reader before the platform's.
    int FLeftoverCnt = 0;
    int FLeftoverPos = 0;
};
