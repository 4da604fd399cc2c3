// The units ratio of a coordinate system: what one of its units is worth in
// the logical units the tiling arithmetic counts in (1/10000 of a metre).
#ifndef TVK_COORDSYS_EUNITSRATIO_H
#define TVK_COORDSYS_EUNITSRATIO_H

#include <cstdint>

#include "platform/eMathEngine.h"
#include "platform/ePrjCoordSys.h"

namespace TVK {
namespace unitsratio {

// Unit values of non-degree angular units start here (see ePrjCoordSys.h).
constexpr int64_t kAngularUnitBase = 1000000000;
// 180 * 1745329: the angular factor of a degree, scaled like the unit value.
constexpr double kHalfTurnUnits = 314159220.0;

// A projected system: its unit value. A geographic one: the length of its
// angular unit along the spheroid's equator; degrees report the unit value
// 0, which the angular-unit formula would turn negative, so they have their
// own case.
inline double Of(const ePrjCoordSys& prj) {
    const int64_t u = prj.GetUnits();
    if (prj.GetSpatialRefType() != eSpatialRefGeographic) return static_cast<double>(u);
    const double a = prj.GetGeoCoordSys().GetHorizonDatum().GetSpheroid().GetAxis();
    if (u == 0) return a * 10000.0 * eMathEngine::kPi / 180.0;
    // 64-bit subtraction: a negative unit value must not overflow.
    return a * static_cast<double>(u - kAngularUnitBase) * 10000.0 * eMathEngine::kPi /
           kHalfTurnUnits;
}

}  // namespace unitsratio
}  // namespace TVK

#endif
