// Broken-invariant reports and tolerant comparison.
#ifndef TVK_PLATFORM_EASSERT_H
#define TVK_PLATFORM_EASSERT_H

#include "platform/eExport.h"

namespace TVK {

using eAssertHandler = void (*)(const char* expr, const char* file, int line);

// Reports a broken invariant through the installed handler and returns; the
// caller carries on. The default handler is silent.
TVK_API void Eassert(const char* expr, const char* file, int line);
// Installs a handler (nullptr restores the silent default); returns the
// previous one. Safe to call from any thread.
TVK_API eAssertHandler SetAssertHandler(eAssertHandler handler);

// Default tolerance of the two-argument Eequal: absolute, like the explicit
// tolerances the tiling scheme passes.
constexpr double kEequalTolerance = 1e-13;

inline bool Eequal(double a, double b, double tolerance) {
    const double d = a - b;
    return d <= tolerance && d >= -tolerance;
}
inline bool Eequal(double a, double b) { return Eequal(a, b, kEequalTolerance); }

}  // namespace TVK

#endif
