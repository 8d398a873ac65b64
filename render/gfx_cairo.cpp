// The drawing layer over cairo and pango (see gfx_cairo.h). Window thread only: the current
// context, the pango contexts and layouts, and every cache here are unguarded module state.
//
// Sections: set-up and frame; shapes; text; images; the overlap checker.
#include "render/gfx_cairo.h"

#include "core/logger.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <unordered_map>
#include <utility>

namespace gfx {

namespace check {
namespace {
std::vector<Ink> g_inks; // this frame's text, cut to its boxes
FILE* g_out = nullptr;   // the checker's log; null while checking is off
bool g_tried = false;    // whether LUMA2_TEXTCHECK has been read
} // namespace
} // namespace check

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kWidthCacheMax = 4096;
constexpr float kMaxTextSize = 4096; // pixel sizes above are taken as this (pango's units are ints)
// A PNG bigger than this is refused before decoding: a forged header must not make us
// allocate gigabytes. The largest picture the window shows is a few hundred pixels wide.
constexpr uint32_t kMaxImageSide = 4096;
constexpr uint64_t kMaxImagePixels = 4u << 20;

cairo_t* g_cr = nullptr;
int g_clip_depth = 0; // push_clip calls not yet popped on g_cr

PangoContext* g_measure = nullptr; // measures without a cairo context
PangoLayout* g_measure_layout = nullptr;
PangoContext* g_draw = nullptr; // follows the current cairo context's matrix and font options
PangoLayout* g_draw_layout = nullptr;

std::unordered_map<uint64_t, PangoFontDescription*> g_fonts;
std::unordered_map<std::string, float> g_widths;
std::string g_key; // reused to look widths up without allocating
std::map<std::pair<const unsigned char*, std::size_t>, cairo_surface_t*> g_images; // null: failed

// ---- helpers

void set_color(uint32_t c) {
    cairo_set_source_rgba(g_cr, ((c >> 16) & 255) / 255.0, ((c >> 8) & 255) / 255.0, (c & 255) / 255.0,
                          ((c >> 24) & 255) / 255.0);
}

void add_stop(cairo_pattern_t* p, double offset, uint32_t c) {
    cairo_pattern_add_color_stop_rgba(p, offset, ((c >> 16) & 255) / 255.0, ((c >> 8) & 255) / 255.0,
                                      (c & 255) / 255.0, ((c >> 24) & 255) / 255.0);
}

// Fills the current path with a vertical gradient from `top` at y0 to `bottom` at y1.
void fill_vgrad(double y0, double y1, uint32_t top, uint32_t bottom) {
    cairo_pattern_t* p = cairo_pattern_create_linear(0, y0, 0, y1);
    add_stop(p, 0, top);
    add_stop(p, 1, bottom);
    cairo_set_source(g_cr, p);
    cairo_fill(g_cr);
    cairo_pattern_destroy(p);
}

void round_rect_path(const Rect& r, float radius) {
    const double rr = std::min({double(radius), r.w / 2.0, r.h / 2.0});
    if (!(rr > 0)) {
        cairo_rectangle(g_cr, r.x, r.y, r.w, r.h);
        return;
    }
    cairo_new_sub_path(g_cr);
    cairo_arc(g_cr, r.x + r.w - rr, r.y + rr, rr, -kPi / 2, 0);
    cairo_arc(g_cr, r.x + r.w - rr, r.y + r.h - rr, rr, 0, kPi / 2);
    cairo_arc(g_cr, r.x + rr, r.y + r.h - rr, rr, kPi / 2, kPi);
    cairo_arc(g_cr, r.x + rr, r.y + rr, rr, kPi, 3 * kPi / 2);
    cairo_close_path(g_cr);
}

// Coordinates that are not finite draw nothing: cairo would turn them into arbitrary pixels.
bool finite(std::initializer_list<float> values) {
    for (float v : values)
        if (!std::isfinite(v)) return false;
    return true;
}
bool finite_points(const float* xy, int count) {
    for (int i = 0; i < 2 * count; ++i)
        if (!std::isfinite(xy[i])) return false;
    return true;
}
bool empty(const Rect& r) { return !(r.w > 0 && r.h > 0) || !finite({r.x, r.y, r.w, r.h}); }

// Starts a shape: false when there is nothing to draw on.
bool shape() {
    if (!g_cr) return false;
    cairo_new_path(g_cr);
    return true;
}

void points_path(const float* xy, int count) {
    cairo_move_to(g_cr, xy[0], xy[1]);
    for (int i = 1; i < count; ++i)
        cairo_line_to(g_cr, xy[2 * i], xy[2 * i + 1]);
}

void release_text_state() {
    for (PangoLayout** layout : {&g_measure_layout, &g_draw_layout})
        if (*layout) g_object_unref(*layout), *layout = nullptr;
    for (PangoContext** context : {&g_measure, &g_draw})
        if (*context) g_object_unref(*context), *context = nullptr;
}

} // namespace

