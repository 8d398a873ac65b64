// Contact sheet of every raster kind, to look at: writes one PNG with a tile per kind (the
// sample job of each at music clock t) and prints each kind's computing time.
// Pictures are computed in one band; the times printed are wall clock and processor time.
// Usage: tool_raster_sheet OUT.png [tile-width [t [kind]]]   (with a kind: that kind alone)
#include "scene/raster_bg.h"

#include <cairo.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {
// This thread's processor time: on a shared machine the wall clock also counts other programs.
double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.png [tile-width [t]]\n", argv[0]);
        return 2;
    }
    const int tw = argc > 2 ? std::atoi(argv[2]) : 280;
    const double t = argc > 3 ? std::atof(argv[3]) : 10;
    const int only = argc > 4 ? std::atoi(argv[4]) : -1;
    const int th = tw * 3 / 4;
    const int kinds = only >= 0 ? 1 : raster::kKinds;
    const int kCols = only >= 0 ? 1 : 5, kGap = 4;
    const int rows = (kinds + kCols - 1) / kCols;
    const int sw = kCols * (tw + kGap) + kGap, sh = rows * (th + kGap) + kGap;
    cairo_surface_t* sheet = cairo_image_surface_create(CAIRO_FORMAT_RGB24, sw, sh);
    cairo_t* cr = cairo_create(sheet);
    cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
    cairo_paint(cr);
    for (int slot = 0; slot < kinds; ++slot) {
        const int kind = only >= 0 ? only : slot;
        const raster::Job job = raster::sample_job(kind, tw, th, t);
        const auto start = std::chrono::steady_clock::now();
        const double cpu0 = thread_cpu_ms();
        const auto img = raster::render(job, 1);
        const double cpu = thread_cpu_ms() - cpu0;
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::printf("kind %2d  %4dx%-4d %7.1f ms (processor time %.1f ms)\n", kind, img->w, img->h, ms, cpu);
        cairo_surface_t* tile = cairo_image_surface_create(CAIRO_FORMAT_RGB24, img->w, img->h);
        cairo_surface_flush(tile);
        unsigned char* data = cairo_image_surface_get_data(tile);
        const int stride = cairo_image_surface_get_stride(tile);
        for (int y = 0; y < img->h; ++y)
            std::memcpy(data + y * stride, img->px.data() + static_cast<size_t>(y) * img->w, 4 * img->w);
        cairo_surface_mark_dirty(tile);
        const int x = kGap + (slot % kCols) * (tw + kGap), y = kGap + (slot / kCols) * (th + kGap);
        cairo_set_source_surface(cr, tile, x, y);
        cairo_paint(cr);
        cairo_surface_destroy(tile);
        char label[16];
        std::snprintf(label, sizeof label, "%d", kind);
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_move_to(cr, x + 4, y + 14);
        cairo_set_font_size(cr, 12);
        cairo_show_text(cr, label);
    }
    cairo_destroy(cr);
    const bool ok = cairo_surface_write_to_png(sheet, argv[1]) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(sheet);
    if (!ok) std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return ok ? 0 : 1;
}
