// Compact bundle throughput through the open-bundle pool, beside a bare loop
// of positioned reads and writes doing the same file work on the same files.
// One pair of 16,384 tiles of 20,000 bytes (about 330 MB) is written to the
// temporary folder first (so the page cache is warm) and removed at the end;
// a V2 bundle of the same tiles is made when first used.
//
// Each comparison runs the bare loop and the pool in alternating blocks of 64
// tiles (each on its own walk over the tiles, the first of the two changing
// from block to block), so that a machine busy with other work slows both
// alike. The Summary prints pool / bare per tile, in wall time and in the
// thread's processor time (which leaves out the time other processes hold
// the processor, the larger noise on a shared machine), for loads, existence tests
// (tile present, absent, bundle missing against one failed open of its
// index), saves, and V2 loads and existence tests. Last, forked writer
// processes save 4,000 tiles of 4,000 bytes each, 1, 2 or 4 of them into one
// bundle or each into its own, and the Summary prints their rates against
// one process, beside the same for bare writers into files of their own
// (what the machine allows).
#include <benchmark/benchmark.h>

#include <algorithm>
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

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "compact/eRasterCompactManager.h"
#include "eRasterCompact.h"
#include "platform/eFile.h"

using namespace TVK;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kTiles = 16384;
constexpr int kTileSize = 20000;
constexpr int kBlock = 64;                  // tiles per block of one side
constexpr int kSaveBlocks = 4096 / kBlock;  // per thread and side

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
    ~Fixture() { Release(); }
    void Release() {
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

uint32_t LE32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Nanoseconds spent (wall and processor time) and tiles handled per side,
// over all threads of a run.
struct tagTally {
    double Ns[2] = {0, 0};
    double CpuNs[2] = {0, 0};
    int64_t Tiles[2] = {0, 0};
};

double ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}
std::mutex g_resultsMutex;
std::map<std::string, tagTally> g_tallies;  // by "what/threads"

// Runs bare(k) and pool(k) in alternating blocks of kBlock (k counting each
// side's tiles), the side that starts changing from block to block, and adds
// their times to the tally of `what`. One benchmark iteration is one block
// of each.
template <typename Bare, typename Pool>
void Interleave(benchmark::State& state, const std::string& what, Bare bare, Pool pool) {
    tagTally tally;
    // Each side on its own walk, so that neither finds the other's tiles in
    // the processor's caches.
    int64_t k[2] = {state.thread_index() * 4099, state.thread_index() * 4099 + 8191};
    int block = 0;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const int side = (block + turn) % 2;  // 0 bare, 1 pool
            const auto start = Clock::now();
            const double cpu = ThreadCpuNs();
            for (int j = 0; j < kBlock; ++j) side == 0 ? bare(state, k[0]++) : pool(state, k[1]++);
            tally.CpuNs[side] += ThreadCpuNs() - cpu;
            tally.Ns[side] +=
                std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            tally.Tiles[side] += kBlock;
        }
        ++block;
    }
    state.SetItemsProcessed(state.iterations() * 2 * kBlock);
    std::lock_guard<std::mutex> lock(g_resultsMutex);
    tagTally& total = g_tallies[what + "/" + std::to_string(state.threads())];
    for (int side = 0; side < 2; ++side) {
        total.Ns[side] += tally.Ns[side];
        total.CpuNs[side] += tally.CpuNs[side];
        total.Tiles[side] += tally.Tiles[side];
    }
}

// ---- loads and existence tests ----

void Load(benchmark::State& state) {
    Fixture& f = Get();
    std::vector<unsigned char> buffer(kTileSize);
    eByteArray tile;
    Interleave(
        state, "load",
        [&](benchmark::State& s, int64_t k) {
            const int i = Position(k);
            unsigned char slot[5], length[4];
            f.m_index.ReadAt(16 + 5 * int64_t((i / 128) * 128 + i % 128), slot, 5);
            const uint32_t offset = LE32(slot);
            f.m_data.ReadAt(offset, length, 4);
            if (f.m_data.ReadAt(offset + 4, buffer.data(), LE32(length)) != kTileSize)
                s.SkipWithError("read");
            benchmark::DoNotOptimize(buffer.data());
        },
        [&](benchmark::State& s, int64_t k) {
            const int i = Position(k);
            eRasterCompactOperator* op = f.m_pool.GetOperator(0, 0, 0);
            if (op == nullptr || !op->LoadTileData(tile, i % 128, i / 128, 0))
                s.SkipWithError("load");
            benchmark::DoNotOptimize(tile.GetData());
        });
}

