#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <atomic>
#include <thread>

#include "app/TQtUiThread.h"

namespace {

TEST(QtUiThread, PostAndRunAndWaitRunOnTheUiThreadInOrder) {
    TQtUiThread ui;
    EXPECT_TRUE(ui.IsUiThread());
    QThread* const main = QThread::currentThread();
    std::vector<int> order;
    std::atomic<bool> workerDone{false};
    bool waitedOnMain = false;
    std::thread worker([&] {
        EXPECT_FALSE(ui.IsUiThread());
        ui.Post([&] { order.push_back(1); });
        ui.RunAndWait([&] {
            order.push_back(2);
            waitedOnMain = QThread::currentThread() == main;
        });
        EXPECT_EQ(order.size(), 2u);
        workerDone = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return workerDone.load(); }, 5000));
    worker.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(waitedOnMain);

    bool direct = false;
    ui.RunAndWait([&] { direct = true; });
    EXPECT_TRUE(direct);
}

}  // namespace
