// nosan
// What the visualizer shows while music plays, on a private X server with openbox and a private
// sound server: programs of several kinds forced by their overrides (vector patterns with lasers,
// disco lights, overlays), in software rendering and on the GPU path, each drawing a busy picture
// that keeps changing; the GPU's draws, post effects and echo leave SDL's own drawing (the
// equaliser panel) exactly as software rendering draws it; a GPU program the driver refuses
// falls back to the CPU once and the window goes on. Pixels are judged by kind (lit or dark)
// and by change, never compared with stored pictures. With LUMAFON_TEST_SHOTS naming a directory
// the screenshots are kept there.
#include "core/settings.h"
#include "support/music_render.h"
#include "support/sound_checks.h"
#include "support/sound_server.h"
#include "support/window_app.h"
#include "support/x_server.h"
#include "ui/ui.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <string>
#include <vector>

using namespace testsup;

namespace {

int channel(uint32_t c, int k) { return int(c >> (8 * k)) & 255; }
int brightest(uint32_t c) { return std::max({channel(c, 0), channel(c, 1), channel(c, 2)}); }

// The visualizer's area of the 960 x 820 window with header and equaliser, the round meter in
// it, and the equaliser panel below, from the program's own layout code.
Settings g_settings;
struct Layout {
    gfx::Rect visual, lower;
    float cx = 0, cy = 0, ring = 0;
    Layout() {
        g_settings = Settings{};
        g_settings.collapsed = false;
        g_settings.head_folded = false;
        ui::init(&g_settings, false);
        ui::set_pixel_scale(1);
        ui::draw_base(960, 820);
        visual = ui::layout()[ui::kVisual];
        lower = ui::layout()[ui::kLower];
        const ui::BarView b = ui::bar_view();
        cx = b.cx, cy = b.cy, ring = 0.5f * b.size * 1.2f;
    }
};

// Samples of the scene (every 4th pixel of the area, without the meter and its rings).
struct Scene {
    std::vector<uint32_t> px;
    int lit = 0;
};
Scene scene_of(const Picture& p, const XWindow& w, const Layout& l) {
    Scene s;
    for (float y = l.visual.y + 4; y < l.visual.y + l.visual.h - 4; y += 4)
        for (float x = l.visual.x + 4; x < l.visual.x + l.visual.w - 4; x += 4) {
            if (std::hypot(x - l.cx, y - l.cy) < l.ring) continue;
            const uint32_t c = p.at(w.x + int(x), w.y + int(y));
            s.px.push_back(c);
            if (brightest(c) > 0x30) ++s.lit;
        }
    return s;
}
// A scene is lit, or has moved, where more than this many of its samples are (1 %).
int enough(const Scene& s) {
    return int(s.px.size() / 100);
}
// Samples that changed clearly between two pictures.
int changed(const Scene& a, const Scene& b) {
    int n = 0;
    for (size_t i = 0; i < a.px.size() && i < b.px.size(); ++i)
        for (int k = 0; k < 3; ++k)
            if (std::abs(channel(a.px[i], k) - channel(b.px[i], k)) > 0x20) {
                ++n;
                break;
            }
    return n;
}
// The equaliser panel's pixels: SDL's own drawing, the same whatever the scene does.
std::vector<uint32_t> panel_of(const Picture& p, const XWindow& w, const Layout& l) {
    std::vector<uint32_t> v;
    for (float y = l.lower.y + 2; y < l.lower.y + l.lower.h - 2; y += 3)
        for (float x = l.lower.x + 2; x < l.lower.x + l.lower.w - 2; x += 3) v.push_back(p.at(w.x + int(x), w.y + int(y)));
    return v;
}

// Pixels of the level rings' segments (lit or unlit, in their three zones; drawn at 92 % over
// the rings' dark backing) in the visualizer's area: how many, and the centre of the circle they lie on.
struct Rings {
    int n = 0;
    int lit = 0; // of the lit segments' colours alone, which a busy background hardly matches
    float x = 0, y = 0;
};
Rings rings_of(const Picture& p, const XWindow& w, const Layout& l) {
    static const int kColours[][3] = {{55, 209, 84}, {145, 221, 159}, {235, 194, 29}, {235, 55, 55},
                                      {22, 43, 33},  {44, 41, 26},    {44, 24, 30}};
    std::vector<float> xs, ys;
    int lit = 0;
    for (int y = int(l.visual.y) + 2; y < int(l.visual.y + l.visual.h) - 2; y += 2)
        for (int x = int(l.visual.x) + 2; x < int(l.visual.x + l.visual.w) - 2; x += 2) {
            const uint32_t c = p.at(w.x + x, w.y + y);
            for (const auto& k : kColours)
                if (std::abs(channel(c, 2) - k[0]) < 7 && std::abs(channel(c, 1) - k[1]) < 7 &&
                    std::abs(channel(c, 0) - k[2]) < 7) {
                    xs.push_back(float(x)), ys.push_back(float(y));
                    lit += &k - kColours < 4;
                    break;
                }
        }
    Rings r;
    r.n = int(xs.size());
    r.lit = lit;
    if (r.n == 0) return r;
    const auto median = [](std::vector<float> v) {
        std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    r.x = median(xs), r.y = median(ys);
    // The lit segments lie on one side and the median leans there; a circle fitted to the ring's
    // pixels near the meter (least squares on x^2 + y^2 + Dx + Ey + F) finds its centre from any
    // arc, and a second fit leaves out what lies off that circle.
    float radius = 1.3f * l.ring, spread = 1;
    for (int pass = 0; pass < 3; ++pass) {
        double a[3][4] = {};
        int n = 0;
        for (size_t i = 0; i < xs.size(); ++i) {
            const double dx = xs[i] - r.x, dy = ys[i] - r.y, d = std::hypot(dx, dy);
            if (d > radius * (1 + spread) || d < radius * (1 - spread)) continue;
            const double row[4] = {dx, dy, 1, -(dx * dx + dy * dy)};
            for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 4; ++k) a[j][k] += row[j] * row[k];
            ++n;
        }
        if (n < 20) break;
        for (int j = 0; j < 3; ++j) // Gauss-Jordan on the 3 x 3 normal equations
            for (int i = 0; i < 3; ++i)
                if (i != j)
                    for (int k = 3; k >= j; --k) a[i][k] -= a[i][j] / a[j][j] * a[j][k];
        const double d = a[0][3] / a[0][0], e = a[1][3] / a[1][1], f = a[2][3] / a[2][2];
        r.x += float(-d / 2), r.y += float(-e / 2);
        radius = float(std::sqrt(std::max(1.0, (d * d + e * e) / 4 - f)));
        spread = 0.3f;
    }
    return r;
}

const float* g_wav_l = nullptr;
const float* g_wav_r = nullptr;
float wav_l(int i) { return g_wav_l[i]; }
float wav_r(int i) { return g_wav_r[i]; }

class WindowScene : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        x_ = new XServer;
        if (!x_->start(1280, 1024)) error_ = x_->error().empty() ? "X server" : x_->error();
        gfx::init();
        // Two minutes of house music, rendered once.
        dir_ = make_temp_dir("lumafon-scene-music");
        for (const Song& song : test_songs()) {
            if (song.name != "house124") continue;
            Rendered r;
            std::string why;
            if (!render_song(song, dir_, &r, &why)) {
                music_error_ = why;
                return;
            }
            Sound loop;
            while (loop.frames() < 48000u * 120) {
                loop.left.insert(loop.left.end(), r.mix.left.begin(), r.mix.left.end());
                loop.right.insert(loop.right.end(), r.mix.right.begin(), r.mix.right.end());
            }
            g_wav_l = loop.left.data(), g_wav_r = loop.right.data();
            music_ = dir_ + "/house.wav";
            if (!write_wav(music_, int(loop.frames()), wav_l, wav_r)) music_error_ = "cannot write " + music_;
        }
        if (music_.empty() && music_error_.empty()) music_error_ = "no house song";
    }
    static void TearDownTestSuite() {
        gfx::shutdown();
        delete x_;
        x_ = nullptr;
        remove_tree(dir_);
    }
    void SetUp() override {
        ASSERT_TRUE(error_.empty()) << error_;
        if (!music_error_.empty()) GTEST_SKIP() << music_error_;
        ASSERT_TRUE(server_.start()) << server_.error();
        home_ = make_temp_dir("lumafon-scene");
        ASSERT_TRUE(start_player(player_, music_));
    }
    void TearDown() override {
        player_.stop();
        server_.stop();
        remove_tree(home_);
    }
    std::string shot(const std::string& name) { return x_->shot(home_, name); }

    // Starts the program with the environment `env`, waits until the music lights the scene,
    // then checks three pictures some time apart: each busy, each different from the one before.
    // Returns the equaliser panel of the last picture.
    std::vector<uint32_t> watch(const std::string& name, const std::vector<std::string>& env, int apart_ms,
                                WindowApp& app) {
        EXPECT_TRUE(app.start({"--expanded", "--header", "--size", "960x820", "--theme", "dark"}, env));
        if (!app.wait_shown()) {
            ADD_FAILURE() << name << "\n" << app.log();
            return {};
        }
        const XWindow w = app.info();
        const Layout l;
        Scene prev;
        const bool lit = wait_until([&] {
            Picture p(shot(name + "-0"));
            prev = scene_of(p, w, l);
            return prev.lit > enough(prev);
        }, 20000, 300);
        EXPECT_TRUE(lit) << name << ": " << prev.lit << " of " << prev.px.size() << " lit\n" << app.log();
        std::vector<uint32_t> panel;
        for (int i = 1; i <= 3; ++i) {
            Scene now;
            // A slow path may show one picture for a while: wait for the next one.
            const std::string file = name + "-" + std::to_string(i);
            const bool moved = wait_until([&] {
                Picture p(shot(file));
                now = scene_of(p, w, l);
                panel = panel_of(p, w, l);
                return changed(prev, now) > enough(now);
            }, 4 * apart_ms + 4000, apart_ms);
            EXPECT_TRUE(moved) << name << " picture " << i << ": " << changed(prev, now) << " of " << now.px.size()
                               << " samples changed";
            EXPECT_GT(now.lit, enough(now)) << name << " picture " << i;
            prev = now;
        }
        return panel;
    }

    static XServer* x_;
    static std::string error_, music_error_, music_, dir_;
    SoundServer server_;
    Child player_;
    std::string home_;
};

