// The tile request service: a process-wide task queue served by worker
// threads that each hold one HTTP handle, and the base of the caller's
// request tasks.
//
// Lifetime: the library's load sets up HTTP; the instance from GetInstance is
// built on first use and destroyed (its workers stopped) at unload or process
// end, before the HTTP tear-down.
#ifndef TVK_ETILESERVERMANAGER_H
#define TVK_ETILESERVERMANAGER_H

#include <atomic>
#include <cstdint>

#include "base/eArray.h"
#include "platform/eExport.h"
#include "platform/eString.h"
#include "platform/eTask.h"
#include "platform/eThread.h"

namespace TVK {

extern template class TVK_API eArray<eTaskWorkThread*>;

// A caller's request: derive, implement Run/OnRemoved/Release, and queue it
// with eTileServerManager::Request. Run's worker argument is an
// eTileRequestThread; its GetUserData() is that worker's HTTP handle.
class TVK_API eRequestTask : public eTaskBase {
public:
    eRequestTask();
    explicit eRequestTask(const eString& request);
    eRequestTask(const eRequestTask& other);
    eRequestTask& operator=(const eRequestTask& other);
    virtual ~eRequestTask();

protected:
    eString m_strRequest;  // the request text given at construction
};

// One worker: serves a task loop and owns one HTTP handle for its whole life.
class TVK_API eTileRequestThread : public eTaskWorkThread {
public:
    eTileRequestThread();
    // Stops the thread before the handle its tasks use is released.
    virtual ~eTileRequestThread();

    // The HTTP handle (null if it could not be made).
    void* GetUserData() override;

private:
    void* UserData;
};

// Threads: Request, Start, Stop, RemoveAllRequest and the size calls may be
// made from any thread at once; a task queued by a Request that races a
// Stop is either dropped by that Stop or run by fresh workers, never left
// waiting without one. Stop and the destructor must not run on a worker
// (inside a task): a worker cannot wait for itself.
class TVK_API eTileServerManager : public eTaskFilter {
public:
    // The process-wide instance, built on the first call (safe from any
    // number of threads at once).
    static eTileServerManager& GetInstance();

    eTileServerManager();
    // Stops the workers (waiting for running tasks) if any are running.
    virtual ~eTileServerManager();
    eTileServerManager(const eTileServerManager&) = delete;
    eTileServerManager& operator=(const eTileServerManager&) = delete;

    // Takes effect at the next Start.
    void SetWorkThreadSize(int count) TVK_EXCLUDES(StartMutex);
    int GetWorkThreadSize() const TVK_EXCLUDES(StartMutex);
    eTaskMessageLoop& GetTaskLoop();

    // Starts the workers if not started, then queues task (flag 1: ahead of
    // the waiting tasks). Ownership passes to the loop; a task refused by a
    // full queue gets OnRemoved() and Release().
    void Request(eTaskBase* task, unsigned char flag) TVK_EXCLUDES(StartMutex);
    // Drops every waiting task; the workers keep running.
    void RemoveAllRequest();
    // Adds WorkThreadSize workers on the same loop; 1 if any worker runs.
    unsigned char Start() TVK_EXCLUDES(StartMutex);
    // Drops the waiting tasks, stops (waiting for running tasks) and
    // destroys every worker; always 1. The next Request starts afresh.
    unsigned char Stop() TVK_EXCLUDES(StartMutex);

    // The manager lets every task run: handled 0, result 0.
    unsigned char PreTranslateTask(eTaskBase::TaskState state, eTaskBase* task,
                                   unsigned char& handled) override;

    // Workers currently owned (for monitoring).
    int GetWorkThreadCount() const TVK_EXCLUDES(StartMutex);

private:
    // The lazy start: the first caller to find Started clear starts workers.
    void StartOnDemand() TVK_EXCLUDES(StartMutex);
    unsigned char StartWorkers() TVK_REQUIRES(StartMutex);

    int32_t WorkThreadSize TVK_GUARDED_BY(StartMutex);
    eTaskMessageLoop TaskLoop;
    eArray<eTaskWorkThread*> WorkThreads TVK_GUARDED_BY(StartMutex);
    // Read without the lock on every Request; written under it.
    std::atomic<bool> Started;
    // Guards the worker list and the count of the next start; held only for
    // short, never while a worker is awaited or a task is called back.
    mutable eMutex StartMutex;
};

}  // namespace TVK

#endif
