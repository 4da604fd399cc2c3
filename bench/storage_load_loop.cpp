// eTileStorage::LoadImageData over every tile of one level of an existing
// cache: the C++ baseline bench/python_get.py sets the Python module beside.
// The cache and level come from the environment (TVK_BENCH_CACHE, a
// tilecache.xml or an ArcGIS conf.xml; TVK_BENCH_LEVEL); without them the benchmark is skipped.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "eTileStorage.h"

using namespace TVK;

namespace {

void LoadImageDataLoop(benchmark::State& state) {
    const char* path = std::getenv("TVK_BENCH_CACHE");
    const char* levelText = std::getenv("TVK_BENCH_LEVEL");
    if (path == nullptr || levelText == nullptr) {
        state.SkipWithError("set TVK_BENCH_CACHE and TVK_BENCH_LEVEL");
        return;
    }
    eTileStorage storage;
    const std::string file = path;
    const bool arcgis = file.size() >= 8 && file.compare(file.size() - 8, 8, "conf.xml") == 0;
    if (!(arcgis ? storage.FromArcGISConfigFile(path) : storage.FromConfigFile(path))) {
        state.SkipWithError("cannot read TVK_BENCH_CACHE");
        return;
    }
    const int level = std::atoi(levelText);
    int rows = 0, cols = 0;
    storage.GetTileCoordSys().ComputeTileCount(level, rows, cols);
    eByteArray data;
    int64_t tiles = 0, bytes = 0;
    for (auto _ : state) {
        for (int row = 0; row < rows; ++row) {
            for (int col = 0; col < cols; ++col) {
                if (!storage.LoadImageData(level, row, col, data)) {
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
BENCHMARK(LoadImageDataLoop)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace
