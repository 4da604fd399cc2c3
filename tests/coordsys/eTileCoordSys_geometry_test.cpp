// Tile geometry on a world-sized Web Mercator grid: level 0 is one tile of
// side C = 40075016.68557849 m, level z has side C / 2^z. The origin is the
// top-left corner of the world, (-h, h) with h = C / 2 = 20037508.342789244.
#include <gtest/gtest.h>

#include <limits>

#include "assert_capture.h"
#include "eTileCoordSys.h"

namespace TVK {
namespace {

using test::AssertCapture;

constexpr double C = 40075016.68557849;
constexpr double h = 20037508.342789244;

struct Scheme : eTileCoordSys {
    using eTileCoordSys::ComputeTileMPSize;
};

// s0 = 2560 / (96 / 25.4) / (C * 10000): one 256-pixel tile spans C metres.
constexpr double s0 = 2560 / (96 / 25.4) / (40075016.68557849 * 10000);

Scheme WorldScheme() {
    Scheme ts;
    ts.SetDPI(96.0);
    ts.SetTileOrigin(ePoint2D(-h, h));
    ts.SetScales({s0, 2 * s0, 4 * s0});
    return ts;
}

TEST(TileGeometry, TileSideAndBoundsOfTheWorldTile) {
    const Scheme ts = WorldScheme();
    const eSize2D size = ts.ComputeTileMPSize(s0);
    EXPECT_DOUBLE_EQ(C, size.width);
    EXPECT_DOUBLE_EQ(C, size.height);

    const eRect2D b = ts.ComputeTileWorldBounds(0, 0, 0);
    EXPECT_DOUBLE_EQ(-h, b.left);
    EXPECT_DOUBLE_EQ(h, b.top);
    EXPECT_DOUBLE_EQ(h, b.right);
    EXPECT_DOUBLE_EQ(-h, b.bottom);

    // Row 1 lies below row 0, column 1 right of column 0.
    const eRect2D b11 = ts.ComputeTileWorldBounds(0, 1, 1);
    EXPECT_DOUBLE_EQ(h, b11.left);
    EXPECT_DOUBLE_EQ(-h, b11.top);
    EXPECT_DOUBLE_EQ(h + C, b11.right);
    EXPECT_DOUBLE_EQ(-h - C, b11.bottom);

    // Level 2: side C / 4; row 3, column -2.
    const eRect2D b2 = ts.ComputeTileWorldBounds(2, 3, -2);
    EXPECT_DOUBLE_EQ(-h - C / 2, b2.left);
    EXPECT_DOUBLE_EQ(-h - C / 4, b2.right);
    EXPECT_DOUBLE_EQ(h - 3 * C / 4, b2.top);
    EXPECT_DOUBLE_EQ(-h, b2.bottom);

    // Past the list (3 levels): level 3 has side C / 8.
    const eRect2D b3 = ts.ComputeTileWorldBounds(3, 0, 1);
    EXPECT_DOUBLE_EQ(-h + C / 8, b3.left);
    EXPECT_DOUBLE_EQ(-h + C / 4, b3.right);
}

TEST(TileGeometry, PositionRowsGrowDownwardAndBoundariesGoRightAndDown) {
    const Scheme ts = WorldScheme();
    int row = 99, col = 99;
    ts.ComputeTilePosition(0, ePoint2D(0.0, 0.0), row, col);
    EXPECT_EQ(0, row);
    EXPECT_EQ(0, col);
    ts.ComputeTilePosition(0, ePoint2D(-h, h), row, col);
    EXPECT_EQ(0, row);
    EXPECT_EQ(0, col);
    ts.ComputeTilePosition(0, ePoint2D(-h - 1.0, h + 1.0), row, col);
    EXPECT_EQ(-1, row);
    EXPECT_EQ(-1, col);
    // Level 1 (side h): the centre of the world is a corner shared by four
    // tiles and belongs to the one right of and below it.
    ts.ComputeTilePosition(1, ePoint2D(0.0, 0.0), row, col);
    EXPECT_EQ(1, row);
    EXPECT_EQ(1, col);
    // Level 2 (side C/4): 2.5 tiles below the origin is row 2; 0.5 tiles
    // right of it column 0.
    ts.ComputeTilePosition(2, ePoint2D(-h + C / 8, h - 2.5 * C / 4), row, col);
    EXPECT_EQ(2, row);
    EXPECT_EQ(0, col);
    // Far away: saturated, not undefined.
    ts.ComputeTilePosition(2, ePoint2D(1e300, -1e300), row, col);
    EXPECT_EQ(std::numeric_limits<int>::max(), row);
    EXPECT_EQ(std::numeric_limits<int>::max(), col);
    ts.ComputeTilePosition(2, ePoint2D(-1e300, 1e300), row, col);
    EXPECT_EQ(std::numeric_limits<int>::min(), row);
    EXPECT_EQ(std::numeric_limits<int>::min(), col);
}

TEST(TileGeometry, WorldRangeMarginIsOne1024thOfATile) {
    const Scheme ts = WorldScheme();
    tagTileArea area;
    ts.ComputeTileWorldRange(0, eRect2D(-h, h, h, -h), area);
    EXPECT_EQ(0, area.StartRow);
    EXPECT_EQ(0, area.EndRow);
    EXPECT_EQ(0, area.StartCol);
    EXPECT_EQ(0, area.EndCol);

    // One metre wider on the right: still inside the margin.
    ts.ComputeTileWorldRange(0, eRect2D(-h, h, h + 1.0, -h), area);
    EXPECT_EQ(0, area.EndCol);
    // 1/2048 of a tile past each edge: still within the margin.
    const double in = C / 2048;
    ts.ComputeTileWorldRange(0, eRect2D(-h - in, h + in, h + in, -h - in), area);
    EXPECT_EQ(0, area.StartRow);
    EXPECT_EQ(0, area.EndRow);
    EXPECT_EQ(0, area.StartCol);
    EXPECT_EQ(0, area.EndCol);
    // 1/512 of a tile past each edge: beyond it, rows go up to -1 and down to 1.
    const double out = C / 512;
    ts.ComputeTileWorldRange(0, eRect2D(-h - out, h + out, h + out, -h - out), area);
    EXPECT_EQ(-1, area.StartRow);
    EXPECT_EQ(1, area.EndRow);
    EXPECT_EQ(-1, area.StartCol);
    EXPECT_EQ(1, area.EndCol);
    // Half a tile into the next column.
    ts.ComputeTileWorldRange(0, eRect2D(-h, h, h + C / 2, -h), area);
    EXPECT_EQ(1, area.EndCol);

    // Level 2 (4 x 4 tiles): the middle 2 x 2 tiles exactly.
    ts.ComputeTileWorldRange(2, eRect2D(-h / 2, h / 2, h / 2, -h / 2), area);
    EXPECT_EQ(1, area.StartRow);
    EXPECT_EQ(2, area.EndRow);
    EXPECT_EQ(1, area.StartCol);
    EXPECT_EQ(2, area.EndCol);

    // A degenerate rectangle on the boundary x = 0 at level 1: empty range.
    ts.ComputeTileWorldRange(1, eRect2D(0.0, h / 2, 0.0, h / 2), area);
    EXPECT_EQ(1, area.StartCol);
    EXPECT_EQ(0, area.EndCol);
}

TEST(TileGeometry, LogicRangeMarginIsTinyAndGoesThroughLogicalUnits) {
    Scheme ts = WorldScheme();
    tagTileArea area;
    // Same 1/2048 overhang as above: the Logic form counts the next tiles.
    const double in = C / 2048;
    ts.ComputeTileLogicRange(0, eRect2D(-h - in, h + in, h + in, -h - in), area);
    EXPECT_EQ(-1, area.StartRow);
    EXPECT_EQ(1, area.EndRow);
    EXPECT_EQ(-1, area.StartCol);
    EXPECT_EQ(1, area.EndCol);
    // Exact tile edges still give exactly that tile.
    ts.ComputeTileLogicRange(0, eRect2D(-h, h, h, -h), area);
    EXPECT_EQ(0, area.StartRow);
    EXPECT_EQ(0, area.EndRow);
    EXPECT_EQ(0, area.StartCol);
    EXPECT_EQ(0, area.EndCol);
    ts.ComputeTileLogicRange(1, eRect2D(0.0, h / 2, 0.0, h / 2), area);
    EXPECT_EQ(1, area.StartCol);
    EXPECT_EQ(0, area.EndCol);

    // Feet: one map unit is 0.3048 logical units, so the level-0 tile side
    // is C * 10000 / 3048 = 131479713.53536248 feet and a logical
    // rectangle maps to feet before the grid is applied.
    ts.UnitsRatio = 3048.0;
    ts.SetTileOrigin(ePoint2D(0.0, 0.0));
    const double tf = 131479713.53536248;
    const eRect2D logical(0.3048 * 0.5 * tf, -0.3048 * 0.5 * tf, 0.3048 * 2.5 * tf,
                          -0.3048 * 3.5 * tf);
    ts.ComputeTileLogicRange(0, logical, area);
    EXPECT_EQ(0, area.StartCol);
    EXPECT_EQ(2, area.EndCol);
    EXPECT_EQ(0, area.StartRow);
    EXPECT_EQ(3, area.EndRow);
    tagTileArea world;
    ts.ComputeTileWorldRange(0, eRect2D(0.5 * tf, -0.5 * tf, 2.5 * tf, -3.5 * tf), world);
    EXPECT_EQ(area.StartCol, world.StartCol);
    EXPECT_EQ(area.EndCol, world.EndCol);
    EXPECT_EQ(area.StartRow, world.StartRow);
    EXPECT_EQ(area.EndRow, world.EndRow);

    // Logic bounds are the map bounds times 0.3048.
    const eRect2D lb = ts.ComputeTileLogicBounds(0, 1, 2);
    EXPECT_DOUBLE_EQ(0.3048 * 2 * tf, lb.left);
    EXPECT_DOUBLE_EQ(0.3048 * 3 * tf, lb.right);
    EXPECT_DOUBLE_EQ(-0.3048 * tf, lb.top);
    EXPECT_DOUBLE_EQ(-0.3048 * 2 * tf, lb.bottom);
}

TEST(TileGeometry, RangesLeftOfAndAboveTheOriginAreNegative) {
    const Scheme ts = WorldScheme();
    tagTileArea area;
    // Level 2, side C/4: x from 2.5 to 0.5 tiles left, y from 1.5 tiles above
    // to 0.5 tiles below the origin.
    const double t = C / 4;
    ts.ComputeTileWorldRange(2, eRect2D(-h - 2.5 * t, h + 1.5 * t, -h - 0.5 * t, h - 0.5 * t),
                             area);
    EXPECT_EQ(-3, area.StartCol);
    EXPECT_EQ(-1, area.EndCol);
    EXPECT_EQ(-2, area.StartRow);
    EXPECT_EQ(0, area.EndRow);
}

TEST(TileGeometry, TileCountsRoundHalfAwayFromZero) {
    Scheme ts = WorldScheme();
    int rows = -7, cols = -7;
    ts.SetIndexBounds(eRect2D(-h, h, h, -h));
    ts.ComputeTileCount(0, rows, cols);
    EXPECT_EQ(1, rows);
    EXPECT_EQ(1, cols);
    ts.ComputeTileCount(2, rows, cols);
    EXPECT_EQ(4, rows);
    EXPECT_EQ(4, cols);

    // Right 0.4 / 0.5 / 1.6 tiles from the origin; bottom -0.4 / -0.5 tiles
    // (above the origin); the left and top edges play no part.
    ts.SetIndexBounds(eRect2D(1e9, -1e9, -h + 0.4 * C, h + 0.4 * C));
    ts.ComputeTileCount(0, rows, cols);
    EXPECT_EQ(0, cols);
    EXPECT_EQ(0, rows);
    ts.SetIndexBounds(eRect2D(0, 0, -h + 0.5 * C, h + 0.5 * C));
    ts.ComputeTileCount(0, rows, cols);
    EXPECT_EQ(1, cols);
    EXPECT_EQ(-1, rows);
    ts.SetIndexBounds(eRect2D(0, 0, -h + 1.6 * C, h - 1.6 * C));
    ts.ComputeTileCount(0, rows, cols);
    EXPECT_EQ(2, cols);
    EXPECT_EQ(2, rows);
}

TEST(TileGeometry, TenTimesTileSizeIsA32BitProduct) {
    Scheme ts = WorldScheme();
    // 10 * 214748364 = 2147483640 still fits: T = 2147483640 / 2560 * C.
    ts.SetTileSize(214748364);
    EXPECT_DOUBLE_EQ(33617360431643.297, ts.ComputeTileMPSize(s0).width);
    // 10 * 214748365 = 2147483650 wraps to -2147483646.
    ts.SetTileSize(214748365);
    EXPECT_DOUBLE_EQ(-33617360525569.113, ts.ComputeTileMPSize(s0).width);
}

TEST(TileGeometry, InvalidLevelGivesNeutralResultsWithoutCrashing) {
    AssertCapture capture;
    Scheme ts = WorldScheme();
    ts.SetIndexBounds(eRect2D(-h, h, h, -h));
    Scheme empty;
    empty.SetIndexBounds(eRect2D(-h, h, h, -h));
    for (const Scheme* s : {&ts, &empty}) {
        const int level = s == &ts ? -1 : 0;
        tagTileArea area;
        s->ComputeTileWorldRange(level, eRect2D(-h, h, h, -h), area);
        EXPECT_LT(area.EndCol, area.StartCol);
        EXPECT_LT(area.EndRow, area.StartRow);
        s->ComputeTileLogicRange(level, eRect2D(-h, h, h, -h), area);
        EXPECT_LT(area.EndCol, area.StartCol);
        EXPECT_LT(area.EndRow, area.StartRow);
        EXPECT_TRUE(s->ComputeTileWorldBounds(level, 1, 1).IsEmpty());
        EXPECT_TRUE(s->ComputeTileLogicBounds(level, 1, 1).IsEmpty());
        int rows = 5, cols = 5;
        s->ComputeTileCount(level, rows, cols);
        EXPECT_EQ(0, rows);
        EXPECT_EQ(0, cols);
        int row = 5, col = 5;
        s->ComputeTilePosition(level, ePoint2D(1e300, -1e300), row, col);
        EXPECT_EQ(0, row);
        EXPECT_EQ(0, col);
    }
    EXPECT_EQ(12u, AssertCapture::Reports().size());
}

}  // namespace
}  // namespace TVK
