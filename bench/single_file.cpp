// Single-file caches against Compact V2: `tvk copy` of 262,144 tiles of
// 2,000 bytes (zoom 9 of the Web Mercator grid, all of it) from a Compact V1
// cache into each destination, then random single-tile loads from each on
// one thread. Summary prints every figure and its ratio to Compact V2, with
// the targets: copies into MBTiles and GeoPackage within 1.5x of Compact
// V2's time and into PMTiles (which sorts and deduplicates) within 2x; loads
// from the databases at 100,000 tiles per second or more.
//
// The source (about 530 MB) and the copies are made below the temporary
// folder and removed at the end. Copies run the real tool as a child
// process, timed from start to exit; each copy is checked to hold every tile
// before its time counts. A destination is one line of kTargets.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "eTileListing.h"
#include "eTileStorage.h"
#include "platform/eFile.h"

using namespace TVK;
namespace fs = std::filesystem;

namespace {

constexpr int kLevel = 9;  // 512 x 512 tiles
constexpr int kSide = 1 << kLevel;
constexpr int kTiles = kSide * kSide;
constexpr int kTileSize = 2000;
constexpr int kLoads = 200000;

// Destinations: the name in the summary, the cache's name below the bench
// folder, whether it is a folder `tvk create` makes first (single files are
// made by the copy itself), the most its copy may take against Compact V2's,
// and whether its loads have a target.
struct tagTarget {
    const char* Name;
    const char* Cache;
    const char* CreateLayout;  // nullptr: made by `tvk copy`
    double CopyTarget;
    bool LoadTarget;
};
const tagTarget kTargets[] = {
    {"compact-v2", "v2", "compact-v2", 0.0, false},  // the baseline: first
    {"mbtiles", "world.mbtiles", nullptr, 1.5, true},
    {"geopackage", "world.gpkg", nullptr, 1.5, true},
    {"pmtiles", "world.pmtiles", nullptr, 2.0, false},
};

std::map<std::string, double> g_copySeconds;
std::map<std::string, double> g_loadsPerSecond;     // wall clock
std::map<std::string, double> g_loadsPerCpuSecond;  // this process's CPU time

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// The Compact V1 source, written once through the library.
struct Fixture {
    fs::path root;
    std::string source;

