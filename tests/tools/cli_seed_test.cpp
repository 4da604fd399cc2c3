// tvk seed driven as a user would, against loopback servers started by the
// test: a server that misbehaves in every way a tile server can, a server of
// a source cache behind XYZ, WMTS and ArcGIS REST addresses, and runs
// interrupted by SIGINT and SIGKILL. What lands in the cache is read back
// through the library.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "cli_runner.h"
#include "eTileSeeder.h"
#include "platform/eFile.h"
#include "support/http_test_server.h"
#include "support/seed_support.h"
#include "support/test_processes.h"

using namespace tvktest;

namespace {

using Clock = std::chrono::steady_clock;

// A cache folder made by `tvk create`, or a single file.
std::unique_ptr<eTileStorage> OpenStorage(const std::string& cache) {
    auto storage = std::make_unique<eTileStorage>();
    if (eFile::IsDirectory(cache.c_str()))
        EXPECT_TRUE(storage->FromConfigFile((cache + "/tilecache.xml").c_str())) << cache;
    else
        EXPECT_TRUE(storage->FromTileFile(cache.c_str())) << cache;
    return storage;
}

std::string TileOf(eTileStorage& storage, int level, int row, int col) {
    eByteArray data;
    if (!storage.LoadImageData(level, row, col, data)) return std::string();
    return std::string(reinterpret_cast<const char*>(data.GetData()), data.GetSize());
}

// "stored 3 tiles (...), skipped 1 existing, 2 empty, 4 failed, ..." into its numbers.
struct tagSummary {
    long long Stored = -1, Bytes = -1, Skipped = -1, Empty = -1, Failed = -1;
};
tagSummary Summary(const std::string& out) {
    tagSummary s;
    const size_t at = out.find("stored ");
    if (at != std::string::npos)
        std::sscanf(
            out.c_str() + at,
            "stored %lld tiles (%lld bytes), skipped %lld existing, %lld empty, %lld failed",
            &s.Stored, &s.Bytes, &s.Skipped, &s.Empty, &s.Failed);
    return s;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace

TEST_F(CliTest, SeedUsageErrorsExitTwo) {
    const std::string c = Path("c");
    ASSERT_EQ(RunTvk({"create", c, "--crs", "EPSG:3857", "--levels", "0-3"}).Code, 0);
    WriteText(Path("line.json"), R"({"type":"LineString","coordinates":[[0,0],[1,1]]})");
    const std::string url = "http://127.0.0.1:1/{z}/{x}/{y}.png";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"seed", c, url},  // no --levels
             {"seed", c, url, "--levels", "3-1"},
             {"seed", c, url, "--levels", "1", "--bbox", "0,0,1,1", "--polygon", Path("p.json")},
             {"seed", c, url, "--levels", "1", "--concurrency", "0"},
             {"seed", c, url, "--levels", "1", "-H", "no colon"},
             {"seed", c, url, "--levels", "1", "--source-type", "wms"},
             {"seed", c, "http://h/{z}/{t}/{y}.png", "--levels", "1"},
             {"seed", c, url, "--levels", "1", "--polygon", Path("line.json")},
         }) {
        const tagRun run = RunTvk(args);
        EXPECT_TRUE(run.Code == 2 && !run.Err.empty()) << args.back() << ": " << run.Err;
    }
    EXPECT_EQ(RunTvk({"seed", Path("nowhere"), url, "--levels", "1"}).Code, 1);
    // Nothing listens on port 1: the tiles fail, the tool says why.
    const tagRun refused =
        RunTvk({"seed", c, url, "--levels", "1", "--retries", "0", "--failed", Path("f.txt")});
    EXPECT_EQ(refused.Code, 1);
    EXPECT_NE(refused.Err.find("cannot connect"), std::string::npos) << refused.Err;
    EXPECT_EQ(Lines(ReadText(Path("f.txt"))).size(), 4u);
}

