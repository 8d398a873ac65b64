// The visualizer's director: once per displayed frame it turns the bar levels and the beat
// tracker's event counters into smoothed music signals, decides which visual program runs and
// cross-fades between programs, asks the raster worker for pictures, floats and animates the
// level meter inside the scene, and schedules the post effects, echo, strobe and meter episodes.
// It fills a scene3d::Out record that the window draws; it never touches the renderer.
//
// Threads: everything here belongs to the window thread; none of its state is locked. The only
// shared object is the raster worker's hand-off (scene/raster_bg), used through its own calls.
#pragma once

#include "dsp/eq_dsp.h"
#include "scene/gpu_fractal.h"
#include "scene/raster_bg.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace scene3d {

// What the interface hands the scene every frame (filled fresh by the caller).
struct Input {
    float origin_x = 0, origin_y = 0;                 // top-left of the view, logical units
    float win_w = 960, win_h = 820;                   // view size, logical units
    float area_x = 0, area_y = 0, area_w = 960, area_h = 820; // the scene rectangle in the view
    float meter_r = 0;            // the round meter's diameter, logical units; 0 without one
    int32_t kick_count = 0;       // running counters of released events: only changes matter
    int32_t clap_count = 0;
    int32_t beat_count = 0;
    float beat_period = 0.5f;     // seconds
    float beat_conf = 0;          // 0..1
    float px = 1;                 // device pixels per logical unit
    const float* bars = nullptr;      // 31 bar levels in dB; null counts as silence
    const float* bars_peak = nullptr; // the 31 peak values kept after the levels
    float meter_l = 0, meter_r_level = 0;
    eq::Curve curve;
    bool eq_active = false;
    bool compact = false;
    int32_t hover_band = -1;
    int32_t drag_band = -1;
};

struct RasterDraw {
    std::shared_ptr<const raster::Image> image; // may be empty
    float sx = 0, sy = 0, sw = 0, sh = 0;       // source rectangle, picture pixels
    float x = 0, y = 0, w = 0, h = 0;           // destination rectangle, pixels
    float alpha = 1;                            // skipped when <= 0.003
    uint32_t tint = 0xFFFFFFFF;
    int32_t mesh = -1;    // index into Out::meshes, -1 for none
    int32_t fractal = -1; // index into Out::fractals, -1 for none
};

struct MeshV {
    float x = 0, y = 0, u = 0, v = 0;
    uint32_t color = 0xFFFFFFFF;
};

struct Mesh {
    std::shared_ptr<const raster::Image> image;
    std::vector<MeshV> verts;
    std::vector<int32_t> index; // triangles
};

// A GPU fractal draw: the GPU layer's parameters (kind, view, palette shift, camera, seed, the
// smoothed bands and the program's shape values) with the palette kept inline, since the
// program that made it may end before the window draws it. The layer that refers to it gives
// destination, alpha and tint.
struct FractalDraw {
    gpu_fractal::Params params;
    uint32_t palette[256] = {};
};

struct Seg {
    float x0 = 0, y0 = 0, x1 = 0, y1 = 0, width = 1;
    uint32_t color = 0;
};

struct Dot {
    float x = 0, y = 0, radius = 1;
    uint32_t color = 0;
};

struct Beam {
    float x[4] = {}, y[4] = {};
    uint32_t color[4] = {};
};

struct Quad {
    float x[4] = {}, y[4] = {};
    uint32_t color = 0;
};

// What the scene hands the window for one frame. Owned by the caller and reused: build()
// clears every list and appends, so lists keep their room.
struct Out {
    std::vector<RasterDraw> layers;
    std::vector<Mesh> meshes;
    std::vector<FractalDraw> fractals;
    int32_t post_fx = -1;
    float post_time = 0;
    float post_drive = 0;
    float post_pts[4] = {};
    float post_spread = 0;
    float post_amt = 0;
    float drops[4][4] = {}; // x, y, age, strength; pixels
    int32_t post_next = -1;
    float post_next_mix = 0;
    float bands3[3] = {};
    float meter_dx = 0, meter_dy = 0; // pixels from the scene centre
    float meter_scale = 1;
    float meter_spin = 0;  // degrees
    float meter_flash = 0;
    float meter_pulse = 0;
    float meter_alpha = 1;
    float meter_bare = 0;
    int32_t morph_to = 0;
    float white_flash = 0;
    int32_t episode = 0;
    float episode_t = 0;
    bool echo_on = false;
    float echo_cx = 0, echo_cy = 0;
    float echo_zoom = 1, echo_rot = 0, echo_swirl = 0, echo_decay = 0.8f, echo_gain = 0.85f,
          echo_thresh = 0.54f, echo_hue = 0, echo_alpha = 0;
    std::vector<Seg> segs;
    std::vector<Dot> dots;
    std::vector<RasterDraw> front;
    std::vector<Beam> beams;
    std::vector<Dot> beam_dots;
    std::vector<Quad> quads;
    std::vector<Seg> front_segs;
    std::vector<Dot> front_dots;
};

