// The CONNECT tunnel of an https request through an HTTP proxy: the request's text, the proxy's
// reply read byte by byte up to its blank line (what follows is the server's, inside the
// tunnel) and judged by the common response rules, and the body of a refusal read away so the
// connection can carry the next leg. Owned by the engine and used on its thread; it reads from
// the socket it is handed and keeps no pointer to it.
#pragma once

#include <cstdint>
#include <string>

#include "http/THttpResponse.h"

class TCustomWSocket;

class THttpTunnel {
public:
    enum class TState {
        Idle,          // no CONNECT on this connection
        ReadingReply,  // the CONNECT went out; its reply header is being read
        SkippingBody,  // a refusal's body is read away so the connection stays usable
        Established,   // 2xx: the connection leads to the server
        Refused,       // the proxy's answer stands; a 407 in it is the proxy's to answer
    };
    // What one Read made of the bytes that were there.
    enum class TVerdict {
        Waiting,      // the reply goes on
        Established,  // TLS may start on the connection
        Refused,      // the reply header is read (Reply); a body may still be skipped
        BodySkipped,  // the refusal's body is gone; the connection stays
        TooLong,      // the reply header passed the limit
    };

    // Longest reply header read.
    static constexpr std::size_t MaxReplyHeader = 16384;
    // A refusal's body longer than this is not worth reading to keep the connection.
    static constexpr std::int64_t MaxSkippedBody = 1 << 20;

    TState State() const { return FState; }
    // The reply is still being read: the connection's bytes are the tunnel's.
    bool Reading() const {
        return FState == TState::ReadingReply || FState == TState::SkippingBody;
    }
    // The answer in hand is the proxy's to CONNECT, not the server's.
    bool ProxyAnswering() const { return Reading() || FState == TState::Refused; }
    // After a refusal: the proxy keeps the connection for another CONNECT.
    bool KeepsConnection() const { return FKeep; }
    // The reply's status and challenges (status 0 when its first line was no status line).
    const THttpResponse& Reply() const { return FReply; }
    const std::string& StatusLine() const { return FStatusLine; }

    // A CONNECT goes out: its reply is read from now on.
    void Open();
    // The CONNECT request for Authority ("host:port").
    static std::string Request(const std::string& Authority, const std::string& AuthorizationLine,
                               const std::string& Agent);
    TVerdict Read(TCustomWSocket& Socket);
    // The one writer of the state, traced.
    void ChangeState(TState NewState);

private:
    TVerdict JudgeReply();
    static const char* StateName(TState State);

    TState FState = TState::Idle;
    std::string FHeader;
    std::string FStatusLine;
    THttpResponse FReply;
    std::int64_t FSkip = 0;
    bool FKeep = false;
};
