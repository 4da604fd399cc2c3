// MBTiles and GeoPackage files through the tool: created by `create` and by
// `copy` into a new file, converted both ways byte for byte, a copy killed
// part-way and resumed, single tiles, refusals, and GDAL's view of the files.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <sstream>
#include <tuple>

#include <tvk.h>

#include "cli_runner.h"

using namespace tvktest;

// compact -> new MBTiles -> new GeoPackage -> compact, every tile arriving
// byte for byte and every file listing and verifying alike.
TEST_F(CliTest, SingleFilesConvertBothWaysByteForByte) {
    const std::string src = Path("src"), mbtiles = Path("world.mbtiles"), gpkg = Path("map.gpkg"),
                      back = Path("back");
    ASSERT_EQ(Create(src, "0-3").Code, 0);
    ASSERT_EQ(Create(back, "0-3").Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", src, "--levels", "0-3"}).Code, 0);  // 85 tiles
    const std::vector<std::string> listing = SortedLines(RunTvk({"ls", src}).Out);
    const std::vector<std::pair<std::string, std::string>> steps = {
        {src, mbtiles}, {mbtiles, gpkg}, {gpkg, back}};
    for (const auto& [from, to] : steps) {
        SCOPED_TRACE(to);
        const tagRun run = RunTvk({"copy", from, to});
        ASSERT_EQ(run.Code, 0) << run.Err;
        EXPECT_EQ(run.Out.find("copied 85 tiles"), 0u) << run.Out;
        EXPECT_EQ(SortedLines(RunTvk({"ls", to}).Out), listing);
        const tagRun verify = RunTvk({"verify", to});
        EXPECT_TRUE(verify.Code == 0 && verify.Out.find("85 tiles") != std::string::npos &&
                    verify.Out.find("0 warnings") != std::string::npos)
            << verify.Out;
    }
    EXPECT_EQ(nlohmann::json::parse(RunTvk({"info", mbtiles, "--json"}).Out)["layout"], "mbtiles");
    EXPECT_EQ(nlohmann::json::parse(RunTvk({"info", gpkg, "--json"}).Out)["layout"], "geopackage");
    const Tiles tiles = AllTiles(src, 4);
    EXPECT_TRUE(tiles.size() == 85u && AllTiles(mbtiles, 4) == tiles &&
                AllTiles(gpkg, 4) == tiles && AllTiles(back, 4) == tiles);

    // Nothing left to do on a second run; a second tile table of the same
    // GeoPackage, by name.
    const tagRun again = RunTvk({"copy", src, mbtiles, "--skip-existing"});
    EXPECT_TRUE(again.Code == 0 && again.Out.find("copied 0 tiles") == 0 &&
                again.Out.find("skipped 85 existing") != std::string::npos)
        << again.Out;
    const tagRun second = RunTvk({"copy", src, gpkg + "?table=second", "--levels", "0-1"});
    ASSERT_EQ(second.Code, 0) << second.Err;
    EXPECT_EQ(RunTvk({"verify", gpkg + "?table=second"}).Out.find(gpkg + "?table=second: 5 tiles"),
              0u);
}

// A copy into a new MBTiles file killed while it waits for the source's 41st
// tile (a FIFO): whatever it had not committed is gone, the file is sound,
// and a second run with --skip-existing completes it.
TEST_F(CliTest, CopyIntoMBTilesKilledPartWayResumes) {
    const std::string src = Path("src"), dst = Path("out.mbtiles");
    ASSERT_EQ(Create(src, "0-3", {"--layout", "original"}).Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", src, "--levels", "0-3"}).Code, 0);
    const Tiles expected = AllTiles(src, 4);
    fs::path blocker;
    for (const auto& entry : fs::recursive_directory_iterator(src + "/_alllayers"))
        if (entry.path().filename() == "2x3.epng") blocker = entry.path();
    ASSERT_FALSE(blocker.empty());
    fs::remove(blocker);
    ASSERT_EQ(mkfifo(blocker.c_str(), 0644), 0);

    const pid_t pid = StartTvk({"copy", src, dst}, Path("copy.out"));
    ASSERT_GT(pid, 0);
    // Opening the FIFO for writing returns once the copy has opened it to read.
    const int fifo = ::open(blocker.c_str(), O_WRONLY);
    ASSERT_GE(fifo, 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_TRUE(waitpid(pid, &status, 0) == pid && WIFSIGNALED(status));
    ::close(fifo);

    EXPECT_LT(AllTiles(dst, 4).size(), 41u);
    EXPECT_EQ(RunTvk({"verify", dst}).Code, 0);
    fs::remove(blocker);
    WriteText(blocker, expected.at({3, 2, 3}));
    const tagRun resume = RunTvk({"copy", src, dst, "--skip-existing"});
    ASSERT_EQ(resume.Code, 0) << resume.Err;
    EXPECT_TRUE(AllTiles(dst, 4) == expected && expected.size() == 85u);
}

TEST_F(CliTest, SingleTilesAndRefusalsOfSingleFiles) {
    const std::string file = Path("t.mbtiles");
    const tagRun created = Create(file, "0-5", {"--tile-type", "jpg"});
    ASSERT_EQ(created.Code, 0) << created.Err;
    WriteText(Path("a.bin"), "first");
    WriteText(Path("b.bin"), "second");
    EXPECT_EQ(RunTvk({"put", file, "4", "3", "9", Path("a.bin")}).Code, 0);
    EXPECT_EQ(RunTvk({"put", file, "4", "3", "9", Path("b.bin")}).Code, 1);  // no --replace
    EXPECT_EQ(RunTvk({"put", file, "4", "3", "9", Path("b.bin"), "--replace"}).Code, 0);
    EXPECT_EQ(RunTvk({"get", file, "4", "3", "9"}).Out, "second");
    EXPECT_EQ(RunTvk({"ls", file}).Out, "4 3 9 6\n");
    EXPECT_EQ(RunTvk({"rm", file, "4", "3", "9"}).Code, 0);
    EXPECT_EQ(RunTvk({"get", file, "4", "3", "9"}).Code, 1);
    EXPECT_NE(RunTvk({"info", file}).Out.find("jpg tiles"), std::string::npos);

    // MBTiles holds the Web Mercator grid only: neither created nor copied into
    // for another system, and no file is left behind.
    const tagRun geographic = RunTvk({"create", Path("g.mbtiles"), "--crs", "EPSG:4326"});
    EXPECT_TRUE(geographic.Code == 2 && geographic.Err.find("Web Mercator") != std::string::npos)
        << geographic.Err;
    ASSERT_EQ(Create(Path("geo"), "0-2", {}, "EPSG:4326").Code, 0);
    const tagRun copy = RunTvk({"copy", Path("geo"), Path("g.mbtiles")});
    EXPECT_TRUE(copy.Code == 1 && copy.Err.find("Web Mercator") != std::string::npos) << copy.Err;
    EXPECT_FALSE(fs::exists(Path("g.mbtiles")));
    // ...while a GeoPackage takes it; the file is not overwritten by a second create.
    EXPECT_EQ(RunTvk({"copy", Path("geo"), Path("g.gpkg")}).Code, 0);
    EXPECT_EQ(RunTvk({"create", file, "--crs", "EPSG:3857"}).Code, 1);
    EXPECT_EQ(RunTvk({"create", Path("x.gpkg"), "--crs", "EPSG:3857", "--arcgis"}).Code, 2);
    EXPECT_EQ(RunTvk({"info", Path("none.gpkg")}).Code, 1);
}

// GDAL renders the same mosaic from an ArcGIS V2 cache and from the MBTiles
// and GeoPackage files copied from it: size, overviews and every checksum.
TEST_F(CliTest, GdalSeesTheSameMosaicInCopiedFiles) {
    if (std::system("command -v gdalinfo > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "gdalinfo not installed";
    const std::string src = Path("arcgis");
    ASSERT_EQ(Create(src, "0-3", {"--arcgis", "--layout", "compact-v2"}).Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", src, "--levels", "0-3"}).Code, 0);
    auto mosaic = [&](const std::string& path) {
        const std::string out = Path("gdalinfo.txt");
        (void)std::system(("gdalinfo -checksum '" + path + "' > '" + out + "' 2>&1").c_str());
        std::vector<std::string> lines;
        std::istringstream in(ReadText(out));
        for (std::string line; std::getline(in, line);) {
            if (line.find("Size is") == 0 || line.find("Checksum=") != std::string::npos ||
                line.find("Overviews") != std::string::npos)
                lines.push_back(line);
        }
        return lines;
    };
    const auto expected = mosaic(src + "/conf.xml");
    ASSERT_GE(expected.size(), 10u);
    EXPECT_EQ(expected[0], "Size is 2048, 2048");
    for (const char* file : {"world.mbtiles", "world.gpkg"}) {
        ASSERT_EQ(RunTvk({"copy", src, Path(file)}).Code, 0);
        EXPECT_EQ(mosaic(Path(file)), expected) << file;
    }
}