// One frame; `t` is the frame time in seconds on a steady clock.
void build(const Input& in, double t, Out& out);

// The glass ball that frames the scene: its centre and radius in logical units (it follows the
// camera's zoom and, outside the compact window, bobs gently), the square around it that its
// painters fill, and the painters themselves (through the drawing layer, in the square's own
// coordinates, the centre at 1.04 r): the body behind the scene and the reflections over it.
struct Ball {
    float x = 0, y = 0, r = 0;
};
Ball ball(const Input& in, double t);
struct Square {
    float x = 0, y = 0, side = 0;
};
Square back_rect(const Ball& b);
void paint_back(const Ball& b);
void paint_front(const Ball& b);

void set_gpu_fractals(bool on); // the GPU may draw raster kinds 0..3
void set_gpu_3d(bool on);       // the GPU may draw the shader kinds 20..42
void set_gpu_post(bool on);     // post effects allowed; off also clears the current effect
void set_gpu_echo(bool on);     // the feedback effect allowed
void set_light_load(bool on);   // no new shader-kind program; leaves one that runs
void set_reduce_flashes(bool on);
bool reduce_flashes();
float kick();                   // the kick envelope 0..1
const std::string& label();     // caption of the current program
int64_t label_serial();         // one more at every program start
void next_pattern();            // switch at the next frame

// Camera.
void rotate(float dx, float dy);
void grab();
void release(float v); // pointer velocity, pixels per second
void zoom(float steps);
void reset_view();
int pick_band(float x, float y); // always -1
float units_per_db(int band);    // always 1

// What the director decided, for the window's tools, the benchmark and the tests.
struct Status {
    int32_t family = -1;      // current program, -1 before the first frame
    int32_t prev_family = -1; // program fading out, -1 when none
    float fade = 1;           // weight of the current program
    double fade_len = 3;
    int32_t tag = 0;
    int64_t switches = 0;     // program starts, the first included
    int64_t hits = 0;         // hits counted (beats and synthesised)
    bool hit = false, drum = false, clap = false, drop = false; // this frame's events
    float snd[6] = {};        // bass, mid, high, overall, slow overall, kick envelope
    double music_clock = 0;
    float yaw = 0, pitch = 0, zoom = 1, spin = 0;
    int32_t meter_mode = 0;
    double mode_left = 0;
    int32_t overlay = 0;
    int32_t echo_mode = 0;
    float meter_size = 1;
    bool disco = false, lasers = false, fog = false;
    bool spray = false;
    int32_t puffs = 0;        // smoke puffs alive
    int32_t sparks = 0;       // clap sparks alive
    bool strobe_open = false;
    int64_t raster_jobs = 0;  // jobs requested
    float presence = 0;       // 0 once the stage rests in the dark in lasting silence, 1 with music
};
Status status();

// Forgets everything, as at the start of a process: the next frame is a first frame, the
// generator is seeded with `seed`, and the environment overrides are read again. For tests and
// benchmarks that need a repeatable run.
void reset(uint32_t seed);

// Where raster jobs go: by default the raster worker. Tests and benchmarks can count jobs
// instead of computing pictures. Null functions restore the worker.
struct RasterHooks {
    void (*request)(const raster::Job&) = nullptr;
    bool (*busy)() = nullptr;
    std::shared_ptr<const raster::Image> (*latest)() = nullptr;
};
void set_raster_hooks(const RasterHooks& hooks);

} // namespace scene3d
