// The window's arithmetic: mode sizes, the aspect it settles on, frame budgets, the frameless
// window's edges, when the renderer counts as software rendering, and the round meter's outline.
#include "render/app_sdl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace app_sdl::detail;

TEST(WindowRules, ModeSizes) {
    // Saved compact sizes beyond 1260 x 450 are forgotten; the default is used.
    ModeSize m = mode_size(true, 1300, 200, 1920, 1080);
    EXPECT_TRUE(m.reset_saved);
    EXPECT_EQ(m.w, 420);
    EXPECT_EQ(m.h, 150);
    m = mode_size(true, 300, 100, 1920, 1080);
    EXPECT_FALSE(m.reset_saved);
    EXPECT_EQ(m.w, 420);
    m = mode_size(true, 840, 200, 0, 0); // brought to the aspect: the height leads
    EXPECT_EQ(m.w, 560);
    EXPECT_EQ(m.h, 200);
    // A normal size below 480 x 120 falls back to 960 x 820, clamped to a small display.
    m = mode_size(false, 400, 300, 1920, 1080);
    EXPECT_EQ(m.w, 960);
    EXPECT_EQ(m.h, 820);
    m = mode_size(false, 400, 300, 1024, 768);
    EXPECT_EQ(m.h, 708);
    EXPECT_EQ(m.w, 829); // round(960 x 708 / 820)
    m = mode_size(false, 1200, 1025, 0, 0);
    EXPECT_EQ(m.w, 1200);
    EXPECT_EQ(m.h, 1025);
}

TEST(WindowRules, AspectSettles) {
    // Made 1200 x 700 from 960 x 820: the width changed more, the height follows.
    Size s = aspect_settle(1200, 700, 960, 820, 960, 820, 480, 410, 1920, 1200);
    EXPECT_EQ(s.w, 1200);
    EXPECT_EQ(s.h, 1025);
    // ... unless that exceeds the display: both shrink to fit.
    s = aspect_settle(1200, 700, 960, 820, 960, 820, 480, 410, 1280, 1000);
    EXPECT_EQ(s.h, 1000);
    EXPECT_EQ(s.w, 1170); // floor(960 x 1000 / 820)
    // The height led.
    s = aspect_settle(970, 600, 960, 820, 960, 820, 480, 410, 0, 0);
    EXPECT_EQ(s.w, 702);
    EXPECT_EQ(s.h, 600);
    // Below the minimum: the smallest size at the aspect.
    s = aspect_settle(430, 160, 420, 150, 420, 150, 420, 150, 0, 0);
    EXPECT_EQ(s.w, 448);
    EXPECT_EQ(s.h, 160);
    s = aspect_settle(300, 150, 420, 150, 420, 150, 420, 150, 0, 0);
    EXPECT_EQ(s.w, 420);
    EXPECT_EQ(s.h, 150);
}

TEST(WindowRules, FrameBudgets) {
    // 144 Hz with vsync: two periods per frame, sleeping to half a period before the second.
    Budget b = frame_budget(false, true, true, 1000.0f / 144);
    EXPECT_NEAR(b.budget, 13.89f, 0.01f);
    EXPECT_NEAR(b.sleep_target, 10.42f, 0.01f);
    b = frame_budget(false, true, true, 16.666666f);
    EXPECT_NEAR(b.budget, 16.67f, 0.01f);
    EXPECT_NEAR(b.sleep_target, 8.33f, 0.01f);
    // Unfocused and silent: 20 frames per second; software rendering: 30 at most.
    EXPECT_FLOAT_EQ(frame_budget(false, false, false, 16.666666f).budget, 50.0f);
    EXPECT_FLOAT_EQ(frame_budget(true, true, false, 16.666666f).sleep_target, 33.333332f);
    EXPECT_NEAR(frame_budget(true, false, true, 16.666666f).budget, 50.0f, 0.01f);
}

