// The interface's layout arithmetic without a window: view scale, the regions of both window
// modes, slider columns at the smallest and largest views, the folded header, the fine column
// grid, the segment rules at their edges, and the floating hint's drift over the visualizer.
#include "core/i18n.h"
#include "core/settings.h"
#include "render/app_sdl.h"
#include "render/gfx_cairo.h"
#include "ui/theme.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

Settings g_settings;

// Every test may run alone (the suite runs each in a process of its own): the fixture starts the
// drawing layer and the interface.
class Layout : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gfx::init());
        ui::init(&g_settings, false);
        ui::set_pixel_scale(1);
    }
    static void TearDownTestSuite() { gfx::shutdown(); }
};

void lay_out(float w, float h, bool compact, bool folded, bool collapsed) {
    g_settings.compact = compact;
    g_settings.head_folded = folded;
    g_settings.collapsed = collapsed;
    ui::draw_base(w, h);
}

bool empty(const gfx::Rect& r) {
    return r.w <= 0 || r.h <= 0;
}
bool inside(const gfx::Rect& a, const gfx::Rect& b) {
    return a.x >= b.x - 0.01f && a.y >= b.y - 0.01f && a.x + a.w <= b.x + b.w + 0.01f && a.y + a.h <= b.y + b.h + 0.01f;
}
bool overlap(const gfx::Rect& a, const gfx::Rect& b) {
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

TEST(LayoutStart, SizesPassUnchangedBeforeTheSettingsAreKnown) {
    const ui::View raw = ui::view_for(1234, 567);
    EXPECT_EQ(raw.scale, 1);
    EXPECT_EQ(raw.w, 1234);
    int w = 0, h = 0;
    ui::reference_size(&w, &h);
    EXPECT_EQ(w, 960);
    EXPECT_EQ(h, 820);
}

TEST_F(Layout, ViewScale) {

    const ui::View wide = ui::view_for(1920, 820);
    EXPECT_FLOAT_EQ(wide.scale, 1);
    EXPECT_FLOAT_EQ(wide.w, 1920);
    EXPECT_FLOAT_EQ(wide.h, 820);
    const ui::View tiny = ui::view_for(100, 50); // the floor of the scale
    EXPECT_FLOAT_EQ(tiny.scale, 0.25f);
    EXPECT_FLOAT_EQ(tiny.w, 400);
    EXPECT_FLOAT_EQ(tiny.h, 200);
    const ui::View tall = ui::view_for(960, 1640);
    EXPECT_FLOAT_EQ(tall.scale, 1);
    EXPECT_FLOAT_EQ(tall.h, 1640);
    EXPECT_EQ(ui::view_for(0, 10).scale, 1);

    g_settings.compact = true;
    int rw = 0, rh = 0;
    ui::reference_size(&rw, &rh);
    EXPECT_EQ(rw, 420);
    EXPECT_EQ(rh, 150);
    EXPECT_FLOAT_EQ(ui::view_for(840, 300).scale, 2);
    g_settings.compact = false;
}

TEST_F(Layout, SlidersFitEveryView) {
    EXPECT_NEAR(ui::column_centre(0, 960), 205.7f, 0.05f);
    EXPECT_NEAR(ui::column_centre(1, 960) - ui::column_centre(0, 960), 71.4f, 0.05f);
    // The smallest view, the widest and the tallest one.
    const float sizes[][2] = {{960, 820}, {3840, 820}, {960, 1640}};
    for (const auto& s : sizes) {
        SCOPED_TRACE(testing::Message() << s[0] << "x" << s[1]);
        lay_out(s[0], s[1], false, false, false);
        const gfx::Rect* L = ui::layout();
        const gfx::Rect& panel = L[ui::kLower];
        ASSERT_FALSE(empty(panel));
        for (int i = 0; i < 10; ++i) {
            const gfx::Rect& r = L[ui::kSlider0 + i];
            EXPECT_NEAR(r.x + r.w / 2, ui::column_centre(i, s[0]), 0.01f);
            EXPECT_TRUE(inside(r, panel));
            if (i) {
                EXPECT_FALSE(overlap(r, L[ui::kSlider0 + i - 1]));
            }
        }
        EXPECT_FALSE(overlap(L[ui::kPreampSlider], L[ui::kSlider0]));
        EXPECT_TRUE(inside(L[ui::kPreampSlider], panel));
        // The right scale (30 wide) stays inside the panel beside the last column.
        EXPECT_LE(ui::column_centre(9, s[0]) + (s[0] - 246) / 20 + 34, panel.x + panel.w);
        const ui::Track t = ui::slider_track();
        EXPECT_FLOAT_EQ(t.top, panel.y + 66);
        EXPECT_FLOAT_EQ(t.bottom, panel.y + panel.h - 40);
        EXPECT_FLOAT_EQ(ui::level_y(12, t.top, t.bottom), t.top);
        EXPECT_FLOAT_EQ(ui::level_y(-30, t.top, t.bottom), t.bottom);
        EXPECT_FALSE(overlap(L[ui::kReset], L[ui::kHintLine]));
        EXPECT_FALSE(overlap(L[ui::kDevice], L[ui::kStatusLine]));
        EXPECT_TRUE(inside(L[ui::kDevice], L[ui::kBottom]));
        EXPECT_TRUE(inside(L[ui::kVisual], L[ui::kStage]));
        EXPECT_FALSE(overlap(L[ui::kStage], L[ui::kLower]));
        EXPECT_FALSE(overlap(L[ui::kLower], L[ui::kBottom]));
    }
}

TEST_F(Layout, HeaderFoldsAndPanelCollapses) {
    lay_out(960, 820, false, false, true);
    const gfx::Rect* L = ui::layout();
    const int buttons[] = {ui::kPower, ui::kMute, ui::kPreset, ui::kSave, ui::kFullButton, ui::kCompactButton,
                           ui::kSettingsButton};
    for (int b : buttons) {
        EXPECT_FALSE(empty(L[b])) << b;
        EXPECT_TRUE(inside(L[b], L[ui::kHeader])) << b;
    }
    for (int i = 0; i + 1 < 7; ++i) EXPECT_FALSE(overlap(L[buttons[i]], L[buttons[i + 1]])) << i;
    EXPECT_GE(L[ui::kPower].w, 112);
    EXPECT_FLOAT_EQ(L[ui::kStage].y, 70);
    // Collapsed: the stage runs to 30 above the bottom, no equaliser panel, the handle below it.
    EXPECT_FLOAT_EQ(L[ui::kStage].h, 820 - 70 - 30);
    EXPECT_TRUE(empty(L[ui::kLower]));
    EXPECT_TRUE(empty(L[ui::kSlider0]));
    EXPECT_TRUE(empty(L[ui::kBottom]));
    EXPECT_FLOAT_EQ(L[ui::kHandle].y, 820 - 25);

    lay_out(960, 820, false, true, false);
    for (int b : buttons) EXPECT_TRUE(empty(L[b])) << b;
    EXPECT_FALSE(empty(L[ui::kFold]));
    EXPECT_FLOAT_EQ(L[ui::kHeader].w, 84);
    EXPECT_FLOAT_EQ(L[ui::kStage].y, 30);
    EXPECT_FLOAT_EQ(L[ui::kStage].h, 452);
    EXPECT_FALSE(ui::title_view().shown);
    EXPECT_FLOAT_EQ(L[ui::kLower].y, 500);
}

TEST_F(Layout, CompactRegions) {
    lay_out(420, 150, true, false, false);
    const gfx::Rect* L = ui::layout();
    EXPECT_TRUE(empty(L[ui::kStage]));
    const gfx::Rect all{0, 0, 420, 150};
    const int regions[] = {ui::kClose, ui::kExpand, ui::kMiniMute, ui::kMiniPower, ui::kMiniTitle, ui::kMiniBars,
                           ui::kMiniMeters};
    for (int r : regions) EXPECT_TRUE(inside(L[r], all)) << r;
    for (int i = 0; i < 5; ++i)
        for (int j = i + 1; j < 7; ++j) EXPECT_FALSE(overlap(L[regions[i]], L[regions[j]])) << i << " " << j;
    const ui::BarView v = ui::bar_view();
    EXPECT_TRUE(v.compact);
    EXPECT_FALSE(v.ring);
    EXPECT_EQ(ui::bar_columns(), 31);
    EXPECT_FLOAT_EQ(v.size, 150 - 38);
    // 31 columns of the normal grid fit the bars region.
    const ui::BarGeom g = ui::bar_geom(v.bars.w, v.bars.h, false);
    EXPECT_LE(31 * g.bar_w + 30 * g.gap, v.bars.w);
    EXPECT_GE(g.bar_w, 1);
    g_settings.compact = false;
}

TEST_F(Layout, FineGridAndSegments) {
    // The fine grid follows the pixel scale but keeps to 31..96 columns.
    for (float px : {0.25f, 1.0f, 2.0f, 4.0f}) {
        ui::set_pixel_scale(px);
        lay_out(1920, 1640, false, false, true);
        const ui::BarView v = ui::bar_view();
        EXPECT_TRUE(v.ring);
        const int n = ui::bar_columns();
        EXPECT_GE(n, 31) << px;
        EXPECT_LE(n, 96) << px;
        const ui::BarGeom g = ui::bar_geom(v.bars.w, v.bars.h, false);
        EXPECT_LE(float(n) * (g.bar_w + g.gap), v.bars.w + g.gap + 0.01f) << px;
        EXPECT_GE(g.count, 4);
    }
    ui::set_pixel_scale(4);
    lay_out(1920, 1640, false, false, true);
    EXPECT_GT(ui::bar_columns(), 90); // a huge ring: the pitch grows instead of the count
    ui::set_pixel_scale(1);
    lay_out(960, 820, false, false, true);

    int lit = 0, peak = 0;
    ui::segments(20, -66, -66, &lit, &peak);
    EXPECT_EQ(lit, 0);
    EXPECT_EQ(peak, -1);
    ui::segments(20, 0, 0, &lit, &peak);
    EXPECT_EQ(lit, 20);
    EXPECT_EQ(peak, 19);
    ui::segments(20, -200, -65, &lit, &peak); // p about 0.015: no marker
    EXPECT_EQ(lit, 0);
    EXPECT_EQ(peak, -1);
    ui::segments(20, 30, 30, &lit, &peak);
    EXPECT_EQ(lit, 20);
    EXPECT_EQ(peak, 19);
    ui::segments(20, -33, -33, &lit, &peak);
    EXPECT_EQ(lit, 10);
    EXPECT_EQ(peak, 10);

    // Tiny heights still give four segments; meters split their width into two columns.
    EXPECT_EQ(ui::geom_for(true, 31, 100, 1).count, 4);
    const ui::BarGeom m = ui::meter_geom(22, 98);
    EXPECT_FLOAT_EQ(m.gap, 5);
    EXPECT_FLOAT_EQ(m.bar_w, 8);
    EXPECT_EQ(m.count, int((98 + 1) / 4));

    // Nothing sounds yet: no column shows a lit segment or a peak.
    int lits[96], peaks[96];
    ui::bar_segments(40, lits, peaks);
    for (int i = 0; i < ui::bar_columns(); ++i) {
        EXPECT_EQ(lits[i], 0) << i;
        EXPECT_EQ(peaks[i], -1) << i;
    }
}

TEST_F(Layout, TitleAndHint) {
    lay_out(960, 820, false, false, false);
    const ui::TitleView& t = ui::title_view();
    ASSERT_TRUE(t.shown);
    EXPECT_EQ(t.count, 7);
    EXPECT_STREQ(t.chars[0], "L");
    for (int i = 1; i < t.count; ++i) EXPECT_NEAR(t.offset[i], t.offset[i - 1] + t.width[i - 1], 0.01f);
    EXPECT_LT(t.x + t.offset[6] + t.width[6], ui::layout()[ui::kPower].x);
    // The colours travel through the bar gradient once every five seconds.
    EXPECT_EQ(ui::title_color(0, 7, 0), theme::bar_color(0));
    EXPECT_EQ(ui::title_color(0, 7, 5), ui::title_color(0, 7, 0));
    EXPECT_NE(ui::title_color(0, 7, 1), ui::title_color(0, 7, 0));
    theme::set_dark(false);
    EXPECT_EQ(ui::title_color(0, 7, 0), theme::mix(theme::bar_color(0), 0xFF000000, 0.25f));
    theme::set_dark(true);

    const ui::HintView& h = ui::play_hint();
    EXPECT_NEAR(h.size, 0.048f * 960, 0.01f);
    EXPECT_LE(h.box_w, 0.9f * 960 + 0.5f);
    EXPECT_FLOAT_EQ(h.box_h, 1.7f * h.size);
    lay_out(3000, 820, false, false, false);
    EXPECT_FLOAT_EQ(ui::play_hint().size, 64);
}

// In a language written right to left the rows of controls and texts read from the right: each
// such region is the mirror image of its left-to-right place; the equaliser, the stage and the
// spectrum stay where they are. The title sits left of the fold button, clear of the buttons.
TEST_F(Layout, RightToLeftMirrorsTheRowsButNotTheEqualiser) {
    struct Mode {
        float w, h;
        bool compact;
        std::vector<int> mirrored, kept;
    };
    const Mode modes[] = {
        {1200, 820, false,
         {ui::kHeader, ui::kLogo, ui::kFold, ui::kMute, ui::kPreset, ui::kSave, ui::kFullButton, ui::kCompactButton,
          ui::kSettingsButton},
         {ui::kStage, ui::kVisual, ui::kLower, ui::kHandle, ui::kBottom, ui::kSlider0, ui::kSlider0 + 9,
          ui::kPreampSlider}},
        {504, 180, true,
         {ui::kLogo, ui::kClose, ui::kExpand, ui::kMiniMute, ui::kMiniPower, ui::kMiniTitle},
         {ui::kMiniBars, ui::kMiniMeters, ui::kGrip}},
    };
    for (const Mode& m : modes) {
        i18n::set_language("en");
        lay_out(m.w, m.h, m.compact, false, false);
        std::vector<gfx::Rect> ltr(ui::layout(), ui::layout() + ui::kRegions);
        i18n::set_language("he");
        lay_out(m.w, m.h, m.compact, false, false);
        const gfx::Rect* rtl = ui::layout();
        for (int r : m.mirrored) {
            EXPECT_NEAR(rtl[r].x, m.w - ltr[r].x - ltr[r].w, 0.01f) << "region " << r;
            EXPECT_FLOAT_EQ(rtl[r].y, ltr[r].y) << r;
            EXPECT_FLOAT_EQ(rtl[r].w, ltr[r].w) << r;
        }
        for (int r : m.kept) EXPECT_FLOAT_EQ(rtl[r].x, ltr[r].x) << "region " << r;
        if (!m.compact) {
            // Regions sized by their texts keep the edge the layout anchors them at, mirrored.
            EXPECT_FLOAT_EQ(rtl[ui::kPower].x, 498);
            EXPECT_FLOAT_EQ(rtl[ui::kReset].x, 18 + 14);
            EXPECT_FLOAT_EQ(rtl[ui::kHintLine].x + rtl[ui::kHintLine].w, m.w - 18 - 16);
            EXPECT_GT(rtl[ui::kDevice].x, m.w / 2);
            EXPECT_FLOAT_EQ(rtl[ui::kStatusLine].x + rtl[ui::kStatusLine].w, rtl[ui::kDevice].x - 14);
            const ui::TitleView& t = ui::title_view();
            ASSERT_TRUE(t.shown);
            EXPECT_NEAR(t.x + t.offset[6] + t.width[6], rtl[ui::kFold].x - 14, 0.01f);
            EXPECT_GT(t.x, rtl[ui::kPower].x + rtl[ui::kPower].w);
        }
    }
    i18n::set_language("en");
}

// The hint floats over the visualizer's area: in the expanded window it never goes under the
// equaliser panel (halo and wave included), yet drifts through most of the area's height; in the
// collapsed window, whose area reaches the view's bottom, it drifts as low as the view allows.
TEST_F(Layout, HintDriftsOverTheVisualizerNeverUnderThePanel) {
    for (const bool collapsed : {false, true}) {
        SCOPED_TRACE(collapsed ? "collapsed" : "expanded");
        lay_out(960, 820, false, false, collapsed);
        const ui::HintView& h = ui::play_hint();
        const gfx::Rect v = ui::layout()[ui::kVisual];
        ASSERT_GT(v.h, 100);
        float top = 1e9f, bottom = -1e9f;
        for (double t = 0; t < 600; t += 0.05) {
            const app_sdl::detail::HintBox b = app_sdl::detail::hint_box(h.view_w, h.view_h, h.box_w, h.box_h, v.y + v.h, t);
            const float scaled = h.box_h * b.scale, y = b.y + (h.box_h - scaled) / 2;
            top = std::min(top, y - 4 - 3);
            bottom = std::max(bottom, y + scaled + 4 + 3);
            EXPECT_GE(b.x, 0);
            EXPECT_LE(b.x + h.box_w, h.view_w);
        }
        EXPECT_GE(top, v.y);
        EXPECT_LE(bottom, v.y + v.h);
        EXPECT_GT(bottom - top, 0.6f * v.h) << "the hint drifts through the area";
        if (collapsed) {
            EXPECT_GT(bottom, 0.75f * h.view_h);
        }
    }
}

} // namespace
