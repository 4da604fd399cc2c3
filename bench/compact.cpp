// Compact bundle throughput through the open-bundle pool, beside a bare loop
// of positioned reads and writes doing the same file work on the same files.
// One pair of 16,384 tiles of 20,000 bytes (about 330 MB) is written to the
// temporary folder first (so the page cache is warm) and removed at the end.
// The last benchmark, Summary, prints the ratios pool / bare per tile. The
// same is measured for a V2 bundle of the same tiles (its own fixture, made
// when first used), against a bare loop of one 8-byte entry read and one data
// read per tile.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "compact/eRasterCompactManager.h"
#include "eRasterCompact.h"
#include "platform/eFile.h"

using namespace TVK;
namespace fs = std::filesystem;

namespace {

constexpr int kTiles = 16384;
constexpr int kTileSize = 20000;
constexpr int kSavesPerThread = 4096;

// Writes the kTiles tiles of level 0, block R0000C0000, through `writer`;
// their bytes differ from tile to tile. Aborts on a failed save.
void WriteTiles(eRasterCompact& writer, const char* what) {
    std::vector<unsigned char> tile(kTileSize);
    for (int i = 0; i < kTiles; ++i) {
        for (int k = 0; k < kTileSize; k += 64) tile[size_t(k)] = static_cast<unsigned char>(i + k);
        if (!writer.SaveTileData(eByteArray(tile.data(), kTileSize), i % 128, i / 128, 0))
            std::fprintf(stderr, "setup: %s save %d failed\n", what, i), std::abort();
    }
}

struct Fixture {
    fs::path m_root;
    std::string m_strBase;    // full bundle: level 0, block R0000C0000
    std::string m_strSparse;  // one tile only: level 1, block R0000C0000
    eRasterCompactManager m_pool;
    eFile m_data, m_index, m_sparseIndex;

    Fixture() {
        std::random_device rd;
        m_root = fs::temp_directory_path() / ("tvk-bench-compact-" + std::to_string(rd()));
        fs::create_directories(m_root);
        m_pool.SetSrcPath((m_root.string() + "/").c_str());
        eRasterCompact writer;
        writer.SetSrcPath((m_root.string() + "/").c_str());
        WriteTiles(writer, "V1");
        const std::vector<unsigned char> tile(kTileSize);
        writer.SaveTileData(eByteArray(tile.data(), kTileSize), 0, 0, 1);
        m_strBase = (m_root / "_alllayers" / "L00" / "R0000C0000").string();
        m_strSparse = (m_root / "_alllayers" / "L01" / "R0000C0000").string();
        m_data.Open((m_strBase + ".bundle").c_str(), eFile::OpenRead);
        m_index.Open((m_strBase + ".bundlx").c_str(), eFile::OpenRead);
        m_sparseIndex.Open((m_strSparse + ".bundlx").c_str(), eFile::OpenRead);
    }
    ~Fixture() {
        m_pool.ReleaseAll();
        m_data.Close();
        m_index.Close();
        m_sparseIndex.Close();
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
};

Fixture& Get() {
    static Fixture fixture;
    return fixture;
}

// The same tiles in one V2 bundle, written through the library.
struct FixtureV2 {
    fs::path m_root;
    eRasterCompactManager m_pool;
    eFile m_file;

    FixtureV2() {
        std::random_device rd;
        m_root = fs::temp_directory_path() / ("tvk-bench-compact-v2-" + std::to_string(rd()));
        fs::create_directories(m_root);
        m_pool.SetSrcPath((m_root.string() + "/").c_str());
        m_pool.SetBundleFormat(eRasterCompact::BundleV2);
        eRasterCompact writer;
        writer.SetSrcPath((m_root.string() + "/").c_str());
        writer.SetBundleFormat(eRasterCompact::BundleV2);
        WriteTiles(writer, "V2");
        m_file.Open((m_root / "_alllayers" / "L00" / "R0000C0000.bundle").string().c_str(),
                    eFile::OpenRead);
    }
    ~FixtureV2() { Release(); }
    void Release() {
        m_pool.ReleaseAll();
        m_file.Close();
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
};

bool g_v2Made = false;

FixtureV2& GetV2() {
    static FixtureV2 fixture;
    g_v2Made = true;
    return fixture;
}

// A spread-out walk over the 16,384 positions.
inline int Position(int64_t k) { return static_cast<int>((k * 7919) % kTiles); }

std::mutex g_resultsMutex;
std::map<std::string, double> g_nsPerTile;

// Wall time of a run, divided by the tiles all its threads handled.
class RunClock {
public:
    explicit RunClock(benchmark::State& state)
        : m_state(state), m_start(std::chrono::steady_clock::now()) {}
    void Stop(const std::string& name) {
        if (m_state.thread_index() != 0) return;
        const double ns =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - m_start)
                .count();
        const double tiles = double(m_state.iterations()) * m_state.threads();
        std::lock_guard<std::mutex> lock(g_resultsMutex);
        g_nsPerTile[name + "/" + std::to_string(m_state.threads())] = ns / tiles;
    }

private:
    benchmark::State& m_state;
    std::chrono::steady_clock::time_point m_start;
};

uint32_t LE32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// ---- through the pool ----

void PoolLoadFrom(benchmark::State& state, eRasterCompactManager& pool, const char* name) {
    eByteArray tile;
    int64_t k = state.thread_index() * 4099;
    RunClock clock(state);
    for (auto _ : state) {
        const int i = Position(k++);
        eRasterCompactOperator* op = pool.GetOperator(0, 0, 0);
        if (op == nullptr || !op->LoadTileData(tile, i % 128, i / 128, 0))
            state.SkipWithError("load");
        benchmark::DoNotOptimize(tile.GetData());
    }
    clock.Stop(name);
    state.SetItemsProcessed(state.iterations());
}
void PoolLoad(benchmark::State& state) { PoolLoadFrom(state, Get().m_pool, "load/pool"); }

void PoolExist(benchmark::State& state, bool present) {
    Fixture& f = Get();
    const int level = present ? 0 : 1;
    int64_t k = state.thread_index() * 4099;
    RunClock clock(state);
    for (auto _ : state) {
        const int i = Position(k++) | 1;  // odd positions: absent in the sparse bundle
        eRasterCompactOperator* op = f.m_pool.GetOperator(level, 0, 0);
        if (op == nullptr || op->IsTileExist(i % 128, i / 128, level) != present)
            state.SkipWithError("exist");
    }
    clock.Stop(present ? "exist-present/pool" : "exist-absent/pool");
    state.SetItemsProcessed(state.iterations());
}
void PoolExistPresent(benchmark::State& state) { PoolExist(state, true); }
void PoolExistAbsent(benchmark::State& state) { PoolExist(state, false); }

std::atomic<int> g_saveRound{0};

void PoolSave(benchmark::State& state) {
    Fixture& f = Get();
    std::vector<unsigned char> bytes(kTileSize, 0x5a);
    const eByteArray tile(bytes.data(), kTileSize);
    // Each thread fills a fresh bundle of its own (level 2, a new block each run).
    const int rowGroup = (g_saveRound++) * 128;
    int i = 0;
    RunClock clock(state);
    for (auto _ : state) {
        eRasterCompactOperator* op = f.m_pool.GetOperator(2, rowGroup, 0);
        if (op == nullptr || !op->SaveTileData(tile, rowGroup + i % 128, i / 128, 2))
            state.SkipWithError("save");
        ++i;
    }
    clock.Stop("save/pool");
    state.SetItemsProcessed(state.iterations());
}

void PoolLoadV2(benchmark::State& state) { PoolLoadFrom(state, GetV2().m_pool, "load-v2/pool"); }

void PoolExistV2(benchmark::State& state) {
    FixtureV2& f = GetV2();
    int64_t k = state.thread_index() * 4099;
    RunClock clock(state);
    for (auto _ : state) {
        const int i = Position(k++);
        eRasterCompactOperator* op = f.m_pool.GetOperator(0, 0, 0);
        if (op == nullptr || !op->IsTileExist(i % 128, i / 128, 0)) state.SkipWithError("exist");
    }
    clock.Stop("exist-v2/pool");
    state.SetItemsProcessed(state.iterations());
}

// ---- the bare baseline: positioned reads and writes, nothing else ----

void BareLoadV2(benchmark::State& state) {
    FixtureV2& f = GetV2();
    std::vector<unsigned char> buffer(kTileSize);
    int64_t k = state.thread_index() * 4099;
    RunClock clock(state);
    for (auto _ : state) {
        const int i = Position(k++);
        unsigned char entry[8];
        const int e = (i % 128) * 128 + i / 128;  // row-major
        f.m_file.ReadAt(64 + 8 * int64_t(e), entry, 8);
        const uint64_t value = uint64_t(LE32(entry)) | uint64_t(LE32(entry + 4)) << 32;
        const int64_t size = int64_t(value >> 40);
        if (f.m_file.ReadAt(int64_t(value & 0xffffffffffULL), buffer.data(), size) != kTileSize)
            state.SkipWithError("read");
        benchmark::DoNotOptimize(buffer.data());
    }
    clock.Stop("load-v2/bare");
    state.SetItemsProcessed(state.iterations());
}

void BareExistV2(benchmark::State& state) {
    FixtureV2& f = GetV2();
    int64_t k = state.thread_index() * 4099;
    RunClock clock(state);
    for (auto _ : state) {
        const int i = Position(k++);
        unsigned char entry[8];
        const int e = (i % 128) * 128 + i / 128;
        f.m_file.ReadAt(64 + 8 * int64_t(e), entry, 8);
        benchmark::DoNotOptimize(entry);
    }
    clock.Stop("exist-v2/bare");
    state.SetItemsProcessed(state.iterations());
}

void BareLoad(benchmark::State& state) {
    Fixture& f = Get();
    std::vector<unsigned char> buffer(kTileSize);
    int64_t k = state.thread_index() * 4099;
    RunClock clock(state);
    for (auto _ : state) {
        const int i = Position(k++);
        unsigned char slot[5], length[4];
        const int s = (i / 128) * 128 + i % 128;
        f.m_index.ReadAt(16 + 5 * int64_t(s), slot, 5);
        const uint32_t offset = LE32(slot);
        f.m_data.ReadAt(offset, length, 4);
        if (f.m_data.ReadAt(offset + 4, buffer.data(), LE32(length)) != kTileSize)
            state.SkipWithError("read");
        benchmark::DoNotOptimize(buffer.data());
    }
    clock.Stop("load/bare");
    state.SetItemsProcessed(state.iterations());
}

void BareExist(benchmark::State& state, bool present) {
    Fixture& f = Get();
    int64_t k = state.thread_index() * 4099;
    RunClock clock(state);
    for (auto _ : state) {
        const int i = Position(k++) | 1;
        const int s = (i / 128) * 128 + i % 128;
        unsigned char slot[5], length[4];
        if (present) {
            f.m_index.ReadAt(16 + 5 * int64_t(s), slot, 5);
            f.m_data.ReadAt(LE32(slot), length, 4);
            benchmark::DoNotOptimize(length);
        } else {
            f.m_sparseIndex.ReadAt(16 + 5 * int64_t(s), slot, 5);
            benchmark::DoNotOptimize(slot);
        }
    }
    clock.Stop(present ? "exist-present/bare" : "exist-absent/bare");
    state.SetItemsProcessed(state.iterations());
}
void BareExistPresent(benchmark::State& state) { BareExist(state, true); }
void BareExistAbsent(benchmark::State& state) { BareExist(state, false); }

void BareSave(benchmark::State& state) {
    Fixture& f = Get();
    std::vector<unsigned char> bytes(kTileSize, 0x5a);
    const std::string name = f.m_root.string() + "/bare-" + std::to_string(g_saveRound++);
    eFile data, index;
    data.Open((name + ".bundle").c_str(), eFile::CreateExclusive);
    index.Open((name + ".bundlx").c_str(), eFile::CreateExclusive);
    std::vector<unsigned char> empty(16 + 5 * kTiles, 1);
    index.WriteAt(0, empty.data(), int64_t(empty.size()));
    int64_t end = 0;
    int i = 0;
    RunClock clock(state);
    for (auto _ : state) {
        unsigned char length[4] = {kTileSize & 0xff, (kTileSize >> 8) & 0xff, 0, 0};
        unsigned char slot[5] = {
            static_cast<unsigned char>(end), static_cast<unsigned char>(end >> 8),
            static_cast<unsigned char>(end >> 16), static_cast<unsigned char>(end >> 24), 0};
        if (!data.WriteAt(end, length, 4) || !data.WriteAt(end + 4, bytes.data(), kTileSize) ||
            !index.WriteAt(16 + 5 * int64_t(i % kTiles), slot, 5))
            state.SkipWithError("write");
        end += 4 + kTileSize;
        ++i;
    }
    clock.Stop("save/bare");
    state.SetItemsProcessed(state.iterations());
    data.Close();
    index.Close();
    eFile::Delete((name + ".bundle").c_str());
    eFile::Delete((name + ".bundlx").c_str());
}

void Summary(benchmark::State& state) {
    for (auto _ : state) {}
    std::lock_guard<std::mutex> lock(g_resultsMutex);
    auto ratio = [&](const std::string& what, int threads) {
        const std::string t = "/" + std::to_string(threads);
        const double pool = g_nsPerTile[what + "/pool" + t], bare = g_nsPerTile[what + "/bare" + t];
        std::fprintf(stderr,
                     "%-14s %d thread(s): pool %8.0f ns/tile, bare %8.0f ns/tile, ratio %.2f\n",
                     what.c_str(), threads, pool, bare, bare > 0 ? pool / bare : 0.0);
        state.counters[what + t] = bare > 0 ? pool / bare : 0.0;
    };
    for (int threads : {1, 2})
        for (const char* what :
             {"load", "exist-present", "exist-absent", "save", "load-v2", "exist-v2"})
            ratio(what, threads);
    const double one = g_nsPerTile["load/pool/1"], two = g_nsPerTile["load/pool/2"];
    std::fprintf(stderr, "pool loads, 2 threads vs 1: %.2fx the tiles per second\n",
                 two > 0 ? one / two : 0.0);
    state.counters["load-scaling-2v1"] = two > 0 ? one / two : 0.0;
    // Remove the 330 MB bundles now rather than at exit.
    Get().m_pool.ReleaseAll();
    std::error_code ec;
    fs::remove_all(Get().m_root, ec);
    if (g_v2Made) GetV2().Release();
}

}  // namespace

BENCHMARK(BareLoad)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(PoolLoad)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BareExistPresent)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(PoolExistPresent)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BareExistAbsent)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(PoolExistAbsent)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BareSave)->Threads(1)->Threads(2)->Iterations(kSavesPerThread)->UseRealTime();
BENCHMARK(PoolSave)->Threads(1)->Threads(2)->Iterations(kSavesPerThread)->UseRealTime();
BENCHMARK(BareLoadV2)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(PoolLoadV2)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BareExistV2)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(PoolExistV2)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(Summary)->Iterations(1);
