// Single-file caches: MBTiles and GeoPackage files written through the
// storage and read back with plain SQLite queries, files of other writers'
// shapes built by hand and read through the storage, and failures that must
// not be reported as success.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <sstream>

#include <sys/resource.h>

#include "eCacheCheck.h"
#include "eTileListing.h"
#include "support/sql_query.h"
#include "support/storage_util.h"
#include "support/test_processes.h"

using namespace tvktest;
using TVK::eTileStorage;

namespace {

using Rows = std::vector<std::vector<std::string>>;

std::unique_ptr<eTileStorage> SchemeStorage(const char* crs, double tileMapSize, ePoint2D origin,
                                            int levels) {
    auto storage = std::make_unique<eTileStorage>();
    ePrjCoordSys prj;
    EXPECT_TRUE(prj << eWKT(crs));
    eTileCoordSys& scheme = storage->GetTileCoordSys();
    scheme.SetPrjCoordSys(prj);
    scheme.SetTileSize(256);
    scheme.SetDPI(96);
    scheme.SetTileOrigin(origin);
    scheme.SetScales(eTileCoordSys::ComputeMapScale(prj, tileMapSize, 256, levels, 96 / 25.4));
    storage->SetName("demo");
    return storage;
}

std::unique_ptr<eTileStorage> WebMercator(int levels) {
    auto storage = std::make_unique<eTileStorage>();
    SetWebMercator(storage->GetTileCoordSys(), levels);
    storage->SetName("demo");
    return storage;
}

// Level 0 is two tiles of exactly 180 degrees (ComputeMapScale's whole-number
// units ratio would make them a hair smaller), each level half the one before.
std::unique_ptr<eTileStorage> Geographic(int levels) {
    auto storage = SchemeStorage("EPSG:4326", 180.0, ePoint2D(-180, 90), levels);
    eTileCoordSys& scheme = storage->GetTileCoordSys();
    std::vector<double> scales;
    for (int z = 0; z < levels; ++z)
        scales.push_back(scheme.CalculateScale(180.0 / 256 / (1 << z)));
    scheme.SetScales(scales);
    storage->GetTileCoordSys().SetBounds(eRect2D(-10, 60, 30, 35));
    storage->GetTileCoordSys().SetIndexBounds(eRect2D(-180, 90, 180, -90));
    return storage;
}

std::unique_ptr<eTileStorage> Open(const std::string& name) {
    auto storage = std::make_unique<eTileStorage>();
    EXPECT_EQ(storage->FromTileFile(name.c_str()), 1) << storage->GetTileFileError().Std();
    return storage;
}

bool SameTile(const eTileCoordSys& a, const eTileCoordSys& b, int level, int row, int col) {
    const eRect2D ra = a.ComputeTileWorldBounds(level, row, col);
    const eRect2D rb = b.ComputeTileWorldBounds(level, row, col);
    const double tolerance = 1e-9 * ra.Width();
    return std::fabs(ra.left - rb.left) <= tolerance && std::fabs(ra.top - rb.top) <= tolerance &&
           std::fabs(ra.right - rb.right) <= tolerance &&
           std::fabs(ra.bottom - rb.bottom) <= tolerance;
}

// The first bytes of a PNG of the given width: all a reader needs to tell its size.
Bytes PngHead(uint32_t width) {
    Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (int shift = 24; shift >= 0; shift -= 8)
        b.push_back(static_cast<unsigned char>(width >> shift));
    b.insert(b.end(), {0, 0, 1, 0, 8, 6, 0, 0, 0});
    return b;
}

}  // namespace

