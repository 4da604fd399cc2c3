// Owned PROJ objects: a context and the objects created in it. An object
// must be destroyed before its context, so holders declare the context
// first and their objects after it.
#ifndef TVK_SRC_PLATFORM_PROJ_HANDLES_H
#define TVK_SRC_PLATFORM_PROJ_HANDLES_H

#include <memory>

#include <proj.h>

namespace TVK {
namespace proj {

struct ContextDeleter {
    void operator()(PJ_CONTEXT* ctx) const { proj_context_destroy(ctx); }
};
struct ObjectDeleter {
    void operator()(PJ* object) const { proj_destroy(object); }
};

using Context = std::unique_ptr<PJ_CONTEXT, ContextDeleter>;
using Object = std::unique_ptr<PJ, ObjectDeleter>;

// A fresh context that logs nothing (the library never writes to stderr).
inline Context NewContext() {
    Context ctx(proj_context_create());
    if (ctx) {
        proj_log_func(ctx.get(), nullptr, [](void*, int, const char*) {});
        proj_log_level(ctx.get(), PJ_LOG_NONE);
    }
    return ctx;
}

}  // namespace proj
}  // namespace TVK

#endif
