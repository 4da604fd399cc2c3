// Thread ids and the lock wrappers, exercised from real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/eThread.h"

using namespace TVK;

TEST(ThreadIdConcurrency, IdsAreStableAndDistinctAmongLiveThreads) {
    constexpr int kThreads = 16;
    std::vector<uint32_t> first(kThreads), second(kThreads);
    std::atomic<int> arrived{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            first[t] = eThread::GetCurrentThreadId();
            // Every thread stays alive until all have their id.
            arrived.fetch_add(1);
            while (arrived.load() < kThreads) std::this_thread::yield();
            second[t] = eThread::GetCurrentThreadId();
        });
    }
    for (std::thread& th : threads) th.join();
    std::set<uint32_t> ids(first.begin(), first.end());
    ids.insert(eThread::GetCurrentThreadId());
    EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads + 1));
    EXPECT_EQ(ids.count(0u), 0u);
    EXPECT_EQ(first, second);
}

TEST(LockConcurrency, MutexAndReadWriteLockKeepInvariants) {
    eMutex mutex(1);
    long counter = 0;
    eReadWriteLock rw;
    long a = 0, b = 0;  // writers keep a == b
    std::atomic<bool> torn{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                mutex.Lock();
                ++counter;
                mutex.UnLock();
                std::lock_guard<eMutex> guard(mutex);
                ++counter;
            }
        });
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                if ((i + t) % 4 == 0) {
                    eWriteGuard w(rw);
                    ++a;
                    ++b;
                } else {
                    eReadGuard r(rw);
                    if (a != b) torn = true;
                }
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(counter, 4L * 20000 * 2);
    EXPECT_FALSE(torn.load());
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, 4L * 5000);
}
