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

// Counts reaching a target; Wait gives up after a long grace period so a
// broken loop fails the test instead of hanging it.
class Counter {
public:
    void Add() {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
        m_changed.notify_all();
    }
    int Get() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
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

// What happened to the tasks of one test; every field counts calls.
struct TaskLog {
    std::atomic<int> runs{0};
    std::atomic<int> removed{0};
    std::atomic<int> released{0};
    Counter started;   // Run entered
    Counter finished;  // Release called
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

// A one-shot gate that tasks block on until the test opens it.
struct Gate : Counter {
    void Open() { Add(); }
    bool Wait() { return WaitFor(1); }
};

}  // namespace test
}  // namespace TVK

#endif
