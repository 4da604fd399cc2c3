// Task loop and worker threads on the standard library.
//
// Invariants: a task pointer is in m_tasks or in exactly one worker's hands,
// never both; tasks are called back (Run, OnRemoved, Release) without
// m_mutex held, so a task may use the loop from its callbacks. Workers sleep
// on m_wakeWorkers and never poll.
#include "platform/eTask.h"

#include <algorithm>

#include "platform/eAssert.h"

namespace TVK {

template class eArray<eTaskFilter*>;
template class eList<eTaskBase*>;

namespace {

void DropTask(eTaskBase* task) {
    task->OnRemoved();
    task->Release();
}

}  // namespace

eTaskBase::~eTaskBase() = default;

// ---- eTaskMessageLoop ----

eTaskMessageLoop::eTaskMessageLoop() = default;

eTaskMessageLoop::~eTaskMessageLoop() {
    // A worker left running would wait on a destroyed condition variable.
    std::vector<eTaskWorkThread*> running;
    {
        eMutexGuard lock(m_mutex);
        running = m_workers;
    }
    if (!running.empty()) Eassert("m_workers.empty()", "eTaskMessageLoop", __LINE__);
    for (eTaskWorkThread* worker : running) worker->StopThread();
    RemoveAllTask();
}

void eTaskMessageLoop::SetTaskQueueSize(int size) {
    eMutexGuard lock(m_mutex);
    m_nQueueSize = size;
}

int eTaskMessageLoop::GetTaskQueueSize() const {
    eMutexGuard lock(m_mutex);
    return m_nQueueSize;
}

void eTaskMessageLoop::AddTaskFilter(eTaskFilter* filter) {
    if (filter == nullptr) return;
    eMutexGuard lock(m_mutex);
    m_filters.push_back(filter);
}

unsigned char eTaskMessageLoop::AddTask(eTaskBase* task, unsigned char urgent) {
    if (task == nullptr) return 0;
    bool wake = false;
    {
        eMutexGuard lock(m_mutex);
        if (m_nQueueSize < 1 || static_cast<int>(m_tasks.size()) < m_nQueueSize) {
            if (urgent)
                m_tasks.push_front(task);
            else
                m_tasks.push_back(task);
            wake = m_nIdleWorkers > 0;
            task = nullptr;
        }
    }
    if (task != nullptr) {  // refused: the queue is full
        DropTask(task);
        return 0;
    }
    if (wake) m_wakeWorkers.notify_one();
    return 1;
}

int eTaskMessageLoop::RemoveAllTask() {
    std::deque<eTaskBase*> dropped;
    {
        eMutexGuard lock(m_mutex);
        dropped.swap(m_tasks);
    }
    for (eTaskBase* task : dropped) DropTask(task);
    return static_cast<int>(dropped.size());
}

int eTaskMessageLoop::GetTaskCount() const {
    eMutexGuard lock(m_mutex);
    return static_cast<int>(m_tasks.size());
}

eTaskBase* eTaskMessageLoop::WaitTask(eTaskWorkThread* worker) {
    eMutexGuard lock(m_mutex);
    while (!worker->m_bStopRequested && m_tasks.empty()) {
        ++m_nIdleWorkers;
        lock.Wait(m_wakeWorkers);
        --m_nIdleWorkers;
    }
    if (worker->m_bStopRequested) return nullptr;
    eTaskBase* task = m_tasks.front();
    m_tasks.pop_front();
    // Reuses the worker's capacity: no allocation per task once warmed up.
    worker->m_filterScratch.assign(m_filters.begin(), m_filters.end());
    return task;
}

void eTaskMessageLoop::RegisterWorker(eTaskWorkThread* worker) {
    eMutexGuard lock(m_mutex);
    worker->m_bStopRequested = false;
    m_workers.push_back(worker);
}

void eTaskMessageLoop::RequestStop(eTaskWorkThread* worker) {
    {
        eMutexGuard lock(m_mutex);
        worker->m_bStopRequested = true;
    }
    // All: the one condition variable is shared, so a single notify might
    // wake a worker that is not being stopped.
    m_wakeWorkers.notify_all();
}

void eTaskMessageLoop::UnregisterWorker(eTaskWorkThread* worker) {
    eMutexGuard lock(m_mutex);
    m_workers.erase(std::remove(m_workers.begin(), m_workers.end(), worker), m_workers.end());
}

// ---- eTaskWorkThread ----

eTaskWorkThread::eTaskWorkThread() = default;

eTaskWorkThread::~eTaskWorkThread() {
    if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id()) {
        // Destroyed by its own task: joining would never return.
        Eassert("StopThread from another thread", "eTaskWorkThread", __LINE__);
        m_thread.detach();
        return;
    }
    StopThread();
}

unsigned char eTaskWorkThread::Attach(eTaskMessageLoop* loop) {
    if (m_thread.joinable()) return 0;
    m_pLoop = loop;
    return 1;
}

unsigned char eTaskWorkThread::StartThread() {
    if (m_thread.joinable()) return 1;
    if (m_pLoop == nullptr) return 0;
    m_pLoop->RegisterWorker(this);
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        m_pLoop->UnregisterWorker(this);
        return 0;
    }
    return 1;
}

unsigned char eTaskWorkThread::StopThread() {
    if (!m_thread.joinable()) return 1;
    m_pLoop->RequestStop(this);
    if (m_thread.get_id() == std::this_thread::get_id()) return 0;
    m_thread.join();
    m_pLoop->UnregisterWorker(this);
    return 1;
}

void eTaskWorkThread::run() {
    while (eTaskBase* task = m_pLoop->WaitTask(this)) RunOne(task);
}

void* eTaskWorkThread::GetUserData() { return nullptr; }

void eTaskWorkThread::RunOne(eTaskBase* task) {
    for (eTaskFilter* filter : m_filterScratch) {
        unsigned char handled = 0;
        filter->PreTranslateTask(eTaskBase::TaskRunning, task, handled);
        if (handled) {
            DropTask(task);
            return;
        }
    }
    task->Run(this);
    task->Release();
}

}  // namespace TVK
