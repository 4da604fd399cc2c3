// The tool's subcommands driven as a user would: exit codes, what lands on
// standard output, and what the cache holds afterwards (checked with plain
// file reads or through the library, never through the tool alone).
#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <set>

#include <tvk.h>

#include "cli_runner.h"

using namespace clitest;
namespace fs = std::filesystem;

namespace {

constexpr double kWorld = 40075016.68557849;  // Web Mercator full width, metres

// Bytes in little-endian order.
std::string LE(uint64_t value, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
    return out;
}

// An ArcGIS compact cache written from the format's facts: the configuration
// (as "Conf.xml", as caches from Windows name it), its extent file, and one
// bundle pair of level 2 in ArcGIS's structure holding two tiles.
void WriteArcGISCache(const std::string& dir) {
    const std::string wkt =
        "PROJCS[\"WGS_1984_Web_Mercator_Auxiliary_Sphere\",GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\","
        "SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\","
        "0.0174532925199433]],PROJECTION[\"Mercator_Auxiliary_Sphere\"],PARAMETER[\"False_Easting\",0.0],"
        "PARAMETER[\"False_Northing\",0.0],PARAMETER[\"Central_Meridian\",0.0],PARAMETER[\"Standard_Parallel_1\","
        "0.0],PARAMETER[\"Auxiliary_Sphere_Type\",0.0],UNIT[\"Meter\",1.0]]";
    std::string lods;
    for (int level = 0; level < 3; ++level) {
        const double res = kWorld / 256 / std::pow(2.0, level);
        lods += "<LODInfo xsi:type='typens:LODInfo'><LevelID>" + std::to_string(level) + "</LevelID><Scale>" +
                std::to_string(res * 96 / 0.0254) + "</Scale><Resolution>" + std::to_string(res) +
                "</Resolution></LODInfo>";
    }
    const std::string ns =
        " xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' xmlns:typens='http://www.esri.com/schemas/ArcGIS/10.1'";
    WriteFile(dir + "/Conf.xml",
              "<?xml version=\"1.0\" encoding=\"utf-8\"?><CacheInfo xsi:type='typens:CacheInfo'" + ns +
                  "><TileCacheInfo xsi:type='typens:TileCacheInfo'><SpatialReference "
                  "xsi:type='typens:ProjectedCoordinateSystem'><WKT>" + wkt +
                  "</WKT><WKID>102100</WKID><LatestWKID>3857</LatestWKID></SpatialReference><TileOrigin "
                  "xsi:type='typens:PointN'><X>-20037508.342787001</X><Y>20037508.342787001</Y></TileOrigin>"
                  "<TileCols>256</TileCols><TileRows>256</TileRows><DPI>96</DPI><LODInfos "
                  "xsi:type='typens:ArrayOfLODInfo'>" + lods +
                  "</LODInfos></TileCacheInfo><TileImageInfo xsi:type='typens:TileImageInfo'><CacheTileFormat>PNG"
                  "</CacheTileFormat></TileImageInfo><CacheStorageInfo xsi:type='typens:CacheStorageInfo'>"
                  "<StorageFormat>esriMapCacheStorageModeCompact</StorageFormat><PacketSize>128</PacketSize>"
                  "</CacheStorageInfo></CacheInfo>");
    WriteFile(dir + "/conf.cdi", "<?xml version=\"1.0\" encoding=\"utf-8\"?><EnvelopeN xsi:type='typens:EnvelopeN'" +
                                     ns + "><XMin>-20037508.342787</XMin><YMin>-20037508.342787</YMin><XMax>"
                                          "20037508.342787</XMax><YMax>20037508.342787</YMax></EnvelopeN>");

    // Index: ArcGIS header, empty slots pointing at their zero-length record
    // (60 + 4 * slot), trailer. Data: 60-byte header, 16,384 zero lengths,
    // then the records. Slot = (col % 128) * 128 + row % 128.
    const int slotA = 2 * 128 + 1;  // row 1, column 2
    const int slotB = 0 * 128 + 3;  // row 3, column 0
    const std::string tileA = "tile-A-bytes";  // 12 bytes
    const std::string tileB = "tile-B!";       // 7 bytes
    const uint64_t offsetA = 65596, offsetB = offsetA + 4 + tileA.size();
    std::string index = std::string("\x03\0\0\0\x10\0\0\0\0\x40\0\0\x05\0\0\0", 16);
    for (int slot = 0; slot < 16384; ++slot) {
        const uint64_t offset = slot == slotA ? offsetA : slot == slotB ? offsetB : 60 + 4 * slot;
        index += LE(offset, 5);
    }
    index += std::string("\0\0\0\0\x10\0\0\0\x10\0\0\0\0\0\0\0", 16);
    std::string data(60, '\0');
    data += std::string(4 * 16384, '\0');
    data += LE(tileA.size(), 4) + tileA + LE(tileB.size(), 4) + tileB;
    fs::create_directories(dir + "/_alllayers/L02");
    WriteFile(dir + "/_alllayers/L02/R0000C0000.bundlx", index);
    WriteFile(dir + "/_alllayers/L02/R0000C0000.bundle", data);
}

}  // namespace

