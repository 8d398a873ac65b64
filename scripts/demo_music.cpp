// The demonstration's music and its level check (used by scripts/demo.sh).
//   demo_music midi OUT.mid SECONDS   writes a piece in A minor at 120 beats per minute: drums,
//                                     bass, a pad and electric-piano chords, with a crash every
//                                     eight bars, fills, and a breakdown without drums in longer
//                                     pieces; a soundfont renderer turns it into sound.
//   demo_music levels IN.f32 OUT.f32  compares two recordings (raw stereo float, 48 kHz) made at
//                                     the same time: IN what players sent to the program's sink,
//                                     OUT what reached the output device. It equalises IN with the
//                                     curve a fresh configuration starts with, finds the delay of
//                                     OUT against it, and prints the levels of the aligned parts:
//                                     "played <dB> expected <dB> measured <dB> lag <ms> match <0..1>".
// The MIDI file is written by the music rendering of the test support, which the kick and beat
// tests use too. Runs single-threaded as a command-line tool; nothing here is part of the program.
#include "core/settings.h"
#include "dsp/eq_dsp.h"
#include "support/music_render.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 48000;

// Positions and lengths in quarter notes.
constexpr double kBar = 4, kEighth = 0.5, kSixteenth = 0.25;

testsup::Song g_song;

void note(int channel, int key, int velocity, double at, double length) {
    g_song.notes.push_back({at, channel, key, velocity, length});
}

constexpr int kDrums = 9, kBass = 1, kPad = 2, kPiano = 3;
constexpr int kKick = 36, kSnare = 38, kHat = 42, kOpenHat = 46, kCrash = 49, kTom = 45;

// A minor, F major, C major, G major: root of the bass and the three notes of the chord.
struct Chord {
    int bass;
    int notes[3];
};
constexpr Chord kChords[] = {{33, {57, 60, 64}}, {29, {57, 60, 65}}, {36, {55, 60, 64}}, {31, {55, 59, 62}}};

void bar(int index, int bars, bool breakdown) {
    const double t = index * kBar;
    const Chord& c = kChords[index % 4];
    const bool last = index == bars - 1;
    for (int k : c.notes) note(kPad, k, last ? 80 : 62, t, kBar - 0.05);
    if (last) {
        note(kDrums, kKick, 120, t, kEighth);
        note(kDrums, kCrash, 110, t, kBar);
        note(kBass, c.bass, 105, t, kBar);
        for (int k : c.notes) note(kPiano, k, 90, t, kBar);
        return;
    }
    if (breakdown) {
        note(kBass, c.bass, 90, t, kBar - 0.05);
        for (int i = 0; i < 8; ++i) note(kDrums, kHat, i % 2 ? 40 : 55, t + i * kEighth, kSixteenth);
        return;
    }
    // Electric-piano stabs on the off-beats.
    for (int i = 1; i < 8; i += 2)
        for (int k : c.notes) note(kPiano, k + 12, 72, t + i * kEighth, kSixteenth + 0.08);
    // Bass in eighths: root, octave and fifth with a rest that gives the groove its push.
    const int line[8] = {0, 0, 12, 0, -1, 7, 12, 0};
    for (int i = 0; i < 8; ++i)
        if (line[i] >= 0) note(kBass, c.bass + line[i], i % 2 ? 88 : 104, t + i * kEighth, kEighth - 0.06);
    // Drums: kick on one and three (and before three every other bar), snare on two and four.
    note(kDrums, kKick, 122, t, kEighth);
    note(kDrums, kKick, 118, t + 2, kEighth);
    if (index % 2) note(kDrums, kKick, 100, t + 2 - kEighth, kEighth);
    const bool fill = index % 8 == 7;
    note(kDrums, kSnare, 108, t + 1, kEighth);
    if (!fill) note(kDrums, kSnare, 108, t + 3, kEighth);
    for (int i = 0; i < (fill ? 6 : 8); ++i)
        note(kDrums, i == 7 ? kOpenHat : kHat, i % 2 ? 58 : 76, t + i * kEighth, kSixteenth);
    if (fill)
        for (int i = 0; i < 4; ++i) note(kDrums, i < 2 ? kSnare : kTom, 90 + 8 * i, t + 3 + i * kSixteenth, kSixteenth);
    if (index % 8 == 0) note(kDrums, kCrash, 100, t, kBar);
}

