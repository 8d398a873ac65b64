// The SDL window and its main loop, the renderer set-up, and the run-time look-ups of SDL functions.
// Window thread only (the thread that calls run_gui); the signal handler touches two atomic flags.
//
// Sections, in the order a run visits them:
//   rules       pure arithmetic of sizes, edges, budgets and the software decision (tested alone)
//   compat      SDL functions looked up at run time
//   interface   the interface model's entry points as the window calls them
//   compose     the frame: template cache, round meter, rings, eyes, hint, bars, title, layers
//   renderer    renderer creation, software decision, premultiplied blend mode, graphics lines
//   gpu         quality level; the GPU effects and the governor (to come)
//   layers      the two cairo layers and their textures
//   window      scale, placement, modes, full screen, aspect hint and correction, cursors
//   events      the event table
//   run_gui     start-up, frame loop, shutdown
#include "render/app_sdl.h"

#include "audio/audio_pulse.h"
#include "core/logger.h"
#include "core/settings.h"
#include "desktop/crash_handler_linux.h"
#include "render/gfx_cairo.h"
#include "resources/icon_data.h"
#include "scene/gpu_fractal.h"
#include "scene/raster_bg.h"
#include "scene/scene3d.h"
#include "desktop/autostart_linux.h"
#include "ui/theme.h"
#include "ui/ui.h"

#include <SDL.h>
#include <cairo.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <map>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// X11 last: its headers define macros (Status, None, Bool) that clash with ordinary names.
#include <SDL_syswm.h>
#include <X11/Xutil.h>

// ============================================================================ rules

namespace app_sdl::detail {

Edge edge_at(int x, int y, int w, int h) {
    constexpr int kBand = 10, kCorner = 18;
    const bool top = y < kBand, bottom = y >= h - kBand, left = x < kBand, right = x >= w - kBand;
    if ((top && x < kCorner) || (left && y < kCorner)) return Edge::top_left;
    if ((top && x >= w - kCorner) || (right && y < kCorner)) return Edge::top_right;
    if ((bottom && x < kCorner) || (left && y >= h - kCorner)) return Edge::bottom_left;
    if ((bottom && x >= w - kCorner) || (right && y >= h - kCorner)) return Edge::bottom_right;
    if (top) return Edge::top;
    if (bottom) return Edge::bottom;
    if (left) return Edge::left;
    if (right) return Edge::right;
    return Edge::none;
}

ModeSize mode_size(bool compact, int saved_w, int saved_h, int usable_w, int usable_h) {
    const int rw = compact ? kCompactW : kNormalW, rh = compact ? kCompactH : kNormalH;
    ModeSize m{rw, rh, false};
    if (compact) {
        if (saved_w > 1260 || saved_h > 450)
            m.reset_saved = true;
        else if (saved_w >= rw && saved_h >= rh)
            m = {saved_w, saved_h, false};
    } else if (saved_w >= 480 && saved_h >= 120) {
        m = {saved_w, saved_h, false};
    }
    if (usable_w > 0) {
        m.w = std::min(m.w, usable_w - 20);
        m.h = std::min(m.h, usable_h - 60);
    }
    const double f = std::min(static_cast<double>(m.h) / rh, static_cast<double>(m.w) / rw);
    m.w = static_cast<int>(std::lround(rw * f));
    m.h = static_cast<int>(std::lround(rh * f));
    return m;
}

Size aspect_settle(int w, int h, int sw, int sh, int aw, int ah, int min_w, int min_h, int usable_w,
                   int usable_h) {
    const double a = aw, b = ah;
    if (std::abs(w - sw) / a >= std::abs(h - sh) / b)
        h = static_cast<int>(std::lround(w * b / a));
    else
        w = static_cast<int>(std::lround(h * a / b));
    if (w < min_w || h < min_h) {
        const double f = std::max(min_h / b, min_w / a);
        w = static_cast<int>(std::lround(a * f));
        h = static_cast<int>(std::lround(b * f));
    }
    if (usable_w > 0 && usable_h > 0 && (w > usable_w || h > usable_h)) {
        const double f = std::min(usable_h / b, usable_w / a);
        w = static_cast<int>(std::floor(a * f));
        h = static_cast<int>(std::floor(b * f));
    }
    return {w, h};
}

HintBox hint_box(float view_w, float view_h, float box_w, float box_h, float visual_bottom, double t) {
    // The drift's height ends 80 units under the area's bottom: the view's own height where the
    // area reaches down to the view's edge, and above the equaliser panel where that is shown.
    const float h = std::min(view_h, visual_bottom + 80);
    return {(view_w - box_w) * (0.5f + 0.4f * float(std::sin(0.23 * t))),
            70 + (h - box_h - 150) * (0.5f + 0.4f * float(std::sin(0.31 * t + 1.1))),
            1 + 0.06f * float(std::sin(1.7 * t))};
}

Budget frame_budget(bool light, bool lively, bool vsync, float refresh_ms) {
    float budget = lively ? (light ? 33.333332f : 16.666666f) : 50.0f;
    if (!vsync) return {budget, budget};
    const float k = std::round(budget / refresh_ms);
    budget = k > 1 ? k * refresh_ms : refresh_ms;
    return {budget, budget - refresh_ms / 2};
}

std::string software_reason(const std::string& renderer, bool accelerated, const std::string& gl_renderer,
                            const char* env) {
    std::string why;
    if (renderer.empty()) {
        why = "renderer unknown";
    } else if (!accelerated || renderer == "software") {
        why = "SDL renderer " + renderer;
    } else if (renderer == "opengl" || renderer.rfind("opengles", 0) == 0) {
        std::string lower = gl_renderer;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const char* soft : {"llvmpipe", "softpipe", "swrast", "microsoft basic render",
                                 "software rasterizer", "lavapipe", "gdi generic"})
            if (lower.find(soft) != std::string::npos) why = gl_renderer;
    }
    if (env && std::strcmp(env, "full") == 0) why.clear();
    if (env && std::strcmp(env, "soft") == 0) why = "LUMA2_GPU=soft";
    return why;
}

bool govern_window(Governor& g, double mean_ms, double late_share, float budget, uint64_t now_ms, bool fixed,
                   bool available, float quiet) {
    if (fixed || !available || mean_ms < 0) {
        g.over_n = g.under_n = 0;
        return false;
    }
    const bool over = mean_ms > 0.6 * budget && late_share > 0.1;
    const bool under =
        (g.level == 4 ? mean_ms < quiet / 0.25f * 4.1666667 : mean_ms < quiet * budget) && late_share < 0.02;
    if (under) {
        g.over_n = 0;
        if (++g.under_n > 7 && g.level > g.top) {
            g.under_n = 0;
            --g.level;
            g.lowered_at = now_ms;
            return true;
        }
    } else if (over) {
        g.under_n = 0;
        if (++g.over_n > 1 && g.level <= 3) {
            g.over_n = 0;
            ++g.level;
            if (g.lowered_at && now_ms - g.lowered_at <= 59999) g.top = g.level;
            return true;
        }
    } else {
        g.over_n = g.under_n = 0;
    }
    return false;
}

bool govern_stall(Governor& g, double frame_ms, float budget, uint64_t now_ms, bool fixed, bool available) {
    if (g.hold > 0) {
        --g.hold;
        return false;
    }
    if (fixed || !available || g.level >= 4 || !(frame_ms > 4.0 * budget)) return false;
    const int to = frame_ms > 8.0 * budget ? std::max(3, g.level + 1) : g.level + 1;
    g.level = std::min(4, to);
    if (g.lowered_at && now_ms - g.lowered_at <= 59999) g.top = std::max(g.top, g.level);
    g.over_n = g.under_n = 0;
    g.hold = 4;
    return true;
}

float meter_outline(int figure, float weight, float a) {
    if (weight <= 0.001f) return 1;
    constexpr float kPi = 3.14159265f;
    const float w = std::clamp(weight, 0.0f, 1.0f);
    // Angle within one repeat of the figure, centred on its middle.
    const auto within = [&](float period) {
        const float u = std::fmod(a, period);
        return (u < 0 ? u + period : u) - period / 2;
    };
    float f = 1;
    switch (figure) {
    case 0: f = std::cos(kPi / 6) / std::cos(within(kPi / 3)); break; // a corner at the top
    case 1: {
        const float c = 0.5f + 0.5f * std::cos(5 * a); // points at the top and every fifth turn
        f = 0.74f + 0.26f * c * c;
        break;
    }
    case 2: { // a squircle with flat sides at the top and bottom
        const float sa = std::fabs(std::sin(a)), ca = std::fabs(std::cos(a));
        f = 1 / std::sqrt(std::sqrt(sa * sa * sa * sa + ca * ca * ca * ca)) / 1.1892071f;
        break;
    }
    case 3: f = 0.84f + 0.16f * std::cos(6 * a); break; // six round petals
    default: f = 0.45f + 0.55f * std::cos(kPi / 3) / std::cos(within(2 * kPi / 3)); break; // corners rounded
    }
    return 1 + (std::min(f, 1.0f) - 1) * w;
}

float outline_weight(float t) {
    t = std::clamp(t, 0.0f, 1.0f);
    const float in = std::min(1.0f, t / 0.3f), out = std::min(1.0f, (1 - t) / 0.3f);
    const auto ease = [](float x) { return x * x * (3 - 2 * x); };
    return ease(in) * ease(out);
}

} // namespace app_sdl::detail

using namespace app_sdl::detail;

// ============================================================================ compat

namespace compat {
namespace {

void* g_sdl_lib = nullptr;
bool g_sdl_tried = false;

// One look-up per name; a null result is cached too.
void* sdl_function(const char* name) {
    if (!g_sdl_tried) {
        g_sdl_tried = true;
        g_sdl_lib = SDL_LoadObject("libSDL2-2.0.so.0");
    }
    return g_sdl_lib ? SDL_LoadFunction(g_sdl_lib, name) : nullptr;
}

template <typename Fn> Fn lookup(const char* name, Fn* cache, bool* done) {
    if (!*done) {
        *done = true;
        *cache = reinterpret_cast<Fn>(sdl_function(name));
    }
    return *cache;
}

uint64_t g_ticks_high = 0;
uint32_t g_ticks_last = 0;

} // namespace

bool geometry() {
    static void* fn = nullptr;
    static bool done = false;
    return lookup("SDL_RenderGeometry", &fn, &done) != nullptr;
}

void always_on_top(SDL_Window* win, bool on) {
    using Fn = void (*)(SDL_Window*, SDL_bool);
    static Fn fn = nullptr;
    static bool done = false;
    if (Fn f = lookup("SDL_SetWindowAlwaysOnTop", &fn, &done)) f(win, on ? SDL_TRUE : SDL_FALSE);
}

bool open_url(const std::string& address) {
    using Fn = int (*)(const char*);
    static Fn fn = nullptr;
    static bool done = false;
    Fn f = lookup("SDL_OpenURL", &fn, &done);
    return f && f(address.c_str()) == 0;
}

bool render_geometry(SDL_Renderer* ren, SDL_Texture* tex, const SDL_Vertex* v, int nv, const int* idx, int ni) {
    using Fn = int (*)(SDL_Renderer*, SDL_Texture*, const SDL_Vertex*, int, const int*, int);
    static Fn fn = nullptr;
    static bool done = false;
    Fn f = lookup("SDL_RenderGeometry", &fn, &done);
    return f && f(ren, tex, v, nv, idx, ni) == 0;
}

uint64_t ticks() {
    const uint32_t t = SDL_GetTicks();
    if (t < g_ticks_last) g_ticks_high += uint64_t{1} << 32;
    g_ticks_last = t;
    return g_ticks_high + t;
}

} // namespace compat

