// Draws arbitrary bytes as a PNG image, as the drawing layer does with image data. Whatever
// the bytes, nothing may crash, read out of bounds or leave the cairo context broken.
#include "render/gfx_cairo.h"

#include <cairo.h>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!gfx::init()) __builtin_trap();
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 24, 24);
    cairo_t* cr = cairo_create(surface);
    gfx::set_context(cr);
    gfx::image_png(data, size, {0, 0, 24, 24});
    gfx::image_png(data, size, {3, 5, 7, 2}); // the cached decode, scaled down unevenly
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) __builtin_trap();
    gfx::set_context(nullptr);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    // Images are cached by address, and the next input may come at the same one.
    gfx::shutdown();
    return 0;
}
