// The interface's input rules without a window, driven through the same calls the window makes:
// the save dialog against bad typed text, its commit rules and the 100-preset limit, the slider
// drag with its grab offset, wheel and double click, the order of the hit tests (modal notes,
// an equaliser that is off), the keys, and every popup, dialog and panel inside the view at the
// smallest view and at tall and wide ones; the save dialog's fuzz target on its seed corpus. The
// window tests drive the same through a real window.
#include "fuzz/fuzz_save_name.cpp"

#include "core/i18n.h"
#include "core/settings.h"
#include "render/gfx_cairo.h"
#include "ui/theme.h"
#include "ui/ui.h"

#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <string>

namespace {

Settings g_s;

class Panels : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(gfx::init()); }
    static void TearDownTestSuite() { gfx::shutdown(); }
    void SetUp() override { start(Settings{}); }
    void TearDown() override {
        ui::on_key(ui::Key::Escape);
        ui::on_key(ui::Key::Escape);
    }
    // A fresh interface on `s` (notice acknowledged) with a laid-out view of w x h.
    void start(Settings s, float w = 960, float h = 820) {
        s.flash_notice_seen = true;
        s.collapsed = false;
        s.head_folded = false;
        g_s = s;
        ui::init(&g_s, false);
        ui::set_pixel_scale(1);
        view(w, h);
    }
    void view(float w, float h) {
        w_ = w;
        h_ = h;
        ui::draw_base(w, h);
        ui::draw_overlay(w, h);
    }
    void click(const gfx::Rect& r, float dx = 0, float dy = 0) {
        ASSERT_GT(r.w, 0);
        ui::on_mouse_down(r.x + r.w / 2 + dx, r.y + r.h / 2 + dy);
        ui::on_mouse_up();
        view(w_, h_);
    }
    void click_region(int region) { click(ui::layout()[region]); }
    float w_ = 960, h_ = 820;
};

// Valid UTF-8 with its code points counted; -1 otherwise.
long points(const std::string& s) {
    long n = 0;
    for (size_t i = 0; i < s.size(); ++n) {
        const auto b = static_cast<unsigned char>(s[i]);
        const size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (!len || i + len > s.size()) return -1;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return -1;
        i += len;
    }
    return n;
}

bool within(const gfx::Rect& a, const gfx::Rect& b) {
    return a.w > 0 && a.x >= b.x - 0.01f && a.y >= b.y - 0.01f && a.x + a.w <= b.x + b.w + 0.01f &&
           a.y + a.h <= b.y + b.h + 0.01f;
}

