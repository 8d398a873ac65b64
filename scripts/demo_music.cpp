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
// Runs single-threaded as a command-line tool; nothing here is part of the program.
#include "core/settings.h"
#include "dsp/eq_dsp.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kDivision = 480; // ticks per quarter note
constexpr int kBar = 4 * kDivision;
constexpr int kEighth = kDivision / 2;
constexpr int kSixteenth = kDivision / 4;
constexpr int kRate = 48000;

struct Event {
    uint32_t tick;
    int order; // note-offs before note-ons at the same tick
    std::vector<uint8_t> bytes;
};

std::vector<Event> g_events;

void note(int channel, int key, int velocity, uint32_t at, uint32_t length) {
    g_events.push_back({at, 1, {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(key),
                                static_cast<uint8_t>(velocity)}});
    g_events.push_back({at + length, 0, {static_cast<uint8_t>(0x80 | channel), static_cast<uint8_t>(key), 0}});
}

void program(int channel, int number) {
    g_events.push_back({0, 0, {static_cast<uint8_t>(0xC0 | channel), static_cast<uint8_t>(number)}});
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
    const uint32_t t = static_cast<uint32_t>(index) * kBar;
    const Chord& c = kChords[index % 4];
    const bool last = index == bars - 1;
    for (int k : c.notes) note(kPad, k, last ? 80 : 62, t, kBar - 20);
    if (last) {
        note(kDrums, kKick, 120, t, kEighth);
        note(kDrums, kCrash, 110, t, kBar);
        note(kBass, c.bass, 105, t, kBar);
        for (int k : c.notes) note(kPiano, k, 90, t, kBar);
        return;
    }
    if (breakdown) {
        note(kBass, c.bass, 90, t, kBar - 20);
        for (int i = 0; i < 8; ++i) note(kDrums, kHat, i % 2 ? 40 : 55, t + i * kEighth, kSixteenth);
        return;
    }
    // Electric-piano stabs on the off-beats.
    for (int i = 1; i < 8; i += 2)
        for (int k : c.notes) note(kPiano, k + 12, 72, t + i * kEighth, kSixteenth + 40);
    // Bass in eighths: root, octave and fifth with a rest that gives the groove its push.
    const int line[8] = {0, 0, 12, 0, -1, 7, 12, 0};
    for (int i = 0; i < 8; ++i)
        if (line[i] >= 0) note(kBass, c.bass + line[i], i % 2 ? 88 : 104, t + i * kEighth, kEighth - 30);
    // Drums: kick on one and three (and before three every other bar), snare on two and four.
    note(kDrums, kKick, 122, t, kEighth);
    note(kDrums, kKick, 118, t + 2 * kDivision, kEighth);
    if (index % 2) note(kDrums, kKick, 100, t + 2 * kDivision - kEighth, kEighth);
    const bool fill = index % 8 == 7;
    note(kDrums, kSnare, 108, t + kDivision, kEighth);
    if (!fill) note(kDrums, kSnare, 108, t + 3 * kDivision, kEighth);
    for (int i = 0; i < (fill ? 6 : 8); ++i)
        note(kDrums, i == 7 ? kOpenHat : kHat, i % 2 ? 58 : 76, t + i * kEighth, kSixteenth);
    if (fill)
        for (int i = 0; i < 4; ++i) note(kDrums, i < 2 ? kSnare : kTom, 90 + 8 * i, t + 3 * kDivision + i * kSixteenth, kSixteenth);
    if (index % 8 == 0) note(kDrums, kCrash, 100, t, kBar);
}

void put_var(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t tmp[5];
    int n = 0;
    do {
        tmp[n++] = v & 0x7F;
        v >>= 7;
    } while (v);
    while (n--) out.push_back(static_cast<uint8_t>(tmp[n] | (n ? 0x80 : 0)));
}

void put_be(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

int write_midi(const char* path, double seconds) {
    // Two seconds per bar at 120 beats per minute; the last bar rings out.
    const int bars = std::max(2, static_cast<int>(std::ceil(seconds / 2.0)));
    program(kBass, 33);  // electric bass (finger)
    program(kPad, 89);   // warm pad
    program(kPiano, 4);  // electric piano
    program(kDrums, 0);  // standard kit
    const int break_from = bars >= 24 ? bars / 2 : bars; // four bars without drums in the middle
    for (int i = 0; i < bars; ++i) bar(i, bars, i >= break_from && i < break_from + 4);
    std::stable_sort(g_events.begin(), g_events.end(), [](const Event& a, const Event& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.order < b.order;
    });

    std::vector<uint8_t> track = {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}; // 500000 us per quarter
    uint32_t now = 0;
    for (const Event& e : g_events) {
        put_var(track, e.tick - now);
        now = e.tick;
        track.insert(track.end(), e.bytes.begin(), e.bytes.end());
    }
    put_var(track, kBar); // room for the last notes' release
    track.insert(track.end(), {0xFF, 0x2F, 0x00});

    std::vector<uint8_t> file = {'M', 'T', 'h', 'd'};
    put_be(file, 6, 4);
    put_be(file, 0, 2); // one track
    put_be(file, 1, 2);
    put_be(file, kDivision, 2);
    file.insert(file.end(), {'M', 'T', 'r', 'k'});
    put_be(file, static_cast<uint32_t>(track.size()), 4);
    file.insert(file.end(), track.begin(), track.end());

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
