// The interface model (see ui.h). Window thread only.
//
// Sections, in this order: view, state, segments, views, frame, painting, templates, input,
// panels, beat tracker. The state of input and panels is declared before the frame, which moves
// the curve glide and the caret.
#include "ui/ui.h"

#include "audio/audio_pulse.h"
#include "core/i18n.h"
#include "core/logger.h"
#include "core/settings.h"
#include "desktop/autostart_linux.h"
#include "desktop/crash_handler_linux.h"
#include "dsp/analyzer.h"
#include "render/app_sdl.h"
#include "resources/icon_data.h"
#include "scene/scene3d.h"
#include "ui/theme.h"

#include <cairo.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace ui {

// ---- View ---------------------------------------------------------------------------------------

namespace {

Settings* S = nullptr;
bool g_autostart = false;
float g_px = 1;
float g_w = 960, g_h = 820;
gfx::Rect L[kRegions];
bool g_dirty = true;
bool g_fullscreen = false;
bool g_fullscreen_toggle = false;
audio::Status g_status;
audio::Status g_status_new;
unsigned long g_status_serial = 0;
analyzer::Ballistics g_bal;
analyzer::PeakMeter g_meter_l, g_meter_r;
bool g_sound = false;
bool g_fine = false;
int g_fine_cols = 31;
int g_fine_bw_px = 2, g_fine_gap_px = 1;
float g_auto_top = -30;
float g_band_top[analyzer::kBars];
uint64_t g_seg_last = 0;
uint64_t g_save_at = 0;
uint64_t g_last_frame = 0;
TitleView g_title;
HintView g_hint;
gfx::Rect g_scene_area;
bool g_rtl = false; // the layout is mirrored for a language written right to left

// Tap buffers and the level log, reserved once so that a frame allocates nothing.
float g_tap_l[analyzer::kFftSize], g_tap_r[analyzer::kFftSize], g_mono[analyzer::kFftSize];
float g_levels[analyzer::kBars];
float g_prev_levels[analyzer::kBars];
unsigned long g_serial = 0;
// Time since the beat tracker last ran: the sound comes in blocks that may span several frames,
// and the tracker's clock must count the frames without new sound too.
float g_beat_dt = 0;
float g_rate = 48000;
bool g_level_log = false;
int g_log_frames = 0, g_log_new = 0;
float g_log_jump = 0, g_log_time = 0;
const char* g_test_open = nullptr;

uint64_t now_ms() {
    return platform::ticks_ms();
}

// A length of n device pixels in logical units, at least one pixel.
float px_round(float n) {
    const float p = std::round(n * g_px);
    return p <= 1 ? 1 / g_px : p / g_px;
}

gfx::Rect rect(float x, float y, float w, float h) {
    return {x, y, w, h};
}

// A piece at (x, y, w, h) relative to the box `b` as a left-to-right layout places it; mirrored
// inside the box for a language written right to left.
gfx::Rect in_box(const gfx::Rect& b, float x, float y, float w, float h) {
    return {g_rtl ? b.x + b.w - x - w : b.x + x, b.y + y, w, h};
}

// Where a line of text starts: the left, or the right in a right-to-left language.
gfx::Align start_align() {
    return g_rtl ? gfx::Align::Right : gfx::Align::Left;
}

} // namespace

void reference_size(int* w, int* h) {
    const bool compact = S && S->compact;
    *w = compact ? 420 : 960;
    *h = compact ? 150 : 820;
}

View view_for(int w, int h) {
    if (!S || w <= 0 || h <= 0) return {1, float(w), float(h)};
    int rw = 0, rh = 0;
    reference_size(&rw, &rh);
    const float scale = std::max(0.25f, std::min(float(h) / float(rh), float(w) / float(rw)));
    return {scale, float(w) / scale, float(h) / scale};
}

void set_pixel_scale(float px) {
    g_px = px > 0 && std::isfinite(px) ? px : 1;
}

const gfx::Rect* layout() {
    return L;
}

Track slider_track() {
    const gfx::Rect& p = L[kLower];
    return {p.y + 66, p.y + p.h - 40};
}

float column_centre(int band, float view_w) {
    const float pitch = (view_w - 246) / 10;
    return 170 + pitch / 2 + float(band) * pitch;
}

float level_y(float db, float top, float bottom) {
    return (top + bottom) / 2 - (bottom - top) / 2 * std::clamp(db, -12.0f, 12.0f) / 12;
}

namespace {

float bold_width(const char* s, float size) {
    return gfx::text_width(s, size, true);
}

void mirror_for_rtl(float W, std::initializer_list<Region> regions) {
    if (!g_rtl) return;
    for (Region r : regions)
        if (L[r].w > 0) L[r].x = W - L[r].x - L[r].w;
}

// The whole layout of either mode for a view of w x h.
void lay_out(float W, float H) {
    for (gfx::Rect& r : L) r = {};
    g_rtl = i18n::rtl();
    if (S && S->compact) {
        L[kLogo] = rect(12, 9, 18, 18);
        L[kClose] = rect(W - 38, 6, 28, 24);
        L[kExpand] = rect(W - 72, 6, 30, 24);
        L[kMiniMute] = rect(W - 108, 6, 30, 24);
        L[kMiniPower] = rect(W - 138, 6, 24, 24);
        L[kMiniTitle] = rect(36, 6, W - 176, 22);
        L[kGrip] = rect(W - 16, H - 16, 16, 16);
        L[kMiniBars] = rect(12, 32, W - 56, H - 38);
        L[kMiniMeters] = rect(W - 34, 36, 22, H - 52);
        mirror_for_rtl(W, {kLogo, kClose, kExpand, kMiniMute, kMiniPower, kMiniTitle});
        return;
    }
    const bool folded = S && S->head_folded;
    const bool collapsed = S && S->collapsed;
    L[kLogo] = rect(18, 14, 42, 42);
    L[kFold] = rect(64, 20, 18, 30);
    L[kHeader] = folded ? rect(10, 8, 84, 54) : rect(10, 8, W - 20, 54);
    if (!folded) {
        L[kSettingsButton] = rect(W - 60, 16, 42, 38);
        L[kCompactButton] = rect(W - 110, 16, 42, 38);
        L[kFullButton] = rect(W - 160, 16, 42, 38);
        L[kSave] = rect(W - 212, 16, 42, 38);
        L[kPreset] = rect(W - 438, 16, 220, 38);
        L[kMute] = rect(W - 490, 16, 42, 38);
        const float p = std::max(112.0f, 46 + std::max(bold_width(i18n::T("power_off"), 14),
                                                       bold_width(i18n::T("power_on"), 14)));
        L[kPower] = rect(W - 498 - p, 16, p, 38);
    }
    const float D = folded ? 30 : 70, C = folded ? 50 : 90;
    const float F = collapsed ? H - D - 30 : (folded ? 452 : 412);
    L[kStage] = rect(18, D, W - 36, F);
    L[kVisual] = rect(30, C, W - 60, F - 28);
    L[kHandle] = collapsed ? rect(W / 2 - 34, H - 25, 68, 18) : rect(W / 2 - 34, 483, 68, 16);
    // The rows of controls and texts read from the right in a right-to-left language; the
    // equaliser and the spectrum keep low frequencies on the left, like any frequency chart.
    mirror_for_rtl(W, {kHeader, kLogo, kFold, kPower, kMute, kPreset, kSave, kFullButton, kCompactButton,
                       kSettingsButton});
    if (collapsed) return;
    const float ly = 500;
    L[kLower] = rect(18, ly, W - 36, H - ly - 64);
    const gfx::Rect& p = L[kLower];
    const float rw = bold_width(i18n::T("reset"), 12) + 24;
    L[kReset] = rect(p.x + p.w - 14 - rw, p.y + 10, rw, 24);
    L[kHintLine] = rect(p.x + 16, p.y + 10, L[kReset].x - p.x - 30, 24);
    for (int i = 0; i < 10; ++i)
        L[kSlider0 + i] = rect(column_centre(i, W) - 20, p.y + 54, 40, p.h - 54 - 28);
    L[kPreampSlider] = rect(86 - 20, p.y + 54, 40, p.h - 54 - 28);
    const float dx = gfx::text_width(i18n::T("device"), 12, false) + 30;
    L[kDevice] = rect(dx, H - 50, std::min(0.45f * W, 420.0f), 36);
    const float sx = L[kDevice].x + L[kDevice].w + 14;
    L[kStatusLine] = rect(sx, H - 50, W - 18 - sx, 36);
    L[kBottom] = rect(10, H - 58, W - 20, 50);
    mirror_for_rtl(W, {kReset, kHintLine, kDevice, kStatusLine});
}

} // namespace

// ---- Input and panels: state ------------------------------------------------------------------

namespace {

int g_hover = 0;
int g_drag = -1;          // hit code being dragged (a slider or a scene band), -1: none
float g_drag_offset = 0;  // pointer minus knob when the knob was grabbed by its edge
float g_drag_y0 = 0, g_drag_v0 = 0; // scene band: where the drag began
bool g_rotating = false;
float g_last_x = 0, g_last_y = 0, g_spin = 0;
uint64_t g_last_move = 0;
bool g_settings_open = false;
bool g_settings_at_start = false;
bool g_flash_note = false;
bool g_crash_note = false, g_crash_checked = false;
bool g_languages_next = false; // the test hook opens the language list once the panel is laid out

struct Popup {
    bool open = false;
    gfx::Rect anchor, rect;
    int anchor_region = -1; // the layout region it opened at (kRegions: the language row's box)
    std::vector<std::string> items;
    std::vector<char> heading, deletable;
    int selected = -1, hover = -1, first = 0, visible = 0;
    bool strip_hover = false;
    float width = 0; // widest row, measured once at opening
    std::function<void(int)> on_pick, on_delete;
};
Popup g_popup;

struct SaveDialog {
    bool open = false;
    std::string name;
    bool replace = false; // the first typed text or Backspace clears the offered name
};
SaveDialog g_save;
uint64_t g_caret_from = 0;
bool g_caret_on = true;

struct Glide {
    bool on = false;
    eq::Curve from, to;
    uint64_t start = 0;
};
Glide g_glide;

// Rectangles of the overlay's elements by hit code, laid out with the view they were made for.
gfx::Rect g_over_rect[kHitCodes];

void schedule_save() {
    g_save_at = now_ms() + 1200;
}

void advance_glide(uint64_t now);
void run_test_hook();
// The window's position and size into the current mode's keys.
void store_geometry();

} // namespace

// ---- State --------------------------------------------------------------------------------------

void init(Settings* settings, bool autostart) {
    S = settings;
    g_autostart = autostart;
    if (S) S->channel = 0;
    g_last_frame = g_seg_last = now_ms();
    for (float& t : g_band_top) t = -30;
    for (float& l : g_prev_levels) l = analyzer::kFloorDb;
    g_level_log = std::getenv("LUMA2_LEVELLOG") != nullptr;
    g_test_open = std::getenv("LUMA2_TEST_OPEN");
    g_dirty = true;
    g_flash_note = S && !S->flash_notice_seen;
    if (g_settings_at_start) {
        g_settings_at_start = false;
        open_settings();
    }
}

void shutdown() {}

bool take_dirty() {
    const bool d = g_dirty;
    g_dirty = false;
    return d;
}

void request_repaint() {
    g_dirty = true;
}

void window_changed() {
    g_save_at = now_ms() + 1200;
}

void set_fullscreen_state(bool on) {
    if (on != g_fullscreen) g_dirty = true;
    g_fullscreen = on;
}

bool take_fullscreen_toggle() {
    const bool t = g_fullscreen_toggle;
    g_fullscreen_toggle = false;
    return t;
}

bool sound_present() {
    return g_sound;
}

void persist() {
    if (!S) return;
    store_geometry();
    settings::save(*S);
}

// ---- Segments -----------------------------------------------------------------------------------

int bar_columns() {
    return g_fine ? g_fine_cols : analyzer::kBars;
}

BarGeom geom_for(bool dense, int columns, float w, float h) {
    BarGeom g;
    float space = 0;
    columns = std::max(columns, 1);
    const bool fine = g_fine && !dense && columns == g_fine_cols;
    if (fine) {
        g.gap = float(g_fine_gap_px) / g_px;
        g.bar_w = float(g_fine_bw_px) / g_px;
        g.seg_h = px_round(1.8f);
        space = std::max(1.0f, std::round(0.9f * g_px)) / g_px;
    } else {
        g.gap = px_round(dense ? 2 : 3);
        g.bar_w = std::floor((w - float(columns - 1) * g.gap) / float(columns) * g_px) / g_px;
        g.seg_h = px_round(dense ? 3 : 4);
        space = std::max(1.0f, std::round((dense ? 1 : 2) * g_px)) / g_px;
    }
    g.pitch = g.seg_h + space;
    g.count = std::max(4, int(std::floor((h + space) / g.pitch)));
    return g;
}

BarGeom bar_geom(float w, float h, bool dense) {
    return geom_for(dense, bar_columns(), w, h);
}

BarGeom meter_geom(float w, float h) {
    BarGeom g = geom_for(true, 2, w, h);
    g.gap = std::max(1.0f, std::round(5 * g_px)) / g_px;
    g.bar_w = std::floor((w - g.gap) / 2 * g_px) / g_px;
    return g;
}

void segments(int count, float level_db, float peak_db, int* lit, int* peak) {
    const float l = std::clamp((level_db + 66) / 66, 0.0f, 1.0f);
    *lit = int(std::lround(l * float(count)));
    const float p = (peak_db + 66) / 66;
    if (!(p > 0.02f))
        *peak = -1;
    else if (p > 1)
        *peak = count - 1;
    else
        *peak = std::min(count - 1, int(std::floor(float(count) * p)));
}

void bar_segments(int count, int* lit, int* peak) {
    const uint64_t now = now_ms();
    const float dt = std::min(0.2f, float(now - g_seg_last) / 1000);
    g_seg_last = now;
    float top_peak = -66;
    for (int i = 0; i < analyzer::kBars; ++i) top_peak = std::max(top_peak, g_bal.peak[i]);
    g_auto_top -= dt >= 0.2f ? 0.6f : 3 * dt;
    g_auto_top = std::clamp(std::max(g_auto_top, top_peak + 1), -40.0f, 0.0f);
    for (int i = 0; i < analyzer::kBars; ++i) {
        float& t = g_band_top[i];
        t -= dt >= 0.2f ? 0.5f : 2.5f * dt;
        t = std::clamp(std::max(t, g_bal.peak[i] + 1), -50.0f, 0.0f);
    }
    const int n = bar_columns();
    for (int i = 0; i < n; ++i) {
        const float pos = n > 1 ? float(i) * 30 / float(n - 1) : 0;
        const int k = std::min(29, int(std::floor(pos)));
        const float x = pos - float(k);
        auto lerp = [&](const float* v) { return v[k] + (v[k + 1] - v[k]) * x; };
        const float level = lerp(g_bal.level), pk = lerp(g_bal.peak), top = lerp(g_band_top);
        const float ref = 0.6f * top + 0.4f * g_auto_top;
        // The stretch around the band's top would light a quarter of a column at the display
        // floor; the lowest 12 dB above the floor fade the column out, so silence shows none.
        const float fade = std::clamp((level + 66) / 12, 0.0f, 1.0f);
        const float shown = -66 + ((level - ref) * 11 / 7 - 16.5f + 66) * fade;
        const float peak_fade = std::clamp((std::max(level, pk) + 66) / 12, 0.0f, 1.0f);
        const float shown_peak = -66 + ((std::max(level, pk) - ref) * 11 / 7 - 16.5f + 66) * peak_fade;
        segments(count, shown, shown_peak, &lit[i], &peak[i]);
    }
}

