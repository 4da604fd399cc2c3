// The seeder: which tiles an area holds (against clipped areas computed
// here), the URLs its sources give (templates, WMTS capabilities, ArcGIS
// service descriptions served on loopback), and whole runs against a server
// that misbehaves, with real worker threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "eTileSeeder.h"
#include "eTileServerManager.h"
#include "support/http_test_server.h"
#include "support/seed_support.h"
#include "support/test_files.h"

using namespace TVK;
using namespace tvktest;

namespace {

// A point given in fractions of the world, from the top-left corner.
ePoint2D At(double fx, double fy) {
    return ePoint2D(-kWorld / 2 + fx * kWorld, kWorld / 2 - fy * kWorld);
}

eTileSeeder::tagRing Ring(std::initializer_list<std::pair<double, double>> points) {
    eTileSeeder::tagRing ring;
    for (const auto& p : points) ring.push_back(At(p.first, p.second));
    return ring;
}

}  // namespace

// Polygons with a hole, a concave outline, edges on tile boundaries and an
// overlapping second polygon: the tiles chosen are those whose shared area
// with some polygon is above zero.
TEST(SeederArea, PolygonTilesMatchClippedAreasAndOtherAreasCountRight) {
    TempDir dir;
    auto storage = WebMercatorStorage(dir.Str(), eTileStorage::Compact, 9);
    const std::vector<eTileSeeder::tagPolygon> polygons = {
        {Ring({{0.10, 0.10}, {0.60, 0.12}, {0.55, 0.50}, {0.30, 0.35}, {0.12, 0.62}}),
         Ring({{0.25, 0.20}, {0.45, 0.20}, {0.40, 0.30}})},
        // Edges on the tile boundaries of levels 3 and up.
        {Ring({{0.75, 0.625}, {0.875, 0.625}, {0.75, 0.875}})},
        {Ring({{0.6875, 0.0625}, {0.8125, 0.0625}, {0.8125, 0.125}, {0.6875, 0.125}})},
        // Overlaps the first one: the overlap stays in.
        {Ring({{0.5, 0.4}, {0.7, 0.4}, {0.7, 0.6}, {0.5, 0.6}})},
    };
    eTileSeeder seeder(*storage);
    seeder.SetArea(polygons);
    for (int level = 0; level <= 7; ++level) {
        std::set<std::pair<int, int>> expected, got;
        const int n = 1 << level;
        for (int row = 0; row < n; ++row) {
            for (int col = 0; col < n; ++col) {
                const eRect2D tile =
                    storage->GetTileCoordSys().ComputeTileWorldBounds(level, row, col);
                const double floor = 1e-9 * tile.Width() * tile.Height();
                for (const auto& p : polygons)
                    if (SharedArea(p, tile) > floor) expected.insert({row, col});
            }
        }
        std::pair<int, int> previous(-1, -1);
        bool ordered = true;
        seeder.ForEachTile(level, [&](int row, int col) {
            ordered &= std::make_pair(row, col) > previous;
            previous = {row, col};
            got.insert({row, col});
            return true;
        });
        EXPECT_TRUE(ordered) << level;
        EXPECT_EQ(got, expected) << "level " << level;
        EXPECT_EQ(seeder.CountTiles(level), static_cast<int64_t>(expected.size())) << level;
        if (level == 7) {
            EXPECT_GT(expected.size(), 2000u);  // the test means something
        }
    }

    // A hole of level 7's tiles: the middle of the hole is not chosen.
    int row = 0, col = 0;
    storage->GetTileCoordSys().ComputeTilePosition(7, At(0.36, 0.23), row, col);
    bool inHole = false;
    seeder.ForEachTile(7, [&](int r, int c) { return !(inHole = r == row && c == col); });
    EXPECT_FALSE(inHole);

    // The whole grid, a box, a list (repeats once, other levels left out).
    seeder.SetWholeGrid();
    EXPECT_EQ(seeder.CountTiles(5), 1024);
    seeder.SetArea(eRect2D(At(0.25, 0.25).x, At(0.25, 0.25).y, At(0.5, 0.5).x, At(0.5, 0.5).y));
    EXPECT_EQ(seeder.CountTiles(3), 4);  // exactly on boundaries: rows and columns 2-3
    seeder.SetTiles({{3, 1, 1}, {3, 1, 2}, {3, 1, 1}, {4, 0, 0}, {3, 0, 7}});
    std::vector<std::pair<int, int>> listed;
    seeder.ForEachTile(3, [&](int r, int c) {
        listed.push_back({r, c});
        return true;
    });
    EXPECT_EQ(listed, (std::vector<std::pair<int, int>>{{0, 7}, {1, 1}, {1, 2}}));
    EXPECT_EQ(seeder.CountTiles(4), 1);
}