    Fixture() {
        root = fs::temp_directory_path() /
               ("tvk-bench-single-" + std::to_string(std::random_device{}()));
        source = (root / "src").string();
        fs::create_directories(source);
        const std::string create = std::string(TVK_CLI_PATH) + " create " + Quote(source) +
                                   " --crs EPSG:3857 --levels 0-9 --layout compact > /dev/null";
        if (std::system(create.c_str()) != 0)
            std::fprintf(stderr, "setup: create failed\n"), std::abort();
        eTileStorage storage;
        if (!storage.FromConfigFile((source + "/tilecache.xml").c_str()))
            std::fprintf(stderr, "setup: cannot open the source\n"), std::abort();
        // Every tile differs (its number in its first bytes), so nothing
        // deduplicates; the rest is the same noise.
        std::vector<unsigned char> tile(kTileSize);
        std::mt19937 random(7);
        for (auto& b : tile) b = static_cast<unsigned char>(random());
        for (int i = 0; i < kTiles; ++i) {
            std::memcpy(tile.data(), &i, sizeof(i));
            if (!storage.SaveImageData(kLevel, i / kSide, i % kSide, tile.data(), kTileSize))
                std::fprintf(stderr, "setup: save %d failed\n", i), std::abort();
        }
        storage.ReleaseHandles();
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::string Path(const tagTarget& target) const { return (root / target.Cache).string(); }
};

Fixture& TheFixture() {
    static Fixture fixture;
    return fixture;
}

bool OpenCache(const std::string& path, eTileStorage& storage) {
    return fs::is_directory(path) ? storage.FromConfigFile((path + "/tilecache.xml").c_str()) != 0
                                  : storage.FromTileFile(path.c_str()) != 0;
}

void Copy(benchmark::State& state, const tagTarget& target) {
    Fixture& fixture = TheFixture();
    const std::string dst = fixture.Path(target);
    for (auto _ : state) {
        state.PauseTiming();
        std::error_code ec;
        fs::remove_all(dst, ec);
        if (target.CreateLayout != nullptr) {
            const std::string create = std::string(TVK_CLI_PATH) + " create " + Quote(dst) +
                                       " --crs EPSG:3857 --levels 0-9 --layout " +
                                       target.CreateLayout + " > /dev/null";
            if (std::system(create.c_str()) != 0) state.SkipWithError("tvk create failed");
        }
        const std::string copy = std::string(TVK_CLI_PATH) + " copy " + Quote(fixture.source) +
                                 " " + Quote(dst) + " > /dev/null";
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const int code = std::system(copy.c_str());
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.PauseTiming();
        // The time counts only for a complete copy.
        eTileStorage storage;
        int64_t tiles = 0;
        if (code == 0 && OpenCache(dst, storage)) {
            eTileListing listing(storage);
            tagStoredTile tile;
            while (listing.Next(tile)) tiles += tile.Size == kTileSize;
        }
        if (tiles != kTiles) {
            state.SkipWithError("the copy does not hold every tile");
        } else {
            g_copySeconds[target.Name] = seconds;
        }
        state.ResumeTiming();
    }
    state.counters["tiles/s"] = benchmark::Counter(kTiles, benchmark::Counter::kIsRate);
}

void Load(benchmark::State& state, const tagTarget& target) {
    eTileStorage storage;
    if (!OpenCache(TheFixture().Path(target), storage)) {
        state.SkipWithError("no copy to load from (run the copies first)");
        return;
    }
    std::mt19937 random(11);
    std::vector<std::pair<int, int>> addresses(kLoads);
    for (auto& a : addresses) a = {int(random() % kSide), int(random() % kSide)};
    eByteArray data;
    int64_t loaded = 0, bad = 0;
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    for (auto _ : state) {
        for (const auto& [row, col] : addresses) {
            const int number = row * kSide + col;  // what the tile's first bytes say
            const bool ok = storage.LoadImageData(kLevel, row, col, data) &&
                            data.GetSize() == kTileSize &&
                            std::memcmp(data.GetData(), &number, sizeof(number)) == 0;
            bad += ok ? 0 : 1;
        }
        loaded += kLoads;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    if (bad > 0) {
        state.SkipWithError("a load failed or returned another tile");
        return;
    }
    g_loadsPerSecond[target.Name] = loaded / seconds;
    g_loadsPerCpuSecond[target.Name] = cpuSeconds > 0 ? loaded / cpuSeconds : 0.0;
    state.SetItemsProcessed(loaded);
}

void Summary(benchmark::State& state) {
    for (auto _ : state) {}
    const double base = g_copySeconds[kTargets[0].Name];
    std::fprintf(stderr, "\n%d tiles of %d bytes, Compact V1 -> each (tvk copy):\n", kTiles,
                 kTileSize);
    for (const tagTarget& target : kTargets) {
        const double seconds = g_copySeconds[target.Name];
        const double ratio = base > 0 ? seconds / base : 0.0;
        std::fprintf(stderr, "  copy into %-11s %7.2f s  %9.0f tiles/s  %.2fx %s", target.Name,
                     seconds, seconds > 0 ? kTiles / seconds : 0.0, ratio, kTargets[0].Name);
        if (target.CopyTarget > 0)
            std::fprintf(stderr, "  (target %.1fx: %s)", target.CopyTarget,
                         ratio <= target.CopyTarget ? "met" : "MISSED");
        std::fprintf(stderr, "\n");
        state.counters[std::string("copy ratio ") + target.Name] = ratio;
    }
    // On a machine other work keeps busy the wall clock counts its time
    // too; the CPU figure is this thread's own cost.
    std::fprintf(stderr, "random single-tile loads, one thread (wall clock; per CPU second):\n");
    const double baseRate = g_loadsPerSecond[kTargets[0].Name];
    for (const tagTarget& target : kTargets) {
        const double rate = g_loadsPerSecond[target.Name];
        const double cpuRate = g_loadsPerCpuSecond[target.Name];
        std::fprintf(stderr, "  load from %-11s %9.0f tiles/s; %9.0f tiles/CPU-s  %.2fx %s",
                     target.Name, rate, cpuRate, baseRate > 0 ? rate / baseRate : 0.0,
                     kTargets[0].Name);
        if (target.LoadTarget)
            std::fprintf(stderr, "  (target 100,000/s: %s wall, %s CPU)",
                         rate >= 100000 ? "met" : "MISSED", cpuRate >= 100000 ? "met" : "MISSED");
        std::fprintf(stderr, "\n");
        state.counters[std::string("loads/s ") + target.Name] = rate;
    }
}

int Register() {
    for (const tagTarget& target : kTargets)
        benchmark::RegisterBenchmark((std::string("Copy/") + target.Name).c_str(), Copy, target)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    for (const tagTarget& target : kTargets)
        benchmark::RegisterBenchmark((std::string("Load/") + target.Name).c_str(), Load, target)
            ->Iterations(3)
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Summary", Summary)->Iterations(1);
    return 0;
}
const int g_registered = Register();

}  // namespace
