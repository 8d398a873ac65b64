// tsan
// The engine as a process of its own, as the program runs it: killed, quitting, guarded by the
// watchdog, running twice; and what a listener hears while the equaliser takes over.
#include "audio/audio_pulse.h"
#include "support/engine_checks.h"
#include "support/sound_checks.h"
#include "support/sound_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace testsup;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

bool host_routing(const EngineHost::State& s) {
    return s.state == 1 && s.active;
}

class Process : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.start()) << server_.error();
        dir_ = make_temp_dir("lumafon-process");
        log_at_ = engine_log_size();
        tone_ = dir_ + "/tone.wav";
        ASSERT_TRUE(make_sine(tone_, 1000, 60, 0.2));
        default_wishes();
    }

    void TearDown() override {
        audio::stop();
        host_.quit(5000);
        player_.stop();
        server_.stop();
        remove_tree(dir_);
    }

    void play(const std::string& file) {
        ASSERT_TRUE(start_player(player_, file));
        ASSERT_TRUE(wait_until([] { return input_sink("paplay") != kNone; }, 5000));
    }

    void start_host_routed() {
        ASSERT_TRUE(host_.start(dir_));
        ASSERT_TRUE(host_.wait_state(host_routing)) << host_.log();
        ASSERT_TRUE(wait_until([] { return routed_to("hw_a"); }, 5000)) << host_.log();
    }

    SoundServer server_;
    EngineHost host_;
    Child player_;
    std::string dir_;
    std::string tone_;
    size_t log_at_ = 0;
};

} // namespace

TEST_F(Process, KilledWhileRoutingTheWatchdogGivesTheSoundBack) {
    play(tone_);
    start_host_routed();
    const long long killed = now_ms();
    host_.kill_hard();
    ASSERT_TRUE(wait_until([] { return given_back_to("hw_a"); }, 1000, 5))
        << "default " << default_sink() << ", player on " << input_sink("paplay");
    RecordProperty("rescued_ms", static_cast<int>(now_ms() - killed));
}

TEST_F(Process, OrderlyQuitGivesBackItself) {
    play(tone_);
    start_host_routed();
    ASSERT_TRUE(host_.quit());
    EXPECT_TRUE(given_back_to("hw_a"));
    EXPECT_NE(host_.log().find("Virtual sink removed"), std::string::npos);
}

TEST_F(Process, AnOrderlyEndMessageDisarmsTheWatchdog) {
    play(tone_);
    start_host_routed();
    ASSERT_EQ(host_.ask("guard-stop"), "ok");
    host_.kill_hard();
    // Nothing may change: the watchdog was told the end is orderly.
    EXPECT_FALSE(
        wait_until([] { return default_sink() != "lumafon" || sink_index("lumafon") == kNone; }, 1500, 50));

    // The next start finds the sink of the dead run and takes it over, then cleans up.
    ASSERT_TRUE(audio::start(true));
    ASSERT_TRUE(wait_status([](const audio::Status& s) { return s.state == 1 && s.active; }));
    // The engine writes its notes once it lets go of the server's lock, which may come after the
    // status is out.
    EXPECT_TRUE(wait_until(
        [&] {
            return engine_log_since(log_at_).find("Virtual sink taken over from the last run") !=
                   std::string::npos;
        },
        3000))
        << engine_log_since(log_at_);
    EXPECT_EQ(audio::status().follow, "hw_a");
    ASSERT_TRUE(wait_until([] { return routed_to("hw_a"); }, 5000));
    audio::stop();
    EXPECT_TRUE(given_back_to("hw_a"));
}

TEST_F(Process, SecondCopyStaysPassiveThenTakesOver) {
    play(tone_);
    start_host_routed();
    ASSERT_TRUE(audio::start(true));
    ASSERT_TRUE(wait_status([](const audio::Status& s) { return s.state == 3 && !s.active; }));
    const std::string passive = "Another installation is running - this one stays passive";
    // It rechecks every two seconds, quietly, and leaves the first copy's routing alone.
    EXPECT_FALSE(wait_until([] { return audio::status().state != 3; }, 2500, 50));
    EXPECT_EQ(count_of(engine_log_since(log_at_), passive), 1);
    EXPECT_TRUE(routed_to("hw_a"));
    EXPECT_EQ(inputs_of("Lumafon").size(), 1u);
    EXPECT_EQ(audio::devices().size(), 2u);

    ASSERT_TRUE(host_.quit());
    const long long quit = now_ms();
    ASSERT_TRUE(wait_until(
        [] { return audio::status().state == 1 && audio::status().active && routed_to("hw_a"); }, 4000))
        << engine_log_since(log_at_);
    const long long took = now_ms() - quit;
    RecordProperty("takeover_ms", static_cast<int>(took));
    EXPECT_LT(took, 2600);
}

TEST_F(Process, PassiveCopyEndsWithoutTouchingTheOther) {
    play(tone_);
    start_host_routed();
    ASSERT_TRUE(audio::start(true));
    ASSERT_TRUE(wait_status([](const audio::Status& s) { return s.state == 3; }));
    audio::stop();
    EXPECT_TRUE(routed_to("hw_a"));
    EXPECT_TRUE(host_routing(host_.state()));
}