TEST(SeederSource, TemplatesFillEveryPlaceholderAndRefuseBadOnes) {
    TempDir dir;
    auto storage = WebMercatorStorage(dir.Str(), eTileStorage::Compact, 6);
    eTileSeeder seeder(*storage);
    eTileSeeder::tagOptions options;
    options.Subdomains = {"a", "b", "c"};
    seeder.SetOptions(options);
    // Level 3, row 2, column 5: 8 rows, so TMS row 5; quadkey 121.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"http://h/{z}/{x}/{y}.png", "http://h/3/5/2.png"},
        {"http://h/{z}/{x}/{-y}.png", "http://h/3/5/5.png"},
        {"http://h/q/{q}.jpg?k=1", "http://h/q/121.jpg?k=1"},
        {"http://{s}.h/{level}/{row}/{col}", "http://b.h/3/2/5"},
        {"http://h/{TileMatrix}/{TileRow}/{TileCol}", "http://h/3/2/5"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(seeder.SetSource(c.first)) << c.first << ": " << seeder.GetLastError().Std();
        EXPECT_EQ(seeder.GetTileURL(3, 2, 5).Std(), c.second);
    }
    ASSERT_TRUE(seeder.SetSource("http://h/{q}.png"));
    EXPECT_EQ(seeder.GetTileURL(0, 0, 0).Std(), "http://h/.png");
    for (const auto& bad :
         std::vector<std::pair<std::string, std::string>>{{"http://h/{z}/{t}/{y}.png", "{t}"},
                                                          {"http://h/{z}/{x}.png", "{y}"},
                                                          {"http://h/{z}/{x}/{y", "'}'"}}) {
        EXPECT_FALSE(seeder.SetSource(bad.first, eTileSeeder::SourceTemplate)) << bad.first;
        EXPECT_NE(seeder.GetLastError().Std().find(bad.second), std::string::npos)
            << seeder.GetLastError().Std();
        EXPECT_EQ(seeder.GetTileURL(3, 2, 5).Std(), "");
    }
    seeder.SetOptions(eTileSeeder::tagOptions());
    EXPECT_FALSE(seeder.SetSource("http://{s}.h/{z}/{x}/{y}.png"));
}