void Exist(benchmark::State& state, bool present) {
    Fixture& f = Get();
    const int level = present ? 0 : 1;
    Interleave(
        state, present ? "exist-present" : "exist-absent",
        [&](benchmark::State&, int64_t k) {
            const int i = Position(k) | 1;  // odd positions: absent in the sparse bundle
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
        },
        [&](benchmark::State& s, int64_t k) {
            const int i = Position(k) | 1;
            eRasterCompactOperator* op = f.m_pool.GetOperator(level, 0, 0);
            if (op == nullptr || op->IsTileExist(i % 128, i / 128, level) != present)
                s.SkipWithError("exist");
        });
}
void ExistPresent(benchmark::State& state) { Exist(state, true); }
void ExistAbsent(benchmark::State& state) { Exist(state, false); }

// Level 3 has no bundle at all; the bare side fails to open its index.
void ExistMissing(benchmark::State& state) {
    Fixture& f = Get();
    const eString index = (f.m_root / "_alllayers" / "L03" / "R0000C0000.bundlx").string().c_str();
    eFile file;
    Interleave(
        state, "exist-missing",
        [&](benchmark::State& s, int64_t) {
            if (file.Open(index, eFile::OpenReadWrite)) s.SkipWithError("exists");
        },
        [&](benchmark::State& s, int64_t k) {
            const int i = Position(k);
            eRasterCompactOperator* op = f.m_pool.GetOperator(3, 0, 0);
            if (op == nullptr || op->IsTileExist(i % 128, i / 128, 3)) s.SkipWithError("exist");
        });
}

void LoadV2(benchmark::State& state) {
    FixtureV2& f = GetV2();
    std::vector<unsigned char> buffer(kTileSize);
    eByteArray tile;
    Interleave(
        state, "load-v2",
        [&](benchmark::State& s, int64_t k) {
            const int i = Position(k);
            unsigned char entry[8];
            f.m_file.ReadAt(64 + 8 * int64_t((i % 128) * 128 + i / 128), entry, 8);  // row-major
            const uint64_t value = uint64_t(LE32(entry)) | uint64_t(LE32(entry + 4)) << 32;
            if (f.m_file.ReadAt(int64_t(value & 0xffffffffffULL), buffer.data(),
                                int64_t(value >> 40)) != kTileSize)
                s.SkipWithError("read");
            benchmark::DoNotOptimize(buffer.data());
        },
        [&](benchmark::State& s, int64_t k) {
            const int i = Position(k);
            eRasterCompactOperator* op = f.m_pool.GetOperator(0, 0, 0);
            if (op == nullptr || !op->LoadTileData(tile, i % 128, i / 128, 0))
                s.SkipWithError("load");
            benchmark::DoNotOptimize(tile.GetData());
        });
}

void ExistV2(benchmark::State& state) {
    FixtureV2& f = GetV2();
    Interleave(
        state, "exist-v2",
        [&](benchmark::State&, int64_t k) {
            const int i = Position(k);
            unsigned char entry[8];
            f.m_file.ReadAt(64 + 8 * int64_t((i % 128) * 128 + i / 128), entry, 8);
            benchmark::DoNotOptimize(entry);
        },
        [&](benchmark::State& s, int64_t k) {
            const int i = Position(k);
            eRasterCompactOperator* op = f.m_pool.GetOperator(0, 0, 0);
            if (op == nullptr || !op->IsTileExist(i % 128, i / 128, 0)) s.SkipWithError("exist");
        });
}

// ---- saves: each side fills a fresh bundle of its own ----

std::atomic<int> g_saveRound{0};