void meter_segments(int count, int* lit, int* peak) {
    segments(count, g_meter_l.level, g_meter_l.peak, &lit[0], &peak[0]);
    segments(count, g_meter_r.level, g_meter_r.peak, &lit[1], &peak[1]);
}

// ---- Views --------------------------------------------------------------------------------------

BarView bar_view() {
    BarView v;
    if (S && S->compact) {
        g_fine = false;
        v.compact = true;
        v.bars = v.frame = L[kMiniBars];
        v.meters = L[kMiniMeters];
        v.cx = v.bars.x + v.bars.w / 2;
        v.cy = v.bars.y + v.bars.h / 2;
        v.size = v.bars.h;
        return v;
    }
    const gfx::Rect& a = L[kVisual];
    const gfx::Rect& st = L[kStage];
    v.cx = a.x + a.w / 2;
    v.cy = a.y + a.h / 2;
    const float r = std::max(0.0f, std::min(a.w, a.h) / 2);
    v.size = r;
    v.bars = {v.cx - 0.54f * r, v.cy - 0.5f * r, 1.08f * r, r};
    v.frame = {st.x + 1, st.y + 1, st.w - 2, 0.45f * st.h};
    v.ring = true;
    g_fine = true;
    const int gap = std::max(1, int(std::lround(0.9f * g_px)));
    int col = std::max(2, int(std::lround(2.1f * g_px)));
    const float avail = 1.08f * r * g_px + float(gap);
    int cols = int(std::floor(avail / float(gap + col)));
    if (cols > 96) {
        const int pitch = int(std::ceil(avail / 96));
        col = pitch - gap;
        cols = int(std::floor(avail / float(pitch)));
    }
    g_fine_cols = std::clamp(cols, 31, 96);
    g_fine_bw_px = col;
    g_fine_gap_px = gap;
    return v;
}

const TitleView& title_view() {
    return g_title;
}

uint32_t title_color(int i, int n, float t) {
    float x = (n > 1 ? float(i) / float(n - 1) * 0.6f : 0) - t / 5;
    x -= std::floor(x);
    const uint32_t c = theme::bar_color(x < 0.5f ? 2 * x : 2 - 2 * x);
    return theme::dark() ? c : theme::mix(c, 0xFF000000, 0.25f);
}

const HintView& play_hint() {
    g_hint.shown = !g_sound && S && !S->compact && g_status.state != 2;
    return g_hint;
}

gfx::Rect scene_area() {
    return g_scene_area;
}

scene3d::Input scene_input() {
    scene3d::Input in;
    in.origin_x = in.origin_y = 0;
    in.win_w = g_w, in.win_h = g_h;
    in.area_x = g_scene_area.x, in.area_y = g_scene_area.y;
    in.area_w = g_scene_area.w, in.area_h = g_scene_area.h;
    const BarView bv = bar_view();
    in.meter_r = bv.ring ? bv.size : 0;
    release_beats();
    in.kick_count = g_beat.kicks_released;
    in.clap_count = g_beat.claps_released;
    in.beat_count = g_beat.beats_released;
    in.beat_period = float(g_beat.period) * 0.01f;
    in.beat_conf = g_beat.confidence;
    in.px = g_px;
    in.bars = g_bal.level;
    in.bars_peak = g_bal.peak;
    in.meter_l = g_meter_l.level;
    in.meter_r_level = g_meter_r.level;
    if (S) {
        in.curve = S->curve;
        in.eq_active = S->active;
        in.compact = S->compact;
    }
    auto scene_band = [](int code) {
        return code >= kHitSceneBand0 && code < kHitSceneBand0 + 10 ? code - kHitSceneBand0 : -1;
    };
    // Under a panel, a list or the dialog the scene's bands are out of reach, so none is lit.
    const bool covered = g_settings_open || g_popup.open || g_save.open;
    in.hover_band = covered ? -1 : scene_band(g_hover);
    in.drag_band = scene_band(g_drag);
    // While the notice about flashing light is up, its reader has not chosen yet.
    scene3d::set_reduce_flashes((S && S->reduce_flashes) || g_flash_note);
    return in;
}

namespace {

// Title and hint are measured when the layout changes, not per frame.
void measure_views(float W, float H) {
    TitleView& t = g_title;
    t = TitleView{};
    t.shown = !(S && S->compact) && L[kHeader].w > 0;
    const char* title = "Lumafon";
    t.x = L[kFold].x + L[kFold].w + 14;
    t.y = 20;
    float x = 0;
    for (const char* c = title; *c && t.count < TitleView::kMax; ++c) {
        char* out = t.chars[t.count];
        out[0] = *c;
        out[1] = 0;
        t.offset[t.count] = x;
        t.width[t.count] = bold_width(out, t.size);
        x += t.width[t.count];
        ++t.count;
    }
    // The title needs room left of the first header button (or the folded header's end).
    float room = (L[kPower].w > 0 ? L[kPower].x : W) - t.x - 10;
    if (g_rtl) {
        t.x = L[kFold].x - 14 - x;
        room = t.x - (L[kPower].w > 0 ? L[kPower].x + L[kPower].w : 0) - 10;
    }
    if (room < x || (S && S->head_folded)) t.shown = false;

    HintView& h = g_hint;
    h.text = i18n::T("hint_play_music");
    h.view_w = W;
    h.view_h = H;
    h.size = std::clamp(0.048f * W, 26.0f, 64.0f);
    h.box_w = bold_width(h.text, h.size) + 24;
    h.box_h = 1.7f * h.size;
    if (h.box_w > 0.9f * W) {
        h.size *= 0.9f * W / h.box_w;
        h.box_w = bold_width(h.text, h.size) + 24;
        h.box_h = 1.7f * h.size;
    }
    g_scene_area = S && S->compact ? L[kMiniBars] : L[kVisual];
}

bool same_status(const audio::Status& a, const audio::Status& b) {
    return a.state == b.state && a.active == b.active && a.output == b.output &&
           a.output_label == b.output_label && a.output_missing == b.output_missing && a.follow == b.follow &&
           a.muted == b.muted && a.select_output == b.select_output && a.setup_needed == b.setup_needed &&
           a.permission_needed == b.permission_needed && a.snap_no_sink == b.snap_no_sink;
}

} // namespace

// ---- Frame --------------------------------------------------------------------------------------

bool on_frame() {
    // 1. Test hook: a panel named in LUMA2_TEST_OPEN opens once the layout exists.
    run_test_hook();

    // 2. Time, the curve glide and the caret.
    const uint64_t now = now_ms();
    const float dt = std::min(0.2f, float(now - g_last_frame) / 1000);
    g_last_frame = now;
    if (g_glide.on) advance_glide(now);
    if (g_save.open) {
        const bool on = (now - g_caret_from) / 530 % 2 == 0;
        if (on != g_caret_on) g_dirty = true;
        g_caret_on = on;
    }
    // A report left by a crash of the last run is offered once, at the first frame.
    if (!g_crash_checked) {
        g_crash_checked = true;
        std::string report;
        if (crash_handler::pending_report(report)) {
            g_crash_note = true;
            g_dirty = true;
        }
    }

    // 3. Engine status and the restore hint.
    // Copied only when the engine changed it: the strings would otherwise allocate every frame.
    if (audio::status_changed(&g_status_serial, &g_status_new) && !same_status(g_status_new, g_status)) {
        g_status = g_status_new;
        g_dirty = true;
    }
    if (S && !g_status.follow.empty() && g_status.follow != S->last_default) {
        S->last_default = g_status.follow;
        audio::set_restore_hint(S->last_default);
        g_save_at = now + 1200;
    }

    // 4. Spectrum from the delayed tap, beats from the undelayed one.
    float rate = 0;
    unsigned long serial = g_serial;
    const bool got = audio::tap(g_tap_l, g_tap_r, analyzer::kFftSize, &rate, &serial, true);
    if (rate > 0) g_rate = rate;
    const bool fresh = got && serial != g_serial;
    g_beat_dt = std::min(g_beat_dt + dt, 0.2f);
    if (fresh) {
        g_serial = serial;
        const int ch = S ? S->channel : 0;
        for (int i = 0; i < analyzer::kFftSize; ++i)
            g_mono[i] = ch == 1 ? g_tap_l[i] : ch == 2 ? g_tap_r[i] : 0.5f * (g_tap_l[i] + g_tap_r[i]);
        analyzer::compute(g_mono, g_rate, g_levels);
        g_bal.update(g_levels, dt);
        track_beat(g_rate, g_beat_dt);
        g_beat_dt = 0;
    } else {
        g_bal.decay(dt);
    }

    // 5. Level log.
    if (g_level_log) {
        ++g_log_frames;
        if (fresh) ++g_log_new;
        float jump = 0;
        for (int i = 0; i < analyzer::kBars; ++i) {
            jump += std::fabs(g_bal.level[i] - g_prev_levels[i]);
            g_prev_levels[i] = g_bal.level[i];
        }
        g_log_jump += jump / analyzer::kBars;
        g_log_time += dt;
        if (g_log_time >= 5) {
            char line[160];
            std::snprintf(line, sizeof line, "Levels: %d frames, %d with new data, mean jump %.2f dB/frame, delay %.0f ms",
                          g_log_frames, g_log_new, double(g_log_jump / float(std::max(1, g_log_frames))),
                          double(audio::display_delay() * 1000));
            logger::info(line);
            g_log_frames = g_log_new = 0;
            g_log_jump = g_log_time = 0;
        }
    }

    // 6. Meters.
    float pl = 0, pr = 0;
    audio::take_peaks(&pl, &pr);
    g_meter_l.update(analyzer::to_db(pl), dt);
    g_meter_r.update(analyzer::to_db(pr), dt);

    // 7. Saving.
    if (g_save_at && now >= g_save_at) {
        g_save_at = 0;
        persist();
    }

    // 8. Sound present.
    bool sound = g_meter_l.peak > -66 || g_meter_r.peak > -66;
    for (int i = 0; i < analyzer::kBars && !sound; ++i) sound = g_bal.peak[i] > -66;
    g_sound = sound;
    return true;
}

// ---- Painting -----------------------------------------------------------------------------------

namespace {

uint32_t pal(int slot) {
    return theme::colors()[slot];
}

void paint_logo_at(const gfx::Rect& r) {
    gfx::image_png(icon_data::kPng, icon_data::kPngSize, r);
}

// Leaves a rounded hole in the layer, through which what was drawn beneath shows.
void punch(const gfx::Rect& r, float radius) {
    cairo_t* cr = gfx::context();
    if (!cr || r.w <= 0 || r.h <= 0) return;
    cairo_save(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_new_sub_path(cr);
    const double x = r.x, y = r.y, w = r.w, h = r.h, q = radius, pi = 3.14159265358979;
    cairo_arc(cr, x + w - q, y + q, q, -pi / 2, 0);
    cairo_arc(cr, x + w - q, y + h - q, q, 0, pi / 2);
    cairo_arc(cr, x + q, y + h - q, q, pi / 2, pi);
    cairo_arc(cr, x + q, y + q, q, pi, 3 * pi / 2);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_restore(cr);
}

void panel(const gfx::Rect& r, float radius) {
    gfx::fill_round_rect_vgrad(r, radius, pal(theme::kPanelTop), pal(theme::kPanelBottom));
    gfx::stroke_round_rect(r, radius, pal(theme::kOutline), 1);
}

void button(const gfx::Rect& r, bool on = false, bool hover = false) {
    if (r.w <= 0) return;
    gfx::fill_round_rect(r, 9, on ? theme::with_alpha(pal(theme::kAccent), hover ? 0.28f : 0.18f)
                                  : pal(hover ? theme::kButtonHover : theme::kButton));
    gfx::stroke_round_rect(r, 9, on ? theme::with_alpha(pal(theme::kAccent), 0.6f) : pal(theme::kOutline), 1);
}

// Whole UTF-8 characters are dropped from the end until the text and "…" fit.
std::string ellipsize(const std::string& text, bool bold, float size, float max_w) {
    if (gfx::text_width(text.c_str(), size, bold) <= max_w) return text;
    std::string s = text;
    while (!s.empty()) {
        size_t cut = s.size() - 1;
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
        s.erase(cut);
        while (!s.empty() && s.back() == ' ') s.pop_back();
        if (gfx::text_width((s + "…").c_str(), size, bold) <= max_w) break;
    }
    return s + "…";
}

} // namespace

std::string preset_label() {
    if (!S) return "";
    const std::string& p = S->preset;
    std::string name;
    const eq::Curve* curve = nullptr;
    eq::Curve user_curve;
    if (p.rfind("b:", 0) == 0) {
        int n = 0;
        const eq::Preset* list = eq::presets(&n);
        for (int i = 0; i < n; ++i)
            if (p.compare(2, std::string::npos, list[i].key) == 0) {
                name = i18n::T(list[i].key);
                curve = &list[i].curve;
            }
    } else if (p.rfind("u:", 0) == 0) {
        for (const UserPreset& u : S->user_presets)
            if (p.compare(2, std::string::npos, u.name) == 0) {
                name = u.name;
                user_curve = u.curve;
                curve = &user_curve;
            }
    }
    if (!curve) return i18n::T("preset_custom");
    if (!g_glide.on && !eq::same(*curve, S->curve)) name += std::string(" · ") + i18n::T("preset_modified");
    return name;
}

namespace {

struct StatusText {
    std::string text;
    int slot = theme::kNeutral;
};

StatusText status_text() {
    const audio::Status& s = g_status;
    const bool active = S && S->active;
    StatusText t;
    if (s.state == 0) {
        t = {i18n::T("status_connecting"), theme::kWarning};
    } else if (s.state == 2) {
        t = {i18n::T("status_no_server"), theme::kError};
    } else if (s.state == 3) {
        t = {i18n::T("status_other_instance"), theme::kWarning};
    } else {
        if (s.active)
            t = {i18n::T("status_active"), active ? theme::kGood : theme::kNeutral};
        else
            t = {i18n::T("status_bypass"), active ? theme::kWarning : theme::kNeutral};
        if (s.select_output && active) t = {i18n::T("status_select_output"), theme::kWarning};
        if (s.setup_needed) t = {i18n::T("status_setup_needed"), theme::kWarning};
        if (s.permission_needed) t = {i18n::T("status_permission_needed"), theme::kWarning};
        if (s.snap_no_sink) t = {i18n::T("status_snap_no_sink"), theme::kWarning};
    }
    if (s.output_missing) t = {std::string(i18n::T("err_no_device")) + " — " + t.text, theme::kWarning};
    return t;
}

// Icons in a button, drawn in the text colour.
void icon_power(float cx, float cy, float r, uint32_t c, float lw) {
    gfx::stroke_arc(cx, cy, r, 40, 320, c, lw);
    gfx::line(cx, cy - r - 1.5f, cx, cy - r * 0.2f, c, lw);
}

void icon_speaker(const gfx::Rect& b, bool muted, uint32_t c, uint32_t cross = 0) {
    const float cx = b.x + b.w / 2 - 4, cy = b.y + b.h / 2;
    const float body[] = {cx - 7, cy - 4, cx - 3, cy - 4, cx + 3, cy - 9, cx + 3, cy + 9, cx - 3, cy + 4, cx - 7, cy + 4};
    gfx::fill_polygon_vgrad(body, 6, c, c);
    if (muted) {
        if (!cross) cross = pal(theme::kError);
        gfx::line(cx + 7, cy - 4, cx + 15, cy + 4, cross, 1.8f);
        gfx::line(cx + 15, cy - 4, cx + 7, cy + 4, cross, 1.8f);
    } else {
        gfx::stroke_arc(cx + 4, cy, 5, 50, 130, c, 1.6f);
        gfx::stroke_arc(cx + 4, cy, 9, 50, 130, c, 1.6f);
    }
}

void icon_gear(const gfx::Rect& b, uint32_t c) {
    const float cx = b.x + b.w / 2, cy = b.y + b.h / 2;
    for (int i = 0; i < 8; ++i) {
        const float a = float(i) * 3.14159265f / 4;
        gfx::line(cx + 6 * std::cos(a), cy + 6 * std::sin(a), cx + 10 * std::cos(a), cy + 10 * std::sin(a), c, 3);
    }
    gfx::stroke_circle(cx, cy, 6.5f, c, 2.4f);
}

void icon_compact(const gfx::Rect& b, uint32_t c) {
    const float cx = b.x + b.w / 2, cy = b.y + b.h / 2;
    gfx::stroke_round_rect({cx - 11, cy - 8, 22, 16}, 3, c, 1.6f);
    gfx::fill_rect({cx - 1, cy + 1, 9, 4}, c);
}

void icon_full(const gfx::Rect& b, uint32_t c) {
    const float cx = b.x + b.w / 2, cy = b.y + b.h / 2, d = 9, e = 4.5f;
    for (int sx = -1; sx <= 1; sx += 2)
        for (int sy = -1; sy <= 1; sy += 2) {
            const float x = cx + float(sx) * d, y = cy + float(sy) * d;
            gfx::line(x, y, x - float(sx) * e, y, c, 1.8f);
            gfx::line(x, y, x, y - float(sy) * e, c, 1.8f);
        }
}

void icon_save(const gfx::Rect& b, uint32_t c) {
    const float cx = b.x + b.w / 2, cy = b.y + b.h / 2;
    gfx::stroke_round_rect({cx - 9, cy - 9, 18, 18}, 2.5f, c, 1.6f);
    gfx::fill_rect({cx - 5, cy - 9, 10, 6}, c);
    gfx::stroke_round_rect({cx - 5, cy + 2, 10, 7}, 1, c, 1.4f);
}

// Muted: the error colour behind the speaker and an X instead of the waves.
void mute_button(const gfx::Rect& r, bool hover) {
    if (r.w <= 0) return;
    if (g_status.muted) {
        gfx::fill_round_rect(r, 7, theme::with_alpha(pal(theme::kError), hover ? 0.95f : 0.85f));
        icon_speaker(r, true, 0xFFFFFFFF, 0xFFFFFFFF);
        return;
    }
    button(r, false, hover);
    icon_speaker(r, false, pal(theme::kTextColor));
}

void chevron(float cx, float cy, bool up, uint32_t c, float lw = 1.8f) {
    const float d = up ? -3 : 3;
    gfx::line(cx - 5, cy - d, cx, cy + d, c, lw);
    gfx::line(cx, cy + d, cx + 5, cy - d, c, lw);
}

void draw_header() {
    const uint32_t ink = pal(theme::kTextColor);
    panel(L[kHeader], 14);
    paint_logo_at(L[kLogo]);
    // The fold button: a pill with a chevron.
    gfx::fill_round_rect(L[kFold], 9, pal(theme::kButton));
    gfx::stroke_round_rect(L[kFold], 9, pal(theme::kOutline), 1);
    chevron(L[kFold].x + 9, L[kFold].y + 15, !(S && S->head_folded), ink, 1.6f);
    if (L[kPower].w <= 0) return;
    const bool on = S && S->active;
    button(L[kPower], on, g_hover == kHitPower);
    const gfx::Rect& p = L[kPower];
    icon_power(in_box(p, 15, 0, 14, 0).x + 7, p.y + 19, 7, on ? pal(theme::kAccent) : ink, 1.8f);
    gfx::text(in_box(p, 38, 0, p.w - 44, p.h), i18n::T(on ? "power_on" : "power_off"), 14,
              on ? pal(theme::kStrokeHover) : ink, start_align(), true);
    mute_button(L[kMute], g_hover == kHitMute);
    button(L[kPreset], false, g_hover == kHitPreset);
    const gfx::Rect& pr = L[kPreset];
    const std::string label = ellipsize(preset_label(), true, 13, pr.w - 44);
    gfx::text(in_box(pr, 14, 0, pr.w - 40, pr.h), label.c_str(), 13, pal(theme::kStrokeHover), start_align(), true);
    chevron(in_box(pr, pr.w - 18, 0, 0, 0).x, pr.y + 19, false, ink);
    button(L[kSave], false, g_hover == kHitSave);
    icon_save(L[kSave], ink);
    button(L[kFullButton], g_fullscreen, g_hover == kHitFull);
    icon_full(L[kFullButton], ink);
    button(L[kCompactButton], false, g_hover == kHitCompact);
    icon_compact(L[kCompactButton], ink);
    button(L[kSettingsButton], false, g_hover == kHitSettings);
    icon_gear(L[kSettingsButton], ink);
}

void draw_scale(float x, gfx::Align align, float top, float bottom) {
    static const int kMarks[] = {-12, -6, 0, 6, 12};
    for (int v : kMarks) {
        char s[8];
        std::snprintf(s, sizeof s, v > 0 ? "+%d" : "%d", v);
        const float y = level_y(float(v), top, bottom);
        gfx::text({x, y - 8, 30, 16}, s, 10.5f, pal(v == 0 ? theme::kStrokeHover : theme::kTextColor), align);
    }
}

// Monotone cubic through the band values (tangents limited so that the curve never overshoots).
int curve_points(const float* xs, const float* ys, float* out) {
    constexpr int n = 10;
    float d[n - 1], m[n];
    for (int i = 0; i < n - 1; ++i) d[i] = (ys[i + 1] - ys[i]) / (xs[i + 1] - xs[i]);
    m[0] = d[0];
    m[n - 1] = d[n - 2];
    for (int i = 1; i < n - 1; ++i) m[i] = d[i - 1] * d[i] <= 0 ? 0 : (d[i - 1] + d[i]) / 2;
    for (int i = 0; i < n - 1; ++i) {
        if (d[i] == 0) {
            m[i] = m[i + 1] = 0;
            continue;
        }
        const float a = m[i] / d[i], b = m[i + 1] / d[i];
        const float q = a * a + b * b;
        if (q > 9) {
            const float t = 3 / std::sqrt(q);
            m[i] = t * a * d[i];
            m[i + 1] = t * b * d[i];
        }
    }
    int k = 0;
    const float step = xs[1] - xs[0];
    out[k++] = xs[0] - step;
    out[k++] = ys[0];
    for (int i = 0; i < n - 1; ++i) {
        const float h = xs[i + 1] - xs[i];
        for (int j = 0; j < 12; ++j) {
            const float t = float(j) / 12, t2 = t * t, t3 = t2 * t;
            const float y = (2 * t3 - 3 * t2 + 1) * ys[i] + (t3 - 2 * t2 + t) * h * m[i] +
                            (-2 * t3 + 3 * t2) * ys[i + 1] + (t3 - t2) * h * m[i + 1];
            out[k++] = xs[i] + t * h;
            out[k++] = y;
        }
    }
    out[k++] = xs[n - 1];
    out[k++] = ys[n - 1];
    out[k++] = xs[n - 1] + step;
    out[k++] = ys[n - 1];
    return k / 2; // 111
}

void draw_slider(float cx, float value, const char* label, const Track& tr, float label_y) {
    const uint32_t ink = pal(theme::kTextColor);
    const bool on = S && S->active;
    gfx::fill_round_rect({cx - 3, tr.top, 6, tr.bottom - tr.top}, 3, pal(theme::kSegmentBase));
    gfx::stroke_round_rect({cx - 3, tr.top, 6, tr.bottom - tr.top}, 3, pal(theme::kOutline), 1);
    const float y = level_y(value, tr.top, tr.bottom);
    const float zero = level_y(0, tr.top, tr.bottom);
    if (on && std::fabs(y - zero) > 0.5f)
        gfx::fill_rect({cx - 2, std::min(y, zero), 4, std::fabs(y - zero)}, theme::with_alpha(pal(theme::kAccent), 0.7f));
    const gfx::Rect knob{cx - 17, y - 8, 34, 16};
    gfx::fill_round_rect_vgrad(knob, 5, pal(theme::kButtonHover), pal(theme::kButton));
    gfx::stroke_round_rect(knob, 5, on ? theme::with_alpha(pal(theme::kAccent), 0.8f) : pal(theme::kOutline), 1.2f);
    for (int i = -1; i <= 1; ++i) gfx::line(cx - 6, y + 3 * float(i), cx + 6, y + 3 * float(i), ink, 1);
    char s[16];
    std::snprintf(s, sizeof s, "%+.1f", std::fabs(value) < 0.05f ? 0.0 : double(value));
    gfx::text({cx - 30, y - 27, 60, 16}, s, 10.5f, pal(theme::kStrokeHover), gfx::Align::Center);
    gfx::text({cx - 34, label_y, 68, 18}, label, 11, ink, gfx::Align::Center);
}

void draw_equaliser() {
    const gfx::Rect& p = L[kLower];
    panel(p, 14);
    const uint32_t ink = pal(theme::kTextColor);
    const bool on = S && S->active;
    // Reset button and the hint beside it.
    const gfx::Rect& r = L[kReset];
    button(r, false, g_hover == kHitReset);
    gfx::text(r, i18n::T("reset"), 12, pal(theme::kStrokeHover), gfx::Align::Center, true);
    gfx::text(L[kHintLine], on ? i18n::T("hint_reset") : i18n::T("status_bypass"), 12,
              pal(on ? theme::kTextColor : theme::kWarning), start_align());
    const Track tr = slider_track();
    const float pitch = (g_w - 246) / 10;
    float xs[10], ys[10];
    for (int i = 0; i < 10; ++i) {
        xs[i] = column_centre(i, g_w);
        ys[i] = level_y(S ? S->curve.band[i] : 0, tr.top, tr.bottom);
    }
    // dB scales beside the columns, and the 0 dB line under the curve.
    const float zero = level_y(0, tr.top, tr.bottom);
    const float left = xs[0] - pitch / 2, right = xs[9] + pitch / 2;
    draw_scale(left - 34, gfx::Align::Right, tr.top, tr.bottom);
    draw_scale(right + 4, gfx::Align::Left, tr.top, tr.bottom);
    for (int v = -12; v <= 12; v += 6)
        gfx::line(left, level_y(float(v), tr.top, tr.bottom), right, level_y(float(v), tr.top, tr.bottom),
                  v == 0 ? pal(theme::kOutline) : theme::with_alpha(pal(theme::kOutline), 0.45f), 1);
    float pts[111 * 2];
    const int n = curve_points(xs, ys, pts);
    const uint32_t cc = pal(on ? theme::kAccent : theme::kTextColor);
    gfx::push_clip({left, tr.top - 20, right - left, tr.bottom - tr.top + 40});
    const float span = std::max(1.0f, tr.bottom - tr.top) / 2;
    gfx::fill_under(pts, n, zero, theme::with_alpha(cc, 0.22f), theme::with_alpha(cc, 0));
    (void)span;
    gfx::polyline(pts, n, theme::with_alpha(cc, 0.25f), 7);
    gfx::polyline(pts, n, cc, 2);
    gfx::pop_clip();
    // Separator between the preamp and the bands.
    gfx::line(128, tr.top - 10, 128, tr.bottom + 10, theme::with_alpha(pal(theme::kOutline), 0.8f), 1);
    const float label_y = p.y + p.h - 26;
    for (int i = 0; i < 10; ++i) draw_slider(xs[i], S ? S->curve.band[i] : 0, eq::band_label(i), tr, label_y);
    draw_slider(86, S ? S->curve.preamp : 0, i18n::T("preamp"), tr, label_y);
    (void)ink;
}

void draw_bottom() {
    panel(L[kBottom], 12);
    const gfx::Rect& d = L[kDevice];
    gfx::text(in_box(L[kBottom], 10, d.y - L[kBottom].y, (g_rtl ? g_w - d.x - d.w : d.x) - 24, d.h), i18n::T("device"),
              12, pal(theme::kTextColor), start_align());
    button(d, false, g_hover == kHitDevice);
    std::string label = i18n::T("device_follow");
    if (S && !S->output.empty()) label = g_status.output == S->output && !g_status.output_label.empty()
                                             ? g_status.output_label
                                             : S->output;
    gfx::text(in_box(d, 12, 0, d.w - 40, d.h), ellipsize(label, false, 12, d.w - 44).c_str(), 12,
              pal(theme::kStrokeHover));
    chevron(in_box(d, d.w - 16, 0, 0, 0).x, d.y + d.h / 2, false, pal(theme::kTextColor));
    const StatusText st = status_text();
    const gfx::Rect& s = L[kStatusLine];
    if (s.w > 30)
        gfx::text(s, ellipsize(st.text, false, 12, s.w - 20).c_str(), 12, pal(st.slot),
                  g_rtl ? gfx::Align::Left : gfx::Align::Right);
}

void draw_normal(float W, float H) {
    gfx::fill_rect({0, 0, W, H}, pal(0));
    // The stage: a dark frame in both themes, the visualizer shows through its middle.
    const gfx::Rect& st = L[kStage];
    gfx::fill_round_rect(st, 16, 0xFF05070B);
    gfx::stroke_round_rect(st, 16, pal(theme::kOutline), 1);
    punch(L[kVisual], 10); // the scene and the round meter lie beneath the layer
    gfx::occlude(st);
    draw_header();
    // The collapse handle: a small pill with a chevron.
    const gfx::Rect& h = L[kHandle];
    const bool collapsed = S && S->collapsed;
    gfx::fill_round_rect(h, h.h / 2, pal(theme::kButton));
    gfx::stroke_round_rect(h, h.h / 2, pal(theme::kOutline), 1);
    chevron(h.x + h.w / 2, h.y + h.h / 2, collapsed, pal(theme::kTextColor), 1.6f);
    if (collapsed) return;
    draw_equaliser();
    draw_bottom();
}

void draw_compact(float W, float H) {
    const gfx::Rect all{0, 0, W, H};
    gfx::fill_rect_vgrad(all, pal(theme::kPanelTop), pal(theme::kPanelBottom));
    const bool on = S && S->active;
    gfx::stroke_round_rect({0.5f, 0.5f, W - 1, H - 1}, 6,
                           on ? theme::with_alpha(pal(theme::kAccent), 0.55f) : pal(theme::kOutline), 1);
    paint_logo_at(L[kLogo]);
    const uint32_t ink = pal(theme::kTextColor);
    const gfx::Rect& c = L[kClose];
    if (g_hover == kHitMiniClose)
        gfx::fill_round_rect(c, 9, theme::with_alpha(pal(theme::kError), 0.85f));
    else
        button(c);
    gfx::line(c.x + c.w / 2 - 5, c.y + c.h / 2 - 5, c.x + c.w / 2 + 5, c.y + c.h / 2 + 5, ink, 1.8f);
    gfx::line(c.x + c.w / 2 + 5, c.y + c.h / 2 - 5, c.x + c.w / 2 - 5, c.y + c.h / 2 + 5, ink, 1.8f);
    const gfx::Rect& e = L[kExpand];
    button(e, false, g_hover == kHitExpand);
    gfx::stroke_round_rect({e.x + 8, e.y + 6, e.w - 16, e.h - 12}, 2, ink, 1.5f);
    button(L[kMiniMute], g_status.muted, g_hover == kHitMute);
    {
        gfx::Rect m = L[kMiniMute];
        m.x += 2;
        gfx::push_clip(L[kMiniMute]);
        icon_speaker(m, g_status.muted, ink);
        gfx::pop_clip();
    }
    const gfx::Rect& p = L[kMiniPower];
    const float pcx = p.x + 12, pcy = p.y + 12;
    gfx::fill_circle(pcx, pcy, 10, on ? theme::with_alpha(pal(theme::kAccent), 0.2f) : pal(theme::kButton));
    gfx::stroke_circle(pcx, pcy, 10, on ? pal(theme::kAccent) : pal(theme::kOutline), 1);
    gfx::stroke_arc(pcx, pcy, 4.4f, 40, 320, on ? pal(theme::kAccent) : ink, 1.5f);
    gfx::line(pcx, pcy - 6, pcx, pcy - 1.5f, on ? pal(theme::kAccent) : ink, 1.5f);
    const gfx::Rect& t = L[kMiniTitle];
    const std::string title = ellipsize(preset_label() + "  ·  Lumafon", true, 12, t.w);
    gfx::text(t, title.c_str(), 12, pal(theme::kStrokeHover), start_align(), true);
    // Behind the bars and meters a dark well.
    gfx::fill_round_rect({L[kMiniBars].x - 4, L[kMiniBars].y - 2, L[kMiniBars].w + 8, L[kMiniBars].h + 2}, 6,
                         theme::with_alpha(0xFF000000, theme::dark() ? 0.35f : 0.08f));
    const gfx::Rect& g = L[kGrip];
    for (int i = 0; i < 3; ++i) {
        const float o = 4 + 4 * float(i);
        gfx::line(g.x + g.w - o, g.y + g.h - 2, g.x + g.w - 2, g.y + g.h - o, theme::with_alpha(ink, 0.7f), 1);
    }
}

} // namespace

void draw_base(float w, float h) {
    g_w = w;
    g_h = h;
    lay_out(w, h);
    measure_views(w, h);
    bar_view();
    if (S && S->compact)
        draw_compact(w, h);
    else
        draw_normal(w, h);
}

// draw_overlay is in the panels section.

// ---- Templates ----------------------------------------------------------------------------------

namespace {

uint32_t kind_color(uint32_t c, int kind) {
    if (kind == 1) return c;
    if (kind == 2) return theme::mix(c, 0xFFFFFFFF, 0.45f);
    return theme::mix(pal(0), c, theme::dark() ? 0.1f : 0.2f);
}

void paint_columns(const BarGeom& g, int columns, float h, int kind, uint32_t (*color)(int col, int n, int seg, int count)) {
    for (int i = 0; i < columns; ++i)
        for (int j = 1; j <= g.count; ++j) {
            const float x = float(i) * (g.bar_w + g.gap), y = h - float(j) * g.pitch + (g.pitch - g.seg_h);
            gfx::fill_rect({x, y, g.bar_w, g.seg_h}, kind_color(color(i, columns, j - 1, g.count), kind));
        }
}

} // namespace

void paint_bars(int kind, float w, float h, bool dense) {
    const BarGeom g = bar_geom(w, h, dense);
    paint_columns(g, bar_columns(), h, kind, [](int i, int n, int, int) {
        return theme::bar_color(n > 1 ? float(i) / float(n - 1) : 0);
    });
}

void paint_meters(int kind, float w, float h) {
    const BarGeom g = meter_geom(w, h);
    paint_columns(g, 2, h, kind, [](int, int, int j, int count) {
        const float f = count > 1 ? float(j) / float(count - 1) : 0;
        return f > 0.9f ? 0xFFFF3B3Bu : f > 0.75f ? 0xFFFFD21Fu : 0xFF3BE25Au;
    });
}

void paint_logo(int size) {
    paint_logo_at({0, 0, float(size), float(size)});
}

void paint_glass(float w, float h) {
    gfx::fill_round_rect_vgrad({0, 0, w, h}, 10, theme::dark() ? 0x0DFFFFFF : 0x24FFFFFF, 0x00FFFFFF);
}

void paint_glyph(const char* text, float size, float w, float h) {
    gfx::text({0, 0, w + 8, h}, text, size, 0xFFFFFFFF, gfx::Align::Left, true);
}

void paint_glyph_regular(const char* text, float size, float w, float h) {
    gfx::text({0, 0, w + 8, h}, text, size, 0xFFFFFFFF, gfx::Align::Left, false);
}

// The eye's white: an almond with a soft shade at the top.
void paint_eye_white(float w, float h) {
    gfx::fill_ellipse_vgrad(w / 2, h / 2, w / 2, h / 2, 0xFFC9D2DE, 0xFFF4F7FB);
}

// The iris: a ring of the bar gradient's cyan around a dark pupil with a highlight.
void paint_eye_iris(float w, float h) {
    const float r = std::min(w, h) / 2;
    gfx::fill_radial(w / 2, h / 2, r, w / 2, h / 2, r * 0.2f, 0xFF19E0C8, 0xFF1E5BFF);
    gfx::fill_circle(w / 2, h / 2, r * 0.45f, 0xFF05070B);
    gfx::fill_circle(w / 2 - r * 0.3f, h / 2 - r * 0.3f, r * 0.16f, 0xE0FFFFFF);
}


// ---- Input --------------------------------------------------------------------------------------
// Pointer, wheel and keys become changes of the settings, the curve, the engine and the window.
// Every change that must survive is saved 1200 ms after the last one, so a drag is saved once.

namespace {

bool inside(const gfx::Rect& r, float x, float y) {
    return r.w > 0 && r.h > 0 && x >= r.x && y >= r.y && x < r.x + r.w && y < r.y + r.h;
}

void lay_out_overlay();

float* band_value(int band) {
    return band >= 10 ? &S->curve.preamp : &S->curve.band[band];
}

void apply_curve() {
    audio::set_curve(S->curve);
    g_dirty = true;
    schedule_save();
}

void set_band(int band, float v) {
    v = std::clamp(v, -12.0f, 12.0f);
    float* at = band_value(band);
    if (*at == v) return;
    *at = v;
    apply_curve();
}

float round_half(float v) {
    return std::round(v * 2) / 2;
}

void drag_to(float y) {
    if (g_drag >= kHitBand0 && g_drag <= kHitPreamp) {
        const Track t = slider_track();
        const float mid = (t.top + t.bottom) / 2, half = std::max(1.0f, (t.bottom - t.top) / 2);
        set_band(g_drag - kHitBand0, round_half(-((y - g_drag_offset - mid) / half) * 12));
    } else if (g_drag >= kHitSceneBand0) {
        const int band = g_drag - kHitSceneBand0;
        const float per_db = std::max(1e-3f, scene3d::units_per_db(band));
        set_band(band, round_half(g_drag_v0 - (y - g_drag_y0) / per_db));
    }
}

int main_hit(float x, float y) {
    const bool on = S->active;
    if (inside(L[kLogo], x, y) || inside(L[kFold], x, y)) return kHitFold;
    if (inside(L[kPower], x, y)) return kHitPower;
    if (inside(L[kMute], x, y)) return kHitMute;
    if (on && inside(L[kPreset], x, y)) return kHitPreset;
    if (on && inside(L[kSave], x, y)) return kHitSave;
    if (inside(L[kFullButton], x, y)) return kHitFull;
    if (inside(L[kCompactButton], x, y)) return kHitCompact;
    if (inside(L[kSettingsButton], x, y)) return kHitSettings;
    if (inside(L[kHandle], x, y)) return kHitHandle;
    if (on && inside(L[kReset], x, y)) return kHitReset;
    if (on)
        for (int i = 0; i <= 10; ++i)
            if (inside(L[kSlider0 + i], x, y)) return kHitBand0 + i;
    if (inside(L[kDevice], x, y)) return kHitDevice;
    if (inside(L[kVisual], x, y)) {
        const int band = on ? scene3d::pick_band(x, y) : -1;
        return band >= 0 && band < 10 ? kHitSceneBand0 + band : kHitScene;
    }
    return kHitNothing;
}

int first_of(float x, float y, std::initializer_list<int> codes) {
    for (int c : codes)
        if (inside(g_over_rect[c], x, y)) return c;
    return -1;
}

void start_drag(int code, float x, float y) {
    g_glide.on = false;
    g_drag = code;
    if (code >= kHitSceneBand0) {
        g_drag_y0 = y;
        g_drag_v0 = *band_value(code - kHitSceneBand0);
        return;
    }
    const Track t = slider_track();
    const float mid = (t.top + t.bottom) / 2, half = (t.bottom - t.top) / 2;
    const float u = std::clamp(*band_value(code - kHitBand0) / 12, -1.0f, 1.0f);
    const float offset = y - (mid - half * u);
    // Grabbing the knob by its edge keeps it under the pointer; elsewhere it jumps there.
    g_drag_offset = std::fabs(offset) <= 11 ? offset : 0;
    if (g_drag_offset == 0) drag_to(y);
    (void)x;
}

void toggle_active() {
    S->active = !S->active;
    audio::set_active(S->active);
    schedule_save();
}

void open_presets();
void open_devices();
void open_languages();
void open_save();
void commit_save();
void close_popup();
void select_preset(const std::string& key);
void popup_press(float x, float y);
void open_link(int code);

void press(int code, float x, float y) {
    switch (code) {
    case kHitNothing:
        if (g_settings_open) g_settings_open = false;
        break;
    case kHitPower:
    case kHitMiniPower:
        toggle_active();
        break;
    case kHitPreset:
        open_presets();
        break;
    case kHitCompact:
        set_compact(true);
        break;
    case kHitSettings:
        open_settings();
        break;
    case kHitReset:
        select_preset("b:preset_flat");
        break;
    case kHitDevice:
        open_devices();
        break;
    case kHitExpand:
        set_compact(false);
        break;
    case kHitFull:
        g_fullscreen_toggle = true;
        break;
    case kHitAutostart:
        // The entry file is the whole state: the switch shows what the file system says.
        if (autostart::set(!g_autostart)) g_autostart = autostart::enabled();
        break;
    case kHitEqOnStart:
        S->active_on_start = !S->active_on_start;
        schedule_save();
        break;
    case kHitOnTop:
        S->compact_on_top = !S->compact_on_top;
        schedule_save();
        break;
    case kHitLanguage:
        open_languages();
        break;
    case kHitDark:
    case kHitLight:
        theme::set_dark(code == kHitDark);
        S->theme = code == kHitDark ? "dark" : "light";
        schedule_save();
        break;
    case kHitRemoveFilter:
        if (g_autostart && autostart::set(false)) g_autostart = autostart::enabled();
        audio::remove_system_filter();
        break;
    case kHitClosePanel:
        g_settings_open = false;
        break;
    case kHitBug:
    case kHitMaker:
    case kHitPackages:
        open_link(code);
        break;
    case kHitSave:
        open_save();
        break;
    case kHitSaveOk:
        commit_save();
        break;
    case kHitSaveCancel:
        g_save.open = false;
        break;
    case kHitHandle:
        S->collapsed = !S->collapsed;
        schedule_save();
        break;
    case kHitMute:
        audio::set_mute(!g_status.muted);
        break;
    case kHitMiniClose:
        persist();
        platform::quit();
        break;
    case kHitFold:
        S->head_folded = !S->head_folded;
        schedule_save();
        break;
    case kHitCrashSend:
        crash_handler::send_report();
        g_crash_note = false;
        break;
    case kHitCrashDiscard:
        crash_handler::clear_report();
        g_crash_note = false;
        break;
    case kHitReduce:
    case kHitFlashReduce:
        S->reduce_flashes = !S->reduce_flashes;
        schedule_save();
        break;
    case kHitFlashLink:
        g_flash_note = true;
        g_settings_open = false;
        break;
    case kHitFlashOk:
        S->flash_notice_seen = true;
        g_flash_note = false;
        schedule_save();
        break;
    case kHitStatusNote:
        if (g_status.snap_no_sink)
            open_link(kHitMaker);
        else
            audio::setup_devices();
        break;
    case kHitScene:
        scene3d::grab();
        g_rotating = true;
        g_spin = 0;
        break;
    default:
        if ((code >= kHitBand0 && code <= kHitPreamp) || (code >= kHitSceneBand0 && code < kHitSceneBand0 + 10))
            start_drag(code, x, y);
        break;
    }
}

} // namespace

int hit(float x, float y) {
    if (!S) return kHitNothing;
    lay_out_overlay();
    const bool normal = !S->compact;
    if (normal && g_crash_note) {
        const int c = first_of(x, y, {kHitCrashSend, kHitCrashDiscard});
        return c >= 0 ? c : kHitCrashBox;
    }
    if (normal && g_flash_note) {
        const int c = first_of(x, y, {kHitFlashReduce, kHitFlashOk});
        return c >= 0 ? c : kHitFlashBox;
    }
    if (g_save.open) {
        const int c = first_of(x, y, {kHitField, kHitSaveOk, kHitSaveCancel, kHitSaveBox});
        return c >= 0 ? c : kHitNothing;
    }
    if (inside(g_over_rect[kHitStatusNote], x, y)) return kHitStatusNote;
    if (S->compact) {
        const int c = inside(L[kClose], x, y)      ? kHitMiniClose
                      : inside(L[kExpand], x, y)   ? kHitExpand
                      : inside(L[kMiniMute], x, y) ? kHitMute
                      : inside(L[kMiniPower], x, y) ? kHitMiniPower
                                                     : kHitMiniBack;
        return c;
    }
    if (g_settings_open) {
        const int c = first_of(x, y, {kHitAutostart, kHitEqOnStart, kHitOnTop, kHitReduce, kHitFlashLink,
                                      kHitLanguage, kHitDark, kHitLight, kHitRemoveFilter, kHitBug, kHitMaker,
                                      kHitPackages, kHitClosePanel, kHitPanel});
        return c >= 0 ? c : kHitNothing;
    }
    return main_hit(x, y);
}

int cursor_at(float x, float y) {
    if (!S) return 0;
    if (g_drag >= 0 || g_rotating) return 3;
    if (g_popup.open) return inside(g_popup.rect, x, y) ? 1 : 0;
    const int c = hit(x, y);
    if (c == kHitScene || (c == kHitMiniBack && !platform::compact_framed())) return 2;
    if (c == kHitMiniBack || c == kHitPanel || c == kHitNothing) return 0;
    // The boxes of dialogs and notes are not buttons.
    if (c == kHitSaveBox || c == kHitCrashBox || c == kHitFlashBox) return 0;
    return 1;
}

void on_mouse_move(float x, float y) {
    if (!S) return;
    const uint64_t now = now_ms();
    if (g_rotating) {
        const float dx = x - g_last_x, dy = y - g_last_y;
        scene3d::rotate(dx, dy);
        const float dt = std::max(0.001f, float(now - g_last_move) / 1000);
        g_spin = 0.7f * g_spin + 0.3f * dx / dt;
    }
    g_last_x = x;
    g_last_y = y;
    g_last_move = now;
    if (g_drag >= 0) {
        drag_to(y);
        return;
    }
    if (g_popup.open) {
        g_hover = kHitPopup;
        const Popup& p = g_popup;
        int row = -1;
        if (inside(p.rect, x, y)) {
            row = int(std::floor((y - p.rect.y - 4) / 28)) + p.first;
            if (row < p.first || row >= p.first + p.visible || row >= int(p.items.size())) row = -1;
        }
        const bool strip = row >= 0 && x >= p.rect.x + p.rect.w - 34;
        if (row != p.hover || strip != p.strip_hover) g_dirty = true;
        g_popup.hover = row;
        g_popup.strip_hover = strip;
        return;
    }
    const int c = hit(x, y);
    if (c != g_hover) g_dirty = true;
    g_hover = c;
}

void on_mouse_down(float x, float y) {
    if (!S) return;
    g_last_x = x;
    g_last_y = y;
    g_last_move = now_ms();
    g_dirty = true;
    if (g_popup.open && !g_save.open) {
        popup_press(x, y);
        return;
    }
    const int code = hit(x, y);
    if (g_save.open) {
        // Only the dialog's own codes act; outside it the dialog closes.
        if (code == kHitNothing || code == kHitSaveCancel)
            g_save.open = false;
        else if (code == kHitSaveOk)
            commit_save();
        return;
    }
    press(code, x, y);
    g_hover = hit(x, y);
}

void on_double_click(float x, float y) {
    if (!S || g_popup.open) return;
    g_dirty = true;
    const int code = hit(x, y);
    if ((code >= kHitBand0 && code <= kHitPreamp) || (code >= kHitSceneBand0 && code < kHitSceneBand0 + 10)) {
        g_drag = -1;
        g_glide.on = false;
        set_band(code >= kHitSceneBand0 ? code - kHitSceneBand0 : code - kHitBand0, 0);
    } else if (code == kHitScene) {
        g_rotating = false;
        scene3d::release(0);
        scene3d::next_pattern();
    } else if (code == kHitMiniBack) {
        set_compact(false);
    } else {
        // Elsewhere a quick second click is a click: mute and unmute in a hurry must both count.
        on_mouse_down(x, y);
    }
}

void on_mouse_up() {
    if (g_rotating) {
        g_rotating = false;
        // A flick keeps spinning; a pointer that came to rest lets go.
        scene3d::release(now_ms() - g_last_move <= 120 ? g_spin : 0);
    }
    if (g_drag >= 0) g_dirty = true;
    g_drag = -1;
}

void on_mouse_leave() {
    if (g_drag >= 0 || g_rotating) return;
    if (g_hover != kHitNothing || g_popup.hover >= 0) g_dirty = true;
    g_hover = kHitNothing;
    g_popup.hover = -1;
}

void on_wheel(float x, float y, int step) {
    if (!S) return;
    if (g_popup.open) {
        Popup& p = g_popup;
        const int first = std::clamp(p.first + step, 0, std::max(0, int(p.items.size()) - p.visible));
        if (first != p.first) g_dirty = true;
        p.first = first;
        on_mouse_move(x, y);
        return;
    }
    const int code = hit(x, y);
    if (code == kHitScene) {
        scene3d::zoom(float(step));
    } else if ((code >= kHitBand0 && code <= kHitPreamp) || (code >= kHitSceneBand0 && code < kHitSceneBand0 + 10)) {
        g_glide.on = false;
        const int band = code >= kHitSceneBand0 ? code - kHitSceneBand0 : code - kHitBand0;
        set_band(band, *band_value(band) - 0.5f * float(step));
    }
}

void on_key(Key key) {
    if (!S) return;
    g_dirty = true;
    if (!S->compact && g_flash_note && !g_crash_note) {
        if (key == Key::Enter) press(kHitFlashOk, 0, 0);
        return;
    }
    if (g_save.open) {
        if (key == Key::Escape) {
            g_save.open = false;
        } else if (key == Key::Enter) {
            commit_save();
        } else if (key == Key::Backspace) {
            std::string& n = g_save.name;
            if (g_save.replace) {
                n.clear();
            } else if (!n.empty()) {
                size_t cut = n.size() - 1;
                while (cut > 0 && (static_cast<unsigned char>(n[cut]) & 0xC0) == 0x80) --cut;
                n.erase(cut);
            }
        }
        g_save.replace = false;
        g_caret_from = now_ms();
        g_caret_on = true;
        return;
    }
    if (key != Key::Escape) return;
    if (g_popup.open)
        close_popup();
    else
        g_settings_open = false;
}

namespace {

// Code points of valid UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF), or -1.
long utf8_points(const std::string& s) {
    long n = 0;
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (!len || i + size_t(len) > s.size()) return -1;
        uint32_t cp = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
        for (int k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[i + size_t(k)]);
            if ((c & 0xC0) != 0x80) return -1;
            cp = cp << 6 | (c & 0x3F);
        }
        static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
        i += size_t(len);
        ++n;
    }
    return n;
}

} // namespace

