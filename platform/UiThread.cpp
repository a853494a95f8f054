// The queue-based UI thread used headless.
#include "platform/UiThread.h"

#include <algorithm>

namespace {
constexpr std::chrono::milliseconds kSlice{10};
}  // namespace

struct TQueuedUiThread::Waiter {
    std::mutex Lock;
    std::condition_variable Signal;
    bool Finished = false;

    void Finish() {
        std::lock_guard<std::mutex> guard(Lock);
        Finished = true;
        Signal.notify_all();
    }
};

TQueuedUiThread::TQueuedUiThread() : Owner(std::this_thread::get_id()) {}

TQueuedUiThread::~TQueuedUiThread() {
    std::deque<Item> dropped;
    {
        std::lock_guard<std::mutex> guard(Lock);
        Closed = true;
        dropped.swap(Queue);
    }
    for (Item& item : dropped) {
        if (item.Done) item.Done->Finish();
    }
}

void TQueuedUiThread::Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> guard(Lock);
    if (Closed) return;
    Queue.push_back({std::move(fn), nullptr});
    Arrived.notify_all();
}

void TQueuedUiThread::RunAndWait(std::function<void()> fn) {
    if (IsUiThread()) {
        fn();
        return;
    }
    auto waiter = std::make_shared<Waiter>();
    {
        std::lock_guard<std::mutex> guard(Lock);
        if (Closed) return;
        Queue.push_back({std::move(fn), waiter});
        Arrived.notify_all();
    }
    std::unique_lock<std::mutex> wait(waiter->Lock);
    waiter->Signal.wait(wait, [&] { return waiter->Finished; });
}

bool TQueuedUiThread::IsUiThread() const {
    return std::this_thread::get_id() == Owner;
}

bool TQueuedUiThread::RunOne(std::unique_lock<std::mutex>& lock) {
    if (Queue.empty()) return false;
    Item item = std::move(Queue.front());
    Queue.pop_front();
    lock.unlock();
    item.Fn();
    if (item.Done) item.Done->Finish();
    lock.lock();
    return true;
}

bool TQueuedUiThread::HasPending() {
    std::lock_guard<std::mutex> guard(Lock);
    return !Queue.empty();
}

int TQueuedUiThread::ProcessPending() {
    int count = 0;
    std::unique_lock<std::mutex> lock(Lock);
    while (RunOne(lock)) ++count;
    return count;
}

bool TQueuedUiThread::WaitFor(const std::function<bool()>& pred,
                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(Lock);
    for (;;) {
        while (RunOne(lock)) {
        }
        lock.unlock();
        if (pred()) return true;
        lock.lock();
        if (std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            return pred();
        }
        // Short slices so a condition set by another thread without posting is noticed too.
        const auto slice = std::min(deadline, std::chrono::steady_clock::now() + kSlice);
        Arrived.wait_until(lock, slice, [&] { return !Queue.empty(); });
    }
}
