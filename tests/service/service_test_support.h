// Tasks and synchronisation helpers shared by the service tests.
#ifndef TVK_TESTS_SERVICE_SUPPORT_H
#define TVK_TESTS_SERVICE_SUPPORT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "eTileServerManager.h"

namespace TVK {
namespace test {

// Counts up; WaitFor gives up after 10 s so a broken loop fails the test
// instead of hanging it. A Counter also serves as a one-shot gate (Add opens).
class Counter {
public:
    void Add() {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
        m_changed.notify_all();
    }
    bool WaitFor(int target) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_count >= target; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_count = 0;
};

// What happened to the tasks of one test.
struct TaskLog {
    std::atomic<int> runs{0}, removed{0}, released{0};
    Counter started, finished;  // Run entered; Release called
};

// A task that records its callbacks and may run a body; deletes itself.
class LoggedTask : public eRequestTask {
public:
    using Body = std::function<void(eTaskWorkThread*)>;
    explicit LoggedTask(TaskLog& log, Body body = nullptr) : m_log(log), m_body(std::move(body)) {}
    void Run(eTaskWorkThread* worker) override {
        m_log.runs++;
        m_log.started.Add();
        if (m_body) m_body(worker);
    }
    void OnRemoved() override { m_log.removed++; }
    void Release() override {
        TaskLog& log = m_log;
        delete this;
        log.released++;
        log.finished.Add();
    }

private:
    TaskLog& m_log;
    Body m_body;
};

}  // namespace test
}  // namespace TVK

#endif