void on_text(const char* text) {
    if (!S || !g_save.open || !text) return;
    if (g_save.replace) g_save.name.clear();
    g_save.replace = false;
    g_dirty = true;
    const std::string t = text;
    // Control characters and text that is not UTF-8 are refused whole, as is text that would
    // make the name longer than 32 characters.
    for (unsigned char c : t)
        if (c < 32 || c == 127) return;
    const long add = utf8_points(t), have = utf8_points(g_save.name);
    if (add <= 0 || have < 0 || size_t(add + have) > settings::kMaxNameCodePoints) return;
    g_save.name += t;
    g_caret_from = now_ms();
    g_caret_on = true;
}

// ---- Panels -------------------------------------------------------------------------------------
// The popups (presets, output devices, languages), the save dialog, the settings panel, the crash
// note, the flash notice and the status note. Each surface is laid out and painted by one
// function, so that what is hit is always where it was drawn: with g_paint off it only records
// the rectangles of its elements (g_over_rect), with g_paint on it also paints them.

namespace {

constexpr const char* kSupportMail = "support@lumafon.org";
constexpr const char* kMakerPage = "https://lumafon.org/";
constexpr const char* kDownloadPage = "https://lumafon.org/download/linux";
// The libraries this build links; the settings seal's primitives come from libsodium.
constexpr const char* kThirdParty =
    "SDL2 (zlib), cairo (LGPL-2.1 / MPL-1.1), Pango and HarfBuzz (LGPL-2.1 / MIT), GLib (LGPL-2.1), "
    "libpulse (LGPL-2.1), libsodium (ISC)";

bool g_paint = false;
gfx::Rect g_lang_box; // the language row's value box, where its list opens

// Translated formats are filled by hand, never handed to printf: each "%s" or "%d" in turn takes
// the next value, "%%" is a percent sign, anything else is copied.
std::string fill(const char* format, std::initializer_list<std::string> values) {
    std::string out;
    auto next = values.begin();
    for (const char* c = format; *c; ++c) {
        if (c[0] == '%' && (c[1] == 's' || c[1] == 'd')) {
            if (next != values.end()) out += *next++;
            ++c;
        } else if (c[0] == '%' && c[1] == '%') {
            out += '%';
            ++c;
        } else {
            out += *c;
        }
    }
    return out;
}

void put(int code, const gfx::Rect& r) {
    g_over_rect[code] = r;
}

uint32_t ink_strong() {
    return pal(theme::kStrokeHover);
}

// One line, shortened to fit its box.
void label(const gfx::Rect& r, const std::string& s, float size, uint32_t color, bool bold = false,
           gfx::Align align = gfx::Align::Left) {
    if (!g_paint || r.w <= 4) return;
    gfx::text(r, ellipsize(s, bold, size, r.w - 4).c_str(), size, color, align, bold);
}

float wrapped(const gfx::Rect& r, const char* s, float size, uint32_t color, gfx::Align align = gfx::Align::Left) {
    const float h = gfx::wrapped_height(s, size, r.w);
    if (g_paint) gfx::text_wrapped({r.x, r.y, r.w, h + 2}, s, size, color, align);
    return h;
}

void text_button(const gfx::Rect& r, const char* s, bool primary, int code) {
    put(code, r);
    if (!g_paint) return;
    const bool hover = g_hover == code;
    if (primary) {
        gfx::fill_round_rect(r, 9, theme::with_alpha(pal(theme::kAccent), hover ? 0.42f : 0.3f));
        gfx::stroke_round_rect(r, 9, pal(theme::kAccent), 1);
    } else {
        button(r, false, hover);
    }
    label({r.x + 8, r.y, r.w - 16, r.h}, s, 13, ink_strong(), true, gfx::Align::Center);
}

float button_width(const char* s) {
    return gfx::text_width(s, 13, true) + 36;
}

void toggle_switch(const gfx::Rect& r, bool on, bool hover) {
    if (!g_paint) return;
    const uint32_t off = hover ? pal(theme::kButtonHover) : pal(12);
    gfx::fill_round_rect(r, r.h / 2, on ? pal(theme::kGood) : off);
    gfx::stroke_round_rect(r, r.h / 2, pal(theme::kOutline), 1);
    const float k = r.h / 2 - 3;
    gfx::fill_circle(on ? r.x + r.w - 3 - k : r.x + 3 + k, r.y + r.h / 2, k, pal(13));
}

// A row with its text at the left and a switch at the right; the whole row is the element.
void switch_row(const gfx::Rect& r, const char* text, bool on, int code) {
    put(code, r);
    if (!g_paint) return;
    if (g_hover == code) gfx::fill_round_rect(r, 8, pal(17));
    label({r.x + 8, r.y, r.w - 74, r.h}, text, 14, ink_strong());
    toggle_switch({r.x + r.w - 54, r.y + r.h / 2 - 12, 44, 24}, on, g_hover == code);
}

float link(float x, float y, float w, const char* text, int code) {
    const float h = gfx::wrapped_height(text, 12.5f, w);
    const gfx::Rect r{x, y, std::min(w, gfx::text_width(text, 12.5f) + 4), h + 2};
    put(code, r);
    if (g_paint) {
        const uint32_t c = pal(theme::kAccent);
        gfx::text_wrapped({x, y, w, h + 2}, text, 12.5f, c);
        if (g_hover == code && h < 20) gfx::line(r.x, r.y + h, r.x + r.w - 4, r.y + h, theme::with_alpha(c, 0.7f), 1);
    }
    return h + 2;
}

std::string version_line() {
    std::string note;
    if (const char* rev = std::getenv("SNAP_REVISION")) {
        const size_t n = std::strlen(rev);
        bool ok = n >= 1 && n <= 11;
        for (size_t i = 0; ok && i < n; ++i) ok = (rev[i] >= '0' && rev[i] <= '9') || rev[i] == 'x';
        if (ok) note = std::string(", Snap Rev. ") + rev;
    }
    return fill(i18n::T("about_version"), {LUMAFON_VERSION, std::string(LUMAFON_BUILD) + note});
}

std::string language_name() {
    if (S->language == "auto" || S->language.empty()) return i18n::T("language_auto");
    for (const i18n::Language& l : i18n::languages())
        if (l.code == S->language) return l.name;
    return S->language;
}

void settings_panel(float W, float H) {
    using i18n::T;
    const float pw = std::min(W - 40, 820.0f), pad = 24, gap = 32;
    const float cw = (pw - 2 * pad - gap) / 2;
    const char* hint = T("remove_filter_hint");
    const float hint_h = gfx::wrapped_height(hint, 11.5f, cw - 8);
    const float left_h = 4 * 44 + 26 + 44 + 44 + 10 + 34 + 6 + hint_h;
    const std::string version = version_line();
    const std::string bug = std::string(T("about_report_bug")) + " " + kSupportMail;
    auto wh = [](const char* s, float size, float w) { return gfx::wrapped_height(s, size, w); };
    const float right_h = wh(version.c_str(), 13, cw) + 4 + wh(T("about_tagline"), 12.5f, cw) + 12 +
                          wh(bug.c_str(), 12.5f, cw) + 2 + wh("lumafon.org", 12.5f, cw) + 2 +
                          wh(T("about_linux_packages"), 12.5f, cw) + 2 + 12 + wh(T("third_party"), 12, cw) + 2 +
                          wh(kThirdParty, 11, cw) + 12 + wh(T("about_disclaimer_title"), 12, cw) + 2 +
                          wh(T("about_disclaimer"), 11, cw);
    const float ph = std::min(H - 20, 62 + std::max(left_h, right_h) + 22 + 36 + 20);
    const gfx::Rect p{std::floor((W - pw) / 2), std::max(10.0f, std::floor((H - ph) / 2)), pw, ph};
    put(kHitPanel, p);
    if (g_paint) {
        gfx::fill_rect({0, 0, W, H}, pal(theme::kBackdrop));
        gfx::occlude({0, 0, W, H});
        gfx::fill_round_rect_vgrad(p, 16, pal(theme::kPanelTop), pal(theme::kPanelBottom));
        gfx::stroke_round_rect(p, 16, pal(theme::kOutline), 1);
    }
    label({p.x + pad, p.y + 16, pw - 2 * pad, 30}, T("settings"), 20, ink_strong(), true);

    // Left: the switches, the language, the theme, removing the filter.
    const float lx = p.x + pad;
    float y = p.y + 62;
    switch_row({lx, y, cw, 40}, T("autostart"), g_autostart, kHitAutostart);
    y += 44;
    switch_row({lx, y, cw, 40}, T("eq_on_start"), S->active_on_start, kHitEqOnStart);
    y += 44;
    switch_row({lx, y, cw, 40}, T("on_top"), S->compact_on_top, kHitOnTop);
    y += 44;
    switch_row({lx, y, cw, 40}, T("reduce_flashes"), S->reduce_flashes, kHitReduce);
    y += 44;
    link(lx + 8, y - 2, cw - 16, T("flash_notice_title"), kHitFlashLink);
    y += 26;
    const float box_w = std::min(220.0f, 0.55f * cw);
    put(kHitLanguage, {lx, y, cw, 40});
    g_lang_box = {lx + cw - box_w - 6, y + 5, box_w, 30};
    if (g_paint) {
        if (g_hover == kHitLanguage) gfx::fill_round_rect({lx, y, cw, 40}, 8, pal(17));
        label({lx + 8, y, cw - box_w - 20, 40}, T("language"), 14, ink_strong());
        button(g_lang_box, false, g_hover == kHitLanguage);
        label({g_lang_box.x + 10, g_lang_box.y, box_w - 34, 30}, language_name(), 13, ink_strong());
        chevron(g_lang_box.x + box_w - 14, g_lang_box.y + 15, false, pal(theme::kTextColor));
    }
    y += 44;
    {
        const float bw = std::max(button_width(T("theme_dark")), button_width(T("theme_light")));
        const float bx = lx + cw - 6 - 2 * bw - 6;
        label({lx + 8, y, bx - lx - 12, 40}, T("appearance"), 14, ink_strong());
        const bool dark = theme::dark();
        for (int i = 0; i < 2; ++i) {
            const int code = i == 0 ? kHitDark : kHitLight;
            const gfx::Rect r{bx + float(i) * (bw + 6), y + 5, bw, 30};
            put(code, r);
            if (!g_paint) continue;
            button(r, (i == 0) == dark, g_hover == code);
            label({r.x + 6, r.y, r.w - 12, r.h}, T(i == 0 ? "theme_dark" : "theme_light"), 13, ink_strong(), true,
                  gfx::Align::Center);
        }
    }
    y += 44 + 10;
    text_button({lx + 6, y, std::min(cw - 12, button_width(T("remove_filter"))), 34}, T("remove_filter"), false,
                kHitRemoveFilter);
    y += 40;
    wrapped({lx + 8, y, cw - 8, hint_h}, hint, 11.5f, pal(theme::kTextColor));

    // Right: about.
    const float rx = p.x + pad + cw + gap;
    y = p.y + 62;
    if (g_paint) gfx::line(rx - gap / 2, y, rx - gap / 2, p.y + ph - 78, theme::with_alpha(pal(theme::kOutline), 0.9f), 1);
    y += wrapped({rx, y, cw, 0}, version.c_str(), 13, ink_strong()) + 4;
    y += wrapped({rx, y, cw, 0}, T("about_tagline"), 12.5f, pal(theme::kTextColor)) + 12;
    y += link(rx, y, cw, bug.c_str(), kHitBug);
    y += link(rx, y, cw, "lumafon.org", kHitMaker);
    y += link(rx, y, cw, T("about_linux_packages"), kHitPackages) + 12;
    y += wrapped({rx, y, cw, 0}, T("third_party"), 12, ink_strong()) + 2;
    y += wrapped({rx, y, cw, 0}, kThirdParty, 11, pal(theme::kTextColor)) + 12;
    y += wrapped({rx, y, cw, 0}, T("about_disclaimer_title"), 12, ink_strong()) + 2;
    wrapped({rx, y, cw, 0}, T("about_disclaimer"), 11, pal(theme::kTextColor));

    const float cbw = button_width(T("close"));
    text_button({p.x + pw - pad - cbw, p.y + ph - 20 - 36, cbw, 36}, T("close"), true, kHitClosePanel);
}

bool user_preset_exists(const std::string& name) {
    for (const UserPreset& u : S->user_presets)
        if (u.name == name) return true;
    return false;
}

void save_dialog(float W, float H) {
    using i18n::T;
    const float bw = std::min(460.0f, W - 40);
    const bool exists = user_preset_exists(g_save.name);
    const bool full = !exists && S->user_presets.size() >= settings::kMaxUserPresets;
    const char* notice = exists ? T("preset_overwrite") : full ? T("preset_full") : nullptr;
    const float counter_w = gfx::text_width("32/32", 12) + 8;
    const float notice_h = notice ? gfx::wrapped_height(notice, 12, bw - 48 - counter_w) : 16;
    const float bh = 132 + std::max(16.0f, notice_h) + 20 + 34 + 20;
    const gfx::Rect box{std::floor((W - bw) / 2), std::floor((H - bh) / 2), bw, bh};
    put(kHitSaveBox, box);
    if (g_paint) {
        gfx::occlude(box);
        gfx::fill_round_rect_vgrad(box, 14, pal(theme::kPanelTop), pal(theme::kPanelBottom));
        gfx::stroke_round_rect(box, 14, pal(theme::kAccent), 1);
    }
    label({box.x + 20, box.y + 16, bw - 40, 28}, T("save_preset"), 17, ink_strong(), true);
    label({box.x + 20, box.y + 54, bw - 40, 18}, T("preset_name"), 12, pal(theme::kTextColor));
    const gfx::Rect field{box.x + 20, box.y + 76, bw - 40, 40};
    put(kHitField, field);
    if (g_paint) {
        gfx::fill_round_rect(field, 8, pal(24));
        gfx::stroke_round_rect(field, 8, pal(theme::kAccent), 1.2f);
        // The end of a long name stays in view, where the caret is.
        const float room = field.w - 28;
        const float tw = gfx::text_width(g_save.name.c_str(), 15);
        gfx::push_clip({field.x + 8, field.y + 2, field.w - 16, field.h - 4});
        const float tx = tw > room ? field.x + 12 + room - tw : field.x + 12;
        if (g_save.replace && !g_save.name.empty())
            gfx::fill_rect({tx - 2, field.y + 9, std::min(tw, room) + 4, 22}, pal(10));
        if (!g_save.name.empty()) gfx::text({tx, field.y, tw + 4, field.h}, g_save.name.c_str(), 15, ink_strong());
        if (g_caret_on) gfx::line(tx + tw + 1.5f, field.y + 10, tx + tw + 1.5f, field.y + 30, pal(theme::kAccent), 1.5f);
        gfx::pop_clip();
    }
    const long n = std::max(0L, utf8_points(g_save.name));
    char count[24];
    std::snprintf(count, sizeof count, "%ld/%zu", n, settings::kMaxNameCodePoints);
    const bool at_limit = size_t(n) >= settings::kMaxNameCodePoints;
    label({box.x + bw - 20 - counter_w, box.y + 122, counter_w, 18}, count, 12,
          pal(at_limit ? theme::kWarning : theme::kTextColor), false, gfx::Align::Right);
    if (notice) wrapped({box.x + 20, box.y + 124, bw - 48 - counter_w, notice_h}, notice, 12, pal(theme::kWarning));
    const float by = box.y + bh - 20 - 34;
    const float ok_w = button_width(T("save")), cancel_w = button_width(T("cancel"));
    text_button({box.x + bw - 20 - ok_w, by, ok_w, 34}, T("save"), true, kHitSaveOk);
    text_button({box.x + bw - 20 - ok_w - 10 - cancel_w, by, cancel_w, 34}, T("cancel"), false, kHitSaveCancel);
}

// The crash note and the flash notice: a box in the middle of the window over a dimmed view.
void note_box(float W, float H, bool crash) {
    using i18n::T;
    const float bw = std::min(600.0f, W - 80);
    const char* title = T(crash ? "crash_title" : "flash_notice_title");
    const char* text = T(crash ? "crash_text" : "flash_notice_text");
    const float title_h = gfx::wrapped_height(title, 17, bw - 48);
    const float text_h = gfx::wrapped_height(text, 13, bw - 48);
    const float bh = 22 + title_h + 12 + text_h + (crash ? 0 : 52) + 20 + 36 + 22;
    const gfx::Rect box{std::floor((W - bw) / 2), std::floor((H - bh) / 2), bw, bh};
    put(crash ? kHitCrashBox : kHitFlashBox, box);
    if (g_paint) {
        gfx::fill_rect({0, 0, W, H}, pal(theme::kBackdrop));
        gfx::occlude({0, 0, W, H});
        gfx::fill_round_rect_vgrad(box, 16, pal(theme::kPanelTop), pal(theme::kPanelBottom));
        gfx::stroke_round_rect(box, 16, pal(crash ? theme::kError : theme::kWarning), 1.2f);
    }
    float y = box.y + 22;
    if (g_paint) gfx::text_wrapped({box.x + 24, y, bw - 48, title_h + 2}, title, 17, ink_strong());
    y += title_h + 12;
    wrapped({box.x + 24, y, bw - 48, text_h}, text, 13, pal(theme::kTextColor));
    y += text_h;
    if (!crash) {
        switch_row({box.x + 16, y + 10, bw - 32, 40}, T("reduce_flashes"), S->reduce_flashes, kHitFlashReduce);
        y += 52;
    }
    const float by = box.y + bh - 22 - 36;
    if (crash) {
        const float sw = button_width(T("crash_send")), dw = button_width(T("crash_discard"));
        text_button({box.x + bw - 24 - sw, by, sw, 36}, T("crash_send"), true, kHitCrashSend);
        text_button({box.x + bw - 24 - sw - 10 - dw, by, dw, 36}, T("crash_discard"), false, kHitCrashDiscard);
    } else {
        const float ow = std::max(120.0f, button_width(T("flash_notice_ok")));
        text_button({box.x + bw - 24 - ow, by, ow, 36}, T("flash_notice_ok"), true, kHitFlashOk);
    }
}

// The engine's trouble in words, first match wins; null when it runs normally.
const char* status_note_text() {
    const audio::Status& s = g_status;
    if (s.state == 0) return "status_connecting";
    if (s.state == 2) return "status_no_server";
    if (s.state == 3) return "status_other_instance";
    if (s.snap_no_sink) return "status_snap_no_sink";
    if (s.select_output && S->active) return "status_select_output";
    if (s.setup_needed) return "status_setup_needed";
    if (s.permission_needed) return "status_permission_needed";
    return nullptr;
}

void status_note() {
    const char* key = status_note_text();
    if (!key) return;
    const char* text = i18n::T(key);
    const gfx::Rect& region = S->compact ? L[kMiniBars] : L[kStage];
    if (region.w <= 60) return;
    const float bw = std::min(gfx::text_width(text, 14) + 40, region.w - 40);
    const float th = gfx::wrapped_height(text, 14, bw - 32);
    const gfx::Rect box{region.x + (region.w - bw) / 2, region.y + (region.h - th - 18) / 2, bw, th + 18};
    const bool clickable = g_status.state == 1 && (g_status.setup_needed || g_status.permission_needed || g_status.snap_no_sink);
    if (clickable) put(kHitStatusNote, box);
    if (!g_paint) return;
    gfx::occlude(box);
    gfx::fill_round_rect(box, 8, clickable && g_hover == kHitStatusNote ? theme::with_alpha(pal(theme::kAccent), 0.35f)
                                                                         : pal(theme::kBackdrop));
    gfx::text_wrapped({box.x + 16, box.y + 9, bw - 32, th + 2}, text, 14, ink_strong(), gfx::Align::Center);
}

// ---- popups

void place_popup(float W, float H) {
    Popup& p = g_popup;
    // The anchor moves with the layout (a resized window, full screen).
    if (p.anchor_region >= 0) p.anchor = p.anchor_region < kRegions ? L[p.anchor_region] : g_lang_box;
    const gfx::Rect& a = p.anchor;
    const int n = int(p.items.size());
    float w = std::max(p.width, a.w);
    w = std::min(w, std::max(380.0f, a.w));
    w = std::min(w, W - 20);
    const float full = float(n) * 28 + 8;
    const float below = H - (a.y + a.h) - 12, above = a.y - 12;
    const bool down = below >= std::min(200.0f, full) || below >= above;
    const float space = down ? below : above;
    p.visible = std::clamp(int(std::floor((space - 8) / 28)), 1, std::max(1, n));
    p.first = std::clamp(p.first, 0, std::max(0, n - p.visible));
    const float h = float(p.visible) * 28 + 8;
    p.rect = {std::max(10.0f, std::min(a.x, W - 10 - w)), down ? a.y + a.h + 4 : a.y - 4 - h, w, h};
    put(kHitPopup, p.rect);
}

void paint_popup() {
    const Popup& p = g_popup;
    const gfx::Rect& r = p.rect;
    gfx::occlude(r);
    gfx::fill_round_rect(r, 10, theme::mix(pal(theme::kPanelTop), pal(theme::kPanelBottom), 0.3f));
    gfx::stroke_round_rect(r, 10, pal(theme::kOutline), 1);
    const bool scrolls = int(p.items.size()) > p.visible;
    for (int i = p.first; i < p.first + p.visible && i < int(p.items.size()); ++i) {
        const gfx::Rect row = popup_row(i);
        const bool del = p.deletable[size_t(i)];
        const float text_w = row.w - (del ? 62 : 28) - (scrolls ? 6 : 0);
        if (p.heading[size_t(i)]) {
            label({row.x + 10, row.y + 4, text_w, row.h - 4}, p.items[size_t(i)], 11.5f, pal(theme::kTextColor), true);
            continue;
        }
        if (i == p.selected) gfx::fill_round_rect(row, 7, pal(10));
        if (i == p.hover && !(del && p.strip_hover)) gfx::fill_round_rect(row, 7, pal(18));
        label({row.x + 14, row.y, text_w, row.h}, p.items[size_t(i)], 14, ink_strong());
        if (del) {
            // The delete strip: an X at the row's right end, red under the pointer.
            const gfx::Rect strip{r.x + r.w - 34, row.y + 3, 28, row.h - 6};
            const bool hot = i == p.hover && p.strip_hover;
            if (hot) gfx::fill_round_rect(strip, 6, theme::with_alpha(pal(theme::kError), 0.85f));
            const uint32_t c = hot ? 0xFFFFFFFF : theme::with_alpha(pal(theme::kTextColor), 0.8f);
            const float cx = strip.x + strip.w / 2, cy = strip.y + strip.h / 2;
            gfx::line(cx - 4, cy - 4, cx + 4, cy + 4, c, 1.6f);
            gfx::line(cx + 4, cy - 4, cx - 4, cy + 4, c, 1.6f);
        }
    }
    if (scrolls) {
        // Where the visible rows lie in the whole list.
        const float track = r.h - 12, n = float(p.items.size());
        const float th = std::max(18.0f, track * float(p.visible) / n);
        const float ty = r.y + 6 + (track - th) * float(p.first) / std::max(1.0f, n - float(p.visible));
        gfx::fill_round_rect({r.x + r.w - 6, ty, 3, th}, 1.5f,
                             theme::with_alpha(pal(theme::kTextColor), 0.6f));
    }
}

void open_popup(int anchor_region, std::vector<std::string> items, std::vector<char> heading,
                std::vector<char> deletable, int selected, std::function<void(int)> on_pick,
                std::function<void(int)> on_delete = {}) {
    Popup& p = g_popup;
    p = Popup{};
    p.open = true;
    p.anchor_region = anchor_region;
    p.items = std::move(items);
    p.heading = std::move(heading);
    p.deletable = std::move(deletable);
    p.heading.resize(p.items.size(), 0);
    p.deletable.resize(p.items.size(), 0);
    p.selected = selected;
    p.first = std::max(0, selected - 4);
    p.on_pick = std::move(on_pick);
    p.on_delete = std::move(on_delete);
    for (size_t i = 0; i < p.items.size(); ++i)
        p.width = std::max(p.width, gfx::text_width(p.items[i].c_str(), 14) + (p.deletable[i] ? 70 : 40));
    place_popup(g_w, g_h);
    g_hover = kHitPopup;
    g_dirty = true;
}

eq::Curve selected_curve(const std::string& key) {
    if (key.rfind("b:", 0) == 0) {
        const int i = eq::find_preset(key.c_str() + 2);
        if (i >= 0) return eq::preset_curve(i);
    } else if (key.rfind("u:", 0) == 0) {
        for (const UserPreset& u : S->user_presets)
            if (key.compare(2, std::string::npos, u.name) == 0) return u.curve;
    }
    return S->curve;
}

void open_presets() {
    std::vector<std::string> items, keys;
    std::vector<char> heading, deletable;
    auto row = [&](const std::string& text, const std::string& key, bool head, bool del) {
        items.push_back(text);
        keys.push_back(key);
        heading.push_back(head);
        deletable.push_back(del);
    };
    row(i18n::T("presets_builtin"), "", true, false);
    int n = 0;
    const eq::Preset* list = eq::presets(&n);
    for (int i = 0; i < n; ++i) row(i18n::T(list[i].key), std::string("b:") + list[i].key, false, false);
    if (!S->user_presets.empty()) {
        row(i18n::T("presets_user"), "", true, false);
        for (const UserPreset& u : S->user_presets) row(u.name, "u:" + u.name, false, true);
    }
    int selected = -1;
    for (size_t i = 0; i < keys.size(); ++i)
        if (!heading[i] && keys[i] == S->preset) selected = int(i);
    open_popup(kPreset, items, heading, deletable, selected, [keys](int i) { select_preset(keys[size_t(i)]); },
               [keys](int i) {
                   const std::string name = keys[size_t(i)].substr(2);
                   auto& users = S->user_presets;
                   users.erase(std::remove_if(users.begin(), users.end(),
                                              [&](const UserPreset& u) { return u.name == name; }),
                               users.end());
                   schedule_save();
                   const int first = g_popup.first;
                   open_presets();
                   g_popup.first = first;
                   place_popup(g_w, g_h);
               });
}

void open_devices() {
    std::vector<std::string> items = {i18n::T("device_follow")}, names = {""};
    for (const audio::Device& d : audio::devices()) {
        items.push_back(d.label.empty() ? d.name : d.label);
        names.push_back(d.name);
    }
    int selected = 0;
    for (size_t i = 1; i < names.size(); ++i)
        if (names[i] == S->output) selected = int(i);
    open_popup(kDevice, items, {}, {}, selected, [names](int i) {
        S->output = names[size_t(i)];
        audio::set_output(S->output);
        schedule_save();
    });
}

void open_languages() {
    std::vector<std::string> items = {i18n::T("language_auto")}, codes = {"auto"};
    for (const i18n::Language& l : i18n::languages()) {
        items.push_back(l.name);
        codes.push_back(l.code);
    }
    int selected = 0;
    for (size_t i = 1; i < codes.size(); ++i)
        if (codes[i] == S->language) selected = int(i);
    lay_out_overlay();
    open_popup(kRegions, items, {}, {}, selected, [codes](int i) {
        S->language = codes[size_t(i)];
        i18n::set_language(S->language);
        schedule_save();
    });
}

void close_popup() {
    g_popup.open = false;
    g_popup.on_pick = nullptr;
    g_popup.on_delete = nullptr;
    g_dirty = true;
}

void popup_press(float x, float y) {
    Popup& p = g_popup;
    place_popup(g_w, g_h);
    if (!inside(p.rect, x, y)) {
        close_popup();
        return;
    }
    const int row = int(std::floor((y - p.rect.y - 4) / 28)) + p.first;
    if (row < p.first || row >= p.first + p.visible || row >= int(p.items.size()) || p.heading[size_t(row)]) return;
    if (p.deletable[size_t(row)] && x >= p.rect.x + p.rect.w - 34 && p.on_delete) {
        const auto on_delete = p.on_delete; // the callback opens the list anew
        on_delete(row);
        return;
    }
    const auto on_pick = p.on_pick;
    close_popup();
    if (on_pick) on_pick(row);
}

void select_preset(const std::string& key) {
    S->preset = key;
    g_glide = {true, S->curve, selected_curve(key), now_ms()};
    advance_glide(g_glide.start);
}

void advance_glide(uint64_t now) {
    if (!S) return;
    const float t = float(now - g_glide.start);
    auto ease = [](float p) { return 1 + (2.2f * (p - 1) + 1.2f) * (p - 1) * (p - 1); };
    bool done = true;
    for (int i = 0; i <= 10; ++i) {
        const float delay = i < 10 ? float(i + 1) * 28 : 0;
        const float p = std::clamp((t - delay) / 520, 0.0f, 1.0f);
        if (p < 1) done = false;
        const float from = i < 10 ? g_glide.from.band[i] : g_glide.from.preamp;
        const float to = i < 10 ? g_glide.to.band[i] : g_glide.to.preamp;
        *band_value(i) = std::clamp(from + (to - from) * ease(p), -12.0f, 12.0f);
    }
    if (done) {
        S->curve = g_glide.to;
        g_glide.on = false;
        schedule_save();
    }
    audio::set_curve(S->curve);
    g_dirty = true;
}

// ---- save dialog

void open_save() {
    close_popup();
    g_save = SaveDialog{};
    g_save.open = true;
    g_save.replace = true;
    if (S->preset.rfind("u:", 0) == 0 && user_preset_exists(S->preset.substr(2))) {
        g_save.name = S->preset.substr(2);
    } else {
        for (int i = 1; i <= 999; ++i) {
            const std::string name = fill(i18n::T("preset_default_name"), {std::to_string(i)});
            if (!user_preset_exists(name)) {
                g_save.name = name;
                break;
            }
        }
    }
    g_caret_from = now_ms();
    g_caret_on = true;
    g_dirty = true;
}

void commit_save() {
    std::string name = g_save.name;
    for (char& c : name)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    const size_t b = name.find_first_not_of(' ');
    name = b == std::string::npos ? "" : name.substr(b, name.find_last_not_of(' ') - b + 1);
    if (name.empty() || utf8_points(name) < 0) return;
    bool stored = false;
    for (UserPreset& u : S->user_presets)
        if (u.name == name) {
            u.curve = S->curve;
            stored = true;
        }
    if (!stored && S->user_presets.size() < settings::kMaxUserPresets) {
        S->user_presets.push_back({name, S->curve});
        stored = true;
    }
    if (!stored) return; // the list is full: the notice says so, the dialog stays
    S->preset = "u:" + name;
    g_save.open = false;
    g_dirty = true;
    schedule_save();
}

void open_link(int code) {
    if (code == kHitBug)
        platform::open_uri(std::string("mailto:") + kSupportMail + "?subject=Lumafon%20" + LUMAFON_VERSION);
    else if (code == kHitMaker)
        platform::open_uri(kMakerPage);
    else
        platform::open_uri(kDownloadPage);
}

// What the overlay lays out depends on these; hit testing lays it out again only when they change.
struct OverlayKey {
    float w = -1, h = -1;
    bool compact = false, settings = false, save = false, crash = false, flash = false, autostart = false;
    const char* note = nullptr;
    bool clickable_note = false;
    const char* language = nullptr;
    bool operator==(const OverlayKey& o) const {
        return w == o.w && h == o.h && compact == o.compact && settings == o.settings && save == o.save &&
               crash == o.crash && flash == o.flash && autostart == o.autostart && note == o.note &&
               clickable_note == o.clickable_note && language == o.language;
    }
};
OverlayKey g_over_key;

// Lays the overlay out (and paints it with g_paint); true when something is shown.
bool overlay(float W, float H) {
    for (gfx::Rect& r : g_over_rect) r = {};
    g_lang_box = {};
    bool shown = false;
    if (status_note_text()) {
        status_note();
        shown = true;
    }
    if (!S->compact && g_settings_open) {
        settings_panel(W, H);
        shown = true;
    }
    if (g_popup.open) {
        place_popup(W, H);
        if (g_paint) paint_popup();
        shown = true;
    }
    if (g_save.open) {
        save_dialog(W, H);
        shown = true;
    }
    if (!S->compact && (g_crash_note || g_flash_note)) {
        note_box(W, H, g_crash_note);
        shown = true;
    }
    return shown;
}

OverlayKey overlay_key() {
    OverlayKey k;
    k.w = g_w;
    k.h = g_h;
    k.compact = S->compact;
    k.settings = g_settings_open;
    k.save = g_save.open;
    k.crash = g_crash_note;
    k.flash = g_flash_note;
    k.autostart = g_autostart;
    k.note = status_note_text();
    k.clickable_note = g_status.state == 1;
    k.language = i18n::T("settings"); // the translation table's text moves with the language
    return k;
}

void lay_out_overlay() {
    if (!S) return;
    const OverlayKey k = overlay_key();
    if (k == g_over_key && !g_popup.open) return;
    g_over_key = k;
    g_paint = false;
    overlay(g_w, g_h);
}

void run_test_hook() {
    if (!g_test_open || !S || !(L[kStage].w > 0 || L[kMiniBars].w > 0)) return;
    const std::string name = g_test_open;
    if (name == "languages") {
        // The panel first, the list on a later frame, once the language row is laid out.
        if (!g_settings_open) {
            open_settings();
            return;
        }
        if (!g_languages_next) {
            g_languages_next = true;
            return;
        }
        open_languages();
    } else if (name == "save") {
        open_save();
    } else if (name == "presets") {
        open_presets();
    } else if (name == "devices") {
        if (g_status.state == 0) return; // the list comes with the engine's first pass
        open_devices();
    }
    g_test_open = nullptr;
}

void store_geometry() {
    int x = -1, y = -1, w = 0, h = 0;
    platform::window_pos(&x, &y);
    platform::window_size(&w, &h);
    int* pos = S->compact ? &S->mini_x : &S->win_x;
    int* size = S->compact ? &S->mini_w : &S->win_w;
    if (x >= 0 || y >= 0) pos[0] = x, pos[1] = y;
    if (w > 0 && h > 0) size[0] = w, size[1] = h;
}

} // namespace

