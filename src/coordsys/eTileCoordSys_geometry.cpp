// eTileCoordSys tile geometry: tile size, ranges, bounds, positions, counts.
//
// Every operation derives the tile side T from the level's scale through
// GetScale, so levels past the list and invalid levels follow one rule.
// Row 0 starts at the origin and rows grow downward (decreasing y); columns
// grow rightward. Per-tile calls: no allocation, no lock.
#include "eTileCoordSys.h"

#include <cmath>

#include "coordsys/eTileMath.h"

namespace TVK {

using tilemath::FloorToInt32;
using tilemath::RoundAwayToInt32;
using tilemath::TenTimesTileSize;

namespace {

// Margin of the Logic range, in tiles.
constexpr double kLogicMargin = 1e-13;
// Margin of the World range: 1/1024 of a tile.
constexpr double kWorldMarginFraction = 0.0009765625;

void SetEmptyArea(tagTileArea& area) {
    area.StartRow = 0;
    area.EndRow = -1;
    area.StartCol = 0;
    area.EndCol = -1;
}

// Right and bottom come from left and top, not from col + 1 and row + 1.
eRect2D TileBounds(double t, const ePoint2D& origin, int row, int col) {
    eRect2D bounds;
    bounds.left = static_cast<double>(col) * t + origin.x;
    bounds.right = bounds.left + t;
    bounds.top = origin.y - static_cast<double>(row) * t;
    bounds.bottom = bounds.top - t;
    return bounds;
}

}  // namespace

eSize2D eTileCoordSys::ComputeTileMPSize(double scale) const {
    const double t = static_cast<double>(TenTimesTileSize(TileSize)) / DPI / (scale * UnitsRatio);
    return eSize2D(t, t);
}

void eTileCoordSys::ComputeTileLogicRange(int level, const eRect2D& rect, tagTileArea& area) const {
    const double scale = GetScale(level);
    if (scale == 0.0) {
        SetEmptyArea(area);
        return;
    }
    eRect2D m;
    LogicalToMap(rect, m);
    const double t = ComputeTileMPSize(scale).width;
    const double ox = TileOrigin.x, oy = TileOrigin.y;
    area.StartCol = FloorToInt32((m.left - ox) / t + kLogicMargin);
    area.EndCol = FloorToInt32((m.right - ox) / t - kLogicMargin);
    area.StartRow = FloorToInt32((oy - m.top) / t + kLogicMargin);
    area.EndRow = FloorToInt32((oy - m.bottom) / t - kLogicMargin);
}

void eTileCoordSys::ComputeTileWorldRange(int level, const eRect2D& rect, tagTileArea& area) const {
    const double scale = GetScale(level);
    // An infinite tile would make the margin infinite too (inf/inf = NaN):
    // nothing is covered.
    if (scale == 0.0) {
        SetEmptyArea(area);
        return;
    }
    const double t = ComputeTileMPSize(scale).width;
    const double e = t * kWorldMarginFraction;
    const double ox = TileOrigin.x, oy = TileOrigin.y;
    area.StartCol = FloorToInt32((rect.left - ox + e) / t);
    area.EndCol = FloorToInt32((rect.right - ox - e) / t);
    area.StartRow = FloorToInt32((oy - rect.top + e) / t);
    area.EndRow = FloorToInt32((oy - rect.bottom - e) / t);
}

eRect2D eTileCoordSys::ComputeTileWorldBounds(int level, int row, int col) const {
    const double scale = GetScale(level);
    eRect2D bounds;
    if (scale == 0.0) {
        bounds.SetEmpty();
        return bounds;
    }
    return TileBounds(ComputeTileMPSize(scale).width, TileOrigin, row, col);
}

eRect2D eTileCoordSys::ComputeTileLogicBounds(int level, int row, int col) const {
    const double scale = GetScale(level);
    eRect2D bounds;
    if (scale == 0.0) {
        bounds.SetEmpty();
        return bounds;
    }
    bounds = TileBounds(ComputeTileMPSize(scale).width, TileOrigin, row, col);
    MapToLogical(bounds, bounds);
    return bounds;
}

void eTileCoordSys::ComputeTilePosition(int level, const ePoint2D& point, int& row,
                                        int& col) const {
    const double t = ComputeTileMPSize(GetScale(level)).width;
    col = FloorToInt32((point.x - TileOrigin.x) / t);
    row = FloorToInt32((TileOrigin.y - point.y) / t);
}

void eTileCoordSys::ComputeTileCount(int level, int& rows, int& cols) const {
    const double t = ComputeTileMPSize(GetScale(level)).width;
    cols = RoundAwayToInt32((IndexBounds.right - TileOrigin.x) / t);
    rows = RoundAwayToInt32((TileOrigin.y - IndexBounds.bottom) / t);
}

}  // namespace TVK
