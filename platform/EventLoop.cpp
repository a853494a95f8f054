// Per-thread event loop: queue shared with posting threads, timers and poll() readiness.
// Only the queue is touched by other threads; everything else belongs to the loop's thread.
#include "platform/EventLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

// The quit message of the desktop platform; only meaningful with no target.
constexpr unsigned WM_QUIT = 18;

struct TQueued {
    std::uint64_t Target = 0;  // 0: the loop itself (quit or task)
    unsigned Msg = 0;
    std::uintptr_t WParam = 0;
    std::intptr_t LParam = 0;
    std::function<void()> Task;
};

}  // namespace

// The part other threads see. It outlives the loop as long as someone holds a posting handle,
// so a late post finds a closed queue instead of freed memory.
struct TLoopQueue {
    std::mutex Lock;
    std::deque<TQueued> Items;
    bool Signalled = false;  // the eventfd holds a wake-up not yet read
    bool Closed = false;
    int WakeFd = -1;

    TLoopQueue() {
        WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (WakeFd < 0) throw std::runtime_error("event loop: eventfd failed");
    }
    ~TLoopQueue() { close(WakeFd); }

    bool Push(TQueued&& Item) {
        std::lock_guard<std::mutex> guard(Lock);
        if (Closed) return false;
        Items.push_back(std::move(Item));
        if (!Signalled) {
            Signalled = true;
            std::uint64_t one = 1;
            // A full counter cannot happen: it is read back before the next write.
            [[maybe_unused]] ssize_t n = write(WakeFd, &one, sizeof one);
        }
        return true;
    }

    std::deque<TQueued> TakeAll() {
        std::deque<TQueued> taken;
        std::lock_guard<std::mutex> guard(Lock);
        taken.swap(Items);
        if (Signalled) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = read(WakeFd, &count, sizeof count);
            Signalled = false;
        }
        return taken;
    }

    bool HasItems() {
        std::lock_guard<std::mutex> guard(Lock);
        return !Items.empty();
    }

    // Items a failed dispatch did not reach go back in front, keeping their order.
    void PutBack(std::deque<TQueued>& Rest) {
        std::lock_guard<std::mutex> guard(Lock);
        for (auto it = Rest.rbegin(); it != Rest.rend(); ++it) Items.push_front(std::move(*it));
        if (!Items.empty() && !Signalled) {
            Signalled = true;
            std::uint64_t one = 1;
            [[maybe_unused]] ssize_t n = write(WakeFd, &one, sizeof one);
        }
    }
};

struct TEventLoop::TTargetRec {
    TMessageTarget::THandler Handler;
};

struct TEventLoop::TTimer {
    std::chrono::milliseconds Interval;
    TClock::time_point Due;
    std::function<void()> Fn;
};

struct TEventLoop::TWatch {
    int Fd;
    short Events;
    std::function<void(short)> Fn;
};

bool TTargetRef::Post(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) const {
    if (!Queue) return false;
    return Queue->Push(TQueued{Id, Msg, WParam, LParam, {}});
}

bool TLoopRef::PostQuit() const {
    if (!Queue) return false;
    return Queue->Push(TQueued{0, WM_QUIT, 0, 0, {}});
}

bool TLoopRef::PostTask(std::function<void()> Task) const {
    if (!Queue || !Task) return false;
    return Queue->Push(TQueued{0, 0, 0, 0, std::move(Task)});
}

TMessageTarget::TMessageTarget(THandler Handler) : Owner(&TEventLoop::Current()) {
    Id = Owner->NextId++;
    Owner->Targets.emplace(
        Id, std::make_shared<TEventLoop::TTargetRec>(TEventLoop::TTargetRec{std::move(Handler)}));
}

TMessageTarget::~TMessageTarget() {
    Owner->Targets.erase(Id);
}

bool TMessageTarget::Post(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) const {
    return Owner->Queue->Push(TQueued{Id, Msg, WParam, LParam, {}});
}

TTargetRef TMessageTarget::Ref() const {
    TTargetRef ref;
    ref.Queue = Owner->Queue;
    ref.Id = Id;
    return ref;
}

TEventLoop& TEventLoop::Current() {
    thread_local std::unique_ptr<TEventLoop> loop(new TEventLoop);
    return *loop;
}

TEventLoop::TEventLoop()
    : Queue(std::make_shared<TLoopQueue>()), OwnerThread(std::this_thread::get_id()) {}

TEventLoop::~TEventLoop() {
    std::lock_guard<std::mutex> guard(Queue->Lock);
    Queue->Closed = true;
    Queue->Items.clear();
}

TLoopRef TEventLoop::Ref() const {
    TLoopRef ref;
    ref.Queue = Queue;
    return ref;
}