namespace {

// Window state; see the section that owns each group.
SDL_Window* g_win = nullptr;
SDL_Renderer* g_ren = nullptr;
Settings* g_settings = nullptr;
bool g_running = false;
std::atomic<bool> g_sig_quit{false};
std::atomic<bool> g_sig_raise{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
bool g_gpu_lost = false;
uint64_t g_pointer_at = 0; // when the pointer last moved over the window

struct View {
    float scale = 1, w = kNormalW, h = kNormalH;
};
View g_view;
double g_scale = 1; // output pixels per window pixel
double g_k = 0;     // output pixels per logical unit

int g_windowed_x = 0, g_windowed_y = 0, g_windowed_w = 0, g_windowed_h = 0;
int g_aspect_w = 0, g_aspect_h = 0, g_size_w = 0, g_size_h = 0;
uint64_t g_aspect_due = 0;
struct ModeLog {
    bool pending = false, on = false;
    uint64_t due = 0;
};
ModeLog g_mode_log; // a full-screen switch whose line waits for the window manager

SDL_Cursor* g_cursors[4] = {};
SDL_Cursor* g_resize[4] = {};
int g_cursor_current = -1;
bool g_cursor_forced = false;

// Renderer set-up.
bool g_vsync = false;
bool g_soft = false;
std::string g_soft_why;
SDL_BlendMode g_premul = SDL_BLENDMODE_BLEND;
int g_level = 0;
bool g_level_fixed = false;

// A cairo-painted layer and the texture it is uploaded to.
struct Layer {
    cairo_surface_t* surface = nullptr;
    SDL_Texture* texture = nullptr;
    int w = 0, h = 0;
    bool valid = false;
};
Layer g_base, g_over;

bool compact_mode() {
    return g_settings && g_settings->compact;
}

// ============================================================================ interface
//
// The interface model lives in ui/ui; the window reaches it through these names.
namespace iface {

using ui::draw_base;
using ui::draw_overlay;
using ui::on_frame;
using ui::paint_logo;
using ui::persist;
using ui::reference_size;
using ui::set_fullscreen_state;
using ui::set_pixel_scale;
using ui::shutdown;
using ui::sound_present;
using ui::take_dirty;
using ui::take_fullscreen_toggle;
using ui::window_changed;

View view_for(int w, int h) {
    const ui::View v = ui::view_for(w, h);
    return {v.scale, v.w, v.h};
}
using ui::cursor_at;
using ui::on_double_click;
using ui::on_key;
using ui::on_mouse_down;
using ui::on_mouse_leave;
using ui::on_mouse_move;
using ui::on_mouse_up;
using ui::on_text;
using ui::on_wheel;

constexpr ui::Key kEscape = ui::Key::Escape, kEnter = ui::Key::Enter, kBackspace = ui::Key::Backspace;

} // namespace iface

// ============================================================================ compose
//
// One displayed frame: the dark scene area, the round meter with the bars inside it, the hint,
// the base layer, the compact bars and meters, the title and the overlay. Everything cairo paints
// that moves is painted once into a template texture and copied in pieces each frame.

namespace compose_detail {

// Templates by key; the key names size, theme and scale, so a change of any paints anew.
std::map<std::string, SDL_Texture*, std::less<>> g_cache;
int g_misses = 0;
bool g_level_log = false;

SDL_Texture* g_meter_target = nullptr; // the round meter's square
SDL_Texture* g_meter_mask = nullptr;
int g_meter_side = 0;
bool g_mask_refused = false;

// Where and how the scene floats the round meter this frame (filled by the scene step; the
// defaults leave it where the layout puts it).
struct MeterPlace {
    float dx = 0, dy = 0; // offset from the layout's centre, output pixels
    float scale = 1;
    float spin = 0; // degrees
    float alpha = 1, flash = 0, pulse = 0, bare = 0;
    int episode = 0, morph_to = 0;
    float episode_t = 0;
};
MeterPlace g_place;
SDL_BlendMode g_mask_mode = SDL_BLENDMODE_NONE;

float g_hint_alpha = 0;
float g_sound_value = 1, g_eyes_open = 0;
uint32_t g_rand = 12345;
double g_look_until = 0, g_blink_at = 3, g_blink_start = -1;
float g_look_x = 0, g_look_y = 0, g_eye_x = 0, g_eye_y = 0;
uint64_t g_last = 0;
char g_key[512];

// A window that nobody attends to (no keyboard focus, no pointer moving over it) in silence
// rests: its slow motions (the hint's drift and colours, the title's colour cycle, the eyes'
// gaze) go on at a tenth of their pace and are shown in steps of three seconds. The frames
// between two steps equal the one on screen and are skipped, so a resting window presents one
// frame in three seconds instead of twenty a second, and each step moves things only a little.
// Attention or sound brings the full pace back on the next frame, from where the motions stand.
constexpr double kRestStep = 3.0, kRestPace = 0.1;
constexpr uint64_t kRestStepMs = uint64_t(kRestStep * 1000);

// What the next frame shows, worked out by advance_frame before anything is drawn, so that a
// frame equal to the one on screen is neither composed nor presented.
struct Shown {
    int columns = 0;
    int lit[128] = {}, peak[128] = {};
    int meter_lit[2] = {}, meter_peak[2] = {};
    uint32_t title[ui::TitleView::kMax] = {};
    int eyes[6] = {};   // openness, lid and iris position in quarter pixels
    double hint_t = -1; // the hint's clock while it shows, -1 hidden
};
Shown g_now, g_shown;
bool g_shown_valid = false;
double g_t = 0;         // seconds, the clock of the frame
double g_slow_t = 0;    // seconds, the clock of the slow motions: slowed and stepped at rest
double g_rest_held = 0; // seconds of rest not yet shown as a step
bool g_resting = false;

const char* key(const char* name, int kind, float w, float h) {
    std::snprintf(g_key, sizeof g_key, "%s-%d-%.1fx%.1f-%d-%d-%.4f", name, kind, double(w), double(h), 0,
                  theme::dark() ? 1 : 0, g_k);
    return g_key;
}

void clear_cache() {
    for (auto& [k, t] : g_cache)
        if (t) SDL_DestroyTexture(t);
    g_cache.clear();
}

template <typename Paint> SDL_Texture* cached(const char* k, float w, float h, Paint paint) {
    auto it = g_cache.find(std::string_view(k));
    if (it != g_cache.end()) return it->second;
    if (g_cache.size() > 256) clear_cache();
    ++g_misses;
    if (g_level_log && (g_misses <= 40 || g_misses % 500 == 0)) {
        char line[400];
        std::snprintf(line, sizeof line, "Template painted (%d): %s %.1fx%.1f", g_misses, k, double(w), double(h));
        logger::info(line);
    }
    const int pw = std::max(1, int(std::lround(w * g_k))), ph = std::max(1, int(std::lround(h * g_k)));
    SDL_Texture* tex = nullptr;
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pw, ph);
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
        cairo_surface_set_device_scale(s, g_k, g_k);
        cairo_t* cr = cairo_create(s);
        cairo_t* before = gfx::context();
        gfx::set_context(cr);
        paint(w, h);
        gfx::set_context(before);
        cairo_destroy(cr);
        cairo_surface_flush(s);
        tex = SDL_CreateTexture(g_ren, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, pw, ph);
        if (tex) {
            SDL_UpdateTexture(tex, nullptr, cairo_image_surface_get_data(s), cairo_image_surface_get_stride(s));
            SDL_SetTextureBlendMode(tex, g_premul);
        }
    }
    cairo_surface_destroy(s);
    g_cache.emplace(std::string(k), tex);
    return tex;
}

SDL_Rect px_rect(float x, float y, float w, float h) {
    const double k = g_k;
    const int x0 = int(std::lround(x * k)), y0 = int(std::lround(y * k));
    return {x0, y0, int(std::lround((x + w) * k)) - x0, int(std::lround((y + h) * k)) - y0};
}

void copy_part(SDL_Texture* t, float sx, float sy, float sw, float sh, float dx, float dy) {
    if (!t) return;
    const SDL_Rect src = px_rect(sx, sy, sw, sh), dst = px_rect(dx + sx, dy + sy, sw, sh);
    SDL_RenderCopy(g_ren, t, &src, &dst);
}

void copy_part_scaled(SDL_Texture* t, float sx, float sy, float sw, float sh, float dx, float dy, float dw,
                      float dh) {
    if (!t) return;
    const SDL_Rect src = px_rect(sx, sy, sw, sh);
    const SDL_FRect dst{float(dx * g_k), float(dy * g_k), float(dw * g_k), float(dh * g_k)};
    SDL_RenderCopyF(g_ren, t, &src, &dst);
}

// Quads gathered and drawn in one geometry call (one texture, or none for plain colour): many
// copies per frame cost one draw instead of one each, which a software rasteriser feels most.
// Without SDL_RenderGeometry every quad is copied on its own.
struct Batch {
    static constexpr int kMax = 1024;
    SDL_Texture* tex = nullptr;
    float tw = 1, th = 1; // texture size in pixels
    int n = 0;
    SDL_Vertex v[kMax * 4];
    int idx[kMax * 6];
};
Batch g_batch;

void batch_flush() {
    Batch& b = g_batch;
    if (b.n > 0) compat::render_geometry(g_ren, b.tex, b.v, b.n * 4, b.idx, b.n * 6);
    b.n = 0;
}

void batch_begin(SDL_Texture* t) {
    Batch& b = g_batch;
    batch_flush();
    b.tex = t;
    int w = 1, h = 1;
    if (t) SDL_QueryTexture(t, nullptr, nullptr, &w, &h);
    b.tw = float(std::max(w, 1));
    b.th = float(std::max(h, 1));
}

// The texture's pixels `src` (ignored without a texture) to the output pixels `dst`, tinted.
void batch_quad(const SDL_Rect& src, const SDL_FRect& dst, SDL_Color c) {
    Batch& b = g_batch;
    if (!compat::geometry()) {
        if (!b.tex) {
            SDL_SetRenderDrawColor(g_ren, c.r, c.g, c.b, c.a);
            SDL_RenderFillRectF(g_ren, &dst);
            return;
        }
        SDL_SetTextureColorMod(b.tex, c.r, c.g, c.b);
        SDL_SetTextureAlphaMod(b.tex, c.a);
        SDL_RenderCopyF(g_ren, b.tex, &src, &dst);
        SDL_SetTextureColorMod(b.tex, 255, 255, 255);
        SDL_SetTextureAlphaMod(b.tex, 255);
        return;
    }
    if (b.n == Batch::kMax) batch_flush();
    const float u0 = float(src.x) / b.tw, v0 = float(src.y) / b.th;
    const float u1 = float(src.x + src.w) / b.tw, v1 = float(src.y + src.h) / b.th;
    SDL_Vertex* v = b.v + b.n * 4;
    v[0] = {{dst.x, dst.y}, c, {u0, v0}};
    v[1] = {{dst.x + dst.w, dst.y}, c, {u1, v0}};
    v[2] = {{dst.x, dst.y + dst.h}, c, {u0, v1}};
    v[3] = {{dst.x + dst.w, dst.y + dst.h}, c, {u1, v1}};
    const int q = b.n * 4;
    const int i[6] = {q, q + 1, q + 2, q + 2, q + 1, q + 3};
    std::memcpy(b.idx + b.n * 6, i, sizeof i);
    ++b.n;
}

// copy_part into the batch.
void batch_part(float sx, float sy, float sw, float sh, float dx, float dy, SDL_Color c = {255, 255, 255, 255}) {
    if (!g_batch.tex) return;
    const SDL_Rect src = px_rect(sx, sy, sw, sh), dst = px_rect(dx + sx, dy + sy, sw, sh);
    batch_quad(src, {float(dst.x), float(dst.y), float(dst.w), float(dst.h)}, c);
}

// The segments of n columns: unlit ground, lit segments, the top one and the peak marker bright.
void draw_columns(const gfx::Rect& r, const ui::BarGeom& g, int n, const int* lit, const int* peak,
                  SDL_Texture* unlit, SDL_Texture* lit_t, SDL_Texture* peak_t, bool cut) {
    if (!cut) copy_part(unlit, 0, 0, r.w, r.h, r.x, r.y);
    const float space = g.pitch - g.seg_h;
    // Columns do not overlap, so the backings, the lit parts and the bright segments each go in
    // one batch, in the order a single column would draw them.
    if (cut) {
        batch_begin(nullptr);
        for (int i = 0; i < n; ++i) {
            const int c = std::clamp(lit[i], 0, g.count);
            if (c <= 0) continue;
            const float x = float(i) * (g.bar_w + g.gap);
            const float top = r.h - float(c) * g.pitch + space - 1;
            const SDL_Rect back = px_rect(r.x + x - g.gap / 2, r.y + top, g.bar_w + g.gap, r.h - top);
            batch_quad({}, {float(back.x), float(back.y), float(back.w), float(back.h)}, {6, 8, 14, 255});
        }
    }
    batch_begin(lit_t);
    for (int i = 0; i < n; ++i) {
        const int c = std::clamp(lit[i], 0, g.count);
        if (c <= 1) continue;
        const float x = float(i) * (g.bar_w + g.gap), top = r.h - float(c - 1) * g.pitch + space;
        batch_part(x, top, g.bar_w, r.h - top, r.x, r.y);
    }
    batch_begin(peak_t);
    for (int i = 0; i < n; ++i) {
        const float x = float(i) * (g.bar_w + g.gap);
        const int c = std::clamp(lit[i], 0, g.count);
        if (c > 0) batch_part(x, r.h - float(c) * g.pitch + space, g.bar_w, g.seg_h, r.x, r.y);
        if (peak[i] >= c && peak[i] >= 0 && peak[i] < g.count)
            batch_part(x, r.h - float(peak[i] + 1) * g.pitch + space, g.bar_w, g.seg_h, r.x, r.y);
    }
    batch_flush();
}

// The bars in a rectangle; `offset` moves them (the round meter draws into its own square).
void draw_bars_at(const gfx::Rect& r, bool dense, float ox, float oy) {
    const ui::BarGeom g = ui::bar_geom(r.w, r.h, dense);
    const int n = std::min(ui::bar_columns(), 128);
    char name[32];
    std::snprintf(name, sizeof name, n == 31 && !ui::bar_view().ring ? "bars" : "barsfine%d", n);
    SDL_Texture* t[3];
    for (int kind = 0; kind < 3; ++kind)
        t[kind] = cached(key(name, kind, r.w, r.h), r.w, r.h,
                         [&](float w, float h) { ui::paint_bars(kind, w, h, dense); });
    // Whole columns rarely fill the width exactly: the rest is shared by both sides.
    const float used = float(n) * (g.bar_w + g.gap) - g.gap;
    const float centre = std::floor((r.w - used) / 2 * float(g_k)) / float(g_k);
    draw_columns({r.x - ox + std::max(0.0f, centre), r.y - oy, r.w, r.h}, g, std::min(n, g_now.columns), g_now.lit,
                 g_now.peak, t[0], t[1], t[2], ui::bar_view().ring);
}

float frand() {
    g_rand = g_rand * 1664525u + 1013904223u;
    return float(g_rand >> 8) / float(1 << 24);
}

// The circle's outside made transparent: a mask multiplies the square's alpha, or triangles
// clear it where the renderer refuses that blend mode.
// The meter's outline: a circle that, during an episode of the scene, turns into one of five
// figures (hexagon, star, rounded square, flower, rounded triangle) and back. The face, the level
// rings and their letters all follow it. `a` is the angle in the meter's own frame (0 at twelve
// o'clock, clockwise); the result scales the circle's radius and never exceeds 1, so the figure
// stays inside the square the meter is drawn in.
struct Outline {
    int figure = 0;
    float weight = 0; // 0 the circle, 1 the whole figure
};
Outline g_outline;

float outline_at(float a) {
    return app_sdl::detail::meter_outline(g_outline.figure, g_outline.weight, a);
}

// The face is a square texture cut to the outline: the circle by a mask (or geometry when the
// renderer refuses the mask's blend mode), a figure by geometry beyond it, written without
// blending so the pixels outside become clear.
void cut_outside(int side, bool shaped) {
    constexpr int kRays = 120;
    SDL_Vertex v[kRays * 2];
    int idx[kRays * 6];
    const float c = float(side) / 2;
    for (int i = 0; i < kRays; ++i) {
        const float a = float(i) * 6.2831853f / kRays, sa = std::sin(a), ca = std::cos(a);
        const float m = std::max(std::fabs(ca), std::fabs(sa));
        const float r = c * (shaped ? outline_at(a) : 1);
        v[2 * i] = {{c + r * sa, c - r * ca}, {0, 0, 0, 0}, {0, 0}};
        v[2 * i + 1] = {{c + c * sa / m * 1.02f, c - c * ca / m * 1.02f}, {0, 0, 0, 0}, {0, 0}};
        const int j = (i + 1) % kRays;
        const int q[6] = {2 * i, 2 * i + 1, 2 * j, 2 * j, 2 * i + 1, 2 * j + 1};
        std::memcpy(&idx[6 * i], q, sizeof q);
    }
    SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_NONE);
    compat::render_geometry(g_ren, nullptr, v, kRays * 2, idx, kRays * 6);
    SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_BLEND);
}

void cut_circle(int side) {
    if (!g_meter_mask && !g_mask_refused) {
        g_mask_mode = SDL_ComposeCustomBlendMode(SDL_BLENDFACTOR_ZERO, SDL_BLENDFACTOR_SRC_ALPHA, SDL_BLENDOPERATION_ADD,
                                                 SDL_BLENDFACTOR_ZERO, SDL_BLENDFACTOR_SRC_ALPHA, SDL_BLENDOPERATION_ADD);
        cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, side, side);
        cairo_t* cr = cairo_create(s);
        cairo_arc(cr, side / 2.0, side / 2.0, side / 2.0, 0, 6.283185307);
        cairo_set_source_rgba(cr, 1, 1, 1, 1);
        cairo_fill(cr);
        cairo_destroy(cr);
        cairo_surface_flush(s);
        g_meter_mask = SDL_CreateTexture(g_ren, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, side, side);
        if (g_meter_mask) {
            SDL_UpdateTexture(g_meter_mask, nullptr, cairo_image_surface_get_data(s), cairo_image_surface_get_stride(s));
            if (SDL_SetTextureBlendMode(g_meter_mask, g_mask_mode) != 0) {
                logger::warn(std::string("Round meter mask not supported (") + SDL_GetError() +
                             ") - the circle is cut with geometry");
                g_mask_refused = true;
                SDL_DestroyTexture(g_meter_mask);
                g_meter_mask = nullptr;
            }
        }
        cairo_surface_destroy(s);
    }
    const bool shaped = g_outline.weight > 0.001f;
    if (g_meter_mask) SDL_RenderCopy(g_ren, g_meter_mask, nullptr, nullptr);
    if (!compat::geometry() || (g_meter_mask && !shaped)) return;
    cut_outside(side, shaped);
}

// Letters of a word around the ring, centred on angle `mid` (radians, 0 at twelve o'clock,
// clockwise), upright at the top and, with `bottom`, readable from below.
float ring_text_width(const char* word, float size) {
    float w = 0;
    for (const char* c = word; *c; ++c) {
        const char s[2] = {*c, 0};
        w += gfx::text_width(s, size, true);
    }
    return w;
}

void ring_text(const char* word, const char* prefix, float size, float cx, float cy, float radius, float mid,
               float turn, bool bottom, uint8_t shade, float scale, uint8_t alpha) {
    // Templates stay at the layout's size, so that a meter that breathes or wobbles paints none.
    const float total = ring_text_width(word, size) * float(g_k) * scale;
    float along = -total / 2;
    for (const char* c = word; *c; ++c) {
        const char s[2] = {*c, 0};
        const float w = gfx::text_width(s, size, true);
        const float h = size * 1.4f;
        char name[16];
        std::snprintf(name, sizeof name, "%s%s", prefix, s);
        SDL_Texture* t = cached(key(name, 0, w, h), w, h, [&](float tw, float th) { ui::paint_glyph(s, size, tw - 8, th); });
        const float wp = w * float(g_k) * scale, hp = h * float(g_k) * scale;
        const float a = mid + (bottom ? -1 : 1) * (along + wp / 2) / radius;
        const float r = radius * outline_at(a - turn);
        const float x = cx + r * std::sin(a), y = cy - r * std::cos(a);
        const SDL_FRect dst{x - wp / 2, y - hp / 2, wp, hp};
        SDL_SetTextureColorMod(t, shade, shade, uint8_t(std::min(255, shade + 20)));
        SDL_SetTextureAlphaMod(t, alpha);
        SDL_RenderCopyExF(g_ren, t, nullptr, &dst, double(a * 180 / 3.14159265f) + (bottom ? 180 : 0), nullptr,
                          SDL_FLIP_NONE);
        SDL_SetTextureColorMod(t, 255, 255, 255);
        SDL_SetTextureAlphaMod(t, 255);
        along += wp;
    }
}

// A piece of the ring between radii r0 and r1 and the meter's own angles a0 and a1, which the
// outline bends and `turn` rotates.
void quad(SDL_Vertex* v, int* idx, int& nv, int& ni, float cx, float cy, float r0, float r1, float a0, float a1,
          float turn, SDL_Color c) {
    const float o0 = outline_at(a0), o1 = outline_at(a1);
    const float s0 = std::sin(a0 + turn), c0 = std::cos(a0 + turn), s1 = std::sin(a1 + turn), c1 = std::cos(a1 + turn);
    v[nv + 0] = {{cx + r0 * o0 * s0, cy - r0 * o0 * c0}, c, {0, 0}};
    v[nv + 1] = {{cx + r1 * o0 * s0, cy - r1 * o0 * c0}, c, {0, 0}};
    v[nv + 2] = {{cx + r0 * o1 * s1, cy - r0 * o1 * c1}, c, {0, 0}};
    v[nv + 3] = {{cx + r1 * o1 * s1, cy - r1 * o1 * c1}, c, {0, 0}};
    const int q[6] = {nv, nv + 1, nv + 2, nv + 2, nv + 1, nv + 3};
    std::memcpy(idx + ni, q, sizeof q);
    nv += 4;
    ni += 6;
}

