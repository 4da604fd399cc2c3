// Request service overhead: tasks per second through Request with two
// workers and an empty Run, and the CPU time idle workers use.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "eTileServerManager.h"

namespace TVK {
namespace {

// Counts released tasks and wakes the producer when a batch is through.
class Completion {
public:
    void Reset(int target) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nTarget = target;
        m_nDone.store(0);
    }
    void Ended() {
        if (m_nDone.fetch_add(1) + 1 == m_nTarget) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_changed.notify_all();
        }
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_nDone.load() >= m_nTarget; });
    }
    std::atomic<int> m_nDropped{0};

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::atomic<int> m_nDone{0};
    int m_nTarget = 0;
};

// Preallocated and reused: the figure is the service's overhead, not new/delete.
class EmptyTask : public eRequestTask {
public:
    Completion* m_pCompletion = nullptr;
    void Run(eTaskWorkThread*) override {}
    void OnRemoved() override { m_pCompletion->m_nDropped++; }
    void Release() override { m_pCompletion->Ended(); }
};

constexpr int kBatch = 20000;

void RunBatches(benchmark::State& state, int queueSize, bool throttle) {
    eTileServerManager manager;
    manager.SetWorkThreadSize(2);
    manager.GetTaskLoop().SetTaskQueueSize(queueSize);
    Completion completion;
    std::vector<EmptyTask> tasks(kBatch);
    for (EmptyTask& task : tasks) task.m_pCompletion = &completion;
    for (auto _ : state) {
        completion.Reset(kBatch);
        for (EmptyTask& task : tasks) {
            // The queue refuses work beyond its size; a producer that wants
            // every task run waits for room.
            if (throttle)
                while (manager.GetTaskLoop().GetTaskCount() >= queueSize) std::this_thread::yield();
            manager.Request(&task, 0);
        }
        completion.Wait();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["dropped"] = completion.m_nDropped.load();
    state.counters["workers"] = manager.GetWorkThreadCount();
}

// Whole batch queued at once: one large queue.
void BM_RequestEmptyTasksLargeQueue(benchmark::State& state) { RunBatches(state, kBatch, false); }
BENCHMARK(BM_RequestEmptyTasksLargeQueue)->UseRealTime()->Unit(benchmark::kMillisecond);

// The service's default queue of 200, the producer waiting for room.
void BM_RequestEmptyTasksDefaultQueue(benchmark::State& state) { RunBatches(state, 200, true); }
BENCHMARK(BM_RequestEmptyTasksDefaultQueue)->UseRealTime()->Unit(benchmark::kMillisecond);

// Process CPU time over 200 ms of wall time while two started workers have
// nothing to do: close to zero when they block instead of polling.
void BM_IdleWorkersCpu(benchmark::State& state) {
    eTileServerManager manager;
    Completion completion;
    EmptyTask task;
    task.m_pCompletion = &completion;
    completion.Reset(1);
    manager.Request(&task, 0);
    completion.Wait();
    double cpuMs = 0;
    for (auto _ : state) {
        const std::clock_t before = std::clock();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cpuMs = 1000.0 * static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
    }
    state.counters["idle_cpu_ms_per_200ms"] = cpuMs;
    state.counters["workers"] = manager.GetWorkThreadCount();
}
BENCHMARK(BM_IdleWorkersCpu)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace TVK
