// Waiting in tests, always on a positive event with a watchdog that turns a hang into a failed
// expectation: turning the calling thread's event loop until a condition holds or until it has
// nothing left to do, and (for server threads without a loop) polling a condition.
#pragma once

#include <chrono>
#include <thread>

#include "platform/EventLoop.h"

// Runs the calling thread's loop until Done() holds; false when the watchdog ran out.
template <typename P>
bool WaitFor(P Done, int TimeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        TEventLoop::Current().WaitOne(10);
    }
    return true;
}

// Runs the calling thread's loop until a pass finds nothing to do: every message queued, timer
// due and descriptor ready has been handled, so anything a fault would still deliver (a second
// close, a message to a dead socket, an event from a paused descriptor) has been delivered.
// False when the loop was still busy when the watchdog ran out.
inline bool DrainLoop(int TimeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (TEventLoop::Current().ProcessPending()) {
        if (std::chrono::steady_clock::now() > end) return false;
    }
    return true;
}

// For threads without a loop (server scripts): polls Done() until it holds; false when the
// watchdog ran out.
template <typename P>
bool PollUntil(P Done, int TimeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
