// The program's window run as a user starts it, on a private X server with openbox and a private
// sound server: the window and its modes, the single-instance lock, the start-state switches, and
// an orderly end on SIGTERM and SIGINT (or without any display) with the sound given back and
// the settings saved. With LUMAFON_TEST_SHOTS naming a directory, the screenshots are kept there.
#include "dsp/eq_dsp.h"
#include "support/engine_checks.h"
#include "support/sound_server.h"
#include "support/window_app.h"
#include "support/x_server.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

using namespace testsup;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr int kScreenW = 1920, kScreenH = 1200;

class WindowRun : public XSuite {
  protected:
    static void SetUpTestSuite() {
        start_x(kScreenW, kScreenH);
    }
    static void TearDownTestSuite() {
        stop_x();
    }

    void SetUp() override {
        ASSERT_TRUE(x_error_.empty()) << x_error_;
        ASSERT_TRUE(server_.start()) << server_.error();
        home_ = make_temp_dir("lumafon-window");
    }
    void TearDown() override {
        server_.stop();
        remove_tree(home_);
    }

    // A screenshot of the whole screen, kept when LUMAFON_TEST_SHOTS names a directory.
    std::string shot(const std::string& name) { return x_->shot(home_, name); }

    // Screenshots until the pixel shows `rgb` (the first frames may still be on their way).
    long wait_pixel(const std::string& name, int x, int y, long rgb) {
        long seen = -1;
        wait_until([&] { return (seen = pixel(shot(name), x, y)) == rgb; }, 5000, 100);
        return seen;
    }

    static bool sound_given_back() { return default_sink() == "hw_a" && sink_index("lumafon") == kNone; }

    SoundServer server_;
    std::string home_;
};

bool near(int a, int b, int tolerance = 2) {
    return std::abs(a - b) <= tolerance;
}

// Moves the pointer and waits until the server has it there ("mousemove --sync" waits forever
// when the pointer is there already).
void pointer_to(int x, int y) {
    xdo({"mousemove", std::to_string(x), std::to_string(y)});
    const std::string want = "x:" + std::to_string(x) + " y:" + std::to_string(y) + " ";
    wait_until([&] { return run({"xdotool", "getmouselocation"}).out.rfind(want, 0) == 0; }, 1000, 10);
}

// A drag of the window's frame with the left button in `steps` steps of (dx, dy); the button is
// let go once the window manager has followed the pointer (`done`) or after eight seconds. A busy
// program hands the press to the window manager late, which then starts from the press and
// follows only the motion it sees after that: the pointer keeps stirring at the end point until
// the window has followed.
void drag(const std::string& win, int x, int y, int dx, int dy, int steps, bool (*done)(const XWindow&)) {
    pointer_to(x, y);
    xdo({"mousedown", "1"});
    for (int i = 1; i <= steps; ++i) pointer_to(x + dx * i, y + dy * i);
    const int ex = x + dx * steps, ey = y + dy * steps;
    int stir = 0;
    wait_until([&] {
        pointer_to(ex + (++stir & 1), ey);
        pointer_to(ex, ey);
        return done(window_info(win));
    }, 8000, 150);
    xdo({"mouseup", "1"});
}

// A key pressed on the keyboard while the window has the focus.
void press(const std::string& win, const char* key) {
    xdo({"windowactivate", win});
    xdo({"windowfocus", "--sync", win});
    xdo({"key", key});
}

std::string last_line(const std::string& text) {
    const size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos) return {};
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

} // namespace

