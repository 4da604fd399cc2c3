// Box to tile range, through the tiling scheme's own geometry.
#include "tile_range.h"

#include <algorithm>

#include "cli.h"

namespace TVK {
namespace cli {

int BoxToTileArea(const eOpenCache& cache, int level, const eRect2D& box, bool lonlat,
                  tagTileArea& area) {
    const eTileCoordSys& scheme = cache.Storage->GetTileCoordSys();
    eRect2D map = box;
    if (lonlat && !LonLatBoxToMap(scheme.GetPrjCoordSys(), box, map))
        return Fail(
            kExitUsage, "--bbox",
            "the longitude/latitude box cannot be converted to the cache's coordinate system");
    scheme.ComputeTileWorldRange(level, map, area);
    // Edges within a small margin of a tile boundary count as on it, so a box
    // thinner than that margin comes back empty; it still lies in the tile
    // under its centre.
    if (area.StartCol > area.EndCol || area.StartRow > area.EndRow) {
        int row = 0, col = 0;
        scheme.ComputeTilePosition(
            level, ePoint2D((map.left + map.right) / 2, (map.top + map.bottom) / 2), row, col);
        if (area.StartCol > area.EndCol) area.StartCol = area.EndCol = col;
        if (area.StartRow > area.EndRow) area.StartRow = area.EndRow = row;
    }
    int rows = 0, cols = 0;
    scheme.ComputeTileCount(level, rows, cols);
    if (rows > 0 && cols > 0) {
        area.StartRow = std::max(area.StartRow, 0);
        area.StartCol = std::max(area.StartCol, 0);
        area.EndRow = std::min(area.EndRow, rows - 1);
        area.EndCol = std::min(area.EndCol, cols - 1);
    }
    return kExitOk;
}

}  // namespace cli
}  // namespace TVK
