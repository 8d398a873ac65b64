// The scene's raster layer on a real window: on a private X server, the director runs with a
// raster program forced, the raster worker computes its pictures, and the window draws the
// frame's raster layer with the composer's own function. The screenshot must show the picture
// over the visualizer area (many colours, lit), and the tunnel program a tunnel (a dark far end
// in the middle, a lit wall around it). The scene input is a small one made here. With
// LUMAFON_TEST_SHOTS naming a directory, the screenshots are kept there.
#include "render/app_sdl.h"
#include "scene/scene3d.h"
#include "support/temp_env.h"
#include "support/x_server.h"

#include <SDL.h>
#include <cairo.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>

using namespace testsup;

// SDL's X11 and D-Bus libraries and Mesa's GL driver leave their own allocations behind at exit
// (no leak stack passes through this program's code), so this test runs without the leak check.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

constexpr int kWinW = 480, kWinH = 410; // half the reference size: one logical unit is half a pixel

struct Shot {
    cairo_surface_t* s = nullptr;
    explicit Shot(const std::string& path) : s(cairo_image_surface_create_from_png(path.c_str())) {}
    ~Shot() { cairo_surface_destroy(s); }
    Shot(const Shot&) = delete;
    Shot& operator=(const Shot&) = delete;
    bool ok() const { return cairo_surface_status(s) == CAIRO_STATUS_SUCCESS; }
    uint32_t at(int x, int y) const {
        const unsigned char* row = cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
        return reinterpret_cast<const uint32_t*>(row)[x] & 0xFFFFFF;
    }
};

int lum(uint32_t c) { return (int(c >> 16 & 255) + int(c >> 8 & 255) + int(c & 255)) / 3; }

// Mean brightness and distinct colours of a rectangle of the screenshot.
struct Region {
    double mean = 0;
    size_t colours = 0;
};
Region region(const Shot& p, int x0, int y0, int w, int h) {
    std::set<uint32_t> seen;
    double sum = 0;
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) {
            sum += lum(p.at(x, y));
            seen.insert(p.at(x, y));
        }
    return {sum / (double(w) * h), seen.size()};
}

class SceneRaster : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        x_ = new XServer;
        ASSERT_TRUE(x_->start(1024, 768, false)) << x_->error();
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        win_ = SDL_CreateWindow("scene raster", 0, 0, kWinW, kWinH, SDL_WINDOW_SHOWN);
        ASSERT_NE(win_, nullptr) << SDL_GetError();
        ren_ = SDL_CreateRenderer(win_, -1, 0);
        ASSERT_NE(ren_, nullptr) << SDL_GetError();
    }
    static void TearDownTestSuite() {
        scene_layer::drop_textures();
        if (ren_) SDL_DestroyRenderer(ren_);
        if (win_) SDL_DestroyWindow(win_);
        SDL_Quit();
        raster::shutdown();
        delete x_;
    }

    // Runs the director with `family` forced at about 30 frames a second of music until the frame
    // carries a raster picture (and `frames_after` frames more), drawing each frame; then a
    // screenshot. The music: every bar at −20 dB and a beat every half second.
    std::string run(int family, const std::string& name, int frames_after = 20) {
        const std::string forced = std::to_string(family);
        test_support::ScopedEnv pattern("LUMA2_PATTERN", forced.c_str());
        scene3d::reset(7);
        float bars[62];
        std::fill(bars, bars + 62, -20.0f);
        scene3d::Input in;
        in.px = float(kWinW) / 960;
        in.bars = bars, in.bars_peak = bars + 31;
        in.meter_l = in.meter_r_level = -20;
        scene3d::Out out;
        const auto start = std::chrono::steady_clock::now();
        int after = -1;
        for (int frame = 0; after < frames_after; ++frame) {
            const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (t > 60) break; // the worker never delivered
            in.beat_count = int(t * 2), in.kick_count = int(t * 2);
            scene3d::build(in, t, out);
            bool picture = false;
            for (const auto& l : out.layers) picture |= l.image != nullptr && l.alpha > 0.5f;
            if (picture && after < 0) after = 0;
            if (after >= 0) ++after;
            SDL_SetRenderDrawColor(ren_, 0, 0, 0, 255);
            SDL_RenderClear(ren_);
            scene_layer::draw_raster(ren_, out);
            SDL_RenderPresent(ren_);
            SDL_Delay(30);
        }
        EXPECT_GE(after, frames_after) << "no raster picture for family " << family;
        layers_ = out.layers.size();
        meshes_ = out.meshes.size();
        return x_->shot(std::filesystem::temp_directory_path().string(), name);
    }

    static XServer* x_;
    static SDL_Window* win_;
    static SDL_Renderer* ren_;
    size_t layers_ = 0, meshes_ = 0;
};

XServer* SceneRaster::x_ = nullptr;
SDL_Window* SceneRaster::win_ = nullptr;
SDL_Renderer* SceneRaster::ren_ = nullptr;

TEST_F(SceneRaster, PicturesFillTheVisualizerArea) {
    // 29 + 4: the interference figure, a new picture every 80 ms, cross-faded.
    const Shot p(run(29 + 4, "scene-raster-waves"));
    ASSERT_TRUE(p.ok());
    EXPECT_GE(layers_, 1u);
    EXPECT_EQ(meshes_, 0u);
    // Every quarter of the window is lit and varied: the picture covers the whole area.
    for (int q = 0; q < 4; ++q) {
        const Region r = region(p, (q % 2) * kWinW / 2 + 10, (q / 2) * kWinH / 2 + 10, kWinW / 2 - 20, kWinH / 2 - 20);
        EXPECT_GT(r.mean, 25) << "quarter " << q;
        EXPECT_GT(r.colours, 200u) << "quarter " << q;
    }
    // Outside the window the screen stays black.
    EXPECT_LT(region(p, kWinW + 20, 20, 100, 100).mean, 1);
}

TEST_F(SceneRaster, TunnelWallIsMappedOntoATunnel) {
    // 29 + 17: the tunnel wall.
    const Shot p(run(29 + 17, "scene-raster-tunnel", 40));
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(meshes_, 1u);
    // The far end in the middle fades to black; the wall around it is lit and detailed.
    const Region far = region(p, kWinW / 2 - 12, kWinH / 2 - 12, 24, 24);
    const Region wall = region(p, 10, 10, kWinW - 20, 60);
    EXPECT_GT(wall.mean, 20);
    EXPECT_GT(wall.colours, 200u);
    EXPECT_LT(far.mean, wall.mean / 3);
}

} // namespace
