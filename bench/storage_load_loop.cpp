// eTileStorage::LoadImageData over every tile of one level of an existing
// cache: the C++ baseline bench/python_get.py sets the Python module beside,
// from one thread and from two sharing the storage (how far the library
// itself scales on a 2-core machine). The cache and level come from the
// environment (TVK_BENCH_CACHE, a tilecache.xml or an ArcGIS conf.xml;
// TVK_BENCH_LEVEL); without them the benchmark is skipped.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "eTileStorage.h"

using namespace TVK;

namespace {

// One storage for every thread of every run, as a server or Python shares it.
eTileStorage* SharedStorage() {
    static const std::unique_ptr<eTileStorage> storage = []() -> std::unique_ptr<eTileStorage> {
        const char* path = std::getenv("TVK_BENCH_CACHE");
        if (path == nullptr) return nullptr;
        auto s = std::make_unique<eTileStorage>();
        const std::string file = path;
        const bool arcgis = file.size() >= 8 && file.compare(file.size() - 8, 8, "conf.xml") == 0;
        if (!(arcgis ? s->FromArcGISConfigFile(path) : s->FromConfigFile(path))) return nullptr;
        return s;
    }();
    return storage.get();
}

void LoadImageDataLoop(benchmark::State& state) {
    const char* levelText = std::getenv("TVK_BENCH_LEVEL");
    eTileStorage* storage = SharedStorage();
    if (storage == nullptr || levelText == nullptr) {
        state.SkipWithError("set TVK_BENCH_CACHE (a readable cache) and TVK_BENCH_LEVEL");
        return;
    }
    const int level = std::atoi(levelText);
    int rows = 0, cols = 0;
    storage->GetTileCoordSys().ComputeTileCount(level, rows, cols);
    eByteArray data;
    int64_t tiles = 0, bytes = 0;
    for (auto _ : state) {
        for (int row = 0; row < rows; ++row) {
            for (int col = 0; col < cols; ++col) {
                if (!storage->LoadImageData(level, row, col, data)) {
                    state.SkipWithError("a tile is missing");
                    return;
                }
                bytes += data.GetSize();
                ++tiles;
            }
        }
    }
    state.SetItemsProcessed(tiles);
    state.SetBytesProcessed(bytes);
}
BENCHMARK(LoadImageDataLoop)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(LoadImageDataLoop)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->UseRealTime()
    ->Threads(2);

}  // namespace