TEST(WindowRules, EdgesOfTheFramelessWindow) {
    const int w = 420, h = 150;
    EXPECT_EQ(edge_at(0, 0, w, h), Edge::top_left);
    EXPECT_EQ(edge_at(17, 9, w, h), Edge::top_left);
    EXPECT_EQ(edge_at(9, 17, w, h), Edge::top_left);
    EXPECT_EQ(edge_at(18, 9, w, h), Edge::top);
    EXPECT_EQ(edge_at(w - 18, 0, w, h), Edge::top_right);
    EXPECT_EQ(edge_at(w - 10, 17, w, h), Edge::top_right);
    EXPECT_EQ(edge_at(w - 10, 18, w, h), Edge::right);
    EXPECT_EQ(edge_at(w - 1, h - 1, w, h), Edge::bottom_right);
    EXPECT_EQ(edge_at(5, h - 18, w, h), Edge::bottom_left);
    EXPECT_EQ(edge_at(9, 75, w, h), Edge::left);
    EXPECT_EQ(edge_at(10, 75, w, h), Edge::none);
    EXPECT_EQ(edge_at(200, h - 10, w, h), Edge::bottom);
    EXPECT_EQ(edge_at(200, h - 11, w, h), Edge::none);
}

TEST(WindowRules, SoftwareRendering) {
    EXPECT_EQ(software_reason("opengl", true, "llvmpipe (LLVM 15.0.6, 256 bits)", nullptr),
              "llvmpipe (LLVM 15.0.6, 256 bits)");
    EXPECT_EQ(software_reason("opengles2", true, "Microsoft Basic Render Driver", nullptr),
              "Microsoft Basic Render Driver");
    EXPECT_EQ(software_reason("opengl", true, "AMD Radeon RX 6600 (radeonsi)", nullptr), "");
    EXPECT_EQ(software_reason("software", true, "", nullptr), "SDL renderer software");
    EXPECT_EQ(software_reason("direct3d", false, "", nullptr), "SDL renderer direct3d");
    EXPECT_EQ(software_reason("", false, "", nullptr), "renderer unknown");
    EXPECT_EQ(software_reason("opengl", true, "llvmpipe", "full"), "");
    EXPECT_EQ(software_reason("opengl", true, "AMD Radeon", "soft"), "LUMA2_GPU=soft");
    EXPECT_EQ(software_reason("opengl", true, "llvmpipe", "other"), "llvmpipe");
}

// The GPU governor at a 60 fps budget: two loaded windows (11 ms, 20 % late) make it one step
// lighter; eight quiet ones bring it back, but a level raised again within a minute of lowering
// it becomes the floor. A fixed level, no GPU fractals or no measurement leave it alone.
TEST(WindowRules, GovernorSteps) {
    const float budget = 16.666666f;
    Governor g;
    uint64_t t = 1000;
    auto window = [&](double mean, double late) {
        t += 2000;
        return govern_window(g, mean, late, budget, t, false, true);
    };
    EXPECT_FALSE(window(11, 0.2));
    EXPECT_TRUE(window(11, 0.2));
    EXPECT_EQ(g.level, 1);
    EXPECT_FALSE(window(11, 0.05)); // loaded but few late frames: neither
    EXPECT_FALSE(window(11, 0.2));  // the count started again
    for (int i = 0; i < 7; ++i) EXPECT_FALSE(window(4, 0.01)) << i;
    EXPECT_TRUE(window(4, 0.01));
    EXPECT_EQ(g.level, 0);
    // Raised again 6 s after lowering: level 1 becomes the floor.
    EXPECT_FALSE(window(11, 0.2));
    EXPECT_TRUE(window(11, 0.2));
    EXPECT_EQ(g.level, 1);
    EXPECT_EQ(g.top, 1);
    for (int i = 0; i < 30; ++i) EXPECT_FALSE(window(2, 0));
    EXPECT_EQ(g.level, 1);
    // A minute later: up to the lightest level, never beyond; at level 4 "quiet" means under
    // 4.17 ms.
    for (int i = 0; i < 20; ++i) window(30, 0.5);
    EXPECT_EQ(g.level, 4);
    for (int i = 0; i < 8; ++i) window(4.5, 0);
    EXPECT_EQ(g.level, 4);
    for (int i = 0; i < 8; ++i) window(4.0, 0);
    EXPECT_EQ(g.level, 3);
    EXPECT_EQ(g.top, 1);
    // Nothing moves a fixed level, a missing GPU layer or a window without measurements.
    Governor f;
    for (int i = 0; i < 10; ++i) {
        EXPECT_FALSE(govern_window(f, 30, 0.5, budget, t + 2000u * unsigned(i), true, true));
        EXPECT_FALSE(govern_window(f, 30, 0.5, budget, t + 2000u * unsigned(i), false, false));
        EXPECT_FALSE(govern_window(f, -1, 0.5, budget, t + 2000u * unsigned(i), false, true));
    }
    EXPECT_EQ(f.level, 0);
}

