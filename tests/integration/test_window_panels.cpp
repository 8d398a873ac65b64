// What a user does in the window, on a private X server with openbox and a private sound server,
// with xdotool's pointer and keys: sliders dragged, wheeled and reset (the gain measured on the
// server's real sink, the curve in the saved settings), presets chosen, saved under a name typed
// with non-ASCII letters, overwritten and deleted, the output device, mute, the equaliser switch
// and the compact window (checked on the server and in the settings), the settings panel's rows,
// theme and languages (the overlap checker silent), links through the desktop's opener, the crash
// note's buttons, the flash notice, and the popups at the window's smallest size. Where to click
// comes from the program's own layout code run in this process. With LUMAFON_TEST_SHOTS naming a
// directory, the screenshots are kept there.
#include "core/i18n.h"
#include "core/settings.h"
#include "desktop/crash_handler_linux.h"
#include "render/gfx_cairo.h"
#include "support/engine_checks.h"
#include "support/sound_checks.h"
#include "support/sound_server.h"
#include "support/window_app.h"
#include "support/x_server.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <cstdlib>

using namespace testsup;

namespace {

constexpr int kScreenW = 1920, kScreenH = 1200;

// The interface model in this process, on a copy of the settings the program runs with: it tells
// where the program puts what the test clicks. It keeps the settings it is given, so they live
// as long as the test program.
Settings g_model;

void model(const Settings& s, float w = 960, float h = 820) {
    ui::on_key(ui::Key::Escape); // whatever the model had open before
    ui::on_key(ui::Key::Escape);
    g_model = s;
    g_model.flash_notice_seen = true;
    g_model.collapsed = false; // as "--expanded --header" start the program
    g_model.head_folded = false;
    ui::init(&g_model, false);
    ui::set_pixel_scale(1);
    ui::draw_base(w, h);
    ui::draw_overlay(w, h);
}

class WindowPanels : public XSuite {
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
        home_ = make_temp_dir("lumafon-panels");
        // Stand-ins for the desktop's opener and mail composer: they record their arguments.
        bin_ = home_ + "/bin";
        ASSERT_EQ(run({"mkdir", "-p", bin_}).status, 0);
        for (const char* tool : {"xdg-open", "xdg-email"}) {
            const std::string path = bin_ + "/" + tool;
            ASSERT_TRUE(write_file(path, "#!/bin/sh\necho \"$@\" >> \"" + home_ + "/" + tool + ".txt\"\n"));
            ::chmod(path.c_str(), 0755);
        }
    }
    void TearDown() override {
        server_.stop();
        remove_tree(home_);
    }
    std::vector<std::string> env() const {
        return {"HOME=" + home_, "PATH=" + bin_ + ":" + std::getenv("PATH"), "DBUS_SESSION_BUS_ADDRESS="};
    }
    std::string shot(const std::string& name) { return x_->shot(home_, name); }

    // Pointer actions in window coordinates (the window shows the view at scale 1).
    void click(const gfx::Rect& r, float dx = 0, float dy = 0, int clicks = 1) {
        ASSERT_GT(r.w, 0);
        const int x = int(r.x + r.w / 2 + dx), y = int(r.y + r.h / 2 + dy);
        ASSERT_TRUE(xdo({"mousemove", "--window", win_, std::to_string(x), std::to_string(y)}));
        if (clicks == 2)
            ASSERT_TRUE(xdo({"click", "--repeat", "2", "--delay", "80", "1"}));
        else
            ASSERT_TRUE(xdo({"click", "1"}));
    }
    void click_region(int region) { click(ui::layout()[region]); }
    void drag(float x, float y0, float y1) {
        xdo({"mousemove", "--window", win_, std::to_string(int(x)), std::to_string(int(y0))});
        xdo({"mousedown", "1"});
        for (int i = 1; i <= 8; ++i)
            xdo({"mousemove", "--window", win_, std::to_string(int(x)), std::to_string(int(y0 + (y1 - y0) * float(i) / 8))});
        xdo({"mouseup", "1"});
    }
    void key(const std::string& k) { xdo({"key", "--window", win_, k}); }
    bool start(WindowApp& app, const std::vector<std::string>& args, std::vector<std::string> extra = {},
               bool first_run = false) {
        std::vector<std::string> e = env();
        e.insert(e.end(), extra.begin(), extra.end());
        if (!app.start(args, e, first_run) || !app.wait_shown()) return false;
        win_ = app.window();
        xdo({"windowactivate", win_});
        xdo({"windowfocus", "--sync", win_});
        return true;
    }

