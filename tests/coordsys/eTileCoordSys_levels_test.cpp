// Tiling scheme levels: the list, the searches and their asymmetries, scale
// names, levels past the list and invalid levels, copying.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <vector>

#include "assert_capture.h"
#include "eTileCoordSys.h"
#include "platform/ePrjCoordSys.h"

namespace TVK {
namespace {

using test::AssertCapture;

constexpr double a = 0.01;

eTileCoordSys ThreeLevels() {
    eTileCoordSys ts;
    ts.SetScales({a, 2 * a, 4 * a});
    return ts;
}

TEST(TileCoordSysLevels, FreshScheme) {
    eTileCoordSys ts;
    EXPECT_EQ(256, ts.GetTileSize());
    EXPECT_EQ(256, ts.GetDataTileSize());
    EXPECT_EQ(0, ts.GetTileTopLevel());
    EXPECT_EQ(22, ts.GetTileBottomLevel());
    EXPECT_EQ(0, ts.GetLevelZoomMode());
    EXPECT_EQ(1073741824.0, ts.GetRefResolution());
    EXPECT_EQ(10000.0, ts.UnitsRatio);
    EXPECT_TRUE(ts.GetScales().empty());
    EXPECT_EQ(-1, ts.GetZoom(0.5));
    EXPECT_EQ(-1, ts.ZoomLevelToRenderLevel(0));
    EXPECT_EQ(0.25, ts.GetFixedScale(0.25, 1.0));  // empty list: unchanged
}

TEST(TileCoordSysLevels, SetScalesStopsAtFirstValueOutsideTheOpenUnitInterval) {
    eTileCoordSys ts;
    ts.SetScales({a, 2 * a, 4 * a});
    ASSERT_EQ(3u, ts.GetLevelCaptions().size());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(i, ts.GetLevelCaptions()[i].Level);
    EXPECT_EQ(2, ts.GetTileBottomLevel());

    ts.SetTileBottomLevel(17);
    ts.SetScales({a, 2 * a, 1.5, 8 * a});
    EXPECT_EQ((std::vector<double>{a, 2 * a}), ts.GetScales());
    EXPECT_EQ(17, ts.GetTileBottomLevel());

    for (double bad : {0.0, -0.1, 1.0, 5e-21, -5e-21}) {
        ts.SetScales({bad, a});
        EXPECT_TRUE(ts.GetScales().empty()) << bad;
        EXPECT_EQ(17, ts.GetTileBottomLevel()) << bad;
    }
    ts.SetScales({});
    EXPECT_EQ(-1, ts.GetTileBottomLevel());

    // Not sorted, not checked for order.
    ts.SetScales({4 * a, a});
    EXPECT_EQ((std::vector<double>{4 * a, a}), ts.GetScales());
    EXPECT_EQ(1, ts.GetTileBottomLevel());
}

TEST(TileCoordSysLevels, SetLevelCaptionsAndRenderLevels) {
    eTileCoordSys ts;
    ts.SetLevelCaptions({{a, 5}, {2 * a, 6}, {4 * a, 7}});
    EXPECT_EQ(2, ts.GetTileBottomLevel());
    EXPECT_EQ(5, ts.ZoomLevelToRenderLevel(0));
    EXPECT_EQ(7, ts.ZoomLevelToRenderLevel(2));
    EXPECT_EQ(-1, ts.ZoomLevelToRenderLevel(3));
    EXPECT_EQ(-1, ts.ZoomLevelToRenderLevel(-1));
    ts.GetLevelCaptions()[1].Level = 60;
    EXPECT_EQ(60, ts.ZoomLevelToRenderLevel(1));
    ts.SetLevelCaptions({});
    EXPECT_EQ(-1, ts.GetTileBottomLevel());
}

TEST(TileCoordSysLevels, GetZoomTakesTheCoarserLevelAndClampsAtTheEnds) {
    const eTileCoordSys ts = ThreeLevels();
    EXPECT_EQ(0, ts.GetZoom(a));
    EXPECT_EQ(0, ts.GetZoom(1.5 * a));
    EXPECT_EQ(1, ts.GetZoom(2 * a));
    EXPECT_EQ(1, ts.GetZoom(3.99 * a));
    EXPECT_EQ(2, ts.GetZoom(4 * a));
    EXPECT_EQ(0, ts.GetZoom(a / 2));
    EXPECT_EQ(2, ts.GetZoom(8 * a));
    // Within 1e-13 counts as equal: just below 2a is level 1, not 0.
    EXPECT_EQ(1, ts.GetZoom(2 * a - 5e-14));
    EXPECT_EQ(0, ts.GetZoom(2 * a - 1e-12));

    eTileCoordSys one;
    one.SetScales({a});
    EXPECT_EQ(0, one.GetZoom(a));
    EXPECT_EQ(0, one.GetZoom(2 * a));
    EXPECT_EQ(0, one.GetZoom(a / 2));
}

TEST(TileCoordSysLevels, GetFixedScaleDirectionAsymmetry) {
    const eTileCoordSys ts = ThreeLevels();
    EXPECT_EQ(2 * a, ts.GetFixedScale(1.5 * a, 1));
    EXPECT_EQ(a, ts.GetFixedScale(1.5 * a, -1));
    // On a level i >= 1: that level upward, the one before otherwise.
    EXPECT_EQ(2 * a, ts.GetFixedScale(2 * a, 1));
    EXPECT_EQ(a, ts.GetFixedScale(2 * a, 0));
    // On level 0: the next level upward, level 0 otherwise.
    EXPECT_EQ(2 * a, ts.GetFixedScale(a, 1));
    EXPECT_EQ(a, ts.GetFixedScale(a, -1));
    // Outside the list: the nearest end, whatever the direction.
    EXPECT_EQ(a, ts.GetFixedScale(a / 2, -1));
    EXPECT_EQ(4 * a, ts.GetFixedScale(8 * a, 1));

    eTileCoordSys one;
    one.SetScales({a});
    EXPECT_EQ(a, one.GetFixedScale(a, 1));
    EXPECT_EQ(a, one.GetFixedScale(0.9, -1));
}

TEST(TileCoordSysLevels, SnappingTakesTheLowerLevelNotTheNearest) {
    const eTileCoordSys ts = ThreeLevels();
    EXPECT_EQ(2 * a, ts.Round2NearestScale(3.9 * a));
    EXPECT_EQ(4 * a, ts.Round2NearestScale(10 * a));
    EXPECT_EQ(a, ts.Round2NearestScale(a / 10));
    EXPECT_EQ(2 * a, ts.Round2NearestScale(2 * a));
    EXPECT_EQ(4 * a, ts.Round2NearestScale(4 * a));
    EXPECT_EQ(a, ts.Round2NearestVisibleScale(1.9 * a));

    eTileCoordSys one;
    one.SetScales({a});
    EXPECT_EQ(a, one.Round2NearestScale(a));
    EXPECT_EQ(a, one.Round2NearestScale(0.5));
}

TEST(TileCoordSysLevels, ScaleNamesRoundTheDenominator) {
    eTileCoordSys ts;
    AssertCapture capture;
    EXPECT_EQ(2u, ts.Scale2ScaleName(0.5));
    EXPECT_EQ(3u, ts.Scale2ScaleName(0.4));  // 2.5 + 0.5 truncated
    EXPECT_EQ(1000u, ts.Scale2ScaleName(0.001));
    EXPECT_EQ(1000000u, ts.Scale2ScaleName(1e-6));
    EXPECT_EQ(591657528u, ts.Scale2ScaleName(1.0 / 591657527.591555));
    // Too small to name in 31 bits: saturates.
    EXPECT_EQ(2147483647u, ts.Scale2ScaleName(1.0 / 3e9));
    EXPECT_EQ(2147483647u, ts.Scale2ScaleName(1e-20));
    EXPECT_TRUE(AssertCapture::Reports().empty());

    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double bad : {1.0, 0.0, -0.5, 1.5, 5e-21, nan}) {
        AssertCapture::Reports().clear();
        EXPECT_EQ(1u, ts.Scale2ScaleName(bad)) << bad;
        ASSERT_EQ(1u, AssertCapture::Reports().size()) << bad;
        EXPECT_EQ("FALSE", AssertCapture::Reports()[0].expr);
        EXPECT_EQ("eTileCoordSys", AssertCapture::Reports()[0].file);
        EXPECT_EQ(469, AssertCapture::Reports()[0].line);
    }

