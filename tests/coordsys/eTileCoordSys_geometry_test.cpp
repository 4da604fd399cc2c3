// Tile geometry on a world-sized Web Mercator grid: level z has tile side
// C / 2^z (C = 40075016.68557849), origin (-h, h) with h = C / 2.
#include <gtest/gtest.h>

#include <limits>

#include "coordsys_test_util.h"
#include "eTileCoordSys.h"

namespace TVK {
namespace {

constexpr double C = 40075016.68557849;
constexpr double h = 20037508.342789244;
constexpr double s0 = 2560 / (96 / 25.4) / (40075016.68557849 * 10000);  // T(0) = C

struct Scheme : eTileCoordSys {
    using eTileCoordSys::ComputeTileMPSize;
    Scheme() {
        SetDPI(96.0);
        SetTileOrigin(ePoint2D(-h, h));
        SetScales({s0, 2 * s0, 4 * s0});
    }
    tagTileArea World(int level, double l, double t, double r, double b) const {
        tagTileArea area;
        ComputeTileWorldRange(level, eRect2D(l, t, r, b), area);
        return area;
    }
    tagTileArea Logic(int level, double l, double t, double r, double b) const {
        tagTileArea area;
        ComputeTileLogicRange(level, eRect2D(l, t, r, b), area);
        return area;
    }
};

#define EXPECT_AREA(rows0, rows1, cols0, cols1, area)                               \
    do {                                                                              \
        const tagTileArea a_ = (area);                                                \
        EXPECT_EQ((std::vector<int>{rows0, rows1, cols0, cols1}),                     \
                  (std::vector<int>{a_.StartRow, a_.EndRow, a_.StartCol, a_.EndCol})); \
    } while (0)

TEST(TileGeometry, BoundsAndPositionsRowsGrowDownward) {
    const Scheme ts;
    EXPECT_DOUBLE_EQ(C, ts.ComputeTileMPSize(s0).width);
    const eRect2D b = ts.ComputeTileWorldBounds(0, 1, 1);  // right of and below tile 0/0
    EXPECT_DOUBLE_EQ(h, b.left);
    EXPECT_DOUBLE_EQ(-h - C, b.bottom);
    const eRect2D b3 = ts.ComputeTileWorldBounds(3, 2, -1);  // past the list: side C / 8
    EXPECT_DOUBLE_EQ(-h - C / 8, b3.left);
    EXPECT_DOUBLE_EQ(h - C / 4, b3.top);
    EXPECT_DOUBLE_EQ(h - 3 * C / 8, b3.bottom);
    int row = 9, col = 9;
    ts.ComputeTilePosition(0, ePoint2D(-h, h), row, col);
    EXPECT_TRUE(row == 0 && col == 0);
    ts.ComputeTilePosition(0, ePoint2D(-h - 1.0, h + 1.0), row, col);
    EXPECT_TRUE(row == -1 && col == -1);
    ts.ComputeTilePosition(1, ePoint2D(0.0, 0.0), row, col);  // corner: right and below
    EXPECT_TRUE(row == 1 && col == 1);
    ts.ComputeTilePosition(2, ePoint2D(-1e300, 1e300), row, col);  // saturates
    EXPECT_TRUE(row == std::numeric_limits<int>::min() && col == row);
}

TEST(TileGeometry, RangeMarginsDifferBetweenWorldAndLogic) {
    const Scheme ts;
    EXPECT_AREA(0, 0, 0, 0, ts.World(0, -h, h, h, -h));
    EXPECT_AREA(0, 0, 0, 0, ts.Logic(0, -h, h, h, -h));
    EXPECT_AREA(0, 0, 0, 1, ts.World(0, -h, h, h + C / 2, -h));
    // 1/2048 of a tile over every edge: inside the World margin (1/1024),
    // beyond the Logic one (1e-13).
    const double in = C / 2048, out = C / 512;
    EXPECT_AREA(0, 0, 0, 0, ts.World(0, -h - in, h + in, h + in, -h - in));
    EXPECT_AREA(-1, 1, -1, 1, ts.Logic(0, -h - in, h + in, h + in, -h - in));
    EXPECT_AREA(-1, 1, -1, 1, ts.World(0, -h - out, h + out, h + out, -h - out));
    // The middle 2 x 2 tiles of level 2, and a degenerate rectangle on x = 0.
    EXPECT_AREA(1, 2, 1, 2, ts.World(2, -h / 2, h / 2, h / 2, -h / 2));
    EXPECT_AREA(0, 0, 1, 0, ts.World(1, 0.0, h / 2, 0.0, h / 2));
    EXPECT_AREA(0, 0, 1, 0, ts.Logic(1, 0.0, h / 2, 0.0, h / 2));
    // Left of and above the origin (side t = C / 4): negative, not clamped.
    const double t = C / 4;
    EXPECT_AREA(-2, 0, -3, -1, ts.World(2, -h - 2.5 * t, h + 1.5 * t, -h - 0.5 * t, h - 0.5 * t));
}

TEST(TileGeometry, LogicFormsConvertFeet) {
    Scheme ts;
    ts.UnitsRatio = 3048.0;  // side C * 10000 / 3048 feet, 0.3048 logical per foot
    ts.SetTileOrigin(ePoint2D(0.0, 0.0));
    const double tf = 131479713.53536248, f = 0.3048;
    EXPECT_AREA(0, 3, 0, 2, ts.Logic(0, f * 0.5 * tf, -f * 0.5 * tf, f * 2.5 * tf, -f * 3.5 * tf));
    EXPECT_AREA(0, 3, 0, 2, ts.World(0, 0.5 * tf, -0.5 * tf, 2.5 * tf, -3.5 * tf));
    EXPECT_DOUBLE_EQ(-f * 2 * tf, ts.ComputeTileLogicBounds(0, 1, 2).bottom);
}

TEST(TileGeometry, CountsRoundHalfAwayFromZero) {
    Scheme ts;
    int rows = 0, cols = 0;
    ts.SetIndexBounds(eRect2D(-h, h, h, -h));
    ts.ComputeTileCount(2, rows, cols);
    EXPECT_TRUE(rows == 4 && cols == 4);
    // 0.4 tile right / above the origin: 0; 0.5 right: 1, 0.5 above: -1;
    // the left and top edges play no part.
    ts.SetIndexBounds(eRect2D(1e9, -1e9, -h + 0.4 * C, h + 0.4 * C));
    ts.ComputeTileCount(0, rows, cols);
    EXPECT_TRUE(rows == 0 && cols == 0);
    ts.SetIndexBounds(eRect2D(0, 0, -h + 0.5 * C, h + 0.5 * C));
    ts.ComputeTileCount(0, rows, cols);
    EXPECT_TRUE(rows == -1 && cols == 1);
}

TEST(TileGeometry, TenTimesTileSizeIsA32BitProduct) {
    Scheme ts;
    ts.SetTileSize(214748364);  // 2147483640 fits: T = 2147483640 / 2560 * C
    EXPECT_DOUBLE_EQ(33617360431643.297, ts.ComputeTileMPSize(s0).width);
    ts.SetTileSize(214748365);  // 2147483650 wraps to -2147483646
    EXPECT_DOUBLE_EQ(-33617360525569.113, ts.ComputeTileMPSize(s0).width);
}

TEST(TileGeometry, InvalidLevelGivesNeutralResults) {
    test::AssertCapture capture;
    Scheme ts;
    Scheme empty;
    empty.SetScales({});
    for (const Scheme* s : {&ts, &empty}) {
        const int level = s == &ts ? -1 : 0;
        const tagTileArea w = s->World(level, -h, h, h, -h), l = s->Logic(level, -h, h, h, -h);
        EXPECT_TRUE(w.EndCol < w.StartCol && w.EndRow < w.StartRow);
        EXPECT_TRUE(l.EndCol < l.StartCol && l.EndRow < l.StartRow);
        EXPECT_TRUE(s->ComputeTileWorldBounds(level, 1, 1).IsEmpty());
        EXPECT_TRUE(s->ComputeTileLogicBounds(level, 1, 1).IsEmpty());
        int rows = 5, cols = 5, row = 5, col = 5;
        s->ComputeTileCount(level, rows, cols);
        s->ComputeTilePosition(level, ePoint2D(1e300, -1e300), row, col);
        EXPECT_TRUE(rows == 0 && cols == 0 && row == 0 && col == 0);
    }
    EXPECT_EQ(12u, test::AssertCapture::Reports().size());
}

}  // namespace
}  // namespace TVK
