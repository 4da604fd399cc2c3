// The request service: lazy start of the workers, the queue they share, and
// the order of the process-wide HTTP set-up and tear-down around the
// singleton.
#include "eTileServerManager.h"

#include <mutex>

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
    // Workers added by an explicit Start run even while Started is false;
    // they must not outlive the loop they serve.
    if (Started.load() || WorkThreads.GetSize() > 0) Stop();
}

void eTileServerManager::SetWorkThreadSize(int count) { WorkThreadSize = count; }

int eTileServerManager::GetWorkThreadSize() const { return WorkThreadSize; }

eTaskMessageLoop& eTileServerManager::GetTaskLoop() { return TaskLoop; }

void eTileServerManager::Request(eTaskBase* task, unsigned char flag) {
    if (!Started.load(std::memory_order_acquire)) {
        std::lock_guard<eMutex> lock(StartMutex);
        if (!Started.load(std::memory_order_relaxed)) {
            Started.store(true, std::memory_order_release);
            Start();
        }
    }
    TaskLoop.AddTask(task, flag);
}

void eTileServerManager::RemoveAllRequest() { TaskLoop.RemoveAllTask(); }

unsigned char eTileServerManager::Start() {
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
    TaskLoop.RemoveAllTask();
    for (eInt i = 0; i < WorkThreads.GetSize(); ++i) {
        eTaskWorkThread* worker = WorkThreads[i];
        worker->StopThread();
        delete worker;
    }
    WorkThreads.RemoveAll();
    WorkThreads.FreeExtra();
    Started.store(false);
    return 1;
}

unsigned char eTileServerManager::PreTranslateTask(eTaskBase::TaskState, eTaskBase*,
                                                   unsigned char& handled) {
    handled = 0;
    return 0;
}

}  // namespace TVK
