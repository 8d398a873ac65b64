// Cost of the per-frame analysis: the spectrum of one 4096-sample frame at 48 kHz (next to
// FFTW's planned 4096-point complex DFT of the same samples, the transform alone), the onset
// measure over 8192 samples, and the kick detector per second of sound.
//
// "realtime_fraction" is processor time per second of sound covered, printed with SI prefixes:
// 1m (0.001) means 0.1 % of one core. For compute and onset_flux the sound covered is one frame at 60 frames per second,
// which is how often the window calls them.
#include "dsp/analyzer.h"
#include "dsp/kick.h"

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr float kRate = 48000;
constexpr double kFrameSeconds = 1.0 / 60;

// Music-like test sound: a few tones, a kick every half second and some noise.
std::vector<float> test_sound(int n) {
    std::vector<float> x(n);
    uint32_t seed = 12345;
    for (int i = 0; i < n; ++i) {
        const double t = i / static_cast<double>(kRate);
        seed = seed * 1664525u + 1013904223u;
        const double noise = (static_cast<double>(seed >> 8) / (1 << 24) - 0.5) * 0.05;
        const double beat = std::fmod(t, 0.5);
        const double kick =
            0.6 * std::exp(-beat / 0.1) * std::sin(2 * M_PI * (50 * beat + 3 * (1 - std::exp(-beat / 0.03))));
        x[i] = static_cast<float>(0.2 * std::sin(2 * M_PI * 110 * t) + 0.1 * std::sin(2 * M_PI * 1250 * t) +
                                  0.05 * std::sin(2 * M_PI * 6300 * t) + kick + noise);
    }
    return x;
}

void set_realtime_fraction(benchmark::State& state, double seconds_per_call) {
    state.counters["realtime_fraction"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * seconds_per_call,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_AnalyzerCompute(benchmark::State& state) {
    const std::vector<float> x = test_sound(analyzer::kFftSize);
    float bars[analyzer::kBars];
    analyzer::compute(x.data(), kRate, bars); // plan, map and scratch exist from here on
    for (auto _ : state) {
        analyzer::compute(x.data(), kRate, bars);
        benchmark::DoNotOptimize(bars);
        benchmark::ClobberMemory();
    }
    set_realtime_fraction(state, kFrameSeconds);
}

void BM_FftwComplexDft4096(benchmark::State& state) {
    const int n = analyzer::kFftSize;
    fftw_complex* in = fftw_alloc_complex(n);
    fftw_complex* out = fftw_alloc_complex(n);
    // Planning with measurement overwrites the arrays, so the data goes in afterwards.
    fftw_plan plan = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_MEASURE);
    const std::vector<float> x = test_sound(n);
    for (int i = 0; i < n; ++i) {
        in[i][0] = x[i];
        in[i][1] = 0;
    }
    for (auto _ : state) {
        fftw_execute(plan);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    set_realtime_fraction(state, kFrameSeconds);
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
}

void BM_OnsetFlux(benchmark::State& state) {
    const std::vector<float> x = test_sound(8192);
    float flux[analyzer::kMaxOnsets], low[analyzer::kMaxOnsets], high[analyzer::kMaxOnsets];
    for (auto _ : state) {
        benchmark::DoNotOptimize(analyzer::onset_flux(x.data(), 8192, kRate, 12, flux, low, high));
        benchmark::ClobberMemory();
    }
    set_realtime_fraction(state, kFrameSeconds);
}

// One second of sound per iteration, fed in 10 ms pieces as the beat tracker does.
void BM_KickFeedOneSecond(benchmark::State& state) {
    const std::vector<float> x = test_sound(static_cast<int>(kRate));
    kick::Detector d;
    d.period = 0.5f;
    for (auto _ : state) {
        int found = 0;
        for (size_t i = 0; i < x.size(); i += 480) found += d.feed(x.data() + i, 480, kRate);
        benchmark::DoNotOptimize(found);
    }
    set_realtime_fraction(state, 1.0);
}

} // namespace

BENCHMARK(BM_AnalyzerCompute);
BENCHMARK(BM_FftwComplexDft4096);
BENCHMARK(BM_OnsetFlux);
BENCHMARK(BM_KickFeedOneSecond);
