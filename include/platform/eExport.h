// Symbol visibility and the basic integer type shared by every public header.
#ifndef TVK_PLATFORM_EEXPORT_H
#define TVK_PLATFORM_EEXPORT_H

#include <cstdint>

#if defined(_WIN32)
#ifdef TVK_BUILDING_LIBRARY
#define TVK_API __declspec(dllexport)
#else
#define TVK_API __declspec(dllimport)
#endif
#define TVK_LOCAL
#else
#define TVK_API __attribute__((visibility("default")))
#define TVK_LOCAL __attribute__((visibility("hidden")))
#endif

namespace TVK {

// Index and size type of the containers and byte arrays.
using eInt = int32_t;

}  // namespace TVK

#endif
