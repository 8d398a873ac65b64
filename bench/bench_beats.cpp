// Cost of the beat tracker with its kick detector, per second of sound: the window calls
// track_beat() 60 times a second, each time on the newest 8192 tapped frames (here a tap of
// music-like sound that moves on by 800 frames per call), and release_beats() once per frame.
// Next to it the kick detector alone, fed in 10 ms pieces.
//
// "realtime_fraction" is processor time per second of sound, printed with SI prefixes: 2m
// (0.002) is 0.2 % of one core.
#include "dsp/kick.h"
#include "ui/ui.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr float kRate = 48000;
constexpr int kFramesPerCall = 800; // 1/60 s

// Kicks every half second over a bass line, hats and noise; ten seconds, repeated.
const std::vector<float>& music() {
    static const std::vector<float> x = [] {
        std::vector<float> v(static_cast<size_t>(kRate) * 10);
        uint32_t seed = 12345;
        for (size_t i = 0; i < v.size(); ++i) {
            const double t = static_cast<double>(i) / kRate;
            seed = seed * 1664525u + 1013904223u;
            const double noise = (static_cast<double>(seed >> 8) / (1 << 24) - 0.5);
            const double beat = std::fmod(t, 0.5), eighth = std::fmod(t, 0.25);
            const double kick = 0.6 * std::exp(-beat / 0.1) *
                                std::sin(2 * M_PI * (50 * beat + 3 * (1 - std::exp(-beat / 0.03))));
            const double hat = 0.1 * std::exp(-eighth / 0.02) * noise;
            v[i] = static_cast<float>(0.15 * std::sin(2 * M_PI * 55 * t) + kick + hat + 0.01 * noise);
        }
        return v;
    }();
    return x;
}

size_t g_pos = 0;
double g_now = 0;

bool bench_tap(float* left, float* right, int count, float* rate, float* age) {
    *age = 0;
    // The engine copies out of its ring in at most two pieces; so does this.
    const std::vector<float>& x = music();
    *rate = kRate;
    const size_t n = x.size(), start = (g_pos + n - count) % n;
    const size_t first = std::min<size_t>(count, n - start);
    std::copy(x.begin() + start, x.begin() + start + first, left);
    std::copy(x.begin(), x.begin() + (count - first), left + first);
    std::copy(left, left + count, right);
    return true;
}

double bench_clock() {
    return g_now;
}

float bench_delay() {
    return 0.06f;
}

void set_realtime_fraction(benchmark::State& state, double seconds_per_iteration) {
    state.counters["realtime_fraction"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * seconds_per_iteration,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// One second of sound per iteration: 60 frames.
void BM_BeatTrackerOneSecond(benchmark::State& state) {
    ui::BeatSource source;
    source.tap = bench_tap;
    source.clock = bench_clock;
    source.delay = bench_delay;
    ui::set_beat_source(source);
    ui::g_beat = ui::BeatTracker();
    for (auto _ : state) {
        for (int f = 0; f < 60; ++f) {
            g_pos += kFramesPerCall;
            g_now += 1.0 / 60;
            ui::track_beat(kRate, 1.0f / 60);
            ui::release_beats();
        }
        benchmark::DoNotOptimize(ui::g_beat.kicks_released);
    }
    set_realtime_fraction(state, 1.0);
    ui::set_beat_source({});
}

void BM_KickDetectorOneSecond(benchmark::State& state) {
    const std::vector<float>& x = music();
    kick::Detector d;
    d.period = 0.5f;
    for (auto _ : state) {
        int found = 0;
        for (size_t i = 0; i < 48000; i += 480) found += d.feed(x.data() + i, 480, kRate);
        benchmark::DoNotOptimize(found);
    }
    set_realtime_fraction(state, 1.0);
}

} // namespace

BENCHMARK(BM_BeatTrackerOneSecond);
BENCHMARK(BM_KickDetectorOneSecond);