    EXPECT_EQ(0.001, ts.ScaleName2Scale(1000));
    EXPECT_EQ(0.5, ts.ScaleName2Scale(2));
    EXPECT_EQ(0.0, ts.ScaleName2Scale(0));
}

TEST(TileCoordSysLevels, LevelsPastTheEndDoubleTheLastScale) {
    eTileCoordSys ts = ThreeLevels();
    ts.SetDPI(96.0);
    EXPECT_EQ(4 * a, ts.GetScale(2));
    EXPECT_EQ(8 * a, ts.GetScale(3));
    EXPECT_EQ(32 * a, ts.GetScale(5));
    // d = z - n + 1 stops at 30.
    EXPECT_EQ(4 * a * 1073741824.0, ts.GetScale(32));
    EXPECT_EQ(4 * a * 1073741824.0, ts.GetScale(2147483647));
    // Zoom2Resolution uses the same rule: round(8a * 96/25.4 * 10000 * C / 10).
    EXPECT_EQ(std::round(8 * a * (96.0 / 25.4) * 10000.0 * 40075016.68557849 / 10.0),
              ts.Zoom2Resolution(3));
}

TEST(TileCoordSysLevels, NegativeLevelOrEmptyListAssertsAndGivesZeroScale) {
    AssertCapture capture;
    const eTileCoordSys ts = ThreeLevels();
    EXPECT_EQ(0.0, ts.GetScale(-1));
    EXPECT_EQ(0.0, ts.Zoom2Resolution(-5));
    EXPECT_EQ(0.0, ts.GetScale(std::numeric_limits<int>::min()));
    const eTileCoordSys empty;
    EXPECT_EQ(0.0, empty.GetScale(0));
    EXPECT_EQ(0.0, empty.Round2NearestScale(0.5));
    ASSERT_EQ(5u, AssertCapture::Reports().size());
    for (const auto& r : AssertCapture::Reports()) EXPECT_EQ("eTileCoordSys", r.file);
    EXPECT_EQ("level>=0 && !LevelCaptions.empty()", AssertCapture::Reports()[0].expr);
}

TEST(TileCoordSysLevels, ZoomResolutionRoundTrip) {
    // A Web Mercator list over the whole width: level z is 256 * 2^z pixels.
    eTileCoordSys ts;
    ts.SetDPI(96.0);
    const double s0 = 2560 / (96 / 25.4) / (40075016.68557849 * 10000);
    ts.SetScales({s0, 2 * s0, 4 * s0, 8 * s0});
    EXPECT_EQ(256.0, ts.Zoom2Resolution(0));
    EXPECT_EQ(2048.0, ts.Zoom2Resolution(3));
    EXPECT_EQ(4096.0, ts.Zoom2Resolution(4));  // past the end, doubled
    EXPECT_EQ(0, ts.Resolution2Zoom(256.0));
    EXPECT_EQ(2, ts.Resolution2Zoom(1024.0));
    EXPECT_EQ(2, ts.Resolution2Zoom(1500.0));  // between levels: the coarser
    EXPECT_EQ(3, ts.Resolution2Zoom(1e9));
    EXPECT_EQ(0, ts.Resolution2Zoom(1.0));

    // Half away from zero. With 1 dot/mm, s = v / (1000 * C) gives y = v
    // exactly for v = 2.5, 0.5, -2.5 (checked in double arithmetic by hand):
    // half-even would give 2, 0, -2; floor would give 2, 0, -3.
    eTileCoordSys half;
    half.DPI = 1.0;
    half.SetLevelCaptions({{6.238300584163343e-11, 0}, {1.2476601168326685e-11, 1},
                           {-6.238300584163343e-11, 2}});
    EXPECT_EQ(3.0, half.Zoom2Resolution(0));
    EXPECT_EQ(1.0, half.Zoom2Resolution(1));
    EXPECT_EQ(-3.0, half.Zoom2Resolution(2));
}

TEST(TileCoordSysLevels, CopyConstructorRecomputesUnitsRatioAssignmentCopiesIt) {
    eTileCoordSys src;
    src.GetPrjCoordSys() << eWKT("EPSG:2227");  // no AdjustUnitsRatio: ratio stays 10000
    src.SetDPI(96.0);
    src.SetTileOrigin(ePoint2D(-5.0, 7.0));
    src.SetTileSize(512);
    src.SetDataTileSize(128);
    src.SetScales({a, 2 * a});
    src.SetRefResolution(99.0);
    src.SetLevelZoomMode(1);
    src.SetTileTopLevel(3);
    src.SetTileBottomLevel(9);
    src.SetBounds(eRect2D(1, 2, 3, 4));
    src.SetIndexBounds(eRect2D(5, 6, 7, 8));
    ASSERT_EQ(10000.0, src.UnitsRatio);

    const eTileCoordSys& constSrc = src;
    const eTileCoordSys copy(constSrc);
    eTileCoordSys assigned;
    assigned = src;
    EXPECT_EQ(3048.0, copy.UnitsRatio);
    EXPECT_EQ(10000.0, assigned.UnitsRatio);
    for (const eTileCoordSys* x : std::initializer_list<const eTileCoordSys*>{&copy, &assigned}) {
        EXPECT_NEAR(96.0 / 25.4, x->DPI, 1e-15);
        EXPECT_EQ(-5.0, x->GetTileOrigin().x);
        EXPECT_EQ(7.0, x->GetTileOrigin().y);
        EXPECT_EQ(512, x->GetTileSize());
        EXPECT_EQ(128, x->GetDataTileSize());
        EXPECT_EQ((std::vector<double>{a, 2 * a}), x->GetScales());
        EXPECT_EQ(99.0, x->GetRefResolution());
        EXPECT_EQ(1, x->GetLevelZoomMode());
        EXPECT_EQ(3, x->GetTileTopLevel());
        EXPECT_EQ(9, x->GetTileBottomLevel());
        EXPECT_EQ(4.0, x->GetBounds().bottom);
        EXPECT_EQ(7.0, x->GetIndexBounds().right);
        EXPECT_EQ(3048, x->GetPrjCoordSys().GetUnits());
    }
    // The copy owns its list.
    src.GetLevelCaptions()[0].Scale = 0.3;
    EXPECT_EQ(a, copy.GetScale(0));
    EXPECT_EQ(a, assigned.GetScale(0));
}

}  // namespace
}  // namespace TVK
