// Opening the cache a CACHE argument names, and the layouts the tool knows.
//
// A CACHE argument is a description file or a folder holding one: in a
// folder "tilecache.xml" (the name `tvk create` writes) comes first, then
// "conf.xml" in any letter case. A file whose root holds CacheStorageInfo, or
// whose TileCacheInfo holds LODInfos, is read as an ArcGIS configuration;
// any other file as the system's own description. A single-file cache is
// named by its file, which is its own description: FILE.mbtiles, FILE.gpkg
// (or "FILE.gpkg?table=NAME"), or an SQLite file of either kind under
// another name.
#ifndef TVK_TOOLS_CACHE_OPEN_H
#define TVK_TOOLS_CACHE_OPEN_H

#include <memory>
#include <string>

#include <tvk.h>

namespace TVK {
namespace cli {

// Every layout the tool can read and write. Adding one means a value here
// and its name and storage settings in cache_open.cpp; the library lists and
// checks its tiles.
enum class eLayout {
    Original,        // one file per tile in this system's own names
    Compact,         // .bundle/.bundlx pairs
    CompactV2,       // one .bundle per block
    ArcGISExploded,  // one file per tile in ArcGIS's names (L05/R0000012c/C00000401.png)
    MBTiles,         // one MBTiles file
    GeoPackage,      // a tile table of a GeoPackage
};

const char* LayoutName(eLayout layout);
bool ParseLayout(const std::string& text, eLayout& layout);
// "original, compact, compact-v2 or arcgis-exploded", for messages and help.
std::string LayoutNames();
// Bundles never overwrite a stored tile: a replacement removes it first.
inline bool IsBundled(eLayout layout) {
    return layout == eLayout::Compact || layout == eLayout::CompactV2;
}
// Caches kept in one file, named by the file rather than a folder.
inline bool IsSingleFile(eLayout layout) {
    return layout == eLayout::MBTiles || layout == eLayout::GeoPackage;
}
// The single-file layout a name asks for by its extension (before any
// "?table="); false for names of folders and description files.
bool SingleFileLayoutOfName(const std::string& name, eLayout& layout);
// The storage settings that make a layout of folders (format and file naming).
void ApplyLayout(eLayout layout, eTileStorage& storage);

// The name `tvk create` gives the description it writes.
constexpr const char* kDescriptionName = "tilecache.xml";

struct eOpenCache {
    std::unique_ptr<eTileStorage> Storage;
    std::string ConfigPath;  // the description file read (a single-file cache's file)
    std::string Root;        // cache folder, ends with '/' (a single-file cache's file)
    bool ArcGIS = false;     // read from an ArcGIS configuration
    eLayout Layout = eLayout::Original;

    int LevelCount() const {
        return static_cast<int>(Storage->GetTileCoordSys().GetLevelCaptions().size());
    }
};

// Resolves and reads the cache; kExitOk, or the exit code after the reason
// was printed on standard error.
int OpenCache(const std::string& arg, eOpenCache& cache);

// kExitOk when the level is one of the cache's; otherwise prints why and
// returns kExitFailed.
int CheckLevel(const eOpenCache& cache, int level);

}  // namespace cli
}  // namespace TVK

#endif