XServer* WindowScene::x_ = nullptr;
std::string WindowScene::error_, WindowScene::music_error_, WindowScene::music_, WindowScene::dir_;

// Software rendering (llvmpipe counts as such): a vector pattern with lasers, an attractor with
// the disco lights, a raster program with the star field, the multiplication circle with rings.
TEST_F(WindowScene, FamiliesMoveWithTheMusicInSoftwareRendering) {
    const std::vector<std::vector<std::string>> runs = {
        {"LUMA2_PATTERN=12", "LUMA2_LASER=3"},
        {"LUMA2_PATTERN=22", "LUMA2_DISCO=2"},
        {"LUMA2_PATTERN=46", "LUMA2_OVERLAY=0", "LUMA2_LASER=10"},
        {"LUMA2_PATTERN=15", "LUMA2_OVERLAY=2", "LUMA2_DISCO=6"},
    };
    int k = 0;
    for (const auto& env : runs) {
        const std::string name = "soft-" + std::to_string(k++);
        SCOPED_TRACE(name + " " + env[0] + " " + env[1]);
        WindowApp app(home_);
        watch(name, env, 700, app);
        EXPECT_NE(app.log().find("Crystal ball: GPU geometry with glow texture"), std::string::npos) << app.log();
        EXPECT_EQ(app.quit(SIGTERM), 0);
    }
}