bool draw_overlay(float w, float h) {
    if (!S) return false;
    g_w = w;
    g_h = h;
    g_paint = true;
    const bool shown = overlay(w, h);
    g_paint = false;
    g_over_key = overlay_key();
    return shown;
}

gfx::Rect hit_rect(int code) {
    if (!S || code < 0 || code >= kHitCodes) return {};
    lay_out_overlay();
    return g_over_rect[code];
}

gfx::Rect popup_row(int item) {
    const Popup& p = g_popup;
    if (!p.open || item < p.first || item >= p.first + p.visible || item >= int(p.items.size())) return {};
    return {p.rect.x + 4, p.rect.y + 4 + float(item - p.first) * 28, p.rect.w - 8, 28};
}

void open_settings_at_start() {
    g_settings_at_start = true;
}

void open_settings() {
    if (!S) return;
    if (S->compact) set_compact(false);
    close_popup();
    g_save.open = false;
    g_settings_open = true;
    g_autostart = autostart::enabled();
    g_dirty = true;
}

void set_compact(bool on) {
    if (!S) return;
    store_geometry();
    if (on && S->mini_x == -1 && S->win_x >= 0) {
        S->mini_x = S->win_x + std::max(0, S->win_w - 420);
        S->mini_y = S->win_y;
    }
    S->compact = on;
    close_popup();
    g_settings_open = false;
    g_save.open = false;
    g_drag = -1;
    g_hover = kHitNothing;
    platform::set_compact(on, S->compact_on_top);
    schedule_save();
    g_dirty = true;
}

