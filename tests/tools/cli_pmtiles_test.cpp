// PMTiles through the tool: a copy into a new archive, the archive read,
// listed and verified like any cache, its refusals, and the same over HTTP.
#include <algorithm>
#include <filesystem>

#include "cli_runner.h"
#include "support/test_processes.h"

using namespace tvktest;

TEST_F(CliTest, PMTilesCopiedInReadListedVerifiedAndServedOverHttp) {
    const std::string src = Path("src"), archive = Path("www/world.pmtiles");
    ASSERT_EQ(Create(src, "0-2").Code, 0);
    ASSERT_EQ(RunTvk({"demo-fill", src, "--levels", "0-2"}).Code, 0);  // 21 tiles
    const tagRun copy = RunTvk({"copy", src, archive});
    ASSERT_EQ(copy.Code, 0) << copy.Err;
    EXPECT_NE(copy.Out.find("copied 21 tiles"), std::string::npos);

    const tagRun info = RunTvk({"info", archive});
    EXPECT_EQ(info.Code, 0);
    EXPECT_NE(info.Out.find("Layout:        pmtiles"), std::string::npos) << info.Out;
    const std::vector<std::string> tiles = SortedLines(RunTvk({"ls", src}).Out);
    EXPECT_EQ(tiles.size(), 21u);
    EXPECT_EQ(SortedLines(RunTvk({"ls", archive}).Out), tiles);
    EXPECT_EQ(RunTvk({"get", archive, "2", "3", "2"}).Out, RunTvk({"get", src, "2", "3", "2"}).Out);
    const tagRun verify = RunTvk({"verify", archive});
    EXPECT_EQ(verify.Code, 0) << verify.Out << verify.Err;

    // Written once: no single tiles, no second copy into it, no `create`.
    const std::string tile = Path("tile.png");
    ASSERT_EQ(RunTvk({"get", src, "1", "0", "0", "-o", tile}).Code, 0);
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"put", archive, "1", "0", "0", tile, "--replace"},
                                               {"rm", archive, "1", "0", "0"},
                                               {"copy", src, archive}}) {
        const tagRun refused = RunTvk(args);
        EXPECT_EQ(refused.Code, 1) << args[0];
        EXPECT_NE(refused.Err.find("written once"), std::string::npos) << refused.Err;
    }
    const tagRun create = RunTvk({"create", Path("new.pmtiles"), "--crs", "EPSG:3857"});
    EXPECT_EQ(create.Code, 2);
    EXPECT_NE(create.Err.find("tvk copy"), std::string::npos);
    // Only the Web Mercator grid, and nothing left behind when refused.
    const std::string geo = Path("geo");
    ASSERT_EQ(Create(geo, "0-1", {}, "EPSG:4326").Code, 0);
    const tagRun other = RunTvk({"copy", geo, Path("geo.pmtiles")});
    EXPECT_EQ(other.Code, 1);
    EXPECT_NE(other.Err.find("only the Web Mercator grid"), std::string::npos) << other.Err;
    EXPECT_FALSE(std::filesystem::exists(Path("geo.pmtiles")));

    // A damaged archive fails verify with the reason.
    const std::string cut = Path("cut.pmtiles");
    std::filesystem::copy_file(archive, cut);
    std::filesystem::resize_file(cut, std::filesystem::file_size(cut) - 100);
    const tagRun damaged = RunTvk({"verify", cut});
    EXPECT_EQ(damaged.Code, 1);
    EXPECT_NE((damaged.Out + damaged.Err).find("past the end of the file"), std::string::npos)
        << damaged.Out << damaged.Err;

    // Over HTTP: info, ls, get, verify and a copy back into a folder cache.
    ASSERT_TRUE(HaveNginx()) << "nginx is not installed (scripts/deps installs it)";
    Nginx nginx(m_dir);
    ASSERT_TRUE(nginx.Up()) << nginx.Log();
    const std::string url = nginx.Url("world.pmtiles");
    EXPECT_EQ(RunTvk({"info", url}).Code, 0);
    EXPECT_EQ(SortedLines(RunTvk({"ls", url}).Out), tiles);
    EXPECT_EQ(RunTvk({"get", url, "2", "3", "1"}).Out, RunTvk({"get", src, "2", "3", "1"}).Out);
    EXPECT_EQ(RunTvk({"verify", url}).Code, 0);
    const std::string back = Path("back");
    ASSERT_EQ(Create(back, "0-2", {"--layout", "compact-v2"}).Code, 0);
    const tagRun down = RunTvk({"copy", url, back});
    EXPECT_EQ(down.Code, 0) << down.Err;
    EXPECT_EQ(SortedLines(RunTvk({"ls", back}).Out), tiles);
    EXPECT_EQ(RunTvk({"get", back, "2", "1", "3"}).Out, RunTvk({"get", src, "2", "1", "3"}).Out);
    EXPECT_EQ(RunTvk({"info", nginx.Url("nothing.pmtiles")}).Code, 1);
}