// The GPU path forced on llvmpipe: a Mandelbrot zoom drawn by the shader, a post effect and the
// echo over the scene; the equaliser panel is exactly as software rendering draws it. Then the
// shader kinds' programs refused by the driver: the first draw fails, the window says so once,
// switches the GPU off and goes on drawing on the CPU.
TEST_F(WindowScene, GpuPathKeepsSdlDrawingAndFallsBackToTheCpu) {
    std::vector<uint32_t> soft, gpu;
    {
        WindowApp app(home_);
        soft = watch("panel-soft", {"LUMA2_PATTERN=29", "LUMA2_OVERLAY=8"}, 700, app);
        EXPECT_EQ(app.quit(SIGTERM), 0);
    }
    {
        WindowApp app(home_);
        gpu = watch("gpu", {"LUMA2_GPU=full", "LUMA2_GPU_LEVEL=2", "LUMA2_PATTERN=29", "LUMA2_OVERLAY=8",
                            "LUMA2_POST=10", "LUMA2_ECHO=3"},
                    1500, app);
        const std::string log = app.log();
        EXPECT_NE(log.find("GPU fractals: shader on OpenGL"), std::string::npos) << log;
        EXPECT_EQ(log.find("draw failed"), std::string::npos) << log;
        EXPECT_EQ(app.quit(SIGTERM), 0);
    }
    ASSERT_FALSE(soft.empty());
    ASSERT_EQ(soft.size(), gpu.size());
    size_t differ = 0;
    for (size_t i = 0; i < soft.size(); ++i) differ += soft[i] != gpu[i];
    EXPECT_EQ(differ, 0u) << "of " << soft.size() << " panel samples";
    {
        WindowApp app(home_);
        watch("gpu-broken", {"LUMA2_GPU=full", "LUMA2_GPU_LEVEL=2", "LUMA2_PATTERN=64", "LUMA2_OVERLAY=3",
                             "LUMA2_TEST_GPU_BREAK=3d-kinds"},
              1000, app);
        // The pattern's fractal layer comes up with the music, which may reach the scene only
        // after the pictures above; the CPU then goes on drawing the scene.
        const std::string warning = "GPU fractals: draw failed - back to the CPU";
        EXPECT_TRUE(wait_until([&] { return app.log().find(warning) != std::string::npos; }, 15000))
            << app.log();
        const XWindow w = app.info();
        const Layout l;
        const Scene before = scene_of(Picture(shot("gpu-broken-cpu-0")), w, l);
        Scene after;
        EXPECT_TRUE(wait_until(
            [&] {
                after = scene_of(Picture(shot("gpu-broken-cpu-1")), w, l);
                return changed(before, after) > enough(after) && after.lit > enough(after);
            },
            8000, 500))
            << changed(before, after) << " of " << after.px.size() << " samples changed, " << after.lit
            << " lit";
        const std::string log = app.log();
        const size_t first = log.find(warning);
        EXPECT_EQ(log.find("draw failed", first + warning.size()), std::string::npos) << log;
        EXPECT_EQ(app.quit(SIGTERM), 0);
    }
}

