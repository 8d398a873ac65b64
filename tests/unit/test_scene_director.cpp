// The visualizer's director driven by recorded input sequences (silence, a steady tempo of
// kicks, a quiet passage and a drop), checked through its output records and status; and the
// elements it draws (figures, overlays, lasers, disco) checked through their draw items.
#include "scene/scene3d.h"
#include "support/beat_run.h"
#include "support/music_render.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

using test_support::ScopedEnv;
using test_support::TempDir;

// Counts every operator new, so that a test can show that warm frames allocate nothing.
namespace {
std::atomic<long> g_news{0};
void* counted_new(std::size_t size) {
    g_news.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
} // namespace
void* operator new(std::size_t size) { return counted_new(size); }
void* operator new[](std::size_t size) { return counted_new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

std::vector<raster::Job> g_jobs;
void record_job(const raster::Job& j) { g_jobs.push_back(j); }
bool never_busy() { return false; }
std::shared_ptr<const raster::Image> no_image() { return nullptr; }

// Drives the director at 60 frames a second with bar levels and event counters.
struct Driver {
    scene3d::Input in;
    scene3d::Out out;
    float bars[62] = {};
    double t = 100;
    int frames = 0;

    explicit Driver(uint32_t seed = 7, bool null_bars = false) {
        scene3d::reset(seed);
        scene3d::set_raster_hooks({record_job, never_busy, no_image});
        g_jobs.clear();
        level(-66);
        in.bars = null_bars ? nullptr : bars;
        in.bars_peak = null_bars ? nullptr : bars + 31;
        in.meter_r = 300;
        in.beat_period = 0.5f;
    }
    ~Driver() { scene3d::set_raster_hooks({}); }
    void level(float db) {
        for (int i = 0; i < 31; ++i) bars[i] = db, bars[31 + i] = db;
    }
    void beat() {
        in.beat_count++;
        in.kick_count++;
    }
    void frame(double dt = 1.0 / 60) {
        t += dt;
        scene3d::build(in, t, out);
        ++frames;
    }
    // `seconds` of frames with a beat every `period` seconds (none when period <= 0); calls
    // `each` after every frame.
    template <class F>
    void run(double seconds, double period, F each) {
        double next = period > 0 ? period : 1e30;
        const int n = int(std::lround(seconds * 60));
        double local = 0;
        for (int i = 0; i < n; ++i) {
            local += 1.0 / 60;
            if (local >= next) {
                beat();
                next += period;
            }
            frame();
            each();
        }
    }
    void run(double seconds, double period = 0) {
        run(seconds, period, [] {});
    }
};

struct Switch {
    double t;
    bool hit;
    int family;
    double fade_len;
};

// Runs and records every program start.
template <class F>
std::vector<Switch> record(Driver& d, double seconds, double period, F each) {
    std::vector<Switch> sw;
    int64_t seen = scene3d::status().switches;
    d.run(seconds, period, [&] {
        const scene3d::Status s = scene3d::status();
        if (s.switches != seen) sw.push_back({d.t, s.hit, s.family, s.fade_len});
        EXPECT_EQ(s.switches, scene3d::label_serial()) << "the caption serial moves once per program start";
        seen = s.switches;
        each(s);
    });
    return sw;
}

TEST(SceneDirector, SilenceHoldsTheFirstProgramAndSpacesChangesBy30Seconds) {
    Driver d(11, /*null_bars=*/true);
    d.frame();
    const scene3d::Status first = scene3d::status();
    EXPECT_EQ(first.switches, 1);
    EXPECT_EQ(scene3d::label_serial(), 1);
    EXPECT_FALSE(scene3d::label().empty());
    EXPECT_GE(first.family, 0);
    EXPECT_LT(first.family, 72);
    const double start = d.t;
    const auto sw = record(d, 125, 0, [](const scene3d::Status& s) {
        EXPECT_FLOAT_EQ(s.snd[3], 0);
        EXPECT_FALSE(s.hit);
        EXPECT_EQ(s.meter_mode, 0);
        EXPECT_LE(s.mode_left, 5);
    });
    EXPECT_FLOAT_EQ(d.out.meter_dx, 0);
    EXPECT_FLOAT_EQ(d.out.meter_alpha, 1);
    EXPECT_TRUE(d.out.dots.empty()) << "no kick, no kick dot";
    ASSERT_FALSE(sw.empty());
    EXPECT_GE(sw[0].t - start, 30 - 1e-9);
    for (size_t i = 1; i < sw.size(); ++i) EXPECT_GE(sw[i].t - sw[i - 1].t, 30 - 1e-9);
    EXPECT_LE(sw.size(), 4u);
}

TEST(SceneDirector, SteadyBeatsSwitchShortProgramsOnTheFirstHitAfter32BeatsAnd8Seconds) {
    ScopedEnv fam("LUMA2_PATTERN", "33"); // interference pattern: a short program
    Driver d;
    d.level(-12);
    d.frame();
    double last = d.t;
    const double period = 0.2;
    const auto sw = record(d, 60, period, [](const scene3d::Status&) {});
    ASSERT_GE(sw.size(), 5u);
    for (const Switch& s : sw) {
        EXPECT_TRUE(s.hit) << "a change lands on a beat";
        EXPECT_EQ(s.family, 33);
        const double since = s.t - last;
        EXPECT_GT(since, 8);
        EXPECT_LT(since, 8 + period + 0.05) << "on the first hit once both conditions hold";
        EXPECT_TRUE(s.fade_len == 0.35 || (s.fade_len >= 0.8 && s.fade_len <= 4.2));
        last = s.t;
    }
    // Hits drive the kick envelope and the music clock runs faster with loud music.
    EXPECT_GT(scene3d::status().music_clock, 60 * 0.25);
}

TEST(SceneDirector, ADropCutsAfterFourSecondsWithAShortFadeAndAFullKick) {
    ScopedEnv fam("LUMA2_PATTERN", "33");
    Driver d;
    d.level(-10);
    d.frame();
    d.run(5, 0.5);
    d.level(-66); // a quiet passage
    d.run(2.5);
    d.level(-8);
    bool cut = false;
    record(d, 1.0, 0.5, [&](const scene3d::Status& s) {
        if (cut) return;
        if (s.switches == 2) {
            cut = true;
            EXPECT_TRUE(s.drop);
            EXPECT_DOUBLE_EQ(s.fade_len, 0.35);
            EXPECT_FLOAT_EQ(s.snd[5], 1.0f);
            EXPECT_EQ(s.prev_family, 33);
            EXPECT_LT(s.fade, 0.05f);
        }
    });
    EXPECT_TRUE(cut);
    d.run(0.4);
    EXPECT_EQ(scene3d::status().prev_family, -1) << "the fade is over after 0.35 s";
    EXPECT_FLOAT_EQ(scene3d::status().fade, 1);
}

TEST(SceneDirector, RequestsAndSwitchesTakeEffectOnTheNextFrame) {
    Driver d(3);
    d.level(-14);
    d.frame();
    d.run(1, 0.5);
    // next_pattern: on the very next frame, whatever the beats and timers say
    int64_t n = scene3d::status().switches;
    scene3d::next_pattern();
    d.frame();
    EXPECT_EQ(scene3d::status().switches, n + 1);
    d.frame();
    EXPECT_EQ(scene3d::status().switches, n + 1);

    // Light load: away from a shader program at once, and no shader program while it lasts.
    scene3d::set_gpu_3d(true);
    int guard = 0;
    while (scene3d::status().family < 49 && guard++ < 400) {
        scene3d::next_pattern();
        d.frame();
    }
    ASSERT_GE(scene3d::status().family, 49);
    n = scene3d::status().switches;
    scene3d::set_light_load(true);
    d.frame();
    EXPECT_EQ(scene3d::status().switches, n + 1);
    for (int i = 0; i < 150; ++i) {
        EXPECT_LT(scene3d::status().family, 49);
        scene3d::next_pattern();
        d.frame();
    }
    scene3d::set_light_load(false);

    // Reduce flashes while the log-polar figure (family 45) runs: away at once, never the
    // flashing families afterwards, and a weaker kick.
    guard = 0;
    while (scene3d::status().family != 45 && guard++ < 2000) {
        scene3d::next_pattern();
        d.frame();
    }
    ASSERT_EQ(scene3d::status().family, 45);
    n = scene3d::status().switches;
    scene3d::set_reduce_flashes(true);
    EXPECT_TRUE(scene3d::reduce_flashes());
    d.frame();
    EXPECT_EQ(scene3d::status().switches, n + 1);
    for (int i = 0; i < 150; ++i) {
        const int f = scene3d::status().family;
        EXPECT_TRUE(f != 41 && f != 44 && f != 45 && f != 48 && f != 66 && f != 67) << f;
        scene3d::next_pattern();
        d.frame();
    }
    float peak = 0;
    d.run(3, 0.5, [&] { peak = std::max(peak, scene3d::kick()); });
    EXPECT_NEAR(peak, 0.3f, 0.01f);
    EXPECT_FALSE(scene3d::status().disco);
    EXPECT_FALSE(scene3d::status().lasers);
    scene3d::set_reduce_flashes(false);

    // A change of the compact flag rebuilds the program on the same frame.
    n = scene3d::status().switches;
    const int tag = scene3d::status().tag;
    d.in.compact = true;
    d.frame();
    EXPECT_EQ(scene3d::status().switches, n + 1);
    EXPECT_NE(scene3d::status().tag, tag);
    EXPECT_EQ(scene3d::status().prev_family, -1);
}

TEST(SceneDirector, SameSeedAndInputGiveTheSameRun) {
    auto run = [](uint32_t seed) {
        Driver d(seed);
        std::vector<double> trace;
        d.level(-20);
        d.frame();
        d.run(40, 0.45, [&] {
            const scene3d::Status s = scene3d::status();
            if (s.hit) trace.push_back(s.family * 1000.0 + s.overlay * 10 + s.echo_mode);
            trace.push_back(d.out.post_amt + d.out.meter_scale + d.out.meter_dx);
        });
        d.level(-66);
        d.run(10);
        trace.push_back(double(scene3d::status().switches));
        trace.push_back(double(g_jobs.size()));
        return trace;
    };
    const auto a = run(5), b = run(5), c = run(6);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

TEST(SceneDirector, RasterJobsFollowTheProgramKindDetailAndGpu) {
    {
        ScopedEnv fam("LUMA2_PATTERN", "33"); // kind 4 every 0.08 s, 192 px wide at full detail
        Driver d;
        d.level(-20);
        d.run(2);
        ASSERT_GE(g_jobs.size(), 20u);
        EXPECT_LE(g_jobs.size(), 26u);
        for (const raster::Job& j : g_jobs) {
            EXPECT_EQ(j.kind, 4);
            EXPECT_EQ(j.tag, scene3d::status().tag);
            EXPECT_EQ(j.palette[0] >> 24, 0xFFu);
        }
        const int full = g_jobs.back().w;
        d.in.compact = true;
        d.in.win_w = 420, d.in.win_h = 150, d.in.area_w = 420, d.in.area_h = 150;
        g_jobs.clear();
        d.run(1);
        ASSERT_FALSE(g_jobs.empty());
        EXPECT_LT(g_jobs.back().w, full);
        EXPECT_EQ(g_jobs.back().tag, scene3d::status().tag);
    }
    {
        ScopedEnv fam("LUMA2_PATTERN", "29"); // Mandelbrot zoom: only when the picture no longer fits
        Driver d;
        d.level(-20);
        d.run(3);
        ASSERT_FALSE(g_jobs.empty());
        EXPECT_LE(g_jobs.size(), 3u) << "at most one per 1.2 s, and none while the picture fits";
        for (const raster::Job& j : g_jobs) {
            EXPECT_GE(j.w, 320);
            EXPECT_LE(j.w, 800);
            EXPECT_LE(j.iter, 200);
            EXPECT_GT(j.p[2], 0);
        }
        g_jobs.clear();
        scene3d::set_gpu_fractals(true);
        d.run(3);
        EXPECT_TRUE(g_jobs.empty()) << "the GPU draws the escape-time kinds";
    }
}

TEST(SceneDirector, EnvironmentOverridesAreClamped) {
    {
        ScopedEnv fam("LUMA2_PATTERN", "80");
        Driver d;
        d.frame();
        EXPECT_EQ(scene3d::status().family, 71);
    }
    {
        ScopedEnv fam("LUMA2_PATTERN", "-5");
        Driver d;
        d.frame();
        EXPECT_EQ(scene3d::status().family, 0);
    }
    {
        ScopedEnv fam("LUMA2_PATTERN", "");
        ScopedEnv life("LUMA2_PATTERN_SECONDS", "0.2"); // at least 1 s
        Driver d;
        d.level(-20);
        d.frame();
        const auto sw = record(d, 5.5, 0, [](const scene3d::Status&) {});
        ASSERT_GE(sw.size(), 4u);
        for (size_t i = 1; i < sw.size(); ++i) EXPECT_NEAR(sw[i].t - sw[i - 1].t, 1.0, 0.02);
    }
}

TEST(SceneDirector, CameraGestures) {
    Driver d;
    d.frame();
    scene3d::reset_view();
    scene3d::grab();
    const float yaw0 = scene3d::status().yaw;
    d.run(1);
    EXPECT_FLOAT_EQ(scene3d::status().yaw, yaw0) << "held still";
    scene3d::release(4);
    EXPECT_FLOAT_EQ(scene3d::status().spin, 0);
    d.run(1);
    EXPECT_NEAR(scene3d::status().yaw - yaw0, 0.14, 0.005);
    scene3d::release(1000);
    EXPECT_FLOAT_EQ(scene3d::status().spin, 3 - 0.14f);
    d.run(1);
    EXPECT_NEAR(scene3d::status().spin, (3 - 0.14) * std::exp(-1.6), 0.02);
    for (int i = 0; i < 50; ++i) scene3d::zoom(1);
    EXPECT_FLOAT_EQ(scene3d::status().zoom, 0.6f);
    for (int i = 0; i < 50; ++i) scene3d::zoom(-1);
    EXPECT_FLOAT_EQ(scene3d::status().zoom, 1.15f);
    scene3d::rotate(0, 1000);
    EXPECT_FLOAT_EQ(scene3d::status().pitch, 1.2f);
    scene3d::reset_view();
    EXPECT_FLOAT_EQ(scene3d::status().zoom, 1);
    // A stall counts as 0.2 s, a clock running backwards as none.
    const double clock = scene3d::status().music_clock;
    d.frame(5);
    EXPECT_NEAR(scene3d::status().music_clock - clock, 0.25 * 0.2, 1e-6);
    d.frame(-3);
    EXPECT_NEAR(scene3d::status().music_clock - clock, 0.25 * 0.2, 1e-6);
}

// A busy tempo of kicks and claps for three minutes: the meter wanders through its modes,
// stays inside the scene in the edge modes, the spray and episodes come and go, puffs stay
// within their cap, post effects rotate and the kick dot follows the hits.
TEST(SceneEffects, ABusyTempoDrivesTheMeterAndTheEffects) {
    Driver d(21);
    scene3d::set_gpu_post(true);
    scene3d::set_gpu_echo(true);
    d.level(-9);
    d.frame();
    bool modes[7] = {};
    bool spray = false, episode = false, pulse = false, spin = false, post = false, white = false, sparks = false;
    int max_puffs = 0, dot_frames = 0;
    float max_wobble = 0;
    int n = 0;
    d.run(180, 0.42, [&] {
        if (++n % 84 == 0) d.in.clap_count++;
        const scene3d::Status s = scene3d::status();
        modes[s.meter_mode] = true;
        spray |= s.spray;
        max_puffs = std::max(max_puffs, s.puffs);
        sparks |= s.sparks > 0;
        const scene3d::Out& o = d.out;
        episode |= o.episode >= 3 && o.episode <= 22;
        pulse |= o.meter_pulse > 0.5f;
        spin |= std::fabs(o.meter_spin) > 45;
        post |= o.post_fx >= 0 && o.post_amt > 0.5f;
        white |= o.white_flash > 0.5f;
        if (!o.dots.empty()) ++dot_frames;
        if (s.meter_mode == 2 || s.meter_mode == 4) {
            // inside the scene, with the meter's own radius
            EXPECT_LE(std::fabs(o.meter_dx), d.in.area_w / 2 + 1);
            EXPECT_LE(std::fabs(o.meter_dy), d.in.area_h / 2 + 1);
        }
        if (s.meter_mode != 1) max_wobble = std::max(max_wobble, std::fabs(o.meter_scale / s.meter_size - 1));
        EXPECT_GE(o.meter_alpha, 0);
        EXPECT_LE(o.meter_alpha, 1);
        EXPECT_TRUE(o.echo_on);
        EXPECT_GT(o.echo_decay, 0);
        EXPECT_LE(o.echo_decay, 1);
    });
    int distinct = 0;
    for (bool m : modes) distinct += m;
    EXPECT_GE(distinct, 3);
    EXPECT_TRUE(spray);
    EXPECT_TRUE(episode || pulse || spin);
    EXPECT_TRUE(post);
    EXPECT_GT(max_puffs, 0);
    EXPECT_LE(max_puffs, 60);
    EXPECT_GT(dot_frames, 1000);
    EXPECT_GT(max_wobble, 0);
    EXPECT_TRUE(white) << "claps in an open strobe window";
    EXPECT_TRUE(sparks) << "claps with the meter flash or the disco on";
}

TEST(SceneEffects, CompactAndReduceFlashesKeepTheSceneCalm) {
    ScopedEnv strobe("LUMA2_STROBE", "1");
    {
        Driver d(4);
        d.in.compact = true;
        d.in.win_w = 420, d.in.win_h = 150, d.in.area_w = 420, d.in.area_h = 150;
        d.level(-9);
        d.frame();
        int n = 0;
        d.run(150, 0.4, [&] {
            if (++n % 30 == 0) d.in.clap_count++;
            const scene3d::Status s = scene3d::status();
            EXPECT_EQ(s.meter_mode, 0);
            EXPECT_FALSE(s.spray);
            EXPECT_EQ(d.out.episode, 0);
            EXPECT_FLOAT_EQ(d.out.meter_pulse, 0);
            EXPECT_FLOAT_EQ(d.out.meter_spin, 0);
            EXPECT_FLOAT_EQ(d.out.white_flash, 0);
        });
    }
    {
        Driver d(5);
        scene3d::set_gpu_post(true);
        scene3d::set_reduce_flashes(true);
        d.level(-9);
        d.frame();
        int n = 0;
        float peak = 0;
        d.run(150, 0.4, [&] {
            if (++n % 30 == 0) d.in.clap_count++;
            if (n % 200 == 0) scene3d::next_pattern();
            const scene3d::Status s = scene3d::status();
            EXPECT_FLOAT_EQ(d.out.white_flash, 0);
            EXPECT_EQ(s.sparks, 0);
            EXPECT_FALSE(s.disco);
            EXPECT_TRUE(d.out.post_fx != 6 && d.out.post_fx != 7 && d.out.post_fx != 11) << d.out.post_fx;
            EXPECT_FLOAT_EQ(d.out.meter_flash, 0);
            peak = std::max(peak, scene3d::kick());
        });
        EXPECT_LE(peak, 0.3f + 1e-6f);
    }
    {
        // Without reduce flashes, the open strobe window turns loud claps into white flashes.
        Driver d(5);
        d.level(-9);
        d.frame();
        int n = 0;
        float white = 0;
        d.run(20, 0.4, [&] {
            if (++n % 30 == 0) d.in.clap_count++;
            white = std::max(white, d.out.white_flash);
        });
        EXPECT_GT(white, 0.9f);
    }
}

TEST(SceneEffects, EchoAndMeterOverrides) {
    {
        ScopedEnv echo("LUMA2_ECHO", "0");
        Driver d;
        scene3d::set_gpu_echo(true);
        d.level(-12);
        d.frame();
        d.run(20, 0.5, [&] {
            const scene3d::Out& o = d.out;
            ASSERT_TRUE(o.echo_on);
            EXPECT_FLOAT_EQ(o.echo_zoom, 1);
            EXPECT_FLOAT_EQ(o.echo_rot, 0);
            EXPECT_FLOAT_EQ(o.echo_swirl, 0);
            EXPECT_FLOAT_EQ(o.echo_hue, 0);
            EXPECT_NEAR(o.echo_decay, 0.8f, 1e-4f) << "0.8 per 1/60 s";
            const float s3 = scene3d::status().snd[3];
            const float level = s3 < 1.0f / 3 ? 0.6f + 1.2f * s3 : 1.0f;
            const float base = scene3d::status().disco ? 0.58f : 0.38f;
            EXPECT_NEAR(o.echo_alpha, (base + 0.18f * scene3d::kick()) * level, 1e-4f);
        });
    }
    {
        ScopedEnv echo("LUMA2_ECHO", "-1");
        Driver d;
        scene3d::set_gpu_echo(true);
        d.level(-12);
        d.run(3, 0.5, [&] { EXPECT_FALSE(d.out.echo_on); });
    }
    {
        // Mode 9 means 6: the meter flies out beyond the window and comes back.
        ScopedEnv mode("LUMA2_METER_MODE", "9");
        Driver d;
        d.level(-12);
        float far = 0;
        d.run(4, 0.5, [&] { far = std::max(far, std::hypot(d.out.meter_dx, d.out.meter_dy)); });
        EXPECT_EQ(scene3d::status().meter_mode, 6);
        EXPECT_GT(far, 0.5f * std::hypot(960.0f, 820.0f));
    }
    {
        // The spin test: quarter turns on the beat, four of them, then at rest.
        ScopedEnv spin("LUMA2_METER_SPIN", "2");
        Driver d;
        d.level(-12);
        float most = 0;
        d.run(6, 0.5, [&] { most = std::max(most, std::fabs(d.out.meter_spin)); });
        EXPECT_GT(most, 300);
        EXPECT_LE(most, 360.5f);
    }
    {
        ScopedEnv post("LUMA2_POST", "30"); // clamped to 17, and held
        Driver d;
        scene3d::set_gpu_post(true);
        d.level(-12);
        int on = 0, off = 0;
        d.run(60, 0.5, [&] {
            if (d.out.post_fx == 17) ++on;
            else if (d.out.post_fx == -1) ++off;
            else ADD_FAILURE() << d.out.post_fx;
        });
        EXPECT_GT(on, 60 * 10);
        EXPECT_GT(off, 60 * 10);
        scene3d::set_gpu_post(false);
        d.frame();
        EXPECT_EQ(d.out.post_fx, -1);
    }
}

std::atomic<long> g_job_count{0};
void count_job(const raster::Job&) { g_job_count++; }

TEST(SceneEffects, WarmFramesAllocateNothing) {
    ScopedEnv fam("LUMA2_PATTERN", "29"); // a long program: no beat switch within 45 s
    ScopedEnv life("LUMA2_PATTERN_SECONDS", "100000");
    Driver d(9);
    scene3d::set_raster_hooks({count_job, never_busy, no_image});
    scene3d::set_gpu_post(true);
    scene3d::set_gpu_echo(true);
    d.level(-10);
    d.run(5, 0.4);
    const long before = g_news.load();
    int n = 0;
    d.run(30, 0.4, [&] {
        if (++n % 40 == 0) d.in.clap_count++;
    });
    EXPECT_EQ(g_news.load() - before, 0);
    EXPECT_EQ(scene3d::status().switches, 1);
}

// The beat tracker's events from rendered drum patterns drive the director: programs change on
// the frames where a tracked beat arrives, never between beats.
TEST(SceneDirector, ProgramsChangeOnTrackedBeatsOfRenderedDrums) {
    if (testsup::soundfont_path().empty()) GTEST_SKIP() << "fluid-soundfont-gm is not installed";
    ScopedEnv fam("LUMA2_PATTERN", "33");
    ScopedEnv life("LUMA2_PATTERN_SECONDS", "1000"); // only the beat rule switches
    TempDir dir;
    int changes = 0;
    for (const testsup::Song& song : testsup::test_songs()) {
        if (song.name != "dnb174" && song.name != "house124" && song.name != "rock110") continue;
        testsup::Rendered r;
        std::string error;
        ASSERT_TRUE(testsup::render_song(song, dir.path(), &r, &error)) << error;
        const std::vector<testsup::BeatEvent> events = testsup::run_beats(r.mix, 0.06);
        const std::vector<double> beats = testsup::times_of(events, 'b');
        ASSERT_GT(beats.size(), 24u) << song.name;
        Driver d(17);
        d.level(-12);
        d.frame();
        const double start = d.t;
        size_t k = 0;
        double last_switch = d.t;
        int64_t seen = scene3d::status().switches;
        const double seconds = double(r.mix.frames()) / 48000;
        for (int i = 1; i < int(seconds * 60); ++i) {
            bool beat = false;
            while (k < events.size() && events[k].at <= i / 60.0) {
                const char kind = events[k++].kind;
                if (kind == 'b') d.in.beat_count++, beat = true;
                if (kind == 'k') d.in.kick_count++;
                if (kind == 'c') d.in.clap_count++;
            }
            d.t = start + i / 60.0 - 1.0 / 60;
            d.frame();
            const scene3d::Status s = scene3d::status();
            if (s.switches != seen) {
                ++changes;
                EXPECT_TRUE(beat) << song.name << " changed between beats at " << i / 60.0 << " s";
                EXPECT_GT(d.t - last_switch, 8) << song.name;
                last_switch = d.t;
                seen = s.switches;
            }
        }
    }
    EXPECT_GE(changes, 2);
}

} // namespace

namespace {

// Every draw item inside a generous box around the window, with a finite size.
template <class V> bool items_sane(const V& list, float w, float h) {
    for (const auto& s : list) {
        const float xs[2] = {s.x0, s.x1}, ys[2] = {s.y0, s.y1};
        for (int k = 0; k < 2; ++k)
            if (!std::isfinite(xs[k]) || !std::isfinite(ys[k]) || std::fabs(xs[k]) > 4 * w || std::fabs(ys[k]) > 4 * h)
                return false;
        if (!(s.width > 0 && s.width < 100)) return false;
    }
    return true;
}
bool dots_sane(const std::vector<scene3d::Dot>& list, float w, float h) {
    for (const scene3d::Dot& d : list)
        if (!std::isfinite(d.x) || !std::isfinite(d.y) || std::fabs(d.x) > 4 * w || std::fabs(d.y) > 4 * h ||
            !(d.radius > 0 && d.radius < 2 * w))
            return false;
    return true;
}

} // namespace

// The elements with music: every vector figure draws glowing lines or dots with its caption, and
// every overlay, laser arrangement and disco style draws items that lie where the window can
// show them; in silence everything rests in the dark.
TEST(SceneElements, EveryFigureOverlayLaserAndDiscoDraws) {
    const float w = 960, h = 820;
    auto music = [&](Driver& d, double seconds) {
        d.in.win_w = w, d.in.win_h = h, d.in.area_x = 30, d.in.area_y = 90, d.in.area_w = 900, d.in.area_h = 384;
        d.level(-14);
        d.run(seconds, 0.5);
    };
    for (int f = 0; f <= 28; ++f) {
        SCOPED_TRACE(f);
        ScopedEnv fam("LUMA2_PATTERN", std::to_string(f).c_str());
        ScopedEnv ov("LUMA2_OVERLAY", "8");
        Driver d(100 + f);
        music(d, 2);
        EXPECT_GT(d.out.segs.size() + d.out.dots.size(), 100u);
        EXPECT_TRUE(items_sane(d.out.segs, w, h));
        EXPECT_TRUE(dots_sane(d.out.dots, w, h));
        EXPECT_FALSE(scene3d::label().empty());
    }
    for (int k = 0; k <= 10; ++k) {
        SCOPED_TRACE("overlay " + std::to_string(k));
        ScopedEnv fam("LUMA2_PATTERN", "33");
        ScopedEnv ov("LUMA2_OVERLAY", std::to_string(k).c_str());
        ScopedEnv disco("LUMA2_DISCO", "0");
        Driver d(200 + k);
        music(d, 3);
        if (k != 8) {
            EXPECT_GT(d.out.segs.size() + d.out.dots.size(), 3u);
        }
        EXPECT_TRUE(items_sane(d.out.segs, w, h));
        EXPECT_TRUE(dots_sane(d.out.dots, w, h));
    }
    for (int k = 0; k <= 16; ++k) {
        const bool laser = k < 12;
        SCOPED_TRACE((laser ? "laser " : "disco ") + std::to_string(laser ? k : k - 12));
        ScopedEnv fam("LUMA2_PATTERN", "33");
        ScopedEnv ov("LUMA2_OVERLAY", "8");
        ScopedEnv l("LUMA2_LASER", laser ? std::to_string(k).c_str() : "");
        ScopedEnv dc("LUMA2_DISCO", laser ? "0" : std::to_string(k - 12 + 2).c_str());
        Driver d(300 + k);
        music(d, 3);
        EXPECT_GT(d.out.beams.size() + d.out.beam_dots.size(), 3u);
        EXPECT_TRUE(items_sane(d.out.segs, w, h));
        EXPECT_TRUE(dots_sane(d.out.beam_dots, w, h));
        for (const scene3d::Beam& b : d.out.beams)
            for (int c = 0; c < 4; ++c) ASSERT_TRUE(std::isfinite(b.x[c]) && std::isfinite(b.y[c]));
        // Then silence: within a few seconds nothing is left to see.
        d.level(-90);
        d.run(5, 0);
        size_t visible = 0;
        for (const scene3d::Seg& s : d.out.segs) visible += (s.color >> 24) > 2;
        for (const scene3d::Dot& s : d.out.dots) visible += (s.color >> 24) > 2;
        for (const scene3d::Beam& b : d.out.beams) visible += (b.color[0] >> 24) > 2;
        EXPECT_EQ(visible, 0u);
    }
}
