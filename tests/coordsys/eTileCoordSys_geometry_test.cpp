// Tile geometry on a world-sized Web Mercator grid: level z has tile side
// C / 2^z (C = 40075016.68557849), origin (-h, h) with h = C / 2; and the
// scale lists and resolutions computed for a coordinate system.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "coordsys_test_util.h"
#include "eTileCoordSys.h"

using namespace TVK;

namespace {

constexpr double C = 40075016.68557849;
constexpr double h = 20037508.342789244;
constexpr double kDpmm = 96 / 25.4;
constexpr double s0 = 2560 / kDpmm / (40075016.68557849 * 10000);  // T(0) = C

using V = std::vector<int>;  // {StartRow, EndRow, StartCol, EndCol}, or {row, column}

struct Scheme : eTileCoordSys {
    using eTileCoordSys::ComputeTileMPSize;
    Scheme() {
        SetDPI(96.0);
        SetTileOrigin(ePoint2D(-h, h));
        SetScales({s0, 2 * s0, 4 * s0});
    }
    V World(int z, double l, double t, double r, double b) const {
        return Range(true, z, eRect2D(l, t, r, b));
    }
    V Logic(int z, double l, double t, double r, double b) const {
        return Range(false, z, eRect2D(l, t, r, b));
    }
    V Count(int z) const {
        int rows = 5, cols = 5;
        ComputeTileCount(z, rows, cols);
        return {rows, cols};
    }
    V Range(bool world, int z, const eRect2D& rect) const {
        tagTileArea a;
        world ? ComputeTileWorldRange(z, rect, a) : ComputeTileLogicRange(z, rect, a);
        return {a.StartRow, a.EndRow, a.StartCol, a.EndCol};
    }
};

}  // namespace

TEST(TileGeometry, BoundsPositionsAndSizeRowsGrowDownward) {
    const Scheme ts;
    const eRect2D b = ts.ComputeTileWorldBounds(0, 1, 1);  // right of and below tile 0/0
    EXPECT_DOUBLE_EQ(h, b.left);
    EXPECT_DOUBLE_EQ(-h - C, b.bottom);
    const eRect2D b3 = ts.ComputeTileWorldBounds(3, 2, -1);  // past the list: side C / 8
    EXPECT_DOUBLE_EQ(-h - C / 8, b3.left);
    EXPECT_DOUBLE_EQ(h - 3 * C / 8, b3.bottom);
    Scheme wide;                  // 10 * TileSize is a 32-bit product
    wide.SetTileSize(214748364);  // 2147483640 fits: T = 2147483640 / 2560 * C
    EXPECT_DOUBLE_EQ(33617360431643.297, wide.ComputeTileMPSize(s0).width);
    wide.SetTileSize(214748365);  // 2147483650 wraps to -2147483646
    EXPECT_DOUBLE_EQ(-33617360525569.113, wide.ComputeTileMPSize(s0).width);
    auto pos = [&](int level, double x, double y) {
        int row = 9, col = 9;
        ts.ComputeTilePosition(level, ePoint2D(x, y), row, col);
        return V{row, col};
    };
    EXPECT_TRUE(pos(0, -h, h) == V({0, 0}) && pos(0, -h - 1.0, h + 1.0) == V({-1, -1}));
    EXPECT_EQ(V({1, 1}), pos(1, 0.0, 0.0));  // a corner belongs right and below
    const int lowest = std::numeric_limits<int>::min();
    EXPECT_EQ(V({lowest, lowest}), pos(2, -1e300, 1e300));  // saturates
}

TEST(TileGeometry, RangeMarginsDifferBetweenWorldAndLogic) {
    const Scheme ts;
    EXPECT_EQ(V({0, 0, 0, 0}), ts.World(0, -h, h, h, -h));
    // 1/2048 of a tile over every edge: inside the World margin (1/1024),
    // beyond the Logic one (1e-13).
    const double in = C / 2048, out = C / 512;
    EXPECT_EQ(V({0, 0, 0, 0}), ts.World(0, -h - in, h + in, h + in, -h - in));
    EXPECT_EQ(V({-1, 1, -1, 1}), ts.Logic(0, -h - in, h + in, h + in, -h - in));
    EXPECT_EQ(V({-1, 1, -1, 1}), ts.World(0, -h - out, h + out, h + out, -h - out));
    // The middle 2 x 2 tiles of level 2, and a degenerate rectangle on x = 0.
    EXPECT_EQ(V({1, 2, 1, 2}), ts.World(2, -h / 2, h / 2, h / 2, -h / 2));
    EXPECT_EQ(V({0, 0, 1, 0}), ts.World(1, 0.0, h / 2, 0.0, h / 2));
    // Left of and above the origin (side t = C / 4): negative, not clamped.
    const double t = C / 4;
    EXPECT_EQ(V({-2, 0, -3, -1}),
              ts.World(2, -h - 2.5 * t, h + 1.5 * t, -h - 0.5 * t, h - 0.5 * t));
}