namespace {

// Capabilities of a Web Mercator matrix set whose corner lies one tile left
// of and above the cache's at every level, and of a geographic one.
std::string Capabilities(bool restful, const std::string& host) {
    std::string matrices;
    for (int z = 0; z <= 4; ++z) {
        const double side = kWorld / (1 << z);
        char m[600];
        std::snprintf(m, sizeof(m),
                      "<TileMatrix><ows:Identifier>m%d</ows:Identifier>"
                      "<ScaleDenominator>%.10f</ScaleDenominator>"
                      "<TopLeftCorner>%.6f %.6f</TopLeftCorner><TileWidth>256</TileWidth>"
                      "<TileHeight>256</TileHeight><MatrixWidth>%d</MatrixWidth>"
                      "<MatrixHeight>%d</MatrixHeight></TileMatrix>",
                      z, side / 256 / 0.00028, -kWorld / 2 - side, kWorld / 2 + side, (1 << z) + 1,
                      (1 << z) + 1);
        matrices += m;
    }
    const std::string rest =
        restful ? "<ResourceURL format='image/png' resourceType='tile' template='" + host +
                      "/w/{TileMatrixSet}/{TileMatrix}/{TileRow}/"
                      "{TileCol}.png?s={Style}&amp;t={Time}'/>"
                : "";
    const std::string kvp =
        restful ? ""
                : "<ows:OperationsMetadata><ows:Operation name='GetTile'><ows:DCP><ows:HTTP>"
                  "<ows:Get xlink:href='" +
                      host +
                      "/kvp?'><ows:Constraint name='GetEncoding'>"
                      "<ows:AllowedValues><ows:Value>KVP</ows:Value></ows:AllowedValues>"
                      "</ows:Constraint></ows:Get></ows:HTTP></ows:DCP></ows:Operation>"
                      "</ows:OperationsMetadata>";
    return "<?xml version='1.0'?><Capabilities xmlns='http://www.opengis.net/wmts/1.0' "
           "xmlns:ows='http://www.opengis.net/ows/1.1' "
           "xmlns:xlink='http://www.w3.org/1999/xlink'>" +
           kvp +
           "<Contents><Layer><ows:Identifier>roads</ows:Identifier>"
           "<Style><ows:Identifier>plain</ows:Identifier></Style>"
           "<Style isDefault='true'><ows:Identifier>main</ows:Identifier></Style>"
           "<Format>image/jpeg</Format><Format>image/png</Format>"
           "<Dimension><ows:Identifier>Time</ows:Identifier><Default>2020</Default></Dimension>"
           "<TileMatrixSetLink><TileMatrixSet>WGS84</TileMatrixSet></TileMatrixSetLink>"
           "<TileMatrixSetLink><TileMatrixSet>Shifted</TileMatrixSet><TileMatrixSetLimits>"
           "<TileMatrixLimits><TileMatrix>m2</TileMatrix><MinTileRow>0</MinTileRow>"
           "<MaxTileRow>4</MaxTileRow><MinTileCol>1</MinTileCol><MaxTileCol>3</MaxTileCol>"
           "</TileMatrixLimits></TileMatrixSetLimits></TileMatrixSetLink>" +
           rest +
           "</Layer><Layer><ows:Identifier>other</ows:Identifier><Format>image/png</Format>"
           "<TileMatrixSetLink><TileMatrixSet>Shifted</TileMatrixSet></TileMatrixSetLink></Layer>"
           "<TileMatrixSet><ows:Identifier>WGS84</ows:Identifier>"
           "<ows:SupportedCRS>urn:ogc:def:crs:EPSG::4326</ows:SupportedCRS></TileMatrixSet>"
           "<TileMatrixSet><ows:Identifier>Shifted</ows:Identifier>"
           "<ows:SupportedCRS>urn:ogc:def:crs:EPSG::3857</ows:SupportedCRS>" +
           matrices + "</TileMatrixSet></Contents></Capabilities>";
}

}  // namespace

