// nosan
// End to end through a private sound server: a player plays kicks into the engine's sink, the
// engine equalises them and plays them to the device, and the beat tracker, run as the window
// runs it (60 frames a second on the undelayed tap, the display delay kept up by the delayed
// tap reads of each frame), locks to the kicks' tempo, reports them early on its beat grid and
// releases each kick at the moment its sound reaches the device, as timed on the device's
// monitor from outside.
#include "audio/audio_pulse.h"
#include "support/engine_checks.h"
#include "support/onset_probe.h"
#include "support/sound_checks.h"
#include "support/sound_server.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace testsup;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kBeatFrames = 24000; // a kick every 0.5 s
constexpr double kLateFrame = 0.004; // seconds a frame may wake after its deadline and still count
constexpr float kDelayMoved = 0.004f; // seconds the display delay may have moved in the last 0.6 s

// A bass drum falling from 150 to 50 Hz with a short click at its front, quiet hats between.
float kick_track(int n) {
    const double t = static_cast<double>(n % kBeatFrames) / 48000;
    const double sweep = 0.03;
    const double phase = 2 * kPi * (50 * t + 100 * sweep * (1 - std::exp(-t / sweep)));
    uint32_t h = static_cast<uint32_t>(n) * 2654435761u;
    h ^= h >> 15;
    const double noise = static_cast<double>(h & 0xFFFF) / 32768.0 - 1;
    const double attack = std::min(1.0, t / 0.001);
    const double kick = 0.8 * attack * std::exp(-t / 0.08) * std::sin(phase) + 0.12 * std::exp(-t / 0.002) * noise;
    const double off = std::fmod(t + 0.25, 0.5);
    const double hat = 0.03 * std::exp(-off / 0.02) * noise;
    return static_cast<float>(kick + hat);
}

} // namespace