TEST_F(WindowRun, StartsLikeAUserStartsItAndEndsOnSigterm) {
    WindowApp app(home_);
    ASSERT_TRUE(app.start());
    ASSERT_TRUE(app.wait_shown()) << app.log();
    const XWindow w = app.info();
    EXPECT_EQ(w.w, 960);
    EXPECT_EQ(w.h, 820);
    EXPECT_TRUE(w.viewable);
    EXPECT_NE(xprop(app.window(), "_NET_WM_ICON").find("64 x 64"), std::string::npos) << "no 64 x 64 icon";
    EXPECT_NE(xprop(app.window(), "WM_CLASS").find("\"lumafon\""), std::string::npos);
    const std::vector<int> frame = frame_extents(app.window());
    ASSERT_EQ(frame.size(), 4u);
    EXPECT_GT(frame[2], 0) << "the normal window has a title bar";
    // Centred on the screen.
    EXPECT_TRUE(near(w.x, (kScreenW - 960) / 2, 3)) << w.x;

    // The engine routes: every program's sound now goes through the equaliser's sink.
    EXPECT_TRUE(wait_until([] { return default_sink() == "lumafon"; }, 10000)) << app.log();

    const std::string log = app.log();
    for (const char* line :
         {"INFO  Lumafon 1.0.3 (Build 1124, ", "INFO  Renderers available: ", "INFO  Video x11, Renderer ",
          "INFO  SDL 2.", "), video x11, renderer ", ", max texture ",
          "INFO  OpenGL: ", "INFO  Display 0: ", "INFO  First frame after "})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;

    // The window shows the dark theme's background beside the stage.
    EXPECT_EQ(wait_pixel("normal", w.x + 4, w.y + w.h / 2, 0x0E1117), 0x0E1117);

    EXPECT_EQ(app.quit(SIGTERM), 0);
    EXPECT_EQ(last_line(app.log()).substr(9), "INFO  Quit");
    EXPECT_TRUE(sound_given_back()) << "default " << default_sink();
    const std::string file = read_file(app.dir() + "/settings.dat");
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.find("win_w="), std::string::npos) << "the settings file is sealed";
    const Settings s = app.settings();
    EXPECT_EQ(s.win_w, 960);
    EXPECT_EQ(s.win_h, 820);
    EXPECT_TRUE(near(s.win_x, w.x)) << s.win_x;
    EXPECT_TRUE(near(s.win_y, w.y)) << s.win_y;
}

// A crash: the watchdog gives the sound back, the report names the signal and the graphics, and
// the next start keeps the crashed run's log and finds the report.
TEST_F(WindowRun, CrashLeavesAReportAndTheSoundIsGivenBack) {
    {
        WindowApp app(home_);
        ASSERT_TRUE(app.start());
        ASSERT_TRUE(app.wait_shown()) << app.log();
        ASSERT_TRUE(wait_until([] { return default_sink() == "lumafon"; }, 10000)) << app.log();
        app.quit(SIGSEGV);
        EXPECT_EQ(app.term_signal(), SIGSEGV) << "the process still dies by its signal";
        EXPECT_TRUE(wait_until(sound_given_back, 5000)) << "default " << default_sink();
    }
    const std::string crashed_log = read_file(home_ + "/Lumafon/Lumafon.log");
    const std::string report = read_file(home_ + "/Lumafon/crash_report.txt");
    for (const char* part : {"Signal: SIGSEGV", "Backtrace:", "--- Graphics ---", "renderer ", "--- System ---",
                             "Log (last lines before the crash):", "First frame after"})
        EXPECT_NE(report.find(part), std::string::npos) << part << "\n" << report;

    WindowApp again(home_);
    ASSERT_TRUE(again.start());
    ASSERT_TRUE(again.wait_shown()) << again.log();
    EXPECT_NE(again.log().find("WARN  Crash report from the last run found: "), std::string::npos) << again.log();
    EXPECT_EQ(read_file(home_ + "/Lumafon/Lumafon.log.1"), crashed_log);
    EXPECT_EQ(again.quit(SIGTERM), 0);
}

