// Per-thread event loop: posted messages to message targets (our stand-in for hidden
// notification windows), repeating timers and descriptor readiness through poll().
// One loop per thread, made on first use by TEventLoop::Current(); everything except the
// posting handles (TTargetRef, TLoopRef) is used on the loop's own thread only.
//
// API in short:
//   TMessageTarget t([](unsigned Msg, uintptr_t W, intptr_t L) {...});  // on the loop thread
//   t.Post(1025, w, l);            // any thread through t.Ref(); messages arrive in order
//   TEventLoop& loop = TEventLoop::Current();
//   loop.SetTimer(500, fn) / KillTimer(id);
//   loop.WatchFd(fd, POLLIN, fn) / SetFdEvents(id, ev) / UnwatchFd(id);
//   loop.ProcessPending();         // handle what is pending now, never wait
//   loop.WaitOne(ms);              // wait at most ms for the next event, then handle what is ready
//   loop.Ref().PostQuit();         // any thread; the loop then reports Terminated()
// Handlers may add or remove targets, timers and watches (their own included) and may run
// the loop again from inside a handler. A message whose target is gone is dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <poll.h>

struct TLoopQueue;
class TEventLoop;

// First message number free for a program's own use, as on the desktop platform.
constexpr unsigned WM_USER = 1024;

// A posting handle for one message target; copyable and safe to use from any thread, also
// after the target or the whole loop has gone (the message is then dropped).
class TTargetRef {
public:
    TTargetRef() = default;
    // False when the loop no longer exists; true only means the message was queued.
    bool Post(unsigned Msg, std::uintptr_t WParam = 0, std::intptr_t LParam = 0) const;

private:
    friend class TMessageTarget;
    std::shared_ptr<TLoopQueue> Queue;
    std::uint64_t Id = 0;
};

// A posting handle for the loop itself (tasks and quit); copyable, any thread.
class TLoopRef {
public:
    TLoopRef() = default;
    // The loop sets its terminated flag when it meets the quit message; it is not dispatched.
    bool PostQuit() const;
    // Runs Task on the loop's thread, in order with the messages posted there.
    bool PostTask(std::function<void()> Task) const;

private:
    friend class TEventLoop;
    std::shared_ptr<TLoopQueue> Queue;
};

// Receiver of numbered messages with two parameters, bound to the loop of the thread that
// constructs it. Must be destroyed on that thread, before the thread ends.
class TMessageTarget {
public:
    using THandler = std::function<void(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam)>;

    explicit TMessageTarget(THandler Handler);
    ~TMessageTarget();
    TMessageTarget(const TMessageTarget&) = delete;
    TMessageTarget& operator=(const TMessageTarget&) = delete;

    bool Post(unsigned Msg, std::uintptr_t WParam = 0, std::intptr_t LParam = 0) const;
    TTargetRef Ref() const;
    TEventLoop& Loop() const { return *Owner; }

private:
    TEventLoop* Owner;
    std::uint64_t Id;
};

class TEventLoop {
public:
    using TTimerId = std::uint64_t;
    using TWatchId = std::uint64_t;

    // The calling thread's loop, created on first use and destroyed when the thread ends.
    static TEventLoop& Current();

    ~TEventLoop();
    TEventLoop(const TEventLoop&) = delete;
    TEventLoop& operator=(const TEventLoop&) = delete;

    TLoopRef Ref() const;
    std::thread::id Thread() const { return OwnerThread; }

    // Repeating timer; fires from the loop every IntervalMs until killed (0 = every pass).
    TTimerId SetTimer(unsigned IntervalMs, std::function<void()> Fn);
    void KillTimer(TTimerId Id);

    // Level-triggered readiness of Fd. Events are poll() bits; 0 takes the descriptor out of
    // the poll set entirely (no error or hang-up reports either) until events are set again.
    // The callback receives the ready bits. Unwatch before closing the descriptor.
    TWatchId WatchFd(int Fd, short Events, std::function<void(short Revents)> Fn);
    void SetFdEvents(TWatchId Id, short Events);
    void UnwatchFd(TWatchId Id);

    // One pass without waiting: the messages queued when the pass starts, the timers due and
    // the descriptors ready now. Returns true when anything was handled.
    bool ProcessPending();
    // Waits at most TimeoutMs (negative: no limit) for the next event, then does one pass.
    bool WaitOne(int TimeoutMs);
    // Passes until the quit message arrives.
    void Run();

    bool Terminated() const { return FTerminated; }
    void ResetTerminated() { FTerminated = false; }

private:
    friend class TMessageTarget;
    struct TTimer;
    struct TWatch;
    struct TTargetRec;

    TEventLoop();
    bool Pass(int TimeoutMs);
    bool DispatchMessages();
    bool RunDueTimers();
    int MsToNextTimer() const;

    std::shared_ptr<TLoopQueue> Queue;
    std::thread::id OwnerThread;
    std::uint64_t NextId = 1;
    std::map<std::uint64_t, std::shared_ptr<TTargetRec>> Targets;
    std::map<TTimerId, std::shared_ptr<TTimer>> Timers;
    std::map<TWatchId, std::shared_ptr<TWatch>> Watches;
    bool FTerminated = false;
    // Poll arrays kept between passes; a nested pass finds them taken and makes its own.
    std::vector<pollfd> SpareFds;
    std::vector<TWatchId> SpareIds;
};