SDL_Vertex g_ring_v[4 * 200];
int g_ring_i[6 * 200];

// Two arcs of 24 segments for the left and right level around the round meter, with the maker's
// name at the top and "LM" at the bottom. `s` is the layout's meter size, `scale` how much larger
// the scene shows it, `turn` its rotation in radians, `alpha` its visibility.
void draw_ring_meters(float cx, float cy, float s, float scale, float turn, float alpha, float bare) {
    if (!compat::geometry()) return;
    const float k = float(g_k) * scale;
    const float ri = 0.5f * s * k + 1.5f * k, ro = ri + 0.055f * s * k;
    constexpr float kPi = 3.14159265f;
    const auto fade = [&](float a) { return uint8_t(std::clamp(a * alpha, 0.0f, 255.0f)); };
    int nv = 0, ni = 0;
    for (int i = 0; i < 120; ++i)
        quad(g_ring_v, g_ring_i, nv, ni, cx, cy, ri - 1.5f * k, ro + 2.5f * k, float(i) * kPi / 60,
             float(i + 1) * kPi / 60 + 0.002f, turn, {10, 12, 18, fade(205 * (1 - 0.6f * bare))});
    compat::render_geometry(g_ren, nullptr, g_ring_v, nv, g_ring_i, ni);

    const float letter = (ro - ri) / k * 1.05f;
    const float mid_r = (ri + ro) / 2;
    const float top_w = ring_text_width("ORVENDAL", letter) * k;
    const float bot_w = ring_text_width("LM", 1.25f * letter) * k * 1.08f;
    const float top_half = (top_w / mid_r + 0.12f) / 2, bot_half = (bot_w / mid_r + 0.12f) / 2;
    const int* lit = g_now.meter_lit;
    const int* peak = g_now.meter_peak;
    nv = ni = 0;
    const float sweep = kPi - top_half - bot_half;
    for (int side = 0; side < 2; ++side) {
        const float dir = side == 0 ? -1 : 1; // the left arc mirrors the right one
        for (int i = 0; i < 24; ++i) {
            const float f = float(i) / 23;
            const bool on = i < lit[side] || i == peak[side];
            const bool bright = i == peak[side] || i == lit[side] - 1;
            int r = 59, g = 226, b = 90;
            if (f > 0.9f)
                r = 255, g = 59, b = 59;
            else if (f > 0.72f)
                r = 255, g = 210, b = 31;
            if (!on) {
                const int blue = f > 0.9f ? 31 : f > 0.72f ? 27 : 35;
                r = r / 8 + 16, g = g / 8 + 18, b = blue;
            } else if (bright) {
                r = (r + 255) / 2, g = (g + 255) / 2, b = (b + 255) / 2;
            }
            const float a0 = kPi - bot_half - sweep * float(i) / 24;
            const float a1 = a0 - sweep / 24 * 0.78f;
            quad(g_ring_v, g_ring_i, nv, ni, cx, cy, ri, ro, dir * a0, dir * a1, turn,
                 {uint8_t(r), uint8_t(g), uint8_t(b), fade(235)});
        }
    }
    compat::render_geometry(g_ren, nullptr, g_ring_v, nv, g_ring_i, ni);
    ring_text("ORVENDAL", "ringb-", letter, cx, cy, mid_r, turn, turn, false, 200, scale, fade(255));
    ring_text("LM", "ringr-", 1.25f * letter, cx, cy, mid_r, kPi + turn, turn, true, 200, scale, fade(255));
}

// Eyes that open after a few seconds of silence, blink and look around.
float g_lid = 1;

void advance_eyes(float dt, double t) {
    g_sound_value = std::clamp(g_sound_value + (ui::sound_present() ? dt / 1.6f : -dt / 3), 0.0f, 1.0f);
    if (ui::sound_present())
        g_eyes_open = std::max(0.0f, g_eyes_open - dt / 0.4f);
    else if (g_sound_value <= 0.01f)
        g_eyes_open = std::min(1.0f, g_eyes_open + dt / 1.6f);
    if (g_eyes_open <= 0.01f) return;
    if (t >= g_look_until) {
        g_look_until = t + 2.2 + 3.0 * double(frand());
        g_look_x = frand() * 2 - 1;
        g_look_y = (frand() * 2 - 1) * 0.6f;
    }
    // At rest the gaze jumps to where it looks and the eyes do not blink (a step shows no blink).
    const float follow = g_resting ? 1.0f : std::min(1.0f, dt * 6);
    g_eye_x += (g_look_x - g_eye_x) * follow;
    g_eye_y += (g_look_y - g_eye_y) * follow;
    if (g_resting && g_blink_start < 0) g_blink_at = std::max(g_blink_at, t + 1);
    if (t >= g_blink_at) {
        g_blink_start = t;
        g_blink_at = t + 2.5 + 4.0 * double(frand());
    }
    g_lid = 1;
    if (g_blink_start >= 0 && t - g_blink_start < 0.18)
        g_lid = float(std::fabs((t - g_blink_start) / 0.09 - 1));
    else
        g_blink_start = -1;
}

void draw_eyes(float x0, float y0, float s) {
    if (g_eyes_open <= 0.01f) return;
    const float open = g_eyes_open * g_lid;
    const float ew = 0.2f * s, eh = 0.11f * s;
    SDL_Texture* white = cached(key("eye-white", 0, ew, eh), ew, eh, [](float w, float h) { ui::paint_eye_white(w, h); });
    const float iw = eh * 0.95f;
    SDL_Texture* iris = cached(key("eye-iris", 0, iw, iw), iw, iw, [](float w, float h) { ui::paint_eye_iris(w, h); });
    for (int side = -1; side <= 1; side += 2) {
        const float ex = x0 + s / 2 + float(side) * 0.14f * s - ew / 2, ey = y0 + 0.36f * s - eh / 2;
        const float oh = eh * open;
        const float top = ey + (eh - oh) / 2;
        SDL_SetTextureAlphaMod(white, uint8_t(255 * std::min(1.0f, g_eyes_open * 1.5f)));
        copy_part_scaled(white, 0, 0, ew, eh, ex, top, ew, oh);
        SDL_SetTextureAlphaMod(white, 255);
        // The iris moves inside the white and is cut by the lids' line.
        const float ix = ex + ew / 2 - iw / 2 + g_eye_x * (ew - iw) * 0.38f;
        const float iy = ey + eh / 2 - iw / 2 + g_eye_y * (eh - iw) * 0.3f;
        const float cut_top = std::max(iy, top), cut_bottom = std::min(iy + iw, top + oh);
        if (cut_bottom > cut_top)
            copy_part_scaled(iris, 0, cut_top - iy, iw, cut_bottom - cut_top, ix, cut_top, iw, cut_bottom - cut_top);
    }
}

// How an episode of the scene moves the meter: extra turn (degrees) and size, by kind and
// progress. Turns always come back to upright, so the writing is readable between episodes.
void episode_motion(const MeterPlace& p, float* turn, float* scale) {
    if (p.episode < 3) return;
    constexpr float kPi = 3.14159265f;
    const float t = std::clamp(p.episode_t, 0.0f, 1.0f);
    const float arch = std::sin(kPi * t); // 0 at both ends
    const float dir = p.morph_to % 2 ? -1.0f : 1.0f;
    const float ease = t * t * (3 - 2 * t);
    switch (p.episode % 5) {
    case 0: *turn += dir * 360 * ease; break;                                       // one full turn
    case 1: *scale *= 1 + 0.14f * arch * std::fabs(std::sin(5 * kPi * t)); break;   // heartbeat
    case 2: *turn += 28 * std::sin(5 * kPi * t) * arch; break;                      // pendulum
    case 3: *scale *= 1 - 0.3f * arch, *turn -= dir * 360 * ease; break;            // shrink and spin
    default: *scale *= 1 + 0.22f * arch * arch, *turn += 10 * std::sin(8 * kPi * t) * arch; break; // swell
    }
}

// During an episode the meter turns into the figure the scene names and back: it grows into
// it over the first third and returns to the circle over the last.
Outline outline_of(const MeterPlace& p) {
    if (p.episode < 3) return {};
    return {std::clamp(p.morph_to, 0, 4), app_sdl::detail::outline_weight(p.episode_t)};
}

// The meter's square: its ground, the bars, the eyes, cut to the circle or the episode's figure.
void paint_meter_square(const ui::BarView& v, const MeterPlace& p, int side) {
    const float s = v.size, x0 = v.cx - s / 2, y0 = v.cy - s / 2;
    SDL_SetRenderTarget(g_ren, g_meter_target);
    SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_NONE);
    // The bare look lets the scene show through between the bars.
    const float back = 200 * (1 - 0.75f * std::clamp(p.bare, 0.0f, 1.0f));
    SDL_SetRenderDrawColor(g_ren, uint8_t(4 * back / 255), uint8_t(6 * back / 255), uint8_t(12 * back / 255),
                           uint8_t(back));
    SDL_RenderClear(g_ren);
    SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_BLEND);
    draw_bars_at(v.bars, false, x0, y0);
    draw_eyes(0, 0, s);
    g_outline = outline_of(p);
    cut_circle(side);
    SDL_SetRenderTarget(g_ren, nullptr);
}

// `build`: paint the square anew (a frame drawn in parts paints it once and places it in each).
void draw_round_meter(bool build = true) {
    const ui::BarView v = ui::bar_view();
    if (!v.ring || v.size < 4) return;
    const MeterPlace& p = g_place;
    if (p.alpha <= 0.01f) return;
    const float s = v.size;
    const int side = std::max(8, int(std::lround(s * g_k)));
    if (side != g_meter_side || !g_meter_target) {
        if (g_meter_target) SDL_DestroyTexture(g_meter_target);
        if (g_meter_mask) SDL_DestroyTexture(g_meter_mask);
        g_meter_mask = nullptr;
        // Linear filtering: the scene shows the meter larger or smaller and turned.
        const char* before = SDL_GetHint(SDL_HINT_RENDER_SCALE_QUALITY);
        const std::string keep = before ? before : "0";
        SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "1");
        g_meter_target =
            SDL_CreateTexture(g_ren, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET, side, side);
        SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, keep.c_str());
        g_meter_side = side;
    }
    if (!g_meter_target) return;
    if (build) paint_meter_square(v, p, side);

    float turn = p.spin, scale = std::clamp(p.scale, 0.2f, 2.0f) * (1 + 0.12f * p.pulse);
    episode_motion(p, &turn, &scale);
    const float k = float(g_k);
    const float cx = v.cx * k + p.dx, cy = v.cy * k + p.dy, w = s * k * scale;
    const SDL_FRect dst{cx - w / 2, cy - w / 2, w, w};
    // Premultiplied pixels fade by their colour and alpha alike.
    const uint8_t a = uint8_t(std::lround(255 * std::min(1.0f, p.alpha)));
    SDL_SetTextureBlendMode(g_meter_target, g_premul);
    SDL_SetTextureColorMod(g_meter_target, a, a, a);
    SDL_SetTextureAlphaMod(g_meter_target, a);
    SDL_RenderCopyExF(g_ren, g_meter_target, nullptr, &dst, double(turn), nullptr, SDL_FLIP_NONE);
    const float flash = std::max(p.flash, 0.6f * p.pulse) * p.alpha;
    if (flash > 0.02f) { // the lit bars flare: the square once more, added
        const uint8_t f = uint8_t(std::lround(150 * std::min(1.0f, flash)));
        SDL_SetTextureBlendMode(g_meter_target, SDL_BLENDMODE_ADD);
        SDL_SetTextureColorMod(g_meter_target, f, f, f);
        SDL_SetTextureAlphaMod(g_meter_target, 255);
        SDL_RenderCopyExF(g_ren, g_meter_target, nullptr, &dst, double(turn), nullptr, SDL_FLIP_NONE);
    }
    SDL_SetTextureColorMod(g_meter_target, 255, 255, 255);
    SDL_SetTextureAlphaMod(g_meter_target, 255);
    draw_ring_meters(cx, cy, s, scale, turn * 3.14159265f / 180, p.alpha, p.bare);
}

// Where the hint floats at `t`.
app_sdl::detail::HintBox hint_place(const ui::HintView& h, double t) {
    const gfx::Rect& v = ui::layout()[ui::kVisual];
    return app_sdl::detail::hint_box(h.view_w, h.view_h, h.box_w, h.box_h, v.y + v.h, t);
}

SDL_Rect base_hole();

// The hint floats over the scene in slices that ride a wave, with a halo and a shadow. It lies
// under the base layer, which is opaque outside its hole over the visualizer: only the slices
// that reach into the hole are drawn, and only there (a software rasteriser would otherwise
// pay for some thousand hidden quads per frame).
void draw_hint(double t) {
    const ui::HintView& h = ui::play_hint();
    if (g_now.hint_t < 0) return;
    char name[300];
    std::snprintf(name, sizeof name, "hint-%s", h.text);
    const float size = h.size, bw = h.box_w, bh = h.box_h;
    SDL_Texture* tex =
        cached(key(name, 0, bw, bh), bw, bh, [&](float w, float hh) { ui::paint_glyph(h.text, size, w - 20, hh); });
    if (!tex) return;
    // Plain names, not a structured binding: the lambda below uses them.
    const app_sdl::detail::HintBox place = hint_place(h, t);
    const float x = place.x, y = place.y, sc = place.scale;
    const int n = std::max(24, int(bw / 3));
    const float sw = bw / float(n);
    const float a = g_hint_alpha;
    const float k = float(g_k);
    const bool covered = g_base.valid && g_base.texture;
    const SDL_Rect hole = covered ? base_hole() : SDL_Rect{0, 0, 0, 0};
    if (covered && (hole.w <= 0 || hole.h <= 0)) return;
    const float hy = y + (bh - bh * sc) / 2;
    if (covered && ((hy + bh * sc + 8) * k < float(hole.y) || (hy - 8) * k > float(hole.y + hole.h))) return;
    // Within a clip of the caller's (a frame drawn in parts), which is given back afterwards.
    SDL_Rect outer{}, clip = hole;
    const bool nested = SDL_RenderIsClipEnabled(g_ren) == SDL_TRUE;
    if (nested) SDL_RenderGetClipRect(g_ren, &outer);
    if (covered && nested && !SDL_IntersectRect(&hole, &outer, &clip)) return;
    if (covered) SDL_RenderSetClipRect(g_ren, &clip);
    batch_begin(tex);
    for (int i = 0; i < n; ++i) {
        const float wave = 4 * float(std::sin(2.2 * t + double(i) * 0.18));
        const float dx = x + (bw - bw * sc) / 2 + float(i) * sw * sc, dy = y + wave + (bh - bh * sc) / 2;
        if (covered && ((dx + sw * sc + 4) * k < float(hole.x) || (dx - 4) * k > float(hole.x + hole.w))) continue;
        const uint32_t c = ui::title_color(i, n, float(1.4 * t));
        const uint8_t r = uint8_t(c >> 16), g = uint8_t(c >> 8), b = uint8_t(c);
        const SDL_Rect src = px_rect(float(i) * sw, 0, sw, bh);
        auto put = [&](float ox, float oy, uint8_t cr, uint8_t cg, uint8_t cb, float alpha) {
            batch_quad(src, {(dx + ox) * k, (dy + oy) * k, (sw * sc + 0.02f) * k, bh * sc * k},
                       {cr, cg, cb, uint8_t(std::clamp(alpha, 0.0f, 1.0f) * 255)});
        };
        for (int q = 0; q < 4; ++q) put(q & 1 ? 3.0f : -3.0f, q & 2 ? 3.0f : -3.0f, r, g, b, 0.16f * a);
        put(2, 2.5f, 0, 0, 0, 0.55f * a);
        const float hl = 200 * float(std::exp(-std::pow(9 * (float(i) / float(n) - std::fmod(0.35 * t, 1.4) + 0.2), 2)));
        put(0, 0, uint8_t(std::min(255.0f, r + hl)), uint8_t(std::min(255.0f, g + hl)), uint8_t(std::min(255.0f, b + hl)), a);
    }
    batch_flush();
    if (covered) SDL_RenderSetClipRect(g_ren, nested ? &outer : nullptr);
}

void draw_compact_bars() {
    const ui::BarView v = ui::bar_view();
    if (!v.compact) return;
    draw_bars_at(v.bars, false, 0, 0);
    const gfx::Rect& m = v.meters;
    const ui::BarGeom g = ui::meter_geom(m.w, m.h);
    SDL_Texture* t[3];
    for (int kind = 0; kind < 3; ++kind)
        t[kind] = cached(key("meters", kind, m.w, m.h), m.w, m.h, [&](float w, float h) { ui::paint_meters(kind, w, h); });
    draw_columns(m, g, 2, g_now.meter_lit, g_now.meter_peak, t[0], t[1], t[2], false);
    SDL_Texture* glass = cached(key("glass", 0, v.bars.w, v.bars.h), v.bars.w, v.bars.h,
                                [](float w, float h) { ui::paint_glass(w, h); });
    copy_part(glass, 0, 0, v.bars.w, v.bars.h, v.bars.x, v.bars.y);
}