TEST(BeatTiming, KicksReleasedWhenTheyReachTheDevice) {
    SoundServer server;
    ASSERT_TRUE(server.start()) << server.error();
    const std::string dir = make_temp_dir("lumafon-beat-timing");
    ASSERT_TRUE(write_wav(dir + "/kicks.wav", 48000 * 30, kick_track, kick_track));
    default_wishes();
    ASSERT_TRUE(audio::start(true));
    ASSERT_TRUE(wait_status([](const audio::Status& s) { return s.state == 1 && s.active; }));
    ASSERT_TRUE(wait_until([] { return routed_to("hw_a", "Lumafon") || default_sink() == "lumafon"; }, 5000));

    OnsetProbe device;
    ASSERT_TRUE(device.start("hw_a.monitor"));
    Child player;
    ASSERT_TRUE(start_player(player, dir + "/kicks.wav"));

    // The window's frames: the delayed tap read keeps the display delay up to date, the tracker
    // reads the undelayed tap whenever new sound came.
    ui::g_beat = ui::BeatTracker();
    ui::set_beat_source({});
    static float left[4096], right[4096];
    // Each released kick with how late its frame woke: a frame the loaded machine let sleep too
    // long shows its events late however right the tracker was, so such frames are left out.
    struct Release {
        double at = 0, woke_late = 0;
        float delay_moved = 0; // how far the display delay moved in the 0.6 s before, seconds
    };
    // The display delay of every frame: when the server's latency reading jumps, the delay
    // follows at 50 ms a second, and the kicks shown meanwhile are off by what is left to follow.
    std::vector<std::pair<double, float>> delays;
    std::vector<Release> released;
    std::vector<Release> late_frames; // frames that woke more than 4 ms late
    unsigned long last_serial = 0;
    double last = ui::beat_clock();
    float beat_dt = 0; // frames without new sound count towards the tracker's next call
    const double end = last + 20;
    const auto frame = std::chrono::microseconds(16667);
    auto deadline = std::chrono::steady_clock::now();
    while (ui::beat_clock() < end) {
        deadline += frame;
        std::this_thread::sleep_until(deadline);
        const double woke_late = std::chrono::duration<double>(std::chrono::steady_clock::now() - deadline).count();
        // After a long stall the frames go on from now, as the window's loop does.
        if (woke_late > 0.1) deadline = std::chrono::steady_clock::now();
        const double now = ui::beat_clock();
        if (woke_late > kLateFrame) late_frames.push_back({now, woke_late});
        beat_dt = std::min(beat_dt + static_cast<float>(now - last), 0.2f);
        last = now;
        float rate = 48000;
        unsigned long serial = 0;
        audio::tap(left, right, 4096, &rate, &serial, true);
        if (serial != last_serial) {
            last_serial = serial;
            ui::track_beat(rate, beat_dt);
            beat_dt = 0;
        }
        delays.push_back({now, audio::display_delay()});
        float moved = 0;
        for (auto d = delays.rbegin(); d != delays.rend() && d->first > now - 0.6; ++d)
            moved = std::max(moved, std::fabs(d->second - delays.back().second));
        const int before = ui::g_beat.kicks_released;
        ui::release_beats();
        for (int i = before; i < ui::g_beat.kicks_released; ++i)
            released.push_back({ui::beat_clock(), woke_late, moved});
    }
    // What the tracker made of it, before anything else runs.
    const ui::BeatTracker& tracker = ui::g_beat;
    const int period = tracker.period;
    const float confidence = tracker.confidence;
    const int kicks = tracker.kick.kicks, early = tracker.kick.kicks_early, unconfirmed = tracker.kick.kicks_unconfirmed;
    player.stop();
    device.stop();
    const float delay = audio::display_delay();
    audio::stop();
    server.stop();
    remove_tree(dir);

    // After 5 s (the display delay has followed the measured latency by then), the kicks heard on
    // the device are released within 20 ms of them. LUMAFON_TIMING_TRACE prints each difference.
    const std::vector<double> heard = device.onsets();
    ASSERT_GT(heard.size(), 30u);
    const double from = heard.front() + 5;
    std::vector<double> errors;
    int missed = 0, stalled = 0, following = 0;
    for (double t : heard) {
        if (t < from || t > end - 0.5) continue;
        const auto near = std::min_element(released.begin(), released.end(), [&](const Release& a, const Release& b) {
            return std::fabs(a.at - t) < std::fabs(b.at - t);
        });
        const bool stall = std::any_of(late_frames.begin(), late_frames.end(),
                                       [&](const Release& f) { return f.woke_late > 0.05 && std::fabs(f.at - t) < 0.3; });
        if (near == released.end() || std::fabs(near->at - t) > 0.1) {
            // Sound that came while the machine held the loop up for 50 ms or more may be lost.
            const bool moving = std::any_of(delays.begin(), delays.end(), [&](const std::pair<double, float>& d) {
                return std::fabs(d.first - t) < 0.3 && std::fabs(d.second - delays.back().second) > 0.05f;
            });
            if (stall) ++stalled;
            else if (moving) ++following;
            else ++missed;
            continue;
        }
        if (near->woke_late > kLateFrame) {
            ++stalled;
            continue;
        }
        if (near->delay_moved > kDelayMoved) {
            ++following;
            continue;
        }
        errors.push_back((near->at - t) * 1000);
    }
    if (std::getenv("LUMAFON_TIMING_TRACE"))
        for (double e : errors) std::printf("%.1f ", e);
    std::sort(errors.begin(), errors.end());
    ASSERT_FALSE(errors.empty());
    int within = 0;
    for (double e : errors) within += std::fabs(e) <= 20;
    std::printf("Kicks heard %zu, compared %zu, missed %d, left out for a late frame %d, while the display delay "
                "followed a jump of the latency reading %d; release minus arrival on the device: median %.1f ms, "
                "%.1f to %.1f ms, %d within 20 ms; display delay %.1f ms\n",
                heard.size(), errors.size(), missed, stalled, following, errors[errors.size() / 2], errors.front(),
                errors.back(), within, delay * 1000.0);
    std::printf("Tracker: period %d ms, confidence %.2f; kicks %d, %d of them reported early on the beat grid (%d of "
                "those unconfirmed)\n",
                period * 10, static_cast<double>(confidence), kicks, early, unconfirmed);
    // The tracker locks to the kicks' half second, and then reports the kicks at their onsets,
    // before the detector has confirmed them: with a display delay of only 50 ms a confirmation
    // 30 to 60 ms after the onset, in sound that arrives in 30 ms blocks, would come too late.
    EXPECT_EQ(period, 50);
    EXPECT_GT(confidence, 0.3f);
    EXPECT_GE(early, kicks / 2);
    EXPECT_LE(unconfirmed, 1);
    // On a quiet machine all of them are (runs gave -11 to +11 ms). When other work loads the
    // machine the server's latency readings jump now and then, by up to 70 ms, and the kicks are
    // shown off by what the display delay has still to follow; such kicks and those of frames
    // that woke late are not compared.
    EXPECT_EQ(missed, 0);
    EXPECT_GE(errors.size(), 15u);
    EXPECT_GE(within, static_cast<int>(errors.size()) * 9 / 10);
    EXPECT_LE(std::fabs(errors[errors.size() / 2]), 10.0);
}
