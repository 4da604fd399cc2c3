// Cartesian <-> spherical conversion against hand-computed points.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/eMathEngine.h"

using namespace TVK;

namespace {
const double kPi = std::acos(-1.0);
}

TEST(MathEngine, AxesAndPolesFollowTheDocumentedConvention) {
    auto c = eMathEngine::SphericalToCartesian(0.0, 0.0, 2.0);
    EXPECT_NEAR(c.x, 2.0, 1e-12);
    EXPECT_NEAR(c.y, 0.0, 1e-12);
    EXPECT_NEAR(c.z, 0.0, 1e-12);
    c = eMathEngine::SphericalToCartesian(kPi / 2, 0.0, 1.0);
    EXPECT_NEAR(c.x, 0.0, 1e-12);
    EXPECT_NEAR(c.y, 1.0, 1e-12);
    c = eMathEngine::SphericalToCartesian(1.0, kPi / 2, 3.0);
    EXPECT_NEAR(c.z, 3.0, 1e-12);
    EXPECT_NEAR(std::hypot(c.x, c.y), 0.0, 1e-12);
    // lon 45°, lat 30°, r 1: x = y = cos30·cos45
    c = eMathEngine::SphericalToCartesian(kPi / 4, kPi / 6, 1.0);
    EXPECT_NEAR(c.x, std::sqrt(3.0) / 2 * std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(c.y, c.x, 1e-12);
    EXPECT_NEAR(c.z, 0.5, 1e-12);

    auto s = eMathEngine::CartesianToSpherical(0.0, 0.0, -5.0);
    EXPECT_NEAR(s.y, -kPi / 2, 1e-12);
    EXPECT_NEAR(s.z, 5.0, 1e-12);
    s = eMathEngine::CartesianToSpherical(-1.0, 0.0, 0.0);
    EXPECT_NEAR(std::fabs(s.x), kPi, 1e-12);
    s = eMathEngine::CartesianToSpherical(0.0, 0.0, 0.0);
    EXPECT_EQ(s.x, 0.0);
    EXPECT_EQ(s.y, 0.0);
    EXPECT_EQ(s.z, 0.0);
}

TEST(MathEngine, ConversionsAreMutualInverses) {
    const double points[][3] = {{0.3, -0.7, 6378137.0}, {-2.9, 1.2, 1.0}, {3.0, 0.0, 42.0}};
    for (const auto& p : points) {
        const auto c = eMathEngine::SphericalToCartesian(p[0], p[1], p[2]);
        const auto s = eMathEngine::CartesianToSpherical(c.x, c.y, c.z);
        EXPECT_NEAR(s.x, p[0], 1e-12);
        EXPECT_NEAR(s.y, p[1], 1e-12);
        EXPECT_NEAR(s.z, p[2], 1e-12 * p[2]);
    }
}