// Every fault of the faulty server at once: the summary counts what
// happened, the failed tiles are listed, bad bodies are never stored, each
// tile is asked for at most 1 + --retries times, Retry-After is waited out;
// once the server heals, the list of failed tiles and then the same command
// again complete the cache with exit 0.
TEST_F(CliTest, SeedFromAFaultyServerCountsRetriesAndHealsOnTheNextRun) {
    const std::string c = Path("c");
    ASSERT_EQ(RunTvk({"create", c, "--crs", "EPSG:3857", "--levels", "0-4"}).Code, 0);
    eFaultyTiles tiles;
    eHttpTestServer server([&](const tagHttpRequest& r) { return tiles.Answer(r); });
    const std::vector<std::string> seed = {"seed",
                                           c,
                                           server.Url() + "/t/{z}/{x}/{y}.png",
                                           "--levels",
                                           "0-4",
                                           "--retries",
                                           "2",
                                           "--retry-delay",
                                           "0.01",
                                           "--timeout",
                                           "1",
                                           "--user-agent",
                                           "seed-test/1",
                                           "-H",
                                           "X-Key: k1"};
    std::vector<std::string> first = seed;
    first.insert(first.end(), {"--failed", Path("failed.txt")});
    const tagRun run = RunTvk(first);
    EXPECT_EQ(run.Code, 1) << run.Err;

    long long good = 0, missing = 0;
    std::set<std::string> failing;
    for (int z = 0; z <= 4; ++z) {
        for (int row = 0; row < (1 << z); ++row) {
            for (int col = 0; col < (1 << z); ++col) {
                const EmFault f = FaultOf(z, row, col);
                if (f == EmFault::Always500 || f == EmFault::Jpeg)
                    failing.insert(std::to_string(z) + " " + std::to_string(row) + " " +
                                   std::to_string(col));
                else if (f == EmFault::Missing)
                    ++missing;
                else
                    ++good;
            }
        }
    }
    const tagSummary s = Summary(run.Out);
    EXPECT_TRUE(s.Stored == good && s.Empty == missing && s.Skipped == 0 &&
                s.Failed == static_cast<long long>(failing.size()))
        << run.Out;
    EXPECT_NE(run.Err.find("HTTP 500: "), std::string::npos) << run.Err;
    const std::vector<std::string> listed = Lines(ReadText(Path("failed.txt")));
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), failing);

    {
        auto storage = OpenStorage(c);
        for (int z = 0; z <= 4; ++z)
            for (int row = 0; row < (1 << z); ++row)
                for (int col = 0; col < (1 << z); ++col) {
                    const EmFault f = FaultOf(z, row, col);
                    const bool wanted =
                        f != EmFault::Missing && f != EmFault::Always500 && f != EmFault::Jpeg;
                    EXPECT_EQ(TileOf(*storage, z, row, col), wanted ? PngTile(z, row, col) : "")
                        << z << "/" << row << "/" << col;
                }
    }

    const std::vector<tagHttpLogEntry> log = server.Log();
    std::map<std::string, std::vector<Clock::time_point>> byTile;
    for (const tagHttpLogEntry& e : log) {
        byTile[e.Target].push_back(e.When);
        EXPECT_TRUE(e.UserAgent == "seed-test/1" && e.Headers.at("x-key") == "k1");
    }
    int waited = 0;
    for (const auto& t : byTile) {
        int z = 0, row = 0, col = 0;
        ASSERT_TRUE(ParseTileTarget(t.first, z, row, col));
        const EmFault f = FaultOf(z, row, col);
        EXPECT_EQ(t.second.size(), RequestsFor(f)) << t.first;
        if ((f == EmFault::Busy429Once || f == EmFault::Busy503Once) && t.second.size() == 2) {
            ++waited;
            EXPECT_GE(t.second[1] - t.second[0], std::chrono::milliseconds(990)) << t.first;
        }
    }
    EXPECT_GT(waited, 1);

    // Healed: the failed list first, then the whole command.
    tiles.Healed = true;
    size_t before = server.RequestCount();
    std::vector<std::string> retry = seed;
    retry.insert(retry.end(), {"--tiles", Path("failed.txt")});
    retry.erase(retry.begin() + 3, retry.begin() + 5);  // no --levels: the list's own
    const tagRun again = RunTvk(retry);
    EXPECT_EQ(again.Code, 0) << again.Err;
    EXPECT_EQ(Summary(again.Out).Stored, static_cast<long long>(failing.size())) << again.Out;
    EXPECT_EQ(server.RequestCount() - before, failing.size());

    before = server.RequestCount();
    const tagRun last = RunTvk(seed);
    EXPECT_EQ(last.Code, 0) << last.Err;
    const tagSummary l = Summary(last.Out);
    EXPECT_TRUE(l.Stored == missing && l.Skipped == good + static_cast<long long>(failing.size()) &&
                l.Failed == 0)
        << last.Out;
    EXPECT_EQ(server.RequestCount() - before, static_cast<size_t>(missing));
}

