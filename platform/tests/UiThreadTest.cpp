#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/UiThread.h"
#include "tests/support/LoopWait.h"

namespace {

using namespace std::chrono_literals;

TEST(QueuedUiThread, PostedRoutinesRunInOrderOnTheDrainingThread) {
    TQueuedUiThread ui;
    std::vector<int> order;
    std::vector<std::thread::id> where;
    std::thread worker([&] {
        for (int i = 0; i < 5; ++i) {
            ui.Post([&, i] {
                order.push_back(i);
                where.push_back(std::this_thread::get_id());
            });
        }
    });
    worker.join();
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(ui.ProcessPending(), 5);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    for (auto id : where) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(QueuedUiThread, RunAndWaitBlocksTheWorkerUntilTheRoutineHasRun) {
    TQueuedUiThread ui;
    std::atomic<bool> returned{false};
    int value = 0;
    std::thread worker([&] {
        ui.RunAndWait([&] { value = 42; });
        EXPECT_EQ(value, 42);
        returned = true;
    });
    // Its routine is queued, not yet run: the worker must still be waiting.
    ASSERT_TRUE(PollUntil([&] { return ui.HasPending(); }));
    EXPECT_FALSE(returned.load());
    EXPECT_TRUE(ui.WaitFor([&] { return returned.load(); }, 5s));
    worker.join();
}

TEST(QueuedUiThread, RunAndWaitOnTheUiThreadRunsAtOnce) {
    TQueuedUiThread ui;
    bool ran = false;
    ui.RunAndWait([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(ui.IsUiThread());
}

TEST(QueuedUiThread, RoutinesMayPostMoreAndWaitForTimesOut) {
    TQueuedUiThread ui;
    int count = 0;
    ui.Post([&] { ui.Post([&] { ++count; }); });
    EXPECT_TRUE(ui.WaitFor([&] { return count == 1; }, 1s));
    EXPECT_FALSE(ui.WaitFor([] { return false; }, 30ms));
}

TEST(QueuedUiThread, DestroyingReleasesBlockedWorkers) {
    std::thread worker;
    std::atomic<bool> returned{false};
    bool ran = false;
    {
        TQueuedUiThread ui;
        worker = std::thread([&] {
            ui.RunAndWait([&] { ran = true; });
            returned = true;
        });
        EXPECT_TRUE(PollUntil([&] { return ui.HasPending(); }));
    }
    worker.join();
    EXPECT_TRUE(returned.load());
    EXPECT_FALSE(ran);
}

}  // namespace
