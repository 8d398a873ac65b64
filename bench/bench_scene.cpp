// Cost of the scene director's build() per frame at 960 × 820: three minutes of recorded input
// (a loud passage with kicks every 0.42 s and claps, a quiet stretch, a drop, silence) at 60
// frames a second, with post effects and echo allowed. "frame" measures the steady loop; "run"
// times every frame of the whole recording and reports the distribution (p50, p99, max in
// microseconds). Raster jobs are counted, not computed, so that the director's own cost is
// measured; "run_worker" hands them to the real raster worker.
#include "scene/scene3d.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

void count_job(const raster::Job&) {}
bool never_busy() { return false; }
std::shared_ptr<const raster::Image> no_image() { return nullptr; }

// The recording: bar levels and counters for frame i.
struct Recording {
    float bars[62] = {};
    scene3d::Input in;
    void at(int i) {
        const double s = i / 60.0;
        float db = -9;
        if (s > 70 && s < 75) db = -60;       // a quiet stretch, then the drop
        if (s > 160) db = -80;                // silence at the end
        for (int b = 0; b < 31; ++b) bars[b] = bars[31 + b] = db - 0.2f * b + 3 * float(((i * 7 + b * 13) % 11) - 5) / 5;
        if (db > -20 && i % 25 == 0) in.beat_count++, in.kick_count++;
        if (db > -20 && i % 100 == 50) in.clap_count++;
    }
};

void prepare(uint32_t seed, bool worker, Recording& rec) {
    scene3d::reset(seed);
    if (worker) scene3d::set_raster_hooks({});
    else scene3d::set_raster_hooks({count_job, never_busy, no_image});
    scene3d::set_gpu_post(true);
    scene3d::set_gpu_echo(true);
    rec.in.bars = rec.bars;
    rec.in.bars_peak = rec.bars + 31;
    rec.in.meter_r = 410;
    rec.in.px = 1;
}

void frame(benchmark::State& state) {
    Recording rec;
    prepare(3, false, rec);
    scene3d::Out out;
    int i = 0;
    for (auto _ : state) {
        rec.at(i % (150 * 60));
        scene3d::build(rec.in, 100 + i / 60.0, out);
        benchmark::DoNotOptimize(out.meter_scale);
        ++i;
    }
}
BENCHMARK(frame)->Unit(benchmark::kMicrosecond);

void run(benchmark::State& state, bool worker) {
    std::vector<double> us;
    us.reserve(3 * 60 * 60);
    for (auto _ : state) {
        Recording rec;
        prepare(5, worker, rec);
        scene3d::Out out;
        us.clear();
        for (int i = 0; i < 3 * 60 * 60; ++i) {
            rec.at(i);
            const auto a = std::chrono::steady_clock::now();
            scene3d::build(rec.in, 100 + i / 60.0, out);
            const auto b = std::chrono::steady_clock::now();
            us.push_back(std::chrono::duration<double, std::micro>(b - a).count());
        }
    }
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
    state.counters["max_us"] = us.back();
    state.counters["switches"] = double(scene3d::status().switches);
    scene3d::set_raster_hooks({});
    raster::shutdown();
}
BENCHMARK_CAPTURE(run, counted, false)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(run, worker, true)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace
