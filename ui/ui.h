// The interface model: everything the window shows and how it reacts, kept as unguarded state of
// the window thread (no other thread may touch anything declared here).
//
// Sections, in this order here and in ui.cpp:
//   view        reference sizes, view scale, the layout record and its regions
//   state       start, repaint requests, window state, sound present
//   segments    segment geometry of bars and meters, levels to lit segments
//   views       the records the frame composer reads (bars, title, hint)
//   frame       the per-frame update
//   painting    the base layer (panels, header, equaliser) and the overlay
//   templates   painters of the pieces the frame composer caches as textures
//   input       hit testing, pointer, wheel, keys and typed text
//   panels      popups, the save dialog, the settings panel, the notes; mode switches
//   beat tracker
#pragma once

#include "dsp/eq_dsp.h"
#include "dsp/kick.h"
#include "render/gfx_cairo.h"
#include "scene/scene3d.h"

#include <cstdint>
#include <string>

struct Settings;

namespace ui {

// ---- View ---------------------------------------------------------------------------------------
// The interface is laid out in logical units of a reference window (960 x 820, compact 420 x 150)
// and scaled to the real one: one side equals the reference, the other may be longer.

struct View {
    float scale = 1, w = 0, h = 0;
};

void reference_size(int* w, int* h);
View view_for(int w, int h);
// Device pixels per logical unit (view scale times the HiDPI factor); 1 when not positive.
void set_pixel_scale(float px);

// Regions of the layout record, recomputed by every draw_base. A region the current mode does
// not show has an empty rectangle and cannot be hit.
enum Region : int {
    kHeader, kLogo, kFold, kPower, kMute, kPreset, kSave, kFullButton, kCompactButton, kSettingsButton,
    kStage, kVisual, kHandle, kLower, kReset, kHintLine,
    kSlider0, // ten band sliders: kSlider0 + band
    kPreampSlider = kSlider0 + 10,
    kDevice, kStatusLine, kBottom,
    // compact window
    kClose, kExpand, kMiniMute, kMiniPower, kMiniTitle, kGrip, kMiniBars, kMiniMeters,
    kRegions
};
const gfx::Rect* layout(); // kRegions rectangles

// Slider track of the normal window: top and bottom in logical units, and a band's column centre.
struct Track {
    float top = 0, bottom = 0;
};
Track slider_track();
float column_centre(int band, float view_w);
// The y of a gain on a track (clamped to -12..+12 dB).
float level_y(float db, float top, float bottom);

// ---- State --------------------------------------------------------------------------------------

void init(Settings* settings, bool autostart);
void shutdown();
bool take_dirty();
void request_repaint();
void window_changed(); // the window moved or was resized: save the settings soon
void set_fullscreen_state(bool on);
bool take_fullscreen_toggle();
bool sound_present();
// Writes the window's geometry into the settings and saves them.
void persist();

// ---- Segments -----------------------------------------------------------------------------------

struct BarGeom {
    float bar_w = 0, gap = 0, seg_h = 0, pitch = 0; // logical units
    int count = 0;                                   // segments per column
};

int bar_columns(); // the fine column count in the normal window, else 31
BarGeom geom_for(bool dense, int columns, float w, float h);
BarGeom bar_geom(float w, float h, bool dense);
BarGeom meter_geom(float w, float h);
// Lit segments (0..count) and the peak segment (-1: none) of one level.
void segments(int count, float level_db, float peak_db, int* lit, int* peak);
// Per column for this frame (bar_columns() entries; the meters: 2).
void bar_segments(int count, int* lit, int* peak);
void meter_segments(int count, int* lit, int* peak);

// ---- Views --------------------------------------------------------------------------------------

struct BarView {
    gfx::Rect bars, meters, frame;
    bool compact = false;
    bool ring = false; // the bars sit inside the round meter
    float cx = 0, cy = 0, size = 0;
};
BarView bar_view();

struct TitleView {
    static constexpr int kMax = 16;
    bool shown = false;
    float x = 0, y = 0, size = 20;
    int count = 0;
    char chars[kMax][8] = {}; // one UTF-8 character each
    float offset[kMax] = {}, width[kMax] = {};
};
const TitleView& title_view();
// The colour of title character i of n at t seconds: the bar gradient, travelling.
uint32_t title_color(int i, int n, float t);

struct HintView {
    bool shown = false;
    const char* text = "";
    float size = 0, box_w = 0, box_h = 0, view_w = 0, view_h = 0;
};
const HintView& play_hint();

// The settings' curve, with the visualizer's area for the scene (compact: the bars region).
gfx::Rect scene_area();

// The visualizer's input for this frame: view and scene area, the round meter's size, the beat
// counters (after releasing the events that came due), the bar levels and meters, the curve and
// the pointer's band. Also tells the scene whether to reduce flashes. Once per drawn frame.
scene3d::Input scene_input();

// ---- Frame --------------------------------------------------------------------------------------

// Once per frame, also while the window is hidden: status, sound, meters, beats, saving.
bool on_frame();

// ---- Painting -----------------------------------------------------------------------------------

void draw_base(float w, float h);
bool draw_overlay(float w, float h); // true when something was painted

// ---- Templates ----------------------------------------------------------------------------------
// Painted at (0, 0) at the logical size of their place on screen; the frame composer caches them.
// kind: 0 unlit, 1 lit, 2 peak.

void paint_bars(int kind, float w, float h, bool dense);
void paint_meters(int kind, float w, float h);
void paint_logo(int size);
void paint_glass(float w, float h);
void paint_glyph(const char* text, float size, float w, float h);
void paint_glyph_regular(const char* text, float size, float w, float h);
void paint_eye_white(float w, float h);
void paint_eye_iris(float w, float h);

// ---- Input --------------------------------------------------------------------------------------
// Positions are logical units of the view (the window divides by the view scale).

// What lies under a point: one small code per element (0: nothing).
enum Hit : int {
    kHitNothing = 0, kHitPower = 1, kHitPreset = 2, kHitCompact = 3, kHitSettings = 4, kHitReset = 5,
    kHitDevice = 6, kHitBand0 = 10, kHitPreamp = 20, kHitExpand = 21, kHitMiniPower = 22, kHitMiniBack = 23,
    kHitFull = 24, kHitAutostart = 25, kHitEqOnStart = 26, kHitOnTop = 27, kHitLanguage = 28, kHitDark = 29,
    kHitLight = 30, kHitRemoveFilter = 31, kHitClosePanel = 32, kHitBug = 33, kHitMaker = 34,
    kHitPackages = 35, kHitPanel = 36, kHitPopup = 37, kHitSave = 38, kHitField = 39, kHitSaveOk = 40,
    kHitSaveCancel = 41, kHitSaveBox = 42, kHitHandle = 43, kHitMute = 44, kHitMiniClose = 45, kHitFold = 46,
    kHitCrashSend = 47, kHitCrashDiscard = 48, kHitCrashBox = 49, kHitReduce = 50, kHitFlashLink = 51,
    kHitFlashReduce = 52, kHitFlashOk = 53, kHitFlashBox = 54, kHitStatusNote = 55, kHitScene = 56,
    kHitSceneBand0 = 57, // ten bands shown inside the scene: kHitSceneBand0 + band
    kHitCodes = 67
};
enum class Key : int { Escape = 0, Enter = 1, Backspace = 2 };

int hit(float x, float y);
// Pointer shape: 0 arrow, 1 hand, 2 move, 3 hand while dragging.
int cursor_at(float x, float y);
void on_mouse_move(float x, float y);
void on_mouse_down(float x, float y); // one click
void on_double_click(float x, float y);
void on_mouse_up();
void on_mouse_leave();
void on_wheel(float x, float y, int step); // -1 away from the user, +1 towards
void on_key(Key key);
void on_text(const char* text); // UTF-8 from the input method

// The rectangle of an element of the current overlay (settings panel, dialog, notes, status
// note, the open popup for kHitPopup), empty when it is not shown. For tools and tests.
gfx::Rect hit_rect(int code);
// The rectangle of row `item` of the open popup, empty when it is scrolled out of view.
gfx::Rect popup_row(int item);

// ---- Panels -------------------------------------------------------------------------------------

// Called before init (the "--settings" switch): the settings panel opens with the window.
void open_settings_at_start();
// Leaves the compact window, closes popups, opens the settings panel.
void open_settings();
// Switches between the compact and the normal window, keeping each mode's geometry.
void set_compact(bool on);
// The selected preset's name, " · modified" when the curve differs from it.
std::string preset_label();
// What the overlay shows, for tools and tests.
bool settings_open();
bool popup_open();
bool save_open();
const std::string& save_name();
bool flash_note_shown();
bool crash_note_shown();

// ---- Beat tracker -------------------------------------------------------------------------------
// Kicks, claps and beats from the sound the engine taps, each scheduled for the moment its sound
// becomes audible. Once per drawn frame with new sound the window calls track_beat(); the scene
// asks release_beats() which events have come due and reads the running counters.

// The monotonic clock in seconds.
double beat_clock();

class BeatTracker {
  public:
    static constexpr int kRing = 600; // hops of onset history (6 s)
    static constexpr int kTail = 64;
    static constexpr int kMaxDue = 64;