bool settings_open() {
    return g_settings_open;
}
bool popup_open() {
    return g_popup.open;
}
bool save_open() {
    return g_save.open;
}
const std::string& save_name() {
    return g_save.name;
}
bool flash_note_shown() {
    return g_flash_note;
}
bool crash_note_shown() {
    return g_crash_note;
}


// ---- Beat tracker -------------------------------------------------------------------------------
// Every 10 ms hop of sound gives one onset value; six seconds of them give the tempo (the lag
// with the strongest autocorrelation, preferring periods near half a second) and the phase (the
// offset where onsets and kicks line up best). Where the onsets show no beat, the detected kicks
// give it by the grid they lie on. While the tempo is trusted the beats follow the
// predicted grid; otherwise every kick stands in for a beat. Kicks come from kick::Detector on
// the newly arrived samples, with the user's equaliser taken back out so that a bass boost does
// not change what counts as a kick.

BeatTracker g_beat;

namespace {

constexpr int kTapFrames = 8192;
constexpr double kHop = 0.01;    // seconds
constexpr int kMinLag = 30;      // hops: 200 beats per minute
constexpr int kMaxLag = 100;     // hops: 60 beats per minute
constexpr float kLocked = 0.3f;  // confidence needed to follow the tempo
constexpr int kKickBeatGap = 25; // hops between kicks that stand in for beats
constexpr int kClapGap = 30;     // hops between claps
constexpr int kTailSlack = 2400; // frames the sound may run ahead of the elapsed time
constexpr int kSettle = 1440;    // samples (30 ms) that settle the onset measure's filters
// The tempo is the lag whose onsets repeat best, helped by how well they repeat at twice and at
// half that lag (a beat is also heard in its bar and its eighths), with a gentle preference for
// periods near half a second: a narrow one pulls drum and bass or swung hip-hop onto their
// off-beat figures. The onsets of the bass bands count with the broadband flux.
constexpr double kLowWeight = 1.0;
constexpr double kPriorWidth = 1.5; // variance of the preference, in octaves squared
constexpr double kTwiceWeight = 0.5;
constexpr double kHalfWeight = 0.5;
// And how well they repeat at four times the lag, the bar of four beats, once the history holds
// that with a second to spare: a syncopated figure repeats at a beat and a half or at a dotted
// quarter, but not at four times that, where the bar of the true beat does.
constexpr double kBarWeight = 0.5;
constexpr double kKeepShare = 0.85;
// A beat rarely lasts a whole number of hops (90 BPM is 66.7): its bar and its half bar are taken
// at the best of the lags their rounding allows, four times the lag within 2 hops and twice it
// within 1, or a bar of 266.7 hops would be sought at 268 and missed.
constexpr int kBarSlack = 2;
constexpr int kTwiceSlack = 1;
// A syncopated pattern repeats at its bar more than at its beat. Where the detected kicks come
// back a bar later (at least this share of them, within 2 hops), how well the onsets repeat at
// the bar counts half towards the confidence; music without kicks is judged by its beat alone.
constexpr double kBarKickShare = 0.75;
constexpr int kKickSlack = 2;
// Kicks sit on beats, though not on every beat: where the onsets are dominated by something
// without a beat (loud pads), the detected kicks tell the beat by lying whole beats, half bars
// or bars apart. A lag on whose grid most kicks lie (each with another kick 1, 2 or 4 lags
// away) is trusted when the onsets give no tempo to trust.
constexpr int kGridKicks = 32;          // most recent kicks looked at (a bound on the work)
constexpr int kGridMinKicks = 3;        // on the grid, at least
constexpr double kGridShare = 0.75;     // of the kicks in the history on the grid, at least
constexpr double kGridConfidence = 0.5; // confidence of a grid that holds every kick
constexpr double kGridPriorWidth = 0.5; // a narrower preference for half a second, octaves squared
static_assert(kGridKicks <= 64, "one bit per kick");

BeatSource g_source;

bool engine_tap(float* left, float* right, int count, float* rate, float* age) {
    if (!audio::tap(left, right, count, rate, nullptr, false)) return false;
    *age = audio::tap_age();
    return true;
}

double now_s() {
    return g_source.clock ? g_source.clock() : beat_clock();
}

int ring_at(int index) {
    return ((index % BeatTracker::kRing) + BeatTracker::kRing) % BeatTracker::kRing;
}

// Removes the user's equaliser from `dry`: the tapped sound went through it, the detector's
// thresholds are made for the music as it was produced.
void undo_equaliser(BeatTracker& b, float* dry, int k, float rate) {
    const Settings* s = g_source.settings;
    if (!s || !s->active) {
        b.undo_valid = false;
        return;
    }
    if (!(b.undo_valid && rate == b.undo_rate && eq::same(s->curve, b.undo_curve))) {
        if (rate != b.undo_rate || !b.undo_valid) {
            b.undo.set_format(rate, 1);
            b.undo.reset();
        }
        eq::Curve negated = s->curve;
        for (float& g : negated.band) g = -g;
        negated.preamp = -negated.preamp;
        b.undo.set_curve(negated);
        b.undo_curve = s->curve;
        b.undo_rate = rate;
    }
    b.undo_valid = true;
    b.undo.process(dry, k);
}

// The lag on whose grid most of the detected kicks lie, each with another kick 1, 2 or 4 lags
// away, while the kicks still come; 0 when no lag holds enough of them. `share` is the part of the
// kicks that lie on its grid.
int kick_grid(const BeatTracker& b, int newest, double* share) {
    static int kick_age[kGridKicks];
    static uint64_t on_grid[kMaxLag + 1]; // per lag, one bit for each kick on its grid
    static int miss[kMaxLag + 1];         // per lag, how far its pairs lie from whole lags, in hops
    static int pairs[kMaxLag + 1];
    int kicks = 0;
    for (int age = 0; age < b.filled && kicks < kGridKicks; ++age)
        if (b.kick_marks[ring_at(newest - age)] > 0) kick_age[kicks++] = age;
    if (kicks < kGridMinKicks) return 0;
    std::fill(on_grid, on_grid + kMaxLag + 1, 0);
    std::fill(miss, miss + kMaxLag + 1, 0);
    std::fill(pairs, pairs + kMaxLag + 1, 0);
    for (int i = 0; i < kicks; ++i) {
        for (int j = i + 1; j < kicks; ++j) {
            const int d = kick_age[j] - kick_age[i];
            if (d > 4 * kMaxLag + kKickSlack) break;
            for (int times : {1, 2, 4}) {
                const int from = std::max(kMinLag, (d - kKickSlack + times - 1) / times);
                const int to = std::min(kMaxLag, (d + kKickSlack) / times);
                for (int lag = from; lag <= to; ++lag) {
                    on_grid[lag] |= uint64_t{1} << i | uint64_t{1} << j;
                    miss[lag] += std::abs(d - times * lag);
                    pairs[lag] += 1;
                }
            }
        }
    }
    int best = 0;
    double best_fit = 0;
    for (int lag = kMinLag; lag <= kMaxLag; ++lag) {
        const int on = std::popcount(on_grid[lag]);
        const double part = static_cast<double>(on) / kicks;
        // A bar of four beats without a kick: the music no longer has them.
        if (on < kGridMinKicks || part < kGridShare || kick_age[0] > 4 * lag + kKickSlack) continue;
        // The grids of a beat, its half and its double hold the same kicks; the one nearest to
        // half a second wins, and the tempo followed before (if any) before all.
        const double octave = std::log2(lag / 50.0);
        const double kept = b.next_beat >= 0 && std::abs(lag - b.period) <= kKickSlack ? 1 : 0;
        const double fit = part * std::exp(-0.5 * octave * octave / kGridPriorWidth) + kept;
        if (fit > best_fit) {
            best = lag;
            best_fit = fit;
            *share = part;
        }
    }
    // Of the neighbouring lags that hold as many kicks, the one the kicks lie closest to whole
    // multiples of (the slack lets 59, 60 and 61 hops hold the kicks of 100 BPM).
    if (best == 0) return 0;
    const int chosen = best, held = std::popcount(on_grid[best]);
    const int low = std::max(kMinLag, chosen - kKickSlack), high = std::min(kMaxLag, chosen + kKickSlack);
    for (int lag = low; lag <= high; ++lag) {
        const bool closer = miss[lag] * pairs[best] < miss[best] * pairs[lag];
        if (std::popcount(on_grid[lag]) >= held && closer && kick_age[0] <= 4 * lag + kKickSlack) best = lag;
    }
    return best;
}

// The phase of the beat: the offset at which the onsets and kicks of the history line up best
// with the period; the expected next beat moves halfway towards it.
void follow_phase(BeatTracker& b, int newest) {
    const int n = b.filled;
    int best_w = 0;
    double best_sum = -1;
    for (int w = 0; w < std::min(b.period, n); ++w) {
        double sum = 0;
        for (int age = w; age < n; age += b.period) {
            const int i = ring_at(newest - age);
            double marks = b.kick_marks[i];
            if (age > 0) marks += b.kick_marks[ring_at(newest - age + 1)];
            if (age < n - 1) marks += b.kick_marks[ring_at(newest - age - 1)];
            sum += b.flux_hist[i] + 1.5 * b.low_hist[i] + 8 * marks;
        }
        if (sum > best_sum) {
            best_sum = sum;
            best_w = w;
        }
    }
    const float predicted = static_cast<float>(b.hop - best_w + b.period);
    if (b.next_beat >= 0) {
        float diff = predicted - b.next_beat;
        const float p = static_cast<float>(b.period);
        while (diff > p / 2) diff -= p;
        while (diff < -p / 2) diff += p;
        b.next_beat += diff / 2;
    } else {
        b.next_beat = predicted;
    }
}

// Tempo and phase from the onset history, every half second once two seconds are there.
void estimate_tempo(BeatTracker& b, int newest) {
    const int n = b.filled;
    // The onset strength by age, newest first, taken out of the rings.
    static double onset[BeatTracker::kRing];
    double mean = 0;
    for (int j = 0; j < n; ++j) {
        const int i = ring_at(newest - j);
        onset[j] = static_cast<double>(b.flux_hist[i]) + kLowWeight * static_cast<double>(b.low_hist[i]);
        mean += onset[j];
    }
    // Only how the onsets vary counts: their mean correlates with itself at every lag, and
    // would let a slow swell of pads claim a tempo.
    mean /= n;
    double energy = 1e-9;
    for (int j = 0; j < n; ++j) {
        onset[j] -= mean;
        energy += onset[j] * onset[j];
    }
    // Mean product per pair at every lag from half the shortest to twice the longest period.
    static double ac[4 * kMaxLag + kBarSlack + 1];
    auto mean_product = [&](int lag) {
        double a = 0;
        for (int j = 0; j + lag < n; ++j) a += onset[j] * onset[j + lag];
        return a / (n - lag);
    };
    for (int lag = kMinLag / 2; lag <= 2 * kMaxLag + kTwiceSlack && lag < n; ++lag) ac[lag] = mean_product(lag);
    for (int lag = 2 * kMaxLag + kTwiceSlack + 1; lag <= 4 * kMaxLag + kBarSlack && lag + 100 - kBarSlack <= n; ++lag)
        ac[lag] = mean_product(lag);
    // The best mean product within `slack` of `lag` × `times`, and where it lies.
    auto around = [&](int lag, int times, int slack, int* at) {
        double v = ac[lag * times];
        *at = lag * times;
        for (int d = -slack; d <= slack; ++d) {
            if (ac[lag * times + d] > v) {
                v = ac[lag * times + d];
                *at = lag * times + d;
            }
        }
        return v;
    };
    // Whether the kicks of the history come back `bar` hops later.
    auto kicks_repeat = [&](int bar) {
        int kicks = 0, repeated = 0;
        for (int age = bar + kKickSlack; age < n; ++age) {
            if (b.kick_marks[ring_at(newest - age)] <= 0) continue;
            ++kicks;
            for (int d = -kKickSlack; d <= kKickSlack; ++d) {
                if (b.kick_marks[ring_at(newest - age + bar + d)] > 0) {
                    ++repeated;
                    break;
                }
            }
        }
        return kicks > 0 && repeated >= kBarKickShare * kicks;
    };
    int best = 0;
    double best_score = 0, best_plain = 0;
    double kept_score = 0, kept_plain = 0; // the tempo followed so far
    for (int lag = kMinLag; lag <= kMaxLag; ++lag) {
        const double octave = std::log2(lag / 50.0);
        const double prior = std::exp(-0.5 * octave * octave / kPriorWidth);
        int at = 0;
        const double twice = 2 * lag + 100 <= n ? around(lag, 2, kTwiceSlack, &at) : ac[lag];
        const double bar = 4 * lag + 100 <= n ? around(lag, 4, kBarSlack, &at) : 0;
        double plain = ac[lag] * n * prior;
        if (bar > ac[lag] && 4 * lag + 100 <= n && kicks_repeat(at)) plain = 0.5 * (ac[lag] + bar) * n * prior;
        const double score =
            (ac[lag] + kTwiceWeight * twice + kHalfWeight * ac[lag / 2] + kBarWeight * bar) * n * prior;
        if (lag == b.period) {
            kept_score = score;
            kept_plain = plain;
        }
        if (score > best_score) {
            best_score = score;
            best_plain = plain;
            best = lag;
        }
    }
    // A tempo that is followed is kept while it scores nearly as well as the best: two readings
    // of a syncopated figure that score alike must not take turns.
    if (b.confidence > kLocked && best != b.period && kept_score >= kKeepShare * best_score &&
        kept_plain / energy > kLocked) {
        best = b.period;
        best_plain = kept_plain;
    }
    if (energy <= 1 || best == 0) {
        b.confidence = 0;
        return;
    }
    b.confidence = static_cast<float>(best_plain / energy);
    if (b.confidence <= kLocked) {
        double share = 0;
        const int grid = kick_grid(b, newest, &share);
        if (grid > 0) {
            best = grid;
            b.confidence = static_cast<float>(kGridConfidence * share);
        }
    }
    if (b.confidence <= kLocked) return;
    b.period = best;
    follow_phase(b, newest);
}

} // namespace

