// tvk tiles: the addresses covering an area; tvk ls: the tiles stored.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "cache_open.h"
#include "cli.h"
#include "findings.h"
#include "tile_range.h"

namespace TVK {
namespace cli {

namespace {

struct tagTilesOptions {
    std::string Cache;
    int Level = 0;
    std::string Box;
    bool LonLat = false;
    bool Count = false;
};

int RunTiles(const tagTilesOptions& opt) {
    eRect2D box;
    if (!ParseBox(opt.Box, box))
        return Fail(kExitUsage, "--bbox",
                    "expected MINX,MINY,MAXX,MAXY with MIN < MAX, got '" + opt.Box + "'");
    eOpenCache cache;
    if (const int code = OpenCache(opt.Cache, cache)) return code;
    if (const int code = CheckLevel(cache, opt.Level)) return code;
    tagTileArea area;
    if (const int code = BoxToTileArea(cache, opt.Level, box, opt.LonLat, area)) return code;
    if (opt.Count) {
        std::printf("%" PRId64 "\n", TileAreaCount(area));
        return kExitOk;
    }
    for (int row = area.StartRow; row <= area.EndRow; ++row) {
        for (int col = area.StartCol; col <= area.EndCol; ++col)
            std::printf("%d %d %d\n", opt.Level, row, col);
    }
    return kExitOk;
}

struct tagLsOptions {
    std::string Cache;
    int Level = -1;
};

int RunLs(const tagLsOptions& opt) {
    eOpenCache cache;
    if (const int code = OpenCache(opt.Cache, cache)) return code;
    int first = 0, last = cache.LevelCount() - 1;
    if (opt.Level >= 0) {
        if (const int code = CheckLevel(cache, opt.Level)) return code;
        first = last = opt.Level;
    }
    eTileListing listing(*cache.Storage, first, last);
    tagStoredTile tile;
    while (listing.Next(tile))
        std::printf("%d %d %d %" PRId64 "\n", tile.Level, tile.Row, tile.Col, tile.Size);
    return ListingResult(cache, listing);
}

}  // namespace

void RegisterTiles(CLI::App& app, eCommandTable& table) {
    auto opt = std::make_shared<tagTilesOptions>();
    CLI::App* sub =
        app.add_subcommand("tiles", "List the tile addresses (LEVEL ROW COLUMN) covering an area");
    AddCacheArgument(sub, opt->Cache);
    sub->add_option("LEVEL", opt->Level, "Level")->required();
    sub->add_option("--bbox", opt->Box,
                    "MINX,MINY,MAXX,MAXY in map units (or degrees with --lonlat)")
        ->required();
    sub->add_flag("--lonlat", opt->LonLat, "The box is longitude/latitude in degrees");
    sub->add_flag("--count", opt->Count, "Print only the number of tiles");
    table.Add(sub, [opt]() { return RunTiles(*opt); });
}

void RegisterLs(CLI::App& app, eCommandTable& table) {
    auto opt = std::make_shared<tagLsOptions>();
    CLI::App* sub =
        app.add_subcommand("ls", "List the stored tiles, one 'LEVEL ROW COLUMN BYTES' line each");
    AddCacheArgument(sub, opt->Cache);
    sub->add_option("--level", opt->Level, "Only this level");
    table.Add(sub, [opt]() { return RunLs(*opt); });
}

}  // namespace cli
}  // namespace TVK