// A seed stopped by SIGINT (cleanly, exit 130) or SIGKILL (anywhere) and run
// again ends with every tile stored, byte for byte, and a cache that verifies.
TEST_F(CliTest, SeedInterruptedBySigintOrSigkillResumesToAVerifiedCache) {
    eFaultyTiles tiles;
    tiles.Healed = true;
    tiles.DelayMs = 2;
    eHttpTestServer server([&](const tagHttpRequest& r) { return tiles.Answer(r); });
    int round = 0;
    for (const auto& [signal, layout] : std::vector<std::pair<int, std::string>>{
             {SIGINT, "compact"}, {SIGKILL, "compact-v2"}, {SIGKILL, "original"}}) {
        const std::string c = Path("c" + std::to_string(round++));
        ASSERT_EQ(
            RunTvk({"create", c, "--crs", "EPSG:3857", "--levels", "0-5", "--layout", layout}).Code,
            0);
        const std::vector<std::string> seed = {
            "seed", c, server.Url() + "/t/{z}/{x}/{y}.png", "--levels", "5", "--concurrency", "4"};
        const size_t start = server.RequestCount();
        const pid_t pid = StartTvk(seed, Path("out"));
        ASSERT_GT(pid, 0);
        const Clock::time_point limit = Clock::now() + std::chrono::seconds(20);
        while (server.RequestCount() < start + 200 && Clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (signal == SIGINT) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
            const tagSummary s = Summary(ReadText(Path("out")));
            EXPECT_TRUE(s.Stored >= 150 && s.Stored < 1024) << ReadText(Path("out"));
        } else {
            EXPECT_TRUE(WIFSIGNALED(status)) << layout;
        }
        const tagRun resumed = RunTvk(seed);
        EXPECT_EQ(resumed.Code, 0) << layout << ": " << resumed.Err;
        EXPECT_GT(Summary(resumed.Out).Skipped, 100) << resumed.Out;
        auto storage = OpenStorage(c);
        for (int row = 0; row < 32; ++row)
            for (int col = 0; col < 32; ++col)
                ASSERT_EQ(TileOf(*storage, 5, row, col), PngTile(5, row, col))
                    << layout << " " << row << "/" << col;
        const tagRun verify = RunTvk({"verify", c});
        EXPECT_EQ(verify.Code, 0) << layout << ": " << verify.Out << verify.Err;
    }
}

