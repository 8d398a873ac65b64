// Writes sample pictures of the drawing layer to look at: the benchmark's layer in both
// themes and at scale 2, and a sheet of the shapes with every language's name and a text of
// each script's languages.
// Usage: tool_gfx_sheet OUTPUT_DIR
#include "gfx_layer.h"

#include <cairo.h>

#include <cstdio>
#include <string>

namespace {

bool write(cairo_surface_t* s, const std::string& path) {
    const cairo_status_t st = cairo_surface_write_to_png(s, path.c_str());
    if (st != CAIRO_STATUS_SUCCESS) std::fprintf(stderr, "%s: %s\n", path.c_str(), cairo_status_to_string(st));
    return st == CAIRO_STATUS_SUCCESS;
}

bool layer(const std::string& path, bool dark, double scale, const char* lang) {
    theme::set_dark(dark);
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(gfx_layer::kWidth * scale),
                                                    int(gfx_layer::kHeight * scale));
    cairo_t* cr = cairo_create(s);
    cairo_scale(cr, scale, scale);
    gfx_layer::paint(cr, lang);
    cairo_destroy(cr);
    const bool ok = write(s, path);
    cairo_surface_destroy(s);
    return ok;
}

// Every shape of the layer, then the languages' own names and their word for "settings".
bool sheet(const std::string& path) {
    theme::set_dark(true);
    const uint32_t* c = theme::colors();
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1000, 1000);
    cairo_t* cr = cairo_create(s);
    gfx::set_context(cr);
    gfx::clear(c[0]);
    const float zig[] = {20, 150, 60, 110, 100, 160, 140, 100, 180, 140};
    const float poly[] = {420, 160, 450, 100, 500, 120, 480, 170};
    gfx::fill_rect({20, 20, 60, 40}, c[theme::kAccent]);
    gfx::fill_round_rect({100, 20, 80, 40}, 10, c[theme::kGood]);
    gfx::fill_round_rect({200, 20, 100, 24}, 99, c[theme::kWarning]);
    gfx::stroke_round_rect({320, 20, 80, 40}, 10, c[theme::kError], 3);
    gfx::fill_circle(440, 40, 20, c[theme::kStrokeHover]);
    gfx::stroke_circle(500, 40, 20, c[theme::kAccent], 3);
    gfx::stroke_arc(570, 40, 20, 0, 360, c[theme::kGood], 5);
    gfx::stroke_arc(630, 40, 20, 45, 270, c[theme::kWarning], 5);
    gfx::line(680, 20, 740, 60, c[theme::kIconHover], 3);
    gfx::fill_triangle(760, 60, 790, 20, 820, 60, c[theme::kError]);
    gfx::polyline(zig, 5, c[theme::kAccent], 3);
    gfx::fill_under(zig, 5, 190, theme::with_alpha(c[theme::kAccent], 0.6f), 0);
    gfx::fill_rect_vgrad({200, 90, 60, 100}, theme::bar_color(1), theme::bar_color(0));
    gfx::fill_round_rect_vgrad({280, 90, 60, 100}, 12, c[theme::kGood], c[theme::kPanelBottom]);
    gfx::fill_ellipse_vgrad(380, 140, 25, 45, c[theme::kWarning], c[theme::kError]);
    gfx::fill_polygon_vgrad(poly, 4, c[theme::kAccent], c[theme::kGood]);
    gfx::fill_radial(570, 140, 45, 555, 125, 3, 0xFFFFFFFF, c[theme::kAccent]);
    for (int i = 0; i < 56; ++i)
        gfx::fill_rect({640 + i * 6.0f, 100, 5, 80}, theme::bar_color(i / 55.0f));
    gfx::image_png(icon_data::kPng, icon_data::kPngSize, {660, 190 - 4, 16, 16});
    gfx::image_png(icon_data::kPng, icon_data::kPngSize, {690, 190 - 4, 32, 32});
    gfx::image_png(icon_data::kPng, icon_data::kPngSize, {730, 190 - 4, 64, 64});
    gfx::push_clip({850, 90, 120, 60});
    gfx::push_clip({900, 60, 120, 120});
    gfx::fill_circle(910, 120, 50, c[theme::kError]);
    gfx::pop_clip();
    gfx::fill_circle(910, 120, 40, theme::with_alpha(c[theme::kGood], 0.6f));
    gfx::pop_clip();

    // Names in four columns, and the word for the settings in each language.
    int i = 0;
    for (const i18n_data::Lang& lang : i18n_data::LANGS) {
        const float x = 20 + (i % 4) * 245.0f, y = 270 + (i / 4) * 34.0f;
        gfx::text({x, y, 240, 16}, lang.name, 15, c[theme::kStrokeHover], lang.rtl ? gfx::Align::Right : gfx::Align::Left,
                  true);
        gfx::text({x, y + 16, 240, 14}, gfx_layer::text_of(lang.code, "settings"), 12, c[theme::kTextColor],
                  lang.rtl ? gfx::Align::Right : gfx::Align::Left);
        ++i;
    }
    gfx::set_context(nullptr);
    cairo_destroy(cr);
    const bool ok = write(s, path);
    cairo_surface_destroy(s);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tool_gfx_sheet OUTPUT_DIR\n");
        return 2;
    }
    if (!gfx::init()) return 1;
    const std::string dir = argv[1];
    bool ok = sheet(dir + "/gfx_sheet.png");
    ok &= layer(dir + "/gfx_layer_dark.png", true, 1, "en");
    ok &= layer(dir + "/gfx_layer_light_de.png", false, 1, "de");
    ok &= layer(dir + "/gfx_layer_ar_x2.png", true, 2, "ar");
    gfx::shutdown();
    return ok ? 0 : 1;
}
