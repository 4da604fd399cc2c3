// The task loop on its own: ordering, refusal, removal, filters, stopping.
#include <gtest/gtest.h>

#include <vector>

#include "support/service_support.h"

using namespace TVK;
using namespace tvktest;

TEST(TaskLoopConcurrency, FullQueueRefusesUrgentGoesFirstAndRemovedTasksAreReleased) {
    TaskLog log;
    std::vector<int> order;  // one worker writes it; read after StopThread joins it
    auto tagged = [&](int tag) {
        return new LoggedTask(log, [&, tag](eTaskWorkThread*) { order.push_back(tag); });
    };
    {
        eTaskMessageLoop loop;
        loop.SetTaskQueueSize(3);
        EXPECT_TRUE(loop.AddTask(tagged(1), 0) && loop.AddTask(tagged(2), 0) &&
                    loop.AddTask(tagged(3), 1));
        EXPECT_EQ(loop.AddTask(tagged(4), 1), 0);  // refused, and told so at once
        EXPECT_TRUE(log.removed == 1 && log.released == 1 && loop.GetTaskCount() == 3);
        eTaskWorkThread worker;
        ASSERT_EQ(worker.StartThread(), 0);  // not attached
        ASSERT_TRUE(worker.Attach(&loop) && worker.StartThread());
        ASSERT_TRUE(log.finished.WaitFor(4));
        EXPECT_EQ(worker.StopThread(), 1);
    }
    EXPECT_EQ(order, (std::vector<int>{3, 1, 2}));
    {
        eTaskMessageLoop loop;  // no worker: RemoveAllTask counts, destruction drops the rest
        for (int i = 0; i < 5; ++i) loop.AddTask(new LoggedTask(log), 0);
        EXPECT_EQ(loop.RemoveAllTask(), 5);
        for (int i = 0; i < 3; ++i) loop.AddTask(new LoggedTask(log), i % 2);
    }
    EXPECT_TRUE(log.runs == 3 && log.removed == 9 && log.released == 12);
}

// Handles (and so drops) every second task it is asked about.
struct EveryOtherFilter : eTaskFilter {
    std::atomic<int> calls{0}, wrongState{0};
    unsigned char PreTranslateTask(eTaskBase::TaskState state, eTaskBase*,
                                   unsigned char& handled) override {
        wrongState += state != eTaskBase::TaskRunning;
        handled = calls++ % 2;
        return handled;
    }
};

TEST(TaskLoopConcurrency, FilterThatHandlesKeepsTaskFromRunning) {
    TaskLog log;
    EveryOtherFilter filter;
    eTaskMessageLoop loop;
    loop.SetTaskQueueSize(0);  // unbounded
    loop.AddTaskFilter(&filter);
    eTaskWorkThread a, b;
    ASSERT_TRUE(a.Attach(&loop) && b.Attach(&loop) && a.StartThread() && b.StartThread());
    for (int i = 0; i < 1000; ++i) loop.AddTask(new LoggedTask(log), 0);
    ASSERT_TRUE(log.finished.WaitFor(1000));
    EXPECT_TRUE(log.runs == 500 && log.removed == 500 && log.released == 1000);
    EXPECT_TRUE(filter.calls == 1000 && filter.wrongState == 0);
}

TEST(TaskLoopConcurrency, StopWaitsForRunningTaskAndLeavesQueueAlone) {
    TaskLog log;
    Counter gate;
    std::atomic<int> selfStop{-1};
    eTaskMessageLoop loop;
    eTaskWorkThread worker;
    ASSERT_TRUE(worker.Attach(&loop) && worker.StartThread());
    EXPECT_EQ(worker.Attach(&loop), 0);  // not while running
    loop.AddTask(
        new LoggedTask(
            log,
            [&](eTaskWorkThread* w) {
                gate.WaitFor(1);
                selfStop =
                    w->StopThread();  // a task cannot join its own thread, only ask it to end
            }),
        0);
    ASSERT_TRUE(log.started.WaitFor(1));
    loop.AddTask(new LoggedTask(log), 0);
    gate.Add();
    EXPECT_EQ(worker.StopThread(), 1);
    EXPECT_TRUE(!worker.IsRunning() && selfStop == 0 && log.runs == 1 && log.released == 1);
    EXPECT_EQ(loop.GetTaskCount(), 1);   // the second task waits for a worker
    ASSERT_EQ(worker.StartThread(), 1);  // restarted, the worker serves the queue again
    ASSERT_TRUE(log.finished.WaitFor(2));
    EXPECT_EQ(log.runs, 2);
}