TEST_F(WindowRun, SecondStartRaisesTheFirstWindowAndTouchesNothing) {
    WindowApp first(home_);
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.wait_shown()) << first.log();
    ASSERT_TRUE(wait_until([] { return default_sink() == "lumafon"; }, 10000)) << first.log();
    ASSERT_TRUE(xdo({"windowminimize", "--sync", first.window()}));
    ASSERT_TRUE(wait_until(
        [&] { return first.log().find("Window not visible - display paused") != std::string::npos; }, 5000))
        << first.log();
    const std::string log_before = first.log();
    const std::string settings_before = read_file(first.dir() + "/settings.dat");
    EXPECT_EQ(read_file(first.dir() + "/Lumafon.lock"), std::to_string(first.pid()) + "\n");

    WindowApp second(home_);
    ASSERT_TRUE(second.start());
    EXPECT_EQ(second.wait_exit(), 0);
    EXPECT_EQ(second.output(), "Lumafon laeuft bereits \u2014 Fenster nach vorn geholt.\n");

    ASSERT_TRUE(
        wait_until([&] { return first.log().find("Window visible again") != std::string::npos; }, 5000))
        << first.log();
    EXPECT_TRUE(first.info().viewable);
    const std::string log_after = first.log();
    EXPECT_EQ(log_after.substr(0, log_before.size()), log_before);
    EXPECT_EQ(count_of(log_after, "Lumafon 1.0.3"), 1) << log_after;
    EXPECT_EQ(read_file(first.dir() + "/settings.dat"), settings_before);
    EXPECT_EQ(default_sink(), "lumafon");
    EXPECT_EQ(first.quit(SIGINT), 0);

    // A lock file left behind by a copy that is gone blocks nobody, whatever it holds.
    // These runs also override the software-rendering decision (Mesa's llvmpipe counts as
    // software unless told otherwise).
    struct Stale {
        const char* lock;
        const char* gpu;
        const char* warning; // expected software warning, null for none
    };
    for (const Stale& stale :
         {Stale{"999999\n", "LUMA2_GPU=full", nullptr},
          Stale{"garbage", "LUMA2_GPU=soft", "no hardware acceleration (LUMA2_GPU=soft)"}}) {
        ASSERT_TRUE(write_file(first.dir() + "/Lumafon.lock", stale.lock));
        WindowApp next(home_);
        ASSERT_TRUE(next.start({}, {stale.gpu}));
        ASSERT_TRUE(next.wait_shown()) << stale.lock << "\n" << next.output();
        EXPECT_EQ(read_file(next.dir() + "/Lumafon.lock"), std::to_string(next.pid()) + "\n");
        const std::string log = next.log();
        if (stale.warning)
            EXPECT_NE(log.find(stale.warning), std::string::npos) << log;
        else
            EXPECT_EQ(log.find("no hardware acceleration"), std::string::npos) << log;
        EXPECT_EQ(next.quit(SIGTERM), 0);
    }
}

TEST_F(WindowRun, CompactWindowIsFramelessOnTopMovableAndResizable) {
    WindowApp app(home_);
    ASSERT_TRUE(app.start({"--compact"}));
    ASSERT_TRUE(app.wait_shown()) << app.log();
    XWindow w = app.info();
    EXPECT_EQ(w.w, 420);
    EXPECT_EQ(w.h, 150);
    // Bottom-right corner of the screen, 24 pixels in.
    EXPECT_TRUE(near(w.x, kScreenW - 420 - 24) && near(w.y, kScreenH - 150 - 24)) << w.x << "," << w.y;
    const std::vector<int> frame = frame_extents(app.window());
    EXPECT_TRUE(frame.empty() || frame == std::vector<int>({0, 0, 0, 0}))
        << xprop(app.window(), "_NET_FRAME_EXTENTS");
    EXPECT_NE(xprop(app.window(), "_NET_WM_STATE").find("_NET_WM_STATE_ABOVE"), std::string::npos);
    shot("compact");

    // Dragged by its background.
    static XWindow start;
    start = w;
    drag(app.window(), w.x + w.w / 2, w.y + w.h / 2, -60, -40, 5,
         [](const XWindow& m) { return near(m.x, start.x - 300, 6) && near(m.y, start.y - 200, 6); });
    const XWindow moved =
        wait_window(app.window(), [](const XWindow& m) { return m.x < kScreenW - 420 - 24 - 200; });
    EXPECT_TRUE(near(moved.x, w.x - 300, 6) && near(moved.y, w.y - 200, 6)) << moved.x << "," << moved.y;

    // Resized at its right edge; it then settles on the compact aspect.
    w = moved;
    start = w;
    drag(app.window(), w.x + w.w - 3, w.y + w.h / 2, 30, 0, 4,
         [](const XWindow& g) { return g.w >= start.w + 110; });
    const XWindow grown = wait_window(
        app.window(), [](const XWindow& g) { return g.w > 500 && std::abs(g.h - g.w * 150 / 420) <= 2; });
    EXPECT_GT(grown.w, 500);
    EXPECT_TRUE(near(grown.h, grown.w * 150 / 420)) << grown.w << "x" << grown.h;
    shot("compact-resized");

    EXPECT_EQ(app.quit(SIGTERM), 0);
    const Settings s = app.settings();
    EXPECT_TRUE(s.compact);
    EXPECT_EQ(s.mini_w, grown.w);
    EXPECT_EQ(s.mini_h, grown.h);
    EXPECT_TRUE(near(s.mini_x, grown.x) && near(s.mini_y, grown.y)) << s.mini_x << "," << s.mini_y;
}