    struct Due {
        double at = 0; // seconds of the beat clock
        char kind = 0; // 'k' kick, 'c' clap, 'b' beat
    };

    float flux_hist[kRing] = {}; // onset flux per 10 ms hop
    float low_hist[kRing] = {};  // onset of the bass bands per hop
    float kick_marks[kRing] = {}; // 1 at hops where a kick was detected
    kick::Detector kick;
    float sample_rest = 0; // fractional samples carried between calls
    float tail[kTail] = {}; // the last samples seen by the previous call
    bool tail_valid = false;
    eq::Processor undo; // takes the user's equaliser back out of the analysed sound
    eq::Curve undo_curve;
    bool undo_valid = false;
    float undo_rate = 0;
    int pos = 0;    // next write index of the rings
    int filled = 0; // hops in the rings
    int hop = 0;    // hops processed since start
    float time_rest = 0;
    int period = 50; // beat period in hops
    float confidence = 0;
    float next_beat = -1; // hop of the next expected beat; negative: none
    int last_kick = -100, last_clap = -100, last_beat = -100;
    int kicks = 0, claps = 0, beats = 0; // detected
    float clap_peak = 0;                 // slowly falling peak of the clap measure
    // Scheduled events sorted by `at`: a ring of kMaxDue starting at due_first.
    Due due[kMaxDue];
    int due_first = 0, due_count = 0;
    int kicks_released = 0, claps_released = 0, beats_released = 0; // never reset
    double last_release = 0; // beat clock at the previous release_beats()
    double release_step = 0; // usual time between two calls (a frame), seconds
};

extern BeatTracker g_beat;

// Where the tracker takes its sound, time and display delay from. Null members mean the
// program's own: the engine's undelayed tap, beat_clock() and audio::display_delay(). `settings`
// tells which equaliser curve colours the tapped sound (null: the sound is taken as it is).
// A tool or test that runs a sound file supplies its own tap and clock.
struct BeatSource {
    // `age`: seconds since the newest frame of what was read arrived.
    bool (*tap)(float* left, float* right, int count, float* rate, float* age) = nullptr;
    double (*clock)() = nullptr;
    float (*delay)() = nullptr; // seconds from the arrival of the newest tapped sample to its being heard
    const Settings* settings = nullptr;
};
void set_beat_source(const BeatSource& source);

// One frame's work with the sound that arrived since the previous call; `dt` is the frame's
// elapsed time in seconds, `rate` the tap's sample rate (the tap may correct it).
void track_beat(float rate, float dt);
// Inserts an event after every queued one that is not later; the earliest goes past 64.
void queue_beat(char kind, double at);
// Counts the events that have come due and removes them from the queue. Called once per frame,
// it takes what comes due within the next half frame, so that an event is shown at the frame
// nearest to its moment rather than always at the one after it.
void release_beats();

} // namespace ui