void Save(benchmark::State& state) {
    Fixture& f = Get();
    std::vector<unsigned char> bytes(kTileSize, 0x5a);
    const eByteArray tile(bytes.data(), kTileSize);
    const int round = g_saveRound++;
    // Bare: a pair beside the cache, its index full of empty slots.
    const std::string name = f.m_root.string() + "/bare-" + std::to_string(round);
    eFile data, index;
    data.Open((name + ".bundle").c_str(), eFile::CreateExclusive);
    index.Open((name + ".bundlx").c_str(), eFile::CreateExclusive);
    std::vector<unsigned char> empty(16 + 5 * kTiles, 1);
    index.WriteAt(0, empty.data(), int64_t(empty.size()));
    int64_t end = 0;
    // Pool: a new block of level 2 per run and thread.
    const int rowGroup = round * 128;
    Interleave(
        state, "save",
        [&](benchmark::State& s, int64_t k) {
            unsigned char length[4] = {kTileSize & 0xff, (kTileSize >> 8) & 0xff, 0, 0};
            unsigned char slot[5] = {
                static_cast<unsigned char>(end), static_cast<unsigned char>(end >> 8),
                static_cast<unsigned char>(end >> 16), static_cast<unsigned char>(end >> 24), 0};
            if (!data.WriteAt(end, length, 4) || !data.WriteAt(end + 4, bytes.data(), kTileSize) ||
                !index.WriteAt(16 + 5 * (k % kTiles), slot, 5))
                s.SkipWithError("write");
            end += 4 + kTileSize;
        },
        [&](benchmark::State& s, int64_t k) {
            const int i = int((k - 8191 - s.thread_index() * 4099) % kTiles);
            eRasterCompactOperator* op = f.m_pool.GetOperator(2, rowGroup, 0);
            if (op == nullptr || !op->SaveTileData(tile, rowGroup + i % 128, i / 128, 2))
                s.SkipWithError("save");
        });
    data.Close();
    index.Close();
    eFile::Delete((name + ".bundle").c_str());
    eFile::Delete((name + ".bundlx").c_str());
}

// ---- writer processes ----

// Per process; 4 x 4,000 fit one bundle. Smaller tiles than above, so that
// the locks and calls decide the rate rather than the writing back of pages.
constexpr int kProcessSaves = 4000;
constexpr int kProcessTileSize = 4000;
std::map<std::string, double> g_savesPerSecond;

// Forked writers, each saving kProcessSaves tiles: through a pool of its own
// all into one new bundle (mode 1) or each into a new bundle of its own
// (mode 0); or, to show what the machine allows, as the bare loop into a
// pair of its own (mode 2). The best of the runs counts.
void ProcessSaves(benchmark::State& state) {
    Fixture& f = Get();
    const int processes = static_cast<int>(state.range(0));
    const int mode = static_cast<int>(state.range(1));
    std::vector<unsigned char> bytes(kProcessTileSize, 0x5a);
    double best = 0;
    for (auto _ : state) {
        const int round = g_saveRound++;
        const auto start = Clock::now();
        std::vector<pid_t> children;
        for (int p = 0; p < processes; ++p) {
            const pid_t pid = ::fork();
            if (pid != 0) {
                children.push_back(pid);
                continue;
            }
            if (mode == 2) {
                const std::string name =
                    f.m_root.string() + "/bare-" + std::to_string(round) + "-" + std::to_string(p);
                eFile data, index;
                if (!data.Open((name + ".bundle").c_str(), eFile::CreateExclusive) ||
                    !index.Open((name + ".bundlx").c_str(), eFile::CreateExclusive))
                    ::_exit(1);
                const unsigned char length[4] = {kProcessTileSize & 0xff, kProcessTileSize >> 8, 0,
                                                 0};
                unsigned char slot[5] = {};
                for (int i = 0; i < kProcessSaves; ++i) {
                    const int64_t end = int64_t(i) * (4 + kProcessTileSize);
                    if (!data.WriteAt(end, length, 4) ||
                        !data.WriteAt(end + 4, bytes.data(), kProcessTileSize) ||
                        !index.WriteAt(16 + 5 * i, slot, 5))
                        ::_exit(1);
                }
                ::_exit(0);
            }
            eRasterCompactManager pool;
            pool.SetSrcPath((f.m_root.string() + "/").c_str());
            const eByteArray tile(bytes.data(), kProcessTileSize);
            // Level 4; a block per round (and per process, unless shared).
            const int col = (round * 4 + (mode == 1 ? 0 : p)) * 128;
            for (int i = 0; i < kProcessSaves; ++i) {
                const int slot = mode == 1 ? i * processes + p : i;
                eRasterCompactOperator* op = pool.GetOperator(4, 0, col);
                if (op == nullptr || !op->SaveTileData(tile, slot % 128, col + slot / 128, 4))
                    ::_exit(1);
            }
            ::_exit(0);
        }
        bool failed = false;
        for (pid_t pid : children) {
            int status = 0;
            failed |=
                ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        }
        if (failed) state.SkipWithError("a writer process failed");
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        best = std::max(best, double(processes) * kProcessSaves / seconds);
    }
    state.counters["saves_per_second"] = best;
    static const char* const kModes[] = {"own", "one", "bare"};
    std::lock_guard<std::mutex> lock(g_resultsMutex);
    g_savesPerSecond[std::to_string(processes) + "/" + kModes[mode]] = best;
}

