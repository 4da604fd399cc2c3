// The tool's operations that other front ends share (the Python module):
// each reports what goes wrong through Fail (cli.h) and returns an exit
// code; the subcommands add what they print.
#ifndef TVK_TOOLS_TOOLKIT_H
#define TVK_TOOLS_TOOLKIT_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cache_open.h"

namespace TVK {
namespace cli {

// ---- info ----
struct tagLevelRow {
    int Level, RenderLevel, Rows, Cols;
    double Scale, Denominator, Resolution;  // Resolution: map units per pixel
};
std::vector<tagLevelRow> LevelTable(const eTileCoordSys& scheme);
// The document `tvk info --json` prints.
std::string InfoJson(const eOpenCache& cache);

// ---- create ----
struct tagCreateOptions {
    std::string Dir;
    std::string Crs;
    std::string Levels = "0-18";
    std::string Layout;  // compact, or the kind a file name asks for
    std::string TileType = "png";
    std::string Bounds;
    std::string Name;
    int TileSize = 256;
    double Dpi = 96.0;
    bool ArcGIS = false;
};
// Writes the new cache's description; on success `path` is its file and
// `summary` the line `tvk create` prints.
int CreateCache(const tagCreateOptions& opt, std::string& path, std::string& summary);

// ---- copy ----
struct tagCopyOptions {
    std::string Src, Dst;
    std::string Levels;
    std::string Box;
    bool LonLat = false;
    bool SkipExisting = false;
};
struct tagCopyCounts {
    int64_t Total = 0;  // tiles to copy, known before the first is copied
    int64_t Done = 0;
    int64_t Copied = 0;
    int64_t Skipped = 0;
    int64_t Failed = 0;
    int64_t Bytes = 0;
    bool Started = false;  // the tiles were counted and copying began
    bool Cancelled = false;
};
// Called at most five times a second and once at the end; false cancels.
using tagCopyProgress = std::function<bool(const tagCopyCounts& counts)>;
// Copies the tiles of opt.Src into opt.Dst. A cache whose Storage is already
// set is used as it is, otherwise it is opened from its argument. kExitOk
// when every tile was copied or skipped; a tile that fails is reported and
// the copy goes on.
int CopyTiles(const tagCopyOptions& opt, eOpenCache& src, eOpenCache& dst, tagCopyCounts& counts,
              const tagCopyProgress& progress);

// ---- seed ----
struct tagSeedOptions {
    std::string Cache, Source;
    std::string Levels;
    std::string Box;
    bool LonLat = false;
    std::string Polygon;  // a GeoJSON file of (multi)polygons, lon/lat
    std::string Tiles;    // a file of "LEVEL ROW COLUMN" lines
    std::string SourceType = "auto";
    std::string Layer, Style, MatrixSet, Format;
    std::string Subdomains;
    int Concurrency = 8;
    int Retries = 4;
    double Rate = 0.0;
    double Timeout = 30.0;
    double RetryDelay = 0.5;
    std::string UserAgent;
    std::vector<std::string> Headers;  // "Name: value"
    bool Overwrite = false;
    bool DryRun = false;     // count the tiles per level, download nothing
    std::string FailedFile;  // where the tiles that failed are listed
};
struct tagSeedResult {
    int First = 0, Last = -1;         // the levels seeded
    std::vector<int64_t> LevelTiles;  // a dry run's tiles of levels First..Last
    std::string Source;               // the source in words
    eTileSeeder::tagCounts Counts;
    bool Started = false;  // the source was read and downloading began
};
struct tagSeedCallbacks {
    // Before the first download, once the source is read.
    std::function<void(const tagSeedResult& result)> Started;
    // About five times a second and once at the end; false cancels.
    std::function<bool(const eTileSeeder::tagCounts& counts)> Progress;
    // After the last download, before the failures are reported.
    std::function<void(const tagSeedResult& result)> Finished;
};
// Downloads the tiles of opt's area and levels from opt.Source into the
// cache (used as it is when its Storage is set, otherwise opened from
// opt.Cache). kExitOk when no tile failed; a seed with failed tiles reports
// their summary, and a cancelled one reports it was interrupted. The
// storage's handles stay open: the caller releases them when no other thread
// uses the cache.
int SeedTiles(const tagSeedOptions& opt, eOpenCache& cache, tagSeedResult& result,
              const tagSeedCallbacks& callbacks);
// The line `tvk seed` prints at the end.
std::string SeedSummary(const eTileSeeder::tagCounts& c);

// ---- one tile ----
std::string AddressText(int level, int row, int col);
// Stores a tile; a tile already there is replaced only when `replace`, and
// the refusal's message ends with `replaceHint` (how to ask for it).
int PutTile(eOpenCache& cache, int level, int row, int col, const unsigned char* data, int64_t size,
            bool replace, const std::string& replaceHint);

}  // namespace cli
}  // namespace TVK

#endif