TEST(SeederSource, WMTSCapabilitiesChooseLayerStyleFormatAndMatrixSetOnTheCachesGrid) {
    TempDir dir;
    auto storage = WebMercatorStorage(dir.Str(), eTileStorage::Compact, 5);
    std::string host;
    eHttpTestServer server([&](const tagHttpRequest& r) {
        tagHttpReply reply;
        reply.ContentType = "text/xml";
        reply.Body = Capabilities(r.Target.find("kvp") == std::string::npos, host);
        return reply;
    });
    host = server.Url();
    eTileSeeder seeder(*storage);
    const std::string caps = host + "/wmts/WMTSCapabilities.xml";
    EXPECT_FALSE(seeder.SetSource(caps));
    EXPECT_NE(seeder.GetLastError().Std().find("roads, other"), std::string::npos);

    eTileSeeder::tagOptions options;
    options.Layer = "roads";
    options.MatrixSet = "WGS84";
    seeder.SetOptions(options);
    EXPECT_FALSE(seeder.SetSource(caps));
    EXPECT_NE(seeder.GetLastError().Std().find("EPSG:4326"), std::string::npos)
        << seeder.GetLastError().Std();

    options.MatrixSet = "";
    seeder.SetOptions(options);
    ASSERT_TRUE(seeder.SetSource(caps)) << seeder.GetLastError().Std();
    EXPECT_NE(seeder.GetSourceDescription().Std().find("'Shifted'"), std::string::npos);
    // One tile right and down in the service's numbering; level 2 limited
    // to its columns 1-3.
    EXPECT_EQ(seeder.GetTileURL(3, 2, 5).Std(), host + "/w/Shifted/m3/3/6.png?s=main&t=2020");
    EXPECT_EQ(seeder.GetTileURL(2, 1, 2).Std(), host + "/w/Shifted/m2/2/3.png?s=main&t=2020");
    EXPECT_EQ(seeder.GetTileURL(2, 1, 3).Std(), "");

    ASSERT_TRUE(seeder.SetSource(host + "/kvp/WMTSCapabilities.xml", eTileSeeder::SourceWMTS))
        << seeder.GetLastError().Std();
    EXPECT_EQ(seeder.GetTileURL(2, 1, 2).Std(),
              host +
                  "/kvp?SERVICE=WMTS&REQUEST=GetTile&VERSION=1.0.0&LAYER=roads&STYLE=main"
                  "&FORMAT=image%2Fpng&TILEMATRIXSET=Shifted&TILEMATRIX=m2&TILEROW=2&TILECOL=3"
                  "&Time=2020");

    // A JPEG cache takes the JPEG format; there is no JPEG template, so no URL.
    storage->SetTileType(eFileType::JPG);
    EXPECT_FALSE(seeder.SetSource(caps));
    EXPECT_NE(seeder.GetLastError().Std().find("no tile URL for image/jpeg"), std::string::npos)
        << seeder.GetLastError().Std();
}

TEST(SeederSource, ArcGISServiceSchemeIsCheckedAgainstTheCache) {
    TempDir dir;
    auto storage = WebMercatorStorage(dir.Str(), eTileStorage::Compact, 6);
    const auto describe = [](int tile, double originShift, const std::string& format) {
        std::string lods;
        for (int z = 0; z < 8; ++z)
            lods += (z ? "," : "") + std::string("{\"level\":") + std::to_string(z) +
                    ",\"resolution\":" + std::to_string(kWorld / 256 / (1 << z)) + "}";
        return "{\"singleFusedMapCache\":true,\"tileInfo\":{\"rows\":" + std::to_string(tile) +
               ",\"cols\":" + std::to_string(tile) + ",\"dpi\":96,\"format\":\"" + format +
               "\",\"origin\":{\"x\":" + std::to_string(-20037508.342787 + originShift) +
               ",\"y\":20037508.342787},\"spatialReference\":{\"wkid\":102100,"
               "\"latestWkid\":3857},\"lods\":[" +
               lods + "]}}";
    };
    std::mutex mutex;
    std::string answer;
    eHttpTestServer server([&](const tagHttpRequest&) {
        std::lock_guard<std::mutex> lock(mutex);
        tagHttpReply reply;
        reply.ContentType = "application/json";
        reply.Body = answer;
        return reply;
    });
    const std::string url = server.Url() + "/arcgis/rest/services/Roads/MapServer";
    const auto answerWith = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        answer = text;
    };
    eTileSeeder seeder(*storage);
    answerWith(describe(256, 0.0, "PNG32"));
    ASSERT_TRUE(seeder.SetSource(url + "/?token=abc")) << seeder.GetLastError().Std();
    EXPECT_EQ(seeder.GetTileURL(4, 3, 9).Std(), url + "/tile/4/3/9?token=abc");
    EXPECT_EQ(server.Log().back().Target, "/arcgis/rest/services/Roads/MapServer?f=json&token=abc");

    for (const auto& bad : std::vector<std::pair<std::string, std::string>>{
             {describe(512, 0.0, "PNG"), "512"},
             {describe(256, 300000.0, "PNG"), "line up"},
             {describe(256, 0.0, "JPEG"), "JPEG"},
             {"{\"error\":{\"code\":499,\"message\":\"Token Required\"}}", "Token Required"},
             {"{\"singleFusedMapCache\":false}", "not cached"},
             {"<html>", "not JSON"}}) {
        answerWith(bad.first);
        EXPECT_FALSE(seeder.SetSource(url));
        EXPECT_NE(seeder.GetLastError().Std().find(bad.second), std::string::npos)
            << seeder.GetLastError().Std();
    }
}

