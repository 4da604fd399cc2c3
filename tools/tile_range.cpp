// Box to tile range, through the tiling scheme's own geometry.
#include "tile_range.h"

#include <algorithm>

#include "cli.h"

namespace TVK {
namespace cli {

int BoxToTileArea(const eOpenCache& cache, int level, const eRect2D& box, bool lonlat, tagTileArea& area) {
    const eTileCoordSys& scheme = cache.Storage->GetTileCoordSys();
    eRect2D map = box;
    if (lonlat && !LonLatBoxToMap(scheme.GetPrjCoordSys(), box, map))
        return Fail(kExitUsage, "--bbox", "the longitude/latitude box cannot be converted to the cache's coordinate system");
    scheme.ComputeTileWorldRange(level, map, area);
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
