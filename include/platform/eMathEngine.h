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
    // Returns (longitude, latitude, radius).
    static eVector3T<double> CartesianToSpherical(double x, double y, double z);
    static eVector3T<double> SphericalToCartesian(double lon, double lat, double radius);
};

}  // namespace TVK

#endif
