// Thread ids, taken from real threads that are alive at the same time.
#include <gtest/gtest.h>

#include <atomic>
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
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            first[t] = eThread::GetCurrentThreadId();
            // Every thread stays alive until all have their id.
            arrived.fetch_add(1);
            while (arrived.load() < kThreads) std::this_thread::yield();
            second[t] = eThread::GetCurrentThreadId();
        });
    for (std::thread& th : threads) th.join();
    std::set<uint32_t> ids(first.begin(), first.end());
    ids.insert(eThread::GetCurrentThreadId());
    EXPECT_TRUE(ids.size() == kThreads + 1u && ids.count(0u) == 0u);
    EXPECT_EQ(first, second);
}