    SoundServer server_;
    std::string home_, bin_, win_;
};

const std::vector<std::string> kNormal = {"--expanded", "--header", "--size", "960x820", "--theme", "dark"};

// The RMS level of the last 0.3 s recorded.
double level_now(const Recording& rec) {
    const std::vector<float> s = rec.samples();
    const size_t frames = s.size() / 2, want = 14400;
    if (frames < want) return -200;
    return rms_db(s.data() + 2 * (frames - want), want);
}

TEST_F(WindowPanels, SlidersReachTheEngineAndTheSettingsFile) {
    WindowApp app(home_);
    ASSERT_TRUE(start(app, kNormal)) << app.log();
    ASSERT_TRUE(wait_until([] { return default_sink() == "lumafon"; }, 10000)) << app.log();
    model(Settings{});
    const ui::Track t = ui::slider_track();
    const float mid = (t.top + t.bottom) / 2, half = (t.bottom - t.top) / 2;

    // A quiet 1 kHz sine through the equaliser, measured where it arrives.
    const std::string sine = home_ + "/sine.wav";
    ASSERT_TRUE(make_sine(sine, 1000, 60, 0.1));
    Child player;
    ASSERT_TRUE(start_player(player, sine));
    Recording rec;
    ASSERT_TRUE(rec.start("hw_a.monitor", home_ + "/rec.f32"));
    ASSERT_TRUE(rec.wait_seconds(2.0));
    // The level before any change, once it holds steady (the stream may still be settling).
    double before = level_now(rec), last = -200;
    EXPECT_TRUE(wait_until([&] {
        last = before;
        before = level_now(rec);
        return std::fabs(before - last) < 0.2 && before > -40;
    }, 10000, 300)) << last << " " << before;
    ASSERT_GT(before, -40) << "no sound through the equaliser";

    // The 1 kHz knob grabbed 5 units below its centre and dragged up by half the track: +6 dB,
    // the offset kept (no jump on the press).
    const float x1k = ui::column_centre(5, 960);
    const float knob = ui::level_y(g_model.curve.band[5], t.top, t.bottom);
    ASSERT_EQ(g_model.curve.band[5], 0);
    drag(x1k, knob + 5, knob + 5 - half / 2);
    EXPECT_TRUE(wait_until([&] { return app.settings().curve.band[5] == 6; }, 6000)) << app.settings().curve.band[5];
    double now = 0;
    EXPECT_TRUE(wait_until([&] { return std::fabs((now = level_now(rec)) - before - 6) < 1.0; }, 6000))
        << before << " -> " << now;

    // The preamp clicked far from its knob jumps to the pointer: -8 dB, 6 below the standard -2.
    click({86, ui::level_y(-8, t.top, t.bottom), 0.01f, 0.01f});
    // The wheel over the 1 kHz slider: two steps away from the user, +1 dB.
    xdo({"mousemove", "--window", win_, std::to_string(int(x1k)), std::to_string(int(mid))});
    xdo({"click", "4"});
    xdo({"click", "4"});
    EXPECT_TRUE(wait_until([&] { const Settings s = app.settings(); return s.curve.preamp == -8 && s.curve.band[5] == 7; }, 6000));
    EXPECT_TRUE(wait_until([&] { return std::fabs((now = level_now(rec)) - before - 1) < 1.0; }, 6000))
        << before << " -> " << now;
    // A double click sets it back to 0 dB.
    click({x1k, mid, 0.01f, 0.01f}, 0, 0, 2);
    EXPECT_TRUE(wait_until([&] { return app.settings().curve.band[5] == 0; }, 6000));
    EXPECT_TRUE(wait_until([&] { return std::fabs((now = level_now(rec)) - before + 6) < 1.0; }, 6000))
        << before << " -> " << now;
    const Settings saved = app.settings();
    EXPECT_EQ(saved.preset, "b:preset_standard");
    shot("sliders");
    rec.stop();
    player.stop();
    EXPECT_EQ(app.quit(SIGTERM), 0);
}