// Eight workers against a server that fails in every way: each good tile is
// stored once with its own bytes, nothing else is stored, retries stop at
// the limit, a Retry-After is waited out, and a second run fetches only what
// is missing.
TEST(SeederConcurrency, FaultyServerEveryGoodTileStoredOnceNothingBadStored) {
    TempDir dir;
    auto storage = WebMercatorStorage(dir.Str(), eTileStorage::Compact, 5);
    eFaultyTiles tiles;
    eHttpTestServer server([&](const tagHttpRequest& r) { return tiles.Answer(r); });
    eTileSeeder seeder(*storage);
    eTileSeeder::tagOptions options;
    options.Concurrency = 8;
    options.Retries = 2;
    options.RetryDelay = 0.01;
    options.Timeout = 1;
    seeder.SetOptions(options);
    ASSERT_TRUE(seeder.SetSource(server.Url() + "/t/{z}/{x}/{y}.png"));
    seeder.SetLevels(0, 4);
    std::map<std::string, int> reasons;
    int progressCalls = 0;
    EXPECT_EQ(
        seeder.Run([&](const eTileSeeder::tagCounts&) { return ++progressCalls > 0; },
                   [&](const eTileSeeder::tagTile&, const eString& why) { ++reasons[why.Std()]; }),
        0);

    int64_t good = 0, missing = 0, failing = 0, jpeg = 0;
    for (int z = 0; z <= 4; ++z) {
        for (int row = 0; row < (1 << z); ++row) {
            for (int col = 0; col < (1 << z); ++col) {
                const EmFault f = FaultOf(z, row, col);
                eByteArray data;
                const bool stored = storage->LoadImageData(z, row, col, data) != 0;
                if (f == EmFault::Missing || f == EmFault::Always500 || f == EmFault::Jpeg) {
                    EXPECT_FALSE(stored) << z << "/" << row << "/" << col;
                    missing += f == EmFault::Missing;
                    failing += f == EmFault::Always500;
                    jpeg += f == EmFault::Jpeg;
                } else {
                    ++good;
                    ASSERT_TRUE(stored) << z << "/" << row << "/" << col;
                    EXPECT_EQ(
                        std::string(reinterpret_cast<const char*>(data.GetData()), data.GetSize()),
                        PngTile(z, row, col));
                }
            }
        }
    }
    const eTileSeeder::tagCounts c = seeder.GetCounts();
    EXPECT_EQ(c.Total, 341);
    EXPECT_TRUE(c.Stored == good && c.Empty == missing && c.Failed == failing + jpeg &&
                c.Skipped == 0)
        << c.Stored << " " << c.Empty << " " << c.Failed;
    EXPECT_TRUE(failing > 0 && jpeg > 0);
    EXPECT_EQ(reasons["HTTP 500"], failing);
    EXPECT_EQ(reasons["JPEG image where PNG is expected"], jpeg);
    EXPECT_GT(progressCalls, 0);

    // Requests per tile: one for good and missing tiles, two after a fault
    // that happens once, three (1 + Retries) for tiles that always fail; a
    // JPEG is not asked again. A 429's tile comes back after its second.
    const std::vector<tagHttpLogEntry> log = server.Log();
    // libcurl itself sends a request again once when a reused connection
    // turns out closed, so the server may count more than the seeder.
    EXPECT_GE(static_cast<int64_t>(log.size()), c.Requests);
    std::map<std::string, std::vector<std::chrono::steady_clock::time_point>> byTile;
    for (const tagHttpLogEntry& e : log) byTile[e.Target].push_back(e.When);
    int busy = 0;
    for (const auto& t : byTile) {
        int z = 0, row = 0, col = 0;
        ASSERT_TRUE(ParseTileTarget(t.first, z, row, col));
        const EmFault f = FaultOf(z, row, col);
        const size_t want = f == EmFault::Always500                                             ? 3
                            : f == EmFault::None || f == EmFault::Missing || f == EmFault::Jpeg ? 1
                                                                                                : 2;
        EXPECT_EQ(t.second.size(), want) << t.first;
        if (f == EmFault::Busy429Once && t.second.size() == 2) {
            ++busy;
            EXPECT_GE(t.second[1] - t.second[0], std::chrono::milliseconds(990)) << t.first;
        }
    }
    EXPECT_GT(busy, 0);
    EXPECT_EQ(byTile.size(), 341u);
    EXPECT_EQ(c.Retries, c.Requests - 341);

    // Healed: the second run asks only for what is not stored.
    tiles.Healed = true;
    const size_t before = server.RequestCount();
    EXPECT_EQ(seeder.Run(), 1);
    EXPECT_EQ(seeder.GetCounts().Stored, missing + failing + jpeg);
    EXPECT_EQ(seeder.GetCounts().Skipped, good);
    EXPECT_EQ(server.RequestCount() - before, static_cast<size_t>(missing + failing + jpeg));
}