namespace {

// The three addresses a tile server gives one cache: XYZ tiles, WMTS
// capabilities and an ArcGIS REST MapServer.
struct tagSourceUrls {
    std::string Xyz, Wmts, ArcGIS;
};

// The round trip's source: Web Mercator levels 0-3 of PNG tiles, every
// fifth address left empty (404 at the source).
void MakeSourceCache(const std::string& src) {
    ASSERT_EQ(RunTvk({"create", src, "--crs", "EPSG:3857", "--levels", "0-3"}).Code, 0);
    auto storage = OpenStorage(src);
    for (int z = 0; z <= 3; ++z)
        for (int row = 0; row < (1 << z); ++row)
            for (int col = 0; col < (1 << z); ++col) {
                if ((row * 7 + col * 3 + z) % 5 == 0) continue;
                const std::string tile = PngTile(z, row, col);
                ASSERT_TRUE(storage->SaveImageData(
                    z, row, col, reinterpret_cast<const unsigned char*>(tile.data()),
                    static_cast<unsigned>(tile.size())));
            }
}

// Seeds a cache of each layout from one of the source's three addresses in
// turn (below work; where the tiles come from and where they go do not
// meet in the seeder, so each layout and each address once is enough) and
// expects it equal to src tile for tile: the same `tvk ls` and the same bytes.
void ExpectRoundTrip(const std::string& src, const tagSourceUrls& urls, const std::string& work) {
    auto source = OpenStorage(src);
    const tagRun listed = RunTvk({"ls", src});
    ASSERT_EQ(listed.Code, 0);
    const std::vector<std::string> want = Lines(listed.Out);
    ASSERT_GT(want.size(), 50u);
    // A layout starting with "." is a single file of that kind.
    const std::vector<std::pair<std::string, std::string>> runs = {
        {"original", urls.Xyz},        {"compact", urls.Wmts},    {"compact-v2", urls.ArcGIS},
        {"arcgis-exploded", urls.Xyz}, {"original", urls.ArcGIS}, {"compact-v2", urls.Wmts},
        {".mbtiles", urls.ArcGIS},     {".gpkg", urls.Xyz}};
    int n = 0;
    for (const auto& [layout, url] : runs) {
        const bool single = layout[0] == '.';
        const std::string dst = work + "/dst" + std::to_string(n++) + (single ? layout : "");
        std::vector<std::string> create = {"create", dst, "--crs", "EPSG:3857", "--levels", "0-3"};
        if (!single) create.insert(create.end(), {"--layout", layout});
        ASSERT_EQ(RunTvk(create).Code, 0) << layout;
        const tagRun run = RunTvk({"seed", dst, url, "--levels", "0-3"});
        ASSERT_EQ(run.Code, 0) << layout << " " << url << ": " << run.Err;
        const tagRun ls = RunTvk({"ls", dst});
        EXPECT_EQ(Lines(ls.Out), want) << layout << " " << url;
        auto copy = OpenStorage(dst);
        for (int z = 0; z <= 3; ++z)
            for (int row = 0; row < (1 << z); ++row)
                for (int col = 0; col < (1 << z); ++col)
                    ASSERT_EQ(TileOf(*copy, z, row, col), TileOf(*source, z, row, col))
                        << layout << " " << url << " " << z << "/" << row << "/" << col;
    }
}

}  // namespace

// A cache seeded from `tvk serve` of another equals it, through each of the
// server's three service kinds and into every layout. (Hand-written
// capabilities and service descriptions of other servers are read in the
// seeder's own tests.)
TEST_F(CliTest, SeedRoundTripFromTvkServe) {
    ASSERT_NO_FATAL_FAILURE(MakeSourceCache(Path("src")));
    const int port = FreeLoopbackPort();
    ChildProcess serve(
        {TvkPath(), "serve", Path("src"), "--name", "src", "--port", std::to_string(port)},
        Path("serve.log"));
    ASSERT_TRUE(serve.Started() && WaitForPort(port));
    const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/src";
    ExpectRoundTrip(
        Path("src"),
        {base + "/{z}/{x}/{y}.png", base + "/wmts/1.0.0/WMTSCapabilities.xml", base + "/MapServer"},
        m_dir.Str());
}

