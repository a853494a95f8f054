// The program's HTTP session: the engine with the content-range total as a rule of its own, the
// FTP answer to a relocation, a blocking GET that pumps the calling thread's loop and fails for
// every answer that is no success, and paused reception. Every response is framed by the
// engine. Created, driven and destroyed on one worker thread (THttpThread). Also UseProxy, the
// one place a proxy record sets up the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "http/THttpCli.h"
#include "settings/TProxy.h"

class THttpClient : public THttpCli {
public:
    THttpClient();

    // Blocking GET of URL. Each wait lasts until the next event of this thread's loop (another
    // thread wakes it by posting to the loop); OnWaitPass runs after every wait. Raises
    // EHttpException(ReasonPhrase, StatusCode) unless the final answer is a 2xx whose body arrived
    // whole: a missing status line, a cut body, a 3xx left as the answer (a relocation loop among
    // them), 401 and 407 all raise.
    void GetSync();
    // The same GET without waiting, for sessions that share their thread's loop: StartGet sends
    // the request (false when the address is refused, with the refusal as the status); Running
    // tells whether it goes on; once it has ended, EndGet raises as GetSync would.
    bool StartGet();
    bool Running() const { return RequestRunning(); }
    void EndGet();
    // No more bytes are read from the connection until ResumeReceive; they wait in the kernel.
    void PauseReceive();
    void ResumeReceive();

    // Announced by the current response; -1 when it announced none.
    std::int64_t ContentLength64() const { return ContentLength(); }

    // Called between the waits of GetSync, on this thread: the place where requests from other
    // threads (a cancel) reach the session.
    std::function<void()> OnWaitPass;

protected:
    void ParseHeaderField(const std::string& Line) override;
    std::optional<TRelocationRefusal> RefuseRelocation() const override;
    void RaiseHeaderEnd() override;
};

// Points client at the HTTP proxy of proxy (none for an empty address) and, when it has one, at
// its SOCKS server; a SOCKS user name or password, when either is there, goes by RFC 1929.
void UseProxy(THttpCli& client, const TProxy& proxy);