double beat_clock() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void set_beat_source(const BeatSource& source) {
    g_source = source;
}

void track_beat(float rate, float dt) {
    static float l[kTapFrames], r[kTapFrames], m[kTapFrames], dry[kTapFrames];
    BeatTracker& b = g_beat;

    b.time_rest += dt;
    int n = static_cast<int>(b.time_rest / kHop);
    if (n < 1) return;
    b.time_rest -= static_cast<float>(n * kHop);
    n = std::min(n, analyzer::kMaxOnsets);

    // Only the newest part of the tap is read: what the onset measure needs, and room enough to
    // find the previous call's tail behind the samples the elapsed time promises.
    const float size_rate = rate >= 8000 && rate <= 768000 ? rate : 48000; // before the tap confirms it
    const int hop_len = std::max(16, static_cast<int>(size_rate * 10 / 1000));
    const int span = std::min(kTapFrames, (n + 3) * hop_len + kSettle);
    const int promised = static_cast<int>(b.sample_rest + static_cast<float>(n * kHop * size_rate));
    const int len = std::clamp(std::max(span, promised + BeatTracker::kTail + kTailSlack), 1, kTapFrames);
    float tap_age = 0;
    if (!(g_source.tap ? g_source.tap : engine_tap)(l, r, len, &rate, &tap_age)) return;
    for (int i = 0; i < len; ++i) m[i] = (l[i] + r[i]) * 0.5f;

    const double now = now_s();
    // The display delay counts from the arrival of the newest sample, which may lie up to a
    // block before now.
    const double delay =
        (g_source.delay ? g_source.delay() : audio::display_delay()) - std::clamp(tap_age, 0.0f, 0.1f);
    const int beats_before = b.beats, claps_before = b.claps;

    b.sample_rest += static_cast<float>(n * kHop * rate);
    int k = std::min(static_cast<int>(b.sample_rest), kTapFrames);
    b.sample_rest -= static_cast<float>(k);
    k = std::min(k, len);

    // The time estimate drifts from what really arrived; where the previous call's last samples
    // can be found again, everything after them is new.
    const float* tail_begin = b.tail;
    const float* tail_end = b.tail + BeatTracker::kTail;
    if (b.tail_valid && len >= BeatTracker::kTail &&
        std::any_of(tail_begin, tail_end, [](float x) { return std::fabs(x) > 1e-7f; })) {
        for (int start = len - BeatTracker::kTail; start >= 0; --start) {
            if (m[start + BeatTracker::kTail - 1] != b.tail[BeatTracker::kTail - 1]) continue;
            if (std::equal(tail_begin, tail_end, m + start)) {
                k = len - (start + BeatTracker::kTail);
                break;
            }
        }
    }
    if (len >= BeatTracker::kTail) {
        std::copy(m + len - BeatTracker::kTail, m + len, b.tail);
        b.tail_valid = true;
    }

    int q = 0;
    float flux[analyzer::kMaxOnsets], low[analyzer::kMaxOnsets], high[analyzer::kMaxOnsets];
    if (k >= 1) {
        std::copy(m + len - k, m + len, dry);
        undo_equaliser(b, dry, k, rate);
        b.kick.period = b.confidence > kLocked ? static_cast<float>(b.period) * 0.01f : 0.0f;
        q = b.kick.feed(dry, k, rate);
    }
    // The onset measure's filters start from rest on every call; 30 ms before the hops it
    // measures settle them (to a few parts in ten thousand); older sound would only cost time.
    const int h = analyzer::onset_flux(m + len - std::min(span, len), std::min(span, len), rate, n, flux, low, high);

    // A beat belongs to the hop it fell on: hop i ends (h - 1 - i) hops before the newest sample.
    double beat_at[analyzer::kMaxOnsets];
    double clap_at[analyzer::kMaxOnsets];
    const double kick_age = q > 0 ? static_cast<double>(b.kick.samples - b.kick.onset_at) / rate : 0;
    for (int i = 0; i < h; ++i) {
        const double hop_age = (h - 1 - i) * kHop;
        const int p = b.pos;
        b.flux_hist[p] = flux[i];
        b.low_hist[p] = low[i];
        b.kick_marks[p] = 0;
        b.filled = std::min(b.filled + 1, BeatTracker::kRing);
        b.hop += 1;
        b.pos = (b.pos + 1) % BeatTracker::kRing;

        if (b.filled >= 200 && b.hop % 50 == 0) estimate_tempo(b, p);

        const bool last = i == h - 1;
        const bool locked = b.confidence > kLocked && b.next_beat >= 0;
        if (locked && b.next_beat <= static_cast<float>(b.hop)) {
            b.next_beat += static_cast<float>(b.period);
            if (b.hop - b.last_beat > b.period / 2) {
                beat_at[b.beats - beats_before] = hop_age;
                b.beats += 1;
                b.last_beat = b.hop;
            }
        }
        if (last && q > 0) {
            b.kicks += q;
            b.last_kick = b.hop;
            b.kick_marks[ring_at(p - static_cast<int>(kick_age / kHop))] = 1.0f; // the hop of its onset
            // Without a trusted tempo every kick is a beat, heard with its kick.
            if (!locked && b.hop - b.last_beat > kKickBeatGap) {
                beat_at[b.beats - beats_before] = kick_age;
                b.beats += 1;
                b.last_beat = b.hop;
            }
            // A kick that completes a grid of kicks is trusted at once, not at the next estimate.
            double share = 0;
            const int grid = b.confidence <= kLocked && b.filled >= 200 ? kick_grid(b, p, &share) : 0;
            if (grid > 0) {
                b.period = grid;
                b.confidence = static_cast<float>(kGridConfidence * share);
                follow_phase(b, p);
            }
        }
        b.clap_peak = std::max(b.clap_peak * 0.9985f, high[i]);
        if (high[i] > std::max(1.6f, 0.75f * b.clap_peak) && b.hop - b.last_clap > kClapGap) {
            clap_at[b.claps - claps_before] = hop_age;
            b.claps += 1;
            b.last_clap = b.hop;
        }
    }

    // Each event is due when its sound is heard: `delay` after the newest sample, less how long
    // before the newest sample it sounded.
    if (q > 0) {
        const double at = now + std::max(0.0, delay - kick_age);
        for (int i = 0; i < q; ++i) queue_beat('k', at);
    }
    for (int i = 0; i < b.beats - beats_before; ++i) queue_beat('b', now + std::max(0.0, delay - beat_at[i]));
    for (int i = 0; i < b.claps - claps_before; ++i) queue_beat('c', now + std::max(0.0, delay - clap_at[i]));
}

