// Forward and Inverse cost per point on Web Mercator and on a UTM zone, in
// batches of 1000 points and one point per call (as the tiling scheme calls
// them). items_per_second gives points per second; ns_per_point is printed.
#include <benchmark/benchmark.h>

#include <vector>

#include "platform/ePrjCoordSys.h"

using namespace TVK;

namespace {

constexpr int kBatch = 1000;

std::vector<ePoint2D> GeoPoints(double lon0, double lat0) {
    std::vector<ePoint2D> pts;
    pts.reserve(kBatch);
    for (int i = 0; i < kBatch; ++i) pts.emplace_back(lon0 + (i % 40) * 0.1, lat0 + (i / 40) * 0.5);
    return pts;
}

void Run(benchmark::State& state, const char* definition, double lon0, double lat0, bool inverse,
         int perCall) {
    ePrjCoordSys cs;
    if (!(cs << eWKT(definition))) {
        state.SkipWithError("definition refused");
        return;
    }
    const std::vector<ePoint2D> geo = GeoPoints(lon0, lat0);
    std::vector<ePoint2D> input = geo;
    if (inverse && !cs.Forward(input.data(), kBatch)) {
        state.SkipWithError("forward failed");
        return;
    }
    std::vector<ePoint2D> work(kBatch);
    for (auto _ : state) {
        state.PauseTiming();
        work = input;
        state.ResumeTiming();
        for (int i = 0; i < kBatch; i += perCall) {
            if (inverse)
                cs.Inverse(&work[i], perCall);
            else
                cs.Forward(&work[i], perCall);
        }
        benchmark::DoNotOptimize(work.data());
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["ns_per_point"] =
        benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK_CAPTURE(Run, WebMercatorForwardBatch, "EPSG:3857", -10.0, -40.0, false, kBatch);
BENCHMARK_CAPTURE(Run, WebMercatorInverseBatch, "EPSG:3857", -10.0, -40.0, true, kBatch);
BENCHMARK_CAPTURE(Run, UtmForwardBatch, "EPSG:32633", 13.0, 30.0, false, kBatch);
BENCHMARK_CAPTURE(Run, UtmInverseBatch, "EPSG:32633", 13.0, 30.0, true, kBatch);
BENCHMARK_CAPTURE(Run, WebMercatorForwardSingle, "EPSG:3857", -10.0, -40.0, false, 1);
BENCHMARK_CAPTURE(Run, WebMercatorInverseSingle, "EPSG:3857", -10.0, -40.0, true, 1);
BENCHMARK_CAPTURE(Run, UtmForwardSingle, "EPSG:32633", 13.0, 30.0, false, 1);
BENCHMARK_CAPTURE(Run, UtmInverseSingle, "EPSG:32633", 13.0, 30.0, true, 1);