TEST_F(WindowPanels, PresetsAreChosenSavedOverwrittenAndDeleted) {
    // A German keyboard, so that the name's letters are keys of their own.
    ASSERT_EQ(run({"setxkbmap", "-layout", "de"}).status, 0);
    WindowApp app(home_);
    ASSERT_TRUE(start(app, kNormal)) << app.log();
    model(Settings{});

    // A built-in preset from the list: the curve glides to it and the choice is saved.
    click_region(ui::kPreset);
    ui::on_mouse_down(ui::layout()[ui::kPreset].x + 5, ui::layout()[ui::kPreset].y + 5);
    const int rock = 1 + eq::find_preset("preset_rock");
    const gfx::Rect row = ui::popup_row(rock);
    ASSERT_GT(row.w, 0);
    shot("presets-open");
    click(row);
    const eq::Curve rock_curve = eq::preset_curve(eq::find_preset("preset_rock"));
    EXPECT_TRUE(wait_until([&] { const Settings s = app.settings(); return s.preset == "b:preset_rock" && eq::same(s.curve, rock_curve); }, 6000));
    EXPECT_NE(app.settings().curve.band[0], Settings{}.curve.band[0]);

    // Saved under a name typed with non-ASCII letters (it replaces the offered name).
    click_region(ui::kSave);
    const std::string name = "Größe Übung";
    xdo({"type", "--delay", "90", name});
    wait_until([] { return false; }, 400); // the last letter drawn
    shot("save-typed");
    key("Return");
    EXPECT_TRUE(wait_until([&] { const Settings s = app.settings(); return s.user_presets.size() == 1 && s.user_presets[0].name == name && s.preset == "u:" + name; }, 6000))
        << (app.settings().user_presets.empty() ? "" : app.settings().user_presets[0].name);

    // A changed curve saved again under the offered name overwrites that preset.
    model(app.settings());
    xdo({"mousemove", "--window", win_, std::to_string(int(ui::column_centre(0, 960))), std::to_string(int(ui::slider_track().top + 40))});
    xdo({"click", "5"});
    click_region(ui::kSave);
    shot("save-overwrite");
    key("Return");
    const float band0 = rock_curve.band[0] - 0.5f;
    EXPECT_TRUE(wait_until([&] { const Settings s = app.settings(); return s.user_presets.size() == 1 && s.user_presets[0].curve.band[0] == band0; }, 6000));

    // Forty typed characters leave a name of 32.
    click_region(ui::kSave);
    const std::string forty = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    xdo({"type", "--delay", "30", forty});
    key("Return");
    EXPECT_TRUE(wait_until([&] { const Settings s = app.settings(); return s.user_presets.size() == 2 && s.user_presets[1].name == forty.substr(0, 32); }, 6000));

    // Deleted with the strip at the right of its row.
    model(app.settings());
    click_region(ui::kPreset);
    ui::on_mouse_down(ui::layout()[ui::kPreset].x + 5, ui::layout()[ui::kPreset].y + 5);
    const gfx::Rect user = ui::popup_row(13);
    const gfx::Rect list = ui::hit_rect(ui::kHitPopup);
    ASSERT_GT(user.w, 0);
    click({list.x + list.w - 17, user.y + 14, 0.01f, 0.01f});
    EXPECT_TRUE(wait_until([&] { const Settings s = app.settings(); return s.user_presets.size() == 1 && s.user_presets[0].name == forty.substr(0, 32); }, 6000));
    shot("presets-deleted");
    key("Escape");
    EXPECT_EQ(app.quit(SIGTERM), 0);
    run({"setxkbmap", "-layout", "us"});
}

