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
#include "ui/theme.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

std::shared_ptr<Program> make_program(int family, float detail) {
    auto pr = std::make_shared<Program>();
    pr->family = family;
    pr->tag = ++g.tag;
    if (family >= kFirstRaster) {
        pr->raster = true;
        pr->kind = family - kFirstRaster;
        make_raster(*pr, pr->kind, detail);
    } else {
        // The pattern generator fills the pattern itself; until then a pattern program carries
        // its caption, a palette and the raster background it is drawn over.
        pr->has_pattern = true;
        pr->label = kPatternCaption[family];
        random_palette(pr->palette);
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
struct Square {
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
void tunnel_wall(const Program& pr, const Square& sq, double t, float weight, Out& out) {
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
void draw_raster(const Program& pr, const Square& sq, double t, float weight, Out& out) {
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
void raster_layer(const Square& sq, double t, Out& out) {
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
    for (FractalDraw& fr : out.fractals) fr.tint = shade(fr.tint, f);
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

    const float radius = 0.5f * in.meter_r * g.size;
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

} // namespace

// ---------------------------------------------------------------------------------------------
// The frame

void build(const Input& in, double t, Out& out) {
    // 1. Frame start.
    if (out.segs.capacity() < kSegRoom) out.segs.reserve(kSegRoom);
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

    disco_dimming(out, dt); // 9.
    effects(in, geo, dt, out); // 11.-18.
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
    g.hooks = hooks;
    g.rng.seed(seed);
    g.seeded = true;
}

void set_raster_hooks(const RasterHooks& hooks) { g.hooks = hooks; }

} // namespace scene3d