// ---- set-up and frame

bool init(void*) {
    if (g_measure) return true;
    PangoFontMap* map = pango_cairo_font_map_get_default();
    if (!map) {
        logger::error("Drawing: no pango-cairo font map");
        return false;
    }
    g_measure = pango_font_map_create_context(map);
    g_draw = pango_font_map_create_context(map);
    if (!g_measure || !g_draw) {
        logger::error("Drawing: no pango context");
        release_text_state();
        return false;
    }
    g_measure_layout = pango_layout_new(g_measure);
    g_draw_layout = pango_layout_new(g_draw);
    g_key.reserve(256);
    // Pango reads fontconfig's configuration on a thread of its own, which calls getenv; a
    // setenv elsewhere meanwhile may move the environment under it. One measured text waits
    // for that thread, so init returns with the fonts loaded.
    int w = 0, h = 0;
    pango_layout_set_text(g_measure_layout, "x", 1);
    pango_layout_get_pixel_size(g_measure_layout, &w, &h);
    return true;
}

void shutdown() {
    for (auto& [key, surface] : g_images)
        if (surface) cairo_surface_destroy(surface);
    g_images.clear();
    for (auto& [key, font] : g_fonts)
        pango_font_description_free(font);
    g_fonts.clear();
    g_widths.clear();
    release_text_state();
    // The default font map holds every font and fontconfig pattern it has looked up; dropped
    // here so that nothing of the text machinery outlives the layer.
    pango_cairo_font_map_set_default(nullptr);
    g_cr = nullptr;
    g_clip_depth = 0;
    if (check::g_out) std::fclose(check::g_out);
    check::g_out = nullptr;
    check::g_tried = false;
    check::g_inks.clear();
}

void set_context(cairo_t* cr) {
    g_cr = cr;
    g_clip_depth = 0;
    if (!cr) return;
    check::g_inks.clear();
    if (g_draw) pango_cairo_update_context(cr, g_draw);
}

cairo_t* context() { return g_cr; }
bool begin() { return g_cr != nullptr; }
void end() {}
void resize(int, int) {}

void clear(uint32_t color) {
    if (!g_cr) return;
    cairo_save(g_cr);
    cairo_set_operator(g_cr, CAIRO_OPERATOR_SOURCE);
    set_color(color);
    cairo_paint(g_cr);
    cairo_restore(g_cr);
}

// ---- shapes

void fill_rect(const Rect& r, uint32_t color) {
    if (!shape() || empty(r)) return;
    cairo_rectangle(g_cr, r.x, r.y, r.w, r.h);
    set_color(color);
    cairo_fill(g_cr);
}

void fill_round_rect(const Rect& r, float radius, uint32_t color) {
    if (!shape() || empty(r)) return;
    round_rect_path(r, radius);
    set_color(color);
    cairo_fill(g_cr);
}

void stroke_round_rect(const Rect& r, float radius, uint32_t color, float line_width) {
    if (!shape() || empty(r) || !(line_width > 0) || !finite({radius, line_width})) return;
    // Inset by half the line so that the stroke stays inside the rect.
    const Rect in{r.x + line_width / 2, r.y + line_width / 2, r.w - line_width, r.h - line_width};
    if (empty(in)) return;
    round_rect_path(in, radius);
    set_color(color);
    cairo_set_line_width(g_cr, line_width);
    cairo_stroke(g_cr);
}

