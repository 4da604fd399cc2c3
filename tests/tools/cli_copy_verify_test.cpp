// copy (including a copy killed part-way and resumed, and conversions
// through every layout), verify on damaged caches, and coverage pictures
// read back with libpng.
#include <png.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <tuple>

#include <tvk.h>

#include "cli_runner.h"

using namespace tvktest;

namespace {

// A PNG decoded by libpng into 8-bit grey; Width 0 when it does not decode.
struct tagPng {
    png_uint_32 Width = 0, Height = 0;
    std::vector<unsigned char> Grey;
    bool Dark(int x, int y) const { return Grey[static_cast<size_t>(y) * Width + x] < 128; }
};

tagPng ReadPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    tagPng out;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
    image.format = PNG_FORMAT_GRAY;
    out.Grey.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, out.Grey.data(), 0, nullptr))
        std::tie(out.Width, out.Height) = std::tie(image.width, image.height);
    return out;
}

}  // namespace

// A copy killed with SIGKILL part-way, then run again with --skip-existing,
// ends with exactly the source's tiles, and the destination is sound. The
// source's 41st tile (level 3, row 2, column 3, in listing order) is a FIFO
// nobody writes to, so the copy blocks reading it after 40 tiles, whatever
// the load of the machine; the test sees the 40 tiles arrive and kills it.
TEST_F(CliTest, CopyKilledPartWayResumesToTheFullSet) {
    const std::string src = Path("src"), dst = Path("dst");
    ASSERT_EQ(Create(src, "0-3", {"--layout", "original"}).Code, 0);
    ASSERT_EQ(Create(dst, "0-3", {"--layout", "compact"}).Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", src, "--levels", "0-3"}).Code, 0);  // 85 tiles
    const auto expected = AllTiles(src, 4);
    fs::path blocker;
    for (const auto& entry : fs::recursive_directory_iterator(src + "/_alllayers"))
        if (entry.path().filename() == "2x3.epng") blocker = entry.path();
    ASSERT_FALSE(blocker.empty());
    fs::remove(blocker);
    ASSERT_EQ(mkfifo(blocker.c_str(), 0644), 0);

    const pid_t pid = StartTvk({"copy", src, dst}, Path("copy.out"));
    ASSERT_GT(pid, 0);
    // The deadline only keeps a broken tool from hanging the test.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (AllTiles(dst, 4).size() < 40 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_TRUE(waitpid(pid, &status, 0) == pid && WIFSIGNALED(status));

    EXPECT_EQ(AllTiles(dst, 4).size(), 40u);
    fs::remove(blocker);
    WriteText(blocker, expected.at({3, 2, 3}));
    const tagRun resume = RunTvk({"copy", src, dst, "--skip-existing"});
    ASSERT_EQ(resume.Code, 0) << resume.Err;
    EXPECT_TRUE(resume.Out.find("copied 45 tiles") == 0 &&
                resume.Out.find("skipped 40 existing") != std::string::npos)
        << resume.Out;
    EXPECT_TRUE(expected.size() == 85u && AllTiles(dst, 4) == expected);
    EXPECT_EQ(RunTvk({"verify", dst}).Code, 0);
}

TEST_F(CliTest, CopyByLevelsAndBoxAndRefusesAnotherGrid) {
    const std::string src = Path("src"), dst = Path("dst");
    ASSERT_EQ(Create(src, "0-4").Code, 0);
    ASSERT_EQ(Create(dst, "0-4", {"--layout", "original"}).Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", src, "--levels", "0-4"}).Code, 0);
    // Level 3 and 4 tiles of the north-east quarter of the world (x > 0, y > 0):
    // rows 0-3 / columns 4-7 at level 3, rows 0-7 / columns 8-15 at level 4.
    const std::string half = std::to_string(kWorld / 2);
    ASSERT_EQ(
        RunTvk({"copy", src, dst, "--levels", "3-4", "--bbox", "1,1," + half + "," + half}).Code,
        0);
    const auto tiles = AllTiles(dst, 5);
    EXPECT_EQ(tiles.size(), 80u);
    for (const auto& [key, bytes] : tiles) {
        const auto [level, row, col] = key;
        EXPECT_TRUE(level >= 3 && 2 * row < (1 << level) && 2 * col >= (1 << level))
            << level << " " << row << " " << col;
    }
    // Running it again replaces tiles in place (original layout).
    EXPECT_TRUE(RunTvk({"copy", src, dst, "--levels", "3"}).Code == 0 &&
                AllTiles(dst, 5).size() == 64u + 64u);

    ASSERT_EQ(Create(Path("geo"), "0-4", {}, "EPSG:4326").Code, 0);
    const tagRun refused = RunTvk({"copy", src, Path("geo")});
    EXPECT_TRUE(refused.Code == 1 && refused.Err.find("differ") != std::string::npos)
        << refused.Err;
}

// Tiles copied original -> compact -> compact-v2 -> arcgis-exploded ->
// original arrive byte for byte, and each cache lists and verifies alike.
// (Where each layout puts a tile is the library's tests' business.)
TEST_F(CliTest, CopyConvertsThroughEveryLayoutByteForByte) {
    const std::vector<std::string> layouts = {"original", "compact", "compact-v2",
                                              "arcgis-exploded", "original"};
    std::vector<std::string> caches;
    for (size_t i = 0; i < layouts.size(); ++i) {
        caches.push_back(Path(std::to_string(i) + "-" + layouts[i]));
        ASSERT_EQ(Create(caches[i], "0-3", {"--layout", layouts[i]}).Code, 0);
        EXPECT_EQ(nlohmann::json::parse(RunTvk({"info", caches[i], "--json"}).Out)["layout"],
                  layouts[i]);
    }
    ASSERT_EQ(RunTvk({"demo-fill", caches[0], "--levels", "0-3"}).Code, 0);  // 85 tiles
    const std::string listing = RunTvk({"ls", caches[0]}).Out;
    ASSERT_EQ(std::count(listing.begin(), listing.end(), '\n'), 85);
    for (size_t i = 1; i < caches.size(); ++i) {
        SCOPED_TRACE(caches[i]);
        const tagRun run = RunTvk({"copy", caches[i - 1], caches[i]});
        ASSERT_EQ(run.Code, 0) << run.Err;
        EXPECT_EQ(RunTvk({"ls", caches[i]}).Out, listing);
        const tagRun verify = RunTvk({"verify", caches[i]});
        EXPECT_TRUE(verify.Code == 0 && verify.Out.find("85 tiles") != std::string::npos)
            << verify.Out;
    }
    const auto tiles = AllTiles(caches[0], 4);
    EXPECT_TRUE(AllTiles(caches.back(), 4) == tiles);
}

// `create --arcgis` writes conf.xml and conf.cdi that read back with the same
// levels; copying into that ArcGIS folder adds tiles and leaves both files
// as they were.
TEST_F(CliTest, CopyIntoAnArcGISCacheKeepsItsConfiguration) {
    const std::string src = Path("src");
    ASSERT_EQ(Create(src, "0-4").Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", src, "--levels", "0-2"}).Code, 0);  // 21 tiles
    const nlohmann::json own = nlohmann::json::parse(RunTvk({"info", src, "--json"}).Out);

    for (const char* layout : {"compact", "compact-v2", "arcgis-exploded"}) {
        SCOPED_TRACE(layout);
        const std::string dst = Path(std::string("arcgis-") + layout);
        ASSERT_EQ(Create(dst, "0-4", {"--layout", layout, "--arcgis", "--tile-type", "jpg"}).Code,
                  0);
        EXPECT_FALSE(fs::exists(dst + "/tilecache.xml"));
        const std::string conf = ReadText(dst + "/conf.xml"), cdi = ReadText(dst + "/conf.cdi");
        EXPECT_NE(conf.find("<CacheTileFormat>JPEG</CacheTileFormat>"), std::string::npos);
        EXPECT_NE(cdi.find("EnvelopeN"), std::string::npos);
        const nlohmann::json info = nlohmann::json::parse(RunTvk({"info", dst, "--json"}).Out);
        EXPECT_TRUE(info["layout"] == layout && info["crs"]["epsg"] == 3857);
        ASSERT_EQ(info["levels"].size(), own["levels"].size());
        for (size_t level = 0; level < own["levels"].size(); ++level)
            EXPECT_NEAR(info["levels"][level]["resolution"].get<double>(),
                        own["levels"][level]["resolution"].get<double>(), 1e-9);

        const tagRun run = RunTvk({"copy", src, dst});
        ASSERT_EQ(run.Code, 0) << run.Err;
        EXPECT_EQ(RunTvk({"ls", dst}).Out, RunTvk({"ls", src}).Out);
        EXPECT_EQ(RunTvk({"verify", dst}).Code, 0);
        EXPECT_TRUE(ReadText(dst + "/conf.xml") == conf && ReadText(dst + "/conf.cdi") == cdi);
    }
    // A JPEG cache in ArcGIS's names keeps tiles as ".jpg" whatever their bytes.
    EXPECT_TRUE(fs::exists(Path("arcgis-arcgis-exploded/_alllayers/L02/R00000003/C00000001.jpg")));
    EXPECT_EQ(RunTvk({"create", Path("arcgis-compact"), "--crs", "EPSG:3857"}).Code,
              1);  // holds conf.xml
}

// verify words each finding of the library's check as "problem:" or
// "warning:", the file and what is wrong; it prints at most ten damaged
// slots of one file, sums dead space, and exits 1 only for damage. (The
// findings themselves are the library's tests' business.)
TEST_F(CliTest, VerifyWordsFindingsAndExitsOneOnlyForDamage) {
    const std::string v1 = Path("v1"), v2 = Path("v2");
    for (const std::string& c : {v1, v2}) {
        ASSERT_EQ(Create(c, "0-2", {"--layout", c == v1 ? "compact" : "compact-v2"}).Code, 0);
        ASSERT_EQ(RunTvk({"demo-fill", c, "--levels", "0-2"}).Code, 0);  // 21 tiles
    }
    const std::string index = v1 + "/_alllayers/L02/R0000C0000.bundlx",
                      data = v1 + "/_alllayers/L02/R0000C0000.bundle",
                      bundle = v2 + "/_alllayers/L02/R0000C0000.bundle";
    const Bytes goodV2 = ReadFile(bundle);
    // All 16 slots of level 2 pointed past the end of the data file.
    Bytes badIndex = ReadFile(index);
    const uint64_t past = ReadFile(data).size() + 100;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col) PutLE(badIndex, 16 + 5 * (col * 128 + row), past, 4);
    WriteFile(index, badIndex);
    tagRun run = RunTvk({"verify", v1});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Out.find("problem: " + data + ": slot 257 (row 1, column 2) points at offset " +
                           std::to_string(past) + ", past the end of the data file ("),
              std::string::npos)
        << run.Out;
    EXPECT_NE(run.Out.find("problem: " + data + ": ... and 6 more damaged slots\n"),
              std::string::npos);
    EXPECT_NE(run.Out.find("v1/tilecache.xml: 3 bundles, 5 tiles ("), std::string::npos);
    EXPECT_NE(run.Out.find(", 16 problems, 0 warnings: DAMAGED\n"), std::string::npos);
    EXPECT_EQ(RunTvk({"ls", v1, "--level", "2"}).Out, "");

    // A V2 file cut short; then the header of another writer (0 records,
    // 0 at byte 48), which reads fine: warnings only.
    WriteFile(bundle, Bytes(goodV2.begin(), goodV2.end() - 10));
    run = RunTvk({"verify", v2});
    EXPECT_TRUE(run.Code == 1 &&
                run.Out.find("problem: " + bundle + ": file is " +
                             std::to_string(goodV2.size() - 10) + " bytes, but its header says " +
                             std::to_string(goodV2.size()) + ": cut short\n") != std::string::npos)
        << run.Out;
    Bytes theirs = goodV2;
    PutLE(theirs, 4, 0, 4);
    PutLE(theirs, 48, 0, 4);
    WriteFile(bundle, theirs);
    run = RunTvk({"verify", v2});
    EXPECT_TRUE(run.Code == 0 &&
                run.Out.find("warning: " + bundle +
                             ": header field at byte 4 holds 0 where 16384 is usual") !=
                    std::string::npos &&
                run.Out.find("21 tiles") != std::string::npos &&
                run.Out.find(", 0 problems, 2 warnings: OK\n") != std::string::npos)
        << run.Out;

    // A removed tile is dead space: its 4-byte size and its bytes.
    const std::string first = RunTvk({"ls", v2, "--level", "2"}).Out;  // "2 0 0 BYTES" first
    ASSERT_EQ(first.rfind("2 0 0 ", 0), 0u);
    ASSERT_EQ(RunTvk({"rm", v2, "2", "0", "0"}).Code, 0);
    run = RunTvk({"verify", v2});
    const std::string dead =
        ", " + std::to_string(4 + std::stoll(first.substr(6))) + " bytes dead space";
    EXPECT_TRUE(run.Code == 0 && run.Out.find(dead) != std::string::npos) << run.Out;
}

// An ArcGIS cache whose LevelIDs are not the positions in its level list
// (LevelIDs 10 to 15): the tool addresses levels by position, the files
// carry the LevelID, and ls, coverage, copy and verify all find the tiles.
TEST_F(CliTest, ArcGISLevelIDsThatAreNotListPositions) {
    const std::string a = Path("a"), b = Path("b");
    WriteArcGISConf(a, 10, 6, "esriMapCacheStorageModeCompactV2");
    WriteArcGISConf(b, 10, 6, "esriMapCacheStorageModeExploded");
    WriteText(Path("t"), "tile!");
    ASSERT_EQ(RunTvk({"put", a, "0", "5", "7", Path("t")}).Code, 0);
    ASSERT_EQ(RunTvk({"put", a, "3", "300", "200", Path("t")}).Code, 0);
    EXPECT_TRUE(fs::exists(a + "/_alllayers/L10/R0000C0000.bundle") &&
                fs::exists(a + "/_alllayers/L13/R0100C0080.bundle"));
    EXPECT_EQ(RunTvk({"ls", a}).Out, "0 5 7 5\n3 300 200 5\n");
    const tagRun verify = RunTvk({"verify", a});
    EXPECT_TRUE(verify.Code == 0 && verify.Out.find("2 bundles, 2 tiles") != std::string::npos)
        << verify.Out;
    const tagRun coverage = RunTvk({"coverage", a, "0", "-o", Path("cov.png")});
    EXPECT_TRUE(coverage.Code == 0 && coverage.Out.find("1024 x 1024 tiles") != std::string::npos &&
                coverage.Out.find(", 1 stored") != std::string::npos)
        << coverage.Out;
    EXPECT_TRUE(ReadPng(Path("cov.png")).Dark(7, 5));

    const tagRun copy = RunTvk({"copy", a, b});
    ASSERT_EQ(copy.Code, 0) << copy.Err;
    EXPECT_EQ(ReadText(b + "/_alllayers/L13/R0000012c/C000000c8.png"), "tile!");
    EXPECT_EQ(RunTvk({"ls", b}).Out, RunTvk({"ls", a}).Out);
}

TEST_F(CliTest, CoverageDrawsOnePixelBlockPerTile) {
    const std::string c = Path("c");
    ASSERT_EQ(Create(c, "0-3", {"--layout", "original"}).Code, 0);
    WriteText(Path("t.bin"), "tile");
    ASSERT_EQ(RunTvk({"put", c, "3", "2", "5", Path("t.bin")}).Code, 0);
    ASSERT_EQ(RunTvk({"put", c, "3", "7", "0", Path("t.bin")}).Code, 0);
    const tagRun run = RunTvk({"coverage", c, "3", "-o", Path("cov.png")});
    ASSERT_EQ(run.Code, 0) << run.Err;
    // 8 x 8 tiles scaled up to 512 pixels: 64 pixels per tile.
    const tagPng png = ReadPng(Path("cov.png"));
    ASSERT_TRUE(png.Width == 512u && png.Height == 512u);
    for (int row = 0; row < 8; ++row)
        for (int col = 0; col < 8; ++col) {
            const bool stored = (row == 2 && col == 5) || (row == 7 && col == 0);
            EXPECT_EQ(png.Dark(col * 64 + 32, row * 64 + 32), stored) << row << " " << col;
            EXPECT_EQ(png.Dark(col * 64, row * 64 + 63), stored)
                << row << " " << col;  // block corners
        }

    // A geographic grid is two 180-degree tiles wide at level 0, over the
    // full extent whatever --bounds restricts the cache to.
    ASSERT_EQ(Create(Path("geo"), "0-1", {"--bounds", "0,0,10,10"}, "EPSG:4326").Code, 0);
    const nlohmann::json doc = nlohmann::json::parse(RunTvk({"info", Path("geo"), "--json"}).Out);
    EXPECT_NEAR(doc["levels"][0]["resolution"].get<double>(), 180.0 / 256, 180.0 / 256 * 1e-8);
    EXPECT_DOUBLE_EQ(doc["bounds"]["right"].get<double>(), 10.0);
    EXPECT_DOUBLE_EQ(doc["indexBounds"]["right"].get<double>(), 180.0);
    ASSERT_EQ(RunTvk({"coverage", Path("geo"), "0", "-o", Path("geo.png")}).Code, 0);
    const tagPng geo = ReadPng(Path("geo.png"));
    ASSERT_TRUE(geo.Width == 512u && geo.Height == 256u);
    EXPECT_FALSE(geo.Dark(10, 10));
}
