// Tasks and synchronisation helpers shared by the service tests.
#ifndef TVK_TESTS_SERVICE_SUPPORT_H
#define TVK_TESTS_SERVICE_SUPPORT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "eTileServerManager.h"

namespace tvktest {

using namespace TVK;

// Counts up; WaitFor gives up after 10 s so a broken loop fails the test
// instead of hanging it. A Counter also serves as a one-shot gate (Add opens).
struct Counter {
    void Add() {
        std::lock_guard<std::mutex> lock(mutex);
        ++count;
        changed.notify_all();
    }
    bool WaitFor(int target) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return count >= target; });
    }
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
};

// What happened to the tasks of one test.
struct TaskLog {
    std::atomic<int> runs{0}, removed{0}, released{0};
    Counter started, finished;  // Run entered; Release called
};

// A task that records its callbacks and may run a body; deletes itself.
struct LoggedTask : eRequestTask {
    explicit LoggedTask(TaskLog& log, std::function<void(eTaskWorkThread*)> body = nullptr)
        : m_log(log), m_body(std::move(body)) {}
    void Run(eTaskWorkThread* worker) override {
        m_log.runs++;
        m_log.started.Add();
        if (m_body) m_body(worker);
    }
    void OnRemoved() override { m_log.removed++; }
    void Release() override {
        TaskLog& log = m_log;
        delete this;  // before the counts, so a test that sees them sees no live task
        log.released++;
        log.finished.Add();
    }
    TaskLog& m_log;
    std::function<void(eTaskWorkThread*)> m_body;
};

}  // namespace tvktest

#endif
