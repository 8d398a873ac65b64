#include "support/music_render.h"

#include "support/process.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sys/stat.h>

namespace testsup {
namespace {

constexpr int kTicks = 480; // per quarter note
constexpr int kDrums = 9;
constexpr int kBass = 0;
constexpr int kPad = 1;
constexpr int kVoice = 2;

void put_var(std::string& s, uint32_t v) {
    char buf[5];
    int n = 0;
    buf[n++] = static_cast<char>(v & 0x7F);
    while (v >>= 7) buf[n++] = static_cast<char>(0x80 | (v & 0x7F));
    while (n) s.push_back(buf[--n]);
}

void put_be(std::string& s, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Sixteenth steps of one bar in `pattern` ('x' full velocity, 'o' soft, '.' rest), repeated over
// bars [from, to). `swing` moves every other step by that fraction of a step (0.33 sounds like
// triplets); `swing8` does the same for every other eighth note.
void steps(Song& s, int from, int to, int channel, int key, const char* pattern, int velocity,
           double swing = 0, double swing8 = 0) {
    for (int bar = from; bar < to; ++bar) {
        for (int i = 0; pattern[i]; ++i) {
            if (pattern[i] == '.') continue;
            double beat = bar * 4 + i * 0.25;
            if (i % 2 == 1) beat += swing * 0.25;
            if (i % 4 == 2) beat += swing8 * 0.5;
            const int v = pattern[i] == 'o' ? velocity / 2 : velocity;
            s.notes.push_back({beat, channel, key, v, 0.2});
        }
    }
}

// A bass line: one note per 'x' of the sixteenth pattern, keys taken in turn; each note lasts
// `length` sixteenths, or with 0 until the next note.
void bass_line(Song& s, int from, int to, const char* pattern, const std::vector<int>& keys, double length,
               int velocity, double swing = 0) {
    std::vector<double> starts;
    for (int bar = from; bar < to; ++bar)
        for (int i = 0; pattern[i]; ++i)
            if (pattern[i] == 'x') starts.push_back(bar * 4 + i * 0.25 + (i % 2 == 1 ? swing * 0.25 : 0));
    for (size_t i = 0; i < starts.size(); ++i) {
        const double end = i + 1 < starts.size() ? starts[i + 1] : to * 4.0;
        const double len = length > 0 ? length * 0.25 : end - starts[i] - 0.02;
        s.notes.push_back({starts[i], kBass, keys[i % keys.size()], velocity, len});
    }
}

void chords(Song& s, int from, int to, const std::vector<int>& keys, int velocity) {
    for (int bar = from; bar < to; ++bar)
        for (int k : keys) s.notes.push_back({bar * 4.0, kPad, k + (bar % 2) * 5, velocity, 3.95});
}

bool keep_kicks(const MidiNote& n) {
    return is_kick(n);
}

bool keep_rest(const MidiNote& n) {
    return !is_kick(n);
}

std::vector<float> read_raw(const std::string& path) {
    const std::string bytes = read_file(path);
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

bool run_synth(const std::string& sf, const std::string& midi, const std::string& raw, std::string* error) {
    const Result r = run({"fluidsynth", "-n", "-i", "-q", "-r", "48000", "-g", "0.5", "-R", "0", "-C", "0", "-T",
                          "raw", "-O", "float", "-E", "little", "-F", raw, sf, midi},
                         120000);
    if (r.status != 0) {
        if (error) *error = "fluidsynth failed: " + r.err;
        return false;
    }
    return true;
}

// The kick stem of a song with sine kicks: each kick a sine whose pitch falls from 150 Hz to
// 45 Hz (time constant 30 ms), faded in over 2 ms so that nothing clicks above the bass, and
// dying away with a time constant of 120 ms; the velocity sets its level.
std::vector<float> sine_kick_stem(const Song& song, size_t frames) {
    constexpr double kPi = 3.14159265358979323846;
    std::vector<float> stem(2 * frames, 0.0f);
    for (const MidiNote& n : song.notes) {
        if (!is_kick(n)) continue;
        const size_t from = static_cast<size_t>(song.seconds_at(n.beat) * 48000);
        const double amp = 0.8 * n.velocity / 127.0;
        double phase = 0;
        for (size_t i = from; i < frames && i < from + 48000; ++i) {
            const double t = static_cast<double>(i - from) / 48000;
            phase += 2 * kPi * (45 + 105 * std::exp(-t / 0.03)) / 48000;
            const float s = static_cast<float>(amp * std::min(1.0, t / 0.002) * std::exp(-t / 0.12) * std::sin(phase));
            stem[2 * i] += s;
            stem[2 * i + 1] += s;
        }
    }
    return stem;
}

} // namespace

bool is_kick(const MidiNote& n) {
    return n.channel == kDrums && (n.key == 35 || n.key == 36);
}

bool Song::has_kicks() const {
    return std::any_of(notes.begin(), notes.end(), is_kick);
}

double Song::seconds_at(double beat) const {
    double t = 0;
    for (size_t i = 0; i < tempo.size(); ++i) {
        const double end = i + 1 < tempo.size() ? std::min(beat, tempo[i + 1].first) : beat;
        if (end <= tempo[i].first) break;
        t += (end - tempo[i].first) * 60.0 / tempo[i].second;
    }
    return t;
}

double Song::bpm_at(double seconds) const {
    double bpm = tempo.front().second;
    for (const auto& [beat, b] : tempo)
        if (seconds_at(beat) <= seconds) bpm = b;
    return bpm;
}

std::string midi_file(const Song& song, bool (*keep)(const MidiNote&)) {
    struct Event {
        uint32_t tick;
        int order; // at equal ticks: tempo, programs, note-offs, note-ons
        std::string bytes;
    };
    std::vector<Event> ev;
    auto tick = [](double beat) { return static_cast<uint32_t>(std::lround(beat * kTicks)); };
    for (const auto& [beat, bpm] : song.tempo) {
        std::string b = "\xFF\x51\x03";
        put_be(b, static_cast<uint32_t>(std::lround(60e6 / bpm)), 3);
        ev.push_back({tick(beat), 0, b});
    }
    for (const auto& [channel, program] : song.programs)
        ev.push_back({0, 1, {static_cast<char>(0xC0 | channel), static_cast<char>(program)}});
    for (const MidiNote& n : song.notes) {
        if (!keep(n)) continue;
        const char on = static_cast<char>(0x90 | n.channel), off = static_cast<char>(0x80 | n.channel);
        ev.push_back({tick(n.beat), 3, {on, static_cast<char>(n.key), static_cast<char>(n.velocity)}});
        ev.push_back({tick(n.beat + n.length), 2, {off, static_cast<char>(n.key), 0}});
    }
    std::stable_sort(ev.begin(), ev.end(),
                     [](const Event& a, const Event& b) { return a.tick != b.tick ? a.tick < b.tick : a.order < b.order; });
    std::string track;
    uint32_t last = 0;
    for (const Event& e : ev) {
        put_var(track, e.tick - last);
        last = e.tick;
        track += e.bytes;
    }
    put_var(track, tick(song.beats) > last ? tick(song.beats) - last : 0);
    track += std::string("\xFF\x2F\x00", 3);
    std::string file = "MThd";
    put_be(file, 6, 4);
    put_be(file, 0, 2);
    put_be(file, 1, 2);
    put_be(file, kTicks, 2);
    file += "MTrk";
    put_be(file, static_cast<uint32_t>(track.size()), 4);
    return file + track;
}

std::string soundfont_path() {
    struct stat st {};
    for (const char* p : {"/usr/share/sounds/sf2/FluidR3_GM.sf2", "/usr/share/soundfonts/FluidR3_GM.sf2"})
        if (stat(p, &st) == 0) return p;
    return "";
}

bool render_song(const Song& song, const std::string& dir, Rendered* out, std::string* error) {
    const std::string sf = soundfont_path();
    if (sf.empty()) {
        if (error) *error = "the General MIDI soundfont (fluid-soundfont-gm) is not installed";
        return false;
    }
    const std::string base = dir + "/" + song.name;
    if (!write_file(base + "-kick.mid", midi_file(song, keep_kicks)) ||
        !write_file(base + "-rest.mid", midi_file(song, keep_rest))) {
        if (error) *error = "cannot write into " + dir;
        return false;
    }
    if ((!song.sine_kicks && !run_synth(sf, base + "-kick.mid", base + "-kick.raw", error)) ||
        !run_synth(sf, base + "-rest.mid", base + "-rest.raw", error))
        return false;
    const std::vector<float> rest = read_raw(base + "-rest.raw");
    const std::vector<float> kick =
        song.sine_kicks ? sine_kick_stem(song, rest.size() / 2) : read_raw(base + "-kick.raw");
    const size_t frames = std::max(kick.size(), rest.size()) / 2;
    out->mix.left.assign(frames, 0.0f);
    out->mix.right.assign(frames, 0.0f);
    std::vector<float> stem(frames, 0.0f);
    for (size_t i = 0; i < frames; ++i) {
        const float kl = 2 * i < kick.size() ? kick[2 * i] : 0, kr = 2 * i + 1 < kick.size() ? kick[2 * i + 1] : 0;
        const float rl = 2 * i < rest.size() ? rest[2 * i] : 0, rr = 2 * i + 1 < rest.size() ? rest[2 * i + 1] : 0;
        out->mix.left[i] = std::clamp(kl + rl, -1.0f, 1.0f);
        out->mix.right[i] = std::clamp(kr + rr, -1.0f, 1.0f);
        stem[i] = std::max(std::fabs(kl), std::fabs(kr));
    }
    // Each kick's onset: within 60 ms after its MIDI time (or up to the next kick), the first
    // sample that reaches 1 % of that kick's peak.
    std::vector<double> times;
    for (const MidiNote& n : song.notes)
        if (is_kick(n)) times.push_back(song.seconds_at(n.beat));
    std::sort(times.begin(), times.end());
    out->kick_onsets.clear();
    for (size_t k = 0; k < times.size(); ++k) {
        const size_t from = static_cast<size_t>(times[k] * 48000);
        double until = times[k] + 0.06;
        if (k + 1 < times.size()) until = std::min(until, times[k + 1]);
        const size_t to = std::min(frames, static_cast<size_t>(until * 48000));
        float peak = 0;
        for (size_t i = from; i < to; ++i) peak = std::max(peak, stem[i]);
        for (size_t i = from; i < to; ++i) {
            if (stem[i] >= 0.01f * peak && peak > 0) {
                out->kick_onsets.push_back(static_cast<double>(i) / 48000);
                break;
            }
        }
    }
    return true;
}

std::vector<Song> test_songs() {
    std::vector<Song> songs;
    auto song = [&](const char* name, double bpm, int bars, int kit, int bass, int pad = -1) -> Song& {
        Song s;
        s.name = name;
        s.tempo = {{0, bpm}};
        s.programs = {{kDrums, kit}, {kBass, bass}};
        if (pad >= 0) s.programs.push_back({kPad, pad});
        s.beats = bars * 4;
        songs.push_back(s);
        return songs.back();
    };
    const std::vector<int> low = {28, 31, 33, 36, 28, 40, 35, 31}; // E1 to E2: 41 to 82 Hz
    const std::vector<int> mid = {40, 43, 45, 47, 40, 52, 38, 43};

    // Four on the floor with a busy off-beat synth bass.
    Song& house = song("house124", 124, 11, 0, 38);
    steps(house, 0, 11, kDrums, 36, "x...x...x...x...", 110);
    steps(house, 0, 11, kDrums, 39, "....x.......x...", 90);
    steps(house, 0, 11, kDrums, 42, "..x...x...x...x.", 80);
    bass_line(house, 0, 11, "..xx..xx..xx..xx", low, 1.5, 80);

    // Rock with a second kick an eighth after the first and a sustained bass.
    Song& rock = song("rock110", 110, 10, 16, 33);
    steps(rock, 0, 10, kDrums, 36, "x.....x.x.......", 115);
    steps(rock, 0, 10, kDrums, 38, "....x.......x...", 110);
    steps(rock, 0, 10, kDrums, 42, "x.x.x.x.x.x.x.x.", 75);
    bass_line(rock, 0, 10, "x.......x.......", low, 0, 80);

    // Swung hip-hop with a syncopated kick and a held bass.
    Song& hiphop = song("hiphop90", 90, 8, 8, 39);
    steps(hiphop, 0, 8, kDrums, 36, "x......x..x.....", 112, 0.3);
    steps(hiphop, 0, 8, kDrums, 38, "....x.......x...", 105, 0.3);
    steps(hiphop, 0, 8, kDrums, 42, "xoxoxoxoxoxoxoxo", 80, 0.3);
    bass_line(hiphop, 0, 8, "x.........x.....", low, 0, 80, 0.3);

    // Drum and bass: syncopated kicks under a busy eighth-note bass.
    Song& dnb = song("dnb174", 174, 14, 24, 38);
    steps(dnb, 0, 14, kDrums, 36, "x.........x.....", 115);
    steps(dnb, 0, 14, kDrums, 38, "....x.......x...", 110);
    steps(dnb, 0, 14, kDrums, 42, "x.x.x.x.x.x.x.x.", 70);
    bass_line(dnb, 0, 14, "x.x.x.x.x.x.x.x.", mid, 1.8, 80);

    // Trap: slow, with kick pairs an eighth apart, sixteenth hats and long 808-like bass notes.
    Song& trap = song("trap70", 70, 6, 25, 38);
    steps(trap, 0, 6, kDrums, 36, "x.....x.x.......", 115);
    steps(trap, 0, 6, kDrums, 39, "........x.......", 100);
    steps(trap, 0, 6, kDrums, 42, "xoxoxoxoxoxoxoxo", 75);
    bass_line(trap, 0, 6, "x.....x.........", low, 0, 80);

    // Quiet kicks (two an eighth apart) under loud pad chords and a sustained bass.
    Song& pads = song("pads100", 100, 9, 0, 33, 89);
    steps(pads, 0, 9, kDrums, 36, "x.......x.x.....", 72);
    steps(pads, 0, 9, kDrums, 42, "..x...x...x...x.", 45);
    bass_line(pads, 0, 9, "x.......x.......", low, 0, 45);
    chords(pads, 0, 9, {48, 55, 60, 64}, 96);

    // A shuffle: the off-beat eighths on the triplet, a kick on the swung "and" of four.
    Song& shuffle = song("shuffle120", 120, 10, 32, 34);
    steps(shuffle, 0, 10, kDrums, 36, "x.......x.....x.", 110, 0, 0.33);
    steps(shuffle, 0, 10, kDrums, 38, "....x.......x...", 100, 0, 0.33);
    steps(shuffle, 0, 10, kDrums, 42, "x.x.x.x.x.x.x.x.", 80, 0, 0.33);
    bass_line(shuffle, 0, 10, "x...x...x...x...", mid, 3, 80);

    // A tempo change from 100 to 140 BPM after six bars.
    Song& change = song("change100to140", 100, 14, 0, 38);
    change.tempo.push_back({24, 140});
    steps(change, 0, 14, kDrums, 36, "x...x...x...x...", 110);
    steps(change, 0, 14, kDrums, 38, "....x.......x...", 95);
    steps(change, 0, 14, kDrums, 42, "..x...x...x...x.", 75);
    bass_line(change, 0, 14, "..x...x...x...x.", low, 1.5, 80);

    // Thirty seconds without a kick: a loud, busy, syncopated bass with snare and hats.
    Song& nokick = song("nokick_bass", 120, 15, 0, 34);
    steps(nokick, 0, 15, kDrums, 38, "....x.......x...", 100);
    steps(nokick, 0, 15, kDrums, 42, "x.x.x.x.x.x.x.x.", 80);
    bass_line(nokick, 0, 15, "x..x..x.x.xx.x..", {28, 40, 31, 43, 33, 45, 36, 24}, 1.5, 127);

    // No beat at all: swelling pad chords, a held bass and a sung-like synth line, changing at
    // uneven times.
    Song& ambient = song("beatless_pads", 80, 8, 0, 33, 89);
    ambient.programs.push_back({kVoice, 54});
    const double changes[] = {0, 3.5, 5, 9.25, 12, 14.5, 18.75, 21, 24.5, 27, 29.25, 32};
    const int roots[] = {45, 41, 43, 40, 45, 38, 41, 43, 45, 40, 41};
    for (int i = 0; i + 1 < 12; ++i) {
        const double len = changes[i + 1] - changes[i] - 0.05;
        for (int k : {0, 7, 12, 16}) ambient.notes.push_back({changes[i], kPad, roots[i] + 12 + k, 80, len});
        ambient.notes.push_back({changes[i] + 0.25, kBass, roots[i] - 12, 70, len - 0.25});
    }
    const double sung[][2] = {{1, 2.5}, {3.75, 1.25}, {5.5, 3}, {9, 1.5}, {11, 3.25}, {15, 2},
                              {17.5, 1.75}, {20, 3.5}, {24, 2.25}, {26.75, 3}, {30, 1.75}};
    const int melody[] = {69, 72, 76, 74, 72, 69, 67, 69, 71, 72, 69};
    for (int i = 0; i < 11; ++i) ambient.notes.push_back({sung[i][0], kVoice, melody[i], 90, sung[i][1]});

    // Kicks without a click, 808-style: syncopated trap kicks over sustained bass notes of a
    // steady pitch that start off the kicks, with claps and sixteenth hats.
    Song& sub = song("trap808_140", 140, 12, 25, 38);
    sub.sine_kicks = true;
    steps(sub, 0, 12, kDrums, 36, "x.....x...x..x..", 115);
    steps(sub, 0, 12, kDrums, 39, "....x.......x...", 100);
    steps(sub, 0, 12, kDrums, 42, "xoxoxoxoxoxoxoxo", 70);
    bass_line(sub, 0, 12, "..x.....x....x..", low, 0, 90);

    // Soft click-less kicks under loud pad chords and a held bass.
    Song& soft = song("soft808_pads96", 96, 9, 0, 33, 89);
    soft.sine_kicks = true;
    steps(soft, 0, 9, kDrums, 36, "x.......x.x.....", 60);
    steps(soft, 0, 9, kDrums, 42, "..x...x...x...x.", 45);
    bass_line(soft, 0, 9, "x.......x.......", low, 0, 45);
    chords(soft, 0, 9, {48, 55, 60, 64}, 96);
    return songs;
}

} // namespace testsup
