// The wait turns the owning thread's loop; each round waits at most 1 ms for the next event,
// so it neither spins nor adds latency.
#include "net/TCustomSyncWSocket.h"

#include <chrono>

int TCustomSyncWSocket::WaitForFlag(const bool& Flag) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point stop = Clock::now() + std::chrono::milliseconds(FTimeout);
    TEventLoop& loop = TEventLoop::Current();
    while (!Flag) {
        if (FTimeout > 0 && Clock::now() > stop) return WSocketWaitTimedOut;
        if (loop.Terminated() || Terminated()) return WSocketWaitTimedOut;
        loop.WaitOne(1);
    }
    return 0;
}

int TCustomSyncWSocket::RunAndWait(bool& Flag, const std::function<void(std::intptr_t)>& Proc,
                                   std::intptr_t UserValue) {
    Flag = false;
    if (Proc) Proc(UserValue);
    return WaitForFlag(Flag);
}
