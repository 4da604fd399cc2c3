// Per-view and per-tile calls of the tiling scheme, in ns per call, on a
// 20-level world-sized Web Mercator list.
#include <benchmark/benchmark.h>

#include <vector>

#include "eTileCoordSys.h"

namespace {

using namespace TVK;

constexpr double kC = 40075016.68557849;
constexpr double kHalf = kC / 2;

eTileCoordSys MakeScheme() {
    eTileCoordSys ts;
    ts.SetDPI(96.0);
    ts.SetTileOrigin(ePoint2D(-kHalf, kHalf));
    ts.SetIndexBounds(eRect2D(-kHalf, kHalf, kHalf, -kHalf));
    std::vector<double> scales;
    double s = 2560 / (96 / 25.4) / (kC * 10000);
    for (int i = 0; i < 20; ++i, s *= 2) scales.push_back(s);
    ts.SetScales(scales);
    return ts;
}

void BM_GetZoom(benchmark::State& state) {
    const eTileCoordSys ts = MakeScheme();
    // A scale between levels 13 and 14: the search walks most of the list.
    double scale = ts.GetScale(13) * 1.5;
    for (auto _ : state) {
        benchmark::DoNotOptimize(scale);
        benchmark::DoNotOptimize(ts.GetZoom(scale));
    }
}
BENCHMARK(BM_GetZoom);

void BM_ComputeTileWorldRange(benchmark::State& state) {
    const eTileCoordSys ts = MakeScheme();
    eRect2D rect(-1234567.0, 2345678.0, 3456789.0, -456789.0);
    tagTileArea area;
    for (auto _ : state) {
        benchmark::DoNotOptimize(rect);
        ts.ComputeTileWorldRange(12, rect, area);
        benchmark::DoNotOptimize(area);
    }
}
BENCHMARK(BM_ComputeTileWorldRange);

void BM_ComputeTileWorldBounds(benchmark::State& state) {
    const eTileCoordSys ts = MakeScheme();
    int row = 1234, col = 2345;
    for (auto _ : state) {
        benchmark::DoNotOptimize(row);
        benchmark::DoNotOptimize(ts.ComputeTileWorldBounds(12, row, col));
    }
}
BENCHMARK(BM_ComputeTileWorldBounds);

void BM_ComputeTilePosition(benchmark::State& state) {
    const eTileCoordSys ts = MakeScheme();
    ePoint2D point(1234567.0, -2345678.0);
    int row = 0, col = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(point);
        ts.ComputeTilePosition(12, point, row, col);
        benchmark::DoNotOptimize(row);
        benchmark::DoNotOptimize(col);
    }
}
BENCHMARK(BM_ComputeTilePosition);

}  // namespace
