// The visualizer's director (see scene3d.h). Window thread only; no state here is locked.
//
// Sections, in the order a frame visits them:
//   1. state and random numbers          5. drop detection
//   2. environment overrides             6. music clock and camera
//   3. palettes, captions, programs      7. program scheduler, family choice, fades
//   4. music signals and events          8. raster scheduling, disco dimming
//                                        9. effects: post, meter, spray, episodes, flashes,
//                                           echo, kick dot
#include "scene/scene3d.h"

#include "core/logger.h"
#include "render/gfx_cairo.h"
#include "ui/theme.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>

namespace scene3d {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2 * kPi;
constexpr double kMaxDt = 0.2;      // a longer frame gap counts as this much
constexpr int kFamilies = 72;       // 0..28 vector patterns, 29..71 raster kinds 0..42
constexpr int kFirstRaster = 29;
constexpr int kFirstShader = 49;    // raster kinds 20..42 exist only as GPU shaders
constexpr size_t kSegRoom = 12000;

// ---------------------------------------------------------------------------------------------
// 1. State and random numbers

struct P3 {
    float v[3] = {};
};

// A vector pattern: points in a box of about -1..1, each joined to the one before it where `pen`
// is set; turned, bent and coloured every frame.
struct Pattern {
    std::vector<P3> pts;
    std::vector<uint8_t> pen;
    bool dots = false;    // points drawn as dots, not joined
    bool flat = false;    // a plane figure: it turns in its plane and only tilts a little
    bool chords = false;  // the multiplication circle, drawn from its numbers
    int32_t modulus = 0;
    float mult = 2;
    float spin = 0, spin_speed = 0.2f, phase = 0, breathe = 1, wave = 0;
    float tilt = 0;       // extra pitch towards the viewer, for figures built around a vertical axis
};

struct Program {
    int32_t family = 0;
    bool raster = false;
    bool has_pattern = false;
    int32_t kind = 0;
    int32_t tag = 0;
    uint32_t palette[256] = {};
    double p[8] = {};             // the kind's own random parameters
    float variant = 0, follow = 0, figure = 0;
    double interval = 0.1;        // seconds between raster jobs
    int32_t width = 320;          // job width in pixels
    double next_job = 0;
    double depth = 0, max_depth = 0;
    int32_t zoom_dir = -1;        // +1 zooming in, -1 zooming out
    double scale = 1.6;
    double cx = 0, cy = 0, tx = 0, ty = 0;
    double job_cx = 0, job_cy = 0; // centre of the last escape-time job
    bool job_out = false;          // the last escape-time job was made while zooming out
    double clock[2] = {};
    std::shared_ptr<const raster::Image> image, prev_image;
    double image_at = 0;
    double first_image_at = -1;   // arrival of the program's first picture
    int64_t image_serial = 0;
    int64_t wall_key = -1;
    std::shared_ptr<Program> back; // background raster program of a pattern program
    Pattern pat;
    std::string label;
};

struct LightRig {
    int32_t style = 0;
    bool fan = false, spots = false, head = false;
    int32_t beams = 6, spot_count = 2;
    double phase = 0, speed = 0.1, width = 0.2;
    uint32_t palette[256] = {};
};

struct LaserFog {
    bool disco = false;
    int32_t disco_style = 0, disco_spots = 10;
    uint32_t disco_col[2] = {}, disco_laser = 0;
    bool lasers = false;
    int32_t laser_style = 0, laser_beams = 3;
    uint32_t laser_col[3] = {};
    bool fog = false;
    double fog_density = 0.5, fog_speed[2] = {}, fog_off[3] = {};
    uint32_t fog_col = 0;
};

struct Spark {
    float x = 0, y = 0, age = 0, life = 0;
    uint32_t color = 0;
};

struct Puff {
    float x = 0, y = 0, vx = 0, vy = 0, size = 0, age = 0;
};

constexpr int kMaxPuffs = 60;
constexpr int kMaxSparks = 64;

struct Env {
    int32_t pattern = -1;          // forced family, -1 unset
    double pattern_seconds = 0;    // fixed program lifetime, 0 unset
    bool beatlog = false;
    int32_t meter_mode = -1;
    double meter_spin = 0;
    bool spray = false, strobe = false;
    int32_t disco = -1, laser = -1;
};

// Everything the director remembers between frames. One value, so that reset() can start over.
struct State {
    std::mt19937 rng;
    bool seeded = false;
    Env env;
    bool env_read = false;

    // programs
    std::shared_ptr<Program> cur, prev;
    double fade_start = 0, fade_len = 3, next_at = 0, switch_at = 0;
    bool force_next = false;
    int64_t beats = 0, beats_at_switch = 0;
    int32_t history[8] = {};
    int history_n = 0;
    int32_t tag = 0;
    std::string label;
    int64_t label_serial = 0;
    int64_t switches = 0;
    float fade_w = 1;

    // switches
    bool gpu_fractals = false, gpu_3d = false, gpu_post = false, gpu_echo = false;
    bool light_load = false, gentle = false;

    // time and signals
    bool first = true;
    double last_t = 0;
    float detail = 1;
    float pk[4] = {0.2f, 0.2f, 0.2f, 0.2f}, fl[4] = {};
    float snd[6] = {};
    float sm[3] = {};
    float bass_avg = 0;
    float since_kick = 1;
    double since_hit = 0;
    double quiet_for = 0, loud_for = 0;
    float overall = 0;               // mean of all bars, before the auto-gain
    bool drop = false, hit = false, drum = false, clap = false;
    bool counters_seen = false;
    int32_t last_beat = 0, last_kick = 0, last_clap = 0;
    double at = 0;
    float beat_len = 0.5f;
    int64_t hits_total = 0;
    // beat log
    double log_time = 0;
    int32_t log_hits = 0, log_drums = 0, log_claps = 0;

    // camera
    float yaw = 0.5f, pitch = 0.22f, zoom = 1, vel = 0;
    bool grabbed = false;

    // element choices made at every program start
    LightRig light;
    LaserFog lf;
    int32_t overlay = 0;
    int32_t plasma_scheme = 0;
    bool overlay_forced = false;
    double disco_env = 0;

    // raster
    int64_t raster_jobs = 0;
    RasterHooks hooks;

    // post effects
    int32_t post_fx = -1, post_follow = -1;
    bool post_on = false;
    bool post_forced = false;
    double post_timer = 0, post_len = 1;
    float post_env = 0;
    float drops[4][4] = {};
    int drop_slot = 0;

    // echo
    int32_t echo_mode = 0, echo_last_pos = 0;
    float echo_dir = 1;
    bool echo_phase_on = true;
    double echo_timer = 0;
    float echo_env = 0;

    // meter
    float meter_size = 1;
    bool blitz = false;
    int32_t mode = 0, last_mode = 0;
    double mode_left = 20;
    double mode_late = 0;         // time waited for a hit after mode_left ran out
    int32_t spot = 0;
    float drift_fx = 0.1f, drift_fy = 0.08f, drift_ph = 0;
    float mode_size = 1;
    float flight_dir = 0;
    int32_t flight_phase = 0;
    double flight_t = 0, flight_hold = 0;
    int32_t hop_hits = 0;
    float off_x = 0, off_y = 0;   // logical units from the scene centre
    float size = 1;
    float wobble = 0, wobble_ph = 0;
    float alpha = 1, bare = 0;
    float flash = 0;

    // spray and puffs
    double spray_next = 25, spray_left = 0;
    Puff puffs[kMaxPuffs];
    int32_t puff_n = 0;

    // episodes
    double next_in = 10;
    int32_t ep_kind = 0, ep_last = 0, ep_steps = 0, morph_to = 0;
    double ep_t = 0, ep_len = 1, ep_since_step = 0;
    float ep_dir = 1;
    float spin = 0, spin_target = 0;

    // flashes
    Spark sparks[kMaxSparks];
    int32_t spark_n = 0;
    double phase_left = 20;
    bool strobe_on = false;
    float white = 0;

    // live signals raised by the raster layer while it draws
    bool bend_live = false, corner_live = false, drift_live = false, object_live = false,
         shrink_live = false, bend_follow = false;
    int32_t corner = 0;
    float bend[2] = {};

