// The program's HTTP session: the engine with 64-bit announced sizes, the content-range total,
// its own restart after a relocation that closes the connection (an FTP target ends the
// request), a blocking GET that pumps the calling thread's loop, and paused reception.
// Created, driven and destroyed on one worker thread (THttpThread).
#pragma once

#include <cstdint>
#include <functional>

#include "http/THttpCli.h"

class THttpClient : public THttpCli {
public:
    THttpClient();

    // Blocking GET of URL. Each wait is at most 1 ms for the next event of this thread's loop;
    // OnWaitPass runs after every wait. Raises EHttpException(ReasonPhrase, StatusCode) for a
    // final status above 399 (401 and 407 included).
    void GetSync();
    // No more bytes are read from the connection until ResumeReceive; they wait in the kernel.
    void PauseReceive();
    void ResumeReceive();

    // Announced by the current response; -1 when it announced none.
    int64_t ContentLength64 = -1;
    int64_t InstanceLength = -1;

    // Called between the waits of GetSync, on this thread: the place where requests from other
    // threads (a cancel) reach the session.
    std::function<void()> OnWaitPass;

protected:
    void HandleHeaderLine() override;
    void ResetResponse() override;
    void HandleRelocationClosed(TCustomWSocket* Sock, std::uint16_t Error) override;

private:
    void EndOfHeader();
};
