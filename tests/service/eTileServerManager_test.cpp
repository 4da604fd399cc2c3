// The request service with real worker threads.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "service_test_support.h"

namespace TVK {
namespace {

using test::Counter;
using test::Gate;
using test::LoggedTask;
using test::TaskLog;

TEST(TileServerManager, FreshManagerDefaultsAndFilterAnswer) {
    eTileServerManager manager;
    EXPECT_EQ(manager.GetWorkThreadSize(), 2);
    EXPECT_EQ(manager.GetTaskLoop().GetTaskQueueSize(), 200);
    EXPECT_EQ(manager.GetWorkThreadCount(), 0);
    EXPECT_EQ(manager.Stop(), 1);  // never started
    EXPECT_EQ(manager.GetWorkThreadCount(), 0);
    TaskLog log;
    LoggedTask task(log);
    for (int state = eTaskBase::TaskQueued; state <= eTaskBase::TaskRemoved; ++state) {
        unsigned char handled = 7;
        EXPECT_EQ(manager.PreTranslateTask(static_cast<eTaskBase::TaskState>(state), &task, handled), 0);
        EXPECT_EQ(handled, 0);
        handled = 7;
        EXPECT_EQ(manager.PreTranslateTask(eTaskBase::TaskRunning, nullptr, handled), 0);
        EXPECT_EQ(handled, 0);
    }
    // No workers: the request is marked started and queued, and Stop drops it.
    manager.SetWorkThreadSize(0);
    EXPECT_EQ(manager.Start(), 0);
    manager.Request(new LoggedTask(log), 1);
    EXPECT_EQ(manager.GetWorkThreadCount(), 0);
    EXPECT_EQ(manager.GetTaskLoop().GetTaskCount(), 1);
    EXPECT_EQ(manager.Stop(), 1);
    EXPECT_EQ(log.removed.load(), 1);
    EXPECT_EQ(log.released.load(), 1);
}

TEST(TileServerManagerConcurrency, LazyStartCountsAndRestartAfterStop) {
    TaskLog log;
    eTileServerManager manager;
    manager.SetWorkThreadSize(3);
    manager.Request(new LoggedTask(log), 0);
    EXPECT_EQ(manager.GetWorkThreadCount(), 3);
    for (int i = 0; i < 50; ++i) manager.Request(new LoggedTask(log), 0);
    manager.SetWorkThreadSize(4);  // only the next start sees it
    manager.Request(new LoggedTask(log), 0);
    EXPECT_EQ(manager.GetWorkThreadCount(), 3);
    ASSERT_TRUE(log.finished.WaitFor(52));
    EXPECT_EQ(log.runs.load(), 52);

    EXPECT_EQ(manager.Stop(), 1);
    EXPECT_EQ(manager.GetWorkThreadCount(), 0);
    manager.Request(new LoggedTask(log), 0);
    EXPECT_EQ(manager.GetWorkThreadCount(), 4);
    ASSERT_TRUE(log.finished.WaitFor(53));
    EXPECT_EQ(log.runs.load(), 53);
    EXPECT_EQ(log.removed.load(), 0);
}

TEST(TileServerManagerConcurrency, ConcurrentFirstRequestsStartOneSet) {
    TaskLog log;
    eTileServerManager manager;
    std::vector<std::thread> callers;
    for (int t = 0; t < 6; ++t)
        callers.emplace_back([&] {
            for (int i = 0; i < 20; ++i) manager.Request(new LoggedTask(log), 0);
        });
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(manager.GetWorkThreadCount(), 2);
    ASSERT_TRUE(log.finished.WaitFor(120));
    EXPECT_EQ(log.runs.load() + log.removed.load(), 120);
}

// All n tasks wait until n of them are running at once: only n workers on
// the same loop can get there.
void RunBarrierTasks(eTileServerManager& manager, int n, TaskLog& log,
                     std::vector<void*>& handles, std::vector<eTaskWorkThread*>& workers) {
    auto mutex = std::make_shared<std::mutex>();
    auto all = std::make_shared<Gate>();
    for (int i = 0; i < n; ++i)
        manager.Request(new LoggedTask(log, [&, mutex, all, n](eTaskWorkThread* w) {
            {
                std::lock_guard<std::mutex> lock(*mutex);
                handles.push_back(w->GetUserData());
                workers.push_back(w);
                if (static_cast<int>(workers.size()) == n) all->Open();
            }
            all->Wait();
        }), 0);
}

TEST(TileServerManagerConcurrency, TwoStartsDoubleWorkersOnOneLoopEachWithOwnHandle) {
    TaskLog log;
    std::vector<void*> handles;
    std::vector<eTaskWorkThread*> workers;
    {
        eTileServerManager manager;
        EXPECT_EQ(manager.Start(), 1);
        EXPECT_EQ(manager.Start(), 1);
        EXPECT_EQ(manager.GetWorkThreadCount(), 4);
        // Start leaves Started alone, so the first Request still adds its
        // own WorkThreadSize workers.
        RunBarrierTasks(manager, 4, log, handles, workers);
        ASSERT_TRUE(log.finished.WaitFor(4));
        EXPECT_EQ(manager.GetWorkThreadCount(), 6);
        for (eTaskWorkThread* w : workers) EXPECT_NE(dynamic_cast<eTileRequestThread*>(w), nullptr);
        EXPECT_EQ(manager.Stop(), 1);
        EXPECT_EQ(manager.GetWorkThreadCount(), 0);
    }
    ASSERT_EQ(handles.size(), 4u);
    EXPECT_EQ(std::set<void*>(handles.begin(), handles.end()).size(), 4u);
    EXPECT_EQ(std::set<void*>(handles.begin(), handles.end()).count(nullptr), 0u);
    EXPECT_EQ(std::set<eTaskWorkThread*>(workers.begin(), workers.end()).size(), 4u);
}

TEST(TileServerManagerConcurrency, ExplicitStartWithoutRequestIsStoppedByDestructor) {
    TaskLog log;
    {
        eTileServerManager manager;
        ASSERT_EQ(manager.Start(), 1);
        manager.GetTaskLoop().AddTask(new LoggedTask(log), 0);
        ASSERT_TRUE(log.finished.WaitFor(1));
    }  // workers must be joined here, not left serving a destroyed loop
    EXPECT_EQ(log.runs.load(), 1);
}

TEST(TileServerManagerConcurrency, RemoveAllRequestDropsWaitingTasksOnly) {
    TaskLog log;
    Gate gate;
    eTileServerManager manager;
    manager.SetWorkThreadSize(1);
    manager.Request(new LoggedTask(log, [&](eTaskWorkThread*) { gate.Wait(); }), 0);
    ASSERT_TRUE(log.started.WaitFor(1));
    for (int i = 0; i < 10; ++i) manager.Request(new LoggedTask(log), 0);
    EXPECT_EQ(manager.GetTaskLoop().GetTaskCount(), 10);
    manager.RemoveAllRequest();
    EXPECT_EQ(log.removed.load(), 10);
    EXPECT_EQ(log.released.load(), 10);
    EXPECT_EQ(manager.GetWorkThreadCount(), 1);
    gate.Open();
    manager.Request(new LoggedTask(log), 0);  // the worker still serves
    ASSERT_TRUE(log.finished.WaitFor(12));
    EXPECT_EQ(log.runs.load(), 2);
}

TEST(TileServerManagerConcurrency, DestroyingWithRunningTaskWaitsAndDropsTheRest) {
    TaskLog log;
    std::atomic<bool> bodyDone{false};
    {
        eTileServerManager manager;
        manager.SetWorkThreadSize(1);
        manager.Request(new LoggedTask(log, [&](eTaskWorkThread*) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            bodyDone = true;
        }), 0);
        ASSERT_TRUE(log.started.WaitFor(1));
        for (int i = 0; i < 5; ++i) manager.Request(new LoggedTask(log), 0);
    }
    EXPECT_TRUE(bodyDone.load());
    EXPECT_EQ(log.runs.load(), 1);
    EXPECT_EQ(log.removed.load(), 5);
    EXPECT_EQ(log.released.load(), 6);
}

// Producers race the queue limit and a canceller; each task must end exactly
// one way, exactly once.
TEST(TileServerManagerConcurrency, EveryTaskReleasedExactlyOnceUnderLoad) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 15000;
    struct Outcome {
        std::atomic<int> ran{0}, removed{0}, released{0};
    };
    std::vector<Outcome> outcomes(kProducers * kPerProducer);
    struct Task : eRequestTask {
        explicit Task(Outcome& o) : out(o) {}
        void Run(eTaskWorkThread*) override { out.ran++; }
        void OnRemoved() override { out.removed++; }
        void Release() override {
            out.released++;
            delete this;
        }
        Outcome& out;
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
                    manager.Request(new Task(outcomes[p * kPerProducer + i]), i % 7 == 0);
            });
        for (std::thread& t : producers) t.join();
        producing = false;
        canceller.join();
    }
    int ran = 0;
    for (const Outcome& o : outcomes) {
        ASSERT_EQ(o.released.load(), 1);
        ASSERT_EQ(o.ran.load() + o.removed.load(), 1);
        ran += o.ran.load();
    }
    EXPECT_GT(ran, 0);
}

TEST(TileServerManagerConcurrency, GetInstanceIsOneObjectForAllThreads) {
    std::vector<eTileServerManager*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] { seen[i] = &eTileServerManager::GetInstance(); });
    for (std::thread& t : threads) t.join();
    for (eTileServerManager* m : seen) EXPECT_EQ(m, &eTileServerManager::GetInstance());
}

}  // namespace
}  // namespace TVK
