// Cartesian <-> spherical conversion against hand-computed points.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/eMathEngine.h"

using namespace TVK;

TEST(MathEngine, HandComputedPointsAndRoundTrips) {
    const double pi = std::acos(-1.0);
    // lon 90°, lat 0 lies on +y; lon 45°, lat 30°, r 1 gives x = y = cos30·cos45, z = 0.5.
    auto c = eMathEngine::SphericalToCartesian(pi / 2, 0.0, 2.0);
    EXPECT_NEAR(c.x, 0.0, 1e-12);
    EXPECT_NEAR(c.y, 2.0, 1e-12);
    c = eMathEngine::SphericalToCartesian(pi / 4, pi / 6, 1.0);
    EXPECT_NEAR(c.x, std::sqrt(3.0) / 2 * std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(c.y, c.x, 1e-12);
    EXPECT_NEAR(c.z, 0.5, 1e-12);

    auto s = eMathEngine::CartesianToSpherical(0.0, 0.0, -5.0);  // south pole
    EXPECT_NEAR(s.y, -pi / 2, 1e-12);
    EXPECT_NEAR(s.z, 5.0, 1e-12);
    s = eMathEngine::CartesianToSpherical(0.0, 0.0, 0.0);  // origin stays finite
    EXPECT_EQ(s.y, 0.0);
    EXPECT_EQ(s.z, 0.0);

    const double points[][3] = {{0.3, -0.7, 6378137.0}, {-2.9, 1.2, 1.0}};
    for (const auto& p : points) {
        c = eMathEngine::SphericalToCartesian(p[0], p[1], p[2]);
        s = eMathEngine::CartesianToSpherical(c.x, c.y, c.z);
        EXPECT_NEAR(s.x, p[0], 1e-12);
        EXPECT_NEAR(s.y, p[1], 1e-12);
        EXPECT_NEAR(s.z, p[2], 1e-12 * p[2]);
    }
}
