// copy (including a copy killed part-way and resumed, and conversions
// through every layout), verify on damaged caches, and coverage pictures
// read back with libpng.
#include <png.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <tvk.h>

#include "cli_runner.h"

using namespace clitest;
namespace fs = std::filesystem;

namespace {

// Every tile of a cache, read through the library (not the tool).
std::map<std::tuple<int, int, int>, std::string> AllTiles(const std::string& dir, int levels) {
    TVK::eTileStorage storage;
    EXPECT_TRUE(storage.FromConfigFile((dir + "/tilecache.xml").c_str()));
    std::map<std::tuple<int, int, int>, std::string> tiles;
    for (int level = 0; level < levels; ++level) {
        for (int row = 0; row < (1 << level); ++row) {
            for (int col = 0; col < (1 << level); ++col) {
                TVK::eByteArray data;
                if (storage.LoadImageData(level, row, col, data))
                    tiles[{level, row, col}] = std::string(reinterpret_cast<const char*>(data.GetData()),
                                                           static_cast<size_t>(data.GetSize()));
            }
        }
    }
    return tiles;
}

struct tagPng {
    bool Ok = false;
    png_uint_32 Width = 0, Height = 0;
    std::vector<std::vector<unsigned char>> Rows;  // RGB
};

bool ReadPngRows(png_structp png, png_infop info, tagPng& out) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_info(png, info);
    out.Width = png_get_image_width(png, info);
    out.Height = png_get_image_height(png, info);
    if (png_get_color_type(png, info) != PNG_COLOR_TYPE_RGB || png_get_bit_depth(png, info) != 8) return false;
    out.Rows.assign(out.Height, std::vector<unsigned char>(out.Width * 3));
    for (auto& row : out.Rows) png_read_row(png, row.data(), nullptr);
    png_read_end(png, nullptr);
    return true;
}

tagPng ReadPng(const std::string& path) {
    tagPng out;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return out;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    out.Ok = ReadPngRows(png, info, out);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return out;
}

bool Dark(const tagPng& png, int x, int y) {
    const unsigned char* p = &png.Rows[y][x * 3];
    return p[0] + p[1] + p[2] < 3 * 128;
}

}  // namespace

