// Waiting layer of the socket: blocks the calling (owning) thread until a flag that an event
// handler sets becomes true, while the thread's loop keeps delivering the socket's events.
// Nothing else changes; all calls pass through.
#pragma once

#include <cstdint>
#include <functional>

#include "net/TCustomLineWSocket.h"

// WaitForFlag's answer when the wait ran out of time or the loop was told to quit.
constexpr int WSocketWaitTimedOut = 12001;

class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    TCustomSyncWSocket() = default;

    // Milliseconds a wait may last; 0 waits without limit.
    int Timeout() const { return FTimeout; }
    void SetTimeout(int Ms) { FTimeout = Ms; }

    // 0 once Flag is true; WSocketWaitTimedOut on timeout or when the loop met a quit message.
    virtual int WaitForFlag(const bool& Flag);
    // Clears Flag, calls Proc(UserValue) when Proc is given, then waits for Flag.
    virtual int RunAndWait(bool& Flag, const std::function<void(std::intptr_t)>& Proc,
                           std::intptr_t UserValue = 0);

private:
    int FTimeout = 0;
};
