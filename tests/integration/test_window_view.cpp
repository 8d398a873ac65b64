// What a user sees, on a private X server with openbox and a private sound server: the regions of
// the normal window (expanded and collapsed, dark and light), the compact window and a full-screen
// window of another aspect where the layout puts them, the slider knobs on the curve, the spectrum
// bar under a 1 kHz sine rising (and only around 1 kHz) and falling back in silence, the level
// rings following the sound, the eyes opening in silence, a silent window resting while nobody
// attends to it and waking at once, the interface alone drawn in the parts that change and equal
// to the whole frame, and texts in a right-to-left and a CJK language without overlap. Expected
// places come from the program's own layout code; pixels are judged by kind (lit, dark, light),
// never compared exactly, except where a frame drawn in parts is compared with the whole frame.
// With LUMAFON_TEST_SHOTS naming a directory, the screenshots are kept there.
#include "core/i18n.h"
#include "core/settings.h"
#include "render/gfx_cairo.h"
#include "support/sound_checks.h"
#include "support/sound_server.h"
#include "support/window_app.h"
#include "support/x_server.h"
#include "ui/ui.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>
#include <vector>

using namespace testsup;

namespace {

constexpr int kScreenW = 1920, kScreenH = 1200;

int red(uint32_t c) { return int(c >> 16) & 255; }
int green(uint32_t c) { return int(c >> 8) & 255; }
int blue(uint32_t c) { return int(c) & 255; }
int brightest(uint32_t c) { return std::max({red(c), green(c), blue(c)}); }
bool whitish(uint32_t c) { return red(c) > 0xB0 && green(c) > 0xB0 && blue(c) > 0xB0; }
// The knob face: a grey blue of the button colours, neither the panel nor the curve's cyan.
bool knob_face(uint32_t c) {
    return green(c) - red(c) <= 12 && green(c) >= red(c) && blue(c) >= green(c) + 6 && blue(c) <= green(c) + 20 && blue(c) >= 0x2C && blue(c) < 0x60;
}

// The layout the program computes for a view, worked out here with its own code.
// The interface keeps the settings it is given, so they live as long as the test program.
Settings g_layout_settings;

struct Expect {
    const gfx::Rect* L = nullptr;
    ui::BarView bars;
    int columns = 0;
    ui::BarGeom geom;
    float scale = 1;
    // `px` 0: the view's own scale.
    void lay_out(const Settings& s, float w, float h, float px) {
        g_layout_settings = s;
        ui::init(&g_layout_settings, false);
        const ui::View v = ui::view_for(int(w), int(h));
        scale = v.scale;
        ui::set_pixel_scale(px > 0 ? px : v.scale);
        ui::draw_base(v.w, v.h);
        L = ui::layout();
        bars = ui::bar_view();
        columns = ui::bar_columns();
        geom = ui::bar_geom(bars.bars.w, bars.bars.h, false);
    }
};

class WindowView : public XSuite {
  protected:
    static void SetUpTestSuite() {
        start_x(kScreenW, kScreenH);
        gfx::init();
    }
    static void TearDownTestSuite() {
        gfx::shutdown();
        stop_x();
    }
    void SetUp() override {
        ASSERT_TRUE(x_error_.empty()) << x_error_;
        ASSERT_TRUE(server_.start()) << server_.error();
        home_ = make_temp_dir("lumafon-view");
    }
    void TearDown() override {
        server_.stop();
        remove_tree(home_);
    }
    std::string shot(const std::string& name) { return x_->shot(home_, name); }
    // Screenshots until `ok` holds for one (frames may still be on their way).
    bool wait_shot(const std::string& name, const std::function<bool(const Picture&)>& ok, int timeout_ms = 8000) {
        return wait_until([&] { Picture p(last_shot_ = shot(name)); return p.ok() && ok(p); }, timeout_ms, 150);
    }