void draw_title() {
    const ui::TitleView& tv = ui::title_view();
    if (!tv.shown) return;
    for (int i = 0; i < tv.count; ++i) {
        char name[24];
        std::snprintf(name, sizeof name, "glyph-%s", tv.chars[i]);
        const float w = tv.width[i] + 8, h = tv.size * 1.5f;
        SDL_Texture* tex = cached(key(name, 0, w, h), w, h, [&](float ww, float hh) {
            ui::paint_glyph(tv.chars[i], tv.size, ww - 8, hh);
        });
        if (!tex) continue;
        const uint32_t c = g_now.title[i];
        SDL_SetTextureColorMod(tex, uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c));
        copy_part(tex, 0, 0, w, h, tv.x + tv.offset[i], tv.y + 15 - h / 2);
    }
}

// The base layer is opaque except for the hole over the visualizer's area, and that hole is
// see-through inside its rim: the opaque part is copied as it is, only the rim is blended, and
// the see-through inside (found once per repaint) is left alone, since blending it adds nothing.
// That spares a software rasteriser most of the blending.
SDL_Rect g_see_through{0, 0, 0, 0}; // in pixels, inside the hole

SDL_Rect base_hole() {
    const gfx::Rect& v = ui::layout()[ui::kVisual];
    const int w = g_base.w, h = g_base.h;
    const double k = g_k;
    const int x0 = std::clamp(int(std::floor(v.x * k)) - 1, 0, w), x1 = std::clamp(int(std::ceil((v.x + v.w) * k)) + 1, x0, w);
    const int y0 = std::clamp(int(std::floor(v.y * k)) - 1, 0, h), y1 = std::clamp(int(std::ceil((v.y + v.h) * k)) + 1, y0, h);
    return {x0, y0, x1 - x0, y1 - y0};
}

void find_see_through() {
    g_see_through = {0, 0, 0, 0};
    if (!g_base.valid || !g_base.surface) return;
    const SDL_Rect hole = base_hole();
    cairo_surface_flush(g_base.surface);
    const unsigned char* data = cairo_image_surface_get_data(g_base.surface);
    const int stride = cairo_image_surface_get_stride(g_base.surface);
    if (!data || hole.w <= 0 || hole.h <= 0) return;
    auto clear = [&](const SDL_Rect& r) {
        for (int y = r.y; y < r.y + r.h; ++y) {
            const auto* row = reinterpret_cast<const uint32_t*>(data + size_t(y) * size_t(stride));
            for (int x = r.x; x < r.x + r.w; ++x)
                if (row[x] >> 24) return false;
        }
        return true;
    };
    for (const float rim : {24.0f, 48.0f}) {
        const int m = int(std::ceil(double(rim) * g_k));
        const SDL_Rect in{hole.x + m, hole.y + m, hole.w - 2 * m, hole.h - 2 * m};
        if (in.w > 0 && in.h > 0 && clear(in)) {
            g_see_through = in;
            return;
        }
    }
}

void copy_base() {
    if (!g_base.valid || !g_base.texture) return;
    const int w = g_base.w, h = g_base.h;
    const SDL_Rect hole = base_hole();
    const int x0 = hole.x, x1 = hole.x + hole.w, y0 = hole.y, y1 = hole.y + hole.h;
    SDL_SetTextureBlendMode(g_base.texture, SDL_BLENDMODE_NONE);
    const SDL_Rect opaque[4] = {{0, 0, w, y0}, {0, y1, w, h - y1}, {0, y0, x0, y1 - y0}, {x1, y0, w - x1, y1 - y0}};
    for (const SDL_Rect& r : opaque)
        if (r.w > 0 && r.h > 0) SDL_RenderCopy(g_ren, g_base.texture, &r, &r);
    SDL_SetTextureBlendMode(g_base.texture, g_premul);
    SDL_Rect in{0, 0, 0, 0};
    if (!SDL_IntersectRect(&g_see_through, &hole, &in) || !SDL_RectEquals(&in, &g_see_through))
        in = {x0, y0, 0, 0};
    const SDL_Rect rim[4] = {{x0, y0, hole.w, in.y - y0},
                             {x0, in.y + in.h, hole.w, y1 - in.y - in.h},
                             {x0, in.y, in.x - x0, in.h},
                             {in.x + in.w, in.y, x1 - in.x - in.w, in.h}};
    for (const SDL_Rect& r : rim)
        if (r.w > 0 && r.h > 0) SDL_RenderCopy(g_ren, g_base.texture, &r, &r);
}

bool same(const Shown& a, const Shown& b) {
    return a.columns == b.columns && std::equal(a.lit, a.lit + a.columns, b.lit) &&
           std::equal(a.peak, a.peak + a.columns, b.peak) && std::equal(a.meter_lit, a.meter_lit + 2, b.meter_lit) &&
           std::equal(a.meter_peak, a.meter_peak + 2, b.meter_peak) &&
           std::equal(a.title, a.title + ui::TitleView::kMax, b.title) && std::equal(a.eyes, a.eyes + 6, b.eyes) &&
           a.hint_t == b.hint_t;
}

int quarter_px(float logical) {
    return int(std::lround(double(logical) * g_k * 4));
}

// A software rasteriser pays for every pixel of every frame, and with music a frame of the
// interface alone differs from the one before only in a few places: the round meter, the hint,
// the title's colours, the compact bars and meters. Under X11 such a frame is drawn in parts: the
// window's back buffer, which keeps its pixels as long as it is not swapped, is drawn anew in just
// those rectangles (each with the whole frame's drawing cut to it, so that its pixels come out as a
// whole frame would make them), and only they are copied to the screen (GLX_MESA_copy_sub_buffer).
// Frames with the visualizer or an overlay, a repaint and the half second after it (the window may
// still be changing its size; those frames are swapped), and the frame kept each second are drawn
// whole. After a swap the back buffer counts as lost until a whole frame was drawn into it.
struct Parts {
    using CopySub = void (*)(Display*, ::Window, int, int, int, int);
    CopySub copy_sub = nullptr;
    Display* dpy = nullptr;
    ::Window win = 0;
    bool back_valid = false; // the back buffer holds the frame on screen
    bool alone = false;      // this frame shows the interface alone (no visualizer, no overlay)
    bool partial = false;    // this frame is drawn in the rectangles below
    int n = 0;
    SDL_Rect rect[5] = {};
};
Parts g_parts;

bool has_word(const char* list, const char* word) {
    const size_t n = std::strlen(word);
    for (const char* at = std::strstr(list, word); at; at = std::strstr(at + 1, word))
        if ((at == list || at[-1] == ' ') && (at[n] == ' ' || at[n] == 0)) return true;
    return false;
}

// After the renderer was made: `soft_gl` tells whether it is SDL's "opengl" renderer on a
// software rasteriser.
void parts_start(bool soft_gl) {
    g_parts = Parts{};
    if (!soft_gl) return;
    SDL_SysWMinfo wm;
    SDL_VERSION(&wm.version);
    if (!SDL_GetWindowWMInfo(g_win, &wm) || wm.subsystem != SDL_SYSWM_X11 || !wm.info.x11.display) return;
    using Extensions = const char* (*)(Display*, int);
    const auto extensions = reinterpret_cast<Extensions>(SDL_GL_GetProcAddress("glXQueryExtensionsString"));
    const char* list = extensions ? extensions(wm.info.x11.display, DefaultScreen(wm.info.x11.display)) : nullptr;
    if (!list || !has_word(list, "GLX_MESA_copy_sub_buffer")) return;
    g_parts.copy_sub = reinterpret_cast<Parts::CopySub>(SDL_GL_GetProcAddress("glXCopySubBufferMESA"));
    g_parts.dpy = wm.info.x11.display;
    g_parts.win = wm.info.x11.window;
    if (g_parts.copy_sub) logger::info("Frames of the interface alone are drawn and shown where they change");
}

// Adds the output pixels under a logical rectangle, widened by 2 pixels and cut to the window.
void parts_add(float x, float y, float w, float h) {
    Parts& p = g_parts;
    if (p.n == 5 || w <= 0 || h <= 0) return;
    const double k = g_k;
    const int x0 = std::max(0, int(std::floor(x * k)) - 2), y0 = std::max(0, int(std::floor(y * k)) - 2);
    const int x1 = std::min(g_base.w, int(std::ceil((x + w) * k)) + 2);
    const int y1 = std::min(g_base.h, int(std::ceil((y + h) * k)) + 2);
    if (x1 > x0 && y1 > y0) p.rect[p.n++] = {x0, y0, x1 - x0, y1 - y0};
}

// Whether this frame may be drawn in parts, and where; `whole` asks for a whole frame.
bool parts_plan(bool whole, bool scene) {
    Parts& p = g_parts;
    p.partial = false;
    p.n = 0;
    p.alone = p.copy_sub && !scene && !g_over.valid && g_base.valid;
    if (!p.alone || whole || !p.back_valid || !g_shown_valid) return false;
    int ow = 0, oh = 0, ww = 0, wh = 0;
    SDL_GetRendererOutputSize(g_ren, &ow, &oh);
    SDL_GetWindowSize(g_win, &ww, &wh);
    if (ow != g_base.w || oh != g_base.h || ow != ww || oh != wh) return false;
    const ui::BarView v = ui::bar_view();
    if (v.ring && v.size >= 4) { // the meter with its rings and their letters, and the eyes
        const float half = 0.68f * v.size + 12;
        parts_add(v.cx - half, v.cy - half, 2 * half, 2 * half);
    }
    if (v.compact) {
        const float x0 = std::min(v.bars.x, v.meters.x), y0 = std::min(v.bars.y, v.meters.y);
        parts_add(x0, y0, std::max(v.bars.x + v.bars.w, v.meters.x + v.meters.w) - x0,
                  std::max(v.bars.y + v.bars.h, v.meters.y + v.meters.h) - y0);
    }
    const ui::TitleView& tv = ui::title_view();
    if (tv.shown && tv.count > 0) {
        float x0 = tv.x + tv.offset[0], x1 = x0;
        for (int i = 0; i < tv.count; ++i) {
            x0 = std::min(x0, tv.x + tv.offset[i]);
            x1 = std::max(x1, tv.x + tv.offset[i] + tv.width[i] + 8);
        }
        const float h = tv.size * 1.5f;
        parts_add(x0, tv.y + 15 - h / 2, x1 - x0, h);
    }
    // The hint where it is now and where it was: halo, shadow and wave reach a few units out.
    const ui::HintView& h = ui::play_hint();
    for (const double t : {g_now.hint_t, g_shown.hint_t}) {
        if (t < 0) continue;
        const app_sdl::detail::HintBox hp = hint_place(h, t);
        parts_add(hp.x + (h.box_w - h.box_w * hp.scale) / 2 - 8, hp.y + (h.box_h - h.box_h * hp.scale) / 2 - 12,
                  h.box_w * hp.scale + 16, h.box_h * hp.scale + 24);
    }
    p.partial = true;
    return true;
}

// Shows the frame: a swap, or for the interface alone a copy of the parts (of the whole back
// buffer for a whole frame, which keeps it for the parts to come). `swap`: the window may be
// changing its size. Frames with the visualizer change all over and are swapped as before.
void present_frame(bool swap) {
    Parts& p = g_parts;
    if (!p.alone || swap) {
        SDL_RenderPresent(g_ren);
        p.back_valid = false;
        return;
    }
    SDL_RenderFlush(g_ren);
    int ow = 0, oh = 0;
    SDL_GetRendererOutputSize(g_ren, &ow, &oh);
    if (!p.partial) {
        p.copy_sub(p.dpy, p.win, 0, 0, ow, oh);
    } else {
        for (int i = 0; i < p.n; ++i) { // GLX counts rows from the bottom
            const SDL_Rect& r = p.rect[i];
            p.copy_sub(p.dpy, p.win, r.x, oh - r.y - r.h, r.w, r.h);
        }
    }
    p.back_valid = true;
}

} // namespace compose_detail

// ============================================================================ scene
//
// The visualizer: the scene director fills its record for this frame and this section draws it.
// Glowing lines and dots go through SDL_RenderGeometry with one glow texture, light cones as
// coloured quads; GPU fractals, post effects and the echo through the GPU layer. In software
// rendering the scene is drawn at half size and stretched. The lists are kept between frames,
// so a warm frame allocates nothing.

namespace scene_detail {

scene3d::Out g_out;
SDL_Texture* g_glow = nullptr;
SDL_Texture* g_soft_tgt = nullptr;
int g_soft_w = 0, g_soft_h = 0;
bool g_on_soft_target = false;
float g_soft_div = 2;      // the soft target's size: the output's divided by this (quality level)
uint64_t g_work_from = 0;  // performance counter at the start of the scene step
bool g_ball_logged = false;
bool g_drawn = false;      // the last frame showed a scene
SDL_Rect g_clip{};         // the scene area in output pixels
std::vector<SDL_Vertex> g_v;
std::vector<int> g_i;
gpu_fractal::Params g_fp;

// A texture with linear filtering: the hint is set for its creation only.
SDL_Texture* with_linear_filter(int w, int h, int access) {
    const char* before = SDL_GetHint(SDL_HINT_RENDER_SCALE_QUALITY);
    const std::string keep = before ? before : "0";
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "1");
    SDL_Texture* t = SDL_CreateTexture(g_ren, SDL_PIXELFORMAT_ARGB8888, access, w, h);
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, keep.c_str());
    return t;
}

// White with a bright core and a soft halo, added onto what lies beneath.
SDL_Texture* glow() {
    if (g_glow) return g_glow;
    constexpr int kSide = 64;
    static uint32_t px[kSide * kSide];
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            const float u = (float(x) + 0.5f) / kSide * 2 - 1, v = (float(y) + 0.5f) / kSide * 2 - 1;
            const float d = std::sqrt(u * u + v * v);
            float a = 0;
            if (d < 1) a = std::min(1.0f, 0.85f * std::pow(1 - d, 2.2f) + 0.6f * std::exp(-28 * d * d));
            px[y * kSide + x] = (uint32_t(std::lround(255 * a)) << 24) | 0xFFFFFFu;
        }
    g_glow = with_linear_filter(kSide, kSide, SDL_TEXTUREACCESS_STATIC);
    if (!g_glow) return nullptr;
    SDL_UpdateTexture(g_glow, nullptr, px, kSide * 4);
    SDL_SetTextureBlendMode(g_glow, SDL_BLENDMODE_ADD);
    return g_glow;
}

SDL_Color color_of(uint32_t c) {
    return {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c), uint8_t(c >> 24)};
}

void flush_geometry(SDL_Texture* tex) {
    if (!g_i.empty()) compat::render_geometry(g_ren, tex, g_v.data(), int(g_v.size()), g_i.data(), int(g_i.size()));
    g_v.clear();
    g_i.clear();
}

void push_quad(const SDL_FPoint* p, const SDL_Color* c, const SDL_FPoint* uv) {
    const int base = int(g_v.size());
    for (int k = 0; k < 4; ++k) g_v.push_back({p[k], c[k], uv[k]});
    for (int k : {0, 1, 2, 0, 2, 3}) g_i.push_back(base + k);
}

// Glowing segments: a quad three line widths across whose middle row of the glow texture gives
// the cross-section; the ends are lengthened by half a width so that polylines join.
void draw_segs(const std::vector<scene3d::Seg>& segs) {
    if (segs.empty()) return;
    SDL_Texture* tex = compat::geometry() ? glow() : nullptr;
    if (!tex) {
        SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_ADD);
        for (const scene3d::Seg& s : segs) {
            const SDL_Color c = color_of(s.color);
            SDL_SetRenderDrawColor(g_ren, c.r, c.g, c.b, c.a);
            SDL_RenderDrawLineF(g_ren, s.x0, s.y0, s.x1, s.y1);
        }
        SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_BLEND);
        return;
    }
    const SDL_FPoint uv[4] = {{0.5f, 0}, {0.5f, 1}, {0.5f, 1}, {0.5f, 0}};
    for (const scene3d::Seg& s : segs) {
        if ((s.color >> 24) == 0) continue;
        float dx = s.x1 - s.x0, dy = s.y1 - s.y0;
        const float len = std::sqrt(dx * dx + dy * dy);
        if (!(len > 1e-3f)) dx = 1, dy = 0;
        else dx /= len, dy /= len;
        const float h = 1.5f * std::max(0.5f, s.width), e = 0.5f * std::max(0.5f, s.width);
        const float nx = -dy * h, ny = dx * h;
        const float ax = s.x0 - dx * e, ay = s.y0 - dy * e, bx = s.x1 + dx * e, by = s.y1 + dy * e;
        const SDL_FPoint p[4] = {{ax + nx, ay + ny}, {ax - nx, ay - ny}, {bx - nx, by - ny}, {bx + nx, by + ny}};
        const SDL_Color c = color_of(s.color);
        const SDL_Color cs[4] = {c, c, c, c};
        push_quad(p, cs, uv);
    }
    flush_geometry(tex);
}

