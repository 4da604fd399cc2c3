// Cartesian <-> spherical conversion. Angles in radians; longitude first,
// latitude second, radius third. x points at (lon 0, lat 0), y at (lon 90°,
// lat 0), z at the north pole.
#ifndef TVK_PLATFORM_EMATHENGINE_H
#define TVK_PLATFORM_EMATHENGINE_H

#include "platform/eExport.h"
#include "platform/eGeometry.h"

namespace TVK {

class TVK_API eMathEngine {
public:
    // The one definition of the angle constants used across the library.
    static constexpr double kPi = 3.14159265358979323846;
    static constexpr double kRadiansPerDegree = kPi / 180.0;
    static constexpr double kDegreesPerRadian = 180.0 / kPi;

    // Returns (longitude, latitude, radius).
    static eVector3T<double> CartesianToSpherical(double x, double y, double z);
    static eVector3T<double> SphericalToCartesian(double lon, double lat, double radius);
};

}  // namespace TVK

#endif