TEST_F(WindowPanels, DevicesMuteEqualiserCompactAndTheSettingsPanel) {
    WindowApp app(home_);
    const std::string check = home_ + "/textcheck.txt";
    ASSERT_TRUE(start(app, kNormal, {"LUMA2_TEXTCHECK=" + check})) << app.log();
    ASSERT_TRUE(wait_until([] { return default_sink() == "lumafon"; }, 10000)) << app.log();
    model(Settings{});

    // The device list opens above the device box: "follow the default", then hw_a and hw_b.
    const gfx::Rect box = ui::layout()[ui::kDevice];
    auto device_row = [&](int i) { return gfx::Rect{box.x + 4, box.y - 4 - 3 * 28 - 8 + 4 + float(i) * 28, 200, 28}; };
    click(box);
    shot("devices-open");
    click(device_row(2));
    EXPECT_TRUE(wait_until([] { return playback_sink() == sink_index("hw_b"); }, 10000));
    EXPECT_TRUE(wait_until([&] { return app.settings().output == "hw_b"; }, 6000));
    click(box);
    click(device_row(0));
    EXPECT_TRUE(wait_until([] { return playback_sink() == sink_index("hw_a"); }, 10000));
    EXPECT_TRUE(wait_until([&] { return app.settings().output.empty(); }, 6000));

    // Mute and back, on the device the sound is played to.
    auto muted = [] {
        const std::vector<PaObject> sinks = pa_list("sinks");
        const PaObject* s = find_named(sinks, "hw_a");
        return s ? s->field("Mute") : std::string();
    };
    click_region(ui::kMute);
    EXPECT_TRUE(wait_until([&] { return muted() == "yes"; }, 6000)) << muted();
    click_region(ui::kMute);
    EXPECT_TRUE(wait_until([&] { return muted() == "no"; }, 6000)) << muted();

    // The equaliser off gives the default back, on routes again.
    click_region(ui::kPower);
    EXPECT_TRUE(wait_until([] { return default_sink() == "hw_a" && sink_index("lumafon") == 0xFFFFFFFFu; }, 10000));
    EXPECT_TRUE(wait_until([&] { return !app.settings().active; }, 6000));
    click_region(ui::kPower);
    EXPECT_TRUE(wait_until([] { return default_sink() == "lumafon"; }, 10000));

    // Compact and back.
    click_region(ui::kCompactButton);
    EXPECT_TRUE(wait_until([&] { const XWindow w = app.info(); return w.w == 420 && w.h == 150; }, 6000));
    wait_until([] { return false; }, 500); // painted at its new size
    shot("compact");
    Settings compact;
    compact.compact = true;
    model(compact, 420, 150);
    click_region(ui::kExpand);
    EXPECT_TRUE(wait_until([&] { const XWindow w = app.info(); return w.w == 960 && w.h == 820; }, 6000));
    EXPECT_TRUE(wait_until([&] { return !app.settings().compact; }, 6000));

    // The settings panel: autostart writes its entry, the equaliser-on-start switch is saved, the
    // light theme, the bug link goes through the desktop's opener.
    model(Settings{});
    wait_until([] { return false; }, 500); // the window settles at its normal size
    click_region(ui::kSettingsButton);
    ui::open_settings();
    shot("settings-open");
    click(ui::hit_rect(ui::kHitAutostart));
    EXPECT_TRUE(wait_until([&] { return !read_file(home_ + "/.config/autostart/Lumafon.desktop").empty(); }, 6000));
    click(ui::hit_rect(ui::kHitEqOnStart));
    click(ui::hit_rect(ui::kHitLight));
    click(ui::hit_rect(ui::kHitBug));
    EXPECT_TRUE(wait_until([&] { return read_file(home_ + "/xdg-open.txt").find("mailto:support@lumafon.org") != std::string::npos; }, 6000))
        << read_file(home_ + "/xdg-open.txt");
    EXPECT_TRUE(wait_until([&] { const Settings s = app.settings(); return !s.active_on_start && s.theme == "light"; }, 6000));
    shot("settings-light");

    // Right-to-left and CJK through the language list; the texts keep clear of each other.
    for (const char* code : {"ar", "ja"}) {
        SCOPED_TRACE(code);
        ui::open_settings();
        ui::draw_overlay(960, 820);
        click(ui::hit_rect(ui::kHitLanguage));
        ui::on_mouse_down(ui::hit_rect(ui::kHitLanguage).x + 5, ui::hit_rect(ui::kHitLanguage).y + 5);
        const auto& langs = i18n::languages();
        int index = -1;
        for (size_t i = 0; i < langs.size(); ++i)
            if (langs[i].code == code) index = int(i) + 1;
        ASSERT_GT(index, 0);
        const gfx::Rect list = ui::hit_rect(ui::kHitPopup);
        // Scrolled until the row shows, in the program and in the model alike.
        for (int step = 0; step < 100 && ui::popup_row(index).w <= 0; ++step) {
            ui::on_wheel(list.x + 20, list.y + 20, 1);
            xdo({"mousemove", "--window", win_, std::to_string(int(list.x + 20)), std::to_string(int(list.y + 20))});
            xdo({"click", "5"});
        }
        click(ui::popup_row(index));
        EXPECT_TRUE(wait_until([&] { return app.settings().language == code; }, 6000));
        i18n::set_language(code);
        ui::on_key(ui::Key::Escape);
        shot(std::string("settings-") + code);
    }
    i18n::set_language("en");
    key("Escape");
    // The panel is closed: the light theme's background beside the stage.
    const XWindow w = app.info();
    EXPECT_TRUE(wait_until([&] { return pixel(shot("closed-light"), w.x + 4, w.y + 400) == 0xEEF1F5; }, 5000));
    EXPECT_EQ(app.quit(SIGTERM), 0);
    const std::string log = read_file(check);
    EXPECT_EQ(log.find("OVERLAP"), std::string::npos) << log;
    EXPECT_EQ(log.find("CLIP"), std::string::npos) << log;
}

