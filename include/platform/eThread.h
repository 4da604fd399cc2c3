// Locks and thread identity.
#ifndef TVK_PLATFORM_ETHREAD_H
#define TVK_PLATFORM_ETHREAD_H

#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "platform/eExport.h"

namespace TVK {

// Mutual exclusion. The flag argument is accepted for interface compatibility.
class TVK_API eMutex {
public:
    explicit eMutex(int flag = 1) { (void)flag; }
    eMutex(const eMutex&) = delete;
    eMutex& operator=(const eMutex&) = delete;
    void Lock() { m_mutex.lock(); }
    void UnLock() { m_mutex.unlock(); }
    // For std::lock_guard / std::unique_lock.
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

// Many shared holders or one exclusive holder.
class TVK_API eReadWriteLock {
public:
    eReadWriteLock() = default;
    eReadWriteLock(const eReadWriteLock&) = delete;
    eReadWriteLock& operator=(const eReadWriteLock&) = delete;
    void readLock() { m_lock.lock_shared(); }
    void readUnlock() { m_lock.unlock_shared(); }
    void writeLock() { m_lock.lock(); }
    void writeUnlock() { m_lock.unlock(); }

private:
    std::shared_mutex m_lock;
};

// RAII guards for eReadWriteLock.
class eReadGuard {
public:
    explicit eReadGuard(eReadWriteLock& lock) : m_lock(lock) { m_lock.readLock(); }
    ~eReadGuard() { m_lock.readUnlock(); }
    eReadGuard(const eReadGuard&) = delete;
    eReadGuard& operator=(const eReadGuard&) = delete;

private:
    eReadWriteLock& m_lock;
};

class eWriteGuard {
public:
    explicit eWriteGuard(eReadWriteLock& lock) : m_lock(lock) { m_lock.writeLock(); }
    ~eWriteGuard() { m_lock.writeUnlock(); }
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
