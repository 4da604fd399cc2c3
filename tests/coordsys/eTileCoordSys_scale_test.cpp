// Scale computation: tile scales and doubling lists for a coordinate system,
// pixel widths, scale <-> map resolution. C = 40075016.68557849.
#include <gtest/gtest.h>

#include <vector>

#include "eTileCoordSys.h"
#include "platform/ePrjCoordSys.h"

namespace TVK {
namespace {

constexpr double C = 40075016.68557849;
constexpr double h = 20037508.342789244;
constexpr double kDpmm96 = 96 / 25.4;
// 2560 / (96 / 25.4) / (10000 * C)
constexpr double kS0 = 1.690163571602655e-09;

ePrjCoordSys Make(const char* definition) {
    ePrjCoordSys prj;
    EXPECT_NE(0, prj << eWKT(definition)) << definition;
    return prj;
}

TEST(TileScale, TileScaleAndPixelWidthOnWebMercator) {
    const ePrjCoordSys merc = Make("EPSG:3857");
    EXPECT_DOUBLE_EQ(kS0, eTileCoordSys::ComputeMapScale(merc, C, 256, kDpmm96));
    EXPECT_NEAR(256.0, eTileCoordSys::ComputeMapResolution(merc, kS0, kDpmm96, C), 1e-9);
    // The three arguments only count through their product.
    EXPECT_NEAR(256.0, eTileCoordSys::ComputeMapResolution(merc, C, kS0, kDpmm96), 1e-9);
    // 10 * 214748365 wraps in 32 bits to -2147483646: a negative scale.
    EXPECT_DOUBLE_EQ(-2147483646 / kDpmm96 / (10000 * C),
                     eTileCoordSys::ComputeMapScale(merc, C, 214748365, kDpmm96));
}

TEST(TileScale, GeographicUnitsRatioIsTruncated) {
    // Degrees: U = trunc(6378137 * 10000 * pi / 180) = 1113194907 (the
    // fraction .9327 dropped); one tile over 360 degrees.
    const ePrjCoordSys wgs = Make("EPSG:4326");
    EXPECT_DOUBLE_EQ(2560 / kDpmm96 / (1113194907.0 * 360.0),
                     eTileCoordSys::ComputeMapScale(wgs, 360.0, 256, kDpmm96));
    EXPECT_DOUBLE_EQ(1113194907.0 * 2.0 / 10.0,
                     eTileCoordSys::ComputeMapResolution(wgs, 1.0, 2.0, 1.0));
    // Grads (unit value 1000000000 + 1570796): the subtraction leaves
    // 1570796; U = trunc(1570796 * 6378137 * 10000 * pi / 314159220)
    // = 1001875353 (from 1001875353.358).
    const ePrjCoordSys grad = Make(
        "GEOGCS[\"grad\",DATUM[\"WGS_1984\",SPHEROID[\"WGS 84\",6378137,298.257223563]],"
        "PRIMEM[\"Greenwich\",0],UNIT[\"grad\",0.01570796326794897]]");
    ASSERT_EQ(1001570796, grad.GetUnits());
    EXPECT_DOUBLE_EQ(1001875353.0 / 10.0, eTileCoordSys::ComputeMapResolution(grad, 1, 1, 1));
    EXPECT_DOUBLE_EQ(2560 / kDpmm96 / (1001875353.0 * 400.0),
                     eTileCoordSys::ComputeMapScale(grad, 400.0, 256, kDpmm96));
    // Feet: U is the unit value itself.
    const ePrjCoordSys feet = Make("EPSG:2227");
    EXPECT_DOUBLE_EQ(3048.0 / 10.0, eTileCoordSys::ComputeMapResolution(feet, 1, 1, 1));
}

TEST(TileScale, DoublingListStopsBelowOne) {
    const ePrjCoordSys merc = Make("EPSG:3857");
    const std::vector<double> twenty = eTileCoordSys::ComputeMapScale(merc, C, 256, 20, kDpmm96);
    ASSERT_EQ(20u, twenty.size());
    EXPECT_DOUBLE_EQ(kS0, twenty[0]);
    for (size_t i = 1; i < twenty.size(); ++i) EXPECT_EQ(2 * twenty[i - 1], twenty[i]);

    // 2^29 * s0 = 0.907 < 1 but 2^30 * s0 >= 1: levels 0 to 29.
    const std::vector<double> forty = eTileCoordSys::ComputeMapScale(merc, C, 256, 40, kDpmm96);
    ASSERT_EQ(30u, forty.size());
    EXPECT_DOUBLE_EQ(0.9073996581154947, forty.back());

    for (int count : {0, 1, -5}) {
        const std::vector<double> one = eTileCoordSys::ComputeMapScale(merc, C, 256, count, kDpmm96);
        ASSERT_EQ(1u, one.size()) << count;
        EXPECT_DOUBLE_EQ(kS0, one[0]);
    }
    // A 1 mm map width: s0 = 2560 / (96/25.4) / (10000 * 0.001) = 67.7 >= 1,
    // kept alone.
    const std::vector<double> big = eTileCoordSys::ComputeMapScale(merc, 0.001, 256, 10, kDpmm96);
    ASSERT_EQ(1u, big.size());
    EXPECT_DOUBLE_EQ(67.73333333333332, big[0]);
}

TEST(TileScale, WorldSizedSchemeFromTheComputedList) {
    eTileCoordSys ts;
    ts.SetPrjCoordSys(Make("EPSG:3857"));
    ts.SetDPI(96.0);
    ts.SetTileOrigin(ePoint2D(-h, h));
    ts.SetIndexBounds(eRect2D(-h, h, h, -h));
    ts.SetScales(eTileCoordSys::ComputeMapScale(ts.GetPrjCoordSys(), C, 256, 20, kDpmm96));
    EXPECT_EQ(19, ts.GetTileBottomLevel());

    int rows = 0, cols = 0;
    ts.ComputeTileCount(0, rows, cols);
    EXPECT_EQ(1, rows);
    EXPECT_EQ(1, cols);
    ts.ComputeTileCount(19, rows, cols);
    EXPECT_EQ(524288, rows);  // 2^19
    EXPECT_EQ(524288, cols);
    tagTileArea area;
    ts.ComputeTileWorldRange(0, eRect2D(-h, h, h, -h), area);
    EXPECT_EQ(0, area.EndRow);
    EXPECT_EQ(0, area.EndCol);
    // Pixel width of level z is 256 * 2^z.
    EXPECT_EQ(256.0, ts.Zoom2Resolution(0));
    EXPECT_EQ(134217728.0, ts.Zoom2Resolution(19));
    EXPECT_EQ(19, ts.Resolution2Zoom(134217728.0));
    EXPECT_EQ(10, ts.Resolution2Zoom(262144.0));
    // 1 / s0 = 10000 * C * (96 / 25.4) / 2560 = 591658710.93, rounded.
    EXPECT_EQ(591658711u, ts.Scale2ScaleName(ts.GetScale(0)));
}

TEST(TileScale, CalculateScaleAndResolution) {
    eTileCoordSys ts;  // DPI 76.2 (3.0000000000000004 dots/mm), UnitsRatio 10000
    EXPECT_DOUBLE_EQ(10.0 / (2.0 * 3.0000000000000004 * 10000.0), ts.CalculateScale(2.0));
    EXPECT_DOUBLE_EQ(0.00016666666666666663, ts.CalculateScale(2.0));
    EXPECT_DOUBLE_EQ(264.5838625, ts.CalculateResolution(1e-6));

    ts.SetPrjCoordSys(Make("EPSG:4326"));
    EXPECT_DOUBLE_EQ(264.5838625 / 111194.872221777, ts.CalculateResolution(1e-6));
    // DPI and UnitsRatio play no part in it.
    ts.SetDPI(300.0);
    EXPECT_DOUBLE_EQ(264.5838625 / 111194.872221777, ts.CalculateResolution(1e-6));
}

}  // namespace
}  // namespace TVK