int write_midi(const char* path, double seconds) {
    // Two seconds per bar at 120 beats per minute; the last bar rings out.
    const int bars = std::max(2, static_cast<int>(std::ceil(seconds / 2.0)));
    g_song.name = "demo";
    g_song.tempo = {{0, 120}};
    // Electric bass (finger), warm pad, electric piano, standard kit.
    g_song.programs = {{kBass, 33}, {kPad, 89}, {kPiano, 4}, {kDrums, 0}};
    const int break_from = bars >= 24 ? bars / 2 : bars; // four bars without drums in the middle
    for (int i = 0; i < bars; ++i) bar(i, bars, i >= break_from && i < break_from + 4);
    g_song.beats = (bars + 1) * kBar; // room for the last notes' release
    const std::string file = testsup::midi_file(g_song, [](const testsup::MidiNote&) { return true; });
    FILE* f = std::fopen(path, "wb");
    if (!f || std::fwrite(file.data(), 1, file.size(), f) != file.size() || std::fclose(f) != 0) {
        std::perror(path);
        return 1;
    }
    return 0;
}

bool read_f32(const char* path, std::vector<float>& out) {
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::perror(path);
        return false;
    }
    float block[4096];
    size_t n;
    while ((n = std::fread(block, sizeof(float), 4096, f)) > 0) out.insert(out.end(), block, block + n);
    std::fclose(f);
    out.resize(out.size() / 2 * 2);
    return true;
}

double rms_db(const float* x, size_t frames) {
    double sum = 0;
    for (size_t i = 0; i < 2 * frames; ++i) sum += static_cast<double>(x[i]) * x[i];
    return frames ? 10 * std::log10(std::max(sum / (2.0 * frames), 1e-20)) : -200;
}

// Loudness envelope in 1 ms steps (mean absolute value of both channels).
std::vector<float> envelope(const std::vector<float>& x) {
    constexpr int kStep = kRate / 1000;
    std::vector<float> env(x.size() / 2 / kStep);
    for (size_t i = 0; i < env.size(); ++i) {
        float s = 0;
        for (int j = 0; j < 2 * kStep; ++j) s += std::fabs(x[2 * i * kStep + j]);
        env[i] = s;
    }
    return env;
}

int levels(const char* in_path, const char* out_path) {
    std::vector<float> in, out;
    if (!read_f32(in_path, in) || !read_f32(out_path, out)) return 1;
    const size_t skip = kRate / 2; // a new recording's first moments are not steady
    if (in.size() / 2 < 3 * skip || out.size() / 2 < 3 * skip) {
        std::fprintf(stderr, "recordings too short\n");
        return 1;
    }
    std::vector<float> expected = in;
    eq::Processor p;
    p.set_format(kRate, 2);
    p.set_curve(Settings{}.curve);
    p.process(expected.data(), static_cast<int>(expected.size() / 2));

    // OUT lags behind IN by the way through the program and by the later start of its recorder
    // (a null sink's monitor may hold back its first data for up to 2 s): the lag (up to 3 s)
    // whose loudness envelopes agree best.
    const std::vector<float> a = envelope(expected), b = envelope(out);
    const size_t from = skip / (kRate / 1000);
    int best_lag = 0;
    double best = -1;
    for (int lag = 0; lag <= 3000; ++lag) {
        double dot = 0, na = 0, nb = 0;
        for (size_t i = from; i + lag < b.size() && i < a.size(); ++i) {
            dot += static_cast<double>(a[i]) * b[i + lag];
            na += static_cast<double>(a[i]) * a[i];
            nb += static_cast<double>(b[i + lag]) * b[i + lag];
        }
        const double score = na > 0 && nb > 0 ? dot / std::sqrt(na * nb) : 0;
        if (score > best) best = score, best_lag = lag;
    }
    const size_t shift = static_cast<size_t>(best_lag) * (kRate / 1000);
    const size_t frames = std::min(in.size() / 2, out.size() / 2 - shift) - skip;
    std::printf("played %.2f expected %.2f measured %.2f lag %d match %.3f\n", rms_db(&in[2 * skip], frames),
                rms_db(&expected[2 * skip], frames), rms_db(&out[2 * (skip + shift)], frames), best_lag, best);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "midi") == 0) return write_midi(argv[2], std::atof(argv[3]));
    if (argc == 4 && std::strcmp(argv[1], "levels") == 0) return levels(argv[2], argv[3]);
    std::fprintf(stderr, "usage: %s midi OUT.mid SECONDS | levels IN.f32 OUT.f32\n", argv[0]);
    return 2;
}
