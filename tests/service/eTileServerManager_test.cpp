// The request service with real worker threads.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "support/service_support.h"

using namespace TVK;
using namespace tvktest;

TEST(TileServerManagerConcurrency, LazyStartCountsAndRestartAfterStop) {
    TaskLog log;
    eTileServerManager manager;
    EXPECT_EQ(manager.Stop(), 1);  // never started
    unsigned char handled = 7;
    EXPECT_TRUE(manager.PreTranslateTask(eTaskBase::TaskRunning, nullptr, handled) == 0 &&
                handled == 0);
    manager.SetWorkThreadSize(3);
    manager.Request(new LoggedTask(log), 0);
    EXPECT_EQ(manager.GetWorkThreadCount(), 3);
    for (int i = 0; i < 50; ++i) manager.Request(new LoggedTask(log), 0);
    manager.SetWorkThreadSize(4);  // only the next start sees it
    manager.Request(new LoggedTask(log), 0);
    EXPECT_EQ(manager.GetWorkThreadCount(), 3);
    ASSERT_TRUE(log.finished.WaitFor(52));
    EXPECT_EQ(manager.Stop(), 1);
    EXPECT_EQ(manager.GetWorkThreadCount(), 0);
    manager.Request(new LoggedTask(log), 0);
    EXPECT_EQ(manager.GetWorkThreadCount(), 4);
    ASSERT_TRUE(log.finished.WaitFor(53));
    EXPECT_TRUE(log.runs == 53 && log.removed == 0);
}

TEST(TileServerManagerConcurrency, ConcurrentFirstRequestsStartOneSetAndShareOneInstance) {
    TaskLog log;
    eTileServerManager manager;
    std::vector<eTileServerManager*> seen(6, nullptr);
    std::vector<std::thread> callers;
    for (int t = 0; t < 6; ++t)
        callers.emplace_back([&, t] {
            seen[t] = &eTileServerManager::GetInstance();
            for (int i = 0; i < 20; ++i) manager.Request(new LoggedTask(log), 0);
        });
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(manager.GetWorkThreadCount(), 2);
    ASSERT_TRUE(log.finished.WaitFor(120));
    EXPECT_EQ(log.runs + log.removed, 120);
    for (eTileServerManager* m : seen) EXPECT_EQ(m, &eTileServerManager::GetInstance());
}

// Start twice gives twice the workers on one loop, each with its own HTTP
// handle: four tasks that wait until four of them run at once prove it.
TEST(TileServerManagerConcurrency, TwoStartsDoubleWorkersOnOneLoopEachWithOwnHandle) {
    TaskLog log;
    std::mutex mutex;
    std::set<void*> handles;
    Counter all;
    {
        eTileServerManager manager;
        EXPECT_TRUE(manager.Start() && manager.Start());
        EXPECT_EQ(manager.GetWorkThreadCount(), 4);
        for (int i = 0; i < 4; ++i)
            manager.Request(new LoggedTask(log,
                                           [&](eTaskWorkThread* w) {
                                               std::unique_lock<std::mutex> lock(mutex);
                                               handles.insert(w->GetUserData());
                                               lock.unlock();
                                               all.Add();
                                               all.WaitFor(4);
                                           }),
                            0);
        ASSERT_TRUE(log.finished.WaitFor(4));
        EXPECT_EQ(manager.GetWorkThreadCount(),
                  6);  // Start leaves the lazy flag: Request started 2 more
        EXPECT_EQ(manager.Stop(), 1);
    }
    EXPECT_TRUE(handles.size() == 4 && handles.count(nullptr) == 0);
}