TEST_F(Panels, SaveDialogKeepsAValidNameAndFollowsItsCommitRules) {
    click_region(ui::kSave);
    ASSERT_TRUE(ui::save_open());
    EXPECT_EQ(ui::save_name(), "My setting 1");
    // The first typed text replaces the offered name; Backspace then removes one character.
    ui::on_text("Größe");
    EXPECT_EQ(ui::save_name(), "Größe");
    ui::on_key(ui::Key::Backspace);
    EXPECT_EQ(ui::save_name(), "Größ");
    // Control characters, a tab, DEL and text that is not UTF-8 are refused whole.
    for (const char* bad : {"\x01", "a\tb", "x\ny", "\x7f", "\xff", "\xC3", "\xC0\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "ok\xE2\x82"})
        ui::on_text(bad);
    EXPECT_EQ(ui::save_name(), "Größ");
    // A thousand typed characters stop at 32.
    for (int i = 0; i < 1000; ++i) ui::on_text(i % 2 ? "é" : "日");
    EXPECT_EQ(points(ui::save_name()), 32);
    ui::on_text("a");
    EXPECT_EQ(points(ui::save_name()), 32);
    const std::string name = ui::save_name();
    ui::on_key(ui::Key::Enter);
    EXPECT_FALSE(ui::save_open());
    ASSERT_EQ(g_s.user_presets.size(), 1u);
    EXPECT_EQ(g_s.user_presets[0].name, name);
    EXPECT_EQ(g_s.preset, "u:" + name);
    EXPECT_NE(ui::preset_label().find(name.substr(0, 8)), std::string::npos);

    // Opening again offers the selected user preset; Backspace right away empties the field;
    // a name of spaces saves nothing.
    click_region(ui::kSave);
    EXPECT_EQ(ui::save_name(), name);
    ui::on_key(ui::Key::Backspace);
    EXPECT_EQ(ui::save_name(), "");
    ui::on_text("   ");
    ui::on_key(ui::Key::Enter);
    EXPECT_EQ(g_s.user_presets.size(), 1u);
    ui::on_key(ui::Key::Escape);
    EXPECT_FALSE(ui::save_open());

    // With 100 presets a new name is not added (the dialog stays), an existing one is overwritten.
    Settings full;
    for (int i = 0; i < 100; ++i) full.user_presets.push_back({"P" + std::to_string(i), eq::Curve{}});
    full.curve.band[3] = 4.5f;
    start(full);
    click_region(ui::kSave);
    EXPECT_EQ(ui::save_name(), "My setting 1");
    ui::on_key(ui::Key::Enter);
    EXPECT_TRUE(ui::save_open());
    EXPECT_EQ(g_s.user_presets.size(), 100u);
    ui::on_key(ui::Key::Escape);
    click_region(ui::kSave);
    ui::on_text("P7");
    ui::on_key(ui::Key::Enter);
    EXPECT_FALSE(ui::save_open());
    EXPECT_EQ(g_s.user_presets.size(), 100u);
    EXPECT_EQ(g_s.user_presets[7].curve.band[3], 4.5f);
    EXPECT_EQ(g_s.preset, "u:P7");
}

TEST_F(Panels, PresetListChoosesGlidesAndDeletesAndAUserNameDoesNotShadowABuiltIn) {
    Settings s;
    s.user_presets.push_back({i18n::T("preset_rock"), eq::Curve{}});
    s.user_presets.push_back({"Mine", eq::Curve{}});
    start(s);
    click_region(ui::kPreset);
    ASSERT_TRUE(ui::popup_open());
    // Heading, eleven built-ins, heading, two user presets; the built-in "Rock" is row 1 + its index.
    const int rock = 1 + eq::find_preset("preset_rock");
    click(ui::popup_row(rock));
    EXPECT_FALSE(ui::popup_open());
    EXPECT_EQ(g_s.preset, "b:preset_rock");
    // The glide runs over about 0.8 s; until it ends the label names the preset without "modified".
    EXPECT_EQ(ui::preset_label(), i18n::T("preset_rock"));

    // The delete strip of the user preset "Mine" removes it and keeps the list open.
    click_region(ui::kPreset);
    const gfx::Rect mine = ui::popup_row(14);
    ASSERT_GT(mine.w, 0);
    const gfx::Rect list = ui::hit_rect(ui::kHitPopup);
    ui::on_mouse_down(list.x + list.w - 10, mine.y + mine.h / 2);
    EXPECT_TRUE(ui::popup_open());
    ASSERT_EQ(g_s.user_presets.size(), 1u);
    EXPECT_EQ(g_s.user_presets[0].name, i18n::T("preset_rock"));
    // A click on a heading does nothing; outside the list it closes without choosing.
    click(ui::popup_row(0));
    EXPECT_TRUE(ui::popup_open());
    ui::on_mouse_down(5, 800);
    EXPECT_FALSE(ui::popup_open());
    EXPECT_EQ(g_s.preset, "b:preset_rock");
}

TEST_F(Panels, SlidersKeepTheGrabOffsetJumpWheelAndReset) {
    const ui::Track t = ui::slider_track();
    const float mid = (t.top + t.bottom) / 2, half = (t.bottom - t.top) / 2;
    g_s.curve.band[4] = 0;
    const float cx = ui::column_centre(4, 960);
    // Grabbed 6 units below the knob's centre: the offset is kept, the knob does not jump.
    ui::on_mouse_down(cx, mid + 6);
    EXPECT_EQ(g_s.curve.band[4], 0);
    EXPECT_EQ(ui::cursor_at(cx, mid + 6), 3);
    ui::on_mouse_move(cx, mid + 6 - half / 2);
    ui::on_mouse_up();
    EXPECT_EQ(g_s.curve.band[4], 6);
    // Far from the knob it jumps to the pointer (rounded to half a dB).
    ui::on_mouse_down(cx, t.top + 1);
    ui::on_mouse_up();
    EXPECT_EQ(g_s.curve.band[4], 12);
    // Towards the user at +12 gives 11.5; away from the user stays at 12.
    ui::on_wheel(cx, mid, 1);
    EXPECT_EQ(g_s.curve.band[4], 11.5f);
    ui::on_wheel(cx, mid, -1);
    ui::on_wheel(cx, mid, -1);
    EXPECT_EQ(g_s.curve.band[4], 12);
    ui::on_double_click(cx, mid);
    EXPECT_EQ(g_s.curve.band[4], 0);
    // The preamp sits at x 86.
    ui::on_mouse_down(86, t.bottom - 1);
    ui::on_mouse_up();
    EXPECT_EQ(g_s.curve.preamp, -12);
    EXPECT_EQ(ui::preset_label(), std::string(i18n::T("preset_standard")) + " · " + i18n::T("preset_modified"));

    // With the equaliser off the sliders and the preset selector cannot be hit and the scene
    // knows no bands.
    click_region(ui::kPower);
    EXPECT_FALSE(g_s.active);
    EXPECT_EQ(ui::hit(cx, mid), ui::kHitNothing);
    EXPECT_EQ(ui::hit(ui::layout()[ui::kPreset].x + 5, 30), ui::kHitNothing);
    EXPECT_EQ(ui::hit(480, 200), ui::kHitScene);
    EXPECT_EQ(ui::cursor_at(480, 200), 2);
    click_region(ui::kPower);
    EXPECT_TRUE(g_s.active);
    EXPECT_EQ(ui::hit(cx, mid), ui::kHitBand0 + 4);
}

TEST_F(Panels, NotesAreModalAndKeysCloseWhatIsOpen) {
    Settings s;
    start(s);
    g_s.flash_notice_seen = false;
    ui::init(&g_s, false);
    view(960, 820);
    ASSERT_TRUE(ui::flash_note_shown());
    // Everything but its switch and its button is the notice's box.
    EXPECT_EQ(ui::hit(ui::column_centre(4, 960), 600), ui::kHitFlashBox);
    EXPECT_EQ(ui::hit(5, 5), ui::kHitFlashBox);
    click(ui::hit_rect(ui::kHitFlashReduce));
    EXPECT_TRUE(g_s.reduce_flashes);
    ui::on_key(ui::Key::Escape);
    EXPECT_TRUE(ui::flash_note_shown());
    ui::on_key(ui::Key::Enter);
    EXPECT_FALSE(ui::flash_note_shown());
    EXPECT_TRUE(g_s.flash_notice_seen);

    // Escape closes the popup first, then the settings panel; the panel's link shows the notice.
    click_region(ui::kSettingsButton);
    ASSERT_TRUE(ui::settings_open());
    click(ui::hit_rect(ui::kHitLanguage));
    ASSERT_TRUE(ui::popup_open());
    ui::on_key(ui::Key::Escape);
    EXPECT_FALSE(ui::popup_open());
    EXPECT_TRUE(ui::settings_open());
    ui::on_key(ui::Key::Escape);
    EXPECT_FALSE(ui::settings_open());
    click_region(ui::kSettingsButton);
    click(ui::hit_rect(ui::kHitFlashLink));
    EXPECT_TRUE(ui::flash_note_shown());
    EXPECT_FALSE(ui::settings_open());
    ui::on_key(ui::Key::Enter);
    // A click beside the panel closes it.
    click_region(ui::kSettingsButton);
    ui::on_mouse_down(3, 3);
    EXPECT_FALSE(ui::settings_open());
}

// Every popup, dialog and panel inside the view: the smallest (the window's minimum shows the
// reference view), tall and narrow, short and wide; long lists scroll to their last row.
TEST_F(Panels, EverySurfaceFitsTheView) {
    Settings s;
    for (int i = 0; i < 100; ++i) s.user_presets.push_back({"Preset number " + std::to_string(i), eq::Curve{}});
    for (const auto& size : {std::pair<float, float>{960, 820}, {960, 1640}, {3840, 820}}) {
        SCOPED_TRACE(std::to_string(int(size.first)) + "x" + std::to_string(int(size.second)));
        start(s, size.first, size.second);
        const gfx::Rect all{0, 0, size.first, size.second};
        auto check_popup = [&](int items) {
            ASSERT_TRUE(ui::popup_open());
            const gfx::Rect p = ui::hit_rect(ui::kHitPopup);
            EXPECT_TRUE(within(p, {10, 0, all.w - 20, all.h})) << p.x << "," << p.y << " " << p.w << "x" << p.h;
            for (int i = 0; i < items + 5; ++i) ui::on_wheel(p.x + 20, p.y + 20, 1);
            view(size.first, size.second);
            const gfx::Rect last = ui::popup_row(items - 1);
            EXPECT_TRUE(within(last, p)) << items;
            ui::on_key(ui::Key::Escape);
        };
        click_region(ui::kPreset);
        check_popup(1 + 11 + 1 + 100);
        click_region(ui::kDevice);
        check_popup(1); // no sound server in this process: only "follow the default"
        click_region(ui::kSettingsButton);
        const gfx::Rect panel = ui::hit_rect(ui::kHitPanel);
        EXPECT_TRUE(within(panel, all));
        for (int code = ui::kHitAutostart; code <= ui::kHitPackages; ++code)
            EXPECT_TRUE(within(ui::hit_rect(code), panel)) << code;
        click(ui::hit_rect(ui::kHitLanguage));
        check_popup(1 + int(i18n::languages().size()));
        ui::on_key(ui::Key::Escape);
        click_region(ui::kSave);
        EXPECT_TRUE(within(ui::hit_rect(ui::kHitSaveBox), all));
        for (int code : {ui::kHitField, ui::kHitSaveOk, ui::kHitSaveCancel})
            EXPECT_TRUE(within(ui::hit_rect(code), ui::hit_rect(ui::kHitSaveBox))) << code;
        ui::on_key(ui::Key::Escape);
        g_s.flash_notice_seen = false;
        ui::init(&g_s, false);
        view(size.first, size.second);
        EXPECT_TRUE(within(ui::hit_rect(ui::kHitFlashBox), all));
        EXPECT_TRUE(within(ui::hit_rect(ui::kHitFlashOk), ui::hit_rect(ui::kHitFlashBox)));
        ui::on_key(ui::Key::Enter);
    }
    // An open list follows its row when the view changes (the window goes full screen).
    start(s, 960, 820);
    click_region(ui::kSettingsButton);
    click(ui::hit_rect(ui::kHitLanguage));
    view(960, 1640);
    const gfx::Rect row = ui::hit_rect(ui::kHitLanguage), list = ui::hit_rect(ui::kHitPopup);
    EXPECT_NEAR(list.y, row.y + 5 + 30 + 4, 0.5f) << row.y;
}

// Last: the fuzz target starts the drawing layer on its own.
TEST(SaveNameFuzz, SeedCorpusPasses) {
    const std::vector<std::string> corpus = test_support::fuzz_corpus("save_name");
    for (const std::string& data : corpus)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    EXPECT_GE(corpus.size(), 5u);
}

} // namespace
