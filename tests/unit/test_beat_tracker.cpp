// The beat tracker's bookkeeping on a made-up tap and clock: how time and samples are carried
// between frames, the event queue, kicks standing in for beats, the tempo from kicks where the
// onsets show no beat, and the equaliser taken back out of what the kick detector hears. Also
// the WAV reading of the file runner.
#include "core/settings.h"
#include "support/beat_run.h"
#include "ui/ui.h"

#include "fuzz/fuzz_wav_parse.cpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// A tap over a growing buffer: `g_end` frames have arrived.
std::vector<float> g_sound;
size_t g_end = 0;
double g_now = 100;

bool fake_tap(float* left, float* right, int count, float* rate, float* age) {
    *rate = 48000;
    *age = 0;
    for (int i = 0; i < count; ++i) {
        const long at = static_cast<long>(g_end) - count + i;
        left[i] = right[i] = at >= 0 && at < static_cast<long>(g_sound.size()) ? g_sound[at] : 0.0f;
    }
    return true;
}
double fake_clock() {
    return g_now;
}
float fake_delay() {
    return 0.08f;
}

class Tracker : public ::testing::Test {
  protected:
    void SetUp() override {
        ui::g_beat = ui::BeatTracker();
        g_sound.assign(48000 * 10, 0.0f);
        g_end = 0;
        g_now = 100;
        ui::BeatSource s;
        s.tap = fake_tap;
        s.clock = fake_clock;
        s.delay = fake_delay;
        ui::set_beat_source(s);
    }
    void TearDown() override { ui::set_beat_source({}); }

    // A frame: `seconds` of sound arrive and pass.
    void frame(double seconds) {
        g_end += static_cast<size_t>(std::lround(seconds * 48000));
        g_now += seconds;
        ui::track_beat(48000, static_cast<float>(seconds));
    }
};

void add_kick(double t0, double amp) {
    for (size_t i = static_cast<size_t>(t0 * 48000); i < g_sound.size(); ++i) {
        const double t = static_cast<double>(i) / 48000 - t0;
        if (t > 0.5) break;
        const double phase = 2 * kPi * (50 * t + 100 * 0.03 * (1 - std::exp(-t / 0.03)));
        const double click = std::exp(-t / 0.002) * std::sin(2 * kPi * 3100 * t) * std::sin(2 * kPi * 5300 * t);
        g_sound[i] += static_cast<float>(amp * (std::min(1.0, t / 0.001) * std::exp(-t / 0.08) * std::sin(phase) +
                                                0.2 * click));
    }
}

} // namespace

TEST_F(Tracker, TimeAndSamplesAreCarriedBetweenFrames) {
    const ui::BeatTracker& b = ui::g_beat;
    uint32_t seed = 1; // quiet noise: never silence, so the previous frame's tail can be found
    for (float& x : g_sound) x = static_cast<float>(((seed = seed * 1664525u + 1013904223u) >> 9) * 1e-9);
    frame(0.004);
    EXPECT_EQ(b.hop, 0); // less than a hop: nothing yet
    frame(0.004);
    EXPECT_EQ(b.hop, 0);
    frame(0.004);
    EXPECT_EQ(b.hop, 1);
    EXPECT_EQ(b.kick.samples, 480); // no tail yet: as many samples as one hop
    frame(0.013);
    EXPECT_EQ(b.hop, 2);
    EXPECT_EQ(b.kick.samples, 480 + 624); // the tail was found: exactly what arrived
    // A long frame gives at most twelve hops and twelve hops of samples (the tail is gone from
    // the tap); the rest of the time is not carried.
    frame(0.2);
    EXPECT_EQ(b.hop, 14);
    EXPECT_NEAR(b.time_rest, 0.005f, 1e-4f);
    EXPECT_EQ(b.kick.samples, 1104 + 5760);
    // The same tap again (no new sound): the tail sits at the very end, nothing is fed.
    g_now += 0.02;
    ui::track_beat(48000, 0.02f);
    EXPECT_EQ(b.hop, 16);
    EXPECT_EQ(b.kick.samples, 1104 + 5760);
}

