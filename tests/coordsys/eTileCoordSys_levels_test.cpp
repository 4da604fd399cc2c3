// Tiling scheme levels: list rules, search asymmetries, scale names, levels
// past the list, invalid levels, copying.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "coordsys_test_util.h"
#include "eTileCoordSys.h"

using namespace TVK;
using tvktest::AssertCapture;
using tvktest::g_reports;
constexpr double a = 0.01;

TEST(TileCoordSysLevels, SetScalesStopsAtFirstValueOutsideZeroOne) {
    eTileCoordSys ts;
    EXPECT_TRUE(ts.GetTileBottomLevel() == 22 && ts.GetZoom(a) == -1 &&
                ts.GetFixedScale(a, 1.0) == a);
    ts.SetScales({a, 2 * a, 4 * a});
    EXPECT_TRUE(ts.GetTileBottomLevel() == 2 && ts.GetLevelCaptions()[2].Level == 2);
    ts.SetTileBottomLevel(17);
    ts.SetScales({a, 2 * a, 1.5, 8 * a});
    EXPECT_TRUE(ts.GetScales() == (std::vector<double>{a, 2 * a}) && ts.GetTileBottomLevel() == 17);
    for (double bad : {0.0, -0.1, 1.0, 5e-21}) {
        ts.SetScales({bad, a});
        EXPECT_TRUE(ts.GetScales().empty() && ts.GetTileBottomLevel() == 17) << bad;
    }
    ts.SetScales({});
    EXPECT_EQ(-1, ts.GetTileBottomLevel());  // -1 for an empty list
    ts.SetLevelCaptions({{a, 5}, {2 * a, 6}});
    EXPECT_TRUE(ts.GetTileBottomLevel() == 1 && ts.ZoomLevelToRenderLevel(0) == 5 &&
                ts.ZoomLevelToRenderLevel(2) == -1);
}

TEST(TileCoordSysLevels, SearchesPreferTheCoarserLevel) {
    eTileCoordSys ts;
    ts.SetScales({a, 2 * a, 4 * a});
    const int zooms[] = {
        ts.GetZoom(a),     ts.GetZoom(1.5 * a),       ts.GetZoom(2 * a),        ts.GetZoom(a / 2),
        ts.GetZoom(8 * a), ts.GetZoom(2 * a - 5e-14), ts.GetZoom(2 * a - 1e-12)};
    EXPECT_EQ((std::vector<int>{0, 0, 1, 0, 2, 1, 0}), std::vector<int>(zooms, zooms + 7));
    // Between levels: up or down by direction; on level i >= 1 that level up,
    // the one before otherwise; on level 0 the next one up.
    const double fixed[][3] = {{1.5 * a, 1, 2 * a}, {1.5 * a, -1, a}, {2 * a, 1, 2 * a},
                               {2 * a, 0, a},       {a, 1, 2 * a},    {8 * a, -1, 4 * a}};
    for (const auto& f : fixed)
        EXPECT_EQ(f[2], ts.GetFixedScale(f[0], f[1])) << f[0] << " " << f[1];
    // Snapping goes to the lower level, not the nearest.
    EXPECT_TRUE(ts.Round2NearestScale(3.9 * a) == 2 * a && ts.Round2NearestScale(10 * a) == 4 * a);
    EXPECT_EQ(a, ts.Round2NearestVisibleScale(a / 10));
    eTileCoordSys one;
    one.SetScales({a});
    EXPECT_TRUE(one.GetZoom(a) == 0 && one.Round2NearestScale(a) == a &&
                one.GetFixedScale(a, 1) == a);
}

TEST(TileCoordSysLevels, ScaleNamesLevelsPastTheListAndResolutionRounding) {
    AssertCapture capture;
    eTileCoordSys ts;
    EXPECT_TRUE(ts.Scale2ScaleName(0.5) == 2u &&
                ts.Scale2ScaleName(0.4) == 3u);  // trunc(2.5 + 0.5)
    EXPECT_TRUE(ts.Scale2ScaleName(1e-6) == 1000000u &&
                ts.Scale2ScaleName(1.0 / 3e9) == 2147483647u);
    EXPECT_TRUE(g_reports.empty());
    for (double bad : {1.0, 0.0, -0.5, 1.5, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(1u, ts.Scale2ScaleName(bad)) << bad;
    EXPECT_EQ(g_reports, std::vector<std::string>(5, "FALSE|eTileCoordSys|469"));
    EXPECT_TRUE(ts.ScaleName2Scale(1000) == 0.001 && ts.ScaleName2Scale(0) == 0.0);
    g_reports.clear();

    // Past the list: L[n-1] * 2^d, d = z - n + 1 clamped to 30.
    ts.SetScales({a, 2 * a, 4 * a});
    EXPECT_EQ(8 * a, ts.GetScale(3));
    EXPECT_EQ(4 * a * 1073741824.0, ts.GetScale(2147483647));  // 2^d stops at 2^30
    ts.SetDPI(96.0);
    EXPECT_EQ(std::round(8 * a * (96.0 / 25.4) * 10000.0 * 40075016.68557849 / 10.0),
              ts.Zoom2Resolution(3));
    EXPECT_TRUE(g_reports.empty());
    EXPECT_TRUE(ts.GetScale(-1) == 0.0 &&
                ts.Zoom2Resolution(std::numeric_limits<int>::min()) == 0.0);
    // 1 dot/mm and s = v / (1000 * C) give y = v exactly (checked in double)
    // for v = 2.5, 0.5, -2.5: half-even would say 2, 0, -2; floor 2, 0, -3.
    ts.DPI = 1.0;
    ts.SetLevelCaptions(
        {{6.238300584163343e-11, 0}, {1.2476601168326685e-11, 1}, {-6.238300584163343e-11, 2}});
    EXPECT_TRUE(ts.Zoom2Resolution(0) == 3.0 && ts.Zoom2Resolution(1) == 1.0 &&
                ts.Zoom2Resolution(2) == -3.0);
    eTileCoordSys empty;
    EXPECT_TRUE(empty.GetScale(0) == 0.0 && empty.Round2NearestScale(a) == 0.0);
    ASSERT_EQ(4u, g_reports.size());
    EXPECT_EQ(0u, g_reports[0].find("level>=0 && !LevelCaptions.empty()|"));
}

TEST(TileCoordSysLevels, CopyRecomputesUnitsRatioAssignmentCopiesIt) {
    eTileCoordSys src;
    src.GetPrjCoordSys() << eWKT("EPSG:2227");  // feet; ratio left at 10000
    src.SetTileOrigin(ePoint2D(-5.0, 7.0));
    src.SetScales({a, 2 * a});
    src.SetTileBottomLevel(9);
    const eTileCoordSys copy(static_cast<const eTileCoordSys&>(src));
    eTileCoordSys assigned;
    assigned = src;
    EXPECT_TRUE(copy.UnitsRatio == 3048.0 && assigned.UnitsRatio == 10000.0);
    for (const eTileCoordSys* x : {&copy, static_cast<const eTileCoordSys*>(&assigned)})
        EXPECT_TRUE(x->GetTileOrigin().y == 7.0 && x->GetScale(1) == 2 * a &&
                    x->GetTileBottomLevel() == 9);
}
