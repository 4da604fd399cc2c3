// The task loop on its own: ordering, refusal, removal, filters, stopping.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "platform/eHttpHelper.h"
#include "service_test_support.h"

namespace TVK {
namespace {

using test::Gate;
using test::LoggedTask;
using test::TaskLog;

TEST(TaskLoopConcurrency, FullQueueRefusesAndUrgentGoesFirst) {
    TaskLog log;
    std::mutex orderMutex;
    std::vector<int> order;
    auto tagged = [&](int tag) {
        return new LoggedTask(log, [&, tag](eTaskWorkThread*) {
            std::lock_guard<std::mutex> lock(orderMutex);
            order.push_back(tag);
        });
    };
    {
        eTaskMessageLoop loop;
        loop.SetTaskQueueSize(3);
        EXPECT_EQ(loop.GetTaskQueueSize(), 3);
        EXPECT_EQ(loop.AddTask(tagged(1), 0), 1);
        EXPECT_EQ(loop.AddTask(tagged(2), 0), 1);
        EXPECT_EQ(loop.AddTask(tagged(3), 1), 1);
        // The refused task is dropped at once, not lost.
        EXPECT_EQ(loop.AddTask(tagged(4), 1), 0);
        EXPECT_EQ(log.removed.load(), 1);
        EXPECT_EQ(log.released.load(), 1);
        EXPECT_EQ(loop.GetTaskCount(), 3);
        EXPECT_EQ(loop.AddTask(nullptr, 0), 0);

        eTaskWorkThread worker;
        ASSERT_EQ(worker.StartThread(), 0);  // not attached
        ASSERT_EQ(worker.Attach(&loop), 1);
        ASSERT_EQ(worker.StartThread(), 1);
        ASSERT_TRUE(log.finished.WaitFor(4));
        EXPECT_EQ(worker.StopThread(), 1);
    }
    EXPECT_EQ(order, (std::vector<int>{3, 1, 2}));
    EXPECT_EQ(log.runs.load(), 3);
}

TEST(TaskLoop, DestroyedLoopDropsQueuedTasksAndRemoveAllCounts) {
    TaskLog log;
    {
        eTaskMessageLoop loop;
        for (int i = 0; i < 5; ++i) loop.AddTask(new LoggedTask(log), 0);
        EXPECT_EQ(loop.RemoveAllTask(), 5);
        EXPECT_EQ(loop.RemoveAllTask(), 0);
        for (int i = 0; i < 3; ++i) loop.AddTask(new LoggedTask(log), i % 2);
    }
    EXPECT_EQ(log.removed.load(), 8);
    EXPECT_EQ(log.released.load(), 8);
    EXPECT_EQ(log.runs.load(), 0);
}

struct OddTask : LoggedTask {
    OddTask(TaskLog& log, bool isOdd) : LoggedTask(log), odd(isOdd) {}
    bool odd;
};

class OddFilter : public eTaskFilter {
public:
    std::atomic<int> calls{0};
    std::atomic<int> wrongState{0};
    unsigned char PreTranslateTask(eTaskBase::TaskState state, eTaskBase* task,
                                   unsigned char& handled) override {
        calls++;
        if (state != eTaskBase::TaskRunning) wrongState++;
        handled = static_cast<OddTask*>(task)->odd ? 1 : 0;
        return handled;
    }
};

TEST(TaskLoopConcurrency, FilterThatHandlesKeepsTaskFromRunning) {
    TaskLog log;
    OddFilter filter;
    eTaskMessageLoop loop;
    loop.SetTaskQueueSize(0);  // unbounded
    loop.AddTaskFilter(&filter);
    loop.AddTaskFilter(nullptr);
    eTaskWorkThread a, b;
    a.Attach(&loop);
    b.Attach(&loop);
    ASSERT_EQ(a.StartThread(), 1);
    ASSERT_EQ(b.StartThread(), 1);
    for (int i = 0; i < 1000; ++i) loop.AddTask(new OddTask(log, i % 2 == 1), 0);
    ASSERT_TRUE(log.finished.WaitFor(1000));
    EXPECT_EQ(log.runs.load(), 500);
    EXPECT_EQ(log.removed.load(), 500);
    EXPECT_EQ(log.released.load(), 1000);
    EXPECT_EQ(filter.calls.load(), 1000);
    EXPECT_EQ(filter.wrongState.load(), 0);
}

TEST(TaskLoopConcurrency, StopWaitsForRunningTaskAndLeavesQueueAlone) {
    TaskLog log;
    Gate gate;
    std::atomic<int> selfStop{-1};
    eTaskMessageLoop loop;
    eTaskWorkThread worker;
    worker.Attach(&loop);
    ASSERT_EQ(worker.StartThread(), 1);
    EXPECT_EQ(worker.Attach(&loop), 0);  // not while running
    loop.AddTask(new LoggedTask(log, [&](eTaskWorkThread* w) {
        gate.Wait();
        // A task cannot join its own thread; it can only ask it to end.
        selfStop = w->StopThread();
    }), 0);
    ASSERT_TRUE(log.started.WaitFor(1));
    loop.AddTask(new LoggedTask(log), 0);
    gate.Open();
    EXPECT_EQ(worker.StopThread(), 1);
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(selfStop.load(), 0);
    EXPECT_EQ(log.runs.load(), 1);
    EXPECT_EQ(log.released.load(), 1);
    EXPECT_EQ(loop.GetTaskCount(), 1);  // the second task waits for a worker
    // Restarting the same worker serves the queue again.
    ASSERT_EQ(worker.StartThread(), 1);
    ASSERT_TRUE(log.finished.WaitFor(2));
    EXPECT_EQ(log.runs.load(), 2);
}

TEST(HttpHelper, TransportFailureIsReportedWithEmptyBody) {
    void* handle = eHttpHelper::Easy_Init();
    ASSERT_NE(handle, nullptr);
    eByteArray body;
    body.SetSize(3);  // stale content must not survive a failed fetch
    long status = 99;
    // Port 1 on the loopback: nothing listens there.
    EXPECT_EQ(eHttpHelper::Get(handle, "http://127.0.0.1:1/x.png", body, &status), 0);
    EXPECT_EQ(body.GetSize(), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(eHttpHelper::Get(nullptr, "http://127.0.0.1:1/", body, &status), 0);
    eHttpHelper::Easy_Cleanup(handle);
    eHttpHelper::Easy_Cleanup(nullptr);
}

}  // namespace
}  // namespace TVK
