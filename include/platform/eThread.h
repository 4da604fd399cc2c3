// Locks and thread identity.
#ifndef TVK_PLATFORM_ETHREAD_H
#define TVK_PLATFORM_ETHREAD_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "platform/eExport.h"
#include "platform/eThreadAnnotations.h"

namespace TVK {

// Mutual exclusion. The flag argument is accepted for interface compatibility.
class TVK_CAPABILITY("mutex") TVK_API eMutex {
public:
    explicit eMutex(int flag = 1) { (void)flag; }
    eMutex(const eMutex&) = delete;
    eMutex& operator=(const eMutex&) = delete;
    void Lock() TVK_ACQUIRE() { m_mutex.lock(); }
    void UnLock() TVK_RELEASE() { m_mutex.unlock(); }
    // For std::lock_guard / std::unique_lock (which the analysis does not
    // follow: prefer eMutexGuard).
    void lock() TVK_ACQUIRE() { m_mutex.lock(); }
    void unlock() TVK_RELEASE() { m_mutex.unlock(); }

private:
    friend class eMutexGuard;
    std::mutex m_mutex;
};

// Holds an eMutex for its scope.
class TVK_SCOPED_CAPABILITY eMutexGuard {
public:
    explicit eMutexGuard(eMutex& mutex) TVK_ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
    ~eMutexGuard() TVK_RELEASE() {}
    eMutexGuard(const eMutexGuard&) = delete;
    eMutexGuard& operator=(const eMutexGuard&) = delete;

    // Releases the mutex while waiting for a notification; holds it again on
    // return (also on a spurious wake-up: callers test their condition).
    void Wait(std::condition_variable& changed) { changed.wait(m_lock); }

private:
    std::unique_lock<std::mutex> m_lock;
};

// Many shared holders or one exclusive holder.
class TVK_CAPABILITY("mutex") TVK_API eReadWriteLock {
public:
    eReadWriteLock() = default;
    eReadWriteLock(const eReadWriteLock&) = delete;
    eReadWriteLock& operator=(const eReadWriteLock&) = delete;
    void readLock() TVK_ACQUIRE_SHARED() { m_lock.lock_shared(); }
    void readUnlock() TVK_RELEASE_SHARED() { m_lock.unlock_shared(); }
    void writeLock() TVK_ACQUIRE() { m_lock.lock(); }
    void writeUnlock() TVK_RELEASE() { m_lock.unlock(); }

private:
    std::shared_mutex m_lock;
};

// RAII guards for eReadWriteLock.
class TVK_SCOPED_CAPABILITY eReadGuard {
public:
    explicit eReadGuard(eReadWriteLock& lock) TVK_ACQUIRE_SHARED(lock) : m_lock(lock) {
        m_lock.readLock();
    }
    ~eReadGuard() TVK_RELEASE() { m_lock.readUnlock(); }
    eReadGuard(const eReadGuard&) = delete;
    eReadGuard& operator=(const eReadGuard&) = delete;

private:
    eReadWriteLock& m_lock;
};

class TVK_SCOPED_CAPABILITY eWriteGuard {
public:
    explicit eWriteGuard(eReadWriteLock& lock) TVK_ACQUIRE(lock) : m_lock(lock) {
        m_lock.writeLock();
    }
    ~eWriteGuard() TVK_RELEASE() { m_lock.writeUnlock(); }
    eWriteGuard(const eWriteGuard&) = delete;
    eWriteGuard& operator=(const eWriteGuard&) = delete;

private:
    eReadWriteLock& m_lock;
};

class TVK_API eThread {
public:
    // A 32-bit id unique among live threads: ids are handed out from a
    // process-wide counter on a thread's first call, never reused.
    static uint32_t GetCurrentThreadId();
};

}  // namespace TVK

#endif
