// Map coordinate system. Expected values are hand arithmetic from the
// formulas (pi = 3.141592653589793, C = 40075016.68557849).
#include <gtest/gtest.h>

#include <cmath>

#include "coordsys_test_util.h"
#include "eCoordSys.h"

using namespace TVK;
using tvktest::Make;

TEST(CoordSys, DefaultsDpiUnitsRatioAndConversionsOfEveryComponent) {
    eCoordSys cs;
    EXPECT_EQ(3.0000000000000004, cs.DPI);  // 76.2 / 25.4
    EXPECT_TRUE(cs.GetBounds().IsEmpty() && cs.GetIndexBounds().IsEmpty());
    EXPECT_EQ(1073741824.0, cs.GetRefResolution());  // 2^22 * 256, setting absent
    EXPECT_TRUE(cs.Resolution2Zoom(256.0) == -1 && cs.Zoom2Resolution(3) == 0.0);
    cs.SetDPI(96.0);
    // 2560 / (96 / 25.4 * 10000 * C)
    EXPECT_DOUBLE_EQ(1.6901635716026546e-09, cs.ResolutionToScale(256.0));
    EXPECT_NEAR(256.0, cs.ScaleToResolution(cs.ResolutionToScale(256.0)), 1e-9);

    // The units ratio follows the coordinate system only when asked to.
    cs.GetPrjCoordSys() << eWKT("EPSG:2227");  // US survey feet, unit value 3048
    EXPECT_EQ(10000.0, cs.UnitsRatio);         // not recomputed by reference
    cs.AdjustUnitsRatio();
    EXPECT_DOUBLE_EQ(0.3048, cs.MapToLogical(1.0));
    // Degrees: 6378137 * 10000 * pi / 180
    cs.SetPrjCoordSys(Make("EPSG:4326"));
    EXPECT_DOUBLE_EQ(1113194907.9327357, cs.UnitsRatio);
    // Grads, unit value 1000000000 + 1570796: 6378137 * 1570796 * 10000 * pi / 314159220
    cs.SetPrjCoordSys(Make(tvktest::kGradWkt));
    EXPECT_DOUBLE_EQ(1001875353.3580828, cs.UnitsRatio);

    cs.UnitsRatio = 3048.0;
    eRect2D r(10.0, -10.0, -20.0, 40.0);  // inverted on purpose: not normalised
    cs.MapToLogical(r, r);
    EXPECT_DOUBLE_EQ(3.048, r.left);
    EXPECT_DOUBLE_EQ(12.192, r.bottom);
    ePoint2D p(30.48, -15.24);
    cs.LogicalToMap(p, p);
    EXPECT_DOUBLE_EQ(-50.0, p.y);
    cs.SetRefResolution(1024.0);  // C * 1024 / (2 * C) = 512 pixels
    EXPECT_DOUBLE_EQ(512.0, cs.WorldToPixel(eSceneFlat, 2.0, 40075016.68557849));
    EXPECT_DOUBLE_EQ(512.0 / 0.762, cs.WorldToPixel(eSceneGlobe, 2.0, 40075016.68557849));
}

TEST(CoordSys, GlobeRoundTrip) {
    eCoordSys geo;
    geo.SetPrjCoordSys(Make("EPSG:4326"));
    // Logical (30°E, 45°N) = degrees * 111319.49079327357; the pole axis
    // carries sin 45° of the radius 6378137 + 1000.
    const ePoint2D logical(30.0 * 111319.49079327357, 45.0 * 111319.49079327357);
    eVector3T<double> w;
    geo.LogicalToWorld(eSceneGlobe, logical, w, 1000.0);
    EXPECT_NEAR(6379137.0, std::sqrt(w.x * w.x + w.y * w.y + w.z * w.z), 1e-6);
    EXPECT_NEAR(6379137.0 * std::sqrt(0.5), std::fabs(w.z), 1e-3);
    ePoint2D back;
    geo.WorldToLogical(eSceneGlobe, w, back);
    EXPECT_NEAR(logical.x, back.x, 1e-4);
    EXPECT_NEAR(logical.y, back.y, 1e-4);
    // Web Mercator (10°E, 20°N): y = 6378137 * ln(tan(45° + 10°)).
    eCoordSys merc;
    merc.SetPrjCoordSys(Make("EPSG:3857"));
    const ePoint2D m(1113194.9079327357, 2273030.926987689);
    merc.LogicalToWorld(eSceneGlobe, m, w, 0.0);
    EXPECT_NEAR(6378137.0 * std::sin(20.0 * 0.017453292519943295), std::fabs(w.z), 1e-3);
}