// The round meter goes where the director puts it: at rest in the middle of the scene it shows
// its rings there; sent to an edge or corner it shows them far from the middle; hidden, nowhere.
TEST_F(WindowScene, RoundMeterFollowsTheDirector) {
    const Layout l;
    const auto rings = [&](const std::string& name, const std::string& mode, Rings* out) {
        WindowApp app(home_);
        // Without the disco lights, whose dots share the rings' colours.
        watch(name, {"LUMA2_PATTERN=16", "LUMA2_DISCO=0", "LUMA2_METER_SIZE=1", "LUMA2_METER_MODE=" + mode}, 700, app);
        // The stained glass lights the scene before the engine has connected, when no meter would
        // be lit anyway: the rings are judged once the music flows, and the hidden meter in three
        // pictures in a row. Moves and fades take a second or two.
        EXPECT_TRUE(wait_until([&] { return app.log().find("Virtual sink loaded") != std::string::npos; }, 10000))
            << app.log();
        const XWindow w = app.info();
        Rings r;
        int dark = 0;
        wait_until([&] {
            Picture p(shot(name + "-rings"));
            r = rings_of(p, w, l);
            const float off = std::hypot(r.x - l.cx, r.y - l.cy);
            if (mode == "0") return r.n > 120 && off < 12 && r.lit > 30;
            if (mode == "1") return (dark = r.lit < 30 ? dark + 1 : 0) >= 3;
            return r.n > 40 && off > 45;
        }, 8000, 400);
        *out = r;
        EXPECT_EQ(app.quit(SIGTERM), 0);
    };
    Rings rest, edge, hidden;
    rings("meter-rest", "0", &rest);
    rings("meter-edge", "2", &edge);
    rings("meter-hidden", "1", &hidden);
    EXPECT_GT(rest.n, 120);
    EXPECT_LT(std::hypot(rest.x - l.cx, rest.y - l.cy), 12) << rest.x << "," << rest.y;
    EXPECT_GT(edge.n, 40);
    EXPECT_GT(std::hypot(edge.x - l.cx, edge.y - l.cy), 45) << edge.x << "," << edge.y;
    EXPECT_LT(hidden.lit, 30);
    EXPECT_GT(rest.lit, 30); // the lit colours are the rings' own
}

// A ray-marched picture on llvmpipe with the GPU path forced needs most of a second per frame at
// full quality: the governor steps to the light level after the first such frame, not after
// seconds of frozen window, and the scene goes on moving.
TEST_F(WindowScene, SlowShaderFramesStepTheLevelAtOnce) {
    WindowApp app(home_);
    watch("stall", {"LUMA2_GPU=full", "LUMA2_PATTERN=60", "LUMA2_OVERLAY=8"}, 1500, app);
    const std::string log = app.log();
    // How many levels it takes depends on how slow the frame was (more than eight budgets go
    // straight to the light level); that the first slow frames step at all is what counts.
    EXPECT_NE(log.find("Graphics: one frame needed"), std::string::npos) << log;
    EXPECT_EQ(log.find("draw failed"), std::string::npos) << log;
    EXPECT_EQ(app.quit(SIGTERM), 0);
}

} // namespace