void draw_dots(const std::vector<scene3d::Dot>& dots) {
    if (dots.empty()) return;
    SDL_Texture* tex = compat::geometry() ? glow() : nullptr;
    if (!tex) {
        SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_ADD);
        for (const scene3d::Dot& d : dots) {
            const SDL_Color c = color_of(d.color);
            SDL_SetRenderDrawColor(g_ren, c.r, c.g, c.b, c.a);
            const float r = std::max(1.0f, d.radius * 0.4f);
            const SDL_FRect box{d.x - r, d.y - r, 2 * r, 2 * r};
            SDL_RenderFillRectF(g_ren, &box);
        }
        SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_BLEND);
        return;
    }
    const SDL_FPoint uv[4] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    for (const scene3d::Dot& d : dots) {
        if ((d.color >> 24) == 0 || !(d.radius > 0.05f)) continue;
        const float r = d.radius;
        const SDL_FPoint p[4] = {{d.x - r, d.y - r}, {d.x + r, d.y - r}, {d.x + r, d.y + r}, {d.x - r, d.y + r}};
        const SDL_Color c = color_of(d.color);
        const SDL_Color cs[4] = {c, c, c, c};
        push_quad(p, cs, uv);
    }
    flush_geometry(tex);
}

// Light cones: quads whose corner colours fade along the cone, added onto the scene.
void draw_beams(const std::vector<scene3d::Beam>& beams) {
    if (beams.empty() || !compat::geometry()) return;
    const SDL_FPoint uv[4] = {};
    for (const scene3d::Beam& b : beams) {
        const SDL_FPoint p[4] = {{b.x[0], b.y[0]}, {b.x[1], b.y[1]}, {b.x[2], b.y[2]}, {b.x[3], b.y[3]}};
        const SDL_Color cs[4] = {color_of(b.color[0]), color_of(b.color[1]), color_of(b.color[2]),
                                 color_of(b.color[3])};
        push_quad(p, cs, uv);
    }
    SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_ADD);
    flush_geometry(nullptr);
    SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_BLEND);
}

void draw_quads(const std::vector<scene3d::Quad>& quads) {
    if (quads.empty() || !compat::geometry()) return;
    const SDL_FPoint uv[4] = {};
    for (const scene3d::Quad& q : quads) {
        const SDL_FPoint p[4] = {{q.x[0], q.y[0]}, {q.x[1], q.y[1]}, {q.x[2], q.y[2]}, {q.x[3], q.y[3]}};
        const SDL_Color c = color_of(q.color);
        const SDL_Color cs[4] = {c, c, c, c};
        push_quad(p, cs, uv);
    }
    SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_BLEND);
    flush_geometry(nullptr);
}

// In software rendering the scene is drawn into a half-size target and stretched afterwards.
void soft_target_begin(int ow, int oh) {
    g_on_soft_target = false;
    if (!g_soft) return;
    const int w = ow < 34 ? 16 : int(float(ow) / g_soft_div), h = oh < 34 ? 16 : int(float(oh) / g_soft_div);
    if (!g_soft_tgt || w != g_soft_w || h != g_soft_h) {
        if (g_soft_tgt) SDL_DestroyTexture(g_soft_tgt);
        g_soft_tgt = with_linear_filter(w, h, SDL_TEXTUREACCESS_TARGET);
        g_soft_w = w, g_soft_h = h;
    }
    if (!g_soft_tgt || SDL_SetRenderTarget(g_ren, g_soft_tgt) != 0) return;
    g_on_soft_target = true;
    SDL_RenderSetScale(g_ren, float(w) / float(std::max(1, ow)), float(h) / float(std::max(1, oh)));
    SDL_SetRenderDrawColor(g_ren, 0, 0, 0, 255);
    SDL_RenderClear(g_ren);
}

void soft_target_end() {
    if (!g_on_soft_target) return;
    g_on_soft_target = false;
    SDL_SetRenderTarget(g_ren, nullptr);
    SDL_RenderSetScale(g_ren, 1, 1);
    SDL_SetTextureBlendMode(g_soft_tgt, SDL_BLENDMODE_NONE);
    if (!g_drawn) return; // the screen was cleared to black already
    // Only the scene area is stretched: the base layer covers the rest, and a software
    // rasteriser pays for every pixel of a filtered copy.
    int ow = 0, oh = 0;
    SDL_GetRendererOutputSize(g_ren, &ow, &oh);
    const float fx = float(g_soft_w) / float(std::max(1, ow)), fy = float(g_soft_h) / float(std::max(1, oh));
    const int sx0 = std::max(0, int(std::floor(float(g_clip.x - 1) * fx)));
    const int sy0 = std::max(0, int(std::floor(float(g_clip.y - 1) * fy)));
    const int sx1 = std::min(g_soft_w, int(std::ceil(float(g_clip.x + g_clip.w + 1) * fx)));
    const int sy1 = std::min(g_soft_h, int(std::ceil(float(g_clip.y + g_clip.h + 1) * fy)));
    if (sx1 <= sx0 || sy1 <= sy0) return;
    const SDL_Rect src{sx0, sy0, sx1 - sx0, sy1 - sy0};
    const SDL_FRect dst{float(sx0) / fx, float(sy0) / fy, float(sx1 - sx0) / fx, float(sy1 - sy0) / fy};
    SDL_RenderCopyF(g_ren, g_soft_tgt, &src, &dst);
}

// The glass ball around the scene: its body behind the elements, its reflections over them.
// Both are templates, painted once per size.
void draw_ball(const scene3d::Ball& b, bool back) {
    if (b.r < 4) return;
    const scene3d::Square sq = scene3d::back_rect(b);
    using compose_detail::cached;
    using compose_detail::key;
    SDL_Texture* tex = cached(key(back ? "ball-back" : "ball-front", 0, sq.side, sq.side), sq.side, sq.side,
                              [&](float, float) { back ? scene3d::paint_back(b) : scene3d::paint_front(b); });
    if (!tex) return;
    // The reflections at 60 %: at full strength the glass turns milky over the lights.
    const uint8_t k = back ? 255 : 153;
    SDL_SetTextureColorMod(tex, k, k, k);
    SDL_SetTextureAlphaMod(tex, k);
    compose_detail::copy_part_scaled(tex, 0, 0, sq.side, sq.side, sq.x, sq.y, sq.side, sq.side);
}

// GPU fractal draws of the scene's back layers; false when the GPU layer failed.
bool draw_fractals() {
    for (const scene3d::RasterDraw& l : g_out.layers) {
        if (l.fractal < 0 || l.fractal >= int(g_out.fractals.size()) || l.alpha <= 0.003f) continue;
        const scene3d::FractalDraw& f = g_out.fractals[size_t(l.fractal)];
        g_fp = f.params;
        g_fp.palette = f.palette;
        g_fp.alpha = l.alpha;
        g_fp.x = l.x, g_fp.y = l.y, g_fp.w = l.w, g_fp.h = l.h;
        if (!gpu_fractal::draw(g_ren, g_fp)) return false;
    }
    return true;
}

// The GPU layer failed: the rest of the run draws on the CPU.
void gpu_failed() {
    logger::warn("GPU fractals: draw failed - back to the CPU");
    gpu_fractal::shutdown();
    scene3d::set_gpu_fractals(false);
    scene3d::set_gpu_3d(false);
    scene3d::set_gpu_post(false);
    scene3d::set_gpu_echo(false);
    scene3d::next_pattern();
}

void post_and_echo(int ow, int oh) {
    const scene3d::Out& o = g_out;
    if (o.post_fx >= 0 && gpu_fractal::available_post()) {
        gpu_fractal::PostParams p;
        p.fx = o.post_fx;
        p.time = o.post_time;
        p.amount = o.post_drive;
        p.cx = o.post_pts[0], p.cy = o.post_pts[1], p.lx = o.post_pts[2], p.ly = o.post_pts[3];
        p.lr = o.post_spread;
        p.mix = o.post_amt;
        std::memcpy(p.drops, o.drops, sizeof p.drops);
        p.fx2 = o.post_next;
        p.morph = o.post_next_mix;
        std::copy(o.bands3, o.bands3 + 3, p.bands);
        if (!gpu_fractal::post(g_ren, p)) {
            logger::warn("GPU post effects: draw failed - switched off");
            scene3d::set_gpu_post(false);
        }
    }
    if (o.echo_on && gpu_fractal::available_echo()) {
        const gpu_fractal::EchoParams e{o.echo_cx, o.echo_cy,  o.echo_zoom,   o.echo_rot, o.echo_swirl,
                                        o.echo_decay, o.echo_gain, o.echo_thresh, o.echo_hue, o.echo_alpha};
        if (!gpu_fractal::echo(g_ren, e)) {
            logger::warn("GPU echo: draw failed - switched off");
            scene3d::set_gpu_echo(false);
        }
    }
    if (o.white_flash > 0.02f) {
        SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_ADD);
        SDL_SetRenderDrawColor(g_ren, 255, 255, 255, uint8_t(std::min(128.0f, 128 * o.white_flash)));
        const SDL_Rect all{0, 0, ow, oh};
        SDL_RenderFillRect(g_ren, &all);
        SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_BLEND);
    }
}

// The visualizer moves while it is on screen, unless the stage rests in the dark in lasting
// silence (then the glass ball's slow sway waits for the frame the window shows each second).
bool moving() {
    const gfx::Rect a = ui::scene_area();
    if (a.w < 8 || a.h < 8) return false;
    return !g_drawn || scene3d::status().presence > 0;
}

// The round meter floats, grows and turns where the scene says (drawn in frame step 7).
void place_meter(const scene3d::Input& in) {
    compose_detail::MeterPlace& p = compose_detail::g_place;
    if (in.compact || in.meter_r <= 0) {
        p = {};
        return;
    }
    const scene3d::Out& o = g_out;
    p.dx = o.meter_dx, p.dy = o.meter_dy;
    p.scale = o.meter_scale > 0.05f ? o.meter_scale : 1;
    p.spin = o.meter_spin;
    p.alpha = std::clamp(o.meter_alpha, 0.0f, 1.0f);
    p.flash = o.meter_flash, p.pulse = o.meter_pulse, p.bare = o.meter_bare;
    p.episode = o.episode, p.episode_t = o.episode_t, p.morph_to = o.morph_to;
}

// Frame steps 2 to 6: the scene behind the meter and the panels.
void draw_scene(double t) {
    g_work_from = SDL_GetPerformanceCounter();
    g_drawn = false;
    int ow = 0, oh = 0;
    SDL_GetRendererOutputSize(g_ren, &ow, &oh);
    const scene3d::Input in = ui::scene_input();
    soft_target_begin(ow, oh);
    compose_detail::g_place = {};
    if (in.area_w >= 8 && in.area_h >= 8) {
        const double k = g_k;
        const int x0 = int(std::floor(in.area_x * k)), y0 = int(std::floor(in.area_y * k));
        g_clip = {x0, y0, int(std::ceil(in.area_w * k)), int(std::ceil(in.area_h * k))};
        SDL_RenderSetClipRect(g_ren, &g_clip);
        if (!g_ball_logged) {
            g_ball_logged = true;
            logger::info(compat::geometry() ? "Crystal ball: GPU geometry with glow texture"
                                            : "Crystal ball: SDL_RenderGeometry not available (SDL < 2.0.18), plain lines");
        }
        scene3d::build(in, t, g_out);
        place_meter(in);
        const scene3d::Ball ball = scene3d::ball(in, t);
        scene_layer::draw_raster(g_ren, g_out);
        if (!draw_fractals()) gpu_failed();
        draw_ball(ball, true);
        draw_quads(g_out.quads);
        // Glow, beams and the glass's reflections may reach past the area, but the base layer,
        // opaque around its hole, covers all of that: they are cut at the hole's edge, which
        // spares the rasteriser the hidden pixels.
        const SDL_Rect wide{g_clip.x - 2, g_clip.y - 2, g_clip.w + 4, g_clip.h + 4};
        SDL_RenderSetClipRect(g_ren, &wide);
        draw_segs(g_out.segs);
        draw_dots(g_out.dots);
        scene_layer::draw_front(g_ren, g_out);
        SDL_RenderSetClipRect(g_ren, &g_clip);
        draw_ball(ball, false);
        SDL_RenderSetClipRect(g_ren, &wide);
        // Light cones stay behind the round meter, which is drawn next: it reads as an object
        // on the stage, and its bars stay readable.
        draw_beams(g_out.beams);
        draw_dots(g_out.beam_dots);
        SDL_RenderSetClipRect(g_ren, nullptr);
        g_drawn = true;
    }
    soft_target_end();
    if (g_drawn) post_and_echo(ow, oh);
}

// Frame step 10: the glow that lies above everything (clap sparks), over the panels' edges but
// inside the scene area.
void draw_scene_foreground() {
    if (!g_drawn) return;
    SDL_RenderSetClipRect(g_ren, &g_clip);
    draw_segs(g_out.front_segs);
    draw_dots(g_out.front_dots);
    SDL_RenderSetClipRect(g_ren, nullptr);
}

void drop_textures() {
    for (SDL_Texture** t : {&g_glow, &g_soft_tgt})
        if (*t) SDL_DestroyTexture(*t), *t = nullptr;
    g_soft_w = g_soft_h = 0;
}

} // namespace scene_detail
// ============================================================================ scene raster layer
//
// The raster pictures of the scene as textures. A picture never changes once published, so its
// serial names its texture; the newest eight are kept (a cross-fade needs two, the rest spare the
// upload when pictures come back).

} // namespace

namespace scene_layer {
namespace {

constexpr size_t kKeep = 8;
std::map<int64_t, SDL_Texture*> g_raster_tex;
SDL_Renderer* g_raster_ren = nullptr; // the renderer the kept textures belong to
std::vector<SDL_Vertex> g_mesh_v;      // room kept between frames

SDL_Texture* texture_of(SDL_Renderer* ren, const raster::Image& img) {
    if (ren != g_raster_ren) {
        drop_textures();
        g_raster_ren = ren;
    }
    auto it = g_raster_tex.find(img.serial);
    if (it != g_raster_tex.end()) return it->second;
    if (img.w <= 0 || img.h <= 0 || img.px.size() < size_t(img.w) * size_t(img.h)) return nullptr;
    while (g_raster_tex.size() >= kKeep) {
        SDL_DestroyTexture(g_raster_tex.begin()->second);
        g_raster_tex.erase(g_raster_tex.begin());
    }
    // Linear filtering: pictures are stretched over the scene. The hint applies to textures
    // created while it is set.
    const char* old = SDL_GetHint(SDL_HINT_RENDER_SCALE_QUALITY);
    const std::string keep = old ? old : "";
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
    SDL_Texture* tex = SDL_CreateTexture(ren, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, img.w, img.h);
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, old ? keep.c_str() : nullptr);
    if (!tex) return nullptr;
    SDL_UpdateTexture(tex, nullptr, img.px.data(), img.w * 4);
    SDL_SetTextureBlendMode(tex, SDL_BLENDMODE_BLEND);
    g_raster_tex[img.serial] = tex;
    return tex;
}

SDL_Color color_of(uint32_t c) {
    return {Uint8((c >> 16) & 255), Uint8((c >> 8) & 255), Uint8(c & 255), Uint8(c >> 24)};
}

void draw_mesh(SDL_Renderer* ren, SDL_Texture* tex, const scene3d::Mesh& m) {
    if (m.verts.empty() || m.index.empty() || !compat::geometry()) return;
    g_mesh_v.resize(m.verts.size());
    for (size_t i = 0; i < m.verts.size(); ++i) {
        const scene3d::MeshV& v = m.verts[i];
        g_mesh_v[i] = {{v.x, v.y}, color_of(v.color), {v.u, v.v}};
    }
    compat::render_geometry(ren, tex, g_mesh_v.data(), int(g_mesh_v.size()), m.index.data(), int(m.index.size()));
}

} // namespace

void drop_textures() {
    for (auto& [serial, tex] : g_raster_tex) SDL_DestroyTexture(tex);
    g_raster_tex.clear();
}

