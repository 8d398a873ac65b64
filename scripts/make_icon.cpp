// Draws the program icon, resources/lumafon.png: a dark rounded tile with five equaliser bars
// in the colours of the spectrum (blue at the bass, red at the treble) over a faint sound wave.
// The build embeds the committed PNG; this program only regenerates it after a design change:
//   cmake --build build --target make_icon && build/make_icon resources/lumafon.png
// Shapes are kept large and few so that the icon still reads at 16 x 16.
#include <cairo.h>

#include <cmath>
#include <cstdio>

namespace {

constexpr int kSize = 128;

void set_rgba(cairo_t* cr, unsigned argb) {
    cairo_set_source_rgba(cr, ((argb >> 16) & 255) / 255.0, ((argb >> 8) & 255) / 255.0, (argb & 255) / 255.0,
                          ((argb >> 24) & 255) / 255.0);
}

void add_stop(cairo_pattern_t* p, double at, unsigned argb) {
    cairo_pattern_add_color_stop_rgba(p, at, ((argb >> 16) & 255) / 255.0, ((argb >> 8) & 255) / 255.0,
                                      (argb & 255) / 255.0, ((argb >> 24) & 255) / 255.0);
}

void round_rect(cairo_t* cr, double x, double y, double w, double h, double r) {
    const double pi = 3.14159265358979323846;
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -pi / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, pi / 2);
    cairo_arc(cr, x + r, y + h - r, r, pi / 2, pi);
    cairo_arc(cr, x + r, y + r, r, pi, 3 * pi / 2);
    cairo_close_path(cr);
}

void draw(cairo_t* cr) {
    // The tile: a deep blue-black gradient with a thin light rim, like the dark theme's panels.
    const double m = 4, side = kSize - 2 * m, radius = 26;
    round_rect(cr, m, m, side, side, radius);
    cairo_pattern_t* bg = cairo_pattern_create_linear(0, m, 0, m + side);
    add_stop(bg, 0, 0xFF1C2433);
    add_stop(bg, 1, 0xFF07090E);
    cairo_set_source(cr, bg);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(bg);
    cairo_set_line_width(cr, 2);
    set_rgba(cr, 0x40FFFFFF);
    cairo_stroke(cr);

    // A faint sound wave behind the bars: decaying sine across the tile.
    cairo_save(cr);
    round_rect(cr, m, m, side, side, radius);
    cairo_clip(cr);
    cairo_set_line_width(cr, 3);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    set_rgba(cr, 0x8027D3FF);
    for (int x = 12; x <= kSize - 12; ++x) {
        const double t = (x - 12) / double(kSize - 24);
        const double y = 40 - 16 * std::sin(t * 4 * 3.14159265358979) * std::sin(t * 3.14159265358979);
        if (x == 12)
            cairo_move_to(cr, x, y);
        else
            cairo_line_to(cr, x, y);
    }
    cairo_stroke(cr);
    cairo_restore(cr);

    // Five bars standing on a common floor, each lit from its own colour down to a darker foot.
    struct Bar {
        double height;
        unsigned top, foot;
    };
    const Bar bars[5] = {
        {56, 0xFF4A86FF, 0xFF1E3FA8}, {84, 0xFF2CD0FF, 0xFF0F6C9C}, {68, 0xFF3BE25A, 0xFF1A7F32},
        {92, 0xFFFFD21F, 0xFFB07A0A}, {46, 0xFFFF5A4A, 0xFFA8221E},
    };
    const double bar_w = 15, gap = 6.5, floor_y = 108;
    const double x0 = (kSize - (5 * bar_w + 4 * gap)) / 2;
    for (int i = 0; i < 5; ++i) {
        const double x = x0 + i * (bar_w + gap), y = floor_y - bars[i].height;
        round_rect(cr, x, y, bar_w, bars[i].height, 4);
        cairo_pattern_t* g = cairo_pattern_create_linear(0, y, 0, floor_y);
        add_stop(g, 0, bars[i].top);
        add_stop(g, 1, bars[i].foot);
        cairo_set_source(cr, g);
        cairo_fill(cr);
        cairo_pattern_destroy(g);
        // A bright cap on top of each bar, the peak marker of a level meter.
        round_rect(cr, x, y, bar_w, 5, 2.5);
        set_rgba(cr, 0xD0FFFFFF);
        cairo_fill(cr);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_icon OUTPUT.png\n");
        return 2;
    }
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kSize, kSize);
    cairo_t* cr = cairo_create(surface);
    draw(cr);
    cairo_destroy(cr);
    const cairo_status_t st = cairo_surface_write_to_png(surface, argv[1]);
    cairo_surface_destroy(surface);
    if (st != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "make_icon: cannot write %s: %s\n", argv[1], cairo_status_to_string(st));
        return 1;
    }
    return 0;
}