// ---- usage errors (exit 2), help (exit 0) ----

TEST_F(CliTest, HelpOnEverySubcommandAndUsageErrorsExitTwo) {
    for (const char* sub : {"info", "create", "get", "put", "rm", "tiles", "ls", "copy", "verify", "coverage"}) {
        const tagRun help = RunTvk({sub, "--help"});
        EXPECT_EQ(help.Code, 0) << sub;
        EXPECT_NE(help.Out.find("Usage"), std::string::npos) << sub;
        const tagRun bare = RunTvk({sub});  // required arguments missing
        EXPECT_EQ(bare.Code, 2) << sub;
        EXPECT_FALSE(bare.Err.empty()) << sub;
    }
    EXPECT_EQ(RunTvk({}).Code, 2);
    EXPECT_EQ(RunTvk({"frobnicate"}).Code, 2);
    EXPECT_EQ(RunTvk({"get", Path("c"), "x", "0", "0"}).Code, 2);  // LEVEL not a number
    // The demo helper works but stays out of the help.
    EXPECT_EQ(RunTvk({"--help"}).Out.find("demo-fill"), std::string::npos);

    ASSERT_EQ(RunTvk({"create", Path("c"), "--crs", "EPSG:3857", "--levels", "0-3"}).Code, 0);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"create", Path("d"), "--crs", "EPSG:3857", "--levels", "3-1"},
             {"create", Path("d"), "--crs", "EPSG:999999", "--levels", "0-3"},
             {"create", Path("d"), "--crs", "EPSG:3857", "--layout", "zip"},
             {"create", Path("d"), "--crs", "EPSG:32633"},  // no known extent and no --bounds
             {"tiles", Path("c"), "1", "--bbox", "1,2,3"},
             {"tiles", Path("c"), "1", "--bbox", "5,0,1,1"},  // MINX > MAXX
             {"copy", Path("c"), Path("c")},
             {"copy", Path("c"), Path("c"), "--levels", "a-b"},
         }) {
        const tagRun run = RunTvk(args);
        EXPECT_EQ(run.Code, 2) << args[0] << " " << args.back() << ": " << run.Err;
        EXPECT_FALSE(run.Err.empty());
    }
    EXPECT_FALSE(fs::exists(Path("d/tilecache.xml")));
}

// ---- not found (exit 1), with the file and the reason on stderr ----

TEST_F(CliTest, MissingCachesTilesAndLevelsExitOneNamingTheFile) {
    const std::string missing = Path("nowhere");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"info", missing}, {"ls", missing}, {"verify", missing}, {"get", missing, "0", "0", "0"},
             {"rm", missing, "0", "0", "0"}, {"coverage", missing, "0", "-o", Path("x.png")},
             {"tiles", missing, "0", "--bbox", "0,0,1,1"}, {"copy", missing, missing + "2"}}) {
        const tagRun run = RunTvk(args);
        EXPECT_EQ(run.Code, 1) << args[0];
        EXPECT_NE(run.Err.find(missing), std::string::npos) << args[0] << ": " << run.Err;
    }
    fs::create_directories(Path("empty"));
    tagRun run = RunTvk({"info", Path("empty")});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("neither tilecache.xml nor conf.xml"), std::string::npos);
    WriteFile(Path("broken.xml"), "<CacheInfo><TileCacheInfo>");
    run = RunTvk({"info", Path("broken.xml")});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("broken.xml"), std::string::npos);

    ASSERT_EQ(RunTvk({"create", Path("c"), "--crs", "EPSG:3857", "--levels", "0-3"}).Code, 0);
    EXPECT_EQ(RunTvk({"create", Path("c"), "--crs", "EPSG:3857"}).Code, 1);  // never overwrites a cache
    EXPECT_EQ(RunTvk({"get", Path("c"), "2", "1", "1"}).Code, 1);
    EXPECT_EQ(RunTvk({"rm", Path("c"), "2", "1", "1"}).Code, 1);
    run = RunTvk({"get", Path("c"), "9", "0", "0"});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("no level 9"), std::string::npos);
    EXPECT_EQ(RunTvk({"ls", Path("c"), "--level", "4"}).Code, 1);
    EXPECT_EQ(RunTvk({"put", Path("c"), "1", "0", "0", Path("no-such-file")}).Code, 1);
}

