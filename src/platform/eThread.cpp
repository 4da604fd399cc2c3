// Thread identity: a small number handed out on a thread's first call.
#include "platform/eThread.h"

#include <atomic>

namespace TVK {

uint32_t eThread::GetCurrentThreadId() {
    // Starts at 1 so that 0 can mean "no thread" to callers.
    static std::atomic<uint32_t> nextId{1};
    thread_local const uint32_t id = nextId.fetch_add(1, std::memory_order_relaxed);
    return id;
}

}  // namespace TVK