    // elements
    float presence = 0; // 0 in lasting silence, 1 while music plays: the stage rests in the dark
    float disco_flash = 0;
    float laser_burst = 0, sweep = 0, sweep_dir = 1, sweep_off = 0;
    int32_t figure_model = -1;
};

State g;

std::mt19937& rng() {
    if (!g.seeded) {
        g.rng.seed(static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
        g.seeded = true;
    }
    return g.rng;
}


// A float uniform in [0, 1), 24 bits.
float U() { return static_cast<float>(rng()() >> 8) * (1.0f / 16777216.0f); }

// An integer uniform in a..b inclusive.
int irand(int a, int b) {
    if (b <= a) return a;
    return std::uniform_int_distribution<int>(a, b)(rng());
}

float clampf(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }
double clampd(double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); }
float smoothstep(float x) {
    x = clampf(x, 0, 1);
    return x * x * (3 - 2 * x);
}
// Following a target with rate r.
void follow(float& x, float target, float r) { x += (target - x) * r; }

// ---------------------------------------------------------------------------------------------
// 2. Environment overrides. Empty values count as unset; values are clamped to their ranges.

bool env_double(const char* name, double* out) {
    const char* v = std::getenv(name);
    if (!v || !*v) return false;
    char* end = nullptr;
    const double d = std::strtod(v, &end);
    if (end == v || !std::isfinite(d)) return false;
    *out = d;
    return true;
}

bool env_int(const char* name, int32_t lo, int32_t hi, int32_t* out) {
    double d = 0;
    if (!env_double(name, &d)) return false;
    *out = static_cast<int32_t>(clampd(std::trunc(d), lo, hi));
    return true;
}

bool env_set(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

// The overrides read once per process (per reset()).
const Env& env() {
    if (!g.env_read) {
        Env e;
        env_int("LUMA2_PATTERN", 0, kFamilies - 1, &e.pattern);
        double s = 0;
        if (env_double("LUMA2_PATTERN_SECONDS", &s)) e.pattern_seconds = std::max(1.0, s);
        e.beatlog = env_set("LUMA2_BEATLOG");
        env_int("LUMA2_METER_MODE", 0, 6, &e.meter_mode);
        if (env_double("LUMA2_METER_SPIN", &e.meter_spin)) e.meter_spin = clampd(e.meter_spin, 0, 100);
        e.spray = env_set("LUMA2_SPRAY");
        e.strobe = env_set("LUMA2_STROBE");
        env_int("LUMA2_DISCO", 0, 1000, &e.disco);
        env_int("LUMA2_LASER", 0, 11, &e.laser);
        g.env = e;
        g.figure_model = -1;
        env_int("LUMA2_FIGURE_MODEL", 0, 7, &g.figure_model);
        g.env_read = true;
        if (e.meter_spin > 0) g.next_in = std::min(g.next_in, 2.5); // the episode test comes soon

    }
    return g.env;
}

int32_t forced_family() { return env().pattern; }

double interval_s() {
    if (env().pattern_seconds > 0) return env().pattern_seconds;
    return 16 + 8 * U();
}

// ---------------------------------------------------------------------------------------------
// 3. Palettes, captions and programs

uint32_t pack(double r, double gr, double b) {
    auto c = [](double v) { return static_cast<uint32_t>(clampd(std::round(v), 0, 255)); };
    return 0xFF000000u | (c(r) << 16) | (c(gr) << 8) | c(b);
}

// Cosine palette sets a, b, c, d per channel: tuning data.
const double kCosSets[8][4][3] = {
    {{0.5, 0.5, 0.5}, {0.5, 0.5, 0.5}, {1.0, 1.0, 1.0}, {0.00, 0.33, 0.67}},
    {{0.5, 0.5, 0.5}, {0.5, 0.5, 0.5}, {1.0, 1.0, 0.5}, {0.80, 0.90, 0.30}},
    {{0.5, 0.4, 0.5}, {0.5, 0.4, 0.5}, {1.0, 1.0, 1.0}, {0.30, 0.20, 0.20}},
    {{0.45, 0.5, 0.55}, {0.45, 0.5, 0.45}, {2.0, 1.0, 1.0}, {0.50, 0.20, 0.25}},
    {{0.5, 0.5, 0.5}, {0.5, 0.5, 0.5}, {1.0, 0.7, 0.4}, {0.00, 0.15, 0.20}},
    {{0.6, 0.4, 0.7}, {0.4, 0.4, 0.3}, {1.0, 1.0, 1.0}, {0.10, 0.40, 0.70}},
    {{0.5, 0.5, 0.5}, {0.5, 0.5, 0.5}, {2.0, 1.0, 0.0}, {0.50, 0.20, 0.25}},
    {{0.55, 0.45, 0.5}, {0.45, 0.45, 0.5}, {1.0, 1.0, 2.0}, {0.00, 0.10, 0.60}},
};

void random_palette(uint32_t* pal) {
    if (irand(0, 8) == 8) {
        for (int i = 0; i < 256; ++i) {
            const float x = i < 128 ? 2.0f * i / 255.0f : 2.0f - 2.0f * i / 255.0f;
            pal[i] = theme::bar_color(x) | 0xFF000000u;
        }
        return;
    }
    const auto& set = kCosSets[irand(0, 7)];
    const double shift = -0.12 + 0.24 * U();
    const double scale = 0.7 + 0.7 * U();
    for (int i = 0; i < 256; ++i) {
        double ch[3];
        for (int k = 0; k < 3; ++k)
            ch[k] = set[0][k] + set[1][k] * std::cos(kTwoPi * (set[2][k] * scale * i / 256.0 + set[3][k] + shift));
        const double lo = 0.55 * std::min({ch[0], ch[1], ch[2]});
        for (double& c : ch) c -= lo;
        const double hi = std::max({ch[0], ch[1], ch[2]});
        const double gain = hi < 0.05 ? 16.0 : (hi < 0.8 ? 0.8 / hi : 1.0);
        pal[i] = pack(255 * clampd(ch[0] * gain, 0, 1), 255 * clampd(ch[1] * gain, 0, 1), 255 * clampd(ch[2] * gain, 0, 1));
    }
}

// Gradient palettes: (position, colour) stops, interpolated per channel. Tuning data.
struct Stop {
    double at;
    uint32_t c;
};
const Stop kGrad0[] = {{0, 0x000764}, {0.16, 0x206BCB}, {0.42, 0xEDFFFF}, {0.64, 0xFFAA00}, {0.86, 0x000200}, {1, 0x000764}};
const Stop kGrad1[] = {{0, 0x100020}, {0.3, 0x8000A0}, {0.55, 0xFF4080}, {0.8, 0xFFE0A0}, {1, 0x100020}};
const Stop kGrad2[] = {{0, 0x001010}, {0.35, 0x00A090}, {0.6, 0xE0FF80}, {0.85, 0x206040}, {1, 0x001010}};
const Stop kGrad3[] = {{0, 0x200000}, {0.3, 0xC02000}, {0.55, 0xFFC040}, {0.75, 0xFFFFE0}, {1, 0x200000}};
struct Gradient {
    const Stop* stops;
    int n;
};
const Gradient kGradients[4] = {{kGrad0, 6}, {kGrad1, 5}, {kGrad2, 5}, {kGrad3, 5}};

void gradient_palette(int which, uint32_t* pal) {
    const Gradient& gr = kGradients[which];
    for (int i = 0; i < 256; ++i) {
        const double x = i / 255.0;
        int k = 0;
        while (k + 2 < gr.n && gr.stops[k + 1].at < x) ++k;
        const Stop& a = gr.stops[k];
        const Stop& b = gr.stops[k + 1];
        const double f = clampd((x - a.at) / std::max(1e-9, b.at - a.at), 0, 1);
        auto ch = [&](int sh) {
            const double ca = (a.c >> sh) & 0xFF, cb = (b.c >> sh) & 0xFF;
            return ca + (cb - ca) * f;
        };
        pal[i] = pack(ch(16), ch(8), ch(0));
    }
}

// The caption of each raster kind.
const char* const kRasterCaption[43] = {
    "zₙ₊₁ = zₙ² + c",
    "zₙ₊₁ = zₙ² + c,  c = 0.7885·e^(iφ)",
    "zₙ₊₁ = (|Re zₙ| + i·|Im zₙ|)² + c",
    "zₙ₊₁ = zₙ − (zₙ³ − 1) / 3zₙ²",
    "sin x + sin 1.3y + sin 0.7(x+y) + sin 1.6√(x²+y²)",
    "cos(nπx)·cos(mπy) − cos(mπx)·cos(nπy) = 0",
    "xₙ₊₁ = sin(a·yₙ) + c·cos(a·xₙ),  yₙ₊₁ = sin(b·xₙ) + d·cos(b·yₙ)",
    "xₙ₊₁ = sin(a·yₙ) − cos(b·xₙ),  yₙ₊₁ = sin(c·xₙ) − cos(d·yₙ)",
    "(x, y) ↦ (0.85x + 0.04y, −0.04x + 0.85y + 1.6)  p = 0.85",
    "Pₙ₊₁ = Pₙ + r·(Vₖ − Pₙ)",
    "rₙ = c·√n,  θₙ = n·137.508°",
    "n̂ = (b − a) × (c − a),  I = n̂·l̂",
    "sin(k·(y + Σ aᵢ·sin(bᵢx + ωᵢt)))",
    "|u − ⌊u⌋ − ½| + |v − ⌊v⌋ − ½| ≤ ½",
    "m = (x − y) mod 4",
    "sin(n·(θ + s·r + ωt) / 2)",
    "(u, v) = (ln r, θ)",
    "(u, v) = (k/r + vt, θ/2π),  zₙ₊₁ = zₙ² + c",
    "F(p) = Σ vⱼ·Vⱼ(aᵢx + bᵢy + cᵢ, dᵢx + eᵢy + fᵢ)",
    "f = d·ln r + 1.6·sin(nθ + k·ln r − ωt)",
    "(r, θ, φ) ↦ (rⁿ, nθ, nφ) + c",
    "z ↦ s·B(F(z)) + c",
    "dim = log 20 / log 3 ≈ 2.727",
    "dim = log 4 / log 2 = 2",
    "Σ sin(kᵢ·x + ωᵢt)",
    "Σ ε / |sin(kᵢ·x)|",
    "r + ε·Σ sin(nθ + kr − ωt)",
    "z = k / |p − c(z)|",
    "z = k / |p − c(z)|,  cos¹⁴(2πv)",
    "Σ ε / |p − pᵢ(t)|²",
    "z = k / max(|x|, |y|)",
    "Σ ε / |p − pᵢ(t)|²",
    "Σ rᵢ² / |p − pᵢ|² ≥ 1",
    "f(p + f(p + f(p)))",
    "p ↦ R(α)·(|p| − c)",
    "min(dᵢ(Rᵢ·(p − pᵢ)))",
    "c(p) = k − [dₖ ≥ w]  (mod n)",
    "⌊n·θ/π⌋ mod 3",
    "s = frac(k·ln r + zig(nθ) − ωt)",
    "y′ = 2h − y + ε·sin(k/d + ωt)",
    "|ψ|² = (cos mθ · r·e^(−r/a))²",
    "v = −k·ln r + ωt",
    "x(n) = 3·⌊αc + β⌋, c = ⌊n/3⌋",
};

// The pattern families' captions until the pattern generator writes them with its numbers.
const char* const kPatternCaption[29] = {
    "z(t) = Σ aₖ·e^(ikt)",
    "r = cos(k·θ)",
    "r = φ^(2θ/π),  Fₙ = Fₙ₋₁ + Fₙ₋₂",
    "X → X+YF+,  Y → −FX−Y",
    "θ = π/2 + a·sin(ωt + δ),  φ = Ωt",
    "x(t) = Σ Aᵢ·sin(fᵢt + φᵢ)·e^(−dt)",
    "z(t) = (R−r)·e^(it) + d·e^(−i(R−r)t/r)",
    "φ = k·artanh(sin λ)",
    "r(θ,φ) = 1 + a·Yₗᵐ(θ,φ)",
    "Lₙ₊₁ = r·Lₙ,  θₙ₊₁ = θₙ ± α",
    "r = cos(k·φ)",
    "(cos(at + φ), cos(bt + ψ), cos ct)",
    "x + iz = (R + r·cos qt)·e^(ipt)",
    "⟨n̂ₖ, x⟩ = 0,  k = 1…n",
    "S¹ ↪ S³ → S²",
    "k ↦ m·k (mod n)",
    "r = sin(nθ),  θₖ = k·d°",
    "rₙ = c·√n,  θₙ = n·137.508°",
    "r(φ) = (|cos mφ/4|^n₂ + |sin mφ/4|^n₃)^(−1/n₁)",
    "{3,5},  ν = n",
    "ẋ = −y − z,  ẏ = x + ay,  ż = b + z(x − c)",
    "ż = c + az − z³/3 − (x² + y²)(1 + ez) + fzx³",
    "ẋ = σ(y − x),  ẏ = x(ρ − z) − y,  ż = xy − βz",
    "ẋ = sin y − bx,  ẏ = sin z − by,  ż = sin x − bz",
    "ẋ = −ax − 4y − 4z − y²  (x→y→z→x)",
    "φₙ = n·137.508°,  yₙ = 1 − 2n/N",
    "G = (V, E),  T ⊂ E,  |T| = |V| − 1",
    "z(t) = Σ aₖ·e^(−ikt)",
    "x(t) = Σ Aᵢ·sin(fᵢt + φᵢ)",
};

// Points of interest of the Mandelbrot set: tuning data.
const double kPoi[10][2] = {
    {-0.743643887, 0.131825904}, {-0.7453, 0.1127},   {-0.16070135, 1.0375665}, {-1.25066, 0.02012},
    {-0.748, 0.1},               {0.001643721971153, -0.822467633298876},       {-1.768778833, -0.001738996},
    {0.285, 0.0116},             {-0.0452407411, 0.9868162204},                 {-1.7499, 0.0},
};

// Attractor coefficient sets (Clifford and de Jong): tuning data.
const double kAttractors[8][4] = {
    {1.7, 1.7, 0.6, 1.2},  {-1.4, 1.6, 1.0, 0.7},  {-1.7, 1.3, -0.1, -1.2}, {1.5, -1.8, 1.6, 0.9},
    {-2.24, 0.43, -0.65, -2.43}, {2.01, -2.53, 1.61, -0.33}, {-2.7, -0.09, -0.86, -2.2}, {-0.827, -1.637, 1.659, -0.943},
};

bool is_shader_family(int f) { return f >= kFirstShader && f < kFamilies; }
bool shaders_eligible() { return g.gpu_3d && !g.light_load; }

void make_raster(Program& pr, int kind, float detail) {
    const bool hi = detail >= 1;
    auto width = [&](int lo_w, int hi_w) { pr.width = hi ? hi_w : lo_w; };
    random_palette(pr.palette);
    if ((kind == 0 || kind == 1 || kind == 2 || kind == 18) && U() < 0.7f) gradient_palette(irand(0, 3), pr.palette);
    pr.label = kRasterCaption[kind];
    double* p = pr.p;
    switch (kind) {
    case 0: {
        const auto& poi = kPoi[irand(0, 9)];
        pr.cx = pr.tx = poi[0];
        pr.cy = pr.ty = poi[1];
        pr.scale = 1.6;
        pr.max_depth = g.gpu_fractals ? 6.5 + 1.7 * U() : 8 + 6 * U();
        pr.depth = 2.5 + 1.5 * U();
        pr.interval = 0.16;
        width(220, 360);
        break;
    }
    case 1:
        p[0] = kTwoPi * U();
        if (U() < 0.5f) p[1] = irand(1, 7);
        pr.interval = 0.24;
        width(240, 480);
        break;
    case 2:
        pr.cx = pr.tx = -1.7621 + 0.004 * U() - 0.002;
        pr.cy = pr.ty = -0.0284;
        pr.scale = 0.09;
        pr.max_depth = g.gpu_fractals ? 2.5 + 1.5 * U() : 4 + 3 * U();
        pr.depth = 1.2;
        pr.interval = 0.2;
        width(220, 320);
        break;
    case 4: pr.interval = 0.08; width(128, 192); break;
    case 5:
        p[0] = irand(1, 5), p[1] = irand(2, 7);
        pr.interval = 0.1;
        width(160, 256);
        break;
    case 6:
    case 7: {
        const auto& c = kAttractors[irand(0, 7)];
        for (int k = 0; k < 4; ++k) p[k] = c[k];
        pr.interval = 1.4;
        width(320, 640);
        break;
    }
    case 8: pr.interval = 0.9; width(300, 560); break;
    case 9:
        p[0] = irand(3, 7), p[1] = 0.45 + 0.17 * U();
        pr.interval = 0.9;
        width(320, 640);
        break;
    case 10: pr.interval = 0.2; width(320, 560); break;
    case 11: pr.interval = 0.16; width(300, 520); break;
    case 12: p[0] = irand(0, 1), pr.interval = 0.07; width(200, 320); break;
    case 13: p[0] = irand(5, 10), p[1] = 2 * irand(3, 6), pr.interval = 0.15; width(200, 320); break;
    case 3: pr.interval = 0.15; width(200, 320); break;
    case 14: pr.interval = 0.08; width(200, 320); break;
    case 15: p[0] = irand(14, 40), p[1] = irand(0, 1), pr.interval = 0.06; width(180, 256); break;
    case 16: p[0] = irand(20, 48), p[1] = 1.5 + 4.5 * U(), pr.interval = 0.07; width(200, 320); break;
    case 17:
        p[0] = U() < 0.5f ? irand(0, 9) : 6; // palette shift
        p[1] = irand(1, 1000000);            // seed
        p[2] = -3 + 6 * U();                 // twist
        p[3] = irand(0, 4), p[4] = irand(5, 8);
        pr.interval = 0.033;
        width(200, 320);
        break;
    case 18: p[0] = irand(1, 1000000), pr.interval = 0.7; width(240, 480); break;
    case 19: {
        p[0] = irand(6, 14);
        const double mag = 2 + 4 * U();
        p[1] = irand(0, 1) ? mag : -mag;
        p[2] = 18 + 22 * U();
        pr.interval = 0.12;
        width(200, 340);
        break;
    }
    default: { // shader kinds 20..42
        for (int k = 0; k < 4; ++k) p[k] = U();
        double v = 0;
        if (env_double("LUMA2_VARIANT", &v)) pr.variant = static_cast<float>(clampd(v, 0, 1));
        if (env_double("LUMA2_FOLLOW", &v)) pr.follow = v != 0 ? 1.0f : 0.0f;
        if (env_double("LUMA2_FIGURE", &v)) pr.figure = static_cast<float>(clampd(v, 0, 1));
        break;
    }
    }
}

// ---------------------------------------------------------------------------------------------
// 3b. Pattern generators: the vector figures of families 0..28 with their captions. Each builds
// its points once, at the program's start, in a box of about -1..1; shape() and draw_pattern()
// turn, breathe and colour them every frame.

const char* const kSup[10] = {"⁰", "¹", "²", "³", "⁴", "⁵", "⁶", "⁷", "⁸", "⁹"};
const char* const kSub[10] = {"₀", "₁", "₂", "₃", "₄", "₅", "₆", "₇", "₈", "₉"};

std::string num(double v, int decimals) {
    char b[48];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

// A non-negative integer in superscript or subscript digits.
std::string digits(int v, bool sup) {
    const std::string plain = std::to_string(std::max(0, v));
    std::string out;
    for (char c : plain) out += (sup ? kSup : kSub)[c - '0'];
    return out;
}

struct PatternMaker {
    Pattern& p;
    void move(float x, float y, float z) { add(x, y, z, false); }
    void line(float x, float y, float z) { add(x, y, z, true); }
    void add(float x, float y, float z, bool pen) {
        p.pts.push_back({x, y, z});
        p.pen.push_back(pen ? 1 : 0);
    }
    // A closed or open curve of n + 1 points from f(s), s in 0..1.
    template <typename F> void curve(int n, F f) {
        for (int i = 0; i <= n; ++i) {
            float x = 0, y = 0, z = 0;
            f(float(i) / float(n), x, y, z);
            add(x, y, z, i > 0);
        }
    }
};

// Scales the points into the unit ball around their centre.
void normalise(Pattern& p) {
    if (p.pts.empty()) return;
    float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
    for (const P3& q : p.pts)
        for (int k = 0; k < 3; ++k) lo[k] = std::min(lo[k], q.v[k]), hi[k] = std::max(hi[k], q.v[k]);
    float c[3], r = 1e-6f;
    for (int k = 0; k < 3; ++k) c[k] = (lo[k] + hi[k]) / 2;
    for (const P3& q : p.pts)
        r = std::max(r, std::sqrt((q.v[0] - c[0]) * (q.v[0] - c[0]) + (q.v[1] - c[1]) * (q.v[1] - c[1]) +
                                  (q.v[2] - c[2]) * (q.v[2] - c[2])));
    for (P3& q : p.pts)
        for (int k = 0; k < 3; ++k) q.v[k] = (q.v[k] - c[k]) / r;
}

// Integrates a flow with small Euler steps after a run-in, keeping every `every`-th point.
template <typename F>
void attractor(PatternMaker& m, float x, float y, float z, float h, int steps, F f, int every = 2) {
    for (int i = 0; i < 600 + every * steps; ++i) {
        float dx = 0, dy = 0, dz = 0;
        f(x, y, z, dx, dy, dz);
        x += h * dx, y += h * dy, z += h * dz;
        if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) x = y = z = 0.1f;
        if (i >= 600 && i % every == 0) m.add(x, y, z, i > 600);
    }
}

void make_pattern(Program& pr, int family, float detail) {
    Pattern& p = pr.pat;
    p = Pattern{};
    p.pts.reserve(2400);
    p.pen.reserve(2400);
    PatternMaker m{p};
    const int n = detail < 1 ? 500 : 1000; // points along a curve
    constexpr float tau = float(kTwoPi);
    std::string cap;
    switch (family) {
    case 0:
    case 27: { // epicycles
        const float b = 0.3f + 0.35f * U();
        const int pf = irand(2, 9), q = irand(1, 4);
        if (family == 0) {
            m.curve(2 * n, [&](float s, float& x, float& y, float& z) {
                const float t = s * tau * float(q);
                x = std::cos(t) + b * std::cos(-float(pf) * t / float(q));
                y = std::sin(t) + b * std::sin(-float(pf) * t / float(q));
                z = 0.25f * std::sin(3 * t);
            });
            cap = "z(t) = e^(it) + " + num(b, 2) + "·e^(−" + std::to_string(pf) + "it/" + std::to_string(q) + ")";
        } else {
            const int k1 = irand(2, 5), k2 = irand(6, 11);
            const float a1 = 0.5f * U() + 0.3f, a2 = 0.25f * U() + 0.1f;
            m.curve(2 * n, [&](float s, float& x, float& y, float& z) {
                const float t = s * tau;
                x = std::cos(t) + a1 * std::cos(-float(k1) * t) + a2 * std::cos(-float(k2) * t);
                y = std::sin(t) + a1 * std::sin(-float(k1) * t) + a2 * std::sin(-float(k2) * t);
                z = 0.2f * std::cos(float(k1) * t);
            });
            cap = "z(t) = e^(it) + " + num(a1, 2) + "·e^(−" + std::to_string(k1) + "it) + " + num(a2, 2) + "·e^(−" +
                  std::to_string(k2) + "it)";
        }
        p.flat = true;
        break;
    }
    case 1: { // rose
        const int a = irand(2, 9), d = irand(1, 5);
        const float k = float(a) / float(d);
        m.curve(2 * n, [&](float s, float& x, float& y, float& z) {
            const float t = s * tau * float(d);
            const float r = std::cos(k * t);
            x = r * std::cos(t), y = r * std::sin(t), z = 0.15f * std::sin(2 * k * t);
        });
        cap = "r = cos(k·θ),  k = " + std::to_string(a) + "/" + std::to_string(d);
        p.flat = true;
        break;
    }
    case 2: { // golden spiral with the squares of the Fibonacci numbers
        // three arms, like a galaxy, so that the figure fills its place
        const float phi = 1.6180339f;
        for (int arm = 0; arm < 3; ++arm)
            m.curve(n / 3, [&](float s, float& x, float& y, float& z) {
                const float t = -tau / 2 + s * 1.6f * tau;
                const float r = std::pow(phi, 2 * t / float(kPi)) * 0.02f, a = t + tau * float(arm) / 3;
                x = r * std::cos(a), y = r * std::sin(a), z = 0;
            });
        p.flat = true;
        cap = "r = φ^(2θ/π),  Fₙ = Fₙ₋₁ + Fₙ₋₂";
        break;
    }
    case 3: { // dragon curve
        const int order = detail < 1 ? 10 : 11;
        std::string path = "FX";
        for (int i = 0; i < order; ++i) {
            std::string next;
            for (char c : path) {
                if (c == 'X') next += "X+YF+";
                else if (c == 'Y') next += "-FX-Y";
                else next += c;
            }
            path.swap(next);
        }
        float x = 0, y = 0;
        int dir = 0;
        m.move(0, 0, 0);
        for (char c : path) {
            if (c == '+') dir = (dir + 1) & 3;
            else if (c == '-') dir = (dir + 3) & 3;
            else if (c == 'F') {
                x += dir == 0 ? 1 : dir == 2 ? -1 : 0;
                y += dir == 1 ? 1 : dir == 3 ? -1 : 0;
                m.line(x, y, 0);
            }
        }
        p.flat = true;
        cap = "X → X+YF+,  Y → −FX−Y";
        break;
    }
    case 4: { // spherical pendulum
        const float a = 0.5f + 0.6f * U(), w = 3 + 4 * U(), big = 0.6f + 0.8f * U();
        m.curve(2 * n, [&](float s, float& x, float& y, float& z) {
            const float t = s * 12 * tau / w * 3;
            const float th = float(kPi) / 2 + a * std::sin(w * t + 0.7f), ph = big * t;
            x = std::sin(th) * std::cos(ph), y = std::cos(th), z = std::sin(th) * std::sin(ph);
        });
        cap = "θ = π/2 + " + num(a, 2) + "·sin(" + num(w, 1) + "t + δ),  φ = " + num(big, 2) + "t";
        break;
    }
    case 5:
    case 28: { // harmonographs
        float A[3], f[3], ph[3];
        for (int k = 0; k < 3; ++k) A[k] = 0.6f + 0.4f * U(), f[k] = float(irand(2, 6)) + 0.02f * (U() - 0.5f), ph[k] = tau * U();
        const float damp = family == 5 ? 0.02f + 0.03f * U() : 0;
        m.curve(2 * n, [&](float s, float& x, float& y, float& z) {
            const float t = s * 40;
            const float e = std::exp(-damp * t);
            x = A[0] * std::sin(f[0] * t + ph[0]) * e;
            y = A[1] * std::sin(f[1] * t + ph[1]) * e;
            z = A[2] * std::sin(f[2] * t + ph[2]) * e;
        });
        cap = family == 5 ? "x(t) = Σ Aᵢ·sin(fᵢt + φᵢ)·e^(−dt)" : "x(t) = Σ Aᵢ·sin(fᵢt + φᵢ)";
        break;
    }
    case 6: { // hypotrochoid
        const int R = irand(5, 11), r = irand(2, R - 1);
        const float d = float(r) * (0.5f + U());
        const int turns = r / std::gcd(R, r);
        m.curve(2 * n, [&](float s, float& x, float& y, float& z) {
            const float t = s * tau * float(turns);
            x = float(R - r) * std::cos(t) + d * std::cos(float(R - r) * t / float(r));
            y = float(R - r) * std::sin(t) - d * std::sin(float(R - r) * t / float(r));
            z = 0;
        });
        p.flat = true;
        cap = "z(t) = (R−r)·e^(it) + d·e^(−i(R−r)t/r),  R = " + std::to_string(R) + ", r = " + std::to_string(r);
        break;
    }
    case 7: { // loxodromes
        const float k = 1.5f + 2.5f * U();
        const int arms = irand(2, 4);
        for (int a = 0; a < arms; ++a)
            m.curve(n / arms, [&](float s, float& x, float& y, float& z) {
                const float lat = -1.45f + 2.9f * s;
                const float lon = k * std::atanh(std::sin(lat)) + tau * float(a) / float(arms);
                x = std::cos(lat) * std::cos(lon), y = std::sin(lat), z = std::cos(lat) * std::sin(lon);
            });
        cap = "φ = " + num(k, 2) + "·artanh(sin λ)";
        break;
    }
    case 8: { // spherical harmonic as a wire globe
        const int l = irand(2, 6), mm = irand(1, l);
        const float a = 0.35f + 0.3f * U();
        auto r_of = [&](float th, float ph) {
            return 1 + a * std::pow(std::sin(th), float(mm)) * std::cos(float(mm) * ph) * std::cos(float(l - mm) * th);
        };
        const int rings = 9, seg = detail < 1 ? 36 : 60;
        for (int i = 1; i < rings; ++i) {
            const float th = float(kPi) * float(i) / rings;
            m.curve(seg, [&](float s, float& x, float& y, float& z) {
                const float ph = s * tau, r = r_of(th, ph);
                x = r * std::sin(th) * std::cos(ph), y = r * std::cos(th), z = r * std::sin(th) * std::sin(ph);
            });
        }
        for (int j = 0; j < 12; ++j) {
            const float ph = tau * float(j) / 12;
            m.curve(seg / 2, [&](float s, float& x, float& y, float& z) {
                const float th = s * float(kPi), r = r_of(th, ph);
                x = r * std::sin(th) * std::cos(ph), y = r * std::cos(th), z = r * std::sin(th) * std::sin(ph);
            });
        }
        cap = "r(θ,φ) = 1 + " + num(a, 2) + "·Y" + digits(l, false) + digits(mm, true) + "(θ,φ)";
        break;
    }
    case 9: { // branching tree in three dimensions
        const float ratio = 0.62f + 0.12f * U(), alpha = 0.35f + 0.35f * U();
        const int depth = detail < 1 ? 8 : 9;
        struct Br {
            float x, y, z, dx, dy, dz, len;
            int d;
        };
        std::vector<Br> stack{{0, -1, 0, 0, 1, 0, 0.55f, 0}};
        while (!stack.empty()) {
            const Br b = stack.back();
            stack.pop_back();
            const float ex = b.x + b.dx * b.len, ey = b.y + b.dy * b.len, ez = b.z + b.dz * b.len;
            m.move(b.x, b.y, b.z);
            m.line(ex, ey, ez);
            if (b.d >= depth) continue;
            const float spin = float(b.d) * 2.4f;
            for (int k = 0; k < 2; ++k) {
                const float side = k ? alpha : -alpha;
                // turn the direction about an axis perpendicular to it
                const float ax = std::cos(spin), az = std::sin(spin);
                const float c = std::cos(side), s = std::sin(side);
                float nx = b.dx * c + (az * b.dy) * s, ny = b.dy * c + (-az * b.dx + ax * b.dz) * s,
                      nz = b.dz * c + (-ax * b.dy) * s;
                const float l = std::sqrt(nx * nx + ny * ny + nz * nz) + 1e-6f;
                stack.push_back({ex, ey, ez, nx / l, ny / l, nz / l, b.len * ratio, b.d + 1});
            }
        }
        cap = "Lₙ₊₁ = " + num(ratio, 2) + "·Lₙ,  θₙ₊₁ = θₙ ± " + num(alpha * 180 / float(kPi), 0) + "°";
        break;
    }
    case 10: { // rose on a sphere
        const int k = irand(2, 7);
        m.curve(2 * n, [&](float s, float& x, float& y, float& z) {
            const float ph = s * tau * 2;
            const float r = std::cos(float(k) * ph);
            x = r * std::cos(ph), y = r * std::sin(ph), z = std::sqrt(std::max(0.0f, 1 - r * r)) * (s < 0.5f ? 1 : -1) * 0.8f;
        });
        cap = "r = cos(" + std::to_string(k) + "·φ)";
        break;
    }
    case 11: { // Lissajous in three dimensions
        const int a = irand(1, 5), b = irand(2, 6), c = irand(3, 7);
        m.curve(2 * n, [&](float s, float& x, float& y, float& z) {
            const float t = s * tau;
            x = std::cos(float(a) * t + 0.5f), y = std::cos(float(b) * t + 1.1f), z = std::cos(float(c) * t);
        });
        cap = "(cos(" + std::to_string(a) + "t + φ), cos(" + std::to_string(b) + "t + ψ), cos " + std::to_string(c) + "t)";
        break;
    }
    case 12: { // torus knot
        int pp = irand(2, 7), q = irand(3, 9);
        if (std::gcd(pp, q) != 1) q += 1;
        if (std::gcd(pp, q) != 1) pp = 2, q = 5;
        m.curve(2 * n, [&](float s, float& x, float& y, float& z) {
            const float t = s * tau;
            const float r = 1 + 0.45f * std::cos(float(q) * t);
            x = r * std::cos(float(pp) * t), z = r * std::sin(float(pp) * t), y = 0.45f * std::sin(float(q) * t);
        });
        cap = "x + iz = (R + r·cos " + std::to_string(q) + "t)·e^(" + std::to_string(pp) + "it)";
        break;
    }
    case 13: { // great circles of planes through the origin
        const int k = irand(5, 11);
        for (int i = 0; i < k; ++i) {
            const float a = tau * U(), b = std::acos(2 * U() - 1);
            const float nx = std::sin(b) * std::cos(a), ny = std::cos(b), nz = std::sin(b) * std::sin(a);
            // two unit vectors in the plane
            float ux = -ny, uy = nx, uz = 0;
            float l = std::sqrt(ux * ux + uy * uy);
            if (l < 1e-3f) ux = 1, uy = 0, l = 1;
            ux /= l, uy /= l;
            const float vx = ny * uz - nz * uy, vy = nz * ux - nx * uz, vz = nx * uy - ny * ux;
            m.curve(72, [&](float s, float& x, float& y, float& z) {
                const float t = s * tau;
                x = ux * std::cos(t) + vx * std::sin(t), y = uy * std::cos(t) + vy * std::sin(t), z = uz * std::cos(t) + vz * std::sin(t);
            });
        }
        cap = "⟨n̂ₖ, x⟩ = 0,  k = 1…" + std::to_string(k);
        break;
    }
    case 14: { // Hopf fibration: circles over points of three latitudes
        const int per = detail < 1 ? 8 : 12;
        for (int ring = 0; ring < 3; ++ring) {
            const float c = -0.6f + 0.6f * float(ring);
            for (int j = 0; j < per; ++j) {
                const float ph = tau * float(j) / float(per) + 0.3f * float(ring);
                const float s2 = std::sqrt(1 - c * c), a = s2 * std::cos(ph), b = s2 * std::sin(ph);
                const float k = 1 / std::sqrt(2 * (1 + c));
                m.curve(48, [&](float s, float& x, float& y, float& z) {
                    const float t = s * tau;
                    const float x1 = (1 + c) * std::cos(t) * k, x2 = (a * std::sin(t) - b * std::cos(t)) * k,
                                x3 = (a * std::cos(t) + b * std::sin(t)) * k, x4 = (1 + c) * std::sin(t) * k;
                    const float d = std::max(0.15f, 1 - x4);
                    x = x1 / d, y = x2 / d, z = x3 / d;
                });
            }
        }
        cap = "S¹ ↪ S³ → S²";
        break;
    }
    case 15: { // multiplication circle: drawn from its parameters every frame (see draw_pattern)
        p.modulus = irand(120, 240);
        p.mult = float(irand(2, 9));
        p.chords = true;
        for (int i = 0; i < p.modulus; ++i) {
            m.move(0, 0, 0);
            m.line(0, 0, 0);
        }
        p.flat = true;
        cap = "k ↦ " + std::to_string(int(p.mult)) + "·k (mod " + std::to_string(p.modulus) + ")";
        break;
    }
    case 16: { // Maurer rose
        const int nn = irand(2, 7), d = irand(29, 97);
        for (int k = 0; k <= 360; ++k) {
            const float th = float(k * d) * float(kPi) / 180;
            const float r = std::sin(float(nn) * th);
            m.add(r * std::cos(th), r * std::sin(th), 0, k > 0);
        }
        m.curve(360, [&](float s, float& x, float& y, float& z) {
            const float th = s * tau, r = std::sin(float(nn) * th);
            x = r * std::cos(th), y = r * std::sin(th), z = 0;
        });
        p.flat = true;
        cap = "r = sin(" + std::to_string(nn) + "θ),  θₖ = k·" + std::to_string(d) + "°";
        break;
    }
    case 17: { // sunflower
        const int count = detail < 1 ? 400 : 700;
        for (int i = 1; i <= count; ++i) {
            const float r = std::sqrt(float(i) / float(count)), th = float(i) * 137.508f * float(kPi) / 180;
            m.move(r * std::cos(th), r * std::sin(th), 0);
        }
        p.dots = true, p.flat = true;
        cap = "rₙ = c·√n,  θₙ = n·137.508°";
        break;
    }
    case 18: { // superformula
        const int mm = irand(3, 12);
        const float n1 = 0.3f + 1.5f * U(), n2 = 0.3f + 2.0f * U(), n3 = 0.3f + 2.0f * U();
        m.curve(n, [&](float s, float& x, float& y, float& z) {
            const float ph = s * tau;
            const float v = std::pow(std::fabs(std::cos(float(mm) * ph / 4)), n2) + std::pow(std::fabs(std::sin(float(mm) * ph / 4)), n3);
            const float r = std::min(3.0f, std::pow(std::max(1e-4f, v), -1 / n1));
            x = r * std::cos(ph), y = r * std::sin(ph), z = 0;
        });
        p.flat = true;
        cap = "r(φ) = (|cos " + std::to_string(mm) + "φ/4|^" + num(n2, 1) + " + |sin " + std::to_string(mm) + "φ/4|^" +
              num(n3, 1) + ")^(−1/" + num(n1, 1) + ")";
        break;
    }
    case 19: { // geodesic sphere: icosahedron faces split ν times, pushed onto the sphere
        const int nu = irand(2, detail < 1 ? 3 : 4);
        const float gr = 1.618034f;
        const float V[12][3] = {{-1, gr, 0}, {1, gr, 0}, {-1, -gr, 0}, {1, -gr, 0}, {0, -1, gr}, {0, 1, gr},
                                {0, -1, -gr}, {0, 1, -gr}, {gr, 0, -1}, {gr, 0, 1}, {-gr, 0, -1}, {-gr, 0, 1}};
        const int F[20][3] = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
                              {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
                              {3, 8, 9},  {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
        auto at = [&](const int* f, float a, float b, float* o) {
            const float c = 1 - a - b;
            float l = 0;
            for (int k = 0; k < 3; ++k) o[k] = V[f[0]][k] * c + V[f[1]][k] * a + V[f[2]][k] * b, l += o[k] * o[k];
            l = std::sqrt(l);
            for (int k = 0; k < 3; ++k) o[k] /= l;
        };
        for (const auto& f : F)
            for (int i = 0; i < nu; ++i)
                for (int j = 0; j < nu - i; ++j) {
                    float a[3], b[3], c[3];
                    at(f, float(i) / nu, float(j) / nu, a);
                    at(f, float(i + 1) / nu, float(j) / nu, b);
                    at(f, float(i) / nu, float(j + 1) / nu, c);
                    m.move(a[0], a[1], a[2]), m.line(b[0], b[1], b[2]), m.line(c[0], c[1], c[2]), m.line(a[0], a[1], a[2]);
                }
        cap = "{3,5},  ν = " + std::to_string(nu);
        break;
    }
    case 20: { // Rössler
        // A flat spiral band with one tall fold: laid horizontally with the fold upwards and its
        // height tamed, tilted towards the viewer, so that turning never shows it edge-on; a
        // longer run gives the band its many strands.
        const float a = 0.1f + 0.1f * U(), b = 0.1f + 0.1f * U(), c = 5.7f + 4 * U();
        attractor(m, 1, 1, 0, 0.02f, n * 3 / 2, [&](float x, float y, float z, float& dx, float& dy, float& dz) {
            dx = -y - z, dy = x + a * y, dz = b + z * (x - c);
        }, 3);
        for (P3& q : p.pts) q = {q.v[0], 2.6f * std::log1p(std::max(0.0f, q.v[2]) / 1.2f), q.v[1]};
        p.tilt = 0.5f;
        break;
    }
    case 21: { // Aizawa
        // A sphere wound round a vertical tube: its axis stands upright, tilted towards the
        // viewer so that the tube's mouth shows; a long run fills the sphere with strands.
        attractor(m, 0.1f, 0, 0, 0.01f, n * 2, [&](float x, float y, float z, float& dx, float& dy, float& dz) {
            const float a = 0.95f, b = 0.7f, c = 0.6f, d = 3.5f, e = 0.25f, f = 0.1f;
            dx = (z - b) * x - d * y, dy = d * x + (z - b) * y;
            dz = c + a * z - z * z * z / 3 - (x * x + y * y) * (1 + e * z) + f * z * x * x * x;
        }, 6);
        for (P3& q : p.pts) q = {q.v[0], q.v[2], q.v[1]};
        p.tilt = 0.35f;
        break;
    }
    case 22: { // Lorenz
        const float rho = 24 + 8 * U();
        attractor(m, 0.1f, 0, 0, 0.006f, n, [&](float x, float y, float z, float& dx, float& dy, float& dz) {
            dx = 10 * (y - x), dy = x * (rho - z) - y, dz = x * y - 8.0f / 3 * z;
        });
        break;
    }
    case 23: { // Thomas
        const float b = 0.17f + 0.04f * U();
        attractor(m, 0.1f, 0, 0, 0.08f, n, [&](float x, float y, float z, float& dx, float& dy, float& dz) {
            dx = std::sin(y) - b * x, dy = std::sin(z) - b * y, dz = std::sin(x) - b * z;
        });
        break;
    }
    case 24: { // Halvorsen
        const float a = 1.85f + 0.08f * U();
        attractor(m, -1.48f, -1.51f, 2.04f, 0.006f, n, [&](float x, float y, float z, float& dx, float& dy, float& dz) {
            dx = -a * x - 4 * y - 4 * z - y * y, dy = -a * y - 4 * z - 4 * x - z * z, dz = -a * z - 4 * x - 4 * y - x * x;
        });
        break;
    }
    case 25: { // Fibonacci sphere
        const int count = detail < 1 ? 300 : 500;
        for (int i = 0; i < count; ++i) {
            const float y = 1 - 2 * (float(i) + 0.5f) / float(count), r = std::sqrt(1 - y * y);
            const float th = float(i) * 137.508f * float(kPi) / 180;
            m.move(r * std::cos(th), y, r * std::sin(th));
        }
        p.dots = true;
        cap = "φₙ = n·137.508°,  yₙ = 1 − 2n/" + std::to_string(count);
        break;
    }
    default: { // 26: a spanning tree of random points, grown by Prim's rule
        const int count = detail < 1 ? 90 : 150;
        std::vector<P3> v(static_cast<size_t>(count));
        for (P3& q : v) {
            const float a = tau * U(), b = std::acos(2 * U() - 1), r = std::cbrt(U());
            q = {r * std::sin(b) * std::cos(a), r * std::cos(b), r * std::sin(b) * std::sin(a)};
        }
        std::vector<float> best(static_cast<size_t>(count), 1e30f);
        std::vector<int> from(static_cast<size_t>(count), 0);
        std::vector<char> in(static_cast<size_t>(count), 0);
        int cur = 0;
        for (int step = 0; step < count; ++step) {
            in[size_t(cur)] = 1;
            if (step > 0) {
                const P3& a = v[size_t(from[size_t(cur)])];
                const P3& b = v[size_t(cur)];
                m.move(a.v[0], a.v[1], a.v[2]);
                m.line(b.v[0], b.v[1], b.v[2]);
            }
            int next = -1;
            for (int j = 0; j < count; ++j) {
                if (in[size_t(j)]) continue;
                const P3& a = v[size_t(cur)];
                const P3& b = v[size_t(j)];
                const float d = (a.v[0] - b.v[0]) * (a.v[0] - b.v[0]) + (a.v[1] - b.v[1]) * (a.v[1] - b.v[1]) +
                                (a.v[2] - b.v[2]) * (a.v[2] - b.v[2]);
                if (d < best[size_t(j)]) best[size_t(j)] = d, from[size_t(j)] = cur;
                if (next < 0 || best[size_t(j)] < best[size_t(next)]) next = j;
            }
            if (next < 0) break;
            cur = next;
        }
        cap = "G = (V, E),  T ⊂ E,  |T| = |V| − 1";
        break;
    }
    }
    if (cap.empty()) cap = kPatternCaption[family]; // the attractors name their equations alone
    if (!p.chords) normalise(p);
    p.spin_speed = (irand(0, 1) ? 1.0f : -1.0f) * (0.12f + 0.2f * U());
    p.phase = tau * U();
    pr.label = cap;
}

std::shared_ptr<Program> make_program(int family, float detail) {
    auto pr = std::make_shared<Program>();
    pr->family = family;
    pr->tag = ++g.tag;
    if (family >= kFirstRaster) {
        pr->raster = true;
        pr->kind = family - kFirstRaster;
        make_raster(*pr, pr->kind, detail);
    } else {
        // A pattern program: the figure, its palette and caption, and the raster background
        // it is drawn over.
        pr->has_pattern = true;
        random_palette(pr->palette);
        make_pattern(*pr, family, detail);
        static const int kBacks[7] = {17, 17, 16, 4, 15, 12, 5};
        pr->back = make_program(kBacks[irand(0, 6)] + kFirstRaster, detail);
    }
    return pr;
}

// The raster program that a program draws with: itself, or a pattern program's background.
Program* raster_of(Program* pr) {
    if (!pr) return nullptr;
    return pr->raster ? pr : pr->back.get();
}

bool is_long(const Program& pr) { return pr.raster && (pr.kind <= 2 || pr.kind == 18); }

// ---------------------------------------------------------------------------------------------
// 7b. Family choice

int pick_family_raw(int previous) {
    const bool shaders = shaders_eligible();
    if (shaders && U() < 0.46f) {
        const float u = U();
        int f;
        static const int kCurved[6] = {27, 27, 28, 30, 41, 42};
        if (u < 0.3f) f = kFirstRaster + kCurved[irand(0, 5)];
        else if (u < 0.42f) f = 64;
        else if (u < 0.58f) f = 67;
        else f = kFirstShader + irand(0, 22);
        if (f == 50 && U() < 0.7f) f = 64;
        if (f != previous) return f;
    }
    if (g.snd[3] > 0.2f && U() < 0.6f) {
        const float s = g.snd[0] + g.snd[1] + g.snd[2] + 0.001f;
        int f;
        if (g.snd[0] / s > 0.42f) {
            static const int kDeep[6] = {17, 17, 0, 16, 0, 15};
            f = kFirstRaster + kDeep[irand(0, 5)];
        } else if (g.snd[2] / s > 0.36f) {
            const int pick = irand(0, 4);
            const int opts[5] = {30, 39, 47, 47, -1};
            f = opts[pick] >= 0 ? opts[pick] : irand(0, 28);
        } else {
            f = kFirstRaster + irand(0, 42);
        }
        if (f != previous && f != 31 && f != 37 && (shaders || !is_shader_family(f))) return f;
    }
    for (;;) {
        const float u = U();
        int f;
        if (u < 0.34f) f = 46;
        else if (u < 0.52f) f = 29;
        else if (u < 0.62f) f = 45;
        else if (u < 0.84f) f = kFirstRaster + irand(0, 42);
        else f = irand(0, 28);
        if (f == previous || f == 31 || f == 37) continue;
        if (is_shader_family(f) && !shaders) continue;
        return f;
    }
}

bool in_history(int f) {
    for (int i = 0; i < g.history_n; ++i)
        if (g.history[i] == f) return true;
    return false;
}

void remember_family(int f) {
    if (g.history_n < 8) {
        g.history[g.history_n++] = f;
        return;
    }
    std::copy(g.history + 1, g.history + 8, g.history);
    g.history[7] = f;
}

bool flashing_family(int f) { return f == 41 || f == 44 || f == 45 || f == 48 || f == 66 || f == 67; }

int pick_family(int previous) {
    int f = 0;
    if (g.gentle) {
        bool found = false;
        for (int draw = 0; draw < 200 && !found; ++draw) {
            f = pick_family_raw(previous);
            found = !flashing_family(f) && !(draw < 60 && in_history(f));
        }
        if (!found) f = 0;
    } else {
        for (int draw = 0; draw < 30; ++draw) {
            f = pick_family_raw(previous);
            if (draw == 29) break;
            if (in_history(f)) continue;
            const bool raster = f >= kFirstRaster;
            if (g.snd[3] < 0.25f) {
                if (raster) {
                    static const int kQuiet[14] = {30, 33, 34, 35, 36, 37, 39, 47, 48, 49, 53, 61, 62, 68};
                    if (std::find(kQuiet, kQuiet + 14, f) != kQuiet + 14) break;
                    if (U() < 0.7f) continue;
                    break;
                }
                if (g.snd[4] <= 0.6f) break;
                if (U() < 0.6f) continue;
                break;
            }
            if (raster || g.snd[4] <= 0.6f) break;
            if (U() < 0.6f) continue;
            break;
        }
    }
    remember_family(f);
    return f;
}

// ---------------------------------------------------------------------------------------------
// 7c. The choices made at every program start: light rig, overlay with post effect and echo,
// lasers, fog and disco. Their painters draw from these records.

void new_light_rig() {
    LightRig& l = g.light;
    l.style = irand(0, 6);
    l.beams = irand(6, 14);
    l.spot_count = irand(2, 4);
    l.fan = l.style == 1 || l.style == 3 || l.style == 6;
    l.spots = l.style == 0 || l.style == 3 || l.style == 5 || l.style == 6;
    l.head = l.style == 2 || l.style == 5 || l.style == 6;
    const double mag = 0.05 + 0.13 * U();
    l.speed = irand(0, 1) ? mag : -mag;
    l.width = 0.12 + 0.18 * U();
    random_palette(l.palette);
}

const uint32_t kLaserCols[8] = {0x30FF60, 0xFF2A2A, 0x3A7CFF, 0xFF30E0, 0x30F0FF, 0xFFE030, 0xFF8A10, 0xA040FF};

void new_laser_fog(const uint32_t* palette) {
    LaserFog& f = g.lf;
    const float level = g.snd[3];
    const bool was_disco = f.disco;
    f.disco = level >= 0.12f && U() < (was_disco ? 0.3f : 0.22f);
    f.disco_style = irand(0, 4);
    f.disco_spots = irand(10, 22);
    f.disco_col[0] = kLaserCols[irand(0, 7)];
    f.disco_col[1] = kLaserCols[irand(0, 7)];
    f.disco_laser = kLaserCols[irand(0, 7)];
    if (env().disco >= 0) {
        f.disco = env().disco > 0;
        if (env().disco > 1) f.disco_style = std::min(4, env().disco - 2);
    }
    const int prev_style = f.laser_style;
    f.lasers = !f.disco && level >= 0.25f && U() < 0.33f;
    if (U() < 0.55f) {
        f.laser_style = irand(8, 11);
        if (f.laser_style == prev_style) f.laser_style = 8 + (f.laser_style - 8 + irand(1, 3)) % 4;
    } else {
        f.laser_style = irand(0, 7);
        if (f.laser_style == prev_style) f.laser_style = (f.laser_style + irand(1, 7)) % 8;
    }
    f.laser_beams = irand(3, 7);
    for (uint32_t& c : f.laser_col) c = kLaserCols[irand(0, 7)];
    if ((f.laser_style < 4 || f.laser_style > 7) && U() < 0.5f) f.laser_col[1] = f.laser_col[2] = f.laser_col[0];
    if (env().laser >= 0) {
        f.lasers = true;
        f.laser_style = env().laser;
    }
    if (g.gentle) f.disco = f.lasers = false; // no flashing lights while flashes are reduced
    f.fog = f.lasers || f.disco;
    f.fog_density = f.disco ? 0.8 + 0.2 * U() : 0.45 + 0.55 * U();
    const double sx = f.disco ? 9 : 14, sy = f.disco ? 9 : 6;
    f.fog_speed[0] = -sx + 2 * sx * U();
    f.fog_speed[1] = -sy + 2 * sy * U();
    for (double& o : f.fog_off) o = 256 * U();
    f.fog_col = palette[irand(0, 255)];
}

const int kFx[27] = {0, 1, 2, 3, 4, 5, 6, 7, 7, 8, 8, 9, 9, 10, 11, 11, 12, 12, 13, 14, 14, 15, 15, 16, 16, 17, 17};
const int kNext[16] = {17, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

bool harsh_fx(int fx) { return fx == 6 || fx == 7 || fx == 11; }

void clear_overlays();

// The overlay kind, post effect with its follow-up, echo mode and meter size of a new program.
void new_overlay(const Program& pr) {
    int32_t forced = 0;
    const bool overlay_set = env_int("LUMA2_OVERLAY", 0, 10, &forced);
    int32_t kind = g.overlay;
    for (int draw = 0; draw < 6; ++draw) {
        const float u = U();
        const int previous = g.overlay;
        if (u < 0.22f) kind = 7;
        else if (u < 0.44f) kind = 10;
        else if (u < 0.64f) kind = 9;
        else if (u < 0.68f) kind = 0;
        else if (u < 0.72f) kind = 8;
        else kind = 1 + irand(0, 4);
        if (kind != previous || kind == 8) break;
    }
    g.overlay = overlay_set ? forced : kind;
    g.plasma_scheme = irand(0, 1);
    clear_overlays();

    // Post effect and follow-up.
    int32_t post_forced = -1, post2_forced = -1;
    const bool post_set = g.gpu_post && env_int("LUMA2_POST", -1, 17, &post_forced);
    const bool post2_set = g.gpu_post && env_int("LUMA2_POST2", -1, 17, &post2_forced);
    if (g.gpu_post && !overlay_set) {
        const int previous = g.post_fx;
        int fx = -1;
        if (U() < 0.66f) {
            for (int draw = 0; draw < 7; ++draw) {
                fx = kFx[irand(0, 26)];
                if (fx == 1 && U() < 0.5f) fx = kFx[irand(0, 26)];
                if (fx != previous) break;
            }
        }
        int follow_fx = -1;
        if (g.snd[3] < 0.25f && U() < 0.5f) {
            fx = -1;
        } else if (U() < 0.75f) {
            for (int draw = 0; draw < 8; ++draw) {
                follow_fx = kFx[irand(0, 26)];
                if (follow_fx != 1 && follow_fx != fx) break;
            }
            if (follow_fx == fx || follow_fx == 1) follow_fx = -1;
        }
        if (g.gentle) {
            if (harsh_fx(fx)) fx = -1;
            if (harsh_fx(follow_fx)) follow_fx = -1;
        }
        g.post_fx = fx;
        g.post_follow = follow_fx;
    }
    g.post_forced = post_set;
    if (post_set) {
        g.post_fx = post_forced;
        g.post_follow = -1;
    }
    if (post2_set) g.post_follow = post2_forced;

    // Echo mode.
    int mode = 0;
    if (U() >= 0.25f) {
        mode = irand(1, 5);
        if (mode == g.echo_last_pos) mode = 1 + (mode - 1 + irand(0, 3)) % 5;
    }
    if (g.snd[3] < 0.2f) mode = 0;
    g.echo_dir = irand(0, 1) ? 1.0f : -1.0f;
    int32_t echo_forced = 0;
    const bool echo_set = env_int("LUMA2_ECHO", -1, 5, &echo_forced);
    g.echo_mode = echo_set ? echo_forced : mode;
    if (g.echo_mode > 0) g.echo_last_pos = g.echo_mode;

    if (!overlay_set && !post_set && !echo_set) {
        if (pr.raster && pr.kind > 23 && U() < 0.7f) {
            g.overlay = 8;
        } else if (g.overlay != 8 && g.post_fx >= 0 && g.echo_mode > 0) {
            switch (irand(0, 2)) {
            case 0: g.overlay = 8; break;
            case 1: g.post_fx = -1, g.post_follow = -1; break;
            default: g.echo_mode = 0; break;
            }
        }
    }

    const float u = U();
    g.meter_size = u < 0.5f ? 1.0f : (u < 0.75f ? 0.74f : (u < 0.9f ? 0.58f : 1.12f));
    double size = 0;
    if (env_double("LUMA2_METER_SIZE", &size)) g.meter_size = static_cast<float>(clampd(size, 0.4, 1.3));
    g.blitz = U() < 0.35f && !g.gentle;
}

// ---------------------------------------------------------------------------------------------
// 4. Music signals and events

void music_signals(const Input& in, float dt) {
    float bar[31];
    for (int i = 0; i < 31; ++i) bar[i] = in.bars ? clampf((in.bars[i] + 66) / 66, 0, 1) : 0;
    // NaN bars count as silence
    for (float& b : bar)
        if (!(b >= 0)) b = 0;
    auto mean = [&](int a, int b) {
        float s = 0;
        for (int i = a; i <= b; ++i) s += bar[i];
        return s / float(b - a + 1);
    };
    const float level[4] = {mean(0, 7), mean(8, 20), mean(21, 30), mean(0, 30)};
    g.overall = level[3];
    const float fast = std::min(1.0f, 18 * dt);
    for (int k = 0; k < 4; ++k) {
        g.pk[k] = std::max(g.pk[k] * std::exp(-dt / 5), level[k]);
        g.fl[k] += (std::min(g.fl[k] + 0.02f, level[k]) - g.fl[k]) * std::min(1.0f, 0.5f * dt);
        float norm = clampf((level[k] - 0.8f * g.fl[k]) / std::max(0.08f, g.pk[k] - 0.8f * g.fl[k]), 0, 1);
        if (level[k] < 0.05f) norm = 0;
        follow(g.snd[k], norm, fast);
    }
    follow(g.snd[4], g.snd[3], std::min(1.0f, 4 * dt));
    follow(g.bass_avg, g.snd[0], std::min(1.0f, 2.5f * dt));
    for (int k = 0; k < 3; ++k) follow(g.sm[k], g.snd[k], std::min(1.0f, 5 * dt));
}

void events(const Input& in, float dt) {
    g.hit = g.drum = g.clap = false;
    if (g.counters_seen) {
        g.hit = in.beat_count != g.last_beat;
        g.drum = in.kick_count != g.last_kick;
        g.clap = in.clap_count != g.last_clap;
    }
    g.counters_seen = true;
    g.last_beat = in.beat_count, g.last_kick = in.kick_count, g.last_clap = in.clap_count;
    g.since_hit += dt;
    if (!g.hit && g.since_hit > 2.5 && g.snd[0] - g.bass_avg > 0.1f && g.snd[0] > 0.35f) g.hit = true;
    g.snd[5] *= std::exp(-4.5f * dt);
    if (g.hit) {
        g.beats += 1;
        g.hits_total += 1;
        g.since_hit = 0;
        g.since_kick = 0;
        g.snd[5] = g.gentle ? 0.3f : 1.0f;
    } else {
        g.since_kick += dt;
    }
    if (in.beat_conf > 0.2f && in.beat_period > 0) g.beat_len = in.beat_period;
}

void beat_log(const Input& in, float dt) {
    if (!env().beatlog) return;
    g.log_hits += g.hit, g.log_drums += g.drum, g.log_claps += g.clap;
    g.log_time += dt;
    if (g.log_time < 5) return;
    char line[160];
    std::snprintf(line, sizeof line, "Beat: %d hits, %d drums, %d claps in 5 s, beat %d ms, confidence %d %%", g.log_hits,
                  g.log_drums, g.log_claps, int(clampf(in.beat_period, 0, 100) * 1000), int(clampf(in.beat_conf, 0, 1) * 100));
    logger::info(line);
    g.log_time = 0;
    g.log_hits = g.log_drums = g.log_claps = 0;
}

// 5. Drop detection: a loud return after a quiet stretch. The quiet stretch ends when the music
// has been back for a moment: the smoothed overall level passes 0.3 on its way up to the drop
// threshold of 0.55 within a frame or two, which must not end the stretch before the drop is
// seen.
void detect_drop(float dt) {
    g.drop = false;
    if (g.overall < 0.18f) {
        g.quiet_for += dt;
        g.loud_for = 0;
    } else {
        g.loud_for += dt;
        if (g.quiet_for > 1.5 && g.snd[3] > 0.55f) g.drop = true;
        if (g.drop || g.snd[3] > 0.55f || (g.snd[3] > 0.3f && g.loud_for >= 0.25)) g.quiet_for = 0;
    }
}

// 6. Music clock and camera.
void clock_and_camera(float dt) {
    g.at += (0.25 + 2.6 * g.snd[4] + 3.5 * g.snd[5]) * dt;
    if (!g.grabbed) {
        g.yaw += (g.vel + 0.14f) * dt;
        g.vel *= std::exp(-1.6f * dt);
    }
    g.yaw = static_cast<float>(std::fmod(double(g.yaw), kTwoPi));
    if (g.yaw < 0) g.yaw += static_cast<float>(kTwoPi);
}

// ---------------------------------------------------------------------------------------------
// 7. Program scheduler

void announce(const Program& pr) {
    g.label = pr.label;
    g.label_serial += 1;
    g.switches += 1;
}

void first_program(double t) {
    const int forced = forced_family();
    const int fam = forced >= 0 ? forced : pick_family(-1);
    g.cur = make_program(fam, g.detail);
    g.prev.reset();
    g.fade_start = t;
    g.switch_at = t;
    g.next_at = t + interval_s();
    g.beats_at_switch = g.beats;
    announce(*g.cur);
    new_light_rig();
    new_overlay(*g.cur);
    new_laser_fog(g.cur->palette);
}

void switch_program(double t, bool on_drop) {
    g.beats_at_switch = g.beats;
    if (g.gentle) {
        g.fade_len = 2.2 + 2.0 * U();
    } else if (on_drop) {
        g.fade_len = 0.35;
        g.snd[5] = 1;
    } else {
        g.fade_len = U() < 0.3f ? 0.8 + 0.6 * U() : 2.2 + 2.0 * U();
    }
    g.prev = std::move(g.cur);
    const int forced = forced_family();
    const int fam = forced >= 0 ? forced : pick_family(g.prev ? g.prev->family : -1);
    g.cur = make_program(fam, g.detail);
    new_light_rig();
    new_overlay(*g.cur);
    new_laser_fog(g.cur->palette);
    g.fade_start = t;
    g.switch_at = t;
    // A fixed lifetime from the environment holds for long programs too.
    const bool fixed = env().pattern_seconds > 0;
    g.next_at = t + (is_long(*g.cur) && forced < 0 && !fixed ? 45 + 35 * U() : interval_s());
    announce(*g.cur);
    g.force_next = false;
}

void schedule_programs(double t) {
    const double since = t - g.switch_at;
    const int64_t beats = g.beats - g.beats_at_switch;
    const bool lng = is_long(*g.cur);
    bool go = g.force_next;
    bool on_drop = false;
    if (!go && g.hit) {
        const bool enough = lng ? beats >= 96 : beats >= 32;
        const double wait = lng ? (g.drop ? 40 : 45) : (g.drop ? 4 : 8);
        if (enough && since > wait) go = true, on_drop = g.drop;
    }
    if (!go && g.drop && since > (lng ? 40 : 4)) go = true, on_drop = true;
    if (!go && t >= g.next_at) {
        if (g.snd[3] >= 0.05f || since >= 30) go = true;
        else g.next_at = g.switch_at + 30;
    }
    if (go) switch_program(t, on_drop);

    if (g.prev) {
        const double c = (t - g.fade_start) / std::max(1e-6, g.fade_len);
        if (c >= 1) {
            g.prev.reset();
            g.fade_w = 1;
        } else {
            const float cf = static_cast<float>(std::max(0.0, c));
            g.fade_w = (3 - 2 * cf) * cf * cf;
        }
    } else {
        g.fade_w = 1;
    }
}

// ---------------------------------------------------------------------------------------------
// 8. Raster scheduling

void raster_request(const raster::Job& job) {
    g.raster_jobs += 1;
    if (g.hooks.request) g.hooks.request(job);
    else raster::request(job);
}
bool raster_busy() { return g.hooks.busy ? g.hooks.busy() : raster::busy(); }
std::shared_ptr<const raster::Image> raster_latest() {
    return g.hooks.latest ? g.hooks.latest() : raster::latest();
}

// The job record is large (its palette); one is kept and refilled.
raster::Job g_job;

// Picks up a finished picture of this program.
void take_picture(Program& pr, double t) {
    std::shared_ptr<const raster::Image> img = raster_latest();
    if (!img || img->tag != pr.tag || img->serial == pr.image_serial) return;
    pr.prev_image = std::move(pr.image);
    pr.image = std::move(img);
    pr.image_serial = pr.image->serial;
    pr.image_at = t;
    if (pr.first_image_at < 0) pr.first_image_at = t;
}

// The kind's job parameters at the program's clock (c₁, c₂), the smoothed bass and the
// program's own random parameters.
void job_params(const Program& pr, double* p, int32_t* iter) {
    const double c1 = pr.clock[0], c2 = pr.clock[1];
    const double bass = g.sm[0];
    const double* a = pr.p;
    switch (pr.kind) {
    case 1: {
        double base;
        if (a[1] > 0) {
            static const double kJulia[7][2] = {{-0.7269, 0.1889}, {-0.8, 0.156},       {0.285, 0.01},
                                                {-0.75, 0.11},     {-0.70176, -0.3842}, {-0.835, -0.2321},
                                                {0.355, 0.355}};
            const auto& c = kJulia[int(a[1]) % 7];
            p[3] = c[0] + 0.012 * std::sin(0.21 * c1);
            p[4] = c[1] + 0.012 * std::cos(0.17 * c1);
            base = 1.3;
        } else {
            p[3] = 0.7885 * std::cos(0.22 * c1 + a[0]);
            p[4] = 0.7885 * std::sin(0.22 * c1 + a[0]);
            base = 1.55;
        }
        p[2] = base * std::exp(-0.9 * (1 - std::cos(0.045 * c1)));
        p[5] = 8 * c1, p[6] = 1, p[7] = 0.05 * c1 + 0.8;
        *iter = 110;
        break;
    }
    case 3: p[2] = 1.6 * std::exp(-0.5 * (1 - std::cos(0.1 * c1))), p[3] = 0.15 * c1; break;
    case 4: p[0] = 1.4 * c1, p[3] = 2 * bass + 3; break;
    case 5: p[0] = c1, p[1] = 0.7 * std::sin(0.13 * c1) + a[0], p[2] = 0.7 * std::cos(0.09 * c1) + a[1]; break;
    case 6:
    case 7:
        for (int k = 0; k < 4; ++k) p[k] = a[k] + 0.07 * std::sin(0.11 * c1 + k * 1.7) + 0.03 * bass;
        break;
    case 8: p[0] = (2 * bass + 1) * std::sin(0.6 * c1); break;
    case 9: p[0] = 0.08 * c1, p[1] = a[1] + 0.05 * std::sin(0.2 * c1) + 0.04 * bass, p[2] = a[0]; break;
    case 10: p[0] = 3 * c1, p[1] = 0.006 * std::sin(0.05 * c1), p[3] = 0.18 * bass + 1; break;
    case 11: p[0] = 1.6 * c1; break;
    case 12: p[0] = 1.6 * c1, p[1] = 0.8 * bass + 2, p[2] = a[0]; break;
    case 13: p[0] = 1.2 * c1, p[1] = (0.06 * bass + 1) * a[0], p[2] = a[1]; break;
    case 14: p[0] = 1.2 * c1, p[1] = 1.1; break;
    case 15: p[0] = 0.8 * c1, p[1] = a[0], p[2] = 3 * bass + 3 * std::sin(0.1 * c2), p[3] = a[1]; break;
    case 16: p[0] = 0.9 * c1, p[1] = a[0], p[2] = std::sin(0.2 * c2) + a[1], p[3] = 0.04; break;
    case 18: p[0] = 0.8 * c1, p[1] = a[0]; break;
    case 19: p[0] = 1.4 * c1, p[1] = a[0], p[2] = (0.25 * bass + 1) * a[1], p[3] = a[2]; break;
    default: break;
    }
}

// Zoom of the escape-time kinds 0 and 2: deeper while zooming in, back out 2.2 times as fast,
// and in again toward a new target.
void zoom_schedule(Program& pr, float dt) {
    const double rate = 0.22 * g.snd[4] + 0.05 + 0.5 * g.snd[5];
    bool turned = false;
    if (pr.zoom_dir > 0) {
        pr.depth += rate * dt;
        if (pr.depth > pr.max_depth) pr.zoom_dir = -1;
    } else {
        pr.depth -= 2.2 * rate * dt;
        if (pr.depth < 1.2) {
            pr.zoom_dir = 1;
            turned = true;
            if (pr.kind == 0) {
                const auto& poi = kPoi[irand(0, 9)];
                pr.tx = poi[0], pr.ty = poi[1];
                pr.max_depth = g.gpu_fractals ? 6.5 + 1.7 * U() : 8 + 6 * U();
            } else {
                pr.tx = -1.7621 + 0.006 * U() - 0.003;
                pr.ty = -0.0284 + 0.004 * U() - 0.002;
                pr.max_depth = g.gpu_fractals ? 2.5 + 1.5 * U() : 4 + 3 * U();
            }
            if (g.gpu_fractals) {
                // the GPU's single precision gives out earlier, and sooner away from the origin
                const double dist = std::hypot(pr.tx, pr.ty);
                const double limit = std::log(pr.scale / (dist > 0.25 ? dist * 4.32e-4 : 1.08e-4));
                pr.max_depth = std::min(pr.max_depth, limit);
            }
        }
    }
    const double r = turned ? 1.0 : std::min(1.0, 0.6 * dt);
    pr.cx += (pr.tx - pr.cx) * r;
    pr.cy += (pr.ty - pr.cy) * r;
}

void schedule_raster(Program& pr, double t, float dt, float aspect, float px_width) {
    pr.clock[0] += (3 * g.snd[4] + 0.15 + 5 * g.snd[5]) * dt;
    pr.clock[1] += (1.8 * g.snd[0] + 0.1 + 3 * g.snd[5]) * dt;
    const bool escape = pr.kind == 0 || pr.kind == 2;
    if (escape) zoom_schedule(pr, dt);
    take_picture(pr, t);
    if (pr.kind >= 20) return;                    // shader kinds: the GPU draws them
    if (g.gpu_fractals && pr.kind <= 3) return;   // the GPU draws the escape-time kinds
    if (raster_busy()) return;

    raster::Job& job = g_job;
    std::fill(job.p, job.p + 8, 0.0);
    job.kind = pr.kind;
    job.tag = pr.tag;
    job.iter = 200;
    const float factor = clampf(px_width / 960.0f, 0.25f, 2.5f);

    if (pr.kind == 17) {
        const int64_t digit = (g.beats / 4) % 10;
        const int64_t key = digit * 1000003 + int64_t(pr.p[1]);
        if (key == pr.wall_key) return;
        pr.wall_key = key;
        job.p[0] = double(digit), job.p[1] = pr.p[1], job.p[2] = pr.p[2], job.p[3] = pr.p[3], job.p[4] = pr.p[4];
        job.p[5] = pr.p[0];
    } else {
        if (t < pr.next_job) return;
        if (escape) {
            const double half = pr.scale * std::exp(-pr.depth);
            const bool out = pr.zoom_dir < 0;
            bool fits = false;
            if (pr.image && pr.image->key > 0) {
                const double ratio = half / pr.image->key;
                fits = out ? ratio <= 0.98 : (ratio >= 0.62 && ratio <= 0.98);
                if (std::hypot(pr.cx - pr.job_cx, pr.cy - pr.job_cy) > 0.08 * half) fits = false;
            }
            if (fits) return;
            job.p[0] = pr.cx, job.p[1] = pr.cy;
            job.p[2] = (out ? 1.9 : 1.04) * half;
            job.p[5] = 6 * pr.clock[0];
            job.p[6] = out ? 1 : 2;
            job.p[7] = 0.6 * std::sin(0.1 * pr.clock[0]) + 0.8;
            const double deep = 100 + 30 * std::log2(pr.scale / half);
            job.iter = static_cast<int32_t>(std::min(pr.kind == 2 ? 120.0 : 200.0, deep));
            job.w = static_cast<int32_t>(clampd((out ? 0.5 : 0.75) * px_width, 320, 800));
            job.h = std::max(16, int(job.w * aspect));
            pr.job_cx = pr.cx, pr.job_cy = pr.cy;
            pr.job_out = out;
            pr.next_job = t + 1.2;
            std::copy(pr.palette, pr.palette + 256, job.palette);
            raster_request(job);
            return;
        }
        job_params(pr, job.p, &job.iter);
        pr.next_job = t + pr.interval;
    }
    job.w = std::max(16, int(pr.width * factor));
    job.h = std::max(16, int(job.w * aspect));
    std::copy(pr.palette, pr.palette + 256, job.palette);
    raster_request(job);
}

// 8b. The raster layer: the program's CPU pictures over the drawing square, enlarged with the
// kick and the bass, dimmed in quiet passages, cross-faded as new pictures arrive; the escape-time
// kinds zoomed between pictures; the tunnel wall mapped onto a tunnel. The GPU kinds are drawn
// by the GPU layer.

// The drawing square in device pixels.
struct DrawSquare {
    float x = 0, y = 0, w = 0, h = 0;
};

// Grey by the music: white when kick and level together reach 1, down to 32 % in silence.
uint32_t music_tint() {
    const float e = g.snd[5] + g.snd[3];
    if (e >= 1) return 0xFFFFFFFFu;
    const uint32_t v = static_cast<uint32_t>(clampf((e * 0.68f + 0.32f) * 255, 0, 255));
    return 0xFF000000u | v << 16 | v << 8 | v;
}

void add_picture(Out& out, const std::shared_ptr<const raster::Image>& img, float sx, float sy, float sw, float sh,
                 float x, float y, float w, float h, float alpha, uint32_t tint) {
    if (!img || alpha <= 0.003f) return;
    RasterDraw d;
    d.image = img;
    d.sx = sx, d.sy = sy, d.sw = sw, d.sh = sh;
    d.x = x, d.y = y, d.w = w, d.h = h;
    d.alpha = std::min(1.0f, alpha);
    d.tint = tint;
    out.layers.push_back(std::move(d));
}

// Meshes keep their vertex and index room from frame to frame: build() hands the old ones here
// instead of dropping them.
std::vector<Mesh> g_mesh_pool;

void recycle_meshes(Out& out) {
    for (Mesh& m : out.meshes) {
        m.image.reset();
        m.verts.clear();
        m.index.clear();
        g_mesh_pool.push_back(std::move(m));
    }
    out.meshes.clear();
}

Mesh& new_mesh(Out& out) {
    if (!g_mesh_pool.empty()) {
        out.meshes.push_back(std::move(g_mesh_pool.back()));
        g_mesh_pool.pop_back();
    } else {
        out.meshes.emplace_back();
        out.meshes.back().verts.reserve(4096);
        out.meshes.back().index.reserve(8192);
    }
    return out.meshes.back();
}

// The tunnel: rings of the wall picture running from the near edge of the square into the
// distance, the picture's height once around and its width repeating along the tunnel, flowing
// toward the viewer with the program's clock. The vanishing point sways; the far end fades to
// black. Texture coordinates stay within 0..1: a band that crosses a repeat of the picture is cut
// in two there.
void tunnel_wall(const Program& pr, const DrawSquare& sq, double t, float weight, Out& out) {
    const std::shared_ptr<const raster::Image>& img = pr.image;
    if (!img || pr.first_image_at < 0) return;
    const float fade_in = clampf(static_cast<float>((t - pr.first_image_at) / 0.6), 0, 1);
    const float alpha = weight * fade_in;
    if (alpha <= 0.003f) return;
    const double c1 = pr.clock[0];
    const float kick = g.snd[5], bass = g.snd[0];
    const float cx = sq.x + sq.w / 2, cy = sq.y + sq.h / 2;
    const float sway = (0.035f + 0.03f * g.snd[4]);
    const float vx = sq.w * sway * static_cast<float>(std::sin(0.37 * c1));
    const float vy = sq.h * sway * static_cast<float>(std::cos(0.29 * c1));
    // Near ring just beyond the corners, swelling with the kick.
    const float radius = 0.56f * std::hypot(sq.w, sq.h) * 1.08f * (1 + 0.12f * kick + 0.06f * bass);
    constexpr int kSectors = 48, kRings = 30;
    constexpr double kNear = 1, kFar = 14, kRepeat = 1.2; // along = kRepeat / z + flow
    const double flow = 0.35 * c1;
    const double turn = 0.05 * c1 + 0.15 * std::sin(0.21 * c1);
    const uint32_t tint = music_tint();
    Mesh& m = new_mesh(out);
    m.image = img;
    auto ring = [&](double z, float v) { // kSectors + 1 vertices of one ring, at `v` along the wall
        const float r = static_cast<float>(radius / z);
        const float bend = static_cast<float>(1 - 1 / z); // the far end follows the sway
        const float ox = cx + vx * bend, oy = cy + vy * bend;
        const float b = clampf(static_cast<float>(1.25 / (1 + 0.02 * (z - 1) * (z - 1) * (z - 1))), 0, 1);
        auto ch = [&](int sh) { return static_cast<uint32_t>(((tint >> sh) & 255) * b + 0.5f) << sh; };
        const uint32_t col = static_cast<uint32_t>(alpha * 255 + 0.5f) << 24 | ch(16) | ch(8) | ch(0);
        for (int i = 0; i <= kSectors; ++i) {
            const double a = kTwoPi * i / kSectors + turn;
            // The wall runs along the picture's width and around its height.
            m.verts.push_back({ox + r * static_cast<float>(std::cos(a)), oy + r * static_cast<float>(std::sin(a)), v,
                               static_cast<float>(i) / kSectors, col});
        }
    };
    auto band = [&](int first) { // quads between the ring at `first` and the next one
        for (int i = 0; i < kSectors; ++i) {
            const int a = first + i, b = first + kSectors + 1 + i;
            for (int k : {a, a + 1, b, a + 1, b + 1, b}) m.index.push_back(k);
        }
    };
    const double step = (kFar - kNear) / kRings;
    for (int j = 0; j < kRings; ++j) {
        const double z0 = kNear + j * step, z1 = z0 + step;
        double v0 = kRepeat / z0 + flow, v1 = kRepeat / z1 + flow; // v0 > v1
        // Cut at every whole number between them.
        double hi = v0;
        while (hi > v1) {
            const double cell = std::ceil(hi) - 1;
            const double lo = std::max(v1, cell);
            const double za = kRepeat / (hi - flow), zb = kRepeat / (lo - flow);
            const int first = static_cast<int>(m.verts.size());
            ring(za, static_cast<float>(hi - cell));
            ring(zb, static_cast<float>(lo - cell));
            band(first);
            hi = lo;
            if (lo <= v1) break;
        }
    }
    RasterDraw d;
    d.image = img;
    d.sx = 0, d.sy = 0, d.sw = static_cast<float>(img->w), d.sh = static_cast<float>(img->h);
    d.x = sq.x, d.y = sq.y, d.w = sq.w, d.h = sq.h;
    d.alpha = alpha;
    d.tint = tint;
    d.mesh = static_cast<int32_t>(out.meshes.size() - 1);
    out.layers.push_back(std::move(d));
}

// One program's pictures at `weight`.
void draw_raster(const Program& pr, const DrawSquare& sq, double t, float weight, Out& out) {
    if (weight <= 0.003f || sq.w <= 0 || sq.h <= 0) return;
    if (pr.kind >= 20 || (g.gpu_fractals && pr.kind <= 3)) return; // the GPU layer's
    if (pr.kind == 17) {
        tunnel_wall(pr, sq, t, weight, out);
        return;
    }
    const float kick = g.snd[5], bass = g.snd[0];
    float grow = 1 + 0.12f * kick + 0.06f * bass;
    float ox = 0, oy = 0;
    if (pr.kind == 16) {
        grow *= 1.08f;
        // The sway stays within the 4 % the enlargement adds on each side.
        const float sway = std::min(0.04f, 0.035f + 0.03f * g.snd[4]);
        ox = sq.w * sway * static_cast<float>(std::sin(0.37 * pr.clock[0]));
        oy = sq.h * sway * static_cast<float>(std::cos(0.29 * pr.clock[0]));
    }
    const float w = sq.w * grow, h = sq.h * grow;
    const float x = sq.x + (sq.w - w) / 2 + ox, y = sq.y + (sq.h - h) / 2 + oy;
    const uint32_t tint = music_tint();
    if (pr.kind == 0 || pr.kind == 2) {
        const std::shared_ptr<const raster::Image>& img = pr.image;
        if (!img || !(img->key > 0)) return;
        // The part of the picture that the current view covers: the zoom goes on between pictures.
        const double half = pr.scale * std::exp(-pr.depth);
        const float share = static_cast<float>(clampd(half / img->key, 0.2, 1));
        const float sw = img->w * share, sh = img->h * share;
        add_picture(out, img, (img->w - sw) / 2, (img->h - sh) / 2, sw, sh, x, y, w, h, weight, tint);
        return;
    }
    // The previous picture underneath, the newest fading in over it.
    if (pr.prev_image)
        add_picture(out, pr.prev_image, 0, 0, float(pr.prev_image->w), float(pr.prev_image->h), x, y, w, h, weight, tint);
    if (pr.image) {
        const float in = clampf(static_cast<float>((t - pr.image_at) / std::max(0.02, pr.interval)), 0, 1);
        add_picture(out, pr.image, 0, 0, float(pr.image->w), float(pr.image->h), x, y, w, h,
                    pr.prev_image ? weight * in : weight, tint);
    }
}

// The raster layer of this frame: the program fading out under the current one.
void raster_layer(const DrawSquare& sq, double t, Out& out) {
    if (g.prev)
        if (const Program* r = raster_of(g.prev.get())) draw_raster(*r, sq, t, 1 - g.fade_w, out);
    if (const Program* r = raster_of(g.cur.get())) draw_raster(*r, sq, t, g.fade_w, out);
}

// 9. Disco dimming: everything drawn so far is darkened while the disco lights play.
uint32_t shade(uint32_t c, float f) {
    f = clampf(f, 0, 1.4f);
    auto ch = [&](int sh) { return std::min<uint32_t>(255, uint32_t(float((c >> sh) & 0xFF) * f + 0.5f)) << sh; };
    return (c & 0xFF000000u) | ch(16) | ch(8) | ch(0);
}
uint32_t shade_alpha(uint32_t c, float f) {
    const uint32_t a = std::min<uint32_t>(255, uint32_t(float(c >> 24) * clampf(f, 0, 1.4f) + 0.5f));
    return (a << 24) | (c & 0xFFFFFFu);
}

void disco_dimming(Out& out, float dt) {
    g.disco_env = clampd(g.disco_env + (g.lf.disco ? dt : -dt) / 1.5, 0, 1);
    if (g.disco_env <= 0) return;
    const float f = static_cast<float>(1 - 0.72 * g.disco_env);
    for (RasterDraw& l : out.layers) l.tint = shade(l.tint, f);
    for (FractalDraw& fr : out.fractals) fr.params.tint = shade(fr.params.tint, f);
    for (Mesh& m : out.meshes)
        for (MeshV& v : m.verts) v.color = shade(v.color, f);
    for (Seg& s : out.segs) s.color = shade_alpha(s.color, f);
    for (Dot& d : out.dots) d.color = shade_alpha(d.color, f);
}

// ---------------------------------------------------------------------------------------------
// 9. Effects and the level meter (post effects, meter placement, spray and puffs, episodes,
// flashes, echo, kick dot)

// Where the scene lies this frame, in logical units unless named otherwise.
struct Geometry {
    float cx = 0, cy = 0;       // centre of the scene rectangle
    float sq_w = 0, sq_h = 0;   // the drawing square
    float px = 1;
};

// 9.1 Post-effect rotation and ripple drops.
void post_effects(const Geometry& geo, float meter_x, float meter_y, const Input& in, float dt, Out& out) {
    if (g.gpu_post) {
        g.post_timer -= dt;
        if (g.post_timer <= 0) {
            if (g.post_on) {
                if (g.post_follow >= 0 && !g.post_forced) {
                    g.post_fx = g.post_follow;
                    int next = -1;
                    for (int draw = 0; draw < 8; ++draw) {
                        next = kNext[irand(0, 15)];
                        if (next != g.post_fx && !(g.gentle && harsh_fx(next))) break;
                        if (draw == 7) next = -1;
                    }
                    g.post_follow = next;
                }
                g.post_on = false;
                g.post_len = 5 + 6 * U();
            } else {
                g.post_on = true;
                g.post_len = g.post_follow < 0 ? 4 + 5 * U() : 9 + 6 * U();
            }
            g.post_timer = g.post_len;
        }
        g.post_env = clampf(g.post_env + (g.post_on ? dt : -dt), 0, 1);
    } else {
        g.post_env = 0;
    }
    const float bass = g.snd[0], kick = g.snd[5];
    const bool shown = g.post_fx >= 0 && (g.post_env > 0.02f || g.post_env >= 1);
    out.post_fx = shown ? g.post_fx : -1;
    out.post_time = static_cast<float>(g.at);
    out.bands3[0] = g.sm[0], out.bands3[1] = g.sm[1], out.bands3[2] = g.sm[2];
    if (shown) {
        out.post_next = g.post_on ? g.post_follow : -1;
        const double remaining = std::max(0.0, g.post_timer);
        out.post_next_mix = out.post_next >= 0
            ? smoothstep(clampf(float((1 - remaining / std::max(0.1, g.post_len) - 0.4) / 0.2), 0, 1))
            : 0.0f;
        out.post_drive = 0.9f * bass + 0.35f + 1.2f * kick + (g.post_fx == 3 ? 0.8f * g.snd[4] : 0.0f);
        out.post_amt = smoothstep(g.post_env);
        out.post_spread = 0.17f + 0.06f * bass + 0.03f * kick;
        out.post_pts[0] = meter_x * geo.px;
        out.post_pts[1] = meter_y * geo.px;
        out.post_pts[2] = float(std::sin(0.23 * g.at) * 0.32 * in.area_w + geo.cx) * geo.px;
        out.post_pts[3] = float(std::sin(0.31 * g.at + 1) * 0.28 * in.area_h + geo.cy) * geo.px;
    } else {
        out.post_next = -1;
        out.post_next_mix = 0;
        out.post_drive = 0;
        out.post_amt = 0;
        out.post_spread = 0;
        std::fill(out.post_pts, out.post_pts + 4, 0.0f);
    }
    for (auto& d : g.drops) d[2] += dt;
    if (g.hit) {
        float* d = g.drops[g.drop_slot];
        g.drop_slot = (g.drop_slot + 1) % 4;
        const float r = g.post_fx == 6 ? 0.06f : 0.4f;
        d[0] = geo.cx + (2 * r * U() - r) * in.area_w;
        d[1] = geo.cy + (2 * r * U() - r) * in.area_h;
        d[2] = 0;
        d[3] = 0.6f + 0.6f * bass;
    }
    for (int i = 0; i < 4; ++i) {
        out.drops[i][0] = g.drops[i][0] * geo.px;
        out.drops[i][1] = g.drops[i][1] * geo.px;
        out.drops[i][2] = g.drops[i][2];
        out.drops[i][3] = g.drops[i][3];
    }
}

// 9.2 Meter placement.
const float kSpots[8][2] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}, {0, -1}, {0, 1}, {-1, 0}, {1, 0}};
const float kSizes[6] = {0.55f, 0.75f, 1.0f, 1.0f, 1.18f, 1.35f};

void new_spot(bool corners) {
    const int n = corners ? 4 : 8;
    int s = g.spot;
    for (int draw = 0; draw < 8; ++draw) {
        s = irand(0, n - 1);
        if (s != g.spot) break;
    }
    g.spot = s;
}

void enter_mode(int m) {
    const bool object = g.object_live;
    g.mode = m;
    g.mode_late = 0;
    const double len = m == 0 ? 12 + 16 * U() : (m == 1 ? 5 + 7 * U() : 9 + 11 * U());
    g.mode_left = object ? 0.6 * len : len;
    new_spot(m == 4);
    g.drift_fx = 0.07f + 0.09f * U();
    g.drift_fy = 0.05f + 0.07f * U();
    g.drift_ph = float(kTwoPi) * U();
    g.mode_size = kSizes[irand(0, 5)];
    g.hop_hits = 0;
    if (m == 6) {
        g.flight_dir = float(kTwoPi) * U();
        g.flight_phase = 1;
        g.flight_t = 0;
    }
}

int choose_mode() {
    const int last = g.mode;
    int m;
    if (!g.object_live) {
        const float u = U();
        if (last != 0 && u < 0.4f) {
            m = 0;
        } else if (last == 0 && u < 0.26f) {
            m = irand(0, 4) % 6 + 1;
        } else {
            const float v = U();
            m = v < 0.38f ? 1 : v < 0.52f ? 2 : v < 0.64f ? 3 : v < 0.74f ? 4 : v < 0.88f ? 5 : 6;
            if (m == 6 && last == 6) m = 0;
            if (m == 6 && g.bend_follow) m = 5;
        }
        if (m == last) m = 0;
        return m;
    }
    const float u = U();
    auto rotate_on = [&] {
        int r = (last + irand(0, 4)) % 6 + 1;
        if (r == 5) r = 2;
        return r;
    };
    if (u < 0.12f) m = last == 0 ? rotate_on() : 0;
    else if (u < 0.32f) m = 1;
    else if (u < 0.56f) m = 2;
    else if (u < 0.72f) m = 3;
    else if (u < 0.82f) m = 4;
    else m = g.bend_follow ? 5 : 6;
    if (m == last) m = rotate_on();
    return m;
}

void meter_placement(const Input& in, const Geometry& geo, float dt) {
    const bool silent = g.snd[3] < 0.05f;
    g.mode_left -= dt;
    if (in.compact || silent) {
        if (g.mode != 0) enter_mode(0);
        if (g.mode_left > 5 || g.mode_left <= 0) g.mode_left = 5;
    } else if (env().meter_mode >= 0) {
        if (g.mode != env().meter_mode) enter_mode(env().meter_mode);
    } else if (g.mode_left <= 0 && g.mode != 6) {
        g.mode_late += dt;
        if (g.hit || g.drum || g.mode_late >= 4) enter_mode(choose_mode());
    }
    if (g.mode == 4 && g.hit && ++g.hop_hits >= 8) {
        g.hop_hits = 0;
        new_spot(true);
    }

    // The level rings lie outside the meter's circle (a tenth of its size) and a kick swells it.
    const float radius = 0.6f * in.meter_r * g.size;
    float tx = 0, ty = 0;
    switch (g.mode) {
    case 2:
    case 4: {
        const float* sp = kSpots[g.spot];
        const float margin = 34 / geo.px;
        tx = sp[0] * std::max(0.0f, in.area_w / 2 - radius);
        ty = sp[1] * std::max(0.0f, in.area_h / 2 - radius - (sp[1] > 0 ? margin : 0));
        break;
    }
    case 3:
        tx = 0.42f * in.area_w * float(std::sin(g.at * g.drift_fx + g.drift_ph));
        ty = 0.3f * in.area_h * float(std::sin(g.at * g.drift_fy + 2 * g.drift_ph));
        break;
    case 6: {
        const float reach = 0.5f * std::hypot(in.win_w, in.win_h) + 1.2f * in.meter_r;
        g.flight_t += dt;
        if (g.flight_phase == 1 && g.flight_t >= 1.4) {
            g.flight_phase = 2;
            g.flight_t = 0;
            g.flight_hold = 3 + 5 * U();
        } else if (g.flight_phase == 2 && g.flight_t >= g.flight_hold) {
            g.flight_phase = 3;
            g.flight_dir = g.flight_dir + float(kPi) + (-0.9f + 1.8f * U());
            g.off_x = reach * std::cos(g.flight_dir);
            g.off_y = reach * std::sin(g.flight_dir);
        }
        if (g.flight_phase < 3) {
            tx = reach * std::cos(g.flight_dir);
            ty = reach * std::sin(g.flight_dir);
        } else if (std::hypot(g.off_x, g.off_y) * geo.px < 2) {
            enter_mode(0);
            g.mode_left = 12 + 16 * U();
        }
        break;
    }
    default: // 0, 1, 5: at rest in the centre, moved only by what the scene asks for
        if (g.corner_live) {
            const float* sp = kSpots[g.corner & 3];
            tx = sp[0] * std::max(0.0f, in.area_w / 2 - radius);
            ty = sp[1] * std::max(0.0f, in.area_h / 2 - radius);
        } else if (g.bend_live) {
            tx = g.bend[0] * geo.sq_w, ty = g.bend[1] * geo.sq_h;
        } else if (g.drift_live) {
            tx = 0.3f * in.area_w * float(std::sin(0.11 * g.at));
            ty = 0.18f * in.area_h * float(std::sin(0.07 * g.at + 2));
        } else if (g.post_fx == 7 || g.post_fx == 8 || g.post_fx == 9 || g.post_fx == 11 || g.post_fx == 12) {
            const float e = g.post_env;
            tx = 0.24f * in.area_w * float(std::sin(0.17 * g.at)) * e;
            ty = 0.15f * in.area_h * float(std::sin(0.23 * g.at + 1)) * e;
        }
        break;
    }
    const float k = g.mode == 4 ? 3.5f : (g.mode == 6 ? 2.4f : 1.6f);
    follow(g.off_x, tx, std::min(1.0f, k * dt));
    follow(g.off_y, ty, std::min(1.0f, k * dt));

    const float factor = g.meter_size;
    float target;
    if (g.mode == 2 || g.mode == 4) target = g.mode_size * (g.mode_size >= 1.2f ? 0.576f : 0.48f);
    else if (g.mode == 3) target = std::min(0.72f, factor) * g.mode_size;
    else if (g.corner_live || g.shrink_live) target = std::min(0.62f, factor);
    else target = g.bend_follow ? factor : std::min(factor * g.mode_size, 1.3f);
    follow(g.size, target, std::min(1.0f, 1.4f * dt));
    if (g.drum) g.wobble = 1;
    g.wobble *= std::exp(-5.5f * dt);
    g.wobble_ph += 42 * dt;
    g.alpha = clampf(g.alpha + (g.mode == 1 ? -dt / 1.8f : dt / 1.2f), 0, 1);
    g.bare = clampf(g.bare + (g.mode == 5 ? dt : -dt) / 1.3f, 0, 1);
}

// 9.3 Spray and smoke puffs from the meter's rim.
void spray_and_puffs(const Input& in, float meter_x, float meter_y, float dt) {
    if (g.spray_left > 0) {
        g.spray_left -= dt;
        if (g.spray_left <= 0) g.spray_next = 20 + 25 * U();
    } else {
        g.spray_next -= dt;
        if (!in.compact && g.alpha > 0.5f && g.snd[3] > 0.25f && g.spray_next <= 0 && g.hit) g.spray_left = 5 + 4 * U();
    }
    if (env().spray) g.spray_left = std::max(g.spray_left, 1.0);

    int n = 0;
    for (int i = 0; i < g.puff_n; ++i) {
        Puff p = g.puffs[i];
        p.age += dt;
        p.x += p.vx * dt, p.y += p.vy * dt;
        p.vx *= std::exp(-1.8f * dt), p.vy *= std::exp(-1.8f * dt); // smoke slows in the air
        if (p.age < 1.6f) g.puffs[n++] = p;
    }
    g.puff_n = n;
    if (g.alpha > 0.3f && (g.hit || g.drum)) {
        const int count = irand(5, 9);
        const float rim = 0.5f * in.meter_r * g.size;
        for (int i = 0; i < count && g.puff_n < kMaxPuffs; ++i) {
            const float a = float(kTwoPi) * U();
            const float speed = (90 * g.snd[4] + 70) * (0.6f + 0.7f * U());
            Puff& p = g.puffs[g.puff_n++];
            p = Puff{meter_x + rim * std::cos(a), meter_y + rim * std::sin(a), speed * std::cos(a), speed * std::sin(a),
                     3 + 2.5f * U(), 0};
        }
    }
}

// 9.4 Meter episodes: quarter turns, a pulse, and figures the meter painter morphs into.
const float kLen[23] = {0, 0, 5.0f, 2.4f, 3.6f, 3.2f, 2.8f, 2.6f, 2.2f, 2.8f, 3.4f, 2.2f,
                        4.5f, 4.0f, 4.5f, 3.5f, 4.0f, 4.0f, 5.0f, 3.2f, 3.0f, 4.0f, 3.6f};

void end_episode(bool spin_test) {
    g.ep_last = g.ep_kind;
    g.ep_kind = 0;
    g.next_in = spin_test ? 3 : 8 + 12 * U();
}

void episodes(const Input& in, float dt) {
    const double spin_env = env().meter_spin;
    const bool spin_test = spin_env > 0;
    const bool event = g.hit || g.drum;
    if (g.ep_kind == 0) {
        g.next_in -= dt;
        if (g.next_in <= 0 && !in.compact && g.mode != 1 && g.alpha > 0.95f && event && (g.snd[3] > 0.3f || spin_test)) {
            int kind = 1;
            for (int draw = 0; draw < 32; ++draw) {
                kind = irand(1, 22);
                const bool bend_bad = g.bend_follow && (kind == 6 || kind == 10 || kind == 19);
                if (kind != g.ep_last && !bend_bad) break;
            }
            if (spin_env > 1) kind = std::min(22, int(spin_env) - 1);
            g.ep_kind = std::max(1, kind);
            g.ep_len = kLen[g.ep_kind] * (0.9 + 0.3 * U());
            g.morph_to = irand(0, 4);
            g.ep_dir = irand(0, 1) ? 1.0f : -1.0f;
            g.ep_t = 0;
            g.ep_steps = 0;
            g.ep_since_step = 0;
            g.spin = g.spin_target = 0;
        }
        return;
    }
    if (g.ep_kind == 1) {
        g.ep_since_step += dt;
        const bool step = g.ep_steps < 4 && ((event && g.ep_since_step > 0.6 * g.beat_len) || g.ep_since_step > 1.6 * g.beat_len);
        if (step) {
            g.spin_target += 90 * g.ep_dir;
            g.ep_steps += 1;
            g.ep_since_step = 0;
        }
        g.spin += (g.spin_target - g.spin) * std::min(1.0f, 9 * dt);
        if (g.ep_steps >= 4 && std::fabs(g.spin_target - g.spin) < 0.5f) {
            g.spin = g.spin_target = 0;
            end_episode(spin_test);
        }
        return;
    }
    g.ep_t += (0.5 * g.snd[4] + 0.8) * dt / std::max(0.1, g.ep_len);
    if (g.ep_t >= 1) end_episode(spin_test);
}

// 9.5 Meter flash, clap sparks and the strobe.
void flashes(const Input& in, const Geometry& geo, float dt) {
    if (g.blitz && g.hit) g.flash = 1;
    else g.flash = std::max(0.0f, g.flash - 3.5f * dt);

    int n = 0;
    for (int i = 0; i < g.spark_n; ++i) {
        Spark sp = g.sparks[i];
        sp.age += dt;
        if (sp.age < sp.life) g.sparks[n++] = sp;
    }
    g.spark_n = n;
    if (g.clap && !g.gentle && (g.blitz || g.lf.disco) && g.snd[3] > 0.2f) {
        const int count = irand(5, 10);
        for (int i = 0; i < count && g.spark_n < kMaxSparks; ++i) {
            Spark& sp = g.sparks[g.spark_n++];
            sp.x = in.area_x + in.area_w * (0.04f + 0.92f * U());
            sp.y = in.area_y + in.area_h * (0.08f + 0.86f * U());
            sp.age = 0;
            sp.life = 0.35f + 0.3f * U();
            const uint32_t* pal = g.cur ? g.cur->palette : g.light.palette;
            const uint32_t c = pal[irand(0, 255)];
            sp.color = U() < 0.5f ? 0xFFFFFFFFu : c;
        }
    }
    (void)geo;

    g.phase_left -= dt;
    if (g.phase_left <= 0) {
        g.strobe_on = !g.strobe_on;
        g.phase_left = g.strobe_on ? 6 + 4 * U() : 25 + 25 * U();
    }
    const bool open = g.strobe_on || env().strobe || g.lf.disco;
    if (open && g.clap && g.snd[3] > 0.4f && !in.compact) g.white = 1;
    else g.white *= std::exp(-13 * dt);
    if (g.gentle) g.white = 0;
}

// 9.6 Echo (feedback) parameters.
void echo(float meter_px_x, float meter_px_y, float dt, Out& out) {
    out.echo_on = g.gpu_echo && g.echo_mode >= 0;
    if (!out.echo_on) return;
    g.echo_timer -= dt;
    if (g.echo_timer <= 0) {
        g.echo_phase_on = !g.echo_phase_on;
        g.echo_timer = g.echo_phase_on ? 6 + 6 * U() : 4 + 5 * U();
    }
    if (g.echo_phase_on && g.echo_mode > 0 && g.snd[3] > 0.22f) g.echo_env = std::min(1.0f, g.echo_env + dt / 1.5f);
    else g.echo_env = std::max(0.0f, g.echo_env - 0.5f * dt);
    struct Mode {
        double decay, zoom, rot, swirl, hue;
    };
    static const Mode kModes[6] = {{0.93, 1.0, 0, 0, 0},     {0.945, 0.978, 0, 0, 0},         {0.935, 1.02, 0, 0, 0},
                                   {0.955, 0.986, 0.018, 0.03, 0}, {0.958, 0.98, 0, 0, 0.1}, {0.962, 0.972, 0.032, 0, 0.06}};
    const Mode& m = kModes[g.echo_mode];
    const double e = smoothstep(g.echo_env);
    const double p = clampd(60.0 * dt, 0.25, 4);
    const double kick = g.snd[5], dir = g.echo_dir;
    out.echo_cx = meter_px_x;
    out.echo_cy = meter_px_y;
    out.echo_zoom = float(std::pow((m.zoom - 0.022 * kick - 1) * e + 1, p));
    out.echo_rot = float(m.rot * dir * e * p);
    out.echo_swirl = float(((g.sm[1] - 0.3) * 0.03 * dir + m.swirl * dir) * e * p);
    out.echo_decay = float(std::pow((m.decay - 0.8) * e + 0.8, p));
    out.echo_hue = float(std::min(1.0, (0.05 * g.sm[2] + m.hue) * e * p));
    out.echo_gain = float(0.85 + 0.25 * kick);
    out.echo_thresh = float((g.lf.disco ? 0.36 : 0.54) - 0.08 * e);
    const double level = g.snd[3] < 1.0 / 3 ? 0.6 + 1.2 * g.snd[3] : 1.0;
    out.echo_alpha = float((0.22 * e + (g.lf.disco ? 0.58 : 0.38) + 0.18 * kick) * level);
}

void effects(const Input& in, const Geometry& geo, float dt, Out& out) {
    const float meter_x = geo.cx + g.off_x, meter_y = geo.cy + g.off_y;
    post_effects(geo, meter_x, meter_y, in, dt, out);
    meter_placement(in, geo, dt);
    const float mx = geo.cx + g.off_x, my = geo.cy + g.off_y;
    spray_and_puffs(in, mx, my, dt);
    episodes(in, dt);
    flashes(in, geo, dt);
    echo(mx * geo.px, my * geo.px, dt, out);

    out.meter_dx = g.off_x * geo.px;
    out.meter_dy = g.off_y * geo.px;
    out.meter_scale = g.mode == 1 ? g.size : g.size * (1 + 0.1f * g.wobble * std::cos(g.wobble_ph));
    out.meter_spin = g.ep_kind == 1 ? g.spin : 0.0f;
    out.meter_flash = g.flash;
    out.meter_pulse = g.ep_kind == 2 ? float(std::pow(std::sin(kPi * g.ep_t), 2)) : 0.0f;
    out.meter_alpha = g.alpha;
    out.meter_bare = g.bare;
    out.morph_to = g.morph_to;
    out.white_flash = g.white;
    out.episode = g.ep_kind >= 3 ? g.ep_kind : 0;
    out.episode_t = g.ep_kind >= 3 ? float(std::min(1.0, g.ep_t)) : 0.0f;

    // 9.7 The kick dot at the meter centre.
    const float kick = g.snd[5];
    if (kick > 0.05f) {
        const uint32_t* pal = g.cur ? g.cur->palette : g.light.palette;
        const uint32_t c = pal[int(std::fmod(20 * g.at, 256.0))];
        const int a = int(std::lround(255 * 0.3f * kick));
        if (a >= 3) {
            const float scene_r = 0.75f * 0.5f * std::hypot(geo.sq_w, geo.sq_h);
            const float r = std::max(1.5f, (0.5f * kick + 0.6f) * scene_r * g.zoom);
            out.dots.push_back({mx * geo.px, my * geo.px, r * geo.px, (uint32_t(a) << 24) | (c & 0xFFFFFFu)});
        }
    }
}

// ---------------------------------------------------------------------------------------------
// 10. Elements: patterns, overlays, light rig, fog, lasers, disco, puffs and sparks. They append
// draw items in device pixels; nothing here allocates once the lists have their room.

uint32_t rgb_alpha(uint32_t c, float a) {
    const uint32_t ab = uint32_t(clampf(a, 0, 1) * 255 + 0.5f);
    return (ab << 24) | (c & 0xFFFFFFu);
}

// A colour brightened toward white by w (0..1).
uint32_t whiten(uint32_t c, float w) {
    auto ch = [&](int sh) {
        const float v = float((c >> sh) & 0xFF);
        return uint32_t(v + (255 - v) * clampf(w, 0, 1)) << sh;
    };
    return (c & 0xFF000000u) | ch(16) | ch(8) | ch(0);
}

void seg(std::vector<Seg>& v, float x0, float y0, float x1, float y1, float w, uint32_t c) {
    if ((c >> 24) < 2) return;
    v.push_back({x0, y0, x1, y1, w, c});
}
void dot(std::vector<Dot>& v, float x, float y, float r, uint32_t c) {
    if ((c >> 24) < 2 || !(r > 0.2f)) return;
    v.push_back({x, y, r, c});
}

// A light cone from (x0, y0) to (x1, y1), w0 wide at the start and w1 at the end; its colour
// fades to a tenth along the way.
void beam(Out& out, float x0, float y0, float x1, float y1, float w0, float w1, uint32_t col, float alpha) {
    const float dx = x1 - x0, dy = y1 - y0, len = std::sqrt(dx * dx + dy * dy);
    if (!(len >= 1) || !(alpha >= 0.004f)) return;
    const float nx = -dy / len, ny = dx / len;
    Beam b;
    b.x[0] = x0 + nx * w0 / 2, b.y[0] = y0 + ny * w0 / 2;
    b.x[1] = x0 - nx * w0 / 2, b.y[1] = y0 - ny * w0 / 2;
    b.x[2] = x1 - nx * w1 / 2, b.y[2] = y1 - ny * w1 / 2;
    b.x[3] = x1 + nx * w1 / 2, b.y[3] = y1 + ny * w1 / 2;
    b.color[0] = b.color[1] = rgb_alpha(col, alpha);
    b.color[2] = b.color[3] = rgb_alpha(col, alpha * 0.1f);
    out.beams.push_back(b);
}

// Where the elements draw this frame, in device pixels.
struct Stage {
    float cx = 0, cy = 0;     // scene centre
    float mx = 0, my = 0;     // meter centre
    float ax = 0, ay = 0, aw = 0, ah = 0; // scene area
    float ww = 0, wh = 0;     // window
    float px = 1;
    float reach = 0;          // 0.75 of the window diagonal
    float size = 0;           // half the smaller side of the area: the scale of figures
};

// The camera: yaw about the vertical, then pitch; perspective with the zoom.
struct Cam {
    float cy_ = 1, sy_ = 0, cp = 1, sp = 0, scale = 1, ox = 0, oy = 0;
    void set(float yaw, float pitch, float s, float x, float y) {
        cy_ = std::cos(yaw), sy_ = std::sin(yaw), cp = std::cos(pitch), sp = std::sin(pitch);
        scale = s, ox = x, oy = y;
    }
    // Projects; returns the depth factor (larger is nearer).
    float project(float x, float y, float z, float& sx, float& sy) const {
        const float x1 = x * cy_ + z * sy_, z1 = -x * sy_ + z * cy_;
        const float y2 = y * cp - z1 * sp, z2 = y * sp + z1 * cp;
        const float f = 3.2f / (3.2f + z2);
        sx = ox + x1 * f * scale, sy = oy - y2 * f * scale;
        return f;
    }
};

// 10.1 Patterns.
void shape(Pattern& p, double at, float detail) {
    p.spin = float(p.phase + p.spin_speed * at);
    p.breathe = 1 + 0.1f * g.sm[0];
    p.wave = 0.05f * g.sm[1];
    (void)detail;
}

void draw_pattern(const Program& pr, const Stage& st, float weight, Out& out) {
    const Pattern& p = pr.pat;
    if (weight <= 0.01f || p.pts.empty()) return;
    Cam cam;
    const float s = st.size * 0.92f * g.zoom * p.breathe;
    // A plane figure turns in its plane and sways a little out of it; a solid one turns with
    // the camera.
    const float at0 = float(g.at);
    if (p.flat) cam.set(0.35f * std::sin(0.21f * at0), 0.25f * std::sin(0.3f * at0), s, st.cx, st.cy);
    else cam.set(g.yaw + p.spin, g.pitch + p.tilt, s, st.cx, st.cy);
    const float rc = p.flat ? std::cos(p.spin) : 1, rs = p.flat ? std::sin(p.spin) : 0;
    const float at = float(g.at);
    const float w = (1.1f + 0.9f * g.snd[5]) * st.px;
    const int n = int(p.pts.size());
    const float kick = g.snd[5];
    float px0 = 0, py0 = 0;
    if (p.chords) {
        // k ↦ m·k on a circle, m slowly drifting so that the chords flow into new figures
        const float mult = p.mult + 0.03f * at;
        const int mod = p.modulus;
        for (int k = 0; k < mod; ++k) {
            const float a0 = float(kTwoPi) * float(k) / float(mod), a1 = a0 * mult;
            float x0, y0, x1, y1;
            cam.project(std::cos(a0 + p.spin), std::sin(a0 + p.spin), 0, x0, y0);
            cam.project(std::cos(a1 + p.spin), std::sin(a1 + p.spin), 0, x1, y1);
            const uint32_t c = pr.palette[(k * 256 / mod + int(20 * at)) & 255];
            seg(out.segs, x0, y0, x1, y1, w * 0.8f, rgb_alpha(c, weight * (0.45f + 0.4f * kick)));
        }
        return;
    }
    const int head = int(std::fmod(double(at) * 0.08, 1.0) * n);
    for (int i = 0; i < n; ++i) {
        const P3& q = p.pts[size_t(i)];
        const float t = float(i) / float(n);
        const float bend = 1 + p.wave * std::sin(17 * t * float(kTwoPi) + 2.3f * at) + 0.06f * kick * std::sin(5 * t * float(kTwoPi));
        float x, y;
        const float qx = q.v[0] * rc - q.v[1] * rs, qy = q.v[0] * rs + q.v[1] * rc;
        const float f = cam.project(qx * bend, qy * bend, q.v[2] * bend, x, y);
        const int pi = (int(t * 256) + int(20 * at)) & 255;
        const int d = (i - head + n) % n;
        const float glint = d < n / 40 ? 1 - float(d) / float(n / 40 + 1) : 0;
        const float depth = clampf(0.45f + 0.9f * (f - 0.75f), 0.25f, 1.0f);
        const uint32_t c = whiten(pr.palette[pi], 0.6f * glint);
        const float a = weight * depth * (0.7f + 0.3f * glint);
        if (p.dots) {
            dot(out.dots, x, y, (2.2f + 2.5f * glint + 2 * kick) * st.px * f, rgb_alpha(c, a));
        } else if (p.pen[size_t(i)]) {
            seg(out.segs, px0, py0, x, y, w * (0.8f + 0.5f * f), rgb_alpha(c, a * 0.9f));
        }
        px0 = x, py0 = y;
    }
}

// 10.2 Wire models for the flying bodies and the orbit figures: edges resampled into a fixed
// number of points, so that any two models morph point by point.
constexpr int kModelPts = 192;
struct Model {
    P3 pts[kModelPts];
    uint8_t pen[kModelPts];
};
constexpr int kModels = 8;
Model g_models[kModels];
bool g_models_made = false;

void model_from_edges(Model& m, const float (*v)[3], const int (*e)[2], int ne) {
    float total = 0;
    for (int i = 0; i < ne; ++i) {
        const float* a = v[e[i][0]];
        const float* b = v[e[i][1]];
        total += std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
    }
    int k = 0;
    for (int i = 0; i < ne && k < kModelPts; ++i) {
        const float* a = v[e[i][0]];
        const float* b = v[e[i][1]];
        const float len = std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
        int steps = std::max(1, int(std::lround(len / total * float(kModelPts - ne))));
        if (i == ne - 1) steps = std::max(1, kModelPts - k - 1);
        for (int s = 0; s <= steps && k < kModelPts; ++s) {
            const float f = float(s) / float(steps);
            m.pts[k] = {a[0] + (b[0] - a[0]) * f, a[1] + (b[1] - a[1]) * f, a[2] + (b[2] - a[2]) * f};
            m.pen[k] = s > 0;
            ++k;
        }
    }
    for (; k > 0 && k < kModelPts; ++k) m.pts[k] = m.pts[k - 1], m.pen[k] = 0;
}

template <typename F> void model_from_curves(Model& m, int curves, F f) {
    const int per = kModelPts / curves;
    int k = 0;
    for (int c = 0; c < curves; ++c)
        for (int i = 0; i < per; ++i, ++k) {
            float x, y, z;
            f(c, float(i) / float(per - 1), x, y, z);
            m.pts[k] = {x, y, z};
            m.pen[k] = i > 0;
        }
    for (; k > 0 && k < kModelPts; ++k) m.pts[k] = m.pts[k - 1], m.pen[k] = 0;
}

void make_models() {
    if (g_models_made) return;
    g_models_made = true;
    const float tv[4][3] = {{1, 1, 1}, {1, -1, -1}, {-1, 1, -1}, {-1, -1, 1}};
    const int te[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    model_from_edges(g_models[0], tv, te, 6);
    const float cv[8][3] = {{-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1}, {-1, -1, 1}, {1, -1, 1}, {1, 1, 1}, {-1, 1, 1}};
    const int ce[12][2] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {4, 5}, {5, 6}, {6, 7}, {7, 4}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
    model_from_edges(g_models[1], cv, ce, 12);
    const float ov[6][3] = {{1.3f, 0, 0}, {-1.3f, 0, 0}, {0, 1.3f, 0}, {0, -1.3f, 0}, {0, 0, 1.3f}, {0, 0, -1.3f}};
    const int oe[12][2] = {{0, 2}, {0, 3}, {0, 4}, {0, 5}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {2, 4}, {4, 3}, {3, 5}, {5, 2}};
    model_from_edges(g_models[2], ov, oe, 12);
    const float gr = 1.618034f;
    const float iv[12][3] = {{-1, gr, 0}, {1, gr, 0}, {-1, -gr, 0}, {1, -gr, 0}, {0, -1, gr}, {0, 1, gr},
                             {0, -1, -gr}, {0, 1, -gr}, {gr, 0, -1}, {gr, 0, 1}, {-gr, 0, -1}, {-gr, 0, 1}};
    int ie[30][2];
    int n = 0;
    for (int a = 0; a < 12; ++a)
        for (int b = a + 1; b < 12; ++b) {
            const float d = (iv[a][0] - iv[b][0]) * (iv[a][0] - iv[b][0]) + (iv[a][1] - iv[b][1]) * (iv[a][1] - iv[b][1]) +
                            (iv[a][2] - iv[b][2]) * (iv[a][2] - iv[b][2]);
            if (d < 4.1f && n < 30) ie[n][0] = a, ie[n][1] = b, ++n;
        }
    model_from_edges(g_models[3], iv, ie, n);
    model_from_curves(g_models[4], 4, [](int c, float s, float& x, float& y, float& z) { // torus rings
        const float t = s * float(kTwoPi), a = float(c) * float(kPi) / 4;
        const float r = 1 + 0.4f * std::cos(t);
        x = r * std::cos(a), z = r * std::sin(a), y = 0.4f * std::sin(t);
    });
    model_from_curves(g_models[5], 3, [](int c, float s, float& x, float& y, float& z) { // three great circles
        const float t = s * float(kTwoPi);
        const float u = 1.2f * std::cos(t), v = 1.2f * std::sin(t);
        if (c == 0) x = u, y = v, z = 0;
        else if (c == 1) x = u, y = 0, z = v;
        else x = 0, y = u, z = v;
    });
    model_from_curves(g_models[6], 1, [](int, float s, float& x, float& y, float& z) { // spring
        const float t = s * float(kTwoPi) * 6;
        x = std::cos(t), z = std::sin(t), y = -1.3f + 2.6f * s;
    });
    model_from_curves(g_models[7], 2, [](int c, float s, float& x, float& y, float& z) { // star prism
        const float t = s * float(kTwoPi);
        const float r = (int(std::lround(s * 10)) % 2 == 0) ? 1.3f : 0.55f;
        x = r * std::cos(t), y = r * std::sin(t), z = c ? 0.4f : -0.4f;
    });
}

// One model, or the morph between two at weight f, spinning at the given angles.
void draw_morph(int a, int b, float f, float yaw, float pitch, float scale, float x, float y, const uint32_t* pal,
                float alpha, float width, std::vector<Seg>& segs) {
    make_models();
    const Model& ma = g_models[a % kModels];
    const Model& mb = g_models[b % kModels];
    Cam cam;
    cam.set(yaw, pitch, scale, x, y);
    float px0 = 0, py0 = 0;
    const float at = float(g.at);
    for (int i = 0; i < kModelPts; ++i) {
        const P3& p = ma.pts[i];
        const P3& q = mb.pts[i];
        float sx, sy;
        const float d = cam.project(p.v[0] + (q.v[0] - p.v[0]) * f, p.v[1] + (q.v[1] - p.v[1]) * f, p.v[2] + (q.v[2] - p.v[2]) * f,
                                    sx, sy);
        const bool pen = f < 0.5f ? ma.pen[i] : mb.pen[i];
        if (pen && i > 0) {
            const uint32_t c = pal[(i + int(30 * at)) & 255];
            seg(segs, px0, py0, sx, sy, width * d, rgb_alpha(c, alpha * clampf(d, 0.3f, 1)));
        }
        px0 = sx, py0 = sy;
    }
}

void draw_wire(int model, float yaw, float pitch, float scale, float x, float y, const uint32_t* pal, float alpha,
               float width, std::vector<Seg>& segs) {
    draw_morph(model, model, 0, yaw, pitch, scale, x, y, pal, alpha, width, segs);
}

// 10.3 Overlays. Their lists are fixed arrays, emptied at every program start.
struct Mote {
    float x = 0, y = 0, z = 0, vx = 0, vy = 0, speed = 0, phase = 0, age = 0, life = 0;
    uint32_t color = 0;
};
constexpr int kMaxMotes = 160;
struct Overlays {
    Mote m[kMaxMotes];
    int n = 0;
    float figure_t = 0;
    int body_model[4] = {};
    int orbit_a = 0, orbit_b = 1;
    float orbit_t = 0;
};
Overlays g_ov;

void clear_overlays() { g_ov.n = 0; }

void spawn_star(Mote& s, const Stage& st, bool anywhere) {
    s.x = (2 * U() - 1) * st.aw * 0.6f;
    s.y = (2 * U() - 1) * st.ah * 0.6f;
    s.z = anywhere ? 0.1f + 0.9f * U() : 1;
    s.phase = float(kTwoPi) * U();
}

void fly_bodies(const Stage& st, float dt, const uint32_t* pal, Out& out);
void plasma(const Stage& st, const uint32_t* pal, Out& out);

void overlay(const Stage& st, float dt, const uint32_t* pal, Out& out) {
    Overlays& o = g_ov;
    const float kick = g.snd[5], level = g.snd[3], slow = g.snd[4], at = float(g.at);
    const float px = st.px;
    switch (g.overlay) {
    case 0: { // star field flying toward the viewer
        if (o.n == 0)
            for (o.n = 0; o.n < 140; ++o.n) spawn_star(o.m[o.n], st, true);
        const float speed = (0.12f + 0.5f * slow + 1.4f * kick) * dt;
        for (int i = 0; i < o.n; ++i) {
            Mote& s = o.m[i];
            const float z0 = s.z;
            s.z -= speed;
            if (s.z <= 0.04f) spawn_star(s, st, false);
            const float x0 = st.mx + s.x / z0 * 0.25f, y0 = st.my + s.y / z0 * 0.25f;
            const float x1 = st.mx + s.x / s.z * 0.25f, y1 = st.my + s.y / s.z * 0.25f;
            const float b = clampf(1.1f - s.z, 0.05f, 1) * (0.5f + 0.5f * level + 0.5f * kick);
            const uint32_t c = whiten(pal[(i * 7) & 255], 0.55f);
            seg(out.segs, x0, y0, x1, y1, (0.6f + 1.6f * (1 - s.z)) * px, rgb_alpha(c, b));
        }
        break;
    }
    case 1:
    case 4:
    case 6: { // a particle field swirling about the meter, or particles that form a figure
        if (o.n == 0) {
            for (o.n = 0; o.n < 150; ++o.n) {
                Mote& m = o.m[o.n];
                m.x = (2 * U() - 1) * st.aw / 2, m.y = (2 * U() - 1) * st.ah / 2;
                m.phase = float(kTwoPi) * U(), m.speed = 0.5f + U();
                m.color = pal[irand(0, 255)];
            }
        }
        o.figure_t += dt * (0.2f + 0.5f * slow);
        for (int i = 0; i < o.n; ++i) {
            Mote& m = o.m[i];
            float tx, ty;
            if (g.overlay == 1) {
                // swirl: tangential drift and a kick that throws the particles outward
                const float r = std::sqrt(m.x * m.x + m.y * m.y) + 1;
                const float sw = (20 + 60 * slow) * m.speed * px;
                m.vx += (-m.y / r * sw - m.vx) * std::min(1.0f, 2 * dt) + m.x / r * 260 * kick * dt * px;
                m.vy += (m.x / r * sw - m.vy) * std::min(1.0f, 2 * dt) + m.y / r * 260 * kick * dt * px;
                m.x += m.vx * dt, m.y += m.vy * dt;
                if (std::fabs(m.x) > st.aw * 0.6f || std::fabs(m.y) > st.ah * 0.6f)
                    m.x = (2 * U() - 1) * st.aw * 0.2f, m.y = (2 * U() - 1) * st.ah * 0.2f, m.vx = m.vy = 0;
                tx = m.x, ty = m.y;
            } else {
                // the figure: a heart (4) or a five-armed star (6), turning, scattered by kicks
                const float s = float(i) / float(o.n) * float(kTwoPi);
                float fx, fy;
                if (g.overlay == 4) {
                    fx = 16 * std::pow(std::sin(s), 3.0f) / 17;
                    fy = -(13 * std::cos(s) - 5 * std::cos(2 * s) - 2 * std::cos(3 * s) - std::cos(4 * s)) / 17;
                } else {
                    const float r = 0.55f + 0.45f * std::cos(5 * s + o.figure_t);
                    fx = r * std::cos(s), fy = r * std::sin(s);
                }
                const float turn = 0.4f * o.figure_t, c = std::cos(turn), sn = std::sin(turn);
                const float size = st.size * 0.8f * (1 + 0.15f * g.sm[0]);
                const float gx = (fx * c - fy * sn) * size, gy = (fx * sn + fy * c) * size;
                m.vx = m.vx * std::exp(-3 * dt) + (2 * U() - 1) * 900 * kick * kick * dt * px;
                m.vy = m.vy * std::exp(-3 * dt) + (2 * U() - 1) * 900 * kick * kick * dt * px;
                m.x += (gx - m.x) * std::min(1.0f, 3 * dt) + m.vx * dt;
                m.y += (gy - m.y) * std::min(1.0f, 3 * dt) + m.vy * dt;
                tx = m.x, ty = m.y;
            }
            const float tw = 0.55f + 0.45f * std::sin(5 * at + m.phase);
            dot(out.dots, st.mx + tx, st.my + ty, (2 + 2.5f * kick) * px, rgb_alpha(m.color, (0.35f + 0.5f * level) * tw));
        }
        break;
    }
    case 2: { // rings that start on hits
        if (g.hit && o.n < kMaxMotes) {
            Mote& r = o.m[o.n++];
            r.age = 0, r.life = 1.6f + 0.8f * U(), r.color = pal[irand(0, 255)];
            r.speed = (0.6f + 0.6f * g.snd[0]) * st.size;
        }
        int k = 0;
        for (int i = 0; i < o.n; ++i) {
            Mote r = o.m[i];
            r.age += dt;
            if (r.age >= r.life) continue;
            o.m[k++] = r;
            const float f = r.age / r.life;
            const float rad = st.size * 0.3f + r.speed * 1.6f * (1 - (1 - f) * (1 - f));
            const uint32_t c = rgb_alpha(r.color, (1 - f) * 0.9f);
            constexpr int kSteps = 56;
            float x0 = st.mx + rad, y0 = st.my;
            for (int s = 1; s <= kSteps; ++s) {
                const float a = float(s) / kSteps * float(kTwoPi);
                const float x1 = st.mx + rad * std::cos(a), y1 = st.my + rad * std::sin(a);
                seg(out.segs, x0, y0, x1, y1, (2.4f - 1.6f * f) * px, c);
                x0 = x1, y0 = y1;
            }
        }
        o.n = k;
        break;
    }
    case 3: { // rising lights
        for (int k = 0; k < 3 && o.n < 140; ++k) {
            Mote& m = o.m[o.n++];
            m.x = st.ax + st.aw * U(), m.y = st.ay + st.ah + 10 * px;
            m.speed = (25 + 45 * U()) * px, m.phase = float(kTwoPi) * U();
            m.color = pal[irand(0, 255)];
        }
        for (int i = 0; i < o.n; ++i) {
            Mote& m = o.m[i];
            m.y -= (2.5f * slow + 1 + 3 * kick) * m.speed * dt;
            if (m.y < st.ay - 10 * px) m.y = st.ay + st.ah + 10 * px;
            const float x = m.x + 25 * px * std::sin(1.3f * at + m.phase);
            const float b = (0.5f * std::sin(9 * at + m.phase) + 0.5f) * (0.5f * level + 0.35f + 0.4f * kick);
            dot(out.dots, x, m.y, (2.5f + 1.5f * b) * px, rgb_alpha(whiten(m.color, 0.3f), b));
        }
        break;
    }
    case 5: { // bursts of particles from random places on hits
        if (g.hit) {
            const int count = irand(3, 8);
            const float bx = st.ax + st.aw * (0.1f + 0.8f * U()), by = st.ay + st.ah * (0.1f + 0.8f * U());
            const uint32_t c = pal[irand(0, 255)];
            for (int k = 0; k < count * 4 && o.n < kMaxMotes; ++k) {
                Mote& m = o.m[o.n++];
                const float a = float(kTwoPi) * U(), v = (80 + 220 * U()) * px;
                m.x = bx, m.y = by, m.vx = v * std::cos(a), m.vy = v * std::sin(a);
                m.age = 0, m.life = 0.9f + 0.6f * U(), m.color = whiten(c, 0.3f * U());
            }
        }
        int k = 0;
        for (int i = 0; i < o.n; ++i) {
            Mote m = o.m[i];
            m.age += dt;
            if (m.age >= m.life) continue;
            m.vy += 120 * px * dt;
            m.vx *= std::exp(-1.5f * dt), m.vy *= std::exp(-1.5f * dt);
            const float x0 = m.x, y0 = m.y;
            m.x += m.vx * dt, m.y += m.vy * dt;
            o.m[k++] = m;
            const float f = 1 - m.age / m.life;
            seg(out.segs, x0 - m.vx * 0.03f, y0 - m.vy * 0.03f, m.x, m.y, 1.8f * px, rgb_alpha(m.color, f));
        }
        o.n = k;
        break;
    }
    case 7: { // flying wire bodies
        if (o.n == 0) {
            for (o.n = 0; o.n < 4; ++o.n) {
                Mote& b = o.m[o.n];
                b.x = st.ax + st.aw * U(), b.y = st.ay + st.ah * U();
                b.vx = (irand(0, 1) ? 1 : -1) * (30 + 50 * U()) * px, b.vy = (2 * U() - 1) * 25 * px;
                b.phase = float(kTwoPi) * U(), b.speed = 0.5f + U(), b.z = 0.5f + 0.6f * U();
                o.body_model[o.n] = irand(0, kModels - 1);
            }
        }
        fly_bodies(st, dt, pal, out);
        break;
    }
    case 9: plasma(st, pal, out); break;
    case 10: { // orbit figures: models that morph into each other, tilted and spinning
        o.orbit_t += dt * (0.18f + 0.3f * slow);
        if (o.orbit_t >= 1) {
            o.orbit_t = 0;
            o.orbit_a = o.orbit_b;
            o.orbit_b = (o.orbit_b + irand(1, kModels - 1)) % kModels;
        }
        const float f = smoothstep(clampf((o.orbit_t - 0.55f) / 0.45f, 0, 1));
        int a = o.orbit_a, b = o.orbit_b;
        if (g.figure_model >= 0) a = b = g.figure_model;
        const float scale = st.size * 0.55f * (1 + 0.12f * kick) * g.zoom;
        draw_morph(a, b, f, 0.7f * at + g.yaw, 0.35f + 0.2f * std::sin(0.4f * at), scale, st.mx, st.my, pal,
                   0.55f + 0.4f * level, (1.3f + kick) * px, out.segs);
        break;
    }
    default: break; // 8: none
    }
}

void fly_bodies(const Stage& st, float dt, const uint32_t* pal, Out& out) {
    Overlays& o = g_ov;
    const float kick = g.snd[5], at = float(g.at);
    for (int i = 0; i < o.n && i < 4; ++i) {
        Mote& b = o.m[i];
        const float boost = 1 + 1.5f * g.snd[4] + 2 * kick;
        b.x += b.vx * boost * dt, b.y += b.vy * boost * dt;
        const float margin = st.size * 0.4f;
        if (b.x < st.ax - margin) b.x = st.ax + st.aw + margin * 0.9f;
        if (b.x > st.ax + st.aw + margin) b.x = st.ax - margin * 0.9f;
        if (b.y < st.ay - margin) b.y = st.ay + st.ah + margin * 0.9f;
        if (b.y > st.ay + st.ah + margin) b.y = st.ay - margin * 0.9f;
        const float scale = st.size * 0.16f * b.z * (1 + 0.25f * kick);
        draw_wire(o.body_model[i], b.phase + at * 0.6f * b.speed, 0.5f * at * b.speed + b.phase, scale, b.x, b.y,
                  pal + 32 * i, 0.7f + 0.3f * g.snd[3], (1.2f + kick) * st.px, out.segs);
    }
}

// A plasma of glow dots on a grid: sums of waves give each dot its colour and size.
void plasma(const Stage& st, const uint32_t* pal, Out& out) {
    const float at = float(g.at), bass = g.sm[0], mid = g.sm[1];
    const int cols = 26, rows = std::max(6, int(26 * st.ah / std::max(1.0f, st.aw)));
    const float dx = st.aw / cols, dy = st.ah / float(rows);
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < cols; ++i) {
            const float x = (float(i) + 0.5f) / cols * 6, y = (float(j) + 0.5f) / float(rows) * 6 * st.ah / st.aw;
            float v = std::sin(x + at) + std::sin(0.7f * y - 1.3f * at) + std::sin(0.5f * (x + y) + 0.9f * at) +
                      std::sin(std::sqrt((x - 3) * (x - 3) + (y - 2) * (y - 2)) * (1.5f + bass) - 2 * at);
            v = v * 0.25f + 0.5f;
            const uint32_t c = g.plasma_scheme ? pal[int(v * 255) & 255] : pal[(int(v * 180) + int(30 * at)) & 255];
            // overlapping soft dots on a staggered grid blend into one flowing field
            const float r = (0.55f + 0.7f * v * v + 0.2f * mid) * std::min(dx, dy);
            const float ox = (j & 1) ? 0.5f * dx : 0;
            dot(out.dots, st.ax + (float(i) + 0.25f) * dx + ox, st.ay + (float(j) + 0.5f) * dy, r,
                rgb_alpha(c, 0.18f + 0.4f * v));
        }
}

// 10.4 The light rig.
void draw_light_rig(const Stage& st, float dt, Out& out) {
    LightRig& l = g.light;
    const float level = g.snd[3], kick = g.snd[5], at = float(g.at);
    l.phase += ((2.5 * g.snd[4] + 1) * l.speed + 0.6 * kick) * dt;
    const float I = clampf((0.42f * level + 0.06f + 0.7f * kick) * (0.35f * g.snd[2] * std::sin(37 * at) + 1), 0, 1);
    const float ph = float(l.phase);
    if (l.fan) {
        for (int i = 0; i < l.beams; ++i) {
            const float a = float(kTwoPi) * float(i) / float(l.beams) + ph;
            const float len = st.reach;
            const uint32_t c = l.palette[(256 * i / l.beams + int(10 * at)) & 255];
            beam(out, st.mx, st.my, st.mx + len * std::cos(a), st.my + len * std::sin(a), 3 * st.px,
                 float(l.width) * len * 0.45f, c, 0.4f * I);
        }
    }
    if (l.spots) {
        for (int i = 0; i < l.spot_count; ++i) {
            const float x = (float(i) + 0.5f) * st.ww / float(l.spot_count), y = st.ay;
            const float a = float(kPi) / 2 + 0.55f * std::sin(2.3f * ph + 1.9f * float(i));
            const float len = st.ah * 1.15f;
            const uint32_t c = i % 2 ? 0xA0C8FF : 0xFFE0B0;
            beam(out, x, y, x + len * std::cos(a), y + len * std::sin(a), 8 * st.px, float(l.width) * len * 0.9f, c, 0.45f * I);
            dot(out.beam_dots, x, y, 18 * st.px, rgb_alpha(c, 0.3f + 0.6f * I));
        }
    }
    if (l.head) {
        const float hx = st.cx + 0.42f * st.aw * std::sin(0.9f * ph), hy = st.cy + 0.36f * st.ah * std::sin(1.3f * ph + 1);
        const uint32_t c = l.palette[int(40 * at) & 255];
        beam(out, hx, hy, hx - st.reach, hy, 4 * st.px, float(l.width) * st.reach * 0.35f, c, 0.4f * I);
        beam(out, hx, hy, hx + st.reach, hy, 4 * st.px, float(l.width) * st.reach * 0.35f, c, 0.4f * I);
        dot(out.beam_dots, hx, hy, 26 * st.px, rgb_alpha(whiten(c, 0.5f), 0.5f + 0.5f * I));
        static const float kAt[5] = {0.35f, 0.7f, 1.2f, 1.55f, 1.9f};
        static const int kCol[5] = {30, 80, 130, 180, 230};
        for (int k = 0; k < 5; ++k) {
            const float x = hx + (st.cx - hx) * kAt[k], y = hy + (st.cy - hy) * kAt[k];
            dot(out.beam_dots, x, y, (6 + 5 * float(k % 3)) * st.px, rgb_alpha(l.palette[kCol[k]], 0.25f * I));
        }
    }
}

// 10.5 Fog: large soft blobs drifting through the scene, thicker with the bass and the kick.
void draw_fog(const Stage& st, float dt, Out& out) {
    LaserFog& f = g.lf;
    for (int k = 0; k < 2; ++k) f.fog_off[k] = std::fmod(f.fog_off[k] + f.fog_speed[k] * (1 + 2.5 * g.snd[4]) * dt + 256, 256.0);
    const float kick = g.snd[5], level = g.snd[3];
    float a = f.disco ? std::min(0.9f, 0.42f + 0.15f * g.snd[0] + 0.4f * g.disco_flash)
                      : clampf((0.3f * g.snd[0] + 0.1f + 0.35f * kick) * float(f.fog_density), 0, 0.75f);
    const uint32_t base = f.lasers ? f.laser_col[0] : (f.disco ? 0x9AAAD8u : f.fog_col);
    const uint32_t c = shade(base | 0xFF000000u, std::min(1.0f, 0.45f + 0.55f * (kick + level)));
    const float r = std::max(st.aw, st.ah) * 0.28f;
    for (int i = 0; i < 12; ++i) {
        const float u = std::fmod(float(f.fog_off[0]) / 256 + 0.37f * float(i) + 0.05f * std::sin(float(f.fog_off[2]) + float(i)), 1.0f);
        const float v = std::fmod(float(f.fog_off[1]) / 256 + 0.61f * float(i) * 0.7f, 1.0f);
        const float x = st.ax - r * 0.5f + (st.aw + r) * u, y = st.ay - r * 0.3f + (st.ah + r * 0.6f) * v;
        dot(out.dots, x, y, r * (0.8f + 0.4f * std::sin(float(i) * 1.7f)), rgb_alpha(c, a * 0.22f));
    }
}

// 10.6 Lasers in twelve arrangements around the scene centre.
void laser_ray(Out& out, const Stage& st, float x0, float y0, float ang, uint32_t col, float a) {
    const float len = st.reach * 1.2f;
    const float x1 = x0 + len * std::cos(ang), y1 = y0 + len * std::sin(ang);
    beam(out, x0, y0, x1, y1, 2 * st.px, 14 * st.px, col, 0.35f * a);
    seg(out.segs, x0, y0, x1, y1, 1.1f * st.px, rgb_alpha(whiten(col, 0.35f), 0.8f * a));
    dot(out.beam_dots, x0, y0, 7 * st.px, rgb_alpha(whiten(col, 0.6f), a));
}

void draw_lasers(const Stage& st, float dt, Out& out) {
    LaserFog& f = g.lf;
    const float level = g.snd[3], slow = g.snd[4], kick = g.snd[5];
    if (g.hit) {
        if (!f.lasers && g.spray_left > 0) g.laser_burst = 3 + 3 * U();
        else if (f.lasers && slow > 0.55f) g.laser_burst = 3 + 4 * U();
        if (U() < 0.5f) g.sweep_dir = -g.sweep_dir;
        else g.sweep_off = -0.6f + 1.2f * U();
    }
    if (env().laser >= 0) g.laser_burst = std::max(g.laser_burst, 1.0f);
    g.laser_burst = std::max(0.0f, g.laser_burst - dt);
    const bool firing = g.laser_burst > 0;
    if (level < 0.03f || (!f.lasers && !firing)) return;
    g.sweep += (2.6f * slow + 0.4f) * g.sweep_dir * dt;
    const float a = clampf((firing ? 0.75f : 0.4f) + 0.5f * kick, 0, 1) * clampf(level * 3, 0.3f, 1);
    const int n = f.laser_beams;
    const float sw = g.sweep, off = g.sweep_off;
    const float cx = st.cx, cy = st.cy, L = st.ax, R = st.ax + st.aw, T = st.ay, B = st.ay + st.ah;
    auto col = [&](int i) { return f.laser_col[i % 3]; };
    const float up = -float(kPi) / 2;
    switch (f.laser_style) {
    case 0: // fan from the bottom centre
        for (int i = 0; i < n; ++i)
            laser_ray(out, st, cx, B, up + (float(i) / float(n - 1) - 0.5f) * (1.0f + 0.5f * std::sin(sw)) + off * 0.3f, col(i), a);
        break;
    case 1: // fan from the top centre
        for (int i = 0; i < n; ++i)
            laser_ray(out, st, cx, T, -up + (float(i) / float(n - 1) - 0.5f) * (1.2f + 0.5f * std::sin(sw)), col(i), a);
        break;
    case 2: // crossing fans from the bottom corners
        for (int i = 0; i < n; ++i) {
            const float s = float(i) / float(n - 1);
            laser_ray(out, st, L, B, up + 0.2f + 0.9f * s + 0.35f * std::sin(sw), col(i), a);
            laser_ray(out, st, R, B, up - 0.2f - 0.9f * s - 0.35f * std::sin(sw), col(i + 1), a);
        }
        break;
    case 3: // a turning star from the centre
        for (int i = 0; i < 2 * n; ++i) laser_ray(out, st, cx, cy, sw + float(kTwoPi) * float(i) / float(2 * n), col(i), a);
        break;
    case 4: // scanners from the side edges, climbing and falling
        for (int i = 0; i < n; ++i) {
            const float y = cy + 0.45f * st.ah * std::sin(sw + float(i) * 0.7f);
            laser_ray(out, st, L, y, 0.12f * std::sin(1.7f * sw + float(i)), col(i), a);
            laser_ray(out, st, R, cy - (y - cy), float(kPi) + 0.12f * std::sin(1.3f * sw + float(i)), col(i + 1), a);
        }
        break;
    case 5: { // from the four corners to a wandering focus
        const float fx = cx + 0.3f * st.aw * std::sin(sw), fy = cy + 0.25f * st.ah * std::sin(1.3f * sw + off);
        const float xs[4] = {L, R, L, R}, ys[4] = {T, T, B, B};
        for (int k = 0; k < 4; ++k)
            for (int i = 0; i < (n + 1) / 2; ++i)
                laser_ray(out, st, xs[k], ys[k], std::atan2(fy - ys[k], fx - xs[k]) + 0.06f * float(i - n / 4), col(k), a);
        break;
    }
    case 6: // zigzag from the top corners
        for (int i = 0; i < n; ++i) {
            const float s = float(i) / float(n - 1);
            laser_ray(out, st, L + 0.1f * st.aw, T, 0.25f + 1.1f * s + 0.25f * std::sin(sw), col(i), a);
            laser_ray(out, st, R - 0.1f * st.aw, T, float(kPi) - 0.25f - 1.1f * s - 0.25f * std::sin(sw), col(i), a);
        }
        break;
    case 7: // a sheet of parallel beams from the bottom edge, tilting together
        for (int i = 0; i < 3 * n; ++i) {
            const float x = L + st.aw * (float(i) + 0.5f) / float(3 * n);
            laser_ray(out, st, x, B, up + 0.45f * std::sin(sw) + off * 0.2f, col(i), a * 0.7f);
        }
        break;
    case 8: // fan from the meter that jumps on the beat
        for (int i = 0; i < n; ++i)
            laser_ray(out, st, st.mx, st.my, up + off * 2 + (float(i) / float(n - 1) - 0.5f) * 2.2f + 0.3f * std::sin(sw), col(i), a);
        break;
    case 9: // two counter-turning fans from the middle of the sides
        for (int i = 0; i < n; ++i) {
            const float s = (float(i) / float(n - 1) - 0.5f) * 1.4f;
            laser_ray(out, st, L, cy, s + 0.5f * std::sin(sw), col(i), a);
            laser_ray(out, st, R, cy, float(kPi) + s - 0.5f * std::sin(sw), col(i + 2), a);
        }
        break;
    case 10: { // a web: a star polygon of beams across a turning circle
        const int pts = 2 * n + 1;
        const float r = 0.48f * std::min(st.aw, st.ah) * (1 + 0.1f * kick);
        for (int i = 0; i < pts; ++i) {
            const float a0 = sw * 0.5f + float(kTwoPi) * float(i) / float(pts);
            const float a1 = sw * 0.5f + float(kTwoPi) * float(i + n) / float(pts);
            const float x0 = cx + r * std::cos(a0), y0 = cy + r * std::sin(a0);
            const float x1 = cx + r * std::cos(a1), y1 = cy + r * std::sin(a1);
            seg(out.segs, x0, y0, x1, y1, 1.3f * st.px, rgb_alpha(whiten(col(i), 0.3f), 0.8f * a));
            beam(out, x0, y0, x1, y1, 3 * st.px, 3 * st.px, col(i), 0.3f * a);
            dot(out.beam_dots, x0, y0, 6 * st.px, rgb_alpha(col(i), a));
        }
        break;
    }
    default: // 11: a rain of vertical beams from the ceiling, marching with the sweep
        for (int i = 0; i < 2 * n; ++i) {
            const float u = std::fmod(float(i) / float(2 * n) + 0.1f * sw + 10, 1.0f);
            laser_ray(out, st, L + st.aw * u, T, -up + 0.08f * std::sin(sw + float(i)), col(i), a);
        }
        break;
    }
}

// 10.7 Disco: light spots in five arrangements, brighter on the beat.
void draw_disco(const Stage& st, float dt, Out& out) {
    LaserFog& f = g.lf;
    g.disco_flash *= std::exp(-9 * dt);
    if (g.hit && g.snd[4] > 0.35f) g.disco_flash = 1;
    if (!f.disco) return;
    const float at = float(g.at), e = 0.5f + 0.5f * g.disco_flash;
    const int n = f.disco_spots;
    const float px = st.px;
    auto col = [&](int i) { return f.disco_col[i & 1]; };
    switch (f.disco_style) {
    case 0: { // a mirror ball: reflections wander over the walls, a few rays reach them
        const float bx = st.cx, by = st.ay + 0.12f * st.ah;
        dot(out.beam_dots, bx, by, 34 * px, rgb_alpha(0xFFFFFF, 0.6f + 0.4f * e));
        dot(out.beam_dots, bx, by, 12 * px, rgb_alpha(0xFFFFFF, 1));
        const int spots = n * 3;
        for (int i = 0; i < spots; ++i) {
            // the mirrors of a Fibonacci sphere, turning
            const float lon = 0.35f * at + float(i) * 2.39996f, lat = std::asin(1 - 2 * (float(i) + 0.5f) / float(spots));
            const float z = std::cos(lat) * std::cos(lon);
            if (z < 0) continue;
            const float x = st.cx + 0.55f * st.aw * std::cos(lat) * std::sin(lon), y = st.cy + 0.5f * st.ah * std::sin(lat);
            const uint32_t c = whiten(col(i), 0.35f);
            dot(out.beam_dots, x, y, (10 + 12 * z) * px, rgb_alpha(c, std::min(1.0f, e * (0.7f + 0.5f * z))));
            if (i % 3 == 0) beam(out, bx, by, x, y, 2 * px, 10 * px, col(i), 0.3f * e * z);
        }
        break;
    }
    case 1: // moving heads: pools of light on the floor with cones from the ceiling
        for (int i = 0; i < std::min(n, 8); ++i) {
            const float x = st.cx + 0.42f * st.aw * std::sin(0.5f * at * (1 + 0.13f * float(i)) + float(i) * 1.7f);
            const float y = st.ay + st.ah * (0.72f + 0.18f * std::sin(0.7f * at + float(i)));
            const float sx = st.ax + st.aw * (float(i) + 0.5f) / float(std::min(n, 8));
            beam(out, sx, st.ay, x, y, 6 * px, 60 * px, col(i), 0.3f * e);
            dot(out.beam_dots, x, y, 34 * px, rgb_alpha(col(i), 0.5f * e));
        }
        break;
    case 2: { // a ring of spots about the meter, turning
        const float r = 0.34f * std::min(st.aw, st.ah) * (1 + 0.12f * g.disco_flash);
        for (int i = 0; i < n; ++i) {
            const float a = float(kTwoPi) * float(i) / float(n) + 0.6f * at;
            const float x = st.mx + r * std::cos(a), y = st.my + r * std::sin(a);
            dot(out.beam_dots, x, y, (9 + 8 * g.disco_flash) * px, rgb_alpha(col(i), e));
            beam(out, st.mx, st.my, x, y, 2 * px, 10 * px, col(i), 0.12f * e);
        }
        break;
    }
    case 3: { // a grid that flashes in alternate squares on the beat
        const int cols = 6, rows = 4;
        const bool odd = (g.beats & 1) != 0;
        for (int j = 0; j < rows; ++j)
            for (int i = 0; i < cols; ++i) {
                const bool on = ((i + j) & 1) == odd;
                const float x = st.ax + st.aw * (float(i) + 0.5f) / cols, y = st.ay + st.ah * (float(j) + 0.5f) / rows;
                dot(out.beam_dots, x, y, (on ? 30 : 14) * px, rgb_alpha(col(i + j), on ? 0.6f * e : 0.12f));
            }
        break;
    }
    default: { // 4: a wash of colour beams crossing from the bottom corners, with their laser
        const float L = st.ax, R = st.ax + st.aw, B = st.ay + st.ah;
        for (int i = 0; i < n / 3; ++i) {
            const float s = std::sin(0.8f * at + float(i) * 0.9f);
            beam(out, L, B, st.cx + s * st.aw * 0.5f, st.ay, 6 * px, 90 * px, col(i), 0.22f * e);
            beam(out, R, B, st.cx - s * st.aw * 0.5f, st.ay, 6 * px, 90 * px, col(i + 1), 0.22f * e);
        }
        const float la = -float(kPi) / 2 + 0.7f * std::sin(1.3f * at);
        laser_ray(out, st, st.cx, B, la, f.disco_laser, 0.7f * e);
        break;
    }
    }
}

// 10.8 Smoke puffs from the meter's rim and the clap sparks.
void draw_puffs_and_sparks(const Stage& st, Out& out) {
    const uint32_t* pal = g.cur ? g.cur->palette : g.light.palette;
    for (int i = 0; i < g.puff_n; ++i) {
        const Puff& p = g.puffs[i];
        const float f = p.age / 1.6f;
        const float r = p.size * (4 + 22 * f) * st.px;
        const uint32_t c = whiten(pal[(i * 37) & 255], 0.5f);
        dot(out.dots, p.x * st.px, p.y * st.px, r, rgb_alpha(c, 0.32f * (1 - f) * (1 - f)));
    }
    for (int i = 0; i < g.spark_n; ++i) {
        const Spark& s = g.sparks[i];
        const float f = s.age / std::max(0.01f, s.life), a = 1 - f;
        const float x = s.x * st.px, y = s.y * st.px, r = (10 + 18 * f) * st.px;
        dot(out.front_dots, x, y, (6 + 6 * a) * st.px, rgb_alpha(s.color, a));
        seg(out.front_segs, x - r, y, x + r, y, 1.2f * st.px, rgb_alpha(s.color, 0.8f * a));
        seg(out.front_segs, x, y - r, x, y + r, 1.2f * st.px, rgb_alpha(s.color, 0.8f * a));
    }
}

// 10.9 The GPU's programs: escape-time kinds 0..3 while GPU fractals are on and the shader kinds
// 20..42 while GPU 3D is on become fractal draws over the scene square.
bool drawn_on_gpu(const Program& pr) {
    return pr.raster && ((pr.kind <= 3 && g.gpu_fractals) || (pr.kind >= 20 && g.gpu_3d));
}

void draw_gpu_kind(const Program& pr, const Stage& st, const Geometry& geo, float weight, Out& out) {
    if (weight <= 0.003f || !drawn_on_gpu(pr)) return;
    out.fractals.emplace_back();
    FractalDraw& fd = out.fractals.back();
    gpu_fractal::Params& p = fd.params;
    std::copy(pr.palette, pr.palette + 256, fd.palette);
    const float kick = g.snd[5], bass = g.snd[0];
    const double c1 = pr.clock[0];
    const float aspect = geo.sq_h / std::max(1.0f, geo.sq_w);
    p.pal_shift = float(6 * c1);
    p.light = float(0.6 * std::sin(0.1 * c1) + 0.8);
    if (pr.kind <= 3) {
        p.kind = pr.kind;
        double jp[8] = {};
        int32_t iter = 200;
        job_params(pr, jp, &iter);
        if (pr.kind == 0 || pr.kind == 2) {
            const double half = pr.scale * std::exp(-pr.depth);
            p.cx = pr.cx, p.cy = pr.cy, p.hw = half;
            p.iter = int32_t(std::min(pr.kind == 2 ? 240.0 : 400.0, 100 + 40 * std::log2(pr.scale / half)));
        } else {
            p.cx = 0, p.cy = 0, p.hw = jp[2] > 0 ? jp[2] : 1.5;
            p.c[0] = float(jp[3]), p.c[1] = float(jp[4]);
            p.iter = pr.kind == 1 ? 160 : 40;
            if (pr.kind == 3) p.pal_shift = float(8 * jp[3]);
        }
        p.hh = p.hw * aspect;
        p.ss = 1;
    } else {
        p.kind = 0;
        p.shader = pr.kind;
        const float dist = 2.7f / g.zoom;
        const float cyaw = std::cos(g.yaw), syaw = std::sin(g.yaw), cp = std::cos(g.pitch), sp = std::sin(g.pitch);
        const float cam[3] = {dist * syaw * cp, dist * sp, -dist * cyaw * cp};
        float fwd[3] = {-cam[0] / dist, -cam[1] / dist, -cam[2] / dist};
        float right[3] = {fwd[2], 0, -fwd[0]};
        const float rl = std::max(1e-4f, std::sqrt(right[0] * right[0] + right[2] * right[2]));
        right[0] /= rl, right[2] /= rl;
        const float up[3] = {right[1] * fwd[2] - right[2] * fwd[1], right[2] * fwd[0] - right[0] * fwd[2],
                             right[0] * fwd[1] - right[1] * fwd[0]};
        std::copy(cam, cam + 3, p.cam), std::copy(fwd, fwd + 3, p.fwd);
        std::copy(right, right + 3, p.right), std::copy(up, up + 3, p.up);
        p.param = float(pr.p[2]) + pr.variant;
        p.glow = 0.6f + 0.8f * g.snd[2];
        p.flash = kick;
        p.shift = float(4 * c1);
        p.time = float(g.at);
        std::copy(g.sm, g.sm + 3, p.bands);
        p.seed[0] = pr.variant > 0 ? pr.variant : float(pr.p[0]);
        p.seed[1] = float(pr.p[1]);
    }
    const float f = kick + g.snd[3];
    const uint8_t grey = uint8_t(f >= 1 ? 255 : std::lround((f * 0.68f + 0.32f) * 255));
    p.tint = 0xFF000000u | (uint32_t(grey) << 16) | (uint32_t(grey) << 8) | grey;
    RasterDraw l;
    const float grow = 1 + 0.12f * kick + 0.06f * bass;
    const float w = geo.sq_w * geo.px * grow, h = geo.sq_h * geo.px * grow;
    l.x = st.cx - w / 2, l.y = st.cy - h / 2, l.w = w, l.h = h;
    l.alpha = weight;
    l.tint = p.tint;
    l.fractal = int32_t(out.fractals.size() - 1);
    out.layers.push_back(std::move(l));
}

// Step 8: the patterns turn, the overlay plays, and the programs draw: the previous one first,
// the current one on top at the fade weight.
void draw_programs(const Stage& st, const Geometry& geo, float dt, Out& out) {
    if (g.cur && g.cur->has_pattern) shape(g.cur->pat, g.at, g.detail);
    if (g.prev && g.prev->has_pattern) shape(g.prev->pat, g.at, g.detail);
    if (!g.lf.disco && g.cur) overlay(st, dt, g.cur->palette, out);
    const float fade = g.prev ? g.fade_w : 1.0f;
    if (g.prev) {
        Program& pv = *g.prev;
        // the raster layer draws the previous program's pictures here
        if (pv.raster) draw_gpu_kind(pv, st, geo, g.cur && g.cur->raster ? 1.0f : 1 - fade, out);
        else if (pv.back) draw_gpu_kind(*pv.back, st, geo, 0.6f * (1 - fade), out);
        if (pv.has_pattern) draw_pattern(pv, st, 1 - fade, out);
    }
    if (g.cur) {
        Program& cu = *g.cur;
        // the raster layer draws the current program's pictures here
        if (cu.raster) draw_gpu_kind(cu, st, geo, fade, out);
        else if (cu.back) draw_gpu_kind(*cu.back, st, geo, 0.6f * fade, out);
        if (cu.has_pattern) draw_pattern(cu, st, fade, out);
    }
}

// Step 10: the light rig (not under the disco lights), fog, lasers and disco.
void draw_lights(const Stage& st, float dt, Out& out) {
    if (!g.lf.disco) draw_light_rig(st, dt, out);
    if (g.lf.fog) draw_fog(st, dt, out);
    draw_lasers(st, dt, out);
    draw_disco(st, dt, out);
}

// In lasting silence the elements and pictures fade out over three seconds (the window shows its hint and
// the meter's eyes then); music brings them back within a second.
void rest_in_silence(float dt, Out& out) {
    const bool sound = g.overall > 0.02f || g.snd[5] > 0.05f;
    g.presence = clampf(g.presence + (sound ? dt : -dt / 3), 0, 1);
    if (g.presence >= 1) return;
    const float f = smoothstep(g.presence);
    for (std::vector<Seg>* v : {&out.segs, &out.front_segs})
        for (Seg& s : *v) s.color = shade_alpha(s.color, f);
    for (std::vector<Dot>* v : {&out.dots, &out.beam_dots, &out.front_dots})
        for (Dot& d : *v) d.color = shade_alpha(d.color, f);
    for (Beam& b : out.beams)
        for (uint32_t& c : b.color) c = shade_alpha(c, f);
    // The pictures rest too, or a still background would stay lit in silence.
    for (std::vector<RasterDraw>* v : {&out.layers, &out.front})
        for (RasterDraw& l : *v) l.alpha *= f;
    for (FractalDraw& fr : out.fractals) fr.params.tint = shade(fr.params.tint, f);
    for (Mesh& m : out.meshes)
        for (MeshV& v : m.verts) v.color = shade_alpha(v.color, f);
}

Stage stage_of(const Input& in, const Geometry& geo) {
    Stage st;
    st.px = geo.px;
    st.cx = geo.cx * geo.px, st.cy = geo.cy * geo.px;
    st.mx = (geo.cx + g.off_x) * geo.px, st.my = (geo.cy + g.off_y) * geo.px;
    st.ax = in.area_x * geo.px, st.ay = in.area_y * geo.px, st.aw = in.area_w * geo.px, st.ah = in.area_h * geo.px;
    st.ww = in.win_w * geo.px, st.wh = in.win_h * geo.px;
    st.reach = 0.75f * std::hypot(st.ww, st.wh);
    st.size = 0.5f * std::min(st.aw, st.ah);
    return st;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The frame

void build(const Input& in, double t, Out& out) {
    // 1. Frame start.
    if (out.segs.capacity() < kSegRoom) {
        // room for a busy frame, so that the lists do not grow while the music plays
        out.segs.reserve(kSegRoom);
        out.dots.reserve(4096);
        out.beams.reserve(512);
        out.beam_dots.reserve(512);
        out.front_segs.reserve(1024);
        out.front_dots.reserve(256);
        out.layers.reserve(16);
        out.fractals.reserve(4);
        out.front.reserve(8);
        out.quads.reserve(64);
    }
    out.layers.clear(), out.fractals.clear();
    recycle_meshes(out);
    out.segs.clear(), out.dots.clear(), out.front.clear(), out.beams.clear(), out.beam_dots.clear();
    out.quads.clear(), out.front_segs.clear(), out.front_dots.clear();
    if (g.gentle) {
        g.lf.disco = g.lf.lasers = false;
        g.blitz = false;
    }
    g.bend_live = g.corner_live = g.drift_live = g.object_live = g.shrink_live = false;
    double step = g.first ? 0.0 : t - g.last_t;
    if (!(step > 0)) step = 0;
    const float dt = static_cast<float>(std::min(step, kMaxDt));
    if (std::isfinite(t)) g.last_t = t;
    g.first = false;
    const float detail = in.compact ? 0.5f : 1.0f;
    if (detail != g.detail) {
        g.detail = detail;
        g.cur.reset();
        g.prev.reset();
    }

    music_signals(in, dt);  // 2.
    events(in, dt);         // 3.
    beat_log(in, dt);       // 4.
    detect_drop(dt);        // 5.
    clock_and_camera(dt);   // 6.

    // 7. Programs.
    if (!g.cur) first_program(t);
    else schedule_programs(t);

    // 8. The drawing square and the raster program in use.
    Geometry geo;
    geo.px = in.px > 0 && in.px < 16 ? in.px : 1;
    geo.cx = in.area_x + in.area_w / 2;
    geo.cy = in.area_y + in.area_h / 2;
    geo.sq_w = 2 * std::max(in.origin_x + in.win_w - geo.cx, geo.cx - in.origin_x);
    geo.sq_h = 2 * std::max(in.origin_y + in.win_h - geo.cy, geo.cy - in.origin_y);
    // A window of absurd or undefined size still gives pictures of a sane shape.
    const float aspect = geo.sq_w > 0 && geo.sq_h > 0 ? clampf(geo.sq_h / geo.sq_w, 0.05f, 20) : 1;
    const float px_width = geo.sq_w * geo.px;
    if (Program* r = raster_of(g.cur.get()))
        schedule_raster(*r, t, dt, aspect, px_width > 0 ? std::min(px_width, 16384.0f) : 960.0f);
    raster_layer({(geo.cx - geo.sq_w / 2) * geo.px, (geo.cy - geo.sq_h / 2) * geo.px, geo.sq_w * geo.px,
                  geo.sq_h * geo.px},
                 t, out);
    const Stage st = stage_of(in, geo);
    draw_programs(st, geo, dt, out);

    disco_dimming(out, dt);    // 9.
    draw_lights(st, dt, out);  // 10.
    effects(in, geo, dt, out); // 11.-18.
    draw_puffs_and_sparks(st, out);
    rest_in_silence(dt, out);
}

Ball ball(const Input& in, double t) {
    Ball b;
    const float cap = (in.compact ? 0.6f : 0.66f) * in.area_h * g.zoom;
    b.r = std::max(0.0f, std::min(0.44f * in.area_w * g.zoom, cap));
    b.x = in.area_x + in.area_w / 2;
    b.y = in.area_y + in.area_h / 2;
    if (!in.compact) b.y += 0.025f * b.r * float(std::sin(0.6 * t));
    return b;
}

Square back_rect(const Ball& b) { return {b.x - 1.04f * b.r, b.y - 1.04f * b.r, 2.08f * b.r}; }

void paint_back(const Ball& b) {
    const float r = b.r, c = 1.04f * r;
    gfx::fill_radial(c, c, 1.03f * r, c, c, 0, 0x60000000, 0x00000000);
    gfx::fill_radial(c, c, r, c - 0.25f * r, c - 0.3f * r, 0, 0xC0122040, 0xE003050B);
    gfx::stroke_circle(c, c, r - std::max(1.0f, 0.012f * r), 0x553C6EAA, std::max(1.0f, 0.02f * r));
}

void paint_front(const Ball& b) {
    const float r = b.r, c = 1.04f * r;
    gfx::fill_radial(c, c, r, c, c, 0, 0x00A0C8FF, 0x38A0C8FF);
    const float hx = c - 0.36f * r, hy = c - 0.42f * r;
    gfx::fill_radial(hx, hy, 0.42f * r, hx, hy, 0, 0x36FFFFFF, 0x00FFFFFF);
    const float sx = c - 0.42f * r, sy = c - 0.5f * r;
    gfx::fill_radial(sx, sy, 0.09f * r, sx, sy, 0, 0xB0FFFFFF, 0x00FFFFFF);
    const float lx = c + 0.3f * r, ly = c + 0.58f * r;
    gfx::fill_radial(lx, ly, 0.3f * r, lx, ly, 0, 0x1CFFFFFF, 0x00FFFFFF);
    gfx::stroke_circle(c, c, r - 0.5f, 0x70C8DCFF, std::max(1.0f, 0.008f * r));
}

void set_gpu_fractals(bool on) { g.gpu_fractals = on; }
void set_gpu_3d(bool on) { g.gpu_3d = on; }
void set_gpu_post(bool on) {
    g.gpu_post = on;
    if (!on) g.post_fx = -1, g.post_follow = -1;
}
void set_gpu_echo(bool on) { g.gpu_echo = on; }

void set_light_load(bool on) {
    if (on && !g.light_load && g.cur && is_shader_family(g.cur->family)) g.force_next = true;
    g.light_load = on;
}

void set_reduce_flashes(bool on) {
    if (on && !g.gentle && g.cur && g.cur->raster) {
        const int k = g.cur->kind;
        if (k == 12 || k == 15 || k == 16 || k == 19 || k == 37 || k == 38) g.force_next = true;
    }
    g.gentle = on;
}

bool reduce_flashes() { return g.gentle; }
float kick() { return g.snd[5]; }
const std::string& label() { return g.label; }
int64_t label_serial() { return g.label_serial; }
void next_pattern() { g.force_next = true; }

void rotate(float dx, float dy) {
    g.yaw += 0.01f * dx;
    g.pitch = clampf(g.pitch + 0.008f * dy, -1, 1.2f);
}
void grab() {
    g.grabbed = true;
    g.vel = 0;
}
void release(float v) {
    g.grabbed = false;
    g.vel = std::fabs(v) < 5 ? 0.0f : clampf(0.01f * v, -3, 3) - 0.14f;
}
void zoom(float steps) { g.zoom = clampf(g.zoom * std::pow(1.08f, -steps), 0.6f, 1.15f); }
void reset_view() {
    g.yaw = 0.5f, g.pitch = 0.22f, g.zoom = 1, g.vel = 0;
}
int pick_band(float, float) { return -1; }
float units_per_db(int) { return 1; }

Status status() {
    Status s;
    s.family = g.cur ? g.cur->family : -1;
    s.prev_family = g.prev ? g.prev->family : -1;
    s.fade = g.fade_w;
    s.fade_len = g.fade_len;
    s.tag = g.cur ? g.cur->tag : 0;
    s.switches = g.switches;
    s.hits = g.hits_total;
    s.hit = g.hit, s.drum = g.drum, s.clap = g.clap, s.drop = g.drop;
    std::copy(g.snd, g.snd + 6, s.snd);
    s.music_clock = g.at;
    s.yaw = g.yaw, s.pitch = g.pitch, s.zoom = g.zoom, s.spin = g.vel;
    s.presence = g.presence;
    s.meter_mode = g.mode;
    s.mode_left = g.mode_left;
    s.overlay = g.overlay;
    s.echo_mode = g.echo_mode;
    s.meter_size = g.meter_size;
    s.disco = g.lf.disco, s.lasers = g.lf.lasers, s.fog = g.lf.fog;
    s.spray = g.spray_left > 0;
    s.puffs = g.puff_n;
    s.sparks = g.spark_n;
    s.strobe_open = g.strobe_on;
    s.raster_jobs = g.raster_jobs;
    return s;
}

void reset(uint32_t seed) {
    const RasterHooks hooks = g.hooks;
    g = State{};
    g_ov = Overlays{};
    g.hooks = hooks;
    g.rng.seed(seed);
    g.seeded = true;
}

void set_raster_hooks(const RasterHooks& hooks) { g.hooks = hooks; }

} // namespace scene3d
