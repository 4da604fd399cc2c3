// Cartesian <-> spherical conversion (see the header for the axes).
#include "platform/eMathEngine.h"

#include <cmath>

namespace TVK {

eVector3T<double> eMathEngine::CartesianToSpherical(double x, double y, double z) {
    const double equatorial = std::hypot(x, y);
    const double radius = std::hypot(equatorial, z);
    // atan2 keeps the poles and the origin finite (longitude 0 there).
    const double lon = (x == 0.0 && y == 0.0) ? 0.0 : std::atan2(y, x);
    const double lat = radius == 0.0 ? 0.0 : std::atan2(z, equatorial);
    return eVector3T<double>(lon, lat, radius);
}

eVector3T<double> eMathEngine::SphericalToCartesian(double lon, double lat, double radius) {
    const double c = std::cos(lat);
    return eVector3T<double>(radius * c * std::cos(lon), radius * c * std::sin(lon),
                             radius * std::sin(lat));
}

}  // namespace TVK
