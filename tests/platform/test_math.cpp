// Cartesian <-> spherical conversion against hand-computed points.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/eMathEngine.h"

using namespace TVK;

TEST(MathEngine, HandComputedPointsAndRoundTrips) {
    const double pi = std::acos(-1.0);
    // lon 45°, lat 30°, r 2 gives x = y = 2 cos30 cos45, z = 2 sin30 = 1.
    auto c = eMathEngine::SphericalToCartesian(pi / 4, pi / 6, 2.0);
    EXPECT_NEAR(c.x, std::sqrt(3.0) * std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(c.y, c.x, 1e-12);
    EXPECT_NEAR(c.z, 1.0, 1e-12);
    auto s = eMathEngine::CartesianToSpherical(0.0, 0.0, -5.0);  // south pole
    EXPECT_NEAR(s.y, -pi / 2, 1e-12);
    EXPECT_NEAR(s.z, 5.0, 1e-12);
    s = eMathEngine::CartesianToSpherical(0.0, 0.0, 0.0);  // the origin stays finite
    EXPECT_TRUE(s.y == 0.0 && s.z == 0.0);
    for (const auto& p : {eVector3T<double>{0.3, -0.7, 6378137.0}, eVector3T<double>{-2.9, 1.2, 1.0}}) {
        c = eMathEngine::SphericalToCartesian(p.x, p.y, p.z);
        s = eMathEngine::CartesianToSpherical(c.x, c.y, c.z);
        EXPECT_NEAR(s.x, p.x, 1e-12);
        EXPECT_NEAR(s.y, p.y, 1e-12);
        EXPECT_NEAR(s.z, p.z, 1e-12 * p.z);
    }
}