// A copy killed with SIGKILL part-way, then run again with --skip-existing,
// ends with exactly the source's tiles, and the destination is sound. The
// copy stops itself after 40 tiles and waits for the kill, so the cut falls
// at the same place however loaded the machine is.
TEST_F(CliTest, CopyKilledPartWayResumesToTheFullSet) {
    const std::string src = Path("src"), dst = Path("dst");
    ASSERT_EQ(RunTvk({"create", src, "--crs", "EPSG:3857", "--levels", "0-3", "--layout", "original"}).Code, 0);
    ASSERT_EQ(RunTvk({"create", dst, "--crs", "EPSG:3857", "--levels", "0-3", "--layout", "compact"}).Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", src, "--levels", "0-3"}).Code, 0);  // 85 tiles

    const pid_t pid = StartTvk({"copy", src, dst, "--pause-after", "40"}, Path("copy.out"));
    ASSERT_GT(pid, 0);
    // The deadline only keeps a broken tool from hanging the test.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (ReadFile(Path("copy.out")).find("paused") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(ReadFile(Path("copy.out")), "paused after 40 tiles\n");

    EXPECT_EQ(AllTiles(dst, 4).size(), 40u);
    const tagRun resume = RunTvk({"copy", src, dst, "--skip-existing"});
    ASSERT_EQ(resume.Code, 0) << resume.Err;
    EXPECT_NE(resume.Out.find("copied 45 tiles"), std::string::npos) << resume.Out;
    EXPECT_NE(resume.Out.find("skipped 40 existing"), std::string::npos) << resume.Out;
    const auto expected = AllTiles(src, 4);
    ASSERT_EQ(expected.size(), 85u);
    EXPECT_TRUE(AllTiles(dst, 4) == expected);
    EXPECT_EQ(RunTvk({"ls", dst}).Out, RunTvk({"ls", src}).Out);
    EXPECT_EQ(RunTvk({"verify", dst}).Code, 0);
}

TEST_F(CliTest, CopyByLevelsAndBoxAndRefusesAnotherGrid) {
    const std::string src = Path("src"), dst = Path("dst");
    ASSERT_EQ(RunTvk({"create", src, "--crs", "EPSG:3857", "--levels", "0-4"}).Code, 0);
    ASSERT_EQ(RunTvk({"create", dst, "--crs", "EPSG:3857", "--levels", "0-4", "--layout", "original"}).Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", src, "--levels", "0-4"}).Code, 0);
    // Level 3 and 4 tiles of the north-east quarter of the world (x > 0, y > 0):
    // rows 0-3 / columns 4-7 at level 3, rows 0-7 / columns 8-15 at level 4.
    const std::string half = std::to_string(40075016.68557849 / 2);
    const tagRun run = RunTvk({"copy", src, dst, "--levels", "3-4", "--bbox", "1,1," + half + "," + half});
    ASSERT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("copied 80 tiles"), std::string::npos) << run.Out;
    const auto tiles = AllTiles(dst, 5);
    EXPECT_EQ(tiles.size(), 80u);
    for (const auto& [key, bytes] : tiles) {
        const auto [level, row, col] = key;
        const int n = 1 << level;
        EXPECT_TRUE(level >= 3 && row < n / 2 && col >= n / 2) << level << " " << row << " " << col;
    }
    // Running it again replaces tiles in place (original layout) and stays sound.
    EXPECT_EQ(RunTvk({"copy", src, dst, "--levels", "3"}).Code, 0);
    EXPECT_EQ(AllTiles(dst, 5).size(), 64u + 64u);

    ASSERT_EQ(RunTvk({"create", Path("geo"), "--crs", "EPSG:4326", "--levels", "0-4"}).Code, 0);
    const tagRun refused = RunTvk({"copy", src, Path("geo")});
    EXPECT_EQ(refused.Code, 1);
    EXPECT_NE(refused.Err.find("differ"), std::string::npos);
}

// Tiles copied original -> compact -> compact-v2 -> arcgis-exploded ->
// original arrive byte for byte, each cache lists and verifies alike, and
// each layout puts its files where its format says.
TEST_F(CliTest, CopyConvertsThroughEveryLayoutByteForByte) {
    const std::vector<std::string> layouts = {"original", "compact", "compact-v2", "arcgis-exploded", "original"};
    std::vector<std::string> caches;
    for (size_t i = 0; i < layouts.size(); ++i) {
        caches.push_back(Path(std::to_string(i) + "-" + layouts[i]));
        ASSERT_EQ(RunTvk({"create", caches[i], "--crs", "EPSG:3857", "--levels", "0-3", "--layout", layouts[i]}).Code, 0);
        const nlohmann::json info = nlohmann::json::parse(RunTvk({"info", caches[i], "--json"}).Out);
        EXPECT_EQ(info["layout"], layouts[i]);
    }
    ASSERT_EQ(RunTvk({"demo-fill", caches[0], "--levels", "0-3"}).Code, 0);  // 85 tiles
    const std::string listing = RunTvk({"ls", caches[0]}).Out;
    ASSERT_EQ(Lines(listing).size(), 85u);
    for (size_t i = 1; i < caches.size(); ++i) {
        SCOPED_TRACE(caches[i]);
        const tagRun run = RunTvk({"copy", caches[i - 1], caches[i]});
        ASSERT_EQ(run.Code, 0) << run.Err;
        EXPECT_NE(run.Out.find("copied 85 tiles"), std::string::npos) << run.Out;
        EXPECT_EQ(RunTvk({"ls", caches[i]}).Out, listing);
        const tagRun verify = RunTvk({"verify", caches[i]});
        EXPECT_EQ(verify.Code, 0) << verify.Out;
        EXPECT_NE(verify.Out.find("85 tiles"), std::string::npos) << verify.Out;
    }
    const auto tiles = AllTiles(caches[0], 4);
    EXPECT_TRUE(AllTiles(caches.back(), 4) == tiles);

    // Level 3, row 5, column 2: entry 5 * 128 + 2 of the V2 bundle (no index
    // file beside it) points just past the tile's 4-byte size; the exploded
    // tree names it in hex.
    const std::string& tile = tiles.at({3, 5, 2});
    const std::string v2 = ReadFile(caches[2] + "/_alllayers/L03/R0000C0000.bundle");
    EXPECT_FALSE(fs::exists(caches[2] + "/_alllayers/L03/R0000C0000.bundlx"));
    ASSERT_GT(v2.size(), 131136u);
    const auto le = [&](size_t at, int count) {
        uint64_t value = 0;
        for (int i = count - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(v2[at + i]);
        return value;
    };
    EXPECT_EQ(le(0, 4), 3u);
    EXPECT_EQ(le(24, 8), v2.size());  // the header's file size
    const uint64_t entry = le(64 + 8 * (5 * 128 + 2), 8);
    const uint64_t offset = entry & 0xffffffffffu, size = entry >> 40;
    ASSERT_EQ(size, tile.size());
    EXPECT_EQ(le(offset - 4, 4), size);
    EXPECT_EQ(v2.substr(offset, size), tile);
    EXPECT_EQ(ReadFile(caches[3] + "/_alllayers/L03/R00000005/C00000002.png"), tile);
}

// `create --arcgis` writes conf.xml and conf.cdi that read back with the same
// levels; copying into that ArcGIS folder adds tiles and leaves both files
// as they were. Layouts ArcGIS has no name or tile kind for are refused.
TEST_F(CliTest, CopyIntoAnArcGISCacheKeepsItsConfiguration) {
    const std::string src = Path("src");
    ASSERT_EQ(RunTvk({"create", src, "--crs", "EPSG:3857", "--levels", "0-4"}).Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", src, "--levels", "0-2"}).Code, 0);  // 21 tiles
    const nlohmann::json own = nlohmann::json::parse(RunTvk({"info", src, "--json"}).Out);

    for (const char* layout : {"compact", "compact-v2", "arcgis-exploded"}) {
        SCOPED_TRACE(layout);
        const std::string dst = Path(std::string("arcgis-") + layout);
        ASSERT_EQ(RunTvk({"create", dst, "--crs", "EPSG:3857", "--levels", "0-4", "--layout", layout, "--arcgis",
                          "--tile-type", "jpg"}).Code, 0);
        EXPECT_FALSE(fs::exists(dst + "/tilecache.xml"));
        const std::string conf = ReadFile(dst + "/conf.xml"), cdi = ReadFile(dst + "/conf.cdi");
        EXPECT_NE(conf.find("<CacheTileFormat>JPEG</CacheTileFormat>"), std::string::npos);
        EXPECT_NE(cdi.find("EnvelopeN"), std::string::npos);
        const nlohmann::json info = nlohmann::json::parse(RunTvk({"info", dst, "--json"}).Out);
        EXPECT_EQ(info["layout"], layout);
        EXPECT_EQ(info["crs"]["epsg"], 3857);
        ASSERT_EQ(info["levels"].size(), own["levels"].size());
        for (size_t level = 0; level < own["levels"].size(); ++level) {
            EXPECT_NEAR(info["levels"][level]["resolution"].get<double>(),
                        own["levels"][level]["resolution"].get<double>(), 1e-9);
            EXPECT_EQ(info["levels"][level]["rows"], own["levels"][level]["rows"]);
        }

        const tagRun run = RunTvk({"copy", src, dst});
        ASSERT_EQ(run.Code, 0) << run.Err;
        EXPECT_EQ(RunTvk({"ls", dst}).Out, RunTvk({"ls", src}).Out);
        EXPECT_EQ(RunTvk({"verify", dst}).Code, 0);
        EXPECT_EQ(ReadFile(dst + "/conf.xml"), conf);
        EXPECT_EQ(ReadFile(dst + "/conf.cdi"), cdi);
    }
    // A JPEG cache in ArcGIS's names keeps tiles as ".jpg" whatever their bytes.
    EXPECT_TRUE(fs::exists(Path("arcgis-arcgis-exploded/_alllayers/L02/R00000003/C00000001.jpg")));

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"create", Path("x"), "--crs", "EPSG:3857", "--layout", "original", "--arcgis"},
             {"create", Path("x"), "--crs", "EPSG:3857", "--layout", "arcgis-exploded", "--tile-type", "tif"},
             {"create", Path("x"), "--crs", "EPSG:3857", "--layout", "compact", "--tile-type", "mixed"}}) {
        EXPECT_EQ(RunTvk(args).Code, 2) << args.back();
    }
    EXPECT_FALSE(fs::exists(Path("x")));
    EXPECT_EQ(RunTvk({"create", Path("arcgis-compact"), "--crs", "EPSG:3857"}).Code, 1);  // holds conf.xml
}