// Cancel from another thread mid-run: Run returns soon with the run marked
// cancelled, and the same run again completes the cache. The requests run on
// a service the caller owns.
TEST(SeederConcurrency, CancelledRunResumesToACompleteCache) {
    TempDir dir;
    auto storage = WebMercatorStorage(dir.Str(), eTileStorage::Original, 6);
    eFaultyTiles tiles;
    tiles.Healed = true;
    tiles.DelayMs = 5;
    eHttpTestServer server([&](const tagHttpRequest& r) { return tiles.Answer(r); });
    eTileServerManager service;
    service.SetWorkThreadSize(3);
    eTileSeeder seeder(*storage);
    eTileSeeder::tagOptions options;
    options.Concurrency = 4;
    options.Service = &service;
    seeder.SetOptions(options);
    ASSERT_TRUE(seeder.SetSource(server.Url() + "/t/{z}/{x}/{y}.png"));
    seeder.SetLevels(5, 5);
    std::thread canceller([&] {
        while (server.RequestCount() < 100)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        seeder.Cancel();
    });
    EXPECT_EQ(seeder.Run(), 0);
    canceller.join();
    const eTileSeeder::tagCounts first = seeder.GetCounts();
    EXPECT_TRUE(first.Cancelled);
    EXPECT_GE(first.Stored, 90);
    EXPECT_LT(first.Stored, 1024);
    EXPECT_EQ(seeder.Run(), 1);
    EXPECT_EQ(seeder.GetCounts().Skipped, first.Stored);
    EXPECT_EQ(seeder.GetCounts().Stored, 1024 - first.Stored);
    for (int row = 0; row < 32; ++row)
        for (int col = 0; col < 32; ++col) ASSERT_TRUE(storage->IsTileExist(5, row, col));
    EXPECT_EQ(service.GetWorkThreadCount(), 3);
}
