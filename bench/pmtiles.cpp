// PMTiles against Compact V2: `tvk copy` of 262,144 tiles of 2,000 bytes
// (zoom 9 of the Web Mercator grid, all of it) from a Compact V1 cache into
// each, then random single-tile loads from each on one thread. Summary
// prints every figure and its ratio to Compact V2, with the target: the copy
// into PMTiles (which sorts, deduplicates and writes the archive at the end)
// within 2x of the copy into Compact V2.
//
// The source (about 530 MB) and the copies are made below the temporary
// folder and removed at the end. Copies run the real tool as a child
// process, timed from start to exit; each copy is checked to hold every tile
// before its time counts.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "eTileListing.h"
#include "eTileStorage.h"

using namespace TVK;
namespace fs = std::filesystem;

namespace {

constexpr int kLevel = 9;  // 512 x 512 tiles
constexpr int kSide = 1 << kLevel;
constexpr int kTiles = kSide * kSide;
constexpr int kTileSize = 2000;
constexpr int kLoads = 200000;
constexpr double kCopyTarget = 2.0;  // times the copy into Compact V2

struct tagTarget {
    const char* Name;
    const char* Cache;
    const char* CreateLayout;  // nullptr: made by `tvk copy`
};
const tagTarget kTargets[] = {
    {"compact-v2", "v2", "compact-v2"},  // the baseline: first
    {"pmtiles", "world.pmtiles", nullptr},
};

std::map<std::string, double> g_copySeconds;
std::map<std::string, double> g_loadsPerSecond;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// The Compact V1 source, written once through the library. Every tile
// differs (its number in its first bytes), so nothing deduplicates.
struct Fixture {
    fs::path m_root;
    std::string m_strSource;

    Fixture() {
        m_root = fs::temp_directory_path() /
                 ("tvk-bench-pmtiles-" + std::to_string(std::random_device{}()));
        m_strSource = (m_root / "src").string();
        fs::create_directories(m_strSource);
        const std::string create = std::string(TVK_CLI_PATH) + " create " + Quote(m_strSource) +
                                   " --crs EPSG:3857 --levels 0-9 --layout compact > /dev/null";
        if (std::system(create.c_str()) != 0)
            std::fprintf(stderr, "setup: create failed\n"), std::abort();
        eTileStorage storage;
        if (!storage.FromConfigFile((m_strSource + "/tilecache.xml").c_str()))
            std::fprintf(stderr, "setup: cannot open the source\n"), std::abort();
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
        fs::remove_all(m_root, ec);
    }
    std::string Path(const tagTarget& target) const { return (m_root / target.Cache).string(); }
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
        std::error_code ec;
        fs::remove_all(dst, ec);
        if (target.CreateLayout != nullptr) {
            const std::string create = std::string(TVK_CLI_PATH) + " create " + Quote(dst) +
                                       " --crs EPSG:3857 --levels 0-9 --layout " +
                                       target.CreateLayout + " > /dev/null";
            if (std::system(create.c_str()) != 0) state.SkipWithError("tvk create failed");
        }
        const std::string copy = std::string(TVK_CLI_PATH) + " copy " + Quote(fixture.m_strSource) +
                                 " " + Quote(dst) + " > /dev/null";
        const auto start = std::chrono::steady_clock::now();
        const int code = std::system(copy.c_str());
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        // The time counts only for a complete copy.
        eTileStorage storage;
        int64_t tiles = 0;
        if (code == 0 && OpenCache(dst, storage)) {
            eTileListing listing(storage);
            for (tagStoredTile tile; listing.Next(tile);) tiles += tile.Size == kTileSize;
        }
        if (tiles != kTiles)
            state.SkipWithError("the copy does not hold every tile");
        else
            g_copySeconds[target.Name] = seconds;
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
    if (bad > 0) {
        state.SkipWithError("a load failed or returned another tile");
        return;
    }
    g_loadsPerSecond[target.Name] = loaded / seconds;
    state.SetItemsProcessed(loaded);
}

void Summary(benchmark::State& state) {
    for (auto _ : state) {}
    const char* base = kTargets[0].Name;
    std::fprintf(stderr, "\n%d tiles of %d bytes, Compact V1 -> each (tvk copy):\n", kTiles,
                 kTileSize);
    for (const tagTarget& target : kTargets) {
        const double seconds = g_copySeconds[target.Name];
        const double ratio = g_copySeconds[base] > 0 ? seconds / g_copySeconds[base] : 0.0;
        std::fprintf(stderr, "  copy into %-11s %7.2f s  %9.0f tiles/s  %.2fx %s%s\n", target.Name,
                     seconds, seconds > 0 ? kTiles / seconds : 0.0, ratio, base,
                     &target == &kTargets[0] ? ""
                     : ratio <= kCopyTarget  ? "  (target 2x: met)"
                                             : "  (target 2x: MISSED)");
        state.counters[std::string("copy ratio ") + target.Name] = ratio;
    }
    std::fprintf(stderr, "random single-tile loads, one thread:\n");
    for (const tagTarget& target : kTargets) {
        const double rate = g_loadsPerSecond[target.Name];
        const double ratio = g_loadsPerSecond[base] > 0 ? rate / g_loadsPerSecond[base] : 0.0;
        std::fprintf(stderr, "  load from %-11s %9.0f tiles/s  %.2fx %s\n", target.Name, rate,
                     ratio, base);
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
