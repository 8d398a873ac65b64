// The drawing layer: the one place that talks to cairo and pango. Free functions over one
// current cairo context; owns the font descriptions, a bounded cache of text widths measured
// without a context, the decoded PNG images, and the optional text overlap checker
// (LUMA2_TEXTCHECK names its log). Window thread only; all state is unguarded.
//
// Coordinates are the context's user units (the window layer scales logical units to pixels
// with the context's matrix or the surface's device scale). Colours are 0xAARRGGBB: alpha
// is always given, 0 is fully transparent. Without a current context every drawing call
// returns at once; degenerate sizes, null or empty texts and invalid UTF-8 draw nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef struct _cairo cairo_t;
typedef struct _PangoFontDescription PangoFontDescription;

namespace gfx {

struct Rect {
    float x = 0, y = 0; // top-left corner, y downwards
    float w = 0, h = 0; // empty unless both are above zero
};

enum class Align { Left = 0, Center = 1, Right = 2 };

// Set-up and frame.
bool init(void* unused = nullptr); // false when pango-cairo's font map cannot be had
void shutdown();                   // drops every cache and the checker's log
void set_context(cairo_t* cr);     // null ends drawing; non-null also starts a checker frame
cairo_t* context();
bool begin(); // whether a context is current
void end();
void resize(int w, int h);
void clear(uint32_t color); // replaces every pixel, alpha included: clear(0) is transparent

// Shapes. Angles of stroke_arc are degrees, 0 at twelve o'clock, clockwise. Point arrays
// are x,y pairs; `count` counts points.
void fill_rect(const Rect& r, uint32_t color);
void fill_round_rect(const Rect& r, float radius, uint32_t color);
void stroke_round_rect(const Rect& r, float radius, uint32_t color, float line_width);
void fill_circle(float cx, float cy, float r, uint32_t color);
void stroke_circle(float cx, float cy, float r, uint32_t color, float line_width);
void line(float x0, float y0, float x1, float y1, uint32_t color, float line_width);
void polyline(const float* xy, int count, uint32_t color, float line_width);
void fill_triangle(float x0, float y0, float x1, float y1, float x2, float y2, uint32_t color);
void stroke_arc(float cx, float cy, float r, float start_deg, float end_deg, uint32_t color, float line_width);
void fill_rect_vgrad(const Rect& r, uint32_t top, uint32_t bottom);
void fill_round_rect_vgrad(const Rect& r, float radius, uint32_t top, uint32_t bottom);
void fill_polygon_vgrad(const float* xy, int count, uint32_t top, uint32_t bottom);
void fill_ellipse_vgrad(float cx, float cy, float rx, float ry, uint32_t top, uint32_t bottom);
// The area between the polyline and the horizontal line at base_y.
void fill_under(const float* xy, int count, float base_y, uint32_t top, uint32_t bottom);
// Fills the circle (cx, cy, r) from `inner` at the circle (fx, fy, inner_r) to `outer` at its rim.
void fill_radial(float cx, float cy, float r, float fx, float fy, float inner_r, uint32_t inner, uint32_t outer);
void push_clip(const Rect& r);
void pop_clip();

// Text and images. Sizes are pixel sizes of the font ("Sans", 400 or bold 600).
// One line, placed in the rect by `align` (and centred vertically when asked); drawn clipped
// to the rect grown by 2 px sideways and 0.6 x size up and down.
void text(const Rect& r, const char* s, float size, uint32_t color, Align align = Align::Left, bool bold = false,
          bool centre_vertically = true);
// Wrapped at the rect's width (between words, inside a word that does not fit), clipped to the
// rect; returns the laid-out height.
float text_wrapped(const Rect& r, const char* s, float size, uint32_t color, Align align = Align::Left);
float wrapped_height(const char* s, float size, float width);
// Width of one unwrapped line: measured on the current context, or without one through a
// cache of at most 4096 entries.
float text_width(const char* s, float size, bool bold = false);
// Bytes of the longest prefix, cut at a character start, whose regular width is not above
// max_width; 0 when not even one character fits.
std::size_t fit_chars(const char* s, float size, float max_width);
// Draws a PNG held in memory, scaled to fill the rect. Decoded once and cached by the data's
// address (the data must live as long as the program, like compiled-in resources).
void image_png(const unsigned char* data, std::size_t length, const Rect& r);
const PangoFontDescription* font_for(float size, bool bold);

// Tells the overlap checker that an opaque surface now covers `r`: text drawn earlier
// underneath no longer counts as overlapping text drawn later on top.
void occlude(const Rect& r);

// The overlap checker: with LUMA2_TEXTCHECK naming a file, every text call records its ink
// and appends a CLIP line when the ink leaves its box, an OVERLAP line when it runs into
// ink recorded earlier in the same frame.
namespace check {
struct Ink {
    double left = 0, top = 0, right = 0, bottom = 0;
    std::string label;
};
void record(double left, double top, double width, double height, const Rect& clip, const char* label);
const std::vector<Ink>& inks(); // this frame's records (empty while checking is off)
} // namespace check

// Counters for tests and benchmarks.
std::size_t width_cache_size();
std::size_t image_cache_size();

} // namespace gfx
