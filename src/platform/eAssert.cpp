// Broken-invariant reports: one process-wide handler, swapped atomically so
// reports from any thread see either the old or the new handler.
#include "platform/eAssert.h"

#include <atomic>

namespace TVK {

namespace {

void SilentHandler(const char*, const char*, int) {}

std::atomic<eAssertHandler>& Handler() {
    static std::atomic<eAssertHandler> handler{&SilentHandler};
    return handler;
}

}  // namespace

void Eassert(const char* expr, const char* file, int line) {
    Handler().load(std::memory_order_acquire)(expr, file, line);
}

eAssertHandler SetAssertHandler(eAssertHandler handler) {
    eAssertHandler previous = Handler().exchange(handler != nullptr ? handler : &SilentHandler,
                                                 std::memory_order_acq_rel);
    return previous == &SilentHandler ? nullptr : previous;
}

}  // namespace TVK