    SoundServer server_;
    std::string home_;
    std::string last_shot_; // the picture wait_shot judged last
};

// Lit pixels of one spectrum column in the lower half of the round meter (the eyes sit above).
int column_lit(const Picture& p, const XWindow& w, const Expect& e, int column) {
    const float used = float(e.columns) * (e.geom.bar_w + e.geom.gap) - e.geom.gap;
    const float x = e.bars.bars.x + std::floor((e.bars.bars.w - used) / 2) + float(column) * (e.geom.bar_w + e.geom.gap) +
                    e.geom.bar_w / 2;
    int lit = 0;
    for (float y = e.bars.bars.y + 0.5f * e.bars.bars.h; y < e.bars.bars.y + e.bars.bars.h - 1; y += 1)
        if (brightest(p.at(w.x + int(x), w.y + int(y))) > 0x60) ++lit;
    return lit;
}

const std::vector<std::string> kMeterAtRest = {"LUMA2_METER_MODE=0", "LUMA2_METER_SIZE=1"};

// Bright green segments on the lower right quarter of the level rings.
int ring_lit(const Picture& p, const XWindow& w, const Expect& e) {
    const float r = 0.5f * e.bars.size + 1.5f + 0.0275f * e.bars.size;
    int lit = 0;
    for (int i = 0; i < 60; ++i) {
        const float a = 3.14159265f * (0.6f + 0.3f * float(i) / 60);
        const uint32_t c = p.at(w.x + int(e.bars.cx + r * std::sin(a)), w.y + int(e.bars.cy - r * std::cos(a)));
        if (green(c) > 150) ++lit;
    }
    return lit;
}

// Near-white pixels across the eyes' row.
int eye_white(const Picture& p, const XWindow& w, const Expect& e) {
    const float s = e.bars.size, y = e.bars.cy - s / 2 + 0.36f * s;
    int n = 0;
    for (float x = e.bars.cx - 0.3f * s; x < e.bars.cx + 0.3f * s; x += 1)
        if (whitish(p.at(w.x + int(x), w.y + int(y)))) ++n;
    return n;
}

int bar_column(const Expect& e, float freq_index) {
    return int(std::lround(freq_index * float(e.columns - 1) / 30));
}

TEST_F(WindowView, NormalWindowShowsRegionsKnobsSpectrumMetersAndEyes) {
    WindowApp app(home_);
    // The scene floats the meter and picks its size: here it rests where the layout puts it.
    ASSERT_TRUE(app.start({"--expanded", "--header", "--size", "960x820", "--theme", "dark"}, kMeterAtRest));
    ASSERT_TRUE(app.wait_shown()) << app.log();
    const XWindow w = app.info();
    ASSERT_EQ(w.w, 960);
    Expect e;
    Settings s;
    s.collapsed = false;
    s.head_folded = false;
    e.lay_out(s, 960, 820, 1);

    // Silence: the eyes open after about three seconds; no bar and no ring segment lights.
    // The hint floats over the meter now and then: a picture is taken once it is elsewhere.
    ASSERT_TRUE(wait_shot("normal-silence", [&](const Picture& p) {
        return eye_white(p, w, e) > 20 && column_lit(p, w, e, bar_column(e, 17)) == 0 && ring_lit(p, w, e) == 0;
    }, 40000)) << app.log();
    {
        Picture p(last_shot_);
        // The background beside the panels, the header and equaliser panels, the dark stage.
        EXPECT_EQ(p.at(w.x + 4, w.y + 400), 0x0E1117u);
        const gfx::Rect& lower = e.L[ui::kLower];
        const uint32_t panel = p.at(w.x + int(lower.x + 8), w.y + int(lower.y + lower.h / 2));
        EXPECT_TRUE(blue(panel) > 0x10 && blue(panel) < 0x30 && panel != 0x0E1117u) << std::hex << panel;
        const gfx::Rect& vis = e.L[ui::kVisual];
        EXPECT_LT(brightest(p.at(w.x + int(vis.x + 20), w.y + int(vis.y + 20))), 0x10);
        EXPECT_EQ(column_lit(p, w, e, bar_column(e, 17)), 0);
        EXPECT_EQ(ring_lit(p, w, e), 0);
        // Each knob sits where the curve puts it: the run of knob face down the column's side.
        const ui::Track t = ui::slider_track();
        for (int band = 0; band <= 10; ++band) {
            const float cx = band < 10 ? ui::column_centre(band, 960) : 86;
            const float want = ui::level_y(band < 10 ? s.curve.band[band] : s.curve.preamp, t.top, t.bottom);
            int first = -1, last = -1;
            for (int y = int(t.top) - 10; y < int(t.bottom) + 10; ++y)
                if (knob_face(p.at(w.x + int(cx - 12), w.y + y))) {
                    if (first < 0) first = y;
                    last = y;
                }
            EXPECT_NEAR((first + last) / 2.0, want, 3) << "band " << band << " from " << first << " to " << last;
            EXPECT_LT(last - first, 20) << band;
        }
    }

    // A 1 kHz sine through the server: the bar under 1 kHz rises, far bands stay dark, the
    // level rings light and the eyes close.
    const std::string sine = home_ + "/sine.wav";
    ASSERT_TRUE(make_sine(sine, 1000, 30, 0.5));
    Child player;
    ASSERT_TRUE(start_player(player, sine));
    const int k1 = bar_column(e, 17), low = bar_column(e, 8), high = bar_column(e, 26);
    int at1 = 0, at_low = 0, at_high = 0, rings = 0, eyes = 0;
    EXPECT_TRUE(wait_shot("normal-sine", [&](const Picture& p) {
        at1 = column_lit(p, w, e, k1);
        at_low = column_lit(p, w, e, low);
        at_high = column_lit(p, w, e, high);
        rings = ring_lit(p, w, e);
        eyes = eye_white(p, w, e);
        // The hint fades out over half a second and may still lie over the meter at first.
        return at1 > 30 && rings > 20 && eyes == 0 && at_low < at1 / 4 && at_high < at1 / 4;
    }, 15000)) << at1 << " " << at_low << " " << at_high << " " << rings << " " << eyes << "\n" << app.log();
    EXPECT_LT(at_low, at1 / 4);
    EXPECT_LT(at_high, at1 / 4);
    player.stop();

    // Silence again: the bar falls back and the rings go dark.
    EXPECT_TRUE(wait_shot("normal-after", [&](const Picture& p) {
        at1 = column_lit(p, w, e, k1);
        rings = ring_lit(p, w, e);
        return at1 == 0 && rings == 0;
    }, 15000)) << at1 << " " << rings;
    EXPECT_EQ(app.quit(SIGTERM), 0);
}

// The interface alone (the visualizer left out) on the software rasteriser is drawn and shown in
// the parts that change: each such frame, drawn once more whole by the program's test hook, is
// the same picture, and the parts reach the screen: the bar under a 1 kHz sine rises and falls
// back, and in silence the hint floats and the eyes open.
TEST_F(WindowView, InterfaceAloneDrawnInPartsIsTheWholeFrame) {
    WindowApp app(home_);
    ASSERT_TRUE(app.start({"--expanded", "--header", "--size", "960x820", "--theme", "dark"},
                          {"LUMA2_TEST_NO_SCENE=1", "LUMA2_TEST_PARTS_CHECK=1"}));
    ASSERT_TRUE(app.wait_shown()) << app.log();
    ASSERT_NE(app.log().find("drawn and shown where they change"), std::string::npos) << app.log();
    const XWindow w = app.info();
    Expect e;
    Settings s;
    s.collapsed = false;
    s.head_folded = false;
    e.lay_out(s, 960, 820, 1);
    // The last count the program logged: frames checked, and those that differed.
    auto counts = [&] {
        const std::string log = app.log(), tag = "Frames in parts checked against whole frames: ";
        std::pair<int, int> c{0, -1};
        const size_t at = log.rfind(tag);
        if (at != std::string::npos) std::sscanf(log.c_str() + at + tag.size(), "%d, differing: %d", &c.first, &c.second);
        return c;
    };

    const std::string sine = home_ + "/sine.wav";
    ASSERT_TRUE(make_sine(sine, 1000, 90, 0.5));
    Child player;
    ASSERT_TRUE(start_player(player, sine));
    const int k1 = bar_column(e, 17);
    int at1 = 0;
    EXPECT_TRUE(wait_shot("parts-sine", [&](const Picture& p) { return (at1 = column_lit(p, w, e, k1)) > 30; }, 15000))
        << at1 << "\n" << app.log();
    // A loaded machine draws fewer frames (each is drawn twice here): the count is waited for.
    std::pair<int, int> with_music;
    EXPECT_TRUE(wait_until([&] { return (with_music = counts()).first >= 30; }, 40000)) << app.log();
    player.stop();
    EXPECT_TRUE(wait_shot("parts-after", [&](const Picture& p) {
        return (at1 = column_lit(p, w, e, k1)) == 0 && eye_white(p, w, e) > 20;
    }, 40000)) << at1;
    std::pair<int, int> c;
    EXPECT_TRUE(wait_until([&] { return (c = counts()).first >= with_music.first + 60; }, 30000)) << app.log();
    EXPECT_EQ(with_music.second, 0);
    EXPECT_EQ(c.second, 0) << app.log();
    EXPECT_EQ(app.quit(SIGTERM), 0);
}

TEST_F(WindowView, CollapsedLightCompactAndFullScreenKeepTheirRegions) {
    {
        // Collapsed and light, header folded: the stage fills the window, the handle below it.
        WindowApp app(home_);
        ASSERT_TRUE(app.start({"--collapsed", "--no-header", "--size", "960x820", "--theme", "light"}));
        ASSERT_TRUE(app.wait_shown()) << app.log();
        const XWindow w = app.info();
        Expect e;
        Settings s;
        s.collapsed = true;
        s.head_folded = true;
        e.lay_out(s, float(w.w), float(w.h), 1);
        const gfx::Rect& h = e.L[ui::kHandle];
        EXPECT_TRUE(wait_shot("collapsed-light", [&](const Picture& p) {
            const uint32_t handle = p.at(w.x + int(h.x + 6), w.y + int(h.y + h.h / 2));
            const uint32_t stage = p.at(w.x + int(e.L[ui::kVisual].x + 30), w.y + int(e.L[ui::kVisual].y + 300));
            return p.at(w.x + 4, w.y + 400) == 0xEEF1F5u && whitish(handle) && brightest(stage) < 0x10;
        })) << app.log();
        EXPECT_EQ(app.quit(SIGTERM), 0);
    }
    {
        // Compact: dark bars well with unlit columns, meters at the right edge.
        WindowApp app(home_);
        ASSERT_TRUE(app.start({"--compact", "--theme", "dark"}));
        ASSERT_TRUE(app.wait_shown()) << app.log();
        const XWindow w = app.info();
        Expect e;
        Settings s;
        s.compact = true;
        e.lay_out(s, float(w.w), float(w.h), float(w.w) / 420);
        const float k = float(w.w) / 420;
        const gfx::Rect& b = e.L[ui::kMiniBars];
        const gfx::Rect& m = e.L[ui::kMiniMeters];
        EXPECT_TRUE(wait_shot("compact", [&](const Picture& p) {
            // An unlit segment of the first column is a dim blue; the bottom meter segment a dim green.
            const uint32_t seg = p.at(w.x + int((b.x + 1) * k), w.y + int((b.y + b.h - 3) * k));
            const uint32_t met = p.at(w.x + int((m.x + 2) * k), w.y + int((m.y + m.h - 2) * k));
            return blue(seg) > red(seg) + 4 && green(met) > red(met) + 4 && brightest(met) < 0x60;
        })) << app.log();
        EXPECT_EQ(app.quit(SIGTERM), 0);
    }
    {
        // Full screen on a 1920 x 1200 screen: a view of 1312 x 820, the round meter centred in
        // the visualizer's area.
        const std::string full = home_ + "/full";
        std::filesystem::create_directories(full);
        WindowApp app(full);
        ASSERT_TRUE(app.start({"--expanded", "--header", "--theme", "dark"}, kMeterAtRest));
        ASSERT_TRUE(app.wait_shown()) << app.log();
        xdo({"windowactivate", app.window()});
        xdo({"windowfocus", "--sync", app.window()});
        xdo({"key", "F11"});
        ASSERT_TRUE(wait_until([&] { const XWindow w = app.info(); return w.w == kScreenW && w.h == kScreenH; }, 15000));
        Expect e;
        Settings s;
        s.collapsed = false;
        s.head_folded = false;
        e.lay_out(s, kScreenW, kScreenH, 0);
        const float k = e.scale;
        EXPECT_NEAR(k, 1200.0f / 820, 0.001f);
        EXPECT_TRUE(wait_shot("fullscreen", [&](const Picture& p) {
            // Inside the meter: its dark fill; just outside the ring: the scene's dark glass ball
            // (its elements rest in silence); the equaliser panel where the layout puts it.
            const uint32_t inside = p.at(int(e.bars.cx * k), int((e.bars.cy + 0.3f * e.bars.size) * k));
            const uint32_t outside = p.at(int((e.bars.cx + 0.7f * e.bars.size) * k), int(e.bars.cy * k));
            const uint32_t margin = p.at(3, 600);
            const gfx::Rect& r = e.L[ui::kReset];
            const uint32_t reset = p.at(int((r.x + 3) * k), int((r.y + r.h / 2) * k));
            return inside != 0 && brightest(inside) < 0x20 && brightest(outside) < 0x30 && margin == 0x0E1117u &&
                   brightest(reset) > 0x18 && reset != 0x0E1117u;
        })) << app.log();
        EXPECT_EQ(app.quit(SIGTERM), 0);
    }
}

// Pixels that differ between two pictures inside the window.
int changed_pixels(const Picture& a, const Picture& b, const XWindow& w) {
    int n = 0;
    for (int y = w.y; y < w.y + w.h; y += 2)
        for (int x = w.x; x < w.x + w.w; x += 2)
            if (a.at(x, y) != b.at(x, y)) ++n;
    return n;
}

// The "UI repaint" reports of the level log after the first `skip`: frames and presented frames.
std::vector<std::pair<int, int>> repaint_reports(const std::string& log, size_t skip) {
    std::vector<std::pair<int, int>> r;
    size_t at = 0;
    while ((at = log.find("UI repaint: ", at)) != std::string::npos) {
        at += 12;
        int repaints = 0, frames = 0, presented = 0;
        const std::string line = log.substr(at, log.find('\n', at) - at);
        const size_t p = line.find("presented ");
        if (std::sscanf(line.c_str(), "%d of %d", &repaints, &frames) == 2 && p != std::string::npos &&
            std::sscanf(line.c_str() + p, "presented %d", &presented) == 1)
            r.emplace_back(frames, presented);
    }
    if (skip >= r.size()) return {};
    return {r.begin() + long(skip), r.end()};
}

// Waits for a report after the first `seen` whose frames and presented frames satisfy `ok`;
// `last` is the last report read.
bool wait_report(const WindowApp& app, size_t seen, bool (*ok)(int, int), std::pair<int, int>& last,
                 int timeout_ms) {
    return wait_until([&] {
        for (const auto& r : repaint_reports(app.log(), seen)) {
            last = r;
            if (r.first >= 10 && ok(r.first, r.second)) return true;
        }
        return false;
    }, timeout_ms, 250);
}

// A silent window that nobody attends to rests: it presents a frame now and then instead of every
// frame, and screenshots taken close together are the same picture. A pointer moving over it or
// the keyboard focus brings the moving picture back at once.
TEST_F(WindowView, UnattendedSilentWindowRestsAndWakesAtOnce) {
    Child other;
    Child::Options o;
    ASSERT_TRUE(other.spawn({"xlogo", "-geometry", "160x160+10+10"}, o));
    std::string logo;
    ASSERT_TRUE(wait_until([&] { return !(logo = find_window("xlogo")).empty(); }, 10000));
    WindowApp app(home_);
    ASSERT_TRUE(app.start({"--expanded", "--header", "--size", "960x820"}, {"LUMA2_LEVELLOG=1"}));
    ASSERT_TRUE(app.wait_shown()) << app.log();
    const XWindow w = app.info();
    auto reports = [&] { return repaint_reports(app.log(), 0).size(); };

    // Attention elsewhere: the other window has the focus and the pointer rests on it.
    xdo({"windowactivate", logo});
    xdo({"windowfocus", "--sync", logo});
    xdo({"mousemove", "--window", logo, "60", "60"});
    size_t seen = reports();
    std::pair<int, int> last{0, 0};
    EXPECT_TRUE(wait_report(app, seen, [](int frames, int presented) { return presented * 4 <= frames; }, last, 40000))
        << "frames " << last.first << ", presented " << last.second << "\n" << app.log();
    // Two pictures in a row are the same (a moving window never gives two alike).
    std::string before = shot("rest-0");
    bool alike = false;
    for (int i = 1; i < 12 && !alike; ++i) {
        const std::string next = shot("rest-" + std::to_string(i));
        Picture a(before), b(next);
        alike = a.ok() && b.ok() && changed_pixels(a, b, w) == 0;
        before = next;
    }
    EXPECT_TRUE(alike);

    // The pointer moves over the window: every picture differs from the one before.
    int moving = 0;
    for (int i = 0; i < 4; ++i) {
        xdo({"mousemove", "--window", app.window(), std::to_string(300 + i * 3), "300"});
        const std::string a = shot("pointer-a"), b = shot("pointer-b");
        Picture pa(a), pb(b);
        if (pa.ok() && pb.ok() && changed_pixels(pa, pb, w) > 0) ++moving;
    }
    EXPECT_EQ(moving, 4);

    // The keyboard focus (the pointer back on the other window): every frame is presented again.
    xdo({"mousemove", "--window", logo, "60", "60"});
    xdo({"windowactivate", app.window()});
    xdo({"windowfocus", "--sync", app.window()});
    seen = reports();
    EXPECT_TRUE(wait_report(app, seen, [](int frames, int presented) { return presented * 10 >= frames * 9; }, last, 20000))
        << "frames " << last.first << ", presented " << last.second << "\n" << app.log();
    EXPECT_EQ(app.quit(SIGTERM), 0);
    other.stop();
}

// Pixels of strong colour (the logo's bars) in a region of the view.
int colourful(const Picture& p, const XWindow& w, const gfx::Rect& r) {
    int n = 0;
    for (int y = int(r.y); y < int(r.y + r.h); ++y)
        for (int x = int(r.x); x < int(r.x + r.w); ++x) {
            const uint32_t c = p.at(w.x + x, w.y + y);
            if (brightest(c) - std::min({red(c), green(c), blue(c)}) > 90) ++n;
        }
    return n;
}

// Arabic reads from the right: the header and the rows of texts are mirrored (the logo at the
// right end, the settings button at the left), while the equaliser keeps its low bands on the
// left; Japanese keeps the usual order. Both show their texts without overlap.
TEST_F(WindowView, RightToLeftAndCjkTextsDoNotOverlap) {
    for (const char* lang : {"ar", "ja"}) {
        SCOPED_TRACE(lang);
        const std::string check = home_ + "/textcheck-" + lang + ".txt";
        WindowApp app(home_);
        ASSERT_TRUE(app.start({"--expanded", "--header", "--size", "960x820"},
                              {std::string("LUMA2_LANG=") + lang, "LUMA2_TEXTCHECK=" + check, kMeterAtRest[0],
                               kMeterAtRest[1]}));
        ASSERT_TRUE(app.wait_shown()) << app.log();
        const XWindow w = app.info();
        Expect e;
        Settings s;
        s.collapsed = false;
        s.head_folded = false;
        i18n::set_language(lang);
        e.lay_out(s, 960, 820, 1);
        const bool rtl = std::string(lang) == "ar";
        const gfx::Rect logo = e.L[ui::kLogo], gear = e.L[ui::kSettingsButton];
        EXPECT_EQ(logo.x > 480, rtl);
        EXPECT_EQ(gear.x < 480, rtl);
        EXPECT_EQ(ui::column_centre(0, 960), e.L[ui::kSlider0].x + 20) << "the bands are not mirrored";
        // Once the eyes are open the hint has been wanted for seconds: every text has been drawn.
        int at_logo = 0, across = 0;
        EXPECT_TRUE(wait_shot(std::string("language-") + lang, [&](const Picture& p) {
            at_logo = colourful(p, w, logo);
            across = colourful(p, w, {960 - logo.x - logo.w, logo.y, logo.w, logo.h});
            return eye_white(p, w, e) > 20 && at_logo > 100 && across < 20;
        }, 12000)) << at_logo << " " << across;
        i18n::set_language("en");
        EXPECT_NE(app.log().find("Text check: writing to"), std::string::npos) << app.log();
        EXPECT_EQ(app.quit(SIGTERM), 0);
        const std::string log = read_file(check);
        EXPECT_EQ(log.find("OVERLAP"), std::string::npos) << log;
        EXPECT_EQ(log.find("CLIP"), std::string::npos) << log;
    }
}

} // namespace