TEST_F(Tracker, KicksStandInForBeatsUntilTheTempoIsKnown) {
    const ui::BeatTracker& b = ui::g_beat;
    add_kick(0.3, 0.8);
    add_kick(0.5, 0.8); // 200 ms later: a kick, but not a second beat
    add_kick(1.3, 0.8);
    std::vector<std::pair<char, double>> events;
    while (g_end < 48000 * 2) {
        frame(1.0 / 60);
        const int k = b.kicks_released, bt = b.beats_released;
        ui::release_beats();
        for (int i = k; i < b.kicks_released; ++i) events.push_back({'k', g_now});
        for (int i = bt; i < b.beats_released; ++i) events.push_back({'b', g_now});
    }
    EXPECT_EQ(b.kicks, 3);
    EXPECT_EQ(b.beats, 2);
    EXPECT_EQ(b.kicks_released, 3);
    EXPECT_EQ(b.beats_released, 2);
    // Each is released when it is heard: 80 ms after its sound, within half a frame.
    ASSERT_EQ(events.size(), 5u);
    const double heard[] = {100.38, 100.38, 100.58, 101.38, 101.38};
    for (size_t i = 0; i < events.size(); ++i) EXPECT_NEAR(events[i].second, heard[i], 0.012) << i;
}

TEST_F(Tracker, TheEqualiserIsTakenBackOut) {
    // With the equaliser on, the detector hears the sound with the curve negated: a tap boosted
    // by +6 dB in the bass band reaches it at the level it had before.
    Settings s;
    s.active = true;
    s.curve = eq::Curve{};
    s.curve.band[2] = 6;
    ui::BeatSource src;
    src.tap = fake_tap;
    src.clock = fake_clock;
    src.delay = fake_delay;
    src.settings = &s;
    ui::set_beat_source(src);
    for (size_t i = 0; i < g_sound.size(); ++i) g_sound[i] = static_cast<float>(0.1 * std::sin(2 * kPi * 100 * i / 48000.0));
    eq::Processor boost;
    boost.set_format(48000, 1);
    boost.set_curve(s.curve);
    boost.process(g_sound.data(), static_cast<int>(g_sound.size()));
    for (int i = 0; i < 120; ++i) frame(1.0 / 60);
    const ui::BeatTracker& b = ui::g_beat;
    EXPECT_TRUE(b.undo_valid);
    EXPECT_FLOAT_EQ(b.undo_curve.band[2], 6);
    // The detector's 35-300 Hz band carries the 100 Hz tone at its original level (amplitude 0.1:
    // -23 dB mean power); boosted it would read about 5 dB more.
    float energy = 0;
    for (float e : b.kick.hist_b) energy += e / kick::Detector::kHistB;
    EXPECT_NEAR(10 * std::log10(energy), -23.0, 1.0);
    // Equaliser off: the sound is taken as it is.
    s.active = false;
    frame(1.0 / 60);
    EXPECT_FALSE(b.undo_valid);
}

