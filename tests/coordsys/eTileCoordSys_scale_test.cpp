// Scale lists and resolutions for a coordinate system. C = 40075016.68557849.
#include <gtest/gtest.h>

#include <vector>

#include "coordsys_test_util.h"
#include "eTileCoordSys.h"

namespace TVK {
namespace {

constexpr double C = 40075016.68557849;
constexpr double h = C / 2;
constexpr double kDpmm = 96 / 25.4;
constexpr double kS0 = 1.690163571602655e-09;  // 2560 / (96 / 25.4) / (10000 * C)

using test::Make;

TEST(TileScale, IntegerUnitsRatioIsTruncated) {
    const ePrjCoordSys merc = Make("EPSG:3857");
    EXPECT_DOUBLE_EQ(kS0, eTileCoordSys::ComputeMapScale(merc, C, 256, kDpmm));
    EXPECT_NEAR(256.0, eTileCoordSys::ComputeMapResolution(merc, kS0, kDpmm, C), 1e-9);
    // Degrees: trunc(6378137 * 10000 * pi / 180) = 1113194907 (.93 dropped).
    const ePrjCoordSys wgs = Make("EPSG:4326");
    EXPECT_DOUBLE_EQ(1113194907.0 / 10.0, eTileCoordSys::ComputeMapResolution(wgs, 1, 1, 1));
    EXPECT_DOUBLE_EQ(2560 / kDpmm / (1113194907.0 * 360.0),
                     eTileCoordSys::ComputeMapScale(wgs, 360.0, 256, kDpmm));
    // Grads: (1001570796 - 1000000000) in 64 bits, then
    // trunc(1570796 * 6378137 * 10000 * pi / 314159220) = 1001875353.
    const ePrjCoordSys grad = Make(test::kGradWkt);
    EXPECT_DOUBLE_EQ(1001875353.0 / 10.0, eTileCoordSys::ComputeMapResolution(grad, 1, 1, 1));
    EXPECT_DOUBLE_EQ(3048.0 / 10.0, eTileCoordSys::ComputeMapResolution(Make("EPSG:2227"), 1, 1, 1));
}

TEST(TileScale, DoublingListStopsBelowOne) {
    const ePrjCoordSys merc = Make("EPSG:3857");
    const std::vector<double> l20 = eTileCoordSys::ComputeMapScale(merc, C, 256, 20, kDpmm);
    ASSERT_EQ(20u, l20.size());
    for (size_t i = 1; i < l20.size(); ++i) EXPECT_EQ(2 * l20[i - 1], l20[i]);
    // 2^29 * s0 = 0.907 is the last value below 1: levels 0 to 29.
    const std::vector<double> l40 = eTileCoordSys::ComputeMapScale(merc, C, 256, 40, kDpmm);
    ASSERT_EQ(30u, l40.size());
    EXPECT_DOUBLE_EQ(0.9073996581154947, l40.back());
    EXPECT_EQ(std::vector<double>{kS0}, eTileCoordSys::ComputeMapScale(merc, C, 256, 0, kDpmm));
    // 1 mm wide: s0 = 2560 / (96 / 25.4) / 10 = 67.7 >= 1 is still kept, alone.
    EXPECT_EQ(1u, eTileCoordSys::ComputeMapScale(merc, 0.001, 256, 10, kDpmm).size());
}

TEST(TileScale, WorldSchemeLevelZeroIsOneTile) {
    eTileCoordSys ts;
    ts.SetPrjCoordSys(Make("EPSG:3857"));
    ts.SetDPI(96.0);
    ts.SetTileOrigin(ePoint2D(-h, h));
    ts.SetIndexBounds(eRect2D(-h, h, h, -h));
    ts.SetScales(eTileCoordSys::ComputeMapScale(ts.GetPrjCoordSys(), C, 256, 20, kDpmm));
    int rows = 0, cols = 0;
    ts.ComputeTileCount(0, rows, cols);
    EXPECT_TRUE(rows == 1 && cols == 1);
    ts.ComputeTileCount(19, rows, cols);
    EXPECT_TRUE(rows == 524288 && cols == 524288);  // 2^19
    EXPECT_EQ(134217728.0, ts.Zoom2Resolution(19));  // 256 * 2^19
    EXPECT_EQ(10, ts.Resolution2Zoom(262144.0));
    // 1 / s0 = 10000 * C * (96 / 25.4) / 2560 = 591658710.91, rounded.
    EXPECT_EQ(591658711u, ts.Scale2ScaleName(ts.GetScale(0)));
    // CalculateScale: 10 / (r * dpmm * 10000); CalculateResolution fixed.
    EXPECT_DOUBLE_EQ(10.0 / (2.0 * kDpmm * 10000.0), ts.CalculateScale(2.0));
    ts.SetPrjCoordSys(Make("EPSG:4326"));
    EXPECT_DOUBLE_EQ(264.5838625 / 111194.872221777, ts.CalculateResolution(1e-6));
}

}  // namespace
}  // namespace TVK
