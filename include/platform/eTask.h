// The task loop: a bounded queue of caller-defined tasks served by attached
// worker threads.
//
// Ownership: the loop owns a task from AddTask on. A task that runs gets
// Run(worker) and then Release(). A task that never runs (dropped by
// RemoveAllTask, refused by a full queue, kept from running by a filter, or
// still queued when the loop is destroyed) gets OnRemoved() and then
// Release(). Every task added therefore gets Release() exactly once.
#ifndef TVK_PLATFORM_ETASK_H
#define TVK_PLATFORM_ETASK_H

#include <condition_variable>
#include <deque>
#include <thread>
#include <vector>

#include "base/eArray.h"
#include "base/eList.h"
#include "platform/eExport.h"
#include "platform/eThread.h"

namespace TVK {

class eTaskWorkThread;

class TVK_API eTaskBase {
public:
    enum TaskState { TaskQueued = 0, TaskRunning = 1, TaskFinished = 2, TaskRemoved = 3 };

    // Runs on a worker thread; worker is the thread running it.
    virtual void Run(eTaskWorkThread* worker) = 0;
    // The task will not run; Release() follows.
    virtual void OnRemoved() = 0;
    // The loop is done with the task; typically `delete this`.
    virtual void Release() = 0;
    virtual ~eTaskBase();
};

class TVK_API eTaskFilter {
public:
    // Consulted on the worker thread just before a task runs, with state
    // TaskRunning. Setting handled to 1 keeps the task from running; the loop
    // then treats it as removed. The result is the filter's own and unused by
    // the loop.
    virtual unsigned char PreTranslateTask(eTaskBase::TaskState state, eTaskBase* task,
                                           unsigned char& handled) = 0;

protected:
    // Not virtual: a filter is never deleted through this interface.
    ~eTaskFilter() = default;
};

class TVK_API eTaskMessageLoop {
public:
    eTaskMessageLoop();
    // Stops any worker still running on this loop, then gives every queued
    // task OnRemoved() and Release().
    ~eTaskMessageLoop();
    eTaskMessageLoop(const eTaskMessageLoop&) = delete;
    eTaskMessageLoop& operator=(const eTaskMessageLoop&) = delete;

    // Most tasks that may wait at once; below 1 means no bound. Shrinking
    // below the current count keeps the waiting tasks and refuses new ones.
    void SetTaskQueueSize(int size);
    int GetTaskQueueSize() const;

    // Filters are consulted in the order they were added; null is ignored.
    void AddTaskFilter(eTaskFilter* filter);

    // Queues task (urgent 1: at the front). Returns 0 when the queue is full
    // or task is null; a refused task gets OnRemoved() and Release() first.
    unsigned char AddTask(eTaskBase* task, unsigned char urgent);
    // Drops every waiting task (OnRemoved, Release); returns how many.
    int RemoveAllTask();
    // Tasks waiting, not counting those running.
    int GetTaskCount() const;

private:
    friend class eTaskWorkThread;

    // Worker side: blocks until a task is there or worker is asked to stop;
    // null means stop. Copies the filter list into the worker's scratch list.
    eTaskBase* WaitTask(eTaskWorkThread* worker) TVK_EXCLUDES(m_mutex);
    void RegisterWorker(eTaskWorkThread* worker) TVK_EXCLUDES(m_mutex);
    void RequestStop(eTaskWorkThread* worker) TVK_EXCLUDES(m_mutex);
    void UnregisterWorker(eTaskWorkThread* worker) TVK_EXCLUDES(m_mutex);

    // m_mutex also guards every attached worker's m_bStopRequested.
    mutable eMutex m_mutex;
    std::condition_variable m_wakeWorkers;
    std::deque<eTaskBase*> m_tasks TVK_GUARDED_BY(m_mutex);
    std::vector<eTaskFilter*> m_filters TVK_GUARDED_BY(m_mutex);
    // Running workers attached here.
    std::vector<eTaskWorkThread*> m_workers TVK_GUARDED_BY(m_mutex);
    int m_nQueueSize TVK_GUARDED_BY(m_mutex) = 0;
    // Workers blocked in WaitTask; spares notify calls.
    int m_nIdleWorkers TVK_GUARDED_BY(m_mutex) = 0;
};

// A thread that serves one task loop. Not thread-safe itself: one owner
// starts and stops it.
class TVK_API eTaskWorkThread : public eThread {
public:
    eTaskWorkThread();
    // Stops the thread (waiting for a running task). A derived class whose
    // tasks use its members must call StopThread() in its own destructor.
    virtual ~eTaskWorkThread();
    eTaskWorkThread(const eTaskWorkThread&) = delete;
    eTaskWorkThread& operator=(const eTaskWorkThread&) = delete;

    // The loop to serve; only while the thread is not running (else 0).
    unsigned char Attach(eTaskMessageLoop* loop);
    // 1 when the thread runs: started now, or already running.
    unsigned char StartThread();
    // Asks the thread to end and waits until it has: a running task finishes
    // first, waiting tasks stay queued. 1 when the thread is not running
    // afterwards. Called from the thread itself (by one of its tasks) it only
    // asks, and returns 0.
    unsigned char StopThread();
    bool IsRunning() const { return m_thread.joinable(); }

    // The worker loop: takes tasks from the attached loop and runs them until
    // asked to stop.
    virtual void run();
    // Per-thread data for the tasks this thread runs; none by default.
    virtual void* GetUserData();

private:
    friend class eTaskMessageLoop;

    void RunOne(eTaskBase* task);

    eTaskMessageLoop* m_pLoop = nullptr;
    std::thread m_thread;
    // Guarded by m_pLoop->m_mutex, which the loop takes as its own m_mutex:
    // a link the analysis cannot see, so it is not annotated.
    bool m_bStopRequested = false;
    std::vector<eTaskFilter*> m_filterScratch;  // worker thread only
};

// Container instantiations exported for callers that keep task and filter lists.
extern template class TVK_API eArray<eTaskFilter*>;
extern template class TVK_API eList<eTaskBase*>;

}  // namespace TVK

#endif