TEST_F(Tracker, KicksTwoBeatsApartGiveTheTempoUnderBeatlessSwells) {
    // 100 BPM for four bars: kicks on beats one and three and an eighth after three (they never
    // lie a beat apart), under swells of a chord that start at uneven times, so the onsets show
    // no steady beat. Then the swells go on alone.
    g_sound.assign(48000 * 14, 0.0f);
    const double beat = 0.6, first = 0.05;
    for (int bar = 0; bar < 4; ++bar)
        for (double at : {0.0, 2.0, 2.5}) add_kick(first + (bar * 4 + at) * beat, 0.6);
    const double last_kick = first + 14.5 * beat;
    uint32_t seed = 7;
    for (double t = 0; t < 14;) {
        const double len = 0.35 + 0.9 * (((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216.0);
        const double f = 220 * std::pow(2.0, ((seed >> 4) % 12) / 12.0);
        for (size_t i = static_cast<size_t>(t * 48000); i < g_sound.size() && i < (t + len) * 48000; ++i) {
            const double u = static_cast<double>(i) / 48000 - t;
            const double env = std::min(1.0, u / 0.15) * std::min(1.0, (len - u) / 0.1);
            double x = 0;
            for (double h : {1.0, 1.26, 1.5, 2.0}) x += std::sin(2 * kPi * f * h * u);
            g_sound[i] += static_cast<float>(0.1 * env * x);
        }
        t += len;
    }
    const ui::BeatTracker& b = ui::g_beat;
    double locked_from = -1, let_go_at = -1;
    std::vector<double> beats;
    while (g_end < g_sound.size()) {
        frame(1.0 / 60);
        const double t = static_cast<double>(g_end) / 48000;
        const bool locked = b.confidence > 0.3f;
        if (t <= last_kick) {
            // Locked to the beat or its half, and held while the kicks come.
            const bool right = locked && (std::abs(b.period - 60) <= 1 || std::abs(b.period - 30) <= 1);
            if (!right) locked_from = -1;
            else if (locked_from < 0) locked_from = t;
        } else if (!locked && let_go_at < 0) {
            let_go_at = t;
        }
        const int bt = b.beats_released;
        ui::release_beats();
        // Released 80 ms after their sound: the beats' own moments in the sound.
        if (b.beats_released > bt && t > 5.5 && t <= last_kick) beats.push_back(g_now - 100.08);
    }
    EXPECT_GE(b.kicks, 11);
    ASSERT_GT(locked_from, 0);
    EXPECT_LE(locked_from, 4.0);
    // Once settled, the beats fall on the beat (within 40 ms).
    ASSERT_GE(beats.size(), 4u);
    for (double t : beats) {
        const double off = std::fmod(t - first + beat, beat);
        EXPECT_LE(std::min(off, beat - off), 0.04) << t;
    }
    // Once a bar of four beats has passed without a kick, the tempo is no longer trusted (at
    // the next estimate, every half second).
    ASSERT_GT(let_go_at, 0);
    EXPECT_LE(let_go_at, last_kick + 4 * beat + 0.6);
}

TEST(BeatQueue, SortedBoundedAndReleasedWhenDue) {
    ui::g_beat = ui::BeatTracker();
    ui::BeatSource s;
    s.clock = fake_clock;
    ui::set_beat_source(s);
    g_now = 50;
    ui::queue_beat('b', 52);
    ui::queue_beat('k', 51);
    ui::queue_beat('c', 51); // equal times keep their order of arrival
    ui::queue_beat('b', 10); // already past
    const ui::BeatTracker& b = ui::g_beat;
    ASSERT_EQ(b.due_count, 4);
    EXPECT_EQ(b.due[b.due_first].kind, 'b');
    EXPECT_EQ(b.due[(b.due_first + 1) % 64].kind, 'k');
    EXPECT_EQ(b.due[(b.due_first + 2) % 64].kind, 'c');
    ui::release_beats();
    EXPECT_EQ(b.beats_released, 1);
    g_now = 51;
    ui::release_beats();
    EXPECT_EQ(b.kicks_released, 1);
    EXPECT_EQ(b.claps_released, 1);
    EXPECT_EQ(b.due_count, 1);
    // A 65th pending event removes the earliest one.
    for (int i = 0; i < 64; ++i) ui::queue_beat('k', 60 + i);
    EXPECT_EQ(b.due_count, 64);
    EXPECT_EQ(b.due[b.due_first].at, 60); // the one at 52 went
    ui::set_beat_source({});
}

TEST(WavFile, ReadsWhatTheToolAccepts) {
    // Every seed of the fuzz corpus goes through the fuzz target's checks.
    for (const auto& entry : std::filesystem::directory_iterator(LUMAFON_SOURCE_DIR "/tests/fuzz/corpus/wav_parse")) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    testsup::Sound s;
    std::string error;
    // 16-bit stereo: left full negative, right half positive.
    std::string wav = "RIFF....WAVEfmt ";
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) wav.push_back(static_cast<char>(v >> (8 * i))); };
    auto u16 = [&](uint16_t v) { for (int i = 0; i < 2; ++i) wav.push_back(static_cast<char>(v >> (8 * i))); };
    u32(16);
    u16(1);
    u16(2);
    u32(48000);
    u32(48000 * 4);
    u16(4);
    u16(16);
    wav += "data";
    u32(4);
    u16(0x8000);
    u16(0x4000);
    ASSERT_TRUE(testsup::parse_wav(wav, &s, &error)) << error;
    ASSERT_EQ(s.frames(), 1u);
    EXPECT_EQ(s.left[0], -1.0f);
    EXPECT_EQ(s.right[0], 0.5f);
    wav.replace(24, 4, std::string("\x44\xAC\x00\x00", 4)); // 44100 Hz
    EXPECT_FALSE(testsup::parse_wav(wav, &s, &error));
    EXPECT_EQ(error, "the sample rate is not 48000 Hz");
    EXPECT_FALSE(testsup::parse_wav("RIFF", &s, &error));
}