TEST_F(WindowRun, FullScreenInAndOutAndTheAspectIsKept) {
    WindowApp app(home_);
    ASSERT_TRUE(app.start());
    ASSERT_TRUE(app.wait_shown()) << app.log();
    const XWindow before = app.info();

    press(app.window(), "F11");
    // Generous waits: on a busy machine the window manager and a software renderer take seconds.
    const XWindow full =
        wait_window(app.window(), [](const XWindow& f) { return f.w == kScreenW && f.h == kScreenH; }, 15000);
    EXPECT_EQ(full.w, kScreenW);
    EXPECT_EQ(full.h, kScreenH);
    shot("fullscreen");
    // A key sent while the window manager is still busy with the switch may go nowhere.
    ASSERT_TRUE(wait_until([&] { return app.log().find("Fullscreen on") != std::string::npos; }, 15000));
    XWindow back;
    for (int attempt = 0; attempt < 3 && back.w != 960; ++attempt) {
        press(app.window(), "Escape");
        back = wait_window(
            app.window(), [](const XWindow& b) { return b.w == 960 && b.h == 820; }, 5000);
    }
    EXPECT_EQ(back.w, 960);
    EXPECT_EQ(back.h, 820);
    EXPECT_TRUE(near(back.x, before.x) && near(back.y, before.y))
        << back.x << "," << back.y << " instead of " << before.x << "," << before.y;
    wait_until([&] { return app.log().find("INFO  Fullscreen off: ") != std::string::npos; }, 5000);
    const std::string log = app.log();
    EXPECT_NE(log.find("INFO  Fullscreen on: window 1920x1200 at 0,0"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO  Fullscreen off: "), std::string::npos) << log;

    // Made wider by the window manager's own means, it settles on the reference aspect (the
    // width led, so the height follows).
    ASSERT_TRUE(xdo({"windowsize", app.window(), "1200", "700"}));
    const XWindow settled =
        wait_window(app.window(), [](const XWindow& s) { return s.w == 1200 && s.h == 1025; }, 15000);
    EXPECT_EQ(settled.w, 1200);
    EXPECT_EQ(settled.h, 1025);

    EXPECT_EQ(app.quit(SIGTERM), 0);
    const Settings s = app.settings();
    EXPECT_FALSE(s.compact);
    EXPECT_EQ(s.win_w, 1200);
    EXPECT_EQ(s.win_h, 1025);
}

TEST_F(WindowRun, SavedSizesOutOfRangeFallBack) {
    {
        WindowApp app(home_);
        ASSERT_TRUE(app.start({"--compact", "--size", "1300x200"}));
        ASSERT_TRUE(app.wait_shown()) << app.log();
        EXPECT_EQ(app.info().w, 420);
        EXPECT_EQ(app.info().h, 150);
        EXPECT_EQ(app.quit(SIGTERM), 0);
    }
    // "--settings" leaves the compact window for the normal one.
    WindowApp app(home_);
    ASSERT_TRUE(app.start({"--settings", "--size", "400x300"}));
    ASSERT_TRUE(app.wait_shown()) << app.log();
    EXPECT_EQ(app.info().w, 960);
    EXPECT_EQ(app.info().h, 820);
    EXPECT_EQ(app.quit(SIGTERM), 0);
    const Settings s = app.settings();
    EXPECT_EQ(s.mini_w, 420);
    EXPECT_EQ(s.win_w, 960);
}

TEST_F(WindowRun, StartStateSwitchesAreKeptLikeSettings) {
    {
        WindowApp app(home_);
        ASSERT_TRUE(app.start({"--compact", "--size", "504x180", "--theme", "light", "--preset", "rock",
                               "--collapsed", "--expanded", "--header", "--no-header", "--off"}));
        ASSERT_TRUE(app.wait_shown()) << app.log();
        const XWindow w = app.info();
        EXPECT_EQ(w.w, 504);
        EXPECT_EQ(w.h, 180);
        // The light theme's panel gradient at the left edge, beside the bars.
        long edge = -1;
        wait_until([&] {
            edge = pixel(shot("light-compact"), w.x + 6, w.y + w.h / 2);
            return edge >= 0 && ((edge >> 16) & 255) > 0xE0 && ((edge >> 8) & 255) > 0xE0 && (edge & 255) > 0xE0;
        }, 5000, 100);
        EXPECT_GT(edge & 255, 0xE0) << std::hex << edge;
        EXPECT_EQ(app.quit(SIGINT), 0);
        const Settings s = app.settings();
        EXPECT_TRUE(s.compact);
        EXPECT_EQ(s.mini_w, 504);
        EXPECT_EQ(s.mini_h, 180);
        EXPECT_EQ(s.theme, "light");
        EXPECT_EQ(s.preset, "b:preset_rock");
        const eq::Curve rock = eq::preset_curve(eq::find_preset("preset_rock"));
        for (int i = 0; i < eq::kBands; ++i) EXPECT_FLOAT_EQ(s.curve.band[i], rock.band[i]);
        EXPECT_FLOAT_EQ(s.curve.preamp, rock.preamp);
        EXPECT_FALSE(s.collapsed);
        EXPECT_TRUE(s.head_folded);
        EXPECT_FALSE(s.active);
        EXPECT_TRUE(s.active_on_start);
    }
    // "--settings" opens the normal window, so "--size" goes to it; bad values change nothing;
    // "--device" and "--no-takeover" hold for this run only.
    WindowApp app(home_);
    ASSERT_TRUE(app.start({"--settings", "--compact", "--size", "984x840", "--header", "--device", "hw_b",
                           "--no-takeover", "--preset", "Rock", "--theme", "blue"}));
    ASSERT_TRUE(app.wait_shown()) << app.log();
    EXPECT_TRUE(wait_until([] { return playback_sink() == sink_index("hw_b"); }, 10000));
    EXPECT_EQ(default_sink(), "hw_a");
    EXPECT_EQ(app.quit(SIGINT), 0);
    const Settings s = app.settings();
    EXPECT_FALSE(s.compact);
    // 984 x 840 brought to the aspect; the window manager may round the height down.
    EXPECT_TRUE(near(s.win_w, 983, 1) && near(s.win_h, 840, 1)) << s.win_w << "x" << s.win_h;
    EXPECT_EQ(s.theme, "light");
    EXPECT_EQ(s.preset, "b:preset_rock");
    EXPECT_FALSE(s.head_folded);
    EXPECT_TRUE(s.active);
    EXPECT_EQ(s.output, "");
    EXPECT_TRUE(sound_given_back());
}

TEST_F(WindowRun, WithoutADisplayItEndsInOrder) {
    struct Case {
        const char* display;
        const char* x11_line;
    };
    for (const Case& c : {Case{"DISPLAY=", nullptr}, Case{"DISPLAY=:4711", "WARN  X11 not reachable ("}}) {
        WindowApp app(home_);
        ASSERT_TRUE(app.start({}, {c.display}));
        EXPECT_EQ(app.wait_exit(20000), 1) << c.display;
        const std::string log = app.log();
        EXPECT_NE(log.find("ERROR SDL_Init: "), std::string::npos) << log;
        EXPECT_EQ(log.find("X11 not reachable") != std::string::npos, c.x11_line != nullptr) << log;
        EXPECT_EQ(last_line(log).substr(9), "INFO  Quit");
        EXPECT_TRUE(sound_given_back());
        EXPECT_FALSE(read_file(app.dir() + "/settings.dat").empty());
    }
}