// ---- verify ----

TEST_F(CliTest, VerifyFindsDamagedBundles) {
    const std::string c = Path("c");
    ASSERT_EQ(RunTvk({"create", c, "--crs", "EPSG:3857", "--levels", "0-2"}).Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", c, "--levels", "0-2"}).Code, 0);
    tagRun run = RunTvk({"verify", c});
    ASSERT_EQ(run.Code, 0) << run.Out;
    EXPECT_NE(run.Out.find("21 tiles"), std::string::npos) << run.Out;

    const std::string index = c + "/_alllayers/L02/R0000C0000.bundlx";
    const std::string data = c + "/_alllayers/L02/R0000C0000.bundle";
    const std::string goodIndex = ReadFile(index), goodData = ReadFile(data);
    ASSERT_EQ(goodIndex.size(), 81936u);

    // Slot of row 1, column 2 (slot 2 * 128 + 1) pointed past the data file.
    std::string bad = goodIndex;
    const uint32_t past = static_cast<uint32_t>(goodData.size() + 100);
    for (int i = 0; i < 4; ++i) bad[16 + 5 * 257 + i] = static_cast<char>((past >> (8 * i)) & 0xff);
    WriteFile(index, bad);
    run = RunTvk({"verify", c});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Out.find(data), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("slot 257 (row 1, column 2)"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("past the end"), std::string::npos);

    // Data file cut short: the last record runs past its end.
    WriteFile(index, goodIndex);
    WriteFile(data, goodData.substr(0, goodData.size() - 10));
    run = RunTvk({"verify", c});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Out.find("running past the end"), std::string::npos) << run.Out;

    // Index cut short, and a data file without its index.
    WriteFile(data, goodData);
    WriteFile(index, goodIndex.substr(0, 1000));
    EXPECT_EQ(RunTvk({"verify", c}).Code, 1);
    fs::remove(index);
    run = RunTvk({"verify", c});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Out.find("without its .bundlx"), std::string::npos);
}