void fill_circle(float cx, float cy, float r, uint32_t color) {
    if (!shape() || !(r > 0) || !finite({cx, cy, r})) return;
    cairo_arc(g_cr, cx, cy, r, 0, 2 * kPi);
    set_color(color);
    cairo_fill(g_cr);
}

void stroke_circle(float cx, float cy, float r, uint32_t color, float line_width) {
    if (!shape() || !(r > 0) || !(line_width > 0) || !finite({cx, cy, r, line_width})) return;
    cairo_arc(g_cr, cx, cy, r, 0, 2 * kPi);
    set_color(color);
    cairo_set_line_width(g_cr, line_width);
    cairo_stroke(g_cr);
}

void line(float x0, float y0, float x1, float y1, uint32_t color, float line_width) {
    if (!shape() || !(line_width > 0) || !finite({x0, y0, x1, y1, line_width})) return;
    cairo_move_to(g_cr, x0, y0);
    cairo_line_to(g_cr, x1, y1);
    set_color(color);
    cairo_set_line_width(g_cr, line_width);
    cairo_set_line_cap(g_cr, CAIRO_LINE_CAP_ROUND);
    cairo_stroke(g_cr);
}

void polyline(const float* xy, int count, uint32_t color, float line_width) {
    if (!shape() || !xy || count < 2 || !(line_width > 0) || !std::isfinite(line_width) || !finite_points(xy, count))
        return;
    points_path(xy, count);
    set_color(color);
    cairo_set_line_width(g_cr, line_width);
    cairo_set_line_cap(g_cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(g_cr, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke(g_cr);
    cairo_set_line_join(g_cr, CAIRO_LINE_JOIN_MITER);
}

void fill_triangle(float x0, float y0, float x1, float y1, float x2, float y2, uint32_t color) {
    if (!shape() || !finite({x0, y0, x1, y1, x2, y2})) return;
    cairo_move_to(g_cr, x0, y0);
    cairo_line_to(g_cr, x1, y1);
    cairo_line_to(g_cr, x2, y2);
    cairo_close_path(g_cr);
    set_color(color);
    cairo_fill(g_cr);
}

void stroke_arc(float cx, float cy, float r, float start_deg, float end_deg, uint32_t color, float line_width) {
    if (!shape() || !(r > 0) || !(end_deg - start_deg > 0) || !(line_width > 0) ||
        !finite({cx, cy, r, start_deg, end_deg, line_width}))
        return;
    set_color(color);
    cairo_set_line_width(g_cr, line_width);
    if (end_deg - start_deg >= 360) {
        // A whole ring: closed, so no caps meet at twelve o'clock.
        cairo_arc(g_cr, cx, cy, r, 0, 2 * kPi);
        cairo_close_path(g_cr);
        cairo_set_line_cap(g_cr, CAIRO_LINE_CAP_BUTT);
    } else {
        cairo_arc(g_cr, cx, cy, r, (start_deg - 90) * kPi / 180, (end_deg - 90) * kPi / 180);
        cairo_set_line_cap(g_cr, CAIRO_LINE_CAP_ROUND);
    }
    cairo_stroke(g_cr);
}

void fill_rect_vgrad(const Rect& r, uint32_t top, uint32_t bottom) {
    if (!shape() || empty(r)) return;
    cairo_rectangle(g_cr, r.x, r.y, r.w, r.h);
    fill_vgrad(r.y, r.y + r.h, top, bottom);
}

void fill_round_rect_vgrad(const Rect& r, float radius, uint32_t top, uint32_t bottom) {
    if (!shape() || empty(r)) return;
    round_rect_path(r, radius);
    fill_vgrad(r.y, r.y + r.h, top, bottom);
}

void fill_polygon_vgrad(const float* xy, int count, uint32_t top, uint32_t bottom) {
    if (!shape() || !xy || count < 3 || !finite_points(xy, count)) return;
    float lo = xy[1], hi = xy[1];
    for (int i = 1; i < count; ++i)
        lo = std::min(lo, xy[2 * i + 1]), hi = std::max(hi, xy[2 * i + 1]);
    points_path(xy, count);
    cairo_close_path(g_cr);
    fill_vgrad(lo, std::max(hi, lo + 0.5f), top, bottom);
}

void fill_ellipse_vgrad(float cx, float cy, float rx, float ry, uint32_t top, uint32_t bottom) {
    if (!shape() || !(rx > 0 && ry > 0) || !finite({cx, cy, rx, ry})) return;
    cairo_save(g_cr);
    cairo_translate(g_cr, cx, cy);
    cairo_scale(g_cr, rx, ry);
    cairo_arc(g_cr, 0, 0, 1, 0, 2 * kPi);
    cairo_restore(g_cr); // the path keeps its shape; the gradient is set in unscaled units
    fill_vgrad(cy - ry, cy + ry, top, bottom);
}

void fill_under(const float* xy, int count, float base_y, uint32_t top, uint32_t bottom) {
    if (!shape() || !xy || count < 2 || !std::isfinite(base_y) || !finite_points(xy, count)) return;
    float lo = base_y;
    cairo_move_to(g_cr, xy[0], base_y);
    for (int i = 0; i < count; ++i) {
        cairo_line_to(g_cr, xy[2 * i], xy[2 * i + 1]);
        lo = std::min(lo, xy[2 * i + 1]);
    }
    cairo_line_to(g_cr, xy[2 * (count - 1)], base_y);
    cairo_close_path(g_cr);
    fill_vgrad(lo, base_y, top, bottom);
}

void fill_radial(float cx, float cy, float r, float fx, float fy, float inner_r, uint32_t inner, uint32_t outer) {
    if (!shape() || !(r > 0) || !finite({cx, cy, r, fx, fy, inner_r})) return;
    cairo_pattern_t* p = cairo_pattern_create_radial(fx, fy, std::max(inner_r, 0.0f), cx, cy, r);
    add_stop(p, 0, inner);
    add_stop(p, 1, outer);
    cairo_arc(g_cr, cx, cy, r, 0, 2 * kPi);
    cairo_set_source(g_cr, p);
    cairo_fill(g_cr);
    cairo_pattern_destroy(p);
}

void push_clip(const Rect& r) {
    if (!g_cr) return;
    cairo_save(g_cr);
    ++g_clip_depth;
    cairo_new_path(g_cr);
    // An empty rect clips everything away, as the rect says; so does one that is not finite.
    if (finite({r.x, r.y, r.w, r.h}))
        cairo_rectangle(g_cr, r.x, r.y, std::max(r.w, 0.0f), std::max(r.h, 0.0f));
    else
        cairo_rectangle(g_cr, 0, 0, 0, 0);
    cairo_clip(g_cr);
}

void pop_clip() {
    // A pop without its push would restore a state the caller saved (or break the context).
    if (!g_cr || g_clip_depth == 0) return;
    --g_clip_depth;
    cairo_restore(g_cr);
}

// ---- text

namespace {

bool usable(const char* s) { return s && *s && g_utf8_validate(s, -1, nullptr); }

// The layout to measure with: the current context's, else the one without a context.
PangoLayout* measuring_layout() {
    if (g_cr && g_draw_layout) {
        pango_cairo_update_layout(g_cr, g_draw_layout);
        return g_draw_layout;
    }
    return g_measure_layout;
}

// Sets every property of the shared layout, so that no call inherits another's.
void prepare(PangoLayout* layout, const char* s, int bytes, float size, bool bold, float wrap_width,
             Align align) {
    pango_layout_set_font_description(layout, font_for(size, bold));
    if (wrap_width > 0) {
        pango_layout_set_single_paragraph_mode(layout, FALSE);
        pango_layout_set_width(layout, int(std::min(wrap_width, 1e6f) * PANGO_SCALE));
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    } else {
        pango_layout_set_single_paragraph_mode(layout, TRUE);
        pango_layout_set_width(layout, -1);
    }
    pango_layout_set_alignment(layout, align == Align::Center  ? PANGO_ALIGN_CENTER
                                       : align == Align::Right ? PANGO_ALIGN_RIGHT
                                                               : PANGO_ALIGN_LEFT);
    pango_layout_set_text(layout, s, bytes);
}

float logical_width(PangoLayout* layout) {
    PangoRectangle logical;
    pango_layout_get_extents(layout, nullptr, &logical);
    return float(logical.width) / PANGO_SCALE;
}

void ensure_checker() {
    if (check::g_tried) return;
    check::g_tried = true;
    const char* path = std::getenv("LUMA2_TEXTCHECK");
    if (!path || !*path) return;
    check::g_out = std::fopen(path, "a");
    if (!check::g_out) {
        logger::warn(std::string("Text check: cannot open ") + path + ": " + std::strerror(errno));
        return;
    }
    check::g_inks.reserve(256);
    logger::info(std::string("Text check: writing to ") + path);
}

// Records the layout's ink, drawn with its top-left at (x, y), against its clip box.
void record_ink(PangoLayout* layout, double x, double y, const Rect& clip, const char* s) {
    if (!check::g_out) return;
    PangoRectangle ink;
    pango_layout_get_pixel_extents(layout, &ink, nullptr);
    check::record(x + ink.x, y + ink.y, ink.width, ink.height, clip, s);
}

} // namespace

const PangoFontDescription* font_for(float size, bool bold) {
    size = std::clamp(std::isfinite(size) ? size : 0.0f, 0.0f, kMaxTextSize);
    const uint64_t key = (bold ? 1u : 0u) | uint64_t(int64_t(size * 100)) << 1;
    auto it = g_fonts.find(key);
    if (it != g_fonts.end()) return it->second;
    PangoFontDescription* font = pango_font_description_new();
    pango_font_description_set_family_static(font, "Sans");
    pango_font_description_set_weight(font, bold ? PangoWeight(600) : PANGO_WEIGHT_NORMAL);
    pango_font_description_set_absolute_size(font, double(size) * PANGO_SCALE);
    g_fonts.emplace(key, font);
    return font;
}

void text(const Rect& r, const char* s, float size, uint32_t color, Align align, bool bold,
          bool centre_vertically) {
    if (!g_cr || !g_draw_layout || !usable(s) || !(size > 0) || !(r.w >= 0 && r.h >= 0) ||
        !finite({r.x, r.y, r.w, r.h}))
        return;
    size = std::min(size, kMaxTextSize);
    ensure_checker();
    pango_cairo_update_layout(g_cr, g_draw_layout);
    prepare(g_draw_layout, s, -1, size, bold, 0, Align::Left);
    int tw = 0, th = 0;
    pango_layout_get_pixel_size(g_draw_layout, &tw, &th);
    float x = r.x;
    if (align == Align::Center)
        x = r.x + (r.w - float(tw)) / 2;
    else if (align == Align::Right)
        x = r.x + r.w - float(tw);
    const float y = centre_vertically ? r.y + (r.h - float(th)) / 2 : r.y;
    // Grown so that a line slightly taller than its rect (accents, descenders) is not cut.
    const Rect box{r.x - 2, r.y - 0.6f * size, r.w + 4, r.h + 1.2f * size};
    cairo_save(g_cr);
    cairo_new_path(g_cr);
    cairo_rectangle(g_cr, box.x, box.y, box.w, box.h);
    cairo_clip(g_cr);
    set_color(color);
    cairo_move_to(g_cr, x, y);
    pango_cairo_show_layout(g_cr, g_draw_layout);
    cairo_restore(g_cr);
    record_ink(g_draw_layout, x, y, box, s);
}

float text_wrapped(const Rect& r, const char* s, float size, uint32_t color, Align align) {
    if (!g_cr || !g_draw_layout || !usable(s) || !(size > 0) || empty(r)) return 0;
    size = std::min(size, kMaxTextSize);
    ensure_checker();
    pango_cairo_update_layout(g_cr, g_draw_layout);
    prepare(g_draw_layout, s, -1, size, false, r.w, align);
    int tw = 0, th = 0;
    pango_layout_get_pixel_size(g_draw_layout, &tw, &th);
    cairo_save(g_cr);
    cairo_new_path(g_cr);
    cairo_rectangle(g_cr, r.x, r.y, r.w, r.h);
    cairo_clip(g_cr);
    set_color(color);
    cairo_move_to(g_cr, r.x, r.y);
    pango_cairo_show_layout(g_cr, g_draw_layout);
    cairo_restore(g_cr);
    record_ink(g_draw_layout, r.x, r.y, r, s);
    return float(th);
}

float wrapped_height(const char* s, float size, float width) {
    if (!g_measure_layout || !usable(s) || !(size > 0) || !(width > 0)) return 0;
    prepare(g_measure_layout, s, -1, std::min(size, kMaxTextSize), false, width, Align::Left);
    int tw = 0, th = 0;
    pango_layout_get_pixel_size(g_measure_layout, &tw, &th);
    return float(th);
}

float text_width(const char* s, float size, bool bold) {
    if (!g_measure_layout || !usable(s) || !(size > 0)) return 0;
    size = std::min(size, kMaxTextSize);
    if (g_cr) {
        PangoLayout* layout = measuring_layout();
        prepare(layout, s, -1, size, bold, 0, Align::Left);
        return logical_width(layout);
    }
    char head[32];
    std::snprintf(head, sizeof head, "%d|%d|", int(std::lround(size * 100)), bold ? 1 : 0);
    g_key.assign(head);
    g_key.append(s);
    auto it = g_widths.find(g_key);
    if (it != g_widths.end()) return it->second;
    prepare(g_measure_layout, s, -1, size, bold, 0, Align::Left);
    const float width = logical_width(g_measure_layout);
    // Flushed whole rather than aged: the texts of one screen are few and come back at once.
    if (g_widths.size() >= kWidthCacheMax) g_widths.clear();
    g_widths.emplace(g_key, width);
    return width;
}

std::size_t fit_chars(const char* s, float size, float max_width) {
    if (!g_measure_layout || !usable(s) || !(size > 0)) return 0;
    size = std::min(size, kMaxTextSize);
    PangoLayout* layout = measuring_layout();
    const auto fits = [&](const char* end) {
        prepare(layout, s, int(end - s), size, false, 0, Align::Left);
        return logical_width(layout) <= max_width;
    };
    const std::size_t bytes = std::strlen(s);
    if (fits(s + bytes)) return bytes;
    // The whole text does not fit. Prefix widths grow with their length, so the longest
    // prefix that fits is found by halving over character counts; every cut is a character
    // start, never a continuation byte.
    long lo = 0, hi = g_utf8_strlen(s, -1); // a prefix of lo characters fits, of hi does not
    while (hi - lo > 1) {
        const long mid = lo + (hi - lo) / 2;
        if (fits(g_utf8_offset_to_pointer(s, mid)))
            lo = mid;
        else
            hi = mid;
    }
    return std::size_t(g_utf8_offset_to_pointer(s, lo) - s);
}

// ---- images

namespace {

struct PngReader {
    const unsigned char* data;
    std::size_t left;
};

cairo_status_t read_png(void* closure, unsigned char* out, unsigned int length) {
    auto* reader = static_cast<PngReader*>(closure);
    if (length > reader->left) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(out, reader->data, length);
    reader->data += length;
    reader->left -= length;
    return CAIRO_STATUS_SUCCESS;
}

uint32_t big_endian(const unsigned char* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Decodes a PNG, or gives null (logged) when it is not one, is too big, or fails to decode.
cairo_surface_t* decode_png(const unsigned char* data, std::size_t length) {
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (length < 24 || std::memcmp(data, kSignature, 8) != 0 || std::memcmp(data + 12, "IHDR", 4) != 0) {
        logger::warn("Image: not a PNG");
        return nullptr;
    }
    const uint32_t w = big_endian(data + 16), h = big_endian(data + 20);
    if (w == 0 || h == 0 || w > kMaxImageSide || h > kMaxImageSide || uint64_t(w) * h > kMaxImagePixels) {
        logger::warn("Image: PNG of " + std::to_string(w) + " x " + std::to_string(h) + " refused");
        return nullptr;
    }
    // libpng allocates what a chunk's header declares before it reads the chunk: a header
    // that claims more bytes than the data holds would cost that much memory for nothing.
    for (std::size_t pos = 8; pos + 8 <= length;) {
        const uint32_t chunk = big_endian(data + pos);
        if (chunk > length - pos - 8 || length - pos - 8 - chunk < 4) {
            logger::warn("Image: PNG chunk runs past the end of the data");
            return nullptr;
        }
        if (std::memcmp(data + pos + 4, "IEND", 4) == 0) break;
        pos += 12 + std::size_t(chunk);
    }
    PngReader reader{data, length};
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(read_png, &reader);
    const cairo_status_t status = cairo_surface_status(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        logger::warn(std::string("Image: PNG does not decode: ") + cairo_status_to_string(status));
        cairo_surface_destroy(surface);
        return nullptr;
    }
    return surface;
}

} // namespace

void image_png(const unsigned char* data, std::size_t length, const Rect& r) {
    if (!g_cr || !data || length == 0 || empty(r)) return;
    const auto key = std::make_pair(data, length);
    auto it = g_images.find(key);
    if (it == g_images.end()) it = g_images.emplace(key, decode_png(data, length)).first;
    cairo_surface_t* image = it->second;
    if (!image) return;
    const int iw = cairo_image_surface_get_width(image), ih = cairo_image_surface_get_height(image);
    cairo_save(g_cr);
    cairo_new_path(g_cr);
    cairo_translate(g_cr, r.x, r.y);
    cairo_scale(g_cr, r.w / iw, r.h / ih);
    cairo_set_source_surface(g_cr, image, 0, 0);
    cairo_pattern_t* pattern = cairo_get_source(g_cr);
    cairo_pattern_set_filter(pattern, CAIRO_FILTER_GOOD);
    // Padding keeps the border pixels opaque when the image is scaled up.
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    cairo_rectangle(g_cr, 0, 0, iw, ih);
    cairo_fill(g_cr);
    cairo_restore(g_cr);
}

// ---- the overlap checker

void check::record(double left, double top, double width, double height, const Rect& clip, const char* label) {
    if (!g_out || !(width > 0) || !(height > 0)) return;
    if (!label) label = "";
    double right = left + width, bottom = top + height;
    const double cr = double(clip.x) + clip.w, cb = double(clip.y) + clip.h;
    if (left < clip.x - 1 || top < clip.y - 1 || right > cr + 1 || bottom > cb + 1)
        std::fprintf(g_out, "CLIP\t%.0f,%.0f %.0fx%.0f\ttinte %.0f,%.0f..%.0f,%.0f\t%s\n", clip.x, clip.y, clip.w,
                     clip.h, left, top, right, bottom, label);
    left = std::max(left, double(clip.x));
    top = std::max(top, double(clip.y));
    right = std::min(right, cr);
    bottom = std::min(bottom, cb);
    if (!(right > left && bottom > top)) {
        std::fflush(g_out);
        return;
    }
    for (const Ink& other : g_inks) {
        const double ow = std::min(right, other.right) - std::max(left, other.left);
        const double oh = std::min(bottom, other.bottom) - std::max(top, other.top);
        if (ow > 1 && oh > 1)
            std::fprintf(g_out, "OVERLAP\t%s\t<->\t%s\t(%.0fx%.0f px)\n", label, other.label.c_str(), ow, oh);
    }
    g_inks.push_back(Ink{left, top, right, bottom, label});
    std::fflush(g_out);
}

const std::vector<check::Ink>& check::inks() { return g_inks; }

void occlude(const Rect& r) {
    auto& inks = check::g_inks;
    const double right = double(r.x) + r.w, bottom = double(r.y) + r.h;
    inks.erase(std::remove_if(inks.begin(), inks.end(),
                              [&](const check::Ink& ink) {
                                  return ink.right > r.x && ink.left < right && ink.bottom > r.y && ink.top < bottom;
                              }),
               inks.end());
}

std::size_t width_cache_size() { return g_widths.size(); }
std::size_t image_cache_size() { return g_images.size(); }

} // namespace gfx

// cairo keeps a fontconfig pattern of its font machinery in static data for the life of the
// process (only cairo_debug_reset_static_data, which no live cairo object may survive, frees
// it), and LeakSanitizer reports it at exit in every build that has drawn text.
#if defined(__SANITIZE_ADDRESS__)
#define LUMAFON_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMAFON_LSAN 1
#endif
#endif
#ifdef LUMAFON_LSAN
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