namespace {

// Marker signal: on the left a 1 kHz tone that the equaliser lifts by 6 dB once it routes (so the
// routed part can be told from the direct one); on the right a ramp from 0.1 to 0.8 over the
// whole file that the equaliser leaves alone, so that every sample heard tells which moment of
// the file it is.
constexpr int kMarkerFrames = 48000 * 20;
float marker_left(int n) {
    return 0.2f * std::sin(static_cast<float>(n) * 6.2831853f * 1000.0f / 48000.0f);
}
float marker_right(int n) {
    return 0.1f + 0.7f * static_cast<float>(n) / kMarkerFrames;
}

struct Takeover {
    double direct_s = -1; // recording time of the last window heard unequalised
    double routed_s = -1; // recording time of the first window heard through the equaliser
    double silent_ms = 0; // longest pause in the marker
    double lost_ms = 0;   // most marker time lost at one place (negative: heard twice)
    int pauses_after = 0; // pauses once the equalised sound is heard: the takeover's is before
};

// Walks the recording in 10 ms windows. In each window that is all marker (and not just after a
// pause, where the equaliser still rings from the step out of silence) the offset between
// recording time and marker time is taken; where it changes by more than the pause between two
// such windows, sound was lost (or repeated).
Takeover analyse(const std::vector<float>& rec) {
    constexpr size_t kWin = 480;
    Takeover t;
    const size_t frames = rec.size() / 2;
    auto heard = [&](size_t n) { return std::fabs(rec[2 * n + 1]) >= 0.05f; };
    double last_offset = 0;
    bool have_offset = false;
    size_t silent = 0;      // silent frames since the last window with an offset
    size_t since_pause = 0; // frames heard since the last silent frame
    for (size_t w = 0; w + kWin <= frames; w += kWin) {
        const double level = rms_db(rec.data() + 2 * w, kWin);
        if (level > -14.5 && t.routed_s < 0) t.routed_s = static_cast<double>(w) / 48000;
        if (level < -15.5 && level > -19.5) t.direct_s = static_cast<double>(w) / 48000;
        size_t quiet = 0;
        const bool was_quiet = silent > 0;
        std::vector<double> offsets;
        for (size_t n = w; n < w + kWin; ++n) {
            if (!heard(n)) {
                ++quiet;
                since_pause = 0;
                continue;
            }
            ++since_pause;
            offsets.push_back(static_cast<double>(n) - (rec[2 * n + 1] - 0.1) / 0.7 * kMarkerFrames);
        }
        if (quiet && !was_quiet && t.routed_s >= 0 && static_cast<double>(w) / 48000 > t.routed_s)
            ++t.pauses_after;
        silent += quiet;
        t.silent_ms = std::max(t.silent_ms, static_cast<double>(silent) / 48);
        if (quiet || since_pause < 2 * kWin) continue;
        std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
        const double offset = offsets[offsets.size() / 2];
        if (have_offset) {
            // The ramp is quantised to about a millisecond on its way through a 16-bit sink.
            const double lost = (static_cast<double>(silent) - (offset - last_offset)) / 48;
            if (std::fabs(lost) > 2 && std::fabs(lost) > std::fabs(t.lost_ms)) t.lost_ms = lost;
        }
        last_offset = offset;
        have_offset = true;
        silent = 0;
    }
    return t;
}

} // namespace

TEST_F(Process, TakeoverGapIsShort) {
    const std::string marker = dir_ + "/marker.wav";
    ASSERT_TRUE(write_wav(marker, kMarkerFrames, marker_left, marker_right));
    audio::set_curve([] {
        eq::Curve c;
        c.band[5] = 6;
        return c;
    }());
    Recording rec;
    ASSERT_TRUE(rec.start("hw_a.monitor", dir_ + "/heard.f32"));
    play(marker);
    ASSERT_TRUE(rec.wait_seconds(1.0));

    ASSERT_TRUE(audio::start(true));
    ASSERT_TRUE(wait_until([] { return audio::status().active && routed_to("hw_a"); }, 10000));
    // What the device plays shows up on its monitor in the device's own time, which a null sink
    // may keep up to two seconds ahead of the clock: wait for the equalised sound itself.
    EXPECT_TRUE(wait_until([&] { return analyse(rec.samples()).routed_s >= 0; }, 8000, 200));
    ASSERT_TRUE(rec.wait_seconds(rec.seconds() + 0.5));
    rec.stop();

    const Takeover t = analyse(rec.samples());
    ASSERT_GE(t.direct_s, 0) << "the recording holds no sound from before the takeover";
    ASSERT_GT(t.routed_s, t.direct_s) << "the recording holds no equalised sound after the takeover";
    RecordProperty("gap_ms", std::to_string(t.silent_ms));
    RecordProperty("lost_ms", std::to_string(t.lost_ms));
    EXPECT_LT(t.silent_ms, 100);
    EXPECT_LT(std::fabs(t.lost_ms), 100);
    // A cushion topped up with silence in the middle of the music is a second, audible gap.
    EXPECT_EQ(t.pauses_after, 0);
}
