// Listing the tiles of a 128 x 128 block holding 8,192 tiles (every other
// address, 100 bytes each), warm page cache, in each layout: eTileListing
// against the probe a caller without it would run, IsTileExist on all 16,384
// addresses, in the same run. Items are tiles listed, or addresses probed.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "eTileListing.h"
#include "eTileStorage.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSide = 128;
constexpr int kLevel = 5;

struct tagLayout {
    const char* Name;
    TVK::eTileStorage::EmFormat Format;
    bool ArcGIS;
};

constexpr tagLayout kLayouts[] = {
    {"original", TVK::eTileStorage::Original, false},
    {"exploded", TVK::eTileStorage::Original, true},
    {"compact", TVK::eTileStorage::Compact, false},
    {"compact-v2", TVK::eTileStorage::CompactV2, false},
};

struct tagCache {
    fs::path Root;
    TVK::eTileStorage Storage;

    explicit tagCache(const tagLayout& layout) {
        Root = fs::temp_directory_path() /
               ("tvk_bench_listing_" + std::string(layout.Name) + "_" + std::to_string(::getpid()));
        fs::remove_all(Root);
        fs::create_directories(Root);
        Storage.GetTileCoordSys().SetScales({1.0 / 32000000, 1.0 / 16000000, 1.0 / 8000000,
                                             1.0 / 4000000, 1.0 / 2000000, 1.0 / 1000000});
        Storage.SetCacheFormat(layout.Format);
        if (layout.ArcGIS) Storage.SetTileNaming(TVK::eTileStorage::ArcGIS);
        Storage.SetFileDirectory(Root.string().c_str());
        const std::vector<unsigned char> bytes(100, 0x42);
        for (int row = 0; row < kSide; ++row)
            for (int col = row % 2; col < kSide; col += 2)
                if (Storage.SaveImageData(kLevel, row, col, bytes.data(), 100) != 1) std::abort();
        Storage.ReleaseHandles();
    }
    ~tagCache() { fs::remove_all(Root); }
};

tagCache& CacheOf(int layout) {
    static std::unique_ptr<tagCache> caches[std::size(kLayouts)];
    if (!caches[layout]) caches[layout] = std::make_unique<tagCache>(kLayouts[layout]);
    return *caches[layout];
}

void BM_List(benchmark::State& state) {
    const int layout = static_cast<int>(state.range(0));
    tagCache& cache = CacheOf(layout);
    state.SetLabel(kLayouts[layout].Name);
    int64_t tiles = 0;
    for (auto _ : state) {
        TVK::eTileListing listing(cache.Storage, kLevel, kLevel);
        TVK::tagStoredTile tile;
        int64_t count = 0;
        while (listing.Next(tile)) ++count;
        if (count != kSide * kSide / 2) std::abort();
        tiles += count;
    }
    state.SetItemsProcessed(tiles);
}

void BM_Probe(benchmark::State& state) {
    const int layout = static_cast<int>(state.range(0));
    tagCache& cache = CacheOf(layout);
    state.SetLabel(kLayouts[layout].Name);
    int64_t addresses = 0;
    for (auto _ : state) {
        int64_t count = 0;
        for (int row = 0; row < kSide; ++row)
            for (int col = 0; col < kSide; ++col)
                count += cache.Storage.IsTileExist(kLevel, row, col);
        if (count != kSide * kSide / 2) std::abort();
        addresses += kSide * kSide;
    }
    state.SetItemsProcessed(addresses);
}

}  // namespace

BENCHMARK(BM_List)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Probe)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
