// A contact sheet of what the scene's elements draw, without a window: every vector pattern
// (families 0..28), or every overlay kind (0..10), lasers (0..11) or disco style (0..4), after a
// few seconds of steady music-like input (bars at a fixed level, a beat every half second). The
// director's glow lines, dots and light cones are drawn with cairo as plain strokes, discs and
// gradients, each cell captioned with its number and the program's caption.
//
// Usage: tool_scene_sheet patterns|overlays|lasers|disco OUT.png [seconds]
#include "scene/scene3d.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void count_job(const raster::Job&) {}
bool never_busy() { return false; }
std::shared_ptr<const raster::Image> no_image() { return nullptr; }

void colour(cairo_t* cr, uint32_t c) {
    cairo_set_source_rgba(cr, ((c >> 16) & 255) / 255.0, ((c >> 8) & 255) / 255.0, (c & 255) / 255.0, (c >> 24) / 255.0);
}

void draw_out(cairo_t* cr, const scene3d::Out& o) {
    cairo_set_operator(cr, CAIRO_OPERATOR_ADD);
    for (const scene3d::Beam& b : o.beams) {
        cairo_pattern_t* g = cairo_pattern_create_linear((b.x[0] + b.x[1]) / 2, (b.y[0] + b.y[1]) / 2,
                                                         (b.x[2] + b.x[3]) / 2, (b.y[2] + b.y[3]) / 2);
        for (int k : {0, 2}) {
            const uint32_t c = b.color[k];
            cairo_pattern_add_color_stop_rgba(g, k / 2.0, ((c >> 16) & 255) / 255.0, ((c >> 8) & 255) / 255.0,
                                              (c & 255) / 255.0, (c >> 24) / 255.0);
        }
        cairo_move_to(cr, b.x[0], b.y[0]);
        for (int k = 1; k < 4; ++k) cairo_line_to(cr, b.x[k], b.y[k]);
        cairo_close_path(cr);
        cairo_set_source(cr, g);
        cairo_fill(cr);
        cairo_pattern_destroy(g);
    }
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    for (const auto* list : {&o.segs, &o.front_segs})
        for (const scene3d::Seg& s : *list) {
            colour(cr, s.color);
            cairo_set_line_width(cr, s.width);
            cairo_move_to(cr, s.x0, s.y0);
            cairo_line_to(cr, s.x1, s.y1);
            cairo_stroke(cr);
        }
    for (const auto* list : {&o.dots, &o.beam_dots, &o.front_dots})
        for (const scene3d::Dot& d : *list) {
            cairo_pattern_t* g = cairo_pattern_create_radial(d.x, d.y, 0, d.x, d.y, d.radius);
            const uint32_t c = d.color;
            const double r = ((c >> 16) & 255) / 255.0, gr = ((c >> 8) & 255) / 255.0, b = (c & 255) / 255.0;
            cairo_pattern_add_color_stop_rgba(g, 0, r, gr, b, (c >> 24) / 255.0);
            cairo_pattern_add_color_stop_rgba(g, 1, r, gr, b, 0);
            cairo_set_source(cr, g);
            cairo_arc(cr, d.x, d.y, d.radius, 0, 6.2831853);
            cairo_fill(cr);
            cairo_pattern_destroy(g);
        }
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s patterns|overlays|lasers|disco OUT.png [seconds]\n", argv[0]);
        return 2;
    }
    const std::string what = argv[1];
    const double seconds = argc > 3 ? std::atof(argv[3]) : 4;
    int cells = 29;
    if (what == "overlays") cells = 11;
    else if (what == "lasers") cells = 12;
    else if (what == "disco") cells = 5;
    else if (what != "patterns") return 2;
    constexpr int kW = 480, kH = 205; // the visualizer's area of a 960 x 820 window, halved
    const int cols = 4, rows = (cells + cols - 1) / cols;
    cairo_surface_t* sheet = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, cols * kW, rows * (kH + 18));
    cairo_t* out = cairo_create(sheet);
    cairo_set_source_rgb(out, 0.05, 0.06, 0.08);
    cairo_paint(out);
    scene3d::Out o;
    float bars[62];
    for (int c = 0; c < cells; ++c) {
        const std::string n = std::to_string(c);
        unsetenv("LUMA2_OVERLAY"), unsetenv("LUMA2_LASER"), unsetenv("LUMA2_DISCO");
        setenv("LUMA2_PATTERN", what == "patterns" ? n.c_str() : "33", 1);
        if (what == "overlays") setenv("LUMA2_OVERLAY", n.c_str(), 1);
        else setenv("LUMA2_OVERLAY", "8", 1);
        if (what == "lasers") setenv("LUMA2_LASER", n.c_str(), 1);
        if (what == "disco") setenv("LUMA2_DISCO", std::to_string(c + 2).c_str(), 1);
        else setenv("LUMA2_DISCO", "0", 1);
        scene3d::reset(1234 + uint32_t(c));
        scene3d::set_raster_hooks({count_job, never_busy, no_image});
        scene3d::Input in;
        in.win_w = 480, in.win_h = 410, in.area_x = 15, in.area_y = 0, in.area_w = 450, in.area_h = 205;
        in.meter_r = 102;
        in.px = 1;
        const int frames = int(seconds * 30);
        for (int i = 0; i < frames; ++i) {
            const double t = i / 30.0;
            for (int b = 0; b < 31; ++b) bars[b] = bars[31 + b] = -14 - 0.3f * b + 6 * float(std::sin(t * 3 + b));
            in.bars = bars, in.bars_peak = bars + 31;
            in.beat_count = int(t * 2), in.kick_count = int(t * 2), in.clap_count = int(t);
            scene3d::build(in, t, o);
        }
        cairo_surface_t* cell = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kW, kH);
        cairo_t* cr = cairo_create(cell);
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_paint(cr);
        cairo_translate(cr, 0, 0);
        draw_out(cr, o);
        cairo_destroy(cr);
        const int x = (c % cols) * kW, y = (c / cols) * (kH + 18);
        cairo_set_source_surface(out, cell, x, y + 18);
        cairo_paint(out);
        cairo_surface_destroy(cell);
        // Through pango, which finds a font for every character (minus signs, arrows, sub- and
        // superscripts); cairo's own text shows boxes for what its one font lacks.
        cairo_set_source_rgb(out, 0.85, 0.85, 0.9);
        const std::string caption = n + "  " + scene3d::label();
        PangoLayout* layout = pango_cairo_create_layout(out);
        PangoFontDescription* font = pango_font_description_from_string("Sans 8");
        pango_layout_set_font_description(layout, font);
        pango_layout_set_text(layout, caption.c_str(), -1);
        cairo_move_to(out, x + 4, y + 2);
        pango_cairo_show_layout(out, layout);
        pango_font_description_free(font);
        g_object_unref(layout);
    }
    cairo_destroy(out);
    const bool ok = cairo_surface_write_to_png(sheet, argv[2]) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(sheet);
    return ok ? 0 : 1;
}
