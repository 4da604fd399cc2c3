// PMTiles as a layout of eTileStorage: created once from a Web Mercator
// scheme, read back with its own scheme, listed and checked (over HTTP: the
// tool tests).
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

#include "eCacheCheck.h"
#include "eTileListing.h"
#include "eTileStorage.h"
#include "pmtiles_util.h"
#include "support/storage_util.h"

namespace tvktest {

namespace {

// A Web Mercator scheme of `levels` levels whose level 0 is zoom firstZoom.
std::unique_ptr<eTileStorage> Mercator(int firstZoom, int levels) {
    auto storage = std::make_unique<eTileStorage>();
    SetWebMercator(storage->GetTileCoordSys(), levels, firstZoom);
    storage->SetName("roads");
    return storage;
}

}  // namespace

TEST(PMTilesStorage, CreatedOnceThenReadWithItsOwnScheme) {
    TempDir dir;
    const std::string path = (dir / "roads.pmtiles").string();
    // Levels 0-3 of this scheme are zooms 2-5: tiles land by their width.
    auto out = Mercator(2, 4);
    ASSERT_TRUE(out->CreateTileFile(path.c_str())) << out->GetTileFileError().Std();
    EXPECT_EQ(out->GetCacheFormat(), eTileStorage::PMTiles);
    std::map<std::tuple<int, int, int>, Bytes> saved;
    for (int level = 0; level < 4; ++level)
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col) {
                const Bytes tile = NamedTile(level + 2, uint32_t(col), uint32_t(row), level);
                ASSERT_TRUE(Save(*out, level, row, col, tile));
                saved[{level, row, col}] = tile;
            }
    // Written once: nothing is there to find until it is finished, a tile
    // saved again keeps its last bytes, and nothing can be removed.
    EXPECT_FALSE(out->IsTileExist(0, 0, 0) || out->RemoveTile(0, 0, 0) || fs::exists(path));
    saved[{1, 2, 2}] = Text("second save");
    ASSERT_TRUE(Save(*out, 1, 2, 2, Text("second save")));
    EXPECT_FALSE(Save(*out, 0, -1, 0, Text("off the grid")));
    ASSERT_TRUE(out->FinishTileFile()) << out->GetTileFileError().Std();
    EXPECT_EQ(Load(*out, 1, 2, 2), Text("second save"));
    EXPECT_FALSE(Save(*out, 0, 3, 3, Text("too late")));

    // The archive itself has the tiles on zooms 2-5.
    bool opened = false;
    auto raw = OpenArchive(path, opened);
    ASSERT_TRUE(opened);
    EXPECT_EQ(LoadTile(*raw, 2, 1, 0), (saved[{0, 0, 1}]));
    EXPECT_EQ(LoadTile(*raw, 5, 2, 1), (saved[{3, 1, 2}]));
    EXPECT_TRUE(raw->GetHeader().MinZoom == 2 && raw->GetHeader().MaxZoom == 5);

    // Opened from the file: level n is zoom n, the name and type come along.
    eTileStorage in;
    ASSERT_TRUE(in.FromTileFile(path.c_str())) << in.GetTileFileError().Std();
    EXPECT_EQ(in.GetCacheFormat(), eTileStorage::PMTiles);
    EXPECT_EQ(in.GetName(), "roads");
    EXPECT_EQ(in.GetTileType(), eFileType::PNG);
    EXPECT_EQ(in.GetTileCoordSys().GetLevelCaptions().size(), 6u);
    EXPECT_EQ(in.GetTileCoordSys().GetTileTopLevel(), 2);
    EXPECT_NEAR(in.GetTileCoordSys().ComputeTileWorldBounds(3, 0, 0).Width(), kWorld / 8, 1e-6);
    for (const auto& [address, bytes] : saved) {
        const auto [level, row, col] = address;
        EXPECT_EQ(Load(in, level + 2, row, col), bytes) << level << " " << row << " " << col;
    }
    EXPECT_FALSE(Save(in, 2, 3, 3, Text("read-only")) || in.RemoveTile(2, 0, 0));
    EXPECT_TRUE(in.IsTileExist(2, 0, 0));

    // Listed level by level, each along its Hilbert curve (tile-id order).
    const Listed listed = List(in);
    ASSERT_EQ(listed.size(), saved.size());
    uint64_t lastId = 0;
    for (size_t i = 0; i < listed.size(); ++i) {
        const auto [level, row, col, size] = listed[i];
        uint64_t id = 0;
        ASSERT_TRUE(pmtiles::ZxyToTileId(level, uint32_t(col), uint32_t(row), id));
        EXPECT_TRUE(i == 0 || id > lastId);
        lastId = id;
        EXPECT_EQ(size_t(size), (saved[{level - 2, row, col}].size()));
    }
    eTileListing deep(in, 5, 5);
    tagStoredTile first;
    ASSERT_TRUE(deep.Next(first));
    EXPECT_EQ(first.Level, 5);

    eCacheCheck check(in);
    tagCacheFinding finding;
    EXPECT_FALSE(check.Next(finding)) << finding.Detail.Std();
    EXPECT_EQ(check.GetTotals().Tiles, int64_t(saved.size()));
}

TEST(PMTilesStorage, RefusesOtherGridsAndLeavesNothingUnfinished) {
    TempDir dir;
    const std::string path = (dir / "x.pmtiles").string();
    auto geographic = Mercator(0, 3);
    ePrjCoordSys wgs84;
    wgs84 << eWKT("EPSG:4326");
    geographic->GetTileCoordSys().SetPrjCoordSys(wgs84);
    EXPECT_FALSE(geographic->CreateTileFile(path.c_str()));
    EXPECT_NE(geographic->GetTileFileError().Std().find("only the Web Mercator grid"),
              std::string::npos);
    auto shifted = Mercator(0, 3);
    shifted->GetTileCoordSys().SetTileOrigin(ePoint2D(-kWorld / 2 + 1000, kWorld / 2));
    EXPECT_FALSE(shifted->CreateTileFile(path.c_str()));
    auto halves = Mercator(0, 3);
    halves->GetTileCoordSys().SetScales({1.0 / 400000000});  // no zoom's tile width
    EXPECT_FALSE(halves->CreateTileFile(path.c_str()));
    EXPECT_FALSE(Mercator(0, 3)->CreateTileFile("http://127.0.0.1:1/x.pmtiles"));
    {
        auto dropped = Mercator(0, 3);
        ASSERT_TRUE(dropped->CreateTileFile(path.c_str()));
        ASSERT_TRUE(Save(*dropped, 1, 1, 1, Text("never published")));
    }
    EXPECT_TRUE(fs::is_empty(dir.Path()));
    auto empty = Mercator(0, 3);
    ASSERT_TRUE(empty->CreateTileFile(path.c_str()));
    EXPECT_FALSE(empty->FinishTileFile());
    EXPECT_NE(empty->GetTileFileError().Std().find("no tiles"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(dir.Path()));

    eTileStorage missing;
    EXPECT_FALSE(missing.FromTileFile(path.c_str()));
    EXPECT_FALSE(missing.GetTileFileError().IsEmpty());
    EXPECT_EQ(missing.GetCacheFormat(), eTileStorage::Original);  // nothing half-opened
}

}  // namespace tvktest
