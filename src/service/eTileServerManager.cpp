// The request service: lazy start of the workers, the queue they share, and
// the order of the process-wide HTTP set-up and tear-down around the
// singleton.
#include "eTileServerManager.h"

#include "platform/eHttpHelper.h"

namespace TVK {

// Exported through the extern declaration in the header.
template class eArray<eTaskWorkThread*>;

namespace {

constexpr int32_t kDefaultWorkThreadSize = 2;
constexpr int kDefaultTaskQueueSize = 200;

// Built while the library loads, before any code can reach GetInstance, so
// the singleton (a function-local static built later) is destroyed first and
// its workers free their HTTP handles before the global tear-down runs.
struct HttpGlobalScope {
    HttpGlobalScope() { eHttpHelper::Global_Init(); }
    ~HttpGlobalScope() { eHttpHelper::Global_Cleanup(); }
    HttpGlobalScope(const HttpGlobalScope&) = delete;
    HttpGlobalScope& operator=(const HttpGlobalScope&) = delete;
};
const HttpGlobalScope g_httpGlobal;

}  // namespace

eTileServerManager& eTileServerManager::GetInstance() {
    static eTileServerManager instance;
    return instance;
}

eTileServerManager::eTileServerManager()
    : WorkThreadSize(kDefaultWorkThreadSize), WorkThreads(0), Started(false), StartMutex(1) {
    TaskLoop.SetTaskQueueSize(kDefaultTaskQueueSize);
    TaskLoop.AddTaskFilter(this);
}

eTileServerManager::~eTileServerManager() {
    // Also when Started is clear: workers added by an explicit Start must not
    // outlive the loop they serve.
    Stop();
}

void eTileServerManager::SetWorkThreadSize(int count) {
    eMutexGuard lock(StartMutex);
    WorkThreadSize = count;
}

int eTileServerManager::GetWorkThreadSize() const {
    eMutexGuard lock(StartMutex);
    return WorkThreadSize;
}

int eTileServerManager::GetWorkThreadCount() const {
    eMutexGuard lock(StartMutex);
    return WorkThreads.GetSize();
}

eTaskMessageLoop& eTileServerManager::GetTaskLoop() { return TaskLoop; }

void eTileServerManager::Request(eTaskBase* task, unsigned char flag) {
    StartOnDemand();
    TaskLoop.AddTask(task, flag);
    // Stop clears Started before it sweeps the queue. A task queued after
    // that sweep finds Started clear here and gets fresh workers; one queued
    // before it was dropped by the sweep. Either way none is left waiting.
    StartOnDemand();
}

void eTileServerManager::StartOnDemand() {
    if (Started.load(std::memory_order_acquire)) return;
    eMutexGuard lock(StartMutex);
    if (Started.load(std::memory_order_relaxed)) return;
    // Set before the workers start, and kept whatever StartWorkers returns.
    Started.store(true, std::memory_order_release);
    StartWorkers();
}

void eTileServerManager::RemoveAllRequest() { TaskLoop.RemoveAllTask(); }

unsigned char eTileServerManager::Start() {
    eMutexGuard lock(StartMutex);
    return StartWorkers();
}

unsigned char eTileServerManager::StartWorkers() {
    for (int32_t i = 0; i < WorkThreadSize; ++i) {
        eTileRequestThread* worker = new eTileRequestThread();
        worker->Attach(&TaskLoop);
        if (worker->StartThread())
            WorkThreads.Add(worker);
        else
            delete worker;
    }
    return WorkThreads.GetSize() > 0 ? 1 : 0;
}

unsigned char eTileServerManager::Stop() {
    // The workers are taken out under the lock and awaited outside it, so a
    // running task may still call Request (which then starts fresh workers)
    // and the sweep's OnRemoved/Release callbacks run without the lock.
    eArray<eTaskWorkThread*> stopping(0);
    {
        eMutexGuard lock(StartMutex);
        Started.store(false);
        stopping = WorkThreads;
        WorkThreads.RemoveAll();
        WorkThreads.FreeExtra();
    }
    TaskLoop.RemoveAllTask();
    for (eInt i = 0; i < stopping.GetSize(); ++i) {
        eTaskWorkThread* worker = stopping[i];
        worker->StopThread();
        delete worker;
    }
    return 1;
}

unsigned char eTileServerManager::PreTranslateTask(eTaskBase::TaskState, eTaskBase*,
                                                   unsigned char& handled) {
    handled = 0;
    return 0;
}

}  // namespace TVK
