// The SDL window: its creation, the renderer with its software fallback, the event and frame loop,
// the normal, compact (frameless) and full-screen modes, the aspect ratio kept to the reference
// size, signals, and the orderly teardown of the drawing stack. Everything here runs on the thread
// that calls run_gui (the process's first thread); the only exception is the signal handler, which
// writes two atomic flags.
#pragma once

#include <cstdint>
#include <string>

struct Settings;
struct SDL_Window;
struct SDL_Renderer;
struct SDL_Texture;
struct SDL_Vertex;
namespace scene3d {
struct Out;
}

// Owns the window from creation to destruction. `settings` stays the caller's; the window thread
// changes it in place. 0 after an orderly quit, 1 when SDL, the window, the renderer or the text
// stack cannot be started.
int run_gui(Settings* settings);

// Sets the environment that SDL and Mesa read. Call before any other thread starts: glibc's
// setenv may move the environment while another thread's getenv (libpulse reads its server
// there, also on every reconnect) walks it.
void prepare_window_environment();

// Window control for the user interface.
namespace platform {

uint64_t ticks_ms();
void set_compact(bool compact, bool on_top);
// The windowed geometry, also while the window is full screen or maximised. Untouched without a
// window.
void window_pos(int* x, int* y);
void window_size(int* w, int* h);
void quit();
bool compact_framed();
void open_uri(const std::string& address);

} // namespace platform

// SDL functions that older SDL libraries lack, looked up once at run time.
namespace compat {

bool geometry(); // SDL_RenderGeometry exists
void always_on_top(SDL_Window* win, bool on);
bool open_url(const std::string& address); // false when missing or refused
// SDL_RenderGeometry; false when missing or refused.
bool render_geometry(SDL_Renderer* ren, SDL_Texture* tex, const SDL_Vertex* v, int nv, const int* idx, int ni);
uint64_t ticks();                          // SDL's 32-bit tick counter extended past its wrap

} // namespace compat

// The scene's raster layer on the renderer: the pictures and meshes of a scene3d::Out record, with
// their textures kept by picture serial (at most 8). Called by the frame composer's scene step
// inside the scene's clip; open to the tests, which draw on a renderer of their own.
namespace scene_layer {

void draw_raster(SDL_Renderer* ren, const scene3d::Out& out);
// The front images, added onto the glow.
void draw_front(SDL_Renderer* ren, const scene3d::Out& out);
// Destroys the kept textures (renderer loss, shutdown, a change of renderer).
void drop_textures();

} // namespace scene_layer

// The window's rules that need no window, open to the tests.
namespace app_sdl::detail {

// Reference sizes in logical units.
inline constexpr int kNormalW = 960, kNormalH = 820;
inline constexpr int kCompactW = 420, kCompactH = 150;

// Where a pointer in window pixels lies in the 10-pixel border band with 18-pixel corners of the
// frameless window.
enum class Edge { none, top_left, top, top_right, right, bottom_right, bottom, bottom_left, left };
Edge edge_at(int x, int y, int w, int h);

// The window size a mode opens at, from the saved size and the usable display bounds (w <= 0:
// unknown). `reset_saved` tells that a saved compact size was out of range and is to be forgotten.
struct ModeSize {
    int w = 0, h = 0;
    bool reset_saved = false;
};
ModeSize mode_size(bool compact, int saved_w, int saved_h, int usable_w, int usable_h);

// The size a resized window settles on: (w, h) now, (sw, sh) the last settled size, (aw, ah) the
// reference, (min_w, min_h) the window's minimum, (usable_w, usable_h) its display (<= 0: unknown).
struct Size {
    int w = 0, h = 0;
};
Size aspect_settle(int w, int h, int sw, int sh, int aw, int ah, int min_w, int min_h, int usable_w,
                   int usable_h);

// The frame budget in milliseconds and the time to sleep towards between frames.
struct Budget {
    float budget = 0;
    float sleep_target = 0;
};
Budget frame_budget(bool light, bool lively, bool vsync, float refresh_ms);

// Why the renderer counts as software rendering, or empty when it does not. `gl_renderer` is
// GL_RENDERER of an OpenGL renderer (empty otherwise); `env` is LUMA2_GPU (null when unset).
std::string software_reason(const std::string& renderer, bool accelerated, const std::string& gl_renderer,
                            const char* env);

// The GPU governor's verdict at the end of one 2-second window: the quality level moves one step
// lighter after two loaded windows, one step back after eight quiet ones, but not below a level
// that had to be raised again within a minute of lowering it. `mean_ms` < 0: nothing measured.
struct Governor {
    int level = 0;            // 0 (everything) .. 4 (lightest)
    int top = 0;              // the lowest level it may return to
    uint64_t lowered_at = 0;  // when the level last went down (0: never)
    int over_n = 0, under_n = 0;
    int hold = 0;             // frames whose measurements predate the last sudden step
};
// True when the level changed. `quiet` is the share of the budget under which a window counts
// as quiet (a software rasteriser never gets near the GPU's quarter).
bool govern_window(Governor& g, double mean_ms, double late_share, float budget, uint64_t now_ms, bool fixed,
                   bool available, float quiet = 0.25f);
// One frame measured far over budget steps the level at once: a frame over four budgets one
// step, over eight straight to level 3, which leaves out the ray-marched pictures. The next
// few frames were queued before the step and are not judged. True when the level changed.
bool govern_stall(Governor& g, double frame_ms, float budget, uint64_t now_ms, bool fixed, bool available);

// Where the floating hint's box lies at `t` seconds, in logical units: its top-left corner and its
// scale. It drifts over the view, but keeps above the bottom of the visualizer's area
// (`visual_bottom`), under which the equaliser panel would hide it.
struct HintBox {
    float x = 0, y = 0, scale = 1;
};
HintBox hint_box(float view_w, float view_h, float box_w, float box_h, float visual_bottom, double t);
// The round meter's outline during an episode: its radius at angle `a` (radians, 0 at twelve
// o'clock, clockwise, in the meter's own frame) as a share of the circle's, for figure 0..4
// (hexagon, star, rounded square, flower, rounded triangle) grown in by `weight` (0 the
// circle, 1 the whole figure); never above 1, so the figure stays inside the meter's square.
float meter_outline(int figure, float weight, float a);
// How far the meter has turned into its figure at episode progress t (0..1): over the first
// 30 % in, over the last 30 % back to the circle.
float outline_weight(float t);

} // namespace app_sdl::detail
