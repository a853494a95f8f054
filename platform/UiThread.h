// The user-interface thread as the core sees it: post a routine there, or run one there while
// the calling thread waits. The program makes the Qt implementation (app/TQtUiThread) at
// start-up and hands it to the windows, which hand it to every worker they start; tests hand
// out a TQueuedUiThread and drain it on the test thread. Whoever is handed one does not own it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class TUiThread {
public:
    virtual ~TUiThread() = default;

    // Queues fn to run on the UI thread after everything posted before it; returns at once.
    virtual void Post(std::function<void()> fn) = 0;
    // Runs fn on the UI thread and returns after it has run. Called on the UI thread itself,
    // fn runs at once (waiting for ourselves would never end).
    virtual void RunAndWait(std::function<void()> fn) = 0;
    virtual bool IsUiThread() const = 0;
};

// Headless UI thread for tests and tools: the thread that constructs it is the UI thread and
// runs the queued routines when it calls ProcessPending or WaitFor. Destroying it releases any
// worker still blocked in RunAndWait without running its routine.
class TQueuedUiThread : public TUiThread {
public:
    TQueuedUiThread();
    ~TQueuedUiThread() override;

    void Post(std::function<void()> fn) override;
    void RunAndWait(std::function<void()> fn) override;
    bool IsUiThread() const override;

    // Runs every routine queued so far (and those they queue); returns how many ran.
    int ProcessPending();
    // Runs queued routines as they arrive until pred() holds or the timeout passes;
    // returns pred()'s final value.
    bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
    bool HasPending();

private:
    struct Waiter;
    struct Item {
        std::function<void()> Fn;
        std::shared_ptr<Waiter> Done;  // set for RunAndWait
    };

    bool RunOne(std::unique_lock<std::mutex>& lock);

    const std::thread::id Owner;
    std::mutex Lock;
    std::condition_variable Arrived;
    std::deque<Item> Queue;
    bool Closed = false;
};
