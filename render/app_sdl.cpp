// The SDL window and its main loop, the renderer set-up, and the run-time look-ups of SDL functions.
// Window thread only (the thread that calls run_gui); the signal handler touches two atomic flags.
//
// Sections, in the order a run visits them:
//   rules       pure arithmetic of sizes, edges, budgets and the software decision (tested alone)
//   compat      SDL functions looked up at run time
//   interface   stand-in for the interface model and the frame composer (to be replaced)
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
#include "ui/theme.h"

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

struct View {
    float scale = 1, w = kNormalW, h = kNormalH;
};
View g_view;
double g_scale = 1; // output pixels per window pixel
double g_k = 0;     // output pixels per logical unit

int g_windowed_x = 0, g_windowed_y = 0, g_windowed_w = 0, g_windowed_h = 0;
int g_aspect_w = 0, g_aspect_h = 0, g_size_w = 0, g_size_h = 0;
uint64_t g_aspect_due = 0;

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
// Stand-in for the interface model and the frame composer, which come with their own modules.
// Everything the window asks of them goes through these functions, and they are replaced
// together: until then the window shows its base layer in the theme's background colour.
namespace iface {

Settings* S = nullptr;
bool g_dirty = true;
bool g_fullscreen = false;
uint64_t g_save_at = 0;
uint64_t g_sound_at = 0; // last time the engine reported a level above the display floor
bool g_sound = false;

void persist();

void init(Settings* settings) {
    S = settings;
    S->channel = 0;
    g_dirty = true;
}
void reference_size(int* w, int* h) {
    const bool compact = S && S->compact;
    *w = compact ? kCompactW : kNormalW;
    *h = compact ? kCompactH : kNormalH;
}
View view_for(int w, int h) {
    if (!S || w <= 0 || h <= 0) return {1, static_cast<float>(w), static_cast<float>(h)};
    int rw = 0, rh = 0;
    reference_size(&rw, &rh);
    const float scale = std::max(0.25f, std::min(static_cast<float>(h) / static_cast<float>(rh),
                                                 static_cast<float>(w) / static_cast<float>(rw)));
    return {scale, static_cast<float>(w) / scale, static_cast<float>(h) / scale};
}
void set_pixel_scale(float) {}
bool take_dirty() {
    const bool d = g_dirty;
    g_dirty = false;
    return d;
}
void window_changed() {
    g_save_at = platform::ticks_ms() + 1200;
}
void set_fullscreen_state(bool on) {
    if (on != g_fullscreen) g_dirty = true;
    g_fullscreen = on;
}
bool take_fullscreen_toggle() {
    return false;
}
bool sound_present() {
    return g_sound;
}
// Keeps consuming the engine's peaks, so that the frame rate follows the music.
bool on_frame() {
    const uint64_t now = platform::ticks_ms();
    float l = 0, r = 0;
    audio::take_peaks(&l, &r);
    if (std::max(l, r) > 0.0005f) g_sound_at = now; // -66 dB
    g_sound = g_sound_at && now - g_sound_at < 2000;
    if (g_save_at && now >= g_save_at) {
        g_save_at = 0;
        persist();
    }
    return true;
}
void draw_base(float w, float h) {
    gfx::fill_rect({0, 0, w, h}, theme::colors()[0]);
}
bool draw_overlay(float, float) {
    return false;
}
// The compact window has no frame: its background moves it.
int cursor_at(float, float) {
    return S && S->compact ? 2 : 0;
}
void paint_logo(int size) {
    gfx::image_png(icon_data::kPng, icon_data::kPngSize,
                   {0, 0, static_cast<float>(size), static_cast<float>(size)});
}
void on_mouse_move(float, float) {}
void on_mouse_down(float, float) {}
void on_double_click(float, float) {}
void on_mouse_up() {}
void on_mouse_leave() {}
void on_wheel(float, float, int) {}
void on_key(int) {}
void on_text(const char*) {}
// The window's geometry goes into the settings, which are then written.
void persist() {
    if (!S) return;
    int x = -1, y = -1, w = 0, h = 0;
    platform::window_pos(&x, &y);
    platform::window_size(&w, &h);
    int* pos = S->compact ? &S->mini_x : &S->win_x;
    int* size = S->compact ? &S->mini_w : &S->win_w;
    if (x >= 0 || y >= 0) pos[0] = x, pos[1] = y;
    if (w > 0 && h > 0) size[0] = w, size[1] = h;
    settings::save(*S);
}
void shutdown() {}

// The frame composer: the base layer, then the overlay when it holds something. Nothing here
// moves, so frames are only presented for a second after a layer was repainted (which every
// size change and expose causes): presenting an unchanged picture costs a full-window copy per
// frame, and the second covers a window manager that maps or resizes the window a moment after
// the first frame, when what was presented before is lost.
uint64_t g_present_until = 0;
void picture_changed() {
    g_present_until = platform::ticks_ms() + 1000;
}
void compose() {
    if (platform::ticks_ms() > g_present_until) return;
    SDL_SetRenderDrawColor(g_ren, 0, 0, 0, 255);
    SDL_RenderClear(g_ren);
    if (g_base.valid && g_base.texture) SDL_RenderCopy(g_ren, g_base.texture, nullptr, nullptr);
    if (g_over.valid && g_over.texture) SDL_RenderCopy(g_ren, g_over.texture, nullptr, nullptr);
    SDL_RenderPresent(g_ren);
}
void drop_textures();
void clear_cache() {}

enum Key { kEscape, kEnter, kBackspace };

} // namespace iface

