// copy (including a copy killed part-way and resumed), verify on damaged
// caches, and coverage pictures read back with libpng.
#include <png.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

TEST_F(CliTest, VerifyFindsEmptyTileFilesAndWarnsOfLeftovers) {
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

    // A geographic grid is two tiles wide at level 0.
    ASSERT_EQ(RunTvk({"create", Path("geo"), "--crs", "EPSG:4326", "--levels", "0-1"}).Code, 0);
    ASSERT_EQ(RunTvk({"coverage", Path("geo"), "0", "-o", Path("geo.png")}).Code, 0);
    const tagPng geo = ReadPng(Path("geo.png"));
    ASSERT_TRUE(geo.Ok);
    EXPECT_EQ(geo.Width, 512u);
    EXPECT_EQ(geo.Height, 256u);
    EXPECT_FALSE(Dark(geo, 10, 10));
}
