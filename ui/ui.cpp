// The interface model (see ui.h). Window thread only.
//
// Sections, in this order: view, state, segments, views, frame, painting, templates, beat tracker.
#include "ui/ui.h"

#include "audio/audio_pulse.h"
#include "core/i18n.h"
#include "core/logger.h"
#include "core/settings.h"
#include "dsp/analyzer.h"
#include "render/app_sdl.h"
#include "resources/icon_data.h"
#include "ui/theme.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <string>

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
    int x = -1, y = -1, w = 0, h = 0;
    platform::window_pos(&x, &y);
    platform::window_size(&w, &h);
    int* pos = S->compact ? &S->mini_x : &S->win_x;
    int* size = S->compact ? &S->mini_w : &S->win_w;
    if (x >= 0 || y >= 0) pos[0] = x, pos[1] = y;
    if (w > 0 && h > 0) size[0] = w, size[1] = h;
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
    // 1. The panels this hook opens come with the panels; until then the name is only consumed.
    if (g_test_open && L[kStage].w > 0) g_test_open = nullptr;

    // 2. Time.
    const uint64_t now = now_ms();
    const float dt = std::min(0.2f, float(now - g_last_frame) / 1000);
    g_last_frame = now;

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
    if (fresh) {
        g_serial = serial;
        const int ch = S ? S->channel : 0;
        for (int i = 0; i < analyzer::kFftSize; ++i)
            g_mono[i] = ch == 1 ? g_tap_l[i] : ch == 2 ? g_tap_r[i] : 0.5f * (g_tap_l[i] + g_tap_r[i]);
        analyzer::compute(g_mono, g_rate, g_levels);
        g_bal.update(g_levels, dt);
        track_beat(g_rate, dt);
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

void button(const gfx::Rect& r, bool on = false) {
    if (r.w <= 0) return;
    gfx::fill_round_rect(r, 9, on ? theme::with_alpha(pal(theme::kAccent), 0.18f) : pal(theme::kButton));
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
    if (!eq::same(*curve, S->curve)) name += std::string(" · ") + i18n::T("preset_modified");
    return name;
}

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

void icon_speaker(const gfx::Rect& b, bool muted, uint32_t c) {
    const float cx = b.x + b.w / 2 - 4, cy = b.y + b.h / 2;
    const float body[] = {cx - 7, cy - 4, cx - 3, cy - 4, cx + 3, cy - 9, cx + 3, cy + 9, cx - 3, cy + 4, cx - 7, cy + 4};
    gfx::fill_polygon_vgrad(body, 6, c, c);
    if (muted) {
        gfx::line(cx + 7, cy - 4, cx + 15, cy + 4, pal(theme::kError), 1.8f);
        gfx::line(cx + 15, cy - 4, cx + 7, cy + 4, pal(theme::kError), 1.8f);
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
    button(L[kPower], on);
    const gfx::Rect& p = L[kPower];
    icon_power(in_box(p, 15, 0, 14, 0).x + 7, p.y + 19, 7, on ? pal(theme::kAccent) : ink, 1.8f);
    gfx::text(in_box(p, 38, 0, p.w - 44, p.h), i18n::T(on ? "power_on" : "power_off"), 14,
              on ? pal(theme::kStrokeHover) : ink, start_align(), true);
    button(L[kMute], S && g_status.muted);
    icon_speaker(L[kMute], g_status.muted, ink);
    button(L[kPreset]);
    const gfx::Rect& pr = L[kPreset];
    const std::string label = ellipsize(preset_label(), true, 13, pr.w - 44);
    gfx::text(in_box(pr, 14, 0, pr.w - 40, pr.h), label.c_str(), 13, pal(theme::kStrokeHover), start_align(), true);
    chevron(in_box(pr, pr.w - 18, 0, 0, 0).x, pr.y + 19, false, ink);
    button(L[kSave]);
    icon_save(L[kSave], ink);
    button(L[kFullButton], g_fullscreen);
    icon_full(L[kFullButton], ink);
    button(L[kCompactButton]);
    icon_compact(L[kCompactButton], ink);
    button(L[kSettingsButton]);
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
    button(r);
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
    button(d);
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
    button(c);
    gfx::line(c.x + c.w / 2 - 5, c.y + c.h / 2 - 5, c.x + c.w / 2 + 5, c.y + c.h / 2 + 5, ink, 1.8f);
    gfx::line(c.x + c.w / 2 + 5, c.y + c.h / 2 - 5, c.x + c.w / 2 - 5, c.y + c.h / 2 + 5, ink, 1.8f);
    const gfx::Rect& e = L[kExpand];
    button(e);
    gfx::stroke_round_rect({e.x + 8, e.y + 6, e.w - 16, e.h - 12}, 2, ink, 1.5f);
    button(L[kMiniMute]);
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

bool draw_overlay(float, float) {
    return false;
}

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


// ---- Beat tracker -------------------------------------------------------------------------------
// Every 10 ms hop of sound gives one onset value; six seconds of them give the tempo (the lag
// with the strongest autocorrelation, preferring periods near half a second) and the phase (the
// offset where onsets and kicks line up best). While the tempo is trusted the beats follow the
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

// Tempo and phase from the onset history, every half second once two seconds are there.
void estimate_tempo(BeatTracker& b, int newest) {
    const int n = b.filled;
    auto flux = [&](int age) { return static_cast<double>(b.flux_hist[ring_at(newest - age)]); };
    double energy = 1e-9;
    for (int j = 0; j < n; ++j) energy += flux(j) * flux(j);
    int best = 0;
    double best_score = 0;
    for (int lag = kMinLag; lag <= kMaxLag; ++lag) {
        double a = 0;
        for (int j = 0; j + lag < n; ++j) a += flux(j) * flux(j + lag);
        const double octave = std::log2(lag / 50.0);
        const double score = a / (n - lag) * n * std::exp(-0.5 * octave * octave / 0.81);
        if (score > best_score) {
            best_score = score;
            best = lag;
        }
    }
    if (energy <= 1 || best == 0) {
        b.confidence = 0;
        return;
    }
    b.confidence = static_cast<float>(best_score / energy);
    if (b.confidence <= kLocked) return;
    b.period = best;
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
            b.kick_marks[ring_at(p - 2)] = 1.0f;
            // Without a trusted tempo every kick is a beat, heard with its kick.
            if (!locked && b.hop - b.last_beat > kKickBeatGap) {
                beat_at[b.beats - beats_before] = kick_age;
                b.beats += 1;
                b.last_beat = b.hop;
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
