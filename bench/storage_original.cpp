// One-file-per-tile layout, 20,000-byte tiles, warm page cache: load and save
// per tile through eTileStorage against a bare baseline on the same files in
// the same run (open/read/close for loads; write a temporary file, then
// rename it onto the tile, for saves). The last benchmark prints the ratios;
// the targets are 1.3 for loads and 1.5 for saves.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "eTileStorage.h"

namespace {

namespace fs = std::filesystem;

constexpr int kTileBytes = 20000;
constexpr int kSide = 16;  // kSide x kSide tiles, spread over several group folders
constexpr int kLevel = 5;

struct Cache {
    fs::path m_root;
    TVK::eTileStorage m_storage;
    std::vector<std::string> m_paths;  // the same tiles, as plain paths
    std::vector<unsigned char> m_bytes = std::vector<unsigned char>(kTileBytes, 0x42);

    Cache() {
        m_root = fs::temp_directory_path() / ("tvk_bench_storage_" + std::to_string(::getpid()));
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        m_storage.GetTileCoordSys().SetScales({1.0 / 32000000, 1.0 / 16000000, 1.0 / 8000000,
                                               1.0 / 4000000, 1.0 / 2000000, 1.0 / 1000000});
        m_storage.SetCacheFormat(TVK::eTileStorage::Original);
        m_storage.SetFileDirectory(m_root.string().c_str());
        for (int i = 0; i < kSide * kSide; ++i) {
            const int row = Row(i), col = Col(i);
            if (m_storage.SaveImageData(kLevel, row, col, m_bytes.data(), kTileBytes) != 1)
                std::abort();
            char rel[128];
            std::snprintf(rel, sizeof(rel), "_alllayers/1000000/R%04dC%04d/%dx%d.epng", row / 128,
                          col / 128, row, col);
            m_paths.push_back((m_root / rel).string());
            if (!fs::exists(m_paths.back())) std::abort();
        }
    }
    ~Cache() { fs::remove_all(m_root); }

    static int Row(int i) { return (i / kSide) * 40; }
    static int Col(int i) { return (i % kSide) * 40; }
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

// Best wall-clock and thread-CPU ns per tile over the runs of each benchmark
// (runs with enough iterations to mean something). On a busy machine the
// CPU figures are the steadier ones.
constexpr double kNone = std::numeric_limits<double>::infinity();
double g_bestWall[4] = {kNone, kNone, kNone, kNone};
double g_bestCpu[4] = {kNone, kNone, kNone, kNone};
enum { kLoadBare, kLoadStorage, kSaveBare, kSaveStorage };

double ThreadCpuNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

template <typename Body>
void Measure(benchmark::State& state, int slot, Body body) {
    Cache& cache = TheCache();
    const int count = kSide * kSide;
    int i = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ThreadCpuNs();
    for (auto _ : state) {
        body(cache, i);
        if (++i == count) i = 0;
    }
    const double cpu = ThreadCpuNs() - cpuStart;
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    if (state.iterations() >= 1000) {
        const double n = static_cast<double>(state.iterations());
        g_bestWall[slot] = std::min(g_bestWall[slot], ns / n);
        g_bestCpu[slot] = std::min(g_bestCpu[slot], cpu / n);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * kTileBytes);
}

void BM_LoadBare(benchmark::State& state) {
    std::vector<unsigned char> buffer(kTileBytes + 1);
    Measure(state, kLoadBare, [&](Cache& cache, int i) {
        const int fd = ::open(cache.m_paths[i].c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) std::abort();
        struct stat st;
        if (::fstat(fd, &st) != 0) std::abort();
        if (::read(fd, buffer.data(), static_cast<size_t>(st.st_size)) != st.st_size) std::abort();
        ::close(fd);
        benchmark::DoNotOptimize(buffer.data());
    });
}

void BM_LoadStorage(benchmark::State& state) {
    TVK::eByteArray data;
    Measure(state, kLoadStorage, [&](Cache& cache, int i) {
        if (cache.m_storage.LoadImageData(kLevel, Cache::Row(i), Cache::Col(i), data) != 1)
            std::abort();
        benchmark::DoNotOptimize(data.GetData());
    });
}

void BM_SaveBare(benchmark::State& state) {
    Measure(state, kSaveBare, [&](Cache& cache, int i) {
        const std::string& path = cache.m_paths[i];
        const std::string temp = path + ".temp";
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) std::abort();
        if (::write(fd, cache.m_bytes.data(), kTileBytes) != kTileBytes) std::abort();
        if (::close(fd) != 0) std::abort();
        if (::rename(temp.c_str(), path.c_str()) != 0) std::abort();
    });
}

void BM_SaveStorage(benchmark::State& state) {
    Measure(state, kSaveStorage, [&](Cache& cache, int i) {
        if (cache.m_storage.SaveImageData(kLevel, Cache::Row(i), Cache::Col(i),
                                          cache.m_bytes.data(), kTileBytes) != 1) {
            std::abort();
        }
    });
}

void BM_Ratios(benchmark::State& state) {
    for (auto _ : state) {}
    const double* sets[2] = {g_bestWall, g_bestCpu};
    const char* names[2] = {"wall", "cpu"};
    for (int k = 0; k < 2; ++k) {
        const double* b = sets[k];
        const double load = b[kLoadStorage] / b[kLoadBare];
        const double save = b[kSaveStorage] / b[kSaveBare];
        state.counters[std::string("load_ratio_") + names[k]] = load;
        state.counters[std::string("save_ratio_") + names[k]] = save;
        std::fprintf(stderr,
                     "%s: load storage %.0f ns, bare %.0f ns, ratio %.2f (target 1.3); "
                     "save storage %.0f ns, bare %.0f ns, ratio %.2f (target 1.5)\n",
                     names[k], b[kLoadStorage], b[kLoadBare], load, b[kSaveStorage], b[kSaveBare],
                     save);
    }
}

}  // namespace

// Bare and storage runs alternate so drift on a shared machine hits both.
BENCHMARK(BM_LoadBare);
BENCHMARK(BM_LoadStorage);
BENCHMARK(BM_LoadBare);
BENCHMARK(BM_LoadStorage);
BENCHMARK(BM_SaveBare);
BENCHMARK(BM_SaveStorage);
BENCHMARK(BM_SaveBare);
BENCHMARK(BM_SaveStorage);
BENCHMARK(BM_Ratios)->Iterations(1);
