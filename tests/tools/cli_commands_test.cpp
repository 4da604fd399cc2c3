// The tool's subcommands driven as a user would: exit codes, what lands on
// standard output, and what the cache holds afterwards (checked with plain
// file reads or through the library, never through the tool alone).
#include <nlohmann/json.hpp>

#include "cli_runner.h"

using namespace tvktest;

TEST_F(CliTest, HelpOnEverySubcommandAndUsageErrorsExitTwo) {
    for (const char* sub : {"info", "create", "get", "put", "rm", "tiles", "ls", "copy", "verify",
                            "coverage", "seed"}) {
        const tagRun help = RunTvk({sub, "--help"}),
                     bare = RunTvk({sub});  // bare: required arguments missing
        EXPECT_TRUE(help.Code == 0 && help.Out.find("Usage") != std::string::npos) << sub;
        EXPECT_TRUE(bare.Code == 2 && !bare.Err.empty()) << sub;
    }
    EXPECT_EQ(RunTvk({}).Code, 2);
    // The demo helper works but stays out of the help.
    EXPECT_EQ(RunTvk({"--help"}).Out.find("demo-fill"), std::string::npos);

    ASSERT_EQ(Create(Path("c"), "0-3").Code, 0);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"create", Path("d"), "--crs", "EPSG:3857", "--levels", "3-1"},
             {"create", Path("d"), "--crs", "EPSG:3857", "--layout", "zip"},
             {"create", Path("d"), "--crs", "EPSG:32633"},  // no known extent and no --bounds
             {"create", Path("d"), "--crs", "EPSG:3857", "--layout", "original", "--arcgis"},
             {"create", Path("d"), "--crs", "EPSG:3857", "--layout", "arcgis-exploded",
              "--tile-type", "tif"},
             {"frobnicate"},
             {"get", Path("c"), "x", "0", "0"},               // LEVEL not a number
             {"tiles", Path("c"), "1", "--bbox", "5,0,1,1"},  // MINX > MAXX
             {"copy", Path("c"), Path("c"), "--levels", "a-b"},
         }) {
        const tagRun run = RunTvk(args);
        EXPECT_TRUE(run.Code == 2 && !run.Err.empty())
            << args[0] << " " << args.back() << ": " << run.Err;
    }
    EXPECT_FALSE(fs::exists(Path("d")));
}

// Not found is exit 1, with the file and the reason on standard error.
TEST_F(CliTest, MissingCachesTilesAndLevelsExitOneNamingTheFile) {
    const std::string missing = Path("nowhere"), c = Path("c");
    fs::create_directories(Path("empty"));
    WriteText(Path("broken.xml"), "<CacheInfo><TileCacheInfo>");
    ASSERT_EQ(Create(c, "0-3").Code, 0);
    for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"info", missing}, missing},
             {{"ls", missing}, missing},
             {{"verify", missing}, missing},
             {{"get", missing, "0", "0", "0"}, missing},
             {{"rm", missing, "0", "0", "0"}, missing},
             {{"coverage", missing, "0", "-o", Path("x.png")}, missing},
             {{"tiles", missing, "0", "--bbox", "0,0,1,1"}, missing},
             {{"copy", missing, c}, missing},
             {{"info", Path("empty")}, "neither tilecache.xml nor conf.xml"},
             {{"info", Path("broken.xml")}, "broken.xml"},
             {{"create", c, "--crs", "EPSG:3857"}, "not overwriting"},
             {{"get", c, "2", "1", "1"}, "no tile at level 2 row 1 column 1"},
             {{"get", c, "9", "0", "0"}, "no level 9"},
             {{"put", c, "1", "0", "0", Path("no-such-file")}, Path("no-such-file")}}) {
        const tagRun run = RunTvk(args);
        EXPECT_EQ(run.Code, 1) << args[0];
        EXPECT_NE(run.Err.find(says), std::string::npos) << args[0] << ": " << run.Err;
    }
}

