// The tile range of a box at one level, clipped to the level's tile grid.
#ifndef TVK_TOOLS_TILE_RANGE_H
#define TVK_TOOLS_TILE_RANGE_H

#include <cstdint>

#include "cache_open.h"

namespace TVK {
namespace cli {

// Tiles of `level` that the box covers (map units, or lon/lat degrees when
// lonlat), clipped to the grid from the origin to the index bounds. An empty
// range has End < Start. kExitOk, or kExitUsage after printing why the box
// cannot be converted.
int BoxToTileArea(const eOpenCache& cache, int level, const eRect2D& box, bool lonlat,
                  tagTileArea& area);

inline int64_t TileAreaCount(const tagTileArea& a) {
    if (a.EndRow < a.StartRow || a.EndCol < a.StartCol) return 0;
    return (int64_t{a.EndRow} - a.StartRow + 1) * (int64_t{a.EndCol} - a.StartCol + 1);
}

inline bool TileAreaContains(const tagTileArea& a, int row, int col) {
    return row >= a.StartRow && row <= a.EndRow && col >= a.StartCol && col <= a.EndCol;
}

}  // namespace cli
}  // namespace TVK

#endif