// ---- create and info ----

TEST_F(CliTest, CreatedWebMercatorCacheDescribesItselfInJson) {
    ASSERT_EQ(RunTvk({"create", Path("wm"), "--crs", "EPSG:3857", "--levels", "0-5", "--layout", "original"}).Code, 0);
    ASSERT_TRUE(fs::exists(Path("wm/tilecache.xml")));
    const tagRun run = RunTvk({"info", Path("wm"), "--json"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    const nlohmann::json doc = nlohmann::json::parse(run.Out);
    std::set<std::string> keys;
    for (const auto& item : doc.items()) keys.insert(item.key());
    EXPECT_EQ(keys, (std::set<std::string>{"name", "crs", "layout", "tileSize", "dpi", "origin", "bounds",
                                           "indexBounds", "levels"}));
    EXPECT_EQ(doc["crs"]["epsg"], 3857);
    EXPECT_EQ(doc["layout"], "original");
    EXPECT_EQ(doc["tileSize"], 256);
    EXPECT_DOUBLE_EQ(doc["dpi"].get<double>(), 96.0);
    EXPECT_NEAR(doc["origin"]["x"].get<double>(), -kWorld / 2, 1e-6);
    EXPECT_NEAR(doc["origin"]["y"].get<double>(), kWorld / 2, 1e-6);
    EXPECT_NEAR(doc["indexBounds"]["right"].get<double>(), kWorld / 2, 1e-6);
    EXPECT_NEAR(doc["bounds"]["bottom"].get<double>(), -kWorld / 2, 1e-6);
    ASSERT_EQ(doc["levels"].size(), 6u);
    for (int level = 0; level < 6; ++level) {
        const auto& l = doc["levels"][level];
        std::set<std::string> levelKeys;
        for (const auto& item : l.items()) levelKeys.insert(item.key());
        EXPECT_EQ(levelKeys, (std::set<std::string>{"level", "renderLevel", "scale", "scaleDenominator",
                                                    "resolution", "rows", "cols"}));
        EXPECT_EQ(l["level"], level);
        EXPECT_EQ(l["rows"], 1 << level);
        EXPECT_EQ(l["cols"], 1 << level);
        // Level 0 is one tile across the world; each level halves the resolution.
        EXPECT_NEAR(l["resolution"].get<double>(), kWorld / 256 / (1 << level), 1e-6);
        EXPECT_NEAR(l["scale"].get<double>() * l["scaleDenominator"].get<double>(), 1.0, 1e-12);
    }
    // 156543.03 m per pixel at 96 dpi (0.0254 / 96 m per pixel) is about 1:591,657,528.
    EXPECT_NEAR(doc["levels"][0]["scaleDenominator"].get<double>(), kWorld / 256 * 96 / 0.0254, 591657528 * 1e-5);

    const tagRun text = RunTvk({"info", Path("wm")});
    EXPECT_EQ(text.Code, 0);
    EXPECT_NE(text.Out.find("EPSG:3857"), std::string::npos);
    EXPECT_NE(text.Out.find("32 x 32"), std::string::npos);  // level 5
}

// ---- tiles ----

TEST_F(CliTest, TilesCoveringABoxInMapUnitsAndLonLat) {
    ASSERT_EQ(RunTvk({"create", Path("c"), "--crs", "EPSG:3857", "--levels", "0-4"}).Code, 0);
    // Level 2 tiles are kWorld / 4 wide; x in [0, 1] starts on the boundary of
    // column 2, y in [0, 1] ends on the top of row 2, so only row 1 column 2.
    tagRun run = RunTvk({"tiles", Path("c"), "2", "--bbox", "0,0,1,1"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(Lines(run.Out), (std::vector<std::string>{"2 1 2"}));
    run = RunTvk({"tiles", Path("c"), "2", "--bbox", "0.0001,0.0001,1,1", "--lonlat"});
    EXPECT_EQ(Lines(run.Out), (std::vector<std::string>{"2 1 2"}));
    // A quarter tile to each side of the centre touches the four middle tiles.
    const std::string q = std::to_string(kWorld / 16);
    run = RunTvk({"tiles", Path("c"), "2", "--bbox", "-" + q + ",-" + q + "," + q + "," + q});
    EXPECT_EQ(Lines(run.Out), (std::vector<std::string>{"2 1 1", "2 1 2", "2 2 1", "2 2 2"}));
    // Beyond the Mercator limit the range is clipped to the grid.
    run = RunTvk({"tiles", Path("c"), "4", "--bbox", "-180,-89,180,89", "--lonlat", "--count"});
    EXPECT_EQ(run.Out, "256\n");
}

// ---- get / put / rm / ls ----

TEST_F(CliTest, PutGetRemoveAndListInEveryLayout) {
    WriteFile(Path("one.bin"), std::string("first\0tile", 10));
    WriteFile(Path("two.bin"), "second tile, longer");
    for (const char* layout : {"compact", "original", "compact-v2", "arcgis-exploded"}) {
        SCOPED_TRACE(layout);
        const std::string c = Path(layout);
        ASSERT_EQ(RunTvk({"create", c, "--crs", "EPSG:3857", "--levels", "0-8", "--layout", layout}).Code, 0);
        ASSERT_EQ(RunTvk({"put", c, "8", "200", "130", Path("one.bin")}).Code, 0);
        ASSERT_EQ(RunTvk({"put", c, "1", "1", "0", Path("two.bin")}).Code, 0);
        EXPECT_EQ(RunTvk({"put", c, "1", "1", "0", Path("one.bin")}).Code, 1);  // no silent overwrite
        tagRun run = RunTvk({"get", c, "8", "200", "130"});
        EXPECT_EQ(run.Code, 0);
        EXPECT_EQ(run.Out, std::string("first\0tile", 10));
        EXPECT_EQ(RunTvk({"ls", c}).Out, "1 1 0 19\n8 200 130 10\n");
        EXPECT_EQ(RunTvk({"ls", c, "--level", "8"}).Out, "8 200 130 10\n");

        ASSERT_EQ(RunTvk({"put", c, "1", "1", "0", Path("one.bin"), "--replace"}).Code, 0);
        ASSERT_EQ(RunTvk({"get", c, "1", "1", "0", "-o", Path("back.bin")}).Code, 0);
        EXPECT_EQ(ReadFile(Path("back.bin")), ReadFile(Path("one.bin")));
        ASSERT_EQ(RunTvk({"rm", c, "8", "200", "130"}).Code, 0);
        EXPECT_EQ(RunTvk({"get", c, "8", "200", "130"}).Code, 1);
        EXPECT_EQ(RunTvk({"ls", c}).Out, "1 1 0 10\n");
    }
    // The files are where the layouts put them: level 1 of Web Mercator is
    // 1:295,829,355 with this tool's scale list; bundles are named by level
    // and hex block origin (row 200 and column 130 are in block 128, 0x80).
    EXPECT_TRUE(fs::exists(Path("compact/_alllayers/L08/R0080C0080.bundlx")));
    bool found = false;
    for (const auto& entry : fs::recursive_directory_iterator(Path("original/_alllayers")))
        found |= entry.path().filename() == "1x0.epng" && entry.path().parent_path().filename() == "R0000C0000";
    EXPECT_TRUE(found);
}

TEST_F(CliTest, ArcGISCacheIsFoundReadListedAndWritten) {
    const std::string dir = Path("arcgis");
    fs::create_directories(dir);
    WriteArcGISCache(dir);
    tagRun run = RunTvk({"info", dir, "--json"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    const nlohmann::json doc = nlohmann::json::parse(run.Out);
    EXPECT_EQ(doc["layout"], "compact");
    EXPECT_EQ(doc["levels"].size(), 3u);
    EXPECT_EQ(doc["levels"][2]["rows"], 4);

    // Empty positions point at zero-length records: only the two real tiles are listed.
    run = RunTvk({"ls", dir});
    ASSERT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "2 1 2 12\n2 3 0 7\n");
    EXPECT_EQ(RunTvk({"get", dir, "2", "3", "0"}).Out, "tile-B!");
    EXPECT_EQ(RunTvk({"get", dir, "2", "0", "0"}).Code, 1);

    WriteFile(Path("new.bin"), "added");
    ASSERT_EQ(RunTvk({"put", dir, "2", "0", "3", Path("new.bin")}).Code, 0);
    ASSERT_EQ(RunTvk({"rm", dir, "2", "1", "2"}).Code, 0);
    EXPECT_EQ(RunTvk({"ls", dir}).Out, "2 0 3 5\n2 3 0 7\n");
    run = RunTvk({"verify", dir});
    EXPECT_EQ(run.Code, 0) << run.Out;
    // The removed tile's 16 bytes (length + 12) are dead space now.
    EXPECT_NE(run.Out.find("16 bytes dead space"), std::string::npos) << run.Out;

    // Its grid is the one `tvk create` makes for Web Mercator, though the two
    // files print the origin with different digits: tiles copy across.
    ASSERT_EQ(RunTvk({"create", Path("own"), "--crs", "EPSG:3857", "--levels", "0-2"}).Code, 0);
    run = RunTvk({"copy", dir, Path("own")});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(RunTvk({"ls", Path("own")}).Out, "2 0 3 5\n2 3 0 7\n");
}
