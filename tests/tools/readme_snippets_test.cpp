// The C++ tour of README.md, compiled and run: the four functions below are
// copied verbatim from it, so a change that breaks the README breaks here.
#include <tvk.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli_runner.h"

using namespace TVK;

// ---- README: open an ArcGIS cache and read a tile ----
bool ReadArcGISTile(const eString& confXml, int level, int row, int col, eByteArray& tile) {
    eTileStorage cache;
    if (!cache.FromArcGISConfigFile(confXml)) return false;  // conf.xml of the cache
    return cache.LoadImageData(level, row, col, tile) == 1;  // the encoded bytes (PNG, JPEG...)
}

// ---- README: create a cache and write tiles ----
bool CreateWebMercatorCache(const eString& folder, const eByteArray& png) {
    ePrjCoordSys webMercator;
    if (!(webMercator << eWKT("EPSG:3857"))) return false;
    const double world = eCoordSys::kCircumference;  // metres across the map

    eTileStorage cache;
    cache.SetName("my-cache");
    cache.SetCacheFormat(eTileStorage::Compact);  // bundles of 128 x 128 tiles
    cache.SetTileType(eFileType::PNG);
    eTileCoordSys& scheme = cache.GetTileCoordSys();
    scheme.SetPrjCoordSys(webMercator);
    scheme.SetTileSize(256);
    scheme.SetDPI(96);
    scheme.SetTileOrigin(ePoint2D(-world / 2, world / 2));  // top-left corner of tile 0/0
    scheme.SetBounds(eRect2D(-world / 2, world / 2, world / 2, -world / 2));
    scheme.SetIndexBounds(scheme.GetBounds());
    // Level 0 is one tile across the world; levels 0-18, each twice the scale.
    scheme.SetScales(eTileCoordSys::ComputeMapScale(webMercator, world, 256, 19, 96 / 25.4));

    // Writing the description also makes its folder the cache folder.
    if (!cache.ToConfigFile(eFile::GetAbsolutePath(folder, "tilecache.xml"))) return false;
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 2; ++col)
            if (!cache.SaveImageData(1, row, col, png.GetData(), png.GetSize())) return false;
    return true;
}

// ---- README: find the tiles of a map view ----
std::vector<eByteArray> TilesOfView(const eString& description, const eRect2D& view, double scale) {
    eTileStorage cache;
    std::vector<eByteArray> tiles;
    if (!cache.FromConfigFile(description)) return tiles;
    const eTileCoordSys& scheme = cache.GetTileCoordSys();
    const int level = scheme.GetZoom(scale);  // the level drawn at this scale
    tagTileArea area;
    scheme.ComputeTileWorldRange(level, view, area);  // map units in, rows and columns out
    for (int row = area.StartRow; row <= area.EndRow; ++row) {
        for (int col = area.StartCol; col <= area.EndCol; ++col) {
            eByteArray tile;
            if (cache.LoadImageData(level, row, col, tile)) tiles.push_back(tile);
        }
    }
    return tiles;
}

// ---- README: list and check what a cache holds ----
bool SummariseCache(const eTileStorage& cache, int64_t& tiles, int64_t& damaged) {
    eTileListing listing(cache);  // every level; (cache, first, last) for a range
    tagStoredTile tile;           // Level, Row, Col, Size
    for (tiles = 0; listing.Next(tile);) ++tiles;
    if (listing.GetError().Kind != eCacheCheck::None) return false;  // GetError().Path: which

    eCacheCheck check(cache);  // or (cache, level)
    tagCacheFinding finding;   // Kind, Path and the numbers that go with it
    for (damaged = 0; check.Next(finding);) damaged += eCacheCheck::IsDamage(finding.Kind);
    return true;  // check.GetTotals(): bundles, tiles, bytes, dead bytes
}

// ---- the tour, run ----

TEST(ReadmeTour, CreateWriteFindAndReadBack) {
    const tvktest::TempDir dir;
    const eByteArray png = tvktest::ToArray(tvktest::Text("\x89PNG\1\2\3"));
    ASSERT_TRUE(CreateWebMercatorCache(dir.Str().c_str(), png));
    // The four level-1 tiles landed in the level's bundle.
    EXPECT_TRUE(std::filesystem::exists(dir.Str() + "/_alllayers/L01/R0000C0000.bundlx"));

    // A view of the north-west quarter at about level 1's scale finds tile 0/0 only;
    // the whole world finds all four.
    const double half = eCoordSys::kCircumference / 2;
    const std::string description = dir.Str() + "/tilecache.xml";
    const double level1 = 2 * 256 / (eCoordSys::kCircumference * 96 / 0.0254);
    EXPECT_EQ(
        TilesOfView(description.c_str(), eRect2D(-half + 1, half - 1, -1, 1), level1 * 1.0000001)
            .size(),
        1u);
    const std::vector<eByteArray> tiles =
        TilesOfView(description.c_str(), eRect2D(-half, half, half, -half), level1 * 1.0000001);
    ASSERT_EQ(tiles.size(), 4u);
    EXPECT_TRUE(tiles[3] == png);
}

TEST(ReadmeTour, ReadsATileOfAnArcGISCache) {
    const tvktest::TempDir dir;
    tvktest::WriteArcGISCache(dir.Str());
    eByteArray tile;
    ASSERT_TRUE(ReadArcGISTile((dir.Str() + "/Conf.xml").c_str(), 2, 3, 0, tile));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(tile.GetData()), tile.GetSize()),
              "tile-B!");
    EXPECT_FALSE(ReadArcGISTile((dir.Str() + "/Conf.xml").c_str(), 2, 0, 0, tile));

    eTileStorage cache;
    ASSERT_TRUE(cache.FromArcGISConfigFile((dir.Str() + "/Conf.xml").c_str()));
    int64_t tiles = 0, damaged = -1;
    ASSERT_TRUE(SummariseCache(cache, tiles, damaged));
    EXPECT_TRUE(tiles == 2 && damaged == 0);
}
