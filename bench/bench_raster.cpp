// Cost of one raster picture: the escape-time kinds at the widths the scene asks for (320, 560
// and 800 px, 200 iterations, two samples per pixel) with the generic and the AVX2 kernel, in
// one band and split over every hardware thread; every other kind at 560 px. Pictures are
// 4:3. Arguments: kind, width, kernel (0 generic, 1 AVX2), bands.
// escape_ratio computes the same picture with both kernels in turn, one band, and reports the
// processor time of each and their ratio: on a shared machine the load then weighs on both alike.
#include "scene/raster_bg.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <thread>

namespace {

constexpr double kAspect = 0.75;

void escape(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0)), w = static_cast<int>(state.range(1));
    const auto kernel = state.range(2) ? raster::Kernel::Avx2 : raster::Kernel::Generic;
    const int bands = static_cast<int>(state.range(3));
    if (kernel == raster::Kernel::Avx2 && !raster::has_avx2()) {
        state.SkipWithError("no AVX2 on this processor");
        return;
    }
    raster::Job job = raster::sample_job(kind, w, static_cast<int>(w * kAspect));
    job.iter = 200;
    job.p[6] = 2;
    for (auto _ : state) benchmark::DoNotOptimize(raster::render(job, bands, kernel));
}

void escape_args(benchmark::internal::Benchmark* b) {
    const int all = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    for (int kind : {0, 1, 2})
        for (int w : {320, 560, 800})
            for (int kernel : {0, 1})
                for (int bands : {1, all}) b->Args({kind, w, kernel, bands});
}
BENCHMARK(escape)->Apply(escape_args)->ArgNames({"kind", "w", "avx2", "bands"})->Unit(benchmark::kMillisecond);

double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void escape_ratio(benchmark::State& state) {
    if (!raster::has_avx2()) {
        state.SkipWithError("no AVX2 on this processor");
        return;
    }
    const int kind = static_cast<int>(state.range(0)), w = static_cast<int>(state.range(1));
    raster::Job job = raster::sample_job(kind, w, static_cast<int>(w * kAspect));
    job.iter = 200;
    job.p[6] = 2;
    double generic = 0, avx2 = 0;
    for (auto _ : state) {
        double t0 = thread_cpu_ms();
        benchmark::DoNotOptimize(raster::render(job, 1, raster::Kernel::Generic));
        double t1 = thread_cpu_ms();
        generic += t1 - t0;
        benchmark::DoNotOptimize(raster::render(job, 1, raster::Kernel::Avx2));
        avx2 += thread_cpu_ms() - t1;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["generic_ms"] = generic / n;
    state.counters["avx2_ms"] = avx2 / n;
    state.counters["ratio"] = avx2 > 0 ? generic / avx2 : 0;
}
BENCHMARK(escape_ratio)
    ->ArgsProduct({{0, 1, 2}, {320, 560, 800}})
    ->ArgNames({"kind", "w"})
    ->Unit(benchmark::kMillisecond);

// The tunnel wall (17) is measured with a new wall per picture (a new beat digit each time),
// which is what a beat costs; a repeated key only copies the cached wall.
void other(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    raster::Job job = raster::sample_job(kind, 560, static_cast<int>(560 * kAspect));
    int beat = 0;
    for (auto _ : state) {
        if (kind == 17) job.p[0] = beat++ % 10;
        benchmark::DoNotOptimize(raster::render(job));
    }
}
BENCHMARK(other)->DenseRange(3, 19)->ArgName("kind")->Unit(benchmark::kMillisecond);

} // namespace
