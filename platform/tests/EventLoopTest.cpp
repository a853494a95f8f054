// Event loop: message order, targets that go away, cross-thread posting, timers, descriptors.
#include "platform/EventLoop.h"
#include "tests/support/LoopWait.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace {

TEST(EventLoop, MessagesArriveInOrderWithTheirParameters) {
    std::vector<std::pair<unsigned, std::intptr_t>> got;
    TMessageTarget t([&](unsigned Msg, std::uintptr_t W, std::intptr_t L) {
        EXPECT_EQ(W, Msg * 2);
        got.emplace_back(Msg, L);
    });
    for (unsigned i = 1; i <= 100; ++i)
        t.Post(WM_USER + i, (WM_USER + i) * 2, -static_cast<int>(i));
    EXPECT_TRUE(TEventLoop::Current().ProcessPending());
    ASSERT_EQ(got.size(), 100u);
    for (unsigned i = 0; i < 100; ++i) {
        EXPECT_EQ(got[i].first, WM_USER + i + 1);
        EXPECT_EQ(got[i].second, -static_cast<std::intptr_t>(i + 1));
    }
    EXPECT_FALSE(TEventLoop::Current().ProcessPending());
}

TEST(EventLoop, MessagesPostedDuringAPassWaitForTheNextPass) {
    int count = 0;
    std::unique_ptr<TMessageTarget> t;
    t = std::make_unique<TMessageTarget>([&](unsigned, std::uintptr_t, std::intptr_t) {
        ++count;
        t->Post(1);  // a handler re-posting itself must not trap ProcessPending
    });
    t->Post(1);
    TEventLoop::Current().ProcessPending();
    EXPECT_EQ(count, 1);
    TEventLoop::Current().ProcessPending();
    EXPECT_EQ(count, 2);
    t.reset();
    TEventLoop::Current().ProcessPending();
}

TEST(EventLoop, PostsToADestroyedTargetAreDropped) {
    int hits = 0;
    auto t =
        std::make_unique<TMessageTarget>([&](unsigned, std::uintptr_t, std::intptr_t) { ++hits; });
    TTargetRef ref = t->Ref();
    t->Post(1);
    ref.Post(2);
    t.reset();
    EXPECT_TRUE(ref.Post(3));  // queued, then dropped: the loop still exists
    TEventLoop::Current().ProcessPending();
    EXPECT_EQ(hits, 0);
}

TEST(EventLoop, HandlerMayDestroyItsOwnTargetAndLaterMessagesAreDropped) {
    int hits = 0;
    std::unique_ptr<TMessageTarget> t;
    t = std::make_unique<TMessageTarget>([&](unsigned, std::uintptr_t, std::intptr_t) {
        ++hits;
        t.reset();
    });
    t->Post(1);
    t->Post(2);
    TEventLoop::Current().ProcessPending();
    EXPECT_EQ(hits, 1);
}

TEST(EventLoop, OtherThreadsPostInOrderAndWakeAWaitingLoop) {
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<int> last(kThreads, -1);
    int total = 0;
    bool ordered = true;
    TMessageTarget t([&](unsigned Msg, std::uintptr_t W, std::intptr_t) {
        int th = static_cast<int>(Msg), seq = static_cast<int>(W);
        if (seq != last[th] + 1) ordered = false;
        last[th] = seq;
        ++total;
    });
    TTargetRef ref = t.Ref();
    std::vector<std::thread> threads;
    for (int th = 0; th < kThreads; ++th)
        threads.emplace_back([ref, th] {
            for (int i = 0; i < kEach; ++i) ref.Post(static_cast<unsigned>(th), i);
        });
    EXPECT_TRUE(WaitFor([&] { return total == kThreads * kEach; }));
    for (auto& th : threads) th.join();
    EXPECT_TRUE(ordered);
}

TEST(EventLoop, PostingToALoopWhoseThreadEndedFailsSafely) {
    TTargetRef ref;
    TLoopRef loopRef;
    std::thread([&] {
        TMessageTarget t([](unsigned, std::uintptr_t, std::intptr_t) {});
        ref = t.Ref();
        loopRef = TEventLoop::Current().Ref();
    }).join();
    EXPECT_FALSE(ref.Post(1));
    EXPECT_FALSE(loopRef.PostQuit());
    EXPECT_FALSE(loopRef.PostTask([] {}));
    EXPECT_FALSE(TTargetRef().Post(1));
}

TEST(EventLoop, QuitSetsTerminatedAndTasksRunOnTheLoopThread) {
    std::atomic<bool> ranOnLoop{false};
    auto id = std::this_thread::get_id();
    TLoopRef ref = TEventLoop::Current().Ref();
    std::thread poster([&] {
        ref.PostTask([&] { ranOnLoop = std::this_thread::get_id() == id; });
        ref.PostQuit();
    });
    TEventLoop::Current().Run();  // returns only through the quit
    poster.join();
    EXPECT_TRUE(ranOnLoop);
    EXPECT_TRUE(TEventLoop::Current().Terminated());
    TEventLoop::Current().ResetTerminated();
    EXPECT_FALSE(TEventLoop::Current().Terminated());
}

TEST(EventLoop, TimersRepeatUntilKilledAndMayKillThemselves) {
    auto& loop = TEventLoop::Current();
    int repeating = 0, once = 0;
    auto rep = loop.SetTimer(1, [&] { ++repeating; });
    TEventLoop::TTimerId self = 0;
    self = loop.SetTimer(2, [&] {
        ++once;
        loop.KillTimer(self);
    });
    EXPECT_TRUE(WaitFor([&] { return repeating >= 3; }));
    loop.KillTimer(rep);
    int after = repeating;
    // A marker timer ten times slower: once it has fired, the killed one would have been due.
    bool marker = false;
    auto markerId = loop.SetTimer(10, [&] { marker = true; });
    EXPECT_TRUE(WaitFor([&] { return marker; }));
    loop.KillTimer(markerId);
    EXPECT_EQ(repeating, after);
    EXPECT_EQ(once, 1);
}

TEST(EventLoop, DescriptorReadinessFollowsTheRequestedEvents) {
    auto& loop = TEventLoop::Current();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int reads = 0;
    auto w = loop.WatchFd(fds[0], POLLIN, [&](short Revents) {
        EXPECT_TRUE(Revents & POLLIN);
        ++reads;
    });
    EXPECT_FALSE(loop.ProcessPending());
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_TRUE(loop.ProcessPending());
    EXPECT_EQ(reads, 1);
    loop.SetFdEvents(w, 0);  // quiet: no reports even though the byte is still there
    EXPECT_FALSE(loop.ProcessPending());
    loop.SetFdEvents(w, POLLIN);
    loop.ProcessPending();
    EXPECT_EQ(reads, 2);
    loop.UnwatchFd(w);
    EXPECT_FALSE(loop.ProcessPending());
    close(fds[0]);
    close(fds[1]);
}

TEST(EventLoop, WatchRemovedByAnEarlierHandlerInThePassIsSkipped) {
    auto& loop = TEventLoop::Current();
    int a[2], b[2];
    ASSERT_EQ(pipe(a), 0);
    ASSERT_EQ(pipe(b), 0);
    ASSERT_EQ(write(a[1], "x", 1), 1);
    ASSERT_EQ(write(b[1], "x", 1), 1);
    int calls = 0;
    TEventLoop::TWatchId wa = 0, wb = 0;
    wa = loop.WatchFd(a[0], POLLIN, [&](short) {
        ++calls;
        loop.UnwatchFd(wa);
        loop.UnwatchFd(wb);
    });
    wb = loop.WatchFd(b[0], POLLIN, [&](short) {
        ++calls;
        loop.UnwatchFd(wa);
        loop.UnwatchFd(wb);
    });
    loop.ProcessPending();
    EXPECT_EQ(calls, 1);
    for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
}

TEST(EventLoop, AThrowingHandlerKeepsTheRestOfTheQueue) {
    std::vector<int> got;
    TMessageTarget t([&](unsigned Msg, std::uintptr_t, std::intptr_t) {
        got.push_back(static_cast<int>(Msg));
        if (Msg == 2) throw std::runtime_error("boom");
    });
    for (unsigned m = 1; m <= 4; ++m) t.Post(m);
    EXPECT_THROW(TEventLoop::Current().ProcessPending(), std::runtime_error);
    TEventLoop::Current().ProcessPending();
    EXPECT_EQ(got, (std::vector<int>{1, 2, 3, 4}));
}

TEST(EventLoop, WaitOneReturnsWithNothingToDo) {
    EXPECT_FALSE(TEventLoop::Current().WaitOne(5));
}

}  // namespace
