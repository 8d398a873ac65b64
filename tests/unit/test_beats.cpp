// The beat tracker with its kick detector on drum patterns rendered through the General MIDI
// soundfont, played through the tracker as the window plays the engine's tap: kicks released
// within 15 ms of their onsets (also kicks without a click, a sine sweeping down, and quiet
// kicks under loud pads), no kicks where there are none, the tempo found within 4 s and again
// within 4 s of a change, and no tempo claimed where there is no beat.
#include "support/beat_run.h"
#include "support/music_render.h"
#include "support/process.h"

#include "core/settings.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

using namespace testsup;

namespace {

constexpr double kDelay = 0.060;

// Whether the tracker's period is the song's beat or a simple multiple of it (half or double).
bool right_tempo(double period, double bpm) {
    const double beat = 60.0 / bpm;
    for (double m : {0.5, 1.0, 2.0})
        if (std::fabs(period - beat * m) <= 0.012 * m + 0.006) return true;
    return false;
}

// The first time from which on the tracker stays locked to the song's tempo.
double locked_from(const Song& song, const std::vector<TempoPoint>& tempo, double from, double to) {
    double since = -1;
    for (const TempoPoint& p : tempo) {
        if (p.t < from || p.t > to) continue;
        const bool ok = p.confidence > 0.3f && right_tempo(p.period, song.bpm_at(p.t));
        if (!ok) since = -1;
        else if (since < 0) since = p.t;
    }
    return since;
}

// Whether the song has pad chords (General MIDI programs 88-95).
bool under_pads(const Song& song) {
    return std::any_of(song.programs.begin(), song.programs.end(),
                       [](const std::pair<int, int>& p) { return p.second >= 88 && p.second <= 95; });
}

} // namespace

TEST(BeatTracker, RenderedPatterns) {
    if (soundfont_path().empty()) GTEST_SKIP() << "fluid-soundfont-gm is not installed";
    const std::string dir = make_temp_dir("lumafon-beats");
    Score all, clickless, padded;
    int locked_songs = 0, kick_songs = 0;
    std::printf("Rendered patterns, kicks within 15 ms of their onsets (display delay 60 ms):\n");
    for (const Song& song : test_songs()) {
        Rendered r;
        std::string error;
        ASSERT_TRUE(render_song(song, dir, &r, &error)) << error;
        std::vector<TempoPoint> tempo;
        const std::vector<BeatEvent> events = run_beats(r.mix, kDelay, nullptr, &tempo);
        const std::vector<double> kicks = times_of(events, 'k');
        const double seconds = static_cast<double>(r.mix.frames()) / 48000;
        if (!song.has_kicks()) {
            int confident = 0;
            for (const TempoPoint& p : tempo) confident += p.confidence > 0.3f;
            const double share = static_cast<double>(confident) / static_cast<double>(tempo.size());
            std::printf("  %-15s %4.1f s without kicks: %zu false kicks, %zu beats, a tempo trusted in %.0f %% of "
                        "the frames\n",
                        song.name.c_str(), seconds, kicks.size(), times_of(events, 'b').size(), 100 * share);
            const bool drums = std::any_of(song.notes.begin(), song.notes.end(),
                                           [](const MidiNote& n) { return n.channel == 9; });
            if (drums) {
                // A tempo is trusted in 3 % of the frames (23 % before the bar of four beats
                // counted towards the tempo, 6 % before the bar was sought within the rounding
                // of the beat).
                EXPECT_LE(share, 0.12) << song.name;
                // At most 2 in 30 s; measured 1 (12 before a candidate had to pass the test of a
                // held note, 20 before a kick had to keep its bands' balance from turning
                // upwards). The loud picked bass with hats on its notes has the attack of a
                // beater, and where a low note follows a gap its fundamental builds up as a
                // kick's falling pitch does; its level then keeps up and ripples at its pitch.
                EXPECT_LE(kicks.size(), 2u) << song.name;
            } else {
                // Pads and a sung line without any beat: no kicks, and no tempo claimed.
                EXPECT_LE(kicks.size(), 2u) << song.name;
                EXPECT_LE(share, 0.02) << song.name;
            }
            continue;
        }
        const Score s = score_times(r.kick_onsets, kicks, 0.015);
        (song.sine_kicks ? clickless : all).add(s);
        if (under_pads(song)) padded.add(s);
        // Steady songs lock within 4 s of the start; the changing one within 4 s of its change.
        const double change = song.tempo.size() > 1 ? song.seconds_at(song.tempo[1].first) : 0;
        // While the pattern plays: in the release of its last notes the tracker may let go.
        const double locked = locked_from(song, tempo, change, song.seconds_at(song.beats));
        std::printf("  %-15s %3.0f BPM  kicks %3d  released %3d  precision %.3f  recall %.3f  tempo %5.1f BPM "
                    "locked from %.1f s\n",
                    song.name.c_str(), song.bpm_at(seconds), s.truth, s.detected, s.precision(), s.recall(),
                    60 / tempo.back().period, locked);
        locked_songs += locked >= 0 && locked <= change + 4.0;
        ++kick_songs;
    }
    // Measured: house, rock, drum and bass (at half its tempo), trap, the shuffle, the tempo
    // change, the click-less trap and swung hip-hop lock in time (hip-hop from 3.5 s, on the
    // repeat of its bar, which its kicks confirm; before, it settled on a beat and a half). Both
    // songs under loud pads lock by their kicks, which lie two beats apart (and an eighth after
    // that, off the beat), while the pads' onsets hardly show a beat: the quiet kicks from 3.7 s
    // (never before), the soft click-less ones from 2.6 s (4.5 s before, by their bar alone).
    std::printf("  %d of %d songs locked to their tempo within 4 s\n", locked_songs, kick_songs);
    EXPECT_GE(locked_songs, 10);
    std::printf("  all: kicks %d, released %d, precision %.3f, recall %.3f\n", all.truth, all.detected,
                all.precision(), all.recall());
    // The aims are 0.9 and 0.9; measured 0.996 and 0.926 (precision 0.971 before a kick had to
    // keep its bands' balance, recall 0.911 before the kicks under loud pads were followed
    // through the pads' ripple). Most of the quiet kicks still missed under the pads come an
    // eighth after another: they rise from its tail by less than a candidate needs.
    EXPECT_GE(all.precision(), 0.98);
    EXPECT_GE(all.recall(), 0.91);
    std::printf("  kicks without a click: kicks %d, released %d, precision %.3f, recall %.3f\n", clickless.truth,
                clickless.detected, clickless.precision(), clickless.recall());
    // Kicks that are only a falling sine are found by their pitch sweep (measured 1.000 and
    // 0.947, 0.933 before a kick with plain proof of a drum could lie further below the peak of
    // those before it; the misses are kicks that come 200 ms into a sustained bass note).
    EXPECT_GE(clickless.precision(), 0.95);
    EXPECT_GE(clickless.recall(), 0.88);
    std::printf("  kicks under loud pads: kicks %d, released %d, precision %.3f, recall %.3f\n", padded.truth,
                padded.detected, padded.precision(), padded.recall());
    // Measured 1.000 and 0.796 (0.722 before the pads' ripple was told from the kicks' decay).
    EXPECT_GE(padded.precision(), 0.95);
    EXPECT_GE(padded.recall(), 0.78);
    remove_tree(dir);
}