namespace {

void draw_list(SDL_Renderer* ren, const std::vector<scene3d::RasterDraw>& list, const scene3d::Out& out,
               SDL_BlendMode blend) {
    for (const scene3d::RasterDraw& d : list) {
        if (!(d.alpha > 0.003f) || !d.image) continue;
        SDL_Texture* tex = texture_of(ren, *d.image);
        if (!tex) continue;
        SDL_SetTextureBlendMode(tex, blend);
        if (d.mesh >= 0) {
            if (size_t(d.mesh) < out.meshes.size()) draw_mesh(ren, tex, out.meshes[size_t(d.mesh)]);
            continue;
        }
        const SDL_Color c = color_of(d.tint);
        SDL_SetTextureColorMod(tex, c.r, c.g, c.b);
        SDL_SetTextureAlphaMod(tex, Uint8(std::lround(255 * std::min(1.0f, d.alpha))));
        const SDL_Rect src{int(std::lround(d.sx)), int(std::lround(d.sy)), std::max(1, int(std::lround(d.sw))),
                           std::max(1, int(std::lround(d.sh)))};
        const int x0 = int(std::floor(d.x)), y0 = int(std::floor(d.y));
        const SDL_Rect dst{x0, y0, int(std::ceil(d.x + d.w)) - x0, int(std::ceil(d.y + d.h)) - y0};
        SDL_RenderCopy(ren, tex, &src, &dst);
        SDL_SetTextureColorMod(tex, 255, 255, 255);
        SDL_SetTextureAlphaMod(tex, 255);
    }
}

} // namespace

void draw_raster(SDL_Renderer* ren, const scene3d::Out& out) {
    draw_list(ren, out.layers, out, SDL_BLENDMODE_BLEND);
}

void draw_front(SDL_Renderer* ren, const scene3d::Out& out) {
    draw_list(ren, out.front, out, SDL_BLENDMODE_ADD);
}

} // namespace scene_layer

namespace {

namespace iface {

void picture_changed() {
    compose_detail::find_see_through();
}

void clear_cache() {
    compose_detail::clear_cache();
}

void drop_textures();

// Bench hook: LUMA2_TEST_NO_SCENE leaves the visualizer out, to weigh the interface alone.
bool no_scene() {
    static const bool off = [] {
        const char* v = std::getenv("LUMA2_TEST_NO_SCENE");
        return v && *v && *v != '0';
    }();
    return off;
}

// Moves what moves on to now (bar tops, hint, eyes, title colours) and works out the segments and
// colours the frame shows; true when that differs from the frame on screen. The frame is composed
// only then, so a window where nothing moves costs no drawing. `resting`: nobody attends to the
// window and it is silent.
bool advance_frame(bool resting) {
    using namespace compose_detail;
    const uint64_t now = platform::ticks_ms();
    const double elapsed = g_last && now > g_last ? double(now - g_last) / 1000 : 0;
    const float dt = std::min(0.2f, float(elapsed));
    g_last = now;
    g_t = double(now) / 1000;
    g_resting = resting;
    if (!resting) {
        g_slow_t += elapsed + g_rest_held * kRestPace;
        g_rest_held = 0;
    } else if ((g_rest_held += elapsed) >= kRestStep) {
        g_slow_t += g_rest_held * kRestPace;
        g_rest_held = 0;
    }
    Shown& s = g_now;
    s.columns = 0;
    const ui::BarView v = ui::bar_view();
    if ((v.ring && v.size >= 4) || v.compact) {
        const ui::BarGeom g = ui::bar_geom(v.bars.w, v.bars.h, false);
        s.columns = std::min(ui::bar_columns(), 128);
        ui::bar_segments(g.count, s.lit, s.peak);
        ui::meter_segments(v.compact ? ui::meter_geom(v.meters.w, v.meters.h).count : 24, s.meter_lit, s.meter_peak);
    }
    const ui::HintView& h = ui::play_hint();
    g_hint_alpha = std::clamp(g_hint_alpha + (h.shown ? dt / 1.5f : -2 * dt), 0.0f, 1.0f);
    s.hint_t = g_hint_alpha > 0.01f && h.text && *h.text ? g_slow_t : -1;
    advance_eyes(dt, g_slow_t);
    std::fill(s.eyes, s.eyes + 6, 0);
    if (v.ring && g_eyes_open > 0.01f) {
        const float eh = 0.11f * v.size;
        s.eyes[0] = quarter_px(eh * g_eyes_open * g_lid);
        s.eyes[1] = int(255 * std::min(1.0f, g_eyes_open * 1.5f));
        s.eyes[2] = quarter_px(g_eye_x * 0.2f * v.size);
        s.eyes[3] = quarter_px(g_eye_y * eh);
        s.eyes[4] = 1;
    }
    const ui::TitleView& tv = ui::title_view();
    for (int i = 0; i < ui::TitleView::kMax; ++i)
        s.title[i] = tv.shown && i < tv.count ? ui::title_color(i, tv.count, float(g_slow_t)) : 0;
    const bool changed = !g_shown_valid || !same(s, g_shown);
    return changed || (!no_scene() && scene_detail::moving());
}

// The frame on screen is now the one advance_frame worked out.
void presented() {
    using namespace compose_detail;
    g_shown = g_now;
    g_shown_valid = true;
}

// Test hook: LUMA2_TEST_PARTS_CHECK draws every frame that was drawn in parts once more whole and
// compares the two pictures read back from the back buffer; the log counts them every 30 frames.
bool parts_check() {
    static const bool on = [] {
        const char* v = std::getenv("LUMA2_TEST_PARTS_CHECK");
        return v && *v && *v != '0';
    }();
    return on;
}

struct PartsCheck {
    std::vector<uint32_t> parts, whole;
    int checked = 0, differed = 0, largest = 0;
};
PartsCheck g_check;

void read_back(std::vector<uint32_t>& px) {
    using namespace compose_detail;
    px.resize(size_t(g_base.w) * size_t(g_base.h));
    SDL_RenderReadPixels(g_ren, nullptr, SDL_PIXELFORMAT_ARGB8888, px.data(), g_base.w * 4);
}

void compare_with_whole() {
    PartsCheck& c = g_check;
    read_back(c.whole);
    int differ = 0;
    for (size_t i = 0; i < c.whole.size(); ++i) // the window has no alpha of its own
        if ((c.parts[i] ^ c.whole[i]) & 0xFFFFFFu) ++differ;
    ++c.checked;
    c.differed += differ > 0;
    c.largest = std::max(c.largest, differ);
    if (c.checked % 30 == 0) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "Frames in parts checked against whole frames: %d, differing: %d (at most %d pixels)", c.checked,
                      c.differed, c.largest);
        logger::info(line);
    }
}

// Draws the frame in the parts that changed; see Parts.
void compose_parts() {
    using namespace compose_detail;
    g_place = {};
    scene_detail::g_drawn = false;
    gpu_fractal::frame_begin(g_ren);
    SDL_BlendMode mode = SDL_BLENDMODE_BLEND;
    SDL_GetRenderDrawBlendMode(g_ren, &mode);
    for (int i = 0; i < g_parts.n; ++i) {
        const SDL_Rect& r = g_parts.rect[i];
        SDL_RenderSetClipRect(g_ren, &r);
        SDL_SetRenderDrawBlendMode(g_ren, SDL_BLENDMODE_NONE);
        SDL_SetRenderDrawColor(g_ren, 0, 0, 0, 255);
        SDL_RenderFillRect(g_ren, &r);
        SDL_SetRenderDrawBlendMode(g_ren, mode);
        draw_round_meter(i == 0);
        draw_hint(g_slow_t);
        copy_base();
        draw_compact_bars();
        draw_title();
    }
    SDL_RenderSetClipRect(g_ren, nullptr);
    gpu_fractal::frame_end(g_ren);
}

// `whole`: the frame may not be drawn in parts (a repaint, the frame kept each second).
void compose(bool whole) {
    using namespace compose_detail;
    static const bool level_log = std::getenv("LUMA2_LEVELLOG") != nullptr;
    g_level_log = level_log;
    const gfx::Rect area = ui::scene_area();
    if (parts_plan(whole, !no_scene() && area.w >= 8 && area.h >= 8)) {
        compose_parts();
        if (!parts_check()) return;
        read_back(g_check.parts);
    }
    SDL_SetRenderDrawColor(g_ren, 0, 0, 0, 255);
    SDL_RenderClear(g_ren);
    gpu_fractal::frame_begin(g_ren);
    if (!no_scene()) scene_detail::draw_scene(g_t);
    draw_round_meter();
    draw_hint(g_slow_t);
    copy_base();
    scene_detail::draw_scene_foreground();
    draw_compact_bars();
    draw_title();
    if (g_over.valid && g_over.texture) SDL_RenderCopy(g_ren, g_over.texture, nullptr, nullptr);
    gpu_fractal::frame_end(g_ren);
    if (g_parts.partial && parts_check()) compare_with_whole();
}

} // namespace iface

// ============================================================================ gpu
//
// The GPU effects of the visualizer and the quality level that the governor moves: when the GPU
// needs too long per frame the level rises (lighter), when it has room for long enough it falls
// back, but not below a level that had to be raised again within a minute.

Governor g_gov; // the level's floor and the window counters; the level itself is g_level

// What each quality level switches.
void apply_level() {
    static const int kQuality[5] = {0, 1, 2, 2, 2};
    gpu_fractal::set_quality(kQuality[std::clamp(g_level, 0, 4)]);
    gpu_fractal::set_light_load(g_level >= 3);
    scene3d::set_light_load(g_level >= 3);
    scene3d::set_gpu_post(g_level < 3 && gpu_fractal::available_post());
    scene3d::set_gpu_echo(g_level < 3 && gpu_fractal::available_echo());
    // A software rasteriser pays for every pixel of the scene: the lighter levels draw it smaller.
    static const float kSoftDiv[5] = {2, 2.4f, 2.8f, 3.2f, 3.2f};
    scene_detail::g_soft_div = kSoftDiv[std::clamp(g_level, 0, 4)];
}

void init_gpu_effects() {
    const char* cpu = std::getenv("LUMA2_CPU_FRACTALS");
    // Test hook: a GPU program whose source is broken, to show the fall-back to the CPU.
    static const char* broken = std::getenv("LUMA2_TEST_GPU_BREAK");
    if (broken && *broken) gpu_fractal::test::break_program(broken);
    if (!g_soft && !(cpu && cpu[0] == '1')) gpu_fractal::init(g_ren);
    scene3d::set_gpu_fractals(gpu_fractal::available());
    scene3d::set_gpu_3d(gpu_fractal::available3d());
    const char* env = std::getenv("LUMA2_GPU_LEVEL");
    if (env && *env) {
        g_level = std::clamp(std::atoi(env), 0, 4);
        g_level_fixed = true;
    }
    apply_level();
}

void govern_gpu(float budget) {
    static uint64_t prev = 0, window_at = 0;
    static int frames = 0, late = 0;
    static double sum = 0;
    static int n = 0;
    static const bool log = std::getenv("LUMA2_GPULOG") != nullptr;
    const uint64_t t = platform::ticks_ms();
    if (prev && t > prev && t - prev <= 499) {
        ++frames;
        if (double(t - prev) > 1.5 * budget) ++late;
    }
    prev = t;
    const bool gpu = gpu_fractal::available();
    double ms = 0;
    int count = 0;
    if (gpu) {
        gpu_fractal::take_gpu_time(&ms, &count);
    } else if (g_soft && scene_detail::g_work_from) {
        // Software rendering: the rasteriser's work is the frame's drawing and present, timed here.
        ms = double(SDL_GetPerformanceCounter() - scene_detail::g_work_from) * 1000.0 /
             double(SDL_GetPerformanceFrequency());
        count = 1;
        scene_detail::g_work_from = 0;
    }
    if (count > 0) sum += ms, n += count;
    g_gov.level = g_level;
    const int before = g_level;
    if (gpu && count > 0 && govern_stall(g_gov, ms / count, budget, t, g_level_fixed, true)) {
        g_level = g_gov.level;
        char line[200];
        std::snprintf(line, sizeof line, "Graphics: one frame needed %.0f ms of the GPU (%.1f ms budget) - quality level %d",
                      ms / count, double(budget), g_level);
        logger::warn(line);
        apply_level();
        frames = late = n = 0;
        sum = 0;
        window_at = t + 2000;
        return;
    }
    if (!window_at) window_at = t + 2000;
    if (t < window_at) return;
    window_at = t + 2000;
    const double mean = n > 0 ? sum / n : -1;
    // Frames further apart than 499 ms are not counted (a hidden or dragged window), but when the
    // GPU itself needs longer than that per frame, every frame of the window was late.
    const double late_share = frames > 0 ? double(late) / frames : (mean > 499 ? 1 : 0);
    if (log) {
        char line[200];
        std::snprintf(line, sizeof line, "GPU load: %f ms per frame (%d measured), frame %g ms, %d of %d late, level %d",
                      mean, n, double(budget), late, frames, g_level);
        logger::info(line);
    }
    const int measured = n;
    frames = late = n = 0;
    sum = 0;
    if (!govern_window(g_gov, measured > 0 ? mean : -1, late_share, budget, t, g_level_fixed, gpu || g_soft,
                       gpu ? 0.25f : 0.5f))
        return;
    g_level = g_gov.level;
    char line[200];
    if (g_level < before)
        std::snprintf(line, sizeof line, "Graphics: GPU has room again (%.1f ms per frame) - quality level %d", mean,
                      g_level);
    else
        std::snprintf(line, sizeof line,
                      "Graphics: the GPU needs %.1f ms of %.1f ms per frame, %.0f %% late - quality level %d", mean,
                      double(budget), 100 * late_share, g_level);
    if (g_level < before) logger::info(line);
    else logger::warn(line);
    apply_level();
}

void shutdown_gpu_effects() {
    gpu_fractal::shutdown();
}

// ============================================================================ renderer

std::string gl_string(unsigned int name) {
    using GetString = const unsigned char* (*)(unsigned int);
    auto fn = reinterpret_cast<GetString>(SDL_GL_GetProcAddress("glGetString"));
    const unsigned char* s = fn ? fn(name) : nullptr;
    return s ? reinterpret_cast<const char*>(s) : "";
}

constexpr unsigned int kGlVendor = 0x1F00, kGlRenderer = 0x1F01, kGlVersion = 0x1F02;

bool is_gl(const char* name) {
    return name && (std::strcmp(name, "opengl") == 0 || std::strncmp(name, "opengles", 8) == 0);
}

void graphics_lines(const SDL_RendererInfo& info) {
    SDL_version run{}, built{};
    SDL_GetVersion(&run);
    SDL_VERSION(&built);
    std::vector<std::string> lines;
    char line[512];
    std::snprintf(
        line, sizeof line, "SDL %d.%d.%d (built with %d.%d.%d), video %s, renderer %s%s, max texture %dx%d",
        run.major, run.minor, run.patch, built.major, built.minor, built.patch,
        SDL_GetCurrentVideoDriver() ? SDL_GetCurrentVideoDriver() : "?", info.name ? info.name : "?",
        (info.flags & SDL_RENDERER_ACCELERATED) ? " accelerated" : " software", info.max_texture_width,
        info.max_texture_height);
    lines.emplace_back(line);
    if (is_gl(info.name))
        lines.push_back("OpenGL: " + gl_string(kGlVendor) + " | " + gl_string(kGlRenderer) + " | " +
                        gl_string(kGlVersion));
    for (int i = 0; i < SDL_GetNumVideoDisplays(); ++i) {
        SDL_Rect b{};
        SDL_GetDisplayBounds(i, &b);
        SDL_DisplayMode mode{};
        SDL_GetCurrentDisplayMode(i, &mode);
        float dpi = 0;
        SDL_GetDisplayDPI(i, nullptr, &dpi, nullptr);
        const char* name = SDL_GetDisplayName(i);
        std::snprintf(line, sizeof line, "Display %d: %s, %dx%d at %d,%d, %d Hz, %.0f dpi", i,
                      name ? name : "?", b.w, b.h, b.x, b.y, mode.refresh_rate, static_cast<double>(dpi));
        lines.emplace_back(line);
    }
    for (const std::string& l : lines) logger::info(l);
    // A crash report names the graphics stack the program was drawing with.
    crash_handler::record_graphics(lines);
}

// Premultiplied colour needs its own blend mode; a renderer that refuses it gets plain blending.
SDL_BlendMode premultiplied_mode() {
    const SDL_BlendMode mode = SDL_ComposeCustomBlendMode(
        SDL_BLENDFACTOR_ONE, SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA, SDL_BLENDOPERATION_ADD, SDL_BLENDFACTOR_ONE,
        SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA, SDL_BLENDOPERATION_ADD);
    SDL_Texture* probe = SDL_CreateTexture(g_ren, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, 1, 1);
    const bool ok = probe && SDL_SetTextureBlendMode(probe, mode) == 0;
    if (probe) SDL_DestroyTexture(probe);
    return ok ? mode : SDL_BLENDMODE_BLEND;
}

