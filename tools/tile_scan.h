// The stored tiles of a cache, found from what is on disk: the bundle
// indexes of a compact cache (V1 or V2), the folder tree of a cache of tile
// files (this system's names or ArcGIS's). Only tiles the library itself
// would find at their address are reported.
#ifndef TVK_TOOLS_TILE_SCAN_H
#define TVK_TOOLS_TILE_SCAN_H

#include <cstdint>
#include <functional>
#include <string>

#include "cache_open.h"

namespace TVK {
namespace cli {

struct tagStoredTile {
    int32_t Level = 0;
    int32_t Row = 0;
    int32_t Col = 0;
    int64_t Bytes = 0;
};

// Return false to stop the scan.
using eTileVisitor = std::function<bool(const tagStoredTile&)>;

// Visits the tiles of levels first..last, level by level, each level sorted
// by row then column. kExitOk, or kExitFailed after printing why (a bundle
// that cannot be read); a missing level folder just has no tiles.
int ScanTiles(const eOpenCache& cache, int first, int last, const eTileVisitor& visit);

// Folder of a level in the original layout ("_alllayers/<scale name>").
std::string OriginalLevelFolder(const eOpenCache& cache, int level);
// "R0002C0008" for a tile's group folder, as the original layout names it.
std::string OriginalGroupFolder(const eOpenCache& cache, int row, int col);

// ArcGIS exploded trees: "_alllayers/L05/R0000012c/C00000401.png", the
// folder named after the level's own number, the extension after the
// cache's ArcGIS tile format (MIXED caches hold both kinds).
enum class eExplodedKind { Jpg, Png, Mixed };
eExplodedKind ExplodedKind(const eOpenCache& cache);
// Folder of a level; empty for a level whose number is negative (no name).
std::string ExplodedLevelFolder(const eOpenCache& cache, int level);
// "R0000012c" with prefix 'R' into 300: exactly eight lower-case hex digits,
// at most 7fffffff, as the library writes them; false otherwise.
bool ParseExplodedName(const std::string& text, char prefix, int& value);

}  // namespace cli
}  // namespace TVK

#endif
