// Test helper for code driven by the calling thread's event loop: turn the loop until a
// condition holds, with a watchdog that turns a hang into a failed expectation.
#pragma once

#include <chrono>

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