// ============================================================================ gpu
//
// The GPU fractals, their post effects and the load governor come with the visualizer. Until then
// only the quality level is kept (it also sets the frame budget), and these calls do nothing else.

void init_gpu_effects() {
    const char* env = std::getenv("LUMA2_GPU_LEVEL");
    if (env && *env) {
        g_level = std::clamp(std::atoi(env), 0, 4);
        g_level_fixed = true;
    }
}
void govern_gpu(float) {}
void shutdown_gpu_effects() {}

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

    int x = 0, y = 0, w = 0, h = 0, ow = 0, oh = 0;
    SDL_GetWindowPosition(g_win, &x, &y);
    SDL_GetWindowSize(g_win, &w, &h);
    SDL_GetRendererOutputSize(g_ren, &ow, &oh);
    const int display = SDL_GetWindowDisplayIndex(g_win);
    SDL_Rect d{};
    SDL_GetDisplayBounds(std::max(display, 0), &d);
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

bool start_video() {
    const char* driver = std::getenv("SDL_VIDEODRIVER");
    const char* display = std::getenv("DISPLAY");
    if (!driver && display && *display) {
        setenv("SDL_VIDEODRIVER", "x11", 1);
        if (SDL_Init(SDL_INIT_VIDEO) != 0) {
            logger::warn(std::string("X11 not reachable (") + SDL_GetError() + "), trying the SDL default");
            unsetenv("SDL_VIDEODRIVER");
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
    if (is_fullscreen() || is_maximized()) return;
    SDL_GetWindowPosition(g_win, &g_windowed_x, &g_windowed_y);
    SDL_GetWindowSize(g_win, &g_windowed_w, &g_windowed_h);
}

void teardown(bool persist) {
    if (persist) iface::persist();
    iface::drop_textures();
    shutdown_gpu_effects();
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

int run_gui(Settings* settings) {
    const uint64_t started = compat::ticks();
    g_settings = settings;
    g_running = true;
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::signal(SIGUSR1, on_signal);

    setenv("SDL_VIDEO_X11_WMCLASS", "lumafon", 0);
    SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    setenv("LP_NUM_THREADS", "2", 0);

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
    iface::init(settings);
    set_icon();
    apply_mode(settings->compact, settings->compact_on_top);
    SDL_ShowWindow(g_win);
    apply_mode(settings->compact, settings->compact_on_top);

    float refresh_ms = 16.666666f;
    uint64_t refresh_at = 0;
    const bool level_log = std::getenv("LUMA2_LEVELLOG") != nullptr;
    int frames = 0, repaints = 0;
    uint64_t report_at = 0;

    int timeout = 1;
    bool animating = true, visible = true, first_frame = true;
    uint64_t composed_at = 0;
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
        if (animating && composed_at && now - composed_at < b.sleep_target) {
            SDL_Delay(static_cast<uint32_t>(b.sleep_target - static_cast<float>(now - composed_at)));
            now = platform::ticks_ms();
        }
        animating = iface::on_frame();

        int rw = 0, rh = 0;
        iface::reference_size(&rw, &rh);
        if (rw != g_aspect_w || rh != g_aspect_h) {
            g_aspect_w = rw;
            g_aspect_h = rh;
            SDL_GetWindowSize(g_win, &g_size_w, &g_size_h);
            x11_aspect_hint(rw, rh);
        }
        if (g_aspect_due && now >= g_aspect_due) correct_aspect();
        const bool tick = !compact_mode() && now - composed_at > 49;
        update_scale();
        if (iface::take_fullscreen_toggle()) toggle_fullscreen();
        remember_windowed();
        iface::set_fullscreen_state(is_fullscreen());

        const bool dirty = iface::take_dirty();
        if (dirty || !g_base.valid) {
            repaint_layers();
            ++repaints;
        }
        if (level_log) {
            ++frames;
            if (!report_at) report_at = now + 5000;
            if (now >= report_at) {
                char line[160];
                std::snprintf(line, sizeof line, "UI repaint: %d of %d frames, layer %dx%d at scale %f",
                              repaints, frames, g_base.w, g_base.h, g_k);
                logger::info(line);
                frames = repaints = 0;
                report_at = now + 5000;
            }
        }
        if (tick || animating || dirty) {
            iface::compose();
            composed_at = platform::ticks_ms();
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