void queue_beat(char kind, double at) {
    BeatTracker& b = g_beat;
    auto slot = [&](int i) -> BeatTracker::Due& { return b.due[(b.due_first + i) % BeatTracker::kMaxDue]; };
    if (b.due_count == BeatTracker::kMaxDue) {
        // Full: the earliest goes, unless the new one would be the earliest itself.
        if (at < slot(0).at) return;
        b.due_first = (b.due_first + 1) % BeatTracker::kMaxDue;
        --b.due_count;
    }
    int i = b.due_count;
    while (i > 0 && slot(i - 1).at > at) {
        slot(i) = slot(i - 1);
        --i;
    }
    slot(i) = {at, kind};
    ++b.due_count;
}

void release_beats() {
    BeatTracker& b = g_beat;
    const double now = now_s();
    if (b.last_release > 0) b.release_step += 0.1 * (std::clamp(now - b.last_release, 0.0, 0.05) - b.release_step);
    b.last_release = now;
    const double until = now + 0.5 * b.release_step;
    while (b.due_count > 0 && b.due[b.due_first].at <= until) {
        const char kind = b.due[b.due_first].kind;
        if (kind == 'k')
            ++b.kicks_released;
        else if (kind == 'c')
            ++b.claps_released;
        else
            ++b.beats_released;
        b.due_first = (b.due_first + 1) % BeatTracker::kMaxDue;
        --b.due_count;
    }
}

} // namespace ui
