// tvk coverage CACHE LEVEL -o FILE.png: a picture of where a level has tiles.
//
// One pixel per tile of the level's grid (origin to index bounds): stored
// tiles dark, empty ones light. Small grids are scaled up so the picture is
// about 512 pixels across; grids wider than 8192 tiles are shrunk, a pixel
// then standing for a square of tiles and dark when any of them is stored.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "cache_open.h"
#include "cli.h"
#include "findings.h"
#include "png_io.h"

namespace TVK {
namespace cli {

namespace {

constexpr int kTargetSide = 512;  // small grids are scaled up to about this
constexpr int kMaxSide = 8192;    // larger grids are shrunk to at most this
constexpr unsigned char kStored[3] = {24, 48, 96};
constexpr unsigned char kEmpty[3] = {236, 236, 232};

struct tagCoverageOptions {
    std::string Cache;
    int Level = 0;
    std::string Output;
};

int RunCoverage(const tagCoverageOptions& opt) {
    eOpenCache cache;
    if (const int code = OpenCache(opt.Cache, cache)) return code;
    if (const int code = CheckLevel(cache, opt.Level)) return code;
    int rows = 0, cols = 0;
    cache.Storage->GetTileCoordSys().ComputeTileCount(opt.Level, rows, cols);
    if (rows <= 0 || cols <= 0)
        return Fail(kExitFailed, cache.ConfigPath,
                    "level " + std::to_string(opt.Level) +
                        " has an empty tile grid (check the index bounds)");

    const int longest = std::max(rows, cols);
    const int shrink = (longest + kMaxSide - 1) / kMaxSide;                // tiles per pixel side
    const int zoom = shrink > 1 ? 1 : std::max(1, kTargetSide / longest);  // pixels per tile side
    const int gridW = (cols + shrink - 1) / shrink;
    const int gridH = (rows + shrink - 1) / shrink;
    std::vector<unsigned char> stored(static_cast<size_t>(gridW) * gridH, 0);
    int64_t count = 0, outside = 0;
    eTileListing listing(*cache.Storage, opt.Level, opt.Level);
    tagStoredTile t;
    while (listing.Next(t)) {
        if (t.Row < 0 || t.Col < 0 || t.Row >= rows || t.Col >= cols) {
            ++outside;
            continue;
        }
        stored[static_cast<size_t>(t.Row / shrink) * gridW + t.Col / shrink] = 1;
        ++count;
    }
    if (const int code = ListingResult(cache, listing)) return code;

    const int width = gridW * zoom, height = gridH * zoom;
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const unsigned char* colour =
                stored[static_cast<size_t>(y / zoom) * gridW + x / zoom] ? kStored : kEmpty;
            std::copy(colour, colour + 3, rgb.begin() + (static_cast<size_t>(y) * width + x) * 3);
        }
    }
    std::string reason;
    if (!WritePngFile(opt.Output, width, height, rgb, reason))
        return Fail(kExitFailed, opt.Output, reason);
    std::printf("wrote %s: %d x %d pixels for %d x %d tiles (%s), %" PRId64 " stored",
                opt.Output.c_str(), width, height, rows, cols,
                shrink > 1 ? ("one pixel per " + std::to_string(shrink) + " x " +
                              std::to_string(shrink) + " tiles")
                                 .c_str()
                           : ("one tile = " + std::to_string(zoom) + " x " + std::to_string(zoom) +
                              " pixels")
                                 .c_str(),
                count);
    if (outside > 0) std::printf(", %" PRId64 " outside the grid", outside);
    std::printf("\n");
    return kExitOk;
}

}  // namespace

void RegisterCoverage(CLI::App& app, eCommandTable& table) {
    auto opt = std::make_shared<tagCoverageOptions>();
    CLI::App* sub =
        app.add_subcommand("coverage", "Draw a PNG of which tiles of a level are stored");
    AddCacheArgument(sub, opt->Cache);
    sub->add_option("LEVEL", opt->Level, "Level")->required();
    sub->add_option("-o,--output", opt->Output, "PNG file to write")->required();
    table.Add(sub, [opt]() { return RunCoverage(*opt); });
}

}  // namespace cli
}  // namespace TVK