TEST_F(WindowPanels, CrashNoteAndFlashNoticeAtTheFirstStartAfterACrash) {
    const std::string dir = home_ + "/Lumafon";
    ASSERT_EQ(run({"mkdir", "-p", dir}).status, 0);
    const std::string report = "=== Lumafon crash report ===\nVersion: 1.0.3 (Build 1124)\nSignal: SIGSEGV (Segmentation fault)\n";
    ASSERT_TRUE(write_file(dir + "/crash_report.txt", report));
    // Where the note's buttons are: the same note in this process, from the same kind of report.
    const std::string mine = make_temp_dir("lumafon-model");
    ASSERT_TRUE(write_file(mine + "/crash_report.txt", report));
    crash_handler::set_report_path(mine + "/crash_report.txt");
    model(Settings{});
    ui::on_frame();
    ASSERT_TRUE(ui::crash_note_shown());
    const gfx::Rect discard = ui::hit_rect(ui::kHitCrashDiscard), send = ui::hit_rect(ui::kHitCrashSend);
    remove_tree(mine);
    {
        WindowApp app(home_);
        ASSERT_TRUE(start(app, kNormal, {}, true)) << app.log();
        shot("crash-note");
        click(discard);
        EXPECT_TRUE(wait_until([&] { return read_file(dir + "/crash_report.txt").empty(); }, 6000));
        // The flash notice comes next; Enter acknowledges it.
        shot("flash-notice");
        key("Return");
        EXPECT_TRUE(wait_until([&] { return app.settings().flash_notice_seen; }, 6000));
        EXPECT_EQ(app.quit(SIGTERM), 0);
    }
    ASSERT_TRUE(write_file(dir + "/crash_report.txt", report));
    WindowApp app(home_);
    ASSERT_TRUE(start(app, kNormal)) << app.log();
    click(send);
    EXPECT_TRUE(wait_until([&] { return !read_file(dir + "/crash_report-sent.txt").empty(); }, 6000));
    EXPECT_TRUE(wait_until([&] { return read_file(home_ + "/xdg-email.txt").find("--attach") != std::string::npos; }, 10000))
        << read_file(home_ + "/xdg-email.txt") << app.log();
    EXPECT_TRUE(read_file(dir + "/crash_report.txt").empty());
    EXPECT_EQ(app.quit(SIGTERM), 0);
}

// Each popup and the save dialog at the window's smallest size, with a hundred user presets.
TEST_F(WindowPanels, PopupsAtTheSmallestWindow) {
    Settings s;
    s.flash_notice_seen = true;
    for (int i = 0; i < 100; ++i) s.user_presets.push_back({"Preset number " + std::to_string(i + 1), eq::Curve{}});
    for (const char* panel : {"presets", "devices", "languages", "save"}) {
        SCOPED_TRACE(panel);
        WindowApp app(home_);
        ASSERT_TRUE(app.write_settings(s));
        ASSERT_TRUE(start(app, {"--expanded", "--header", "--size", "480x410"}, {std::string("LUMA2_TEST_OPEN=") + panel}))
            << app.log();
        const XWindow w = app.info();
        EXPECT_EQ(w.w, 480);
        EXPECT_EQ(w.h, 410);
        wait_until([] { return false; }, 1500); // the hook opens the panel within a few frames
        shot(std::string("small-") + panel);
        EXPECT_EQ(app.quit(SIGTERM), 0);
    }
}

} // namespace