// RemoveAllRequest drops the waiting tasks and keeps the worker. Workers from
// an explicit Start are joined by the destructor, which waits for the running
// task and drops the waiting ones.
TEST(TileServerManagerConcurrency, RemoveAllRequestAndDestroyingWithRunningTask) {
    TaskLog log;
    Counter gate;
    std::atomic<bool> bodyDone{false};
    {
        eTileServerManager manager;
        manager.SetWorkThreadSize(1);
        ASSERT_EQ(manager.Start(), 1);
        manager.GetTaskLoop().AddTask(
            new LoggedTask(log,
                           [&](eTaskWorkThread*) {
                               gate.WaitFor(1);
                               std::this_thread::sleep_for(std::chrono::milliseconds(150));
                               bodyDone = true;
                           }),
            0);
        ASSERT_TRUE(log.started.WaitFor(1));
        for (int i = 0; i < 10; ++i) manager.GetTaskLoop().AddTask(new LoggedTask(log), 0);
        manager.RemoveAllRequest();
        EXPECT_TRUE(log.removed == 10 && log.released == 10 && manager.GetWorkThreadCount() == 1);
        for (int i = 0; i < 5; ++i) manager.GetTaskLoop().AddTask(new LoggedTask(log), 0);
        gate.Add();
    }
    EXPECT_TRUE(bodyDone && log.runs == 1 && log.removed == 15 && log.released == 16);
}

// Producers race the queue limit and a canceller: every task ends exactly one
// way (run 1 or removed 10) and is released exactly once (100).
TEST(TileServerManagerConcurrency, EveryTaskReleasedExactlyOnceUnderLoad) {
    constexpr int kProducers = 4, kPerProducer = 15000;
    std::vector<std::atomic<int>> outcome(kProducers * kPerProducer);
    struct Task : eRequestTask {
        explicit Task(std::atomic<int>& o) : out(o) {}
        void Run(eTaskWorkThread*) override { out += 1; }
        void OnRemoved() override { out += 10; }
        void Release() override {
            out += 100;
            delete this;
        }
        std::atomic<int>& out;
    };
    {
        eTileServerManager manager;
        std::atomic<bool> producing{true};
        std::thread canceller([&] {
            while (producing) {
                manager.RemoveAllRequest();
                std::this_thread::yield();
            }
        });
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p)
            producers.emplace_back([&, p] {
                for (int i = 0; i < kPerProducer; ++i)
                    manager.Request(new Task(outcome[p * kPerProducer + i]), i % 7 == 0);
            });
        for (std::thread& t : producers) t.join();
        producing = false;
        canceller.join();
        // With nobody cancelling, the workers drain the queue and run a last task.
        std::atomic<int> last{0};
        for (int i = 0; i < 10000 && manager.GetTaskLoop().GetTaskCount() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        manager.Request(new Task(last), 0);
        for (int i = 0; i < 10000 && last != 101; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(last, 101);
    }
    for (const std::atomic<int>& o : outcome) ASSERT_TRUE(o == 101 || o == 110) << o;
}

// Start, Stop and the thread count change under producers' Requests, and some
// tasks queue a follow-up from their worker. Every task queued must end
// (run, or dropped by a Stop) with no further Request to wake the service,
// and stopping leaves no worker behind.
TEST(TileServerManagerConcurrency, StartAndStopRaceRequestsWithoutStrandingTasks) {
    constexpr int kProducers = 3, kPerProducer = 3000;
    TaskLog log;
    std::atomic<int> queued{0};
    eTileServerManager manager;
    auto request = [&](bool followUp) {
        queued++;
        manager.Request(new LoggedTask(log,
                                       [&, followUp](eTaskWorkThread*) {
                                           if (followUp) {
                                               queued++;
                                               manager.Request(new LoggedTask(log), 0);
                                           }
                                       }),
                        0);
    };
    std::atomic<int> producing{kProducers};
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p)
        threads.emplace_back([&] {
            for (int i = 0; i < kPerProducer; ++i) request(i % 50 == 0);
            producing--;
        });
    int cycles = 0;
    threads.emplace_back([&] {
        // Ends on a Stop, so the last Requests race a Stop.
        for (; producing > 0 || cycles < 20; ++cycles) {
            manager.SetWorkThreadSize(1 + cycles % 3);
            if (cycles % 2) manager.Start();
            manager.Stop();
            (void)manager.GetWorkThreadCount();  // reads the list the others change
        }
    });
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < 10000 && log.released != queued; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(log.released, queued) << "tasks left waiting with no worker";
    EXPECT_EQ(log.runs + log.removed, queued);
    EXPECT_EQ(manager.Stop(), 1);
    EXPECT_EQ(manager.GetWorkThreadCount(), 0);
}
