// The drawing layer's costs: measuring text with a warm and a cold width cache and on a
// frame's context (uncached), and painting one full 960 x 820 layer at scale 1 and 2.
#include "gfx_layer.h"

#include <benchmark/benchmark.h>

#include <cairo.h>

#include <vector>

namespace {

// Every interface text of every language: more distinct strings than the cache holds.
std::vector<const char*> all_texts() {
    std::vector<const char*> out;
    for (const i18n_data::Lang& lang : i18n_data::LANGS)
        for (int k = 0; k < i18n_data::kKeyCount; ++k)
            out.push_back(lang.values[k]);
    return out;
}

// The texts of one screen in one language: what a warm cache serves.
std::vector<const char*> screen_texts() {
    std::vector<const char*> out;
    for (int k = 0; k < 60; ++k)
        out.push_back(i18n_data::LANGS[0].values[k]);
    return out;
}

// Measures the texts in turn, one per iteration.
void measure_round(benchmark::State& state, const std::vector<const char*>& texts) {
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(gfx::text_width(texts[i], 14));
        i = (i + 1) % texts.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_TextWidthWarm(benchmark::State& state) {
    gfx::init();
    const auto texts = screen_texts();
    for (const char* t : texts)
        gfx::text_width(t, 14);
    measure_round(state, texts);
    gfx::shutdown();
}
BENCHMARK(BM_TextWidthWarm);

void BM_TextWidthCold(benchmark::State& state) {
    gfx::init();
    // 6723 texts go round a cache of 4096 that empties itself whole: every lookup misses.
    measure_round(state, all_texts());
    gfx::shutdown();
}
BENCHMARK(BM_TextWidthCold);

void BM_TextWidthInFrame(benchmark::State& state) {
    gfx::init();
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 16, 16);
    cairo_t* cr = cairo_create(s);
    gfx::set_context(cr);
    measure_round(state, all_texts()); // measured on the context: never cached
    gfx::set_context(nullptr);
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    gfx::shutdown();
}
BENCHMARK(BM_TextWidthInFrame);

void BM_PaintLayer(benchmark::State& state) {
    const int scale = int(state.range(0));
    gfx::init();
    cairo_surface_t* s =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, gfx_layer::kWidth * scale, gfx_layer::kHeight * scale);
    cairo_t* cr = cairo_create(s);
    cairo_scale(cr, scale, scale);
    gfx_layer::paint(cr); // warms the fonts and decodes the icon
    for (auto _ : state) {
        gfx_layer::paint(cr);
        cairo_surface_flush(s);
    }
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    gfx::shutdown();
}
BENCHMARK(BM_PaintLayer)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

} // namespace