bool create_renderer() {
    std::string names;
    for (int i = 0; i < SDL_GetNumRenderDrivers(); ++i) {
        SDL_RendererInfo d{};
        if (SDL_GetRenderDriverInfo(i, &d) != 0) continue;
        names += (names.empty() ? "" : ", ") + std::string(d.name);
    }
    logger::info("Renderers available: " + names);

    g_ren = SDL_CreateRenderer(g_win, -1, SDL_RENDERER_ACCELERATED | SDL_RENDERER_PRESENTVSYNC);
    if (!g_ren) g_ren = SDL_CreateRenderer(g_win, -1, SDL_RENDERER_SOFTWARE);
    if (!g_ren) {
        logger::error(std::string("SDL_CreateRenderer: ") + SDL_GetError());
        return false;
    }
    SDL_RendererInfo info{};
    const bool known = SDL_GetRendererInfo(g_ren, &info) == 0 && info.name;
    g_vsync = known && (info.flags & SDL_RENDERER_PRESENTVSYNC);
    const bool accelerated = known && (info.flags & SDL_RENDERER_ACCELERATED);
    const char* driver = SDL_GetCurrentVideoDriver();
    logger::info(std::string("Video ") + (driver ? driver : "?") + ", Renderer " + (known ? info.name : "?") +
                 (accelerated ? " (accelerated)" : " (software!)") + (g_vsync ? ", vsync" : ", no vsync"));

    const std::string name = known ? info.name : "";
    g_soft_why = software_reason(name, accelerated, is_gl(info.name) ? gl_string(kGlRenderer) : "",
                                 std::getenv("LUMA2_GPU"));
    g_soft = !g_soft_why.empty();
    if (g_soft)
        logger::warn("Graphics: no hardware acceleration (" + g_soft_why +
                     ") - shader effects off, fractals on the CPU, 30 frames per second");
    g_premul = premultiplied_mode();
    compose_detail::parts_start(g_soft && name == "opengl");
    graphics_lines(info);
    return true;
}

// ============================================================================ layers

void drop_layer(Layer& l) {
    if (l.texture) SDL_DestroyTexture(l.texture);
    if (l.surface) cairo_surface_destroy(l.surface);
    l = Layer{};
}

// Surface and texture are only made anew when the size changed.
bool layer_size(Layer& l, int w, int h) {
    w = std::max(w, 1);
    h = std::max(h, 1);
    if (l.w != w || l.h != h || !l.surface || !l.texture) {
        drop_layer(l);
        l.surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
        l.texture = SDL_CreateTexture(g_ren, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, w, h);
        if (cairo_surface_status(l.surface) != CAIRO_STATUS_SUCCESS || !l.texture) {
            drop_layer(l);
            return false;
        }
        SDL_SetTextureBlendMode(l.texture, g_premul);
        l.w = w;
        l.h = h;
    }
    cairo_surface_set_device_scale(l.surface, g_k, g_k);
    return true;
}

// Paints one layer through the drawing layer and uploads it; returns what the painter returned.
template <typename Paint> bool repaint_layer(Layer& l, int w, int h, Paint paint) {
    if (!layer_size(l, w, h)) return false;
    cairo_t* cr = cairo_create(l.surface);
    gfx::set_context(cr);
    gfx::clear(0);
    const bool drawn = paint(std::ceil(g_view.w), std::ceil(g_view.h));
    gfx::set_context(nullptr);
    cairo_destroy(cr);
    cairo_surface_flush(l.surface);
    if (drawn)
        SDL_UpdateTexture(l.texture, nullptr, cairo_image_surface_get_data(l.surface),
                          cairo_image_surface_get_stride(l.surface));
    return drawn;
}

void repaint_layers() {
    int w = 0, h = 0;
    SDL_GetRendererOutputSize(g_ren, &w, &h);
    g_base.valid = repaint_layer(g_base, w, h, [](float vw, float vh) {
        iface::draw_base(vw, vh);
        return true;
    });
    g_over.valid =
        repaint_layer(g_over, w, h, [](float vw, float vh) { return iface::draw_overlay(vw, vh); });
    iface::picture_changed();
}

void iface::drop_textures() {
    using namespace compose_detail;
    clear_cache();
    for (SDL_Texture** t : {&g_meter_target, &g_meter_mask})
        if (*t) SDL_DestroyTexture(*t), *t = nullptr;
    g_meter_side = 0;
    scene_detail::drop_textures();
    scene_layer::drop_textures();
    drop_layer(g_base);
    drop_layer(g_over);
}

// ============================================================================ window

void update_scale() {
    int ww = 0, wh = 0, ow = 0, oh = 0;
    SDL_GetWindowSize(g_win, &ww, &wh);
    SDL_GetRendererOutputSize(g_ren, &ow, &oh);
    g_scale = ww > 0 ? static_cast<double>(ow) / ww : 1.0;
    g_view = iface::view_for(ww, wh);
    const double k = g_view.scale * g_scale;
    if (std::fabs(k - g_k) > 1e-4) {
        g_k = k;
        iface::clear_cache();
    }
    iface::set_pixel_scale(static_cast<float>(g_k));
}

void invalidate_layers() {
    g_base.valid = false;
}

bool usable_bounds(int display, SDL_Rect* r) {
    return SDL_GetDisplayUsableBounds(display, r) == 0 && r->w > 0;
}

bool is_fullscreen() {
    return SDL_GetWindowFlags(g_win) & SDL_WINDOW_FULLSCREEN;
}
bool is_maximized() {
    return SDL_GetWindowFlags(g_win) & SDL_WINDOW_MAXIMIZED;
}

// A remembered position is used when it lies on a connected display, with the title bar kept
// reachable; otherwise the window goes to the middle (or, compact, to the bottom-right corner).
void place(int x, int y, int w, int h, bool bottom_right) {
    if (x != -1 && y != -1) {
        const SDL_Point probe{x + w / 2, y + 10};
        for (int i = 0; i < SDL_GetNumVideoDisplays(); ++i) {
            SDL_Rect r{};
            if (!usable_bounds(i, &r) || !SDL_PointInRect(&probe, &r)) continue;
            int top = 0;
            if (SDL_GetWindowBordersSize(g_win, &top, nullptr, nullptr, nullptr) != 0) top = 0;
            y = std::max(y, r.y + top);
            SDL_SetWindowPosition(g_win, x, y);
            return;
        }
    }
    SDL_Rect r{};
    if (!usable_bounds(0, &r)) r = {0, 0, 1920, 1080};
    if (bottom_right)
        SDL_SetWindowPosition(g_win, r.x + r.w - w - 24, r.y + r.h - h - 24);
    else
        SDL_SetWindowPosition(g_win, r.x + (r.w - w) / 2, r.y + (r.h - h) / 2);
}

SDL_HitTestResult on_hit_test(SDL_Window* win, const SDL_Point* p, void*) {
    if (!compact_mode()) return SDL_HITTEST_NORMAL;
    int w = 0, h = 0;
    SDL_GetWindowSize(win, &w, &h);
    switch (edge_at(p->x, p->y, w, h)) {
    case Edge::top_left:
        return SDL_HITTEST_RESIZE_TOPLEFT;
    case Edge::top_right:
        return SDL_HITTEST_RESIZE_TOPRIGHT;
    case Edge::bottom_left:
        return SDL_HITTEST_RESIZE_BOTTOMLEFT;
    case Edge::bottom_right:
        return SDL_HITTEST_RESIZE_BOTTOMRIGHT;
    case Edge::top:
        return SDL_HITTEST_RESIZE_TOP;
    case Edge::bottom:
        return SDL_HITTEST_RESIZE_BOTTOM;
    case Edge::left:
        return SDL_HITTEST_RESIZE_LEFT;
    case Edge::right:
        return SDL_HITTEST_RESIZE_RIGHT;
    case Edge::none:
        break;
    }
    const float s = g_view.scale > 0 ? g_view.scale : 1;
    return iface::cursor_at(static_cast<float>(p->x) / s, static_cast<float>(p->y) / s) == 2
               ? SDL_HITTEST_DRAGGABLE
               : SDL_HITTEST_NORMAL;
}

void apply_mode(bool compact, bool on_top) {
    if (is_fullscreen()) SDL_SetWindowFullscreen(g_win, 0);
    if (is_maximized()) SDL_RestoreWindow(g_win);

    SDL_Rect usable{};
    const bool known = usable_bounds(0, &usable);
    Settings& s = *g_settings;
    const ModeSize m = mode_size(compact, compact ? s.mini_w : s.win_w, compact ? s.mini_h : s.win_h,
                                 known ? usable.w : 0, known ? usable.h : 0);
    if (m.reset_saved) s.mini_w = s.mini_h = 0;

    if (compact) {
        SDL_SetWindowBordered(g_win, SDL_FALSE);
        if (SDL_SetWindowHitTest(g_win, on_hit_test, nullptr) != 0)
            logger::warn(std::string("Moving without a frame not available: ") + SDL_GetError());
    } else {
        SDL_SetWindowBordered(g_win, SDL_TRUE);
        SDL_SetWindowHitTest(g_win, nullptr, nullptr);
    }
    SDL_SetWindowResizable(g_win, SDL_TRUE);
    SDL_SetWindowMinimumSize(g_win, compact ? kCompactW : 480, compact ? kCompactH : 410);
    SDL_SetWindowSize(g_win, m.w, m.h);
    compat::always_on_top(g_win, compact && on_top);
    if (compact)
        place(s.mini_x, s.mini_y, m.w, m.h, true);
    else
        place(s.win_x, s.win_y, m.w, m.h, false);
    update_scale();
}

void log_fullscreen_settled();

void toggle_fullscreen() {
    const bool leaving = is_fullscreen();
    if (!leaving && !is_maximized()) {
        SDL_GetWindowPosition(g_win, &g_windowed_x, &g_windowed_y);
        SDL_GetWindowSize(g_win, &g_windowed_w, &g_windowed_h);
    }
    if (SDL_SetWindowFullscreen(g_win, leaving ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP) != 0)
        logger::warn(std::string("SDL_SetWindowFullscreen: ") + SDL_GetError());
    if (leaving && g_windowed_w > 0 && g_windowed_h > 0) {
        if (!compact_mode()) SDL_SetWindowBordered(g_win, SDL_TRUE);
        SDL_SetWindowSize(g_win, g_windowed_w, g_windowed_h);
        place(g_windowed_x, g_windowed_y, g_windowed_w, g_windowed_h, compact_mode());
    }
    const bool on = is_fullscreen();
    iface::set_fullscreen_state(on);
    // The window manager applies the switch in its own time; the line tells where it landed.
    g_mode_log = {true, on, platform::ticks_ms() + 3000};
    log_fullscreen_settled();
}

// The "Fullscreen on/off" line once the window has its new place (full screen: the display's
// bounds; windowed: the remembered size), or after three seconds with what there is then.
void log_fullscreen_settled() {
    if (!g_mode_log.pending) return;
    const bool on = g_mode_log.on;
    int x = 0, y = 0, w = 0, h = 0, ow = 0, oh = 0;
    SDL_GetWindowPosition(g_win, &x, &y);
    SDL_GetWindowSize(g_win, &w, &h);
    SDL_GetRendererOutputSize(g_ren, &ow, &oh);
    const int display = SDL_GetWindowDisplayIndex(g_win);
    SDL_Rect d{};
    SDL_GetDisplayBounds(std::max(display, 0), &d);
    const bool settled = on ? is_fullscreen() && x == d.x && y == d.y && w == d.w && h == d.h
                            : !is_fullscreen() && (g_windowed_w <= 0 || (w == g_windowed_w && h == g_windowed_h));
    if (!settled && platform::ticks_ms() < g_mode_log.due) return;
    g_mode_log.pending = false;
    if (!settled && !on && !is_fullscreen() && g_windowed_w > 0) {
        // A late answer of the window manager left the full-screen size behind.
        SDL_SetWindowSize(g_win, g_windowed_w, g_windowed_h);
        place(g_windowed_x, g_windowed_y, g_windowed_w, g_windowed_h, compact_mode());
    }
    char line[256];
    std::snprintf(line, sizeof line,
                  "Fullscreen %s: window %dx%d at %d,%d, output %dx%d, display %d %dx%d at %d,%d, flags 0x%x",
                  on ? "on" : "off", w, h, x, y, ow, oh, display, d.w, d.h, d.x, d.y,
                  SDL_GetWindowFlags(g_win));
    logger::info(line);
}

// Tells an X11 window manager to keep the aspect while the user drags the frame.
void x11_aspect_hint(int aw, int ah) {
    SDL_SysWMinfo wm;
    SDL_VERSION(&wm.version);
    if (!SDL_GetWindowWMInfo(g_win, &wm) || wm.subsystem != SDL_SYSWM_X11) return;
    using GetHints = int (*)(Display*, Window, XSizeHints*, long*);
    using SetHints = void (*)(Display*, Window, XSizeHints*);
    using Flush = int (*)(Display*);
    static GetHints get_hints = nullptr;
    static SetHints set_hints = nullptr;
    static Flush flush = nullptr;
    static bool tried = false;
    if (!tried) {
        tried = true;
        if (void* lib = SDL_LoadObject("libX11.so.6")) {
            get_hints = reinterpret_cast<GetHints>(SDL_LoadFunction(lib, "XGetWMNormalHints"));
            set_hints = reinterpret_cast<SetHints>(SDL_LoadFunction(lib, "XSetWMNormalHints"));
            flush = reinterpret_cast<Flush>(SDL_LoadFunction(lib, "XFlush"));
        }
    }
    if (!get_hints || !set_hints || !flush) return;
    XSizeHints hints{};
    long supplied = 0;
    if (!get_hints(wm.info.x11.display, wm.info.x11.window, &hints, &supplied)) hints = XSizeHints{};
    hints.flags |= PAspect;
    hints.min_aspect.x = hints.max_aspect.x = aw;
    hints.min_aspect.y = hints.max_aspect.y = ah;
    set_hints(wm.info.x11.display, wm.info.x11.window, &hints);
    flush(wm.info.x11.display);
}

void correct_aspect() {
    g_aspect_due = 0;
    int w = 0, h = 0;
    SDL_GetWindowSize(g_win, &w, &h);
    if (is_fullscreen() || is_maximized() || w <= 0 || h <= 0 || g_aspect_w <= 0) {
        g_size_w = w;
        g_size_h = h;
        return;
    }
    int min_w = 0, min_h = 0;
    SDL_GetWindowMinimumSize(g_win, &min_w, &min_h);
    SDL_Rect usable{};
    const bool known = usable_bounds(std::max(SDL_GetWindowDisplayIndex(g_win), 0), &usable);
    const Size s = aspect_settle(w, h, g_size_w, g_size_h, g_aspect_w, g_aspect_h, min_w, min_h,
                                 known ? usable.w : 0, known ? usable.h : 0);
    g_size_w = s.w;
    g_size_h = s.h;
    if (std::abs(s.w - w) > 1 || std::abs(s.h - h) > 1) {
        SDL_SetWindowSize(g_win, s.w, s.h);
        update_scale();
        invalidate_layers();
    }
}

void create_cursors() {
    const SDL_SystemCursor kinds[4] = {SDL_SYSTEM_CURSOR_ARROW, SDL_SYSTEM_CURSOR_HAND,
                                       SDL_SYSTEM_CURSOR_SIZEALL, SDL_SYSTEM_CURSOR_HAND};
    const SDL_SystemCursor resize[4] = {SDL_SYSTEM_CURSOR_SIZENWSE, SDL_SYSTEM_CURSOR_SIZENESW,
                                        SDL_SYSTEM_CURSOR_SIZEWE, SDL_SYSTEM_CURSOR_SIZENS};
    for (int i = 0; i < 4; ++i) {
        g_cursors[i] = SDL_CreateSystemCursor(kinds[i]);
        g_resize[i] = SDL_CreateSystemCursor(resize[i]);
    }
}

void free_cursors() {
    for (int i = 0; i < 4; ++i) {
        if (g_cursors[i]) SDL_FreeCursor(g_cursors[i]);
        if (g_resize[i]) SDL_FreeCursor(g_resize[i]);
        g_cursors[i] = g_resize[i] = nullptr;
    }
    g_cursor_current = -1;
    g_cursor_forced = false;
}

// Near the edges of the frameless window the pointer shows how it would resize it.
void update_cursor(int x, int y) {
    if (compact_mode()) {
        int w = 0, h = 0;
        SDL_GetWindowSize(g_win, &w, &h);
        int r = -1;
        switch (edge_at(x, y, w, h)) {
        case Edge::top_left:
        case Edge::bottom_right:
            r = 0;
            break;
        case Edge::top_right:
        case Edge::bottom_left:
            r = 1;
            break;
        case Edge::left:
        case Edge::right:
            r = 2;
            break;
        case Edge::top:
        case Edge::bottom:
            r = 3;
            break;
        case Edge::none:
            break;
        }
        if (r >= 0) {
            if (g_resize[r]) SDL_SetCursor(g_resize[r]);
            g_cursor_forced = true;
            g_cursor_current = -1;
            return;
        }
    }
    g_cursor_forced = false;
    const float s = g_view.scale > 0 ? g_view.scale : 1;
    const int kind = std::clamp(iface::cursor_at(static_cast<float>(x) / s, static_cast<float>(y) / s), 0, 3);
    if (kind != g_cursor_current) {
        g_cursor_current = kind;
        if (g_cursors[kind]) SDL_SetCursor(g_cursors[kind]);
    }
}