// A frame that needs far more than the budget (a ray-marched picture on a software rasteriser:
// half a second and more) steps the level at once, straight to level 3 when it is over eight
// budgets; the frames queued before the step are not judged; a fixed level or a missing GPU
// layer stays; level 4 is the end. In software rendering the quiet share is larger.
TEST(WindowRules, GovernorStalls) {
    const float budget = 16.666666f;
    Governor g;
    EXPECT_FALSE(govern_stall(g, 60, budget, 1000, false, true)); // under four budgets
    EXPECT_TRUE(govern_stall(g, 900, budget, 1100, false, true));
    EXPECT_EQ(g.level, 3);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(govern_stall(g, 900, budget, 1200 + 100u * unsigned(i), false, true)) << i;
    EXPECT_EQ(g.level, 3);
    EXPECT_TRUE(govern_stall(g, 80, budget, 2000, false, true)); // over four budgets: one step
    EXPECT_EQ(g.level, 4);
    g.hold = 0;
    EXPECT_FALSE(govern_stall(g, 900, budget, 3000, false, true));
    Governor f;
    EXPECT_FALSE(govern_stall(f, 900, budget, 1000, true, true));
    EXPECT_FALSE(govern_stall(f, 900, budget, 1000, false, false));
    EXPECT_EQ(f.level, 0);
    Governor one;
    EXPECT_TRUE(govern_stall(one, 100, budget, 1000, false, true));
    EXPECT_EQ(one.level, 1);

    // Software: 30 fps budget, quiet under half of it.
    Governor s;
    s.level = 2;
    uint64_t t = 1000;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(govern_window(s, 14, 0.0, 33.333332f, t += 2000, false, true, 0.5f), i == 7);
    EXPECT_EQ(s.level, 1);
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(govern_window(s, 20, 0.0, 33.333332f, t += 2000, false, true, 0.5f));
}

TEST(WindowRules, MeterOutlineGrowsIntoItsFigureAndBack) {
    constexpr float kPi = 3.14159265f;
    // The circle before and after an episode, the whole figure in its middle.
    EXPECT_FLOAT_EQ(outline_weight(0), 0);
    EXPECT_FLOAT_EQ(outline_weight(1), 0);
    EXPECT_FLOAT_EQ(outline_weight(0.5f), 1);
    EXPECT_GT(outline_weight(0.15f), 0.2f);
    EXPECT_LT(outline_weight(0.15f), 0.8f);
    // Each figure fills the square's circle at its widest, stays inside it everywhere, and is
    // clearly not round; they differ from one another; at weight 0 every figure is the circle.
    // How many times each repeats around the meter: hexagon, star, squircle, flower, triangle.
    const int repeats[5] = {6, 5, 4, 6, 3};
    const float deepest[5] = {0.866f, 0.74f, 0.84f, 0.68f, 0.725f};
    float at[5][360];
    for (int f = 0; f < 5; ++f) {
        float lo = 2, hi = 0;
        for (int i = 0; i < 360; ++i) {
            const float a = float(i) * kPi / 180;
            at[f][i] = meter_outline(f, 1, a);
            lo = std::min(lo, at[f][i]), hi = std::max(hi, at[f][i]);
            EXPECT_FLOAT_EQ(meter_outline(f, 0, a), 1);
            EXPECT_NEAR(meter_outline(f, 0.5f, a), (1 + at[f][i]) / 2, 1e-5);
            EXPECT_NEAR(meter_outline(f, 1, a + 2 * kPi / float(repeats[f])), at[f][i], 2e-3) << f << " at " << i;
        }
        EXPECT_NEAR(hi, 1, 2e-3) << f;
        EXPECT_LE(hi, 1.0f) << f;
        EXPECT_NEAR(lo, deepest[f], 0.01) << f;
        for (int g = 0; g < f; ++g) {
            float apart = 0;
            for (int i = 0; i < 360; ++i) apart = std::max(apart, std::fabs(at[f][i] - at[g][i]));
            EXPECT_GT(apart, 0.05f) << f << " and " << g;
        }
    }
}