// GeoJSON polygons (a hole, a multipolygon, features) on a geographic cache,
// where degrees are map units: the dry run counts exactly the tiles whose
// area shared with a polygon is above zero.
TEST_F(CliTest, SeedPolygonFromGeoJsonCountsTheTilesItOverlaps) {
    const std::string g = Path("g");
    ASSERT_EQ(RunTvk({"create", g, "--crs", "EPSG:4326", "--levels", "0-6"}).Code, 0);
    using tagPolygon = std::vector<std::vector<ePoint2D>>;
    const std::vector<tagPolygon> polygons = {
        {{{-20, -10}, {40, -12}, {35, 50}, {5, 20}, {-18, 55}}, {{0, 0}, {20, 0}, {15, 10}}},
        {{{90, 0}, {112.5, 0}, {112.5, 22.5}}},  // edges on tile boundaries
        {{{-170, -80}, {-120, -80}, {-120, -60}, {-170, -60}}},
    };
    const auto ring = [](const std::vector<ePoint2D>& r) {
        std::string text = "[";
        for (size_t i = 0; i <= r.size(); ++i) {
            const ePoint2D& p = r[i % r.size()];
            text += (i ? "," : "") + std::string("[") + std::to_string(p.x) + "," +
                    std::to_string(p.y) + "]";
        }
        return text + "]";
    };
    const std::string json =
        R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{},)"
        R"("geometry":{"type":"Polygon","coordinates":[)" +
        ring(polygons[0][0]) + "," + ring(polygons[0][1]) +
        R"(]}},{"type":"Feature","properties":null,"geometry":{"type":"MultiPolygon",)"
        R"("coordinates":[[)" +
        ring(polygons[1][0]) + "],[" + ring(polygons[2][0]) + "]]}}]}";
    WriteText(Path("area.geojson"), json);
    const tagRun run = RunTvk({"seed", g, "http://127.0.0.1:1/{z}/{x}/{y}.png", "--levels", "0-6",
                               "--polygon", Path("area.geojson"), "--dry-run"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    long long total = 0;
    for (int z = 0; z <= 6; ++z) {
        const double side = 180.0 / (1 << z);
        long long expected = 0;
        for (int row = 0; row < (1 << z); ++row)
            for (int col = 0; col < (2 << z); ++col) {
                const eRect2D tile(-180 + col * side, 90 - row * side, -180 + (col + 1) * side,
                                   90 - (row + 1) * side);
                for (const tagPolygon& p : polygons)
                    if (SharedArea(p, tile) > 1e-9 * side * side) {
                        ++expected;
                        break;
                    }
            }
        total += expected;
        const std::string line =
            "level " + std::to_string(z) + ": " + std::to_string(expected) + " tiles\n";
        EXPECT_NE(run.Out.find(line), std::string::npos) << line << run.Out;
    }
    EXPECT_NE(run.Out.find("total: " + std::to_string(total) + " tiles"), std::string::npos);
}

// Requests keep to --rate in every second of the run; the default
// User-Agent names the tool.
TEST_F(CliTest, SeedKeepsToTheRate) {
    const std::string c = Path("c");
    ASSERT_EQ(RunTvk({"create", c, "--crs", "EPSG:3857", "--levels", "0-3"}).Code, 0);
    eFaultyTiles tiles;
    tiles.Healed = true;
    eHttpTestServer server([&](const tagHttpRequest& r) { return tiles.Answer(r); });
    const tagRun run =
        RunTvk({"seed", c, server.Url() + "/t/{z}/{x}/{y}.png", "--levels", "0-3", "--rate", "40"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    const std::vector<tagHttpLogEntry> log = server.Log();
    ASSERT_EQ(log.size(), 85u);
    for (size_t i = 0; i < log.size(); ++i) {
        size_t inSecond = 0;
        for (size_t j = i; j < log.size() && log[j].When - log[i].When < std::chrono::seconds(1);
             ++j)
            ++inSecond;
        // Requests leave at the rate; the way to the server adds jitter,
        // so a second may see a request or two more. Unlimited, all 85
        // would arrive within a fraction of a second.
        EXPECT_LE(inSecond, 44u) << i;
    }
    EXPECT_EQ(log[0].UserAgent.rfind("tvk/", 0), 0u) << log[0].UserAgent;
}