// V2 bundles: an entry past the end, a file cut short (its header says more
// and its last record runs past the end) and one too short to hold its
// entries are damage; a removed tile is dead space.
TEST_F(CliTest, VerifyFindsDamagedV2Bundles) {
    const std::string c = Path("c");
    ASSERT_EQ(RunTvk({"create", c, "--crs", "EPSG:3857", "--levels", "0-2", "--layout", "compact-v2"}).Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", c, "--levels", "0-2"}).Code, 0);
    const std::string bundle = c + "/_alllayers/L02/R0000C0000.bundle";
    const std::string good = ReadFile(bundle);

    // Entry of row 1, column 2 (1 * 128 + 2) pointed 100 bytes past the end.
    std::string bad = good;
    const uint64_t entry = (uint64_t{5} << 40) | (good.size() + 100);
    for (int i = 0; i < 8; ++i) bad[64 + 8 * 130 + i] = static_cast<char>((entry >> (8 * i)) & 0xff);
    WriteFile(bundle, bad);
    tagRun run = RunTvk({"verify", c});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Out.find("problem: " + bundle + ": entry 130 (row 1, column 2) points at offset " +
                           std::to_string(good.size() + 100) + ", past the end"),
              std::string::npos) << run.Out;

    WriteFile(bundle, good.substr(0, good.size() - 10));
    run = RunTvk({"verify", c});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Out.find("but its header says " + std::to_string(good.size())), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("running past the end"), std::string::npos) << run.Out;

    WriteFile(bundle, good.substr(0, 1000));
    run = RunTvk({"verify", c});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Out.find("shorter than the 131136"), std::string::npos) << run.Out;
    EXPECT_EQ(RunTvk({"ls", c}).Code, 1);  // the library refuses it too

    WriteFile(bundle, good);
    const std::vector<std::string> first = Lines(RunTvk({"ls", c, "--level", "2"}).Out);
    ASSERT_EQ(first.size(), 16u);
    ASSERT_EQ(first[0].rfind("2 0 0 ", 0), 0u);
    ASSERT_EQ(RunTvk({"rm", c, "2", "0", "0"}).Code, 0);
    run = RunTvk({"verify", c});
    EXPECT_EQ(run.Code, 0) << run.Out;
    EXPECT_NE(run.Out.find(", " + std::to_string(4 + std::stoll(first[0].substr(6))) + " bytes dead space"),
              std::string::npos) << run.Out;
}