TEST(TileGeometry, CountsRoundHalfAwayFromZeroAndLogicFormsConvertFeet) {
    Scheme ts;
    // 0.4 tile right / above the origin: 0; 0.5 right: 1, 0.5 above: -1;
    // the left and top edges play no part.
    ts.SetIndexBounds(eRect2D(1e9, -1e9, -h + 0.4 * C, h + 0.4 * C));
    EXPECT_EQ(V({0, 0}), ts.Count(0));
    ts.SetIndexBounds(eRect2D(0, 0, -h + 0.5 * C, h + 0.5 * C));
    EXPECT_EQ(V({-1, 1}), ts.Count(0));

    ts.UnitsRatio = 3048.0;  // side C * 10000 / 3048 feet, 0.3048 logical per foot
    ts.SetTileOrigin(ePoint2D(0.0, 0.0));
    const double tf = 131479713.53536248, f = 0.3048;
    EXPECT_EQ(V({0, 3, 0, 2}),
              ts.Logic(0, f * 0.5 * tf, -f * 0.5 * tf, f * 2.5 * tf, -f * 3.5 * tf));
    EXPECT_EQ(V({0, 3, 0, 2}), ts.World(0, 0.5 * tf, -0.5 * tf, 2.5 * tf, -3.5 * tf));
    EXPECT_DOUBLE_EQ(-f * 2 * tf, ts.ComputeTileLogicBounds(0, 1, 2).bottom);
}

TEST(TileGeometry, InvalidLevelGivesNeutralResults) {
    tvktest::AssertCapture capture;
    Scheme ts;
    Scheme empty;
    empty.SetScales({});
    for (const Scheme* s : {&ts, &empty}) {
        const int level = s == &ts ? -1 : 0;
        const V w = s->World(level, -h, h, h, -h), l = s->Logic(level, -h, h, h, -h);
        EXPECT_TRUE(w[1] < w[0] && w[3] < w[2] && l[1] < l[0] && l[3] < l[2]);  // empty ranges
        EXPECT_TRUE(s->ComputeTileWorldBounds(level, 1, 1).IsEmpty() &&
                    s->ComputeTileLogicBounds(level, 1, 1).IsEmpty());
        int row = 5, col = 5;
        s->ComputeTilePosition(level, ePoint2D(1e300, -1e300), row, col);
        EXPECT_TRUE(s->Count(level) == V({0, 0}) && row == 0 && col == 0);
    }
    EXPECT_EQ(12u, tvktest::g_reports.size());
}

TEST(TileScale, IntegerUnitsRatioIsTruncatedAndDoublingListStopsBelowOne) {
    const ePrjCoordSys merc = tvktest::Make("EPSG:3857");
    EXPECT_DOUBLE_EQ(s0, eTileCoordSys::ComputeMapScale(merc, C, 256, kDpmm));
    EXPECT_NEAR(256.0, eTileCoordSys::ComputeMapResolution(merc, s0, kDpmm, C), 1e-9);
    // Degrees: trunc(6378137 * 10000 * pi / 180) = 1113194907 (.93 dropped).
    const ePrjCoordSys wgs = tvktest::Make("EPSG:4326");
    EXPECT_DOUBLE_EQ(1113194907.0 / 10.0, eTileCoordSys::ComputeMapResolution(wgs, 1, 1, 1));
    EXPECT_DOUBLE_EQ(2560 / kDpmm / (1113194907.0 * 360.0),
                     eTileCoordSys::ComputeMapScale(wgs, 360.0, 256, kDpmm));
    // Grads: (1001570796 - 1000000000) in 64 bits, then
    // trunc(1570796 * 6378137 * 10000 * pi / 314159220) = 1001875353.
    const ePrjCoordSys grad = tvktest::Make(tvktest::kGradWkt);
    EXPECT_DOUBLE_EQ(1001875353.0 / 10.0, eTileCoordSys::ComputeMapResolution(grad, 1, 1, 1));

    // A doubling list: 2^29 * s0 = 0.907 is the last value below 1: levels 0 to 29.
    const std::vector<double> l40 = eTileCoordSys::ComputeMapScale(merc, C, 256, 40, kDpmm);
    ASSERT_EQ(30u, l40.size());
    for (size_t i = 1; i < l40.size(); ++i) EXPECT_EQ(2 * l40[i - 1], l40[i]);
    EXPECT_DOUBLE_EQ(0.9073996581154947, l40.back());
    EXPECT_EQ(std::vector<double>{s0}, eTileCoordSys::ComputeMapScale(merc, C, 256, 0, kDpmm));
    // 1 mm wide: s0 = 2560 / (96 / 25.4) / 10 = 67.7 >= 1 is still kept, alone.
    EXPECT_EQ(1u, eTileCoordSys::ComputeMapScale(merc, 0.001, 256, 10, kDpmm).size());
}

TEST(TileScale, WorldSchemeLevelZeroIsOneTile) {
    Scheme ts;
    ts.SetPrjCoordSys(tvktest::Make("EPSG:3857"));
    ts.SetIndexBounds(eRect2D(-h, h, h, -h));
    ts.SetScales(eTileCoordSys::ComputeMapScale(ts.GetPrjCoordSys(), C, 256, 20, kDpmm));
    EXPECT_TRUE(ts.Count(0) == V({1, 1}) && ts.Count(19) == V({524288, 524288}));  // 2^19
    EXPECT_EQ(134217728.0, ts.Zoom2Resolution(19));                                // 256 * 2^19
    EXPECT_EQ(10, ts.Resolution2Zoom(262144.0));
    // 1 / s0 = 10000 * C * (96 / 25.4) / 2560 = 591658710.91, rounded.
    EXPECT_EQ(591658711u, ts.Scale2ScaleName(ts.GetScale(0)));
    // CalculateScale: 10 / (r * dpmm * 10000); CalculateResolution fixed.
    EXPECT_DOUBLE_EQ(10.0 / (2.0 * kDpmm * 10000.0), ts.CalculateScale(2.0));
    ts.SetPrjCoordSys(tvktest::Make("EPSG:4326"));
    EXPECT_DOUBLE_EQ(264.5838625 / 111194.872221777, ts.CalculateResolution(1e-6));
}
