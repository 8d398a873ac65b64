// Build step: makes the smaller sizes of the program icon for the desktop's icon theme from the
// one committed PNG, laid out as the hicolor theme wants them (<S>x<S>/apps/<name>.png), so that
// the install rules can copy the whole directory. Downscaling goes through cairo's GOOD filter,
// which averages every source pixel that falls into a target pixel instead of sampling a few.
// Usage: scale_icon INPUT.png OUTPUT_DIR SIZE...
#include <cairo.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

bool write_scaled(cairo_surface_t* src, int size, const std::filesystem::path& out) {
    const int w = cairo_image_surface_get_width(src), h = cairo_image_surface_get_height(src);
    cairo_surface_t* dst = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
    cairo_t* cr = cairo_create(dst);
    cairo_scale(cr, static_cast<double>(size) / w, static_cast<double>(size) / h);
    cairo_set_source_surface(cr, src, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_destroy(cr);
    std::error_code ec;
    std::filesystem::create_directories(out.parent_path(), ec);
    const cairo_status_t status = cairo_surface_write_to_png(dst, out.c_str());
    cairo_surface_destroy(dst);
    if (status != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "scale_icon: %s: %s\n", out.c_str(), cairo_status_to_string(status));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: scale_icon INPUT.png OUTPUT_DIR SIZE...\n");
        return 1;
    }
    cairo_surface_t* src = cairo_image_surface_create_from_png(argv[1]);
    if (cairo_surface_status(src) != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "scale_icon: %s: %s\n", argv[1], cairo_status_to_string(cairo_surface_status(src)));
        cairo_surface_destroy(src);
        return 1;
    }
    const std::filesystem::path name = std::filesystem::path(argv[1]).filename();
    bool ok = true;
    for (int i = 3; i < argc && ok; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 1 || size > 1024) {
            std::fprintf(stderr, "scale_icon: not a size: %s\n", argv[i]);
            ok = false;
            break;
        }
        const std::string dir = std::to_string(size) + "x" + std::to_string(size);
        ok = write_scaled(src, size, std::filesystem::path(argv[2]) / dir / "apps" / name);
    }
    cairo_surface_destroy(src);
    return ok ? 0 : 1;
}
