// GPU time of each fractal kind, post effect and echo step at 960 x 820, measured with the
// layer's own timer queries (the governor's figures), on whatever GL the offscreen video driver
// gives (llvmpipe on machines without a GPU). Counter "gpu_ms" is GPU milliseconds per frame.
#include "scene/gpu_fractal.h"
#include "scene/raster_bg.h"

#include <SDL2/SDL.h>
#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

constexpr int kW = 960, kH = 820;

struct Gl {
    SDL_Window* win = nullptr;
    SDL_Renderer* ren = nullptr;
    bool ok = false;
    Gl() {
        setenv("SDL_VIDEODRIVER", "offscreen", 1);
        unsetenv("DISPLAY");
        SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
        if (SDL_Init(SDL_INIT_VIDEO) != 0) return;
        win = SDL_CreateWindow("bench", 0, 0, kW, kH, SDL_WINDOW_HIDDEN | SDL_WINDOW_OPENGL);
        ren = win ? SDL_CreateRenderer(win, -1, SDL_RENDERER_ACCELERATED) : nullptr;
        ok = ren && gpu_fractal::init(ren);
        gpu_fractal::test::always_render(true);
    }
};

Gl& gl() {
    static Gl g;
    return g;
}

// Runs `frame` bracketed for GPU timing until the benchmark stops; reports GPU ms per frame.
template <typename F> void run(benchmark::State& state, F frame) {
    Gl& g = gl();
    if (!g.ok) {
        state.SkipWithError("no OpenGL renderer");
        return;
    }
    double ms = 0, sum = 0;
    int n = 0, count = 0;
    // Warm-up: the first draw of a kind builds its program.
    for (int i = 0; i < 3; ++i) {
        gpu_fractal::frame_begin(g.ren);
        frame(g.ren);
        gpu_fractal::frame_end(g.ren);
        SDL_RenderPresent(g.ren);
    }
    gpu_fractal::take_gpu_time(&ms, &n);
    for (auto _ : state) {
        gpu_fractal::frame_begin(g.ren);
        SDL_SetRenderDrawColor(g.ren, 0, 0, 0, 255);
        SDL_RenderClear(g.ren);
        frame(g.ren);
        gpu_fractal::frame_end(g.ren);
        SDL_RenderPresent(g.ren);
        if (gpu_fractal::take_gpu_time(&ms, &n)) sum += ms, count += n;
    }
    state.counters["gpu_ms"] = count ? sum / count : -1;
}

gpu_fractal::Params params(int kind) {
    static raster::Job job = raster::sample_job(0, 8, 8);
    gpu_fractal::Params p;
    p.palette = job.palette;
    p.w = kW, p.h = kH;
    p.ss = 2;
    p.time = 12, p.glow = 1, p.bands[0] = 0.5f, p.bands[1] = 0.4f, p.bands[2] = 0.3f;
    if (kind >= 20) {
        p.shader = kind;
    } else {
        p.kind = kind;
        p.cx = kind == 0 ? -0.7453 : (kind == 2 ? -1.7621 : 0);
        p.cy = kind == 0 ? 0.1127 : (kind == 2 ? -0.0284 : 0);
        p.hw = kind == 0 ? 0.012 : (kind == 2 ? 0.05 : 1.5);
        p.c[0] = -0.8f, p.c[1] = 0.156f;
    }
    p.hh = p.hw * kH / kW;
    return p;
}

void BM_Kind(benchmark::State& state) {
    const auto p = params(static_cast<int>(state.range(0)));
    gpu_fractal::set_quality(static_cast<int>(state.range(1)));
    run(state, [&](SDL_Renderer* ren) { gpu_fractal::draw(ren, p); });
}
BENCHMARK(BM_Kind)->ArgsProduct({{0, 1, 2, 3}, {0, 2}})->ArgNames({"kind", "quality"})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Kind)
    ->ArgsProduct({benchmark::CreateDenseRange(20, 42, 1), {0}})
    ->ArgNames({"kind", "quality"})
    ->Unit(benchmark::kMillisecond);

void BM_Post(benchmark::State& state) {
    gpu_fractal::PostParams pp;
    pp.fx = static_cast<int>(state.range(0));
    pp.amount = 0.7f, pp.cx = kW / 2.f, pp.cy = kH / 2.f, pp.lx = kW / 3.f, pp.ly = kH / 3.f, pp.lr = 0.3f;
    run(state, [&](SDL_Renderer* ren) { gpu_fractal::post(ren, pp); });
}
BENCHMARK(BM_Post)->DenseRange(0, 17)->ArgName("fx")->Unit(benchmark::kMillisecond);

void BM_Echo(benchmark::State& state) {
    gpu_fractal::EchoParams ep;
    ep.cx = kW / 2.f, ep.cy = kH / 2.f;
    gpu_fractal::set_quality(static_cast<int>(state.range(0)));
    run(state, [&](SDL_Renderer* ren) { gpu_fractal::echo(ren, ep); });
}
BENCHMARK(BM_Echo)->Arg(0)->Arg(2)->ArgName("quality")->Unit(benchmark::kMillisecond);

} // namespace