void Summary(benchmark::State& state) {
    for (auto _ : state) {}
    std::lock_guard<std::mutex> lock(g_resultsMutex);
    for (int threads : {1, 2})
        for (const char* what : {"load", "exist-present", "exist-absent", "exist-missing", "save",
                                 "load-v2", "exist-v2"}) {
            const std::string key = std::string(what) + "/" + std::to_string(threads);
            const tagTally& t = g_tallies[key];
            const double bare = t.Tiles[0] > 0 ? t.Ns[0] / double(t.Tiles[0]) : 0;
            const double pool = t.Tiles[1] > 0 ? t.Ns[1] / double(t.Tiles[1]) : 0;
            const double cpu = t.CpuNs[0] > 0 ? t.CpuNs[1] / t.CpuNs[0] : 0;
            std::fprintf(stderr,
                         "%-14s %d thread(s): pool %8.0f ns/tile, bare %8.0f ns/tile, ratio %.2f"
                         " (processor time %.2f)\n",
                         what, threads, pool, bare, bare > 0 ? pool / bare : 0.0, cpu);
            state.counters[key] = bare > 0 ? pool / bare : 0.0;
            state.counters[key + "-cpu"] = cpu;
        }
    static const char* const kWhere[] = {"one",  "one bundle",           "own", "their own bundles",
                                         "bare", "their own files, bare"};
    for (int m = 0; m < 3; ++m) {
        const std::string mode = kWhere[2 * m];
        const double single = g_savesPerSecond["1/" + mode];
        for (int processes : {1, 2, 4}) {
            const double rate = g_savesPerSecond[std::to_string(processes) + "/" + mode];
            std::fprintf(stderr,
                         "saves, %d process(es) into %s: %8.0f per second, %.2fx one process\n",
                         processes, kWhere[2 * m + 1], rate, single > 0 ? rate / single : 0.0);
            state.counters["saves-" + mode + "-" + std::to_string(processes)] =
                single > 0 ? rate / single : 0.0;
        }
    }
    // Remove the 330 MB bundles now rather than at exit.
    Get().Release();
    if (g_v2Made) GetV2().Release();
}

}  // namespace

BENCHMARK(Load)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(ExistPresent)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(ExistAbsent)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(ExistMissing)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(Save)->Threads(1)->Threads(2)->Iterations(kSaveBlocks)->UseRealTime();
BENCHMARK(LoadV2)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(ExistV2)->Threads(1)->Threads(2)->UseRealTime();
// Processes x (1: all into one bundle, 0: each into its own, 2: bare).
BENCHMARK(ProcessSaves)
    ->ArgsProduct({{1, 2, 4}, {1, 0, 2}})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Summary)->Iterations(1);