TEST_F(CliTest, VerifyFindsEmptyTileFilesAndWarnsOfDebrisInBothNamings) {
    const std::string c = Path("c");
    ASSERT_EQ(RunTvk({"create", c, "--crs", "EPSG:3857", "--levels", "0-1", "--layout", "original"}).Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", c, "--levels", "0-1"}).Code, 0);
    ASSERT_EQ(RunTvk({"verify", c}).Code, 0);
    fs::path tile;
    for (const auto& entry : fs::recursive_directory_iterator(c + "/_alllayers"))
        if (entry.path().filename() == "1x1.epng") tile = entry.path();
    ASSERT_FALSE(tile.empty());
    WriteFile(tile.string() + ".temp", "half");
    tagRun run = RunTvk({"verify", c});
    EXPECT_EQ(run.Code, 0);  // debris, not damage
    EXPECT_NE(run.Out.find("warning: " + tile.string() + ".temp"), std::string::npos) << run.Out;
    WriteFile(tile.string(), "");
    run = RunTvk({"verify", c});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Out.find("problem: " + tile.string() + ": empty tile file"), std::string::npos) << run.Out;

    // ArcGIS's names, MIXED tiles: each stored under the kind of its bytes.
    const std::string a = Path("a");
    ASSERT_EQ(RunTvk({"create", a, "--crs", "EPSG:3857", "--levels", "0-1", "--layout", "arcgis-exploded",
                      "--tile-type", "mixed"}).Code, 0);
    WriteFile(Path("j"), "\xFF\xD8jpeg");
    WriteFile(Path("p"), "\x89PNGpng");
    ASSERT_EQ(RunTvk({"put", a, "1", "0", "1", Path("j")}).Code, 0);
    ASSERT_EQ(RunTvk({"put", a, "1", "1", "0", Path("p")}).Code, 0);
    const std::string row0 = a + "/_alllayers/L01/R00000000/", row1 = a + "/_alllayers/L01/R00000001/";
    EXPECT_EQ(ReadFile(row0 + "C00000001.jpg"), "\xFF\xD8jpeg");
    EXPECT_EQ(ReadFile(row1 + "C00000000.png"), "\x89PNGpng");
    EXPECT_EQ(RunTvk({"ls", a}).Out, "1 0 1 6\n1 1 0 7\n");
    // Debris: a leftover, a name in upper-case hex, a tile's second kind
    // (the .jpg is the one read, so the .png is the debris).
    WriteFile(row0 + "C00000001.jpg.temp", "x");
    WriteFile(row0 + "C0000000A.png", "x");
    WriteFile(row1 + "C00000000.jpg", "\xFF\xD8other!");
    EXPECT_EQ(RunTvk({"ls", a}).Out, "1 0 1 6\n1 1 0 8\n");
    run = RunTvk({"verify", a});
    EXPECT_EQ(run.Code, 0) << run.Out;
    EXPECT_NE(run.Out.find(": 2 tiles (14 bytes), 0 problems, 3 warnings"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("warning: " + row0 + "C0000000A.png: name is not one"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("warning: " + row1 + "C00000000.png"), std::string::npos) << run.Out;
    WriteFile(row0 + "C00000002.png", "");
    run = RunTvk({"verify", a});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Out.find("problem: " + row0 + "C00000002.png: empty tile file"), std::string::npos) << run.Out;
}

// ---- coverage ----

TEST_F(CliTest, CoverageDrawsOnePixelBlockPerTile) {
    const std::string c = Path("c");
    ASSERT_EQ(RunTvk({"create", c, "--crs", "EPSG:3857", "--levels", "0-3", "--layout", "original"}).Code, 0);
    WriteFile(Path("t.bin"), "tile");
    ASSERT_EQ(RunTvk({"put", c, "3", "2", "5", Path("t.bin")}).Code, 0);
    ASSERT_EQ(RunTvk({"put", c, "3", "7", "0", Path("t.bin")}).Code, 0);
    const tagRun run = RunTvk({"coverage", c, "3", "-o", Path("cov.png")});
    ASSERT_EQ(run.Code, 0) << run.Err;
    // 8 x 8 tiles scaled up to 512 pixels: 64 pixels per tile.
    const tagPng png = ReadPng(Path("cov.png"));
    ASSERT_TRUE(png.Ok);
    EXPECT_EQ(png.Width, 512u);
    EXPECT_EQ(png.Height, 512u);
    for (int row = 0; row < 8; ++row) {
        for (int col = 0; col < 8; ++col) {
            const bool stored = (row == 2 && col == 5) || (row == 7 && col == 0);
            EXPECT_EQ(Dark(png, col * 64 + 32, row * 64 + 32), stored) << row << " " << col;
            EXPECT_EQ(Dark(png, col * 64, row * 64 + 63), stored) << row << " " << col;  // block corners
        }
    }

    // A geographic grid is two 180-degree tiles wide at level 0, over the
    // full extent whatever --bounds restricts the cache to.
    ASSERT_EQ(RunTvk({"create", Path("geo"), "--crs", "EPSG:4326", "--levels", "0-1", "--bounds", "0,0,10,10"}).Code, 0);
    const nlohmann::json doc = nlohmann::json::parse(RunTvk({"info", Path("geo"), "--json"}).Out);
    EXPECT_NEAR(doc["levels"][0]["resolution"].get<double>(), 180.0 / 256, 180.0 / 256 * 1e-8);
    EXPECT_DOUBLE_EQ(doc["bounds"]["right"].get<double>(), 10.0);
    EXPECT_DOUBLE_EQ(doc["indexBounds"]["right"].get<double>(), 180.0);
    ASSERT_EQ(RunTvk({"coverage", Path("geo"), "0", "-o", Path("geo.png")}).Code, 0);
    const tagPng geo = ReadPng(Path("geo.png"));
    ASSERT_TRUE(geo.Ok);
    EXPECT_EQ(geo.Width, 512u);
    EXPECT_EQ(geo.Height, 256u);
    EXPECT_FALSE(Dark(geo, 10, 10));
}
