// The interface model: everything the window shows and how it reacts, kept as unguarded state of
// the window thread (no other thread may touch anything declared here).
//
// Sections, in this order here and in ui.cpp: beat tracker.
#pragma once

#include "dsp/eq_dsp.h"
#include "dsp/kick.h"

#include <cstdint>

struct Settings;

namespace ui {

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
