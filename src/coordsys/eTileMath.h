// Integer steps of the tiling arithmetic, free of undefined conversions.
// Converting a double outside the int range (or NaN) to an integer is
// undefined in C++; tile indices of points far from the origin, or of a
// level whose scale is 0 (infinite tile size), must still come out as
// plain numbers. These helpers saturate at the type's limits and map NaN
// to 0.
#ifndef TVK_COORDSYS_ETILEMATH_H
#define TVK_COORDSYS_ETILEMATH_H

#include <cmath>
#include <cstdint>
#include <limits>

namespace TVK {
namespace tilemath {

// Truncation toward zero to int32, saturating; NaN gives 0.
inline int32_t TruncToInt32(double x) {
    if (!(x == x)) return 0;
    if (x >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (x <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(x);
}

// floor, then truncation to int32 (saturating; NaN gives 0).
inline int32_t FloorToInt32(double x) { return TruncToInt32(std::floor(x)); }

// Rounds half away from zero: trunc(x + 0.5) above 0, trunc(x - 0.5)
// otherwise, to int32 (saturating; NaN gives 0).
inline int32_t RoundAwayToInt32(double x) { return TruncToInt32(x > 0.0 ? x + 0.5 : x - 0.5); }

// Truncation toward zero to int64, saturating; NaN gives 0.
inline int64_t TruncToInt64(double x) {
    if (!(x == x)) return 0;
    if (x >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (x <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(x);
}

// 10 * tileSize as the 32-bit product the tile-size relation is defined
// with: wraps on overflow (through unsigned arithmetic, so without UB)
// instead of being widened.
inline int32_t TenTimesTileSize(int32_t tileSize) {
    return static_cast<int32_t>(10u * static_cast<uint32_t>(tileSize));
}

}  // namespace tilemath
}  // namespace TVK

#endif