TEventLoop::TTimerId TEventLoop::SetTimer(unsigned IntervalMs, std::function<void()> Fn) {
    TTimerId id = NextId++;
    std::chrono::milliseconds interval(IntervalMs);
    Timers.emplace(
        id, std::make_shared<TTimer>(TTimer{interval, TClock::now() + interval, std::move(Fn)}));
    return id;
}

void TEventLoop::KillTimer(TTimerId Id) {
    Timers.erase(Id);
}

TEventLoop::TWatchId TEventLoop::WatchFd(int Fd, short Events, std::function<void(short)> Fn) {
    TWatchId id = NextId++;
    Watches.emplace(id, std::make_shared<TWatch>(TWatch{Fd, Events, std::move(Fn)}));
    return id;
}

void TEventLoop::SetFdEvents(TWatchId Id, short Events) {
    auto it = Watches.find(Id);
    if (it != Watches.end()) it->second->Events = Events;
}

void TEventLoop::UnwatchFd(TWatchId Id) {
    Watches.erase(Id);
}

bool TEventLoop::ProcessPending() {
    return Pass(0);
}

bool TEventLoop::WaitOne(int TimeoutMs) {
    return Pass(TimeoutMs);
}

void TEventLoop::Run() {
    while (!FTerminated) Pass(-1);
}

int TEventLoop::MsToNextTimer() const {
    if (Timers.empty()) return -1;
    auto now = TClock::now();
    auto next = TClock::time_point::max();
    for (const auto& [id, timer] : Timers) next = std::min(next, timer->Due);
    if (next <= now) return 0;
    // Round up so that a wake-up never comes just before the timer is due.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return ms > 60000 ? 60000 : static_cast<int>(ms);
}

bool TEventLoop::Pass(int TimeoutMs) {
    int timeout = TimeoutMs;
    int timerWait = MsToNextTimer();
    if (timerWait >= 0 && (timeout < 0 || timerWait < timeout)) timeout = timerWait;
    if (Queue->HasItems()) timeout = 0;

    std::vector<pollfd> fds = std::move(SpareFds);
    std::vector<TWatchId> ids = std::move(SpareIds);
    fds.clear();
    ids.clear();
    fds.push_back(pollfd{Queue->WakeFd, POLLIN, 0});
    for (const auto& [id, watch] : Watches) {
        if (watch->Events == 0) continue;
        fds.push_back(pollfd{watch->Fd, watch->Events, 0});
        ids.push_back(id);
    }
    int ready;
    do {
        ready = poll(fds.data(), fds.size(), timeout);
    } while (ready < 0 && errno == EINTR);

    // The arrays go back to the loop when this pass ends, also by an exception.
    struct TGiveBack {
        TEventLoop* Loop;
        std::vector<pollfd>& Fds;
        std::vector<TWatchId>& Ids;
        ~TGiveBack() {
            Loop->SpareFds = std::move(Fds);
            Loop->SpareIds = std::move(Ids);
        }
    } giveBack{this, fds, ids};

    bool handled = DispatchMessages();
    handled = RunDueTimers() || handled;
    if (ready <= 0) return handled;

    for (std::size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        auto it = Watches.find(ids[i - 1]);
        // A handler earlier in this pass may have removed or quietened this watch.
        if (it == Watches.end() || it->second->Events == 0) continue;
        std::shared_ptr<TWatch> watch = it->second;
        short revents = fds[i].revents & (watch->Events | POLLERR | POLLHUP | POLLNVAL);
        if (revents == 0) continue;
        handled = true;
        watch->Fn(revents);
    }
    return handled;
}

bool TEventLoop::DispatchMessages() {
    std::deque<TQueued> items = Queue->TakeAll();
    if (items.empty()) return false;
    try {
        while (!items.empty()) {
            TQueued item = std::move(items.front());
            items.pop_front();
            if (item.Target == 0) {
                if (item.Task)
                    item.Task();
                else if (item.Msg == WM_QUIT)
                    FTerminated = true;
                continue;
            }
            auto it = Targets.find(item.Target);
            if (it == Targets.end()) continue;
            // Held here so a handler that destroys its own target does not free itself.
            std::shared_ptr<TTargetRec> rec = it->second;
            if (rec->Handler) rec->Handler(item.Msg, item.WParam, item.LParam);
        }
    } catch (...) {
        Queue->PutBack(items);
        throw;
    }
    return true;
}

bool TEventLoop::RunDueTimers() {
    if (Timers.empty()) return false;
    auto now = TClock::now();
    std::vector<TTimerId> due;
    for (const auto& [id, timer] : Timers)
        if (timer->Due <= now) due.push_back(id);
    for (TTimerId id : due) {
        auto it = Timers.find(id);
        if (it == Timers.end()) continue;
        std::shared_ptr<TTimer> timer = it->second;
        timer->Due = now + timer->Interval;
        if (timer->Fn) timer->Fn();
    }
    return !due.empty();
}