void set_icon() {
    constexpr int kSize = 64;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kSize, kSize);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return;
    }
    cairo_t* cr = cairo_create(surface);
    gfx::set_context(cr);
    iface::paint_logo(kSize);
    gfx::set_context(nullptr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    // cairo keeps colour premultiplied; window icons take it straight.
    for (int y = 0; y < kSize; ++y) {
        auto* px = reinterpret_cast<uint32_t*>(data + y * stride);
        for (int x = 0; x < kSize; ++x) {
            const uint32_t a = px[x] >> 24;
            if (a == 0 || a == 255) continue;
            auto un = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
            px[x] =
                (a << 24) | (un((px[x] >> 16) & 255) << 16) | (un((px[x] >> 8) & 255) << 8) | un(px[x] & 255);
        }
    }
    if (SDL_Surface* icon =
            SDL_CreateRGBSurfaceWithFormatFrom(data, kSize, kSize, 32, stride, SDL_PIXELFORMAT_ARGB8888)) {
        SDL_SetWindowIcon(g_win, icon);
        SDL_FreeSurface(icon);
    }
    cairo_surface_destroy(surface);
}

// ============================================================================ events

void handle(const SDL_Event& e) {
    const float s = g_view.scale > 0 ? g_view.scale : 1;
    switch (e.type) {
    case SDL_QUIT:
        g_running = false;
        break;
    case SDL_WINDOWEVENT:
        switch (e.window.event) {
        case SDL_WINDOWEVENT_LEAVE:
            iface::on_mouse_leave();
            break;
        case SDL_WINDOWEVENT_SIZE_CHANGED:
            if (g_aspect_w > 0) g_aspect_due = platform::ticks_ms() + 250;
            iface::window_changed();
            update_scale();
            invalidate_layers();
            break;
        case SDL_WINDOWEVENT_MOVED:
            iface::window_changed();
            break;
        case SDL_WINDOWEVENT_EXPOSED:
        case SDL_WINDOWEVENT_DISPLAY_CHANGED:
            update_scale();
            invalidate_layers();
            break;
        default:
            break;
        }
        break;
    case SDL_RENDER_TARGETS_RESET:
        invalidate_layers();
        break;
    case SDL_RENDER_DEVICE_RESET:
        g_gpu_lost = true;
        break;
    case SDL_KEYDOWN:
        switch (e.key.keysym.sym) {
        case SDLK_F11:
            toggle_fullscreen();
            break;
        case SDLK_ESCAPE:
            if (is_fullscreen())
                toggle_fullscreen();
            else
                iface::on_key(iface::kEscape);
            break;
        case SDLK_BACKSPACE:
            iface::on_key(iface::kBackspace);
            break;
        case SDLK_RETURN:
        case SDLK_KP_ENTER:
            iface::on_key(iface::kEnter);
            break;
        default:
            break;
        }
        break;
    case SDL_TEXTINPUT:
        iface::on_text(e.text.text);
        break;
    case SDL_MOUSEMOTION:
        g_pointer_at = platform::ticks_ms();
        iface::on_mouse_move(static_cast<float>(e.motion.x) / s, static_cast<float>(e.motion.y) / s);
        update_cursor(e.motion.x, e.motion.y);
        break;
    case SDL_MOUSEBUTTONDOWN:
        if (e.button.button != SDL_BUTTON_LEFT) break;
        if (e.button.clicks >= 2)
            iface::on_double_click(static_cast<float>(e.button.x) / s, static_cast<float>(e.button.y) / s);
        else
            iface::on_mouse_down(static_cast<float>(e.button.x) / s, static_cast<float>(e.button.y) / s);
        break;
    case SDL_MOUSEBUTTONUP:
        if (e.button.button == SDL_BUTTON_LEFT) iface::on_mouse_up();
        break;
    case SDL_MOUSEWHEEL: {
        if (e.wheel.y == 0) break;
        int x = 0, y = 0;
        SDL_GetMouseState(&x, &y);
        iface::on_wheel(static_cast<float>(x) / s, static_cast<float>(y) / s, e.wheel.y > 0 ? -1 : 1);
        break;
    }
    default:
        break;
    }
}

void on_signal(int sig) {
    if (sig == SIGUSR1)
        g_sig_raise.store(true);
    else
        g_sig_quit.store(true);
}

// ============================================================================ run_gui

// Sleeps towards the frame budget while handling the events that arrive meanwhile, so that input
// (a press the window manager must see to start a resize) waits for no frame.
void wait_events_until(uint64_t until) {
    SDL_Event e;
    for (uint64_t now = platform::ticks_ms(); now < until && g_running; now = platform::ticks_ms()) {
        if (!SDL_WaitEventTimeout(&e, static_cast<int>(until - now))) continue;
        handle(e);
        while (SDL_PollEvent(&e)) handle(e);
    }
}

bool start_video() {
    // A hint, not the environment: the sound engine's thread is running by now.
    const char* driver = std::getenv("SDL_VIDEODRIVER");
    const char* display = std::getenv("DISPLAY");
    if (!driver && display && *display) {
        SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
        if (SDL_Init(SDL_INIT_VIDEO) != 0) {
            logger::warn(std::string("X11 not reachable (") + SDL_GetError() + "), trying the SDL default");
            SDL_ResetHint(SDL_HINT_VIDEODRIVER);
            SDL_Quit();
        }
    }
    if (SDL_WasInit(SDL_INIT_VIDEO)) return true;
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        logger::error(std::string("SDL_Init: ") + SDL_GetError());
        return false;
    }
    // Left to itself SDL falls back to drivers that show nothing; a window nobody can see would
    // hold the user's sound with no way to quit, so those count only when asked for by name.
    const std::string chosen = SDL_GetCurrentVideoDriver() ? SDL_GetCurrentVideoDriver() : "";
    if (!driver && (chosen == "offscreen" || chosen == "dummy")) {
        logger::error("SDL_Init: no display to show a window on (SDL offered only its " + chosen +
                      " driver)");
        SDL_Quit();
        return false;
    }
    return true;
}

// Rebuilds the renderer after the graphics device was reset; false when that fails.
bool recreate_renderer() {
    logger::warn("Graphics device reset - recreating the renderer");
    iface::drop_textures();
    shutdown_gpu_effects();
    SDL_DestroyRenderer(g_ren);
    g_ren = nullptr;
    if (!create_renderer()) return false;
    init_gpu_effects();
    g_k = 0;
    update_scale();
    invalidate_layers();
    return true;
}

void remember_windowed() {
    // Until the window manager has applied a switch the size may still be the full screen's.
    if (is_fullscreen() || is_maximized() || g_mode_log.pending) return;
    SDL_GetWindowPosition(g_win, &g_windowed_x, &g_windowed_y);
    SDL_GetWindowSize(g_win, &g_windowed_w, &g_windowed_h);
}

void teardown(bool persist) {
    if (persist) iface::persist();
    iface::drop_textures();
    shutdown_gpu_effects();
    raster::shutdown(); // the scene's picture worker ends with the window that shows its pictures
    free_cursors();
    iface::shutdown();
    gfx::shutdown();
    if (g_ren) SDL_DestroyRenderer(g_ren);
    if (g_win) SDL_DestroyWindow(g_win);
    g_ren = nullptr;
    g_win = nullptr;
    SDL_Quit();
}

} // namespace

void prepare_window_environment() {
    setenv("SDL_VIDEO_X11_WMCLASS", "lumafon", 0);
    setenv("LP_NUM_THREADS", "2", 0);
}

int run_gui(Settings* settings) {
    const uint64_t started = compat::ticks();
    g_settings = settings;
    g_running = true;
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::signal(SIGUSR1, on_signal);

    SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");

    if (!start_video()) return 1;
    g_win = SDL_CreateWindow("Lumafon", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, kNormalW, kNormalH,
                             SDL_WINDOW_HIDDEN | SDL_WINDOW_ALLOW_HIGHDPI);
    if (!g_win) {
        logger::error(std::string("SDL_CreateWindow: ") + SDL_GetError());
        SDL_Quit();
        return 1;
    }
    if (!create_renderer()) {
        SDL_DestroyWindow(g_win);
        g_win = nullptr;
        SDL_Quit();
        return 1;
    }
    init_gpu_effects();
    if (!gfx::init(nullptr)) {
        logger::error("Cairo/Pango not available");
        teardown(false);
        return 1;
    }
    create_cursors();
    ui::init(settings, autostart::enabled());
    set_icon();
    apply_mode(settings->compact, settings->compact_on_top);
    SDL_ShowWindow(g_win);
    apply_mode(settings->compact, settings->compact_on_top);

    float refresh_ms = 16.666666f;
    uint64_t refresh_at = 0;
    const bool level_log = std::getenv("LUMA2_LEVELLOG") != nullptr;
    int frames = 0, repaints = 0, composed = 0;
    uint64_t frame_ticks = 0, compose_ticks = 0, present_ticks = 0; // performance counter, for the level log
    const double per_us = 1e6 / double(SDL_GetPerformanceFrequency());
    uint64_t report_at = 0;

    int timeout = 1;
    bool animating = true, visible = true, first_frame = true;
    double frame_due = 0; // ms, when the next animated frame is due on screen
    uint64_t presented_at = 0, settle_until = 0;
    SDL_Event e;
    while (g_running) {
        if (SDL_WaitEventTimeout(&e, timeout)) {
            handle(e);
            while (SDL_PollEvent(&e)) handle(e);
        }
        if (g_sig_quit.load()) g_running = false;
        if (g_sig_raise.exchange(false)) {
            SDL_RestoreWindow(g_win);
            SDL_RaiseWindow(g_win);
        }
        if (!g_running) break;

        if (g_gpu_lost) {
            g_gpu_lost = false;
            if (!recreate_renderer()) break;
        }

        const bool now_visible = !(SDL_GetWindowFlags(g_win) & (SDL_WINDOW_HIDDEN | SDL_WINDOW_MINIMIZED));
        if (now_visible != visible) {
            visible = now_visible;
            logger::info(visible ? "Window visible again" : "Window not visible - display paused");
        }
        if (!visible) {
            iface::on_frame();
            if (!g_running) break;
            animating = false;
            timeout = compact_mode() ? 50 : 20;
            continue;
        }

        uint64_t now = platform::ticks_ms();
        if (now >= refresh_at) {
            refresh_at = now + 1000;
            SDL_DisplayMode mode{};
            if (SDL_GetCurrentDisplayMode(std::max(SDL_GetWindowDisplayIndex(g_win), 0), &mode) == 0 &&
                mode.refresh_rate >= 20 && mode.refresh_rate <= 500)
                refresh_ms = 1000.0f / static_cast<float>(mode.refresh_rate);
        }
        const bool focused = SDL_GetWindowFlags(g_win) & SDL_WINDOW_INPUT_FOCUS;
        const Budget b =
            frame_budget(g_soft || g_level > 3, focused || iface::sound_present(), g_vsync, refresh_ms);
        // Animated frames keep a clock of their own: each is due one budget after the previous
        // one was due, and starts its work the sleep target's lead before that (with vsync the
        // present then waits for the display). Counted from the end of the previous present
        // instead, the drawing time came on top of the budget, and a software-drawn window whose
        // frames take 15-20 ms fell from 30 to 23 frames a second. A frame later than its due
        // time moves the clock on, so that late frames are not made up in a burst.
        const double lead = double(b.budget - b.sleep_target);
        const bool paced = animating && frame_due > 0;
        if (paced && double(now) < frame_due - lead) {
            wait_events_until(static_cast<uint64_t>(frame_due - lead));
            now = platform::ticks_ms();
            if (!g_running) break;
        }
        frame_due = paced ? std::max(frame_due + double(b.budget), double(now) + lead) : double(now) + double(b.budget);
        const uint64_t frame_start = SDL_GetPerformanceCounter();
        animating = iface::on_frame();
        frame_ticks += SDL_GetPerformanceCounter() - frame_start;

        int rw = 0, rh = 0;
        iface::reference_size(&rw, &rh);
        if (rw != g_aspect_w || rh != g_aspect_h) {
            g_aspect_w = rw;
            g_aspect_h = rh;
            SDL_GetWindowSize(g_win, &g_size_w, &g_size_h);
            x11_aspect_hint(rw, rh);
        }
        if (g_aspect_due && now >= g_aspect_due && !g_mode_log.pending) correct_aspect();
        update_scale();
        if (iface::take_fullscreen_toggle()) toggle_fullscreen();
        remember_windowed();
        iface::set_fullscreen_state(is_fullscreen());
        log_fullscreen_settled();

        const bool dirty = iface::take_dirty();
        const bool repainted = dirty || !g_base.valid;
        if (repainted) {
            repaint_layers();
            ++repaints;
        }
        if (level_log) {
            ++frames;
            if (!report_at) report_at = now + 5000;
            if (now >= report_at) {
                char line[200];
                std::snprintf(line, sizeof line,
                              "UI repaint: %d of %d frames, layer %dx%d at scale %f; presented %d; per frame: "
                              "on_frame %.0f us, compose %.0f us, present %.0f us",
                              repaints, frames, g_base.w, g_base.h, g_k, composed,
                              double(frame_ticks) * per_us / frames,
                              double(compose_ticks) * per_us / std::max(composed, 1),
                              double(present_ticks) * per_us / std::max(composed, 1));
                logger::info(line);
                frames = repaints = composed = 0;
                frame_ticks = compose_ticks = present_ticks = 0;
                report_at = now + 5000;
            }
        }
        // A frame equal to the one on screen is neither composed nor presented; the pace stays.
        // After a repaint (a new size, an exposure) frames go on for half a second, since a
        // window that was just resized may drop the first ones; and one frame a second (one a
        // step while the window rests) is kept in any case, so that a picture lost on the way
        // does not stay lost.
        // A silent window rests while nobody attends to it: it has not the keyboard focus and
        // the pointer has not moved over it lately (one merely parked there does not count).
        const bool resting = !focused && now >= g_pointer_at + 3000 && !iface::sound_present();
        const bool changed = iface::advance_frame(resting);
        if (repainted) settle_until = platform::ticks_ms() + 500;
        const uint64_t keep_ms = resting ? compose_detail::kRestStepMs : 1000;
        const uint64_t checked_at = platform::ticks_ms();
        const bool settling = repainted || checked_at < settle_until;
        const bool kept = checked_at >= presented_at + keep_ms;
        if (changed || settling || kept) {
            const uint64_t compose_start = SDL_GetPerformanceCounter();
            iface::compose(settling || kept);
            const uint64_t present_start = SDL_GetPerformanceCounter();
            compose_detail::present_frame(settling);
            iface::presented();
            compose_ticks += present_start - compose_start;
            present_ticks += SDL_GetPerformanceCounter() - present_start;
            ++composed;
            const uint64_t composed_at = platform::ticks_ms();
            presented_at = composed_at;
            if (animating) govern_gpu(b.budget);
            if (first_frame) {
                first_frame = false;
                logger::info("First frame after " + std::to_string(composed_at - started) + " ms");
            }
        }
        if (!g_running) break;
        timeout = animating ? 1 : (compact_mode() ? 50 : 20);
    }

    teardown(true);
    return 0;
}

// ============================================================================ platform

namespace platform {

uint64_t ticks_ms() {
    return compat::ticks();
}

void set_compact(bool compact, bool on_top) {
    if (g_win) apply_mode(compact, on_top);
}

void window_pos(int* x, int* y) {
    if (!g_win) return;
    if ((is_fullscreen() || is_maximized()) && g_windowed_w > 0) {
        *x = g_windowed_x;
        *y = g_windowed_y;
    } else {
        SDL_GetWindowPosition(g_win, x, y);
    }
}

void window_size(int* w, int* h) {
    if (!g_win) return;
    if ((is_fullscreen() || is_maximized()) && g_windowed_w > 0) {
        *w = g_windowed_w;
        *h = g_windowed_h;
    } else {
        SDL_GetWindowSize(g_win, w, h);
    }
}

void quit() {
    g_running = false;
}

bool compact_framed() {
    return false;
}

// The desktop's handler through SDL, else a detached xdg-open (the middle child is reaped at once,
// so no zombie is left behind).
void open_uri(const std::string& address) {
    if (compat::open_url(address)) return;
    const pid_t child = fork();
    if (child < 0) {
        logger::warn("Cannot open address: " + address);
        return;
    }
    if (child == 0) {
        if (fork() == 0) {
            execlp("xdg-open", "xdg-open", address.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        _exit(0);
    }
    waitpid(child, nullptr, 0);
}

} // namespace platform
