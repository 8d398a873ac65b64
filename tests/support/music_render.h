// Drum patterns with bass lines and pads, written as standard MIDI files and rendered through
// fluidsynth with the General MIDI soundfont, for the kick and beat tests. The kick track is
// rendered alone as well, and the kick onsets are measured from that stem, not taken from the
// MIDI times (the synthesiser starts notes on its own block grid, and each kit's kick has its own
// attack). Nothing is kept: every run renders into a directory of the caller's.
#pragma once

#include "support/beat_run.h"

#include <string>
#include <vector>

namespace testsup {

struct MidiNote {
    double beat = 0;   // quarter notes from the start
    int channel = 0;   // 9: drums
    int key = 0;
    int velocity = 100;
    double length = 0.25; // quarter notes
};

struct Song {
    std::string name;
    std::vector<std::pair<double, double>> tempo; // (beat, BPM), the first at beat 0
    std::vector<std::pair<int, int>> programs;    // (channel, program); drums' program picks the kit
    std::vector<MidiNote> notes;
    double beats = 0; // length
    // The kicks are synthesised instead of taken from the kit: a sine sweeping down from 150 to
    // 45 Hz with no attack above it (an 808-style kick), as hip-hop and trap use.
    bool sine_kicks = false;
    bool has_kicks() const;
    // Seconds at a beat, through the tempo changes.
    double seconds_at(double beat) const;
    double bpm_at(double seconds) const;
};

// A standard MIDI file (format 0, 480 ticks per quarter note) of the notes for which `keep`
// holds.
std::string midi_file(const Song& song, bool (*keep)(const MidiNote&));

bool is_kick(const MidiNote& n);

struct Rendered {
    Sound mix;
    std::vector<double> kick_onsets; // seconds: where each kick's stem first reaches 1 % of its peak
};

// Renders the song (the kick stem and the rest separately, then mixed) at 48 kHz without reverb
// or chorus. False with the reason in `error` when fluidsynth or the soundfont is missing.
bool render_song(const Song& song, const std::string& dir, Rendered* out, std::string* error);

// Where the General MIDI soundfont lies; empty when it is not installed.
std::string soundfont_path();

// The compact set of patterns the tests use: house, rock with kicks an eighth apart, swung
// hip-hop, drum and bass, trap, quiet kicks under pads, a shuffle, a tempo change, 30 s
// without any kick under a loud busy bass line, 24 s of pads, bass and a sung-like line
// without any beat, and two songs whose kicks have no click: trap with sustained bass notes,
// and soft kicks under pads.
std::vector<Song> test_songs();

} // namespace testsup