TEST_F(CliTest, CreatedWebMercatorCacheDescribesItselfInJson) {
    ASSERT_EQ(Create(Path("wm"), "0-5", {"--layout", "original"}).Code, 0);
    ASSERT_TRUE(fs::exists(Path("wm/tilecache.xml")));
    const tagRun run = RunTvk({"info", Path("wm"), "--json"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    const nlohmann::json doc = nlohmann::json::parse(run.Out);
    EXPECT_EQ(doc.size(), 9u);
    for (const char* key :
         {"name", "crs", "layout", "tileSize", "dpi", "origin", "bounds", "indexBounds", "levels"})
        EXPECT_TRUE(doc.contains(key)) << key;
    EXPECT_TRUE(doc["crs"]["epsg"] == 3857 && doc["layout"] == "original" &&
                doc["tileSize"] == 256 && doc["dpi"] == 96.0);
    EXPECT_NEAR(doc["origin"]["y"].get<double>(), kWorld / 2, 1e-6);
    EXPECT_NEAR(doc["bounds"]["bottom"].get<double>(), -kWorld / 2, 1e-6);
    ASSERT_EQ(doc["levels"].size(), 6u);
    for (int level = 0; level < 6; ++level) {
        const auto& l = doc["levels"][level];
        EXPECT_TRUE(l.size() == 7u && l.contains("renderLevel") && l.contains("scale")) << l;
        EXPECT_TRUE(l["level"] == level && l["rows"] == 1 << level && l["cols"] == 1 << level) << l;
        // Level 0 is one tile across the world; each level halves the resolution.
        EXPECT_NEAR(l["resolution"].get<double>(), kWorld / 256 / (1 << level), 1e-6);
        EXPECT_NEAR(l["scale"].get<double>() * l["scaleDenominator"].get<double>(), 1.0, 1e-12);
    }
    // 156543.03 m per pixel at 96 dpi (0.0254 / 96 m per pixel) is about 1:591,657,528.
    EXPECT_NEAR(doc["levels"][0]["scaleDenominator"].get<double>(), kWorld / 256 * 96 / 0.0254,
                591657528 * 1e-5);

    const tagRun text = RunTvk({"info", Path("wm")});
    EXPECT_TRUE(text.Code == 0 && text.Out.find("EPSG:3857") != std::string::npos);
    EXPECT_NE(text.Out.find("32 x 32"), std::string::npos);  // level 5
}

TEST_F(CliTest, TilesCoveringABoxInMapUnitsAndLonLat) {
    ASSERT_EQ(Create(Path("c"), "0-4").Code, 0);
    // Level 2 tiles are kWorld / 4 wide; x in [0, 1] starts on the boundary of
    // column 2, y in [0, 1] ends on the top of row 2, so only row 1 column 2.
    const tagRun run = RunTvk({"tiles", Path("c"), "2", "--bbox", "0,0,1,1"});
    EXPECT_TRUE(run.Code == 0 && run.Out == "2 1 2\n") << run.Out << run.Err;
    EXPECT_EQ(RunTvk({"tiles", Path("c"), "2", "--bbox", "0.0001,0.0001,1,1", "--lonlat"}).Out,
              "2 1 2\n");
    // A quarter tile to each side of the centre touches the four middle tiles.
    const std::string q = std::to_string(kWorld / 16);
    EXPECT_EQ(
        RunTvk({"tiles", Path("c"), "2", "--bbox", "-" + q + ",-" + q + "," + q + "," + q}).Out,
        "2 1 1\n2 1 2\n2 2 1\n2 2 2\n");
    // Beyond the Mercator limit the range is clipped to the grid.
    EXPECT_EQ(
        RunTvk({"tiles", Path("c"), "4", "--bbox", "-180,-89,180,89", "--lonlat", "--count"}).Out,
        "256\n");
}

TEST_F(CliTest, PutGetRemoveAndListInEveryLayout) {
    const std::string one("first\0tile", 10);
    WriteText(Path("one.bin"), one);
    WriteText(Path("two.bin"), "second tile, longer");
    for (const char* layout : {"compact", "original", "compact-v2", "arcgis-exploded"}) {
        SCOPED_TRACE(layout);
        const std::string c = Path(layout);
        ASSERT_EQ(Create(c, "0-8", {"--layout", layout}).Code, 0);
        ASSERT_EQ(RunTvk({"put", c, "8", "200", "130", Path("one.bin")}).Code, 0);
        ASSERT_EQ(RunTvk({"put", c, "1", "1", "0", Path("two.bin")}).Code, 0);
        EXPECT_EQ(RunTvk({"put", c, "1", "1", "0", Path("one.bin")}).Code,
                  1);  // no silent overwrite
        EXPECT_EQ(RunTvk({"get", c, "8", "200", "130"}).Out, one);
        EXPECT_EQ(RunTvk({"ls", c}).Out, "1 1 0 19\n8 200 130 10\n");
        EXPECT_EQ(RunTvk({"ls", c, "--level", "8"}).Out, "8 200 130 10\n");

        ASSERT_EQ(RunTvk({"put", c, "1", "1", "0", Path("one.bin"), "--replace"}).Code, 0);
        ASSERT_EQ(RunTvk({"get", c, "1", "1", "0", "-o", Path("back.bin")}).Code, 0);
        EXPECT_EQ(ReadText(Path("back.bin")), one);
        ASSERT_EQ(RunTvk({"rm", c, "8", "200", "130"}).Code, 0);
        EXPECT_EQ(RunTvk({"get", c, "8", "200", "130"}).Code, 1);
        EXPECT_EQ(RunTvk({"ls", c}).Out, "1 1 0 10\n");
    }
    // Bundles are named by level and hex block origin (row 200 and column
    // 130 are in block 128, 0x80).
    EXPECT_TRUE(fs::exists(Path("compact/_alllayers/L08/R0080C0080.bundlx")));
}

TEST_F(CliTest, ArcGISCacheIsFoundReadListedAndWritten) {
    const std::string dir = Path("arcgis");
    WriteArcGISCache(dir);
    tagRun run = RunTvk({"info", dir, "--json"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    const nlohmann::json doc = nlohmann::json::parse(run.Out);
    EXPECT_TRUE(doc["layout"] == "compact" && doc["levels"].size() == 3u &&
                doc["levels"][2]["rows"] == 4);

    // Empty positions point at zero-length records: only the two real tiles are listed.
    EXPECT_EQ(RunTvk({"ls", dir}).Out, "2 1 2 12\n2 3 0 7\n");
    EXPECT_EQ(RunTvk({"get", dir, "2", "3", "0"}).Out, "tile-B!");

    WriteText(Path("new.bin"), "added");
    ASSERT_EQ(RunTvk({"put", dir, "2", "0", "3", Path("new.bin")}).Code, 0);
    ASSERT_EQ(RunTvk({"rm", dir, "2", "1", "2"}).Code, 0);
    EXPECT_EQ(RunTvk({"ls", dir}).Out, "2 0 3 5\n2 3 0 7\n");
    run = RunTvk({"verify", dir});
    // The removed tile's 16 bytes (length + 12) are dead space now.
    EXPECT_TRUE(run.Code == 0 && run.Out.find("16 bytes dead space") != std::string::npos)
        << run.Out;

    // Its grid is the one `tvk create` makes for Web Mercator, though the two
    // files print the origin with different digits: tiles copy across.
    ASSERT_EQ(Create(Path("own"), "0-2").Code, 0);
    EXPECT_EQ(RunTvk({"copy", dir, Path("own")}).Code, 0);
    EXPECT_EQ(RunTvk({"ls", Path("own")}).Out, "2 0 3 5\n2 3 0 7\n");
}