TEST(MBTilesFile, HoldsTmsRowsAndTheMetadataOfItsScheme) {
    TempDir dir;
    const std::string path = (dir / "w.mbtiles").string();
    auto storage = WebMercator(6);
    storage->GetTileCoordSys().SetTileTopLevel(2);
    // 0..90 degrees east, 0 to 66.5132604 degrees north (y = C / 4).
    storage->GetTileCoordSys().SetBounds(eRect2D(0, kWorld / 4, kWorld / 4, 0));
    ASSERT_EQ(storage->CreateTileFile(path.c_str()), 1) << storage->GetTileFileError().Std();
    EXPECT_EQ(storage->GetCacheFormat(), eTileStorage::MBTiles);
    EXPECT_EQ(storage->GetTileFile().Std(), path);

    EXPECT_EQ(Save(*storage, 0, 0, 0, TileBytes(1, 40)), 1);
    EXPECT_EQ(Save(*storage, 3, 1, 5, TileBytes(2, 40)), 1);
    EXPECT_EQ(Save(*storage, 3, 1, 5, TileBytes(3, 2000)), 1);  // replaced in place
    EXPECT_EQ(Save(*storage, 5, 31, 0, TileBytes(4, 0)), 1);    // an empty tile is a tile
    EXPECT_EQ(Save(*storage, 5, 0, 31, TileBytes(5, 40)), 1);
    EXPECT_EQ(storage->RemoveTile(5, 0, 31), 1);
    EXPECT_EQ(storage->RemoveTile(5, 0, 31), 1);  // gone already: still gone
    EXPECT_EQ(storage->IsTileExist(5, 0, 31), 0);
    EXPECT_EQ(storage->IsTileExist(5, 31, 0), 1);
    // Addresses outside zoom 5's 32 x 32 tiles, or past the last level.
    for (auto [level, row, col] :
         {std::tuple{5, 32, 0}, {5, -1, 0}, {5, 0, 32}, {6, 0, 0}, {0, 0, 1}})
        EXPECT_EQ(Save(*storage, level, row, col, TileBytes(6, 10)), 0) << level << row << col;

    EXPECT_EQ(SqlText(path, "PRAGMA application_id"), "1297105496");  // "MPBX"
    EXPECT_EQ(SqlText(path, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(SqlRows(path, "SELECT name, value FROM metadata ORDER BY name"),
              (Rows{{"bounds", "0,0,90,66.513260443111861"},
                    {"center", "45,33.25663022,2"},
                    {"format", "png"},
                    {"maxzoom", "5"},
                    {"minzoom", "2"},
                    {"name", "demo"},
                    {"type", "baselayer"}}));
    // TMS rows: row 1 of zoom 3 is stored as 8 - 1 - 1, row 31 of zoom 5 as 0.
    EXPECT_EQ(SqlRows(path,
                      "SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles "
                      "ORDER BY zoom_level, tile_column, tile_row"),
              (Rows{{"0", "0", "0", HexBlob(TileBytes(1, 40))},
                    {"3", "5", "6", HexBlob(TileBytes(3, 2000))},
                    {"5", "0", "0", "x''"}}));
    EXPECT_EQ(SqlText(path, "SELECT count(*) FROM pragma_index_list('tiles') WHERE \"unique\""),
              "1");

    // Read back: levels 0..maxzoom on the same grid, the top level and the bounds.
    storage->ReleaseHandles();
    auto back = Open(path);
    const eTileCoordSys& scheme = back->GetTileCoordSys();
    ASSERT_EQ(scheme.GetLevelCaptions().size(), 6u);
    EXPECT_EQ(back->GetName().Std(), "demo");
    EXPECT_EQ(scheme.GetTileTopLevel(), 2);
    EXPECT_EQ(scheme.GetTileSize(), 256);
    EXPECT_EQ(scheme.GetPrjCoordSys().GetEpsgCode(), 3857);
    for (int level = 0; level < 6; ++level)
        EXPECT_TRUE(SameTile(scheme, storage->GetTileCoordSys(), level, 3, 1)) << level;
    EXPECT_NEAR(scheme.GetBounds().right, kWorld / 4, 1e-2);
    EXPECT_NEAR(scheme.GetBounds().top, kWorld / 4, 1e-2);
    EXPECT_EQ(Load(*back, 3, 1, 5), TileBytes(3, 2000));
    TVK::eByteArray empty;
    EXPECT_EQ(back->LoadImageData(5, 31, 0, empty), 1);
    EXPECT_EQ(empty.GetSize(), 0);
}

TEST(MBTilesFile, RefusesSchemesOffTheWebMercatorGridAndLeavesNoFile) {
    TempDir dir;
    const std::string path = (dir / "w.mbtiles").string();
    struct Case {
        const char* what;
        std::function<void(eTileStorage&)> change;
        const char* reason;
    };
    const Case cases[] = {
        {"geographic",
         [](eTileStorage& s) { s.GetTileCoordSys() = Geographic(3)->GetTileCoordSys(); },
         "Web Mercator"},
        {"origin one metre off",
         [](eTileStorage& s) {
             s.GetTileCoordSys().SetTileOrigin(ePoint2D(-kWorld / 2 + 1, kWorld / 2));
         },
         "origin"},
        {"a level at 1.5 times the scale",
         [](eTileStorage& s) {
             auto scales = s.GetTileCoordSys().GetScales();
             scales[2] *= 1.5;
             scales[3] *= 4;
             s.GetTileCoordSys().SetScales(scales);
         },
         "level 2"},
        {"two levels on one zoom",
         [](eTileStorage& s) {
             auto scales = s.GetTileCoordSys().GetScales();
             scales[2] = scales[1];
             s.GetTileCoordSys().SetScales(scales);
         },
         "zoom 1"},
    };
    for (const Case& c : cases) {
        auto storage = WebMercator(4);
        c.change(*storage);
        EXPECT_EQ(storage->CreateTileFile(path.c_str()), 0) << c.what;
        EXPECT_NE(storage->GetTileFileError().Std().find(c.reason), std::string::npos)
            << c.what << ": " << storage->GetTileFileError().Std();
        EXPECT_EQ(storage->GetCacheFormat(), eTileStorage::Original) << c.what;
        EXPECT_TRUE(fs::is_empty(dir.Path())) << c.what;
    }

    // A file in the way stays as it was; a name of no known kind is refused;
    // opening something that is no tile file changes nothing.
    WriteText(path, "keep");
    auto storage = WebMercator(4);
    EXPECT_EQ(storage->CreateTileFile(path.c_str()), 0);
    EXPECT_EQ(storage->CreateTileFile((dir / "w.sqlite").string().c_str()), 0);
    EXPECT_EQ(ReadText(path), "keep");
    EXPECT_EQ(storage->FromTileFile(path.c_str()), 0);
    EXPECT_EQ(storage->FromTileFile((dir / "none.mbtiles").string().c_str()), 0);
    EXPECT_EQ(storage->GetCacheFormat(), eTileStorage::Original);
    EXPECT_EQ(storage->GetTileCoordSys().GetLevelCaptions().size(), 4u);
}

TEST(MBTilesFile, ReadsAndWritesTheShapesOtherWritersLeave) {
    TempDir dir;
    // A plain tiles table without a unique index (so a replacement must not
    // add a second row), a format that beats the tiles' own signature, and a
    // first tile that declares 512 pixels.
    const std::string plain = (dir / "plain.mbtiles").string();
    ASSERT_EQ(SqlExec(plain,
                      "CREATE TABLE metadata (name text, value text);"
                      "INSERT INTO metadata VALUES ('name', 'Plain'), ('format', 'jpg'), "
                      "('maxzoom', '3');"
                      "CREATE TABLE tiles (zoom_level integer, tile_column integer, tile_row "
                      "integer, tile_data blob);"),
              "");
    ASSERT_EQ(SqlExec(plain, "INSERT INTO tiles VALUES (3, 2, 5, ?1)", {PngHead(512)}), "");
    ASSERT_EQ(SqlExec(plain, "INSERT INTO tiles VALUES (4, 0, 0, x'01')"), "");
    auto storage = Open(plain);
    EXPECT_EQ(storage->GetName().Std(), "Plain");
    EXPECT_EQ(storage->GetTileType(), TVK::eFileType::JPG);
    EXPECT_EQ(storage->GetTileCoordSys().GetTileSize(), 512);
    EXPECT_EQ(storage->GetTileCoordSys().GetLevelCaptions().size(), 5u);  // a tile at zoom 4
    EXPECT_EQ(Load(*storage, 3, 2, 2), PngHead(512));
    EXPECT_EQ(Load(*storage, 4, 15, 0), Bytes{1});
    EXPECT_EQ(Save(*storage, 3, 2, 2, TileBytes(7, 30)), 1);
    EXPECT_EQ(SqlRows(plain, "SELECT tile_data FROM tiles WHERE zoom_level = 3"),
              (Rows{{HexBlob(TileBytes(7, 30))}}));

    // The deduplicated form: one image per distinct content, addresses in map.
    const std::string dedup = (dir / "dedup.mbtiles").string();
    ASSERT_EQ(SqlExec(dedup,
                      "CREATE TABLE metadata (name text, value text);"
                      "CREATE TABLE map (zoom_level INTEGER, tile_column INTEGER, tile_row "
                      "INTEGER, tile_id TEXT);"
                      "CREATE UNIQUE INDEX map_index ON map (zoom_level, tile_column, tile_row);"
                      "CREATE TABLE images (tile_data blob, tile_id text);"
                      "CREATE UNIQUE INDEX images_id ON images (tile_id);"
                      "CREATE VIEW tiles AS SELECT map.zoom_level AS zoom_level, map.tile_column "
                      "AS tile_column, map.tile_row AS tile_row, images.tile_data AS tile_data "
                      "FROM map JOIN images ON images.tile_id = map.tile_id;"
                      "INSERT INTO images VALUES (x'0a0b', 'sea');"
                      "INSERT INTO map VALUES (1, 0, 0, 'sea'), (1, 1, 0, 'sea');"),
              "");
    storage = Open(dedup);
    EXPECT_EQ(Load(*storage, 1, 1, 1), (Bytes{0x0a, 0x0b}));
    EXPECT_EQ(storage->IsTileExist(1, 0, 0), 0);
    EXPECT_EQ(Save(*storage, 1, 1, 0, TileBytes(8, 50)), 1);  // replaces a shared image's address
    EXPECT_EQ(Save(*storage, 1, 0, 0, TileBytes(8, 50)), 1);
    EXPECT_EQ(Save(*storage, 1, 0, 1, TileBytes(8, 50)), 1);  // the same bytes again
    EXPECT_EQ(storage->RemoveTile(1, 1, 1), 1);
    EXPECT_EQ(SqlText(dedup, "SELECT count(*) FROM images"), "2");  // "sea" stays as dead space
    EXPECT_EQ(SqlRows(dedup,
                      "SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles "
                      "ORDER BY tile_column, tile_row"),
              (Rows{{"1", "0", "0", HexBlob(TileBytes(8, 50))},
                    {"1", "0", "1", HexBlob(TileBytes(8, 50))},
                    {"1", "1", "1", HexBlob(TileBytes(8, 50))}}));
}

TEST(GeoPackageFile, WritesTheTablesOfAGeographicSchemeAndReadsThemBack) {
    TempDir dir;
    const std::string path = (dir / "map.gpkg").string();
    auto storage = Geographic(4);
    ASSERT_EQ(storage->CreateTileFile(path.c_str()), 1) << storage->GetTileFileError().Std();
    EXPECT_EQ(storage->GetCacheFormat(), eTileStorage::GeoPackage);
    EXPECT_EQ(storage->GetTileFile().Std(), path + "?table=map");
    EXPECT_EQ(Save(*storage, 0, 0, 1, TileBytes(1, 30)), 1);
    EXPECT_EQ(Save(*storage, 3, 7, 15, TileBytes(2, 30)), 1);
    // Level 0 is 2 x 1 tiles of 180 degrees.
    EXPECT_EQ(Save(*storage, 0, 1, 0, TileBytes(3, 30)), 0);
    EXPECT_EQ(Save(*storage, 0, 0, 2, TileBytes(3, 30)), 0);

    EXPECT_EQ(SqlText(path, "PRAGMA application_id"), "1196444487");  // "GPKG"
    EXPECT_EQ(SqlText(path, "PRAGMA user_version"), "10300");
    EXPECT_EQ(SqlRows(path,
                      "SELECT srs_id, organization, organization_coordsys_id FROM "
                      "gpkg_spatial_ref_sys ORDER BY srs_id"),
              (Rows{{"-1", "NONE", "-1"}, {"0", "NONE", "0"}, {"4326", "EPSG", "4326"}}));
    EXPECT_NE(SqlText(path, "SELECT definition FROM gpkg_spatial_ref_sys WHERE srs_id = 4326")
                  .find("GEOGCS[\"WGS 84\""),
              std::string::npos);
    EXPECT_EQ(SqlRows(path,
                      "SELECT table_name, data_type, identifier, min_x, min_y, max_x, "
                      "max_y, srs_id FROM gpkg_contents"),
              (Rows{{"map", "tiles", "demo", "-10.0", "35.0", "30.0", "60.0", "4326"}}));
    EXPECT_EQ(SqlRows(path, "SELECT * FROM gpkg_tile_matrix_set"),
              (Rows{{"map", "4326", "-180.0", "-90.0", "180.0", "90.0"}}));
    EXPECT_EQ(SqlRows(path, "SELECT * FROM gpkg_tile_matrix ORDER BY zoom_level"),
              (Rows{{"map", "0", "2", "1", "256", "256", "0.703125", "0.703125"},
                    {"map", "1", "4", "2", "256", "256", "0.3515625", "0.3515625"},
                    {"map", "2", "8", "4", "256", "256", "0.17578125", "0.17578125"},
                    {"map", "3", "16", "8", "256", "256", "0.087890625", "0.087890625"}}));
    EXPECT_EQ(SqlRows(path,
                      "SELECT zoom_level, tile_column, tile_row, tile_data FROM map ORDER "
                      "BY zoom_level"),
              (Rows{{"0", "1", "0", HexBlob(TileBytes(1, 30))},
                    {"3", "15", "7", HexBlob(TileBytes(2, 30))}}));

    auto back = Open(path);
    const eTileCoordSys& scheme = back->GetTileCoordSys();
    ASSERT_EQ(scheme.GetLevelCaptions().size(), 4u);
    EXPECT_EQ(back->GetName().Std(), "demo");
    EXPECT_EQ(scheme.GetPrjCoordSys().GetEpsgCode(), 4326);
    EXPECT_EQ(scheme.GetBounds().left, -10.0);
    EXPECT_EQ(scheme.GetBounds().top, 60.0);
    for (int level = 0; level < 4; ++level)
        EXPECT_TRUE(SameTile(scheme, storage->GetTileCoordSys(), level, 1, 3)) << level;
    EXPECT_EQ(Load(*back, 3, 7, 15), TileBytes(2, 30));

    // A second tile table in another system; each opens by name, the first by default.
    auto roads = WebMercator(3);
    ASSERT_EQ(roads->CreateTileFile((path + "?table=roads").c_str()), 1)
        << roads->GetTileFileError().Std();
    EXPECT_EQ(Save(*roads, 2, 3, 1, TileBytes(9, 30)), 1);
    EXPECT_EQ(SqlText(path, "SELECT count(*) FROM gpkg_spatial_ref_sys WHERE srs_id = 3857"), "1");
    EXPECT_EQ(Open(path)->GetTileCoordSys().GetPrjCoordSys().GetEpsgCode(), 4326);
    auto second = Open(path + "?table=roads");
    EXPECT_EQ(second->GetTileCoordSys().GetPrjCoordSys().GetEpsgCode(), 3857);
    EXPECT_EQ(Load(*second, 2, 3, 1), TileBytes(9, 30));
    EXPECT_EQ(second->FromTileFile((path + "?table=rivers").c_str()), 0);
    EXPECT_NE(second->GetTileFileError().Std().find("map, roads"), std::string::npos);
    EXPECT_EQ(roads->CreateTileFile((path + "?table=roads").c_str()), 0);
    EXPECT_EQ(SqlText(path, "SELECT count(*) FROM gpkg_contents"), "2");
}

TEST(GeoPackageFile, ReadsMatricesOtherWritersLeave) {
    TempDir dir;
    const std::string path = (dir / "gaps.gpkg").string();
    ASSERT_EQ(Geographic(5)->CreateTileFile(path.c_str()), 1);
    // Zoom levels 0, 1 and 3 left out: levels 0..4 remain, only 2 and 4 hold tiles.
    ASSERT_EQ(SqlExec(path, "DELETE FROM gpkg_tile_matrix WHERE zoom_level IN (0, 1, 3)"), "");
    auto storage = Open(path);
    const eTileCoordSys& scheme = storage->GetTileCoordSys();
    ASSERT_EQ(scheme.GetLevelCaptions().size(), 5u);
    const auto ideal = Geographic(5)->GetTileCoordSys().GetScales();
    for (int level = 0; level < 5; ++level)  // halving above, geometric between
        EXPECT_NEAR(scheme.GetScale(level) / ideal[size_t(level)], 1.0, 1e-9) << level;
    EXPECT_EQ(scheme.GetTileTopLevel(), 2);
    EXPECT_EQ(Save(*storage, 3, 0, 0, TileBytes(1, 10)), 0);
    EXPECT_EQ(Save(*storage, 2, 3, 7, TileBytes(1, 10)), 1);

    // Matrices this storage cannot describe are refused with their reason.
    struct Case {
        const char* sql;
        const char* reason;
    };
    for (const Case& c :
         {Case{"UPDATE gpkg_tile_matrix SET pixel_y_size = pixel_y_size * 2 "
               "WHERE zoom_level = 4",
               "not square"},
          Case{"UPDATE gpkg_tile_matrix SET pixel_x_size = 1, pixel_y_size = 1", "do not shrink"},
          Case{"DELETE FROM gpkg_tile_matrix", "no zoom level"},
          Case{"DROP TABLE gpkg_tile_matrix_set", "not a GeoPackage"}}) {
        const std::string copy = (dir / "copy.gpkg").string();
        fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
        ASSERT_EQ(SqlExec(copy, c.sql), "") << c.sql;
        eTileStorage other;
        EXPECT_EQ(other.FromTileFile(copy.c_str()), 0) << c.sql;
        EXPECT_NE(other.GetTileFileError().Std().find(c.reason), std::string::npos)
            << c.sql << ": " << other.GetTileFileError().Std();
    }
}

TEST(TileFile, BulkWritesShowOnlyOnceCommittedAndFailuresAreNotSuccess) {
    TempDir dir;
    const std::string path = (dir / "bulk.mbtiles").string();
    auto storage = WebMercator(8);
    ASSERT_EQ(storage->CreateTileFile(path.c_str()), 1);
    storage->BeginBulkWrite();
    for (int col = 0; col < 10; ++col) ASSERT_EQ(Save(*storage, 7, 1, col, TileBytes(col, 100)), 1);
    EXPECT_EQ(storage->IsTileExist(7, 1, 9), 1);  // this storage sees its own batch
    EXPECT_EQ(SqlText(path, "SELECT count(*) FROM tiles"), "0");
    EXPECT_EQ(storage->EndBulkWrite(), 1);
    EXPECT_EQ(SqlText(path, "SELECT count(*) FROM tiles"), "10");
    storage->ReleaseHandles();

    // A file-size limit stops the writes part-way. Each single save that
    // answered 1 is in the file; in bulk, a lost batch shows as a 0 from a
    // save or from EndBulkWrite.
    for (const bool bulk : {false, true}) {
        const std::string name = (dir / (bulk ? "limit-bulk.mbtiles" : "limit.mbtiles")).string();
        ASSERT_EQ(WebMercator(12)->CreateTileFile(name.c_str()), 1);
        const int result = RunInChild([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{400000, 400000};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 64;
            eTileStorage child;
            if (!child.FromTileFile(name.c_str())) return 65;
            if (bulk) child.BeginBulkWrite();
            int saved = 0;
            bool failed = false;
            for (int i = 0; i < 2000 && !failed; ++i) {
                if (Save(child, 11, i / 64, i % 64, TileBytes(i, 2000)))
                    ++saved;
                else
                    failed = true;
            }
            if (bulk && !child.EndBulkWrite()) failed = true;
            child.ReleaseHandles();
            // Exit code: 0 when a failure was reported, else 1; singles add how many saved / 8.
            return !failed ? 1 : (bulk ? 0 : 2 + saved / 8);
        });
        ASSERT_NE(result, 1) << "the writes past the limit were reported as done";
        ASSERT_NE(result, 64);
        ASSERT_NE(result, 65);
        EXPECT_EQ(SqlText(name, "PRAGMA integrity_check"), "ok");
        const int stored = std::stoi(SqlText(name, "SELECT count(*) FROM tiles"));
        if (!bulk) {
            EXPECT_GE(stored / 8, result - 2);
        }
        // Whatever is stored is whole.
        for (const auto& row : SqlRows(name, "SELECT tile_column, length(tile_data) FROM tiles"))
            EXPECT_EQ(row[1], "2000") << row[0];
        if (!bulk) {
            EXPECT_GT(stored, 0);
        }
    }
}

namespace {

// "kind size expected detail" per finding, and the totals.
std::vector<std::string> Findings(const eTileStorage& storage, tagCacheTotals& totals,
                                  int level = -1) {
    std::vector<std::string> found;
    auto check = level < 0 ? eCacheCheck(storage) : eCacheCheck(storage, level);
    tagCacheFinding f;
    while (check.Next(f))
        found.push_back(std::to_string(f.Kind) + " " + std::to_string(f.Size) + " " +
                        std::to_string(f.Expected) + " " + f.Detail.Std());
    totals = check.GetTotals();
    return found;
}

}  // namespace

// The listing gives exactly the tiles a load finds, level by level in the
// order of the table's index; the check counts them and names every row the
// storage never reads, every empty or doubled tile, and damage to the file.
TEST(TileFile, ListingAndCheckSeeWhatLoadsSee) {
    TempDir dir;
    const std::string path = (dir / "l.mbtiles").string();
    ASSERT_EQ(WebMercator(4)->CreateTileFile(path.c_str()), 1);
    ASSERT_EQ(SqlExec(path,
                      "INSERT INTO tiles VALUES (2, 1, 3, x'0102'), (2, 1, 0, x'03'), "
                      "(2, 0, 2, x'040506'), (3, 7, 0, x''), (3, 2, 8, x'07'), (3, 9, 1, x'08'), "
                      "(31, 0, 0, x'09'); DELETE FROM metadata WHERE name = 'format'"),
              "");
    auto storage = Open(path);
    // Zoom 2, column 0 (row 4 - 1 - 2 = 1), then column 1 (rows 3 and 0);
    // zoom 3 keeps its empty tile; rows outside a matrix and zoom 31 are left out.
    EXPECT_EQ(List(*storage), (Listed{{2, 1, 0, 3}, {2, 3, 1, 1}, {2, 0, 1, 2}, {3, 7, 7, 0}}));
    tagCacheTotals totals;
    EXPECT_EQ(Findings(*storage, totals),
              (std::vector<std::string>{
                  "110 2 3 ",   // zoom 3: two rows outside its 8 x 8 matrix
                  "110 1 31 ",  // zoom 31: no level
                  "19 1 -1 ",   // the empty tile
                  "111 -1 -1 metadata has no \"format\" (MBTiles requires it)",
                  "111 -1 -1 tiles lie outside the metadata's zoom range minzoom-maxzoom"}));
    EXPECT_EQ(totals.Tiles, 4);
    EXPECT_EQ(totals.Bytes, 6);
    EXPECT_EQ(totals.Damage, 1);
    EXPECT_EQ(Findings(*storage, totals, 2), std::vector<std::string>{});
    EXPECT_EQ(totals.Tiles, 3);

    // Without the unique index, an address stored twice is damage.
    ASSERT_EQ(SqlExec(path, "DROP INDEX tile_index; INSERT INTO tiles VALUES (2, 1, 3, x'ff')"),
              "");
    storage = Open(path);
    const auto found = Findings(*storage, totals);
    EXPECT_NE(std::find(found.begin(), found.end(), "20 1 -1 "), found.end());

    // A page of the file overwritten: SQLite's own check names the damage.
    storage.reset();
    {
        Bytes bytes = ReadFile(path);
        ASSERT_GE(bytes.size(), 4u * 4096);
        std::fill(bytes.begin() + 2 * 4096 + 8, bytes.begin() + 3 * 4096, 0x5A);
        WriteFile(path, bytes);
    }
    eTileStorage damaged;
    ASSERT_EQ(damaged.FromTileFile(path.c_str()), 1) << damaged.GetTileFileError().Std();
    const auto damage = Findings(damaged, totals);
    ASSERT_FALSE(damage.empty());
    EXPECT_EQ(damage[0].substr(0, 3), "18 ") << damage[0];
}

namespace {

// The lines of gdalinfo that describe the raster GDAL sees in a file: its
// size, place, coordinate system code and the first band's checksums (GDAL
// reads its own GeoPackage as one grey band, another writer's as RGBA).
std::vector<std::string> RasterLines(const std::string& info) {
    std::vector<std::string> lines;
    std::istringstream in(info);
    for (std::string line; std::getline(in, line) && line.find("Band 2") == std::string::npos;) {
        if (line.find("mask") != std::string::npos) continue;  // the RGBA reading's alpha
        for (const char* key : {"Size is", "Overviews", "Checksum=", "ID[\"EPSG\",3857]]",
                                "ID[\"EPSG\",4326]]", "Origin =", "Pixel Size"}) {
            if (line.find(key) != std::string::npos) lines.push_back(line);
        }
    }
    return lines;
}

// A grid of 300 x 200 byte values as an Arc/Info ASCII grid.
void WriteGrid(const fs::path& path, double x, double y, double cell) {
    std::ostringstream text;
    text.precision(17);
    text << "ncols 300\nnrows 200\nxllcorner " << x << "\nyllcorner " << y << "\ncellsize " << cell
         << "\n";
    for (int r = 0; r < 200; ++r) {
        for (int c = 0; c < 300; ++c) text << (r * 7 + c * 3) % 251 << (c < 299 ? " " : "\n");
    }
    WriteText(path, text.str());
}

}  // namespace

// GDAL writes an MBTiles file (Web Mercator, aligned on zoom 9) and a
// GeoPackage (geographic, GDAL's own tiling) with overviews. The storage reads
// every tile byte for byte, writes a file of its own from the scheme it read
// and those tiles, and GDAL sees the same raster in it: size, overviews,
// coordinate system and every band's checksum.
TEST(TileFileGdal, EachSideReadsWhatTheOtherWrites) {
    if (!HaveProgram("gdal_translate")) GTEST_SKIP() << "gdal_translate not installed";
    TempDir dir;
    WriteGrid(dir / "m.asc", 0, 0, 156543.03392804097 / 512);  // zoom 9's pixel
    WriteGrid(dir / "g.asc", 5, 40, 0.05);
    struct Case {
        const char *grid, *srs, *driver, *ext;
    };
    for (const Case& c : {Case{"m.asc", "EPSG:3857", "MBTiles", "mbtiles"},
                          Case{"g.asc", "EPSG:4326", "GPKG", "gpkg"}}) {
        const std::string gdal = (dir / (std::string("gdal.") + c.ext)).string();
        const std::string ours = (dir / (std::string("tvk.") + c.ext)).string();
        const tagProgramRun made = RunProgram(
            {"sh", "-c",
             std::string("gdal_translate -q -ot Byte -a_srs ") + c.srs + " -of " + c.driver + " '" +
                 (dir / c.grid).string() + "' '" + gdal + "' && gdaladdo -q '" + gdal + "' 2 4"});
        ASSERT_TRUE(fs::exists(gdal)) << made.Output;

        auto source = Open(gdal);
        const bool mbtiles = std::string(c.ext) == "mbtiles";
        const std::string table = mbtiles ? "tiles" : "gdal";
        eTileStorage copy;
        copy.GetTileCoordSys() = source->GetTileCoordSys();
        copy.SetName(source->GetName());
        copy.SetTileType(source->GetTileType());
        ASSERT_EQ(copy.CreateTileFile(ours.c_str()), 1) << copy.GetTileFileError().Std();
        const Rows tiles = SqlRows(gdal, "SELECT zoom_level, tile_column, tile_row FROM " + table);
        ASSERT_GE(tiles.size(), 3u) << c.driver;
        for (const auto& t : tiles) {
            const int level = std::stoi(t[0]), col = std::stoi(t[1]);
            const int row = mbtiles ? (1 << level) - 1 - std::stoi(t[2]) : std::stoi(t[2]);
            const Bytes bytes =
                SqlBlob(gdal, "SELECT tile_data FROM " + table + " WHERE zoom_level = " + t[0] +
                                  " AND tile_column = " + t[1] + " AND tile_row = " + t[2]);
            ASSERT_EQ(Load(*source, level, row, col), bytes) << c.driver << " " << level;
            ASSERT_EQ(Save(copy, level, row, col, bytes), 1) << c.driver << " " << level;
        }
        copy.ReleaseHandles();
        const auto expected = RasterLines(RunProgram({"gdalinfo", "-checksum", gdal}).Output);
        EXPECT_GE(expected.size(), 5u) << c.driver;
        EXPECT_EQ(RasterLines(RunProgram({"gdalinfo", "-checksum", ours}).Output), expected)
            << c.driver;
    }
}
