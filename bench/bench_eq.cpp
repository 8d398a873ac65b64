// Throughput of the equaliser on stereo float at 48 kHz, as frames per second of one core.
// The real-time factor is frames per second divided by 48000.
#include "dsp/eq_dsp.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

void run(benchmark::State& state, const eq::Curve& curve) {
    constexpr int kFrames = 480; // one 10 ms block, as the engine sees it
    std::vector<float> block(2 * kFrames);
    for (size_t i = 0; i < block.size(); ++i) block[i] = 0.3f * std::sin(0.01f * static_cast<float>(i));
    std::vector<float> work = block;
    eq::Processor p;
    p.set_format(48000, 2);
    p.set_curve(curve);
    for (auto _ : state) {
        work = block;
        p.process(work.data(), kFrames);
        benchmark::DoNotOptimize(work.data());
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
    state.counters["realtime_x"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kFrames / 48000.0, benchmark::Counter::kIsRate);
}

void BM_EqFlat(benchmark::State& state) {
    run(state, eq::Curve{});
}
void BM_EqRockPreset(benchmark::State& state) {
    run(state, eq::preset_curve(eq::find_preset("preset_rock")));
}

} // namespace

BENCHMARK(BM_EqFlat);
BENCHMARK(BM_EqRockPreset);
