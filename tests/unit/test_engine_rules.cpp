// tsan
// The engine's rules that need no server: which device is followed, where the sound goes,
// which streams are gathered, when the user must pick our sink, and the arithmetic of the tap,
// the peaks, the display delay and the latency statistics, the output queue's control and the
// stretch against a device's clock.
#include "audio/audio_pulse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

using namespace audio::detail;

namespace {

// Read once by the engine per process, before any delayed tap read.
const bool kOffsetSet = (setenv("LUMA2_AV_OFFSET_MS", "100", 1), true);

SinkEntry sink(uint32_t index, const std::string& name, uint32_t module = 7) {
    SinkEntry s;
    s.index = index;
    s.name = name;
    s.description = "Desc " + name;
    s.owner_module = module;
    s.monitor_source = index + 100;
    return s;
}

InputEntry input(uint32_t index, uint32_t on_sink, uint32_t client, const std::string& app) {
    InputEntry in;
    in.index = index;
    in.sink = on_sink;
    in.client = client;
    in.app_name = app;
    in.ours = app == "Lumafon";
    return in;
}

// hw_a (0), hw_b (1), our sink (2), a sibling's sink (3).
Snapshot desk(const std::string& default_sink) {
    Snapshot s;
    s.default_sink = default_sink;
    s.sinks = {sink(0, "hw_a"), sink(1, "hw_b"), sink(2, "lumafon"), sink(3, "tessamorlo")};
    return s;
}

constexpr uint32_t kMe = 50;

} // namespace

TEST(EngineRules, NamesOfSinks) {
    for (const char* s : {"tessamorlo", "quenbirrow", "fandrelle", "ostrevane", "pellicordo"}) {
        EXPECT_TRUE(is_upstream_sink(s)) << s;
        EXPECT_FALSE(is_real_sink(s)) << s;
    }
    EXPECT_FALSE(is_upstream_sink("Tessamorlo")); // sink names are compared exactly
    EXPECT_FALSE(is_real_sink("lumafon"));
    EXPECT_FALSE(is_real_sink(""));
    EXPECT_TRUE(is_real_sink("alsa_output.usb-headset"));
}

TEST(EngineRules, SiblingFeedsByApplicationNameInAnyCase) {
    Snapshot s = desk("lumafon");
    s.inputs = {input(10, 2, 60, "Firefox")};
    EXPECT_FALSE(sibling_feeds(s, 2));
    s.inputs.push_back(input(11, 2, 61, "TessaMorlo"));
    EXPECT_TRUE(sibling_feeds(s, 2));
    EXPECT_FALSE(sibling_feeds(s, 0));
}

TEST(EngineRules, FollowedDevice) {
    // A real default is followed.
    EXPECT_EQ(choose_follow(desk("hw_b"), "hw_a", ""), "hw_b");
    // Our sink holds the default (a crashed run): the device followed so far stays...
    EXPECT_EQ(choose_follow(desk("lumafon"), "hw_b", "hw_a"), "hw_b");
    // ...or, with none, the remembered hint, or else the first real sink in the server's order.
    EXPECT_EQ(choose_follow(desk("lumafon"), "", "hw_b"), "hw_b");
    EXPECT_EQ(choose_follow(desk("lumafon"), "", "unplugged"), "hw_a");
    EXPECT_EQ(choose_follow(desk("lumafon"), "gone", "lumafon"), "hw_a");
    Snapshot reordered = desk("lumafon");
    std::swap(reordered.sinks[0], reordered.sinks[3]);
    EXPECT_EQ(choose_follow(reordered, "", ""), "hw_b");
    // A sibling holds the default: the device its own stream plays to is followed.
    Snapshot chain = desk("tessamorlo");
    chain.inputs = {input(10, 3, 60, "Firefox"), input(11, 1, 61, "tessamorlo")};
    EXPECT_EQ(choose_follow(chain, "hw_a", ""), "hw_b");
    // No real sink at all.
    Snapshot bare;
    bare.default_sink = "lumafon";
    bare.sinks = {sink(2, "lumafon")};
    EXPECT_EQ(choose_follow(bare, "hw_a", "hw_b"), "");
}

TEST(EngineRules, TargetAndMissingOutput) {
    const Snapshot s = desk("lumafon");
    Target t = choose_target(s, "hw_a", "");
    EXPECT_EQ(t.sink, "hw_a");
    EXPECT_FALSE(t.missing);
    t = choose_target(s, "hw_a", "hw_b");
    EXPECT_EQ(t.sink, "hw_b");
    EXPECT_FALSE(t.missing);
    for (const char* bad : {"unplugged", "lumafon", "pellicordo"}) {
        t = choose_target(s, "hw_a", bad);
        EXPECT_EQ(t.sink, "hw_a") << bad;
        EXPECT_TRUE(t.missing) << bad;
    }
}

TEST(EngineRules, StreamsGathered) {
    Snapshot s = desk("hw_b");
    s.inputs = {
        input(10, 0, 60, "Firefox"),   // on the target
        input(11, 1, 61, "mpv"),       // on the server's default
        input(12, 2, 62, "Rhythmbox"), // already in our sink
        input(13, 0, kMe, "Lumafon"),  // our own playback
        input(14, 5, 63, "Game"),      // on some other device
    };
    EXPECT_EQ(streams_to_gather(s, "hw_a", kMe), (std::vector<uint32_t>{10, 11}));
    // A sibling's default is not ours to empty.
    s.default_sink = "tessamorlo";
    s.inputs.push_back(input(15, 3, 64, "Firefox"));
    EXPECT_EQ(streams_to_gather(s, "hw_a", kMe), (std::vector<uint32_t>{10}));
    // Without our sink there is nowhere to gather to.
    Snapshot no_sink = s;
    no_sink.sinks.erase(no_sink.sinks.begin() + 2);
    EXPECT_TRUE(streams_to_gather(no_sink, "hw_a", kMe).empty());
}

TEST(EngineRules, MovesThatDidNotHappen) {
    Snapshot s = desk("lumafon");
    s.inputs = {input(10, 2, 60, "Firefox"), input(11, 0, 61, "mpv"), input(12, 1, 62, "Game")};
    // 10 arrived, 11 was confirmed but is still on hw_a, 12 was not moved by us, 13 has ended.
    EXPECT_EQ(not_arrived(s, {10, 11, 13}, 2), (std::vector<uint32_t>{11}));
    EXPECT_TRUE(not_arrived(s, {}, 2).empty());
}

TEST(EngineRules, UserMustSelectOutput) {
    Snapshot s = desk("lumafon");
    EXPECT_FALSE(select_output(s, true, kMe));
    s.default_sink = "hw_a";
    EXPECT_TRUE(select_output(s, true, kMe));
    EXPECT_FALSE(select_output(s, false, kMe));
    // A sibling holds the default: fine while it feeds us, not when nothing plays into our sink.
    s.default_sink = "tessamorlo";
    s.inputs = {input(10, 2, kMe, "Lumafon")};
    EXPECT_TRUE(select_output(s, true, kMe));
    s.inputs.push_back(input(11, 2, 61, "tessamorlo"));
    EXPECT_FALSE(select_output(s, true, kMe));
    s.sinks.erase(s.sinks.begin() + 2);
    EXPECT_TRUE(select_output(s, true, kMe));
}

TEST(EngineRules, OwnSinksOfAnyRunAreNeverRealDevices) {
    EXPECT_TRUE(is_own_kind("lumafon", "lumafon", "Lumafon"));
    EXPECT_TRUE(is_own_kind("lumafon.2", "", "Lumafon")); // a second load, renamed by the server
    EXPECT_FALSE(is_own_kind("lumafon.2", "", "Something else"));
    EXPECT_FALSE(is_own_kind("lumafonic", "lumafon", "Lumafon"));
    EXPECT_FALSE(is_real_sink("lumafon.2"));

    Snapshot s = desk("lumafon.2");
    s.sinks.push_back(sink(4, "lumafon.2"));
    s.sinks.back().ours = true;
    s.sinks[0].name = "hw_gone";
    // Neither followed nor offered as an output, even as the default.
    EXPECT_EQ(choose_follow(s, "", ""), "hw_gone");
    EXPECT_TRUE(choose_target(s, "hw_b", "lumafon.2").missing);
}

TEST(EngineRules, FollowTheUsersChoiceNotTheServersFallback) {
    Snapshot s = desk("lumafon");
    Follow f = next_follow(s, {"hw_a", "hw_a"}, "", "lumafon");
    EXPECT_EQ(f.used, "hw_a");
    // hw_a unplugged: hw_b is used meanwhile, hw_a stays wanted and is followed again on return.
    Snapshot gone = s;
    gone.sinks.erase(gone.sinks.begin());
    f = next_follow(gone, f, "", "lumafon");
    EXPECT_EQ(f.wanted, "hw_a");
    EXPECT_EQ(f.used, "hw_b");
    f = next_follow(s, f, "", "lumafon");
    EXPECT_EQ(f.used, "hw_a");
    // Our sink vanished and the server fell back to hw_b: no choice of the user's.
    Snapshot fallback = desk("hw_b");
    fallback.sinks.erase(fallback.sinks.begin() + 2);
    f = next_follow(fallback, f, "", "lumafon");
    EXPECT_EQ(f.used, "hw_a");
    // The user's own choice is followed.
    f = next_follow(desk("hw_b"), f, "", "lumafon");
    EXPECT_EQ(f.used, "hw_b");
    EXPECT_EQ(f.wanted, "hw_b");
}

TEST(EngineRules, StreamsThatAskedForADevice) {
    Snapshot s = desk("lumafon");
    s.inputs = {input(10, 0, 1, "player"), input(11, 2, 1, "player"), input(12, 1, kMe, "Lumafon")};
    EXPECT_EQ(asked_device(s, s.inputs[0]), 0u);       // on hw_a while the default is ours
    EXPECT_EQ(asked_device(s, s.inputs[1]), kNoIndex); // in our sink
    EXPECT_EQ(asked_device(s, s.inputs[2]), kNoIndex); // ours
    // Named hw_b but linked to our sink first, as PipeWire may: hw_b is what it asked for.
    s.inputs[1].target = "hw_b";
    EXPECT_EQ(asked_device(s, s.inputs[1]), 1u);
    s.inputs[1].target = "lumafon";
    EXPECT_EQ(asked_device(s, s.inputs[1]), kNoIndex);
    Snapshot d = desk("hw_a");
    d.inputs = {input(10, 0, 1, "player"), input(13, 0, 1, "player")};
    EXPECT_EQ(asked_device(d, d.inputs[0]), kNoIndex); // on the default
    EXPECT_EQ(streams_to_gather(d, "hw_a", kMe, 2, {10}), std::vector<uint32_t>{13});
}

TEST(EngineRules, VolumeCarriedKeepsTheLoudness) {
    const uint32_t norm = 0x10000;
    const std::vector<uint32_t> user = {norm * 3 / 10, norm / 2};
    EXPECT_EQ(carry_volume({norm, norm}, user), user);
    EXPECT_EQ(carry_volume(user, {norm, norm}), user);
    // Channel counts that differ: the loudest channel of the other side.
    const std::vector<uint32_t> six(6, norm);
    EXPECT_EQ(carry_volume(six, user), std::vector<uint32_t>(6, norm / 2));
    EXPECT_EQ(carry_volume(user, {}), user);
}

TEST(EngineRules, OneLockPerUserAndServer) {
    const std::string a = lock_path("/run/user/1000", "/run/user/1000/pulse/native", 1000);
    EXPECT_EQ(a, lock_path("/run/user/1000", "/run/user/1000/pulse/native", 1000));
    EXPECT_NE(a, lock_path("/run/user/1000", "/tmp/other/native", 1000));
    EXPECT_NE(a, lock_path("/run/user/1000", "/run/user/1000/pulse/native", 1001));
    EXPECT_EQ(a.rfind("/run/user/1000/lumafon-1000-", 0), 0u) << a;
}

TEST(EngineRules, LatencyStatistics) {
    LatencyRing ring;
    float median = 0, lo = 0, hi = 0;
    ring.add(300, &median, &lo, &hi);
    EXPECT_EQ(median, 300);
    ring.add(100, &median, &lo, &hi);
    EXPECT_EQ(median, 300); // upper median of an even count
    EXPECT_EQ(lo, 100);
    EXPECT_EQ(hi, 300);
    ring.add(200, &median, &lo, &hi);
    EXPECT_EQ(median, 200);
    for (int i = 0; i < 100; ++i) ring.add(static_cast<float>(1000 + i), &median, &lo, &hi);
    EXPECT_EQ(ring.n, 64);
    EXPECT_EQ(lo, 1036); // only the last 64 readings count
    EXPECT_EQ(hi, 1099);
    EXPECT_EQ(median, 1068);

    // A new output device starts its statistics afresh: nothing of the old device may leak into
    // the median that sets the display delay.
    ring.restart();
    ring.add(2000, &median, &lo, &hi);
    EXPECT_EQ(median, 2000);
    EXPECT_EQ(lo, 2000);
    ring.add(2100, &median, &lo, &hi);
    EXPECT_EQ(lo, 2000);
    EXPECT_EQ(hi, 2100);
}

TEST(EngineRules, DisplayDelayFollowsSlowly) {
    // First step: at most 50 ms.
    EXPECT_EQ(follow_delay(0, 8640, 1000, 0), 2400);
    EXPECT_EQ(follow_delay(0, -5000, 1000, 0), -2400);
    // Regular steps: exponential with a one-second time constant, at most 50 ms per second.
    EXPECT_FLOAT_EQ(follow_delay(0, 8640, 1100, 1000), 240);     // limited to 50 ms a second
    EXPECT_FLOAT_EQ(follow_delay(8000, 8640, 1100, 1000), 8064); // 10 % of the difference
    // After a pause of 2 s: half the difference, at most 1200 frames.
    EXPECT_FLOAT_EQ(follow_delay(8000, 8640, 3000, 1000), 8320);
    EXPECT_FLOAT_EQ(follow_delay(0, 8640, 3000, 1000), 1200);

    // With 100 ms of offset and 80 ms of latency the delay approaches 180 ms, at most 2400
    // frames a second.
    float d = 0;
    uint64_t t = 1000, at = 0;
    for (int i = 0; i < 200; ++i, t += 50) {
        const float next = follow_delay(d, 8640, t, at);
        if (at) {
            EXPECT_LE(next - d, 2400 * 0.05f + 0.01f);
        }
        d = next;
        at = t;
    }
    EXPECT_NEAR(d, 8640, 1);
}

// The tap is one per process: this test walks through its life in order.
TEST(EngineRules, TapAndPeaks) {
    ASSERT_TRUE(kOffsetSet);
    std::vector<float> left(10000, -1), right(10000, -1);
    float rate = 0;
    unsigned long serial = 99;
    EXPECT_FALSE(audio::tap(left.data(), right.data(), 100, &rate, &serial, false));
    EXPECT_EQ(serial, 0u);
    EXPECT_EQ(rate, 48000);
    EXPECT_EQ(left[0], -1); // untouched
    float pl = 1, pr = 1;
    audio::take_peaks(&pl, &pr);
    EXPECT_EQ(pl, 0);
    EXPECT_EQ(pr, 0);

    // 40000 frames whose left sample is their number; the ring keeps the newest 32768.
    std::vector<float> frames;
    for (int n = 0; n < 40000; ++n) {
        frames.push_back(static_cast<float>(n));
        frames.push_back(static_cast<float>(-n));
    }
    push_tap(frames.data(), 20000);
    push_tap(frames.data() + 40000, 20000);
    EXPECT_TRUE(audio::tap(left.data(), right.data(), 100, &rate, &serial, false));
    EXPECT_EQ(serial, 2u);
    EXPECT_EQ(left[0], 39900);
    EXPECT_EQ(left[99], 39999);
    EXPECT_EQ(right[99], -39999);

    // Requests are capped at 8192 frames.
    left.assign(10000, -1);
    EXPECT_TRUE(audio::tap(left.data(), right.data(), 10000, &rate, &serial, false));
    EXPECT_EQ(left[0], 40000 - 8192);
    EXPECT_EQ(left[8191], 39999);
    EXPECT_EQ(left[8192], -1);

    // Delayed: with no latency measured yet only the 100 ms offset counts, and the first step
    // moves at most 50 ms (2400 frames).
    EXPECT_TRUE(audio::tap(left.data(), right.data(), 100, &rate, &serial, true));
    EXPECT_EQ(left[99], 39999 - 2400);
    EXPECT_NEAR(audio::display_delay(), 0.05, 1e-6);

    // Peaks: the frames that became audible, i.e. up to the delayed end; a first call after a
    // long time looks only at the last 480 of them.
    audio::take_peaks(&pl, &pr);
    EXPECT_EQ(pl, 39999 - 2400);
    EXPECT_EQ(pr, 39999 - 2400);
    audio::take_peaks(&pl, &pr);
    EXPECT_EQ(pl, 0); // nothing new
    std::vector<float> quiet = {0.25f, -0.5f, -0.75f, 0.125f};
    push_tap(quiet.data(), 2);
    audio::take_peaks(&pl, &pr);
    EXPECT_EQ(pl, 37601); // the two frames that became audible are still old, delayed ones
    EXPECT_EQ(pr, 37601);
}

TEST(EngineRules, UnusableCurvesAreRejected) {
    eq::Curve c;
    c.band[3] = 12.5f;
    c.preamp = -13;
    eq::Curve out;
    ASSERT_TRUE(usable_curve(c, &out)); // a little beyond the sliders' range: brought back to it
    EXPECT_EQ(out.band[3], 12.0f);
    EXPECT_EQ(out.preamp, -12.0f);
    for (float bad : {std::nanf(""), INFINITY, -INFINITY, 1e30f, -25.0f}) {
        eq::Curve b;
        b.band[7] = bad;
        EXPECT_FALSE(usable_curve(b, &out)) << bad;
        b = eq::Curve{};
        b.preamp = bad;
        EXPECT_FALSE(usable_curve(b, &out)) << bad;
    }
}

// The queue control against a simulated device: it takes sound at its own pace in chunks of
// `chunk_ms` (a saw-tooth queue), and may stall; the feed brings 10 ms blocks at the system
// clock's pace, each up to `jitter_ms` late. A `buffered` device keeps a buffer of its own of
// about 300 ms (reported to the control) and tops it up in chunks of random size whenever it
// has room, so that our queue alone jumps about by tens of milliseconds.
struct FakeOutput {
    QueueControl control;
    double queue_ms = QueueControl::kMinTargetMs; // the cushion written at the start
    double drift_ppm = 0; // positive: the device runs fast
    double chunk_ms = 10;
    double jitter_ms = 0;
    bool buffered = false;
    double buffer_ms = 300;
    uint64_t now = 1000;
    int drops = 0;
    int underruns = 0;
    double most_ppm = 0; // the largest stretch seen
    double device_ms = 0;
    double next_take_ms = 0;
    double next_due_ms = 0;     // when the next block is due, on the system clock
    double next_arrival_ms = 0; // and when it arrives (never before the one ahead of it)
    uint32_t seed = 12345;

    double random01() {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) / 16777216.0;
    }

    void take_ms(double ms) {
        queue_ms -= ms;
        if (queue_ms < 0) { // the engine refills the cushion after an underrun
            ++underruns;
            control.underrun(now);
            queue_ms = control.target_ms;
        }
    }

    void run_ms(int ms) {
        if (next_due_ms == 0) next_due_ms = next_arrival_ms = static_cast<double>(now) + 10;
        for (int t = 0; t < ms; ++t) {
            ++now;
            device_ms += 1 + drift_ppm * 1e-6;
            if (buffered) {
                buffer_ms -= 1 + drift_ppm * 1e-6;
                // It fills up to a level that wanders by ±12 ms as it wakes at its own pace.
                const double level = 300 + 12 * std::sin(static_cast<double>(now) * (2 * M_PI / 2200));
                while (buffer_ms < level - chunk_ms) {
                    const double take = chunk_ms * (0.5 + random01());
                    buffer_ms += take;
                    take_ms(take);
                }
                control.device_ms = buffer_ms;
                next_take_ms = device_ms + 1;
            }
            while (device_ms >= next_take_ms) {
                next_take_ms += chunk_ms;
                take_ms(chunk_ms);
            }
            while (static_cast<double>(now) >= next_arrival_ms) {
                bool changed = false;
                if (control.admit(queue_ms, 10, now, &changed))
                    queue_ms += 10 * (1 + control.ppm * 1e-6);
                else
                    ++drops;
                most_ppm = std::max(most_ppm, std::abs(control.ppm));
                next_due_ms += 10;
                next_arrival_ms = std::max(next_arrival_ms, next_due_ms + random01() * jitter_ms);
            }
        }
    }
};

TEST(EngineRules, QueueReturnsToItsTargetAfterAJump) {
    FakeOutput out;
    out.control.restart(out.now);
    out.run_ms(5000);
    EXPECT_EQ(out.drops, 0);
    EXPECT_EQ(out.control.ppm, 0) << "equal clocks need no stretch";
    // A suspended device or a burst of backlog: 300 ms queued at once. Back near the target
    // within two seconds, by dropping no more than the backlog (a drop that waited for the
    // measure to come down silenced an output whose measure never did).
    out.queue_ms += 300;
    out.run_ms(300);
    EXPECT_EQ(out.drops, 0) << "a burst is no reason to drop";
    out.run_ms(1700);
    EXPECT_LE(out.queue_ms, out.control.target_ms + 10);
    EXPECT_GT(out.drops, 0);
    EXPECT_LE(out.drops, 31);
    EXPECT_EQ(out.underruns, 0);
    int drops = out.drops;
    out.run_ms(5000);
    EXPECT_EQ(out.drops, drops) << "no drops once back at the target";
    // After a stall of our own the backlog is dropped at once.
    out.control.stall(out.now);
    out.queue_ms += 300;
    out.run_ms(20);
    EXPECT_GT(out.drops, drops);
    drops = out.drops;
    out.run_ms(400);
    EXPECT_LE(out.queue_ms, out.control.target_ms + 10);
    out.run_ms(5000);
    EXPECT_LE(out.drops, drops + 31);

    // A measure that never comes down (PipeWire's interpolated timing once its queue had run dry)
    // costs a bounded share of the sound, never all of it.
    QueueControl stuck;
    stuck.restart(1000);
    int dropped = 0;
    bool changed = false;
    for (uint64_t t = 1000; t < 6000; t += 10) dropped += stuck.admit(120, 10, t, &changed) ? 0 : 1;
    EXPECT_LT(dropped, 500 / 4);

    // A queue the server holds without playing it (waiting to start) is never cut, also right
    // after a stall of our own; once it plays, the backlog beyond the target goes.
    QueueControl held;
    held.restart(1000);
    held.stall(1100);
    dropped = 0;
    for (uint64_t t = 1100; t < 1600; t += 10) dropped += held.admit(60, 10, t, &changed, false, true) ? 0 : 1;
    EXPECT_EQ(dropped, 0);
    EXPECT_FALSE(held.admit(300, 10, 1600, &changed));
}

TEST(EngineRules, CushionGrowsAfterUnderrunsAndShrinksWhenCalm) {
    constexpr double kMin = QueueControl::kMinTargetMs;
    constexpr uint64_t kMinute = 60000;
    QueueControl q;
    q.restart(1000);
    bool changed = false;
    // The queue standing at its target, looked at every second until `to`.
    uint64_t t = 1000;
    auto calm_until = [&](uint64_t to) {
        for (; t < to; t += 1000) q.admit(q.target_ms, 10, t, &changed);
    };
    EXPECT_FALSE(q.underrun(1500)) << "the first moments of a stream do not count";
    calm_until(5000);
    EXPECT_TRUE(q.underrun(5000));
    EXPECT_EQ(q.target_ms, kMin + QueueControl::kGrowMs);
    // Back step by step, two calm minutes a step after one underrun.
    calm_until(5000 + 2 * kMinute - 1000);
    EXPECT_EQ(q.target_ms, kMin + QueueControl::kGrowMs);
    calm_until(5000 + 4 * kMinute + 1000);
    EXPECT_EQ(q.target_ms, kMin);
    // The smallest cushion failed again: the next steps back take twice as long.
    EXPECT_TRUE(q.underrun(t));
    const uint64_t second = t;
    calm_until(second + 4 * kMinute - 1000);
    EXPECT_EQ(q.target_ms, kMin + QueueControl::kGrowMs);
    calm_until(second + 8 * kMinute + 1000);
    EXPECT_EQ(q.target_ms, kMin);
    // Calm times passed at the smallest cushion bring the pace back to a minute a step.
    calm_until(second + 8 * kMinute + 4 * kMinute + 2 * kMinute + 1000);
    EXPECT_TRUE(q.underrun(t));
    calm_until(t + 2 * kMinute + 1000);
    EXPECT_EQ(q.target_ms, kMin + QueueControl::kGrowMs - QueueControl::kShrinkMs);

    // A machine so busy that underruns follow each other: the largest cushion, kept for long.
    for (int i = 0; i < 10; ++i) q.underrun(t - 10 + i);
    EXPECT_EQ(q.target_ms, QueueControl::kMaxTargetMs);
    const uint64_t busy = t - 1;
    calm_until(busy + QueueControl::kMaxCalmMs - 1000);
    EXPECT_EQ(q.target_ms, QueueControl::kMaxTargetMs);
    calm_until(busy + QueueControl::kMaxCalmMs + 1000);
    EXPECT_EQ(q.target_ms, QueueControl::kMaxTargetMs - QueueControl::kShrinkMs);
}

TEST(EngineRules, StretchFollowsOnlyADriftThatPersists) {
    // A device taking 20 ms chunks and blocks arriving up to 8 ms late: the queue is a saw-tooth
    // that says nothing about the clock, and equal clocks must never be stretched.
    for (double drift : {0.0, 1000.0, -1000.0, 150.0}) {
        FakeOutput out;
        out.drift_ppm = drift;
        out.chunk_ms = 20;
        out.jitter_ms = 8;
        out.control.restart(out.now);
        out.run_ms(120000);
        // A drift ten times a usual crystal's may cost one underrun before it is measured.
        EXPECT_LE(out.underruns, std::abs(drift) >= 1000 ? 1 : 0) << drift;
        EXPECT_EQ(out.drops, 0) << drift;
        // Settled near the drift, never far beyond it; the queue back near its target.
        EXPECT_NEAR(out.control.ppm, drift, 150) << drift;
        EXPECT_LE(out.most_ppm, std::abs(drift) + 400) << drift;
        EXPECT_NEAR(out.control.smooth_ms, out.control.target_ms, 25) << drift;
        if (drift == 0) {
            EXPECT_EQ(out.most_ppm, 0) << "equal clocks need no stretch";
        }
    }
    // A device with a deep buffer of its own that it fills in chunks of 10-30 ms: the drift is
    // found within half a minute all the same, and the queue kept from running dry.
    for (double drift : {0.0, 1000.0, -1000.0}) {
        FakeOutput out;
        out.buffered = true;
        out.drift_ppm = drift;
        out.chunk_ms = 20;
        out.jitter_ms = 8;
        out.control.restart(out.now);
        out.run_ms(30000);
        EXPECT_NEAR(out.control.drift_ppm, drift, 150) << drift << " " << out.underruns << " " << out.drops;
        out.run_ms(90000);
        EXPECT_LE(out.underruns, drift == 0 ? 0 : 1) << drift;
        EXPECT_LE(out.drops, drift == 0 ? 0 : 4) << drift;
        EXPECT_NEAR(out.control.ppm, drift, 150) << drift;
        if (drift == 0) {
            EXPECT_EQ(out.most_ppm, 0);
        }
    }
}

TEST(EngineRules, StretcherKeepsTheSound) {
    constexpr int kBlock = 480;
    auto sine = [](double n) { return static_cast<float>(0.5 * std::sin(2 * 3.14159265358979 * 1000 * n / 48000)); };
    std::vector<float> in(2 * kBlock);
    // Ratio one: the same samples, four frames later.
    Stretcher copy;
    std::vector<float> out;
    for (int b = 0; b < 4; ++b) {
        for (int i = 0; i < kBlock; ++i) in[2 * i] = in[2 * i + 1] = sine(b * kBlock + i);
        const int n = copy.process(in.data(), kBlock, 1.0);
        ASSERT_EQ(n, kBlock);
        out.insert(out.end(), copy.output(), copy.output() + 2 * n);
    }
    for (int i = 4; i < 4 * kBlock; ++i) ASSERT_EQ(out[2 * i], sine(i - 4)) << i;

    // 0.1 % more frames, and still a clean 1 kHz tone (now 999 Hz) of the same level.
    Stretcher slow;
    long long produced = 0;
    const double ratio = 1.001;
    double err = 0, power = 0;
    for (int b = 0; b < 200; ++b) {
        for (int i = 0; i < kBlock; ++i) in[2 * i] = in[2 * i + 1] = sine(b * kBlock + i);
        const int n = slow.process(in.data(), kBlock, ratio);
        ASSERT_LE(n, kBlock + 2);
        for (int i = 0; i < n; ++i) {
            const double at = (produced + i) / ratio - 4; // the input position of this output frame
            if (at > 100) {
                const double want = sine(at);
                err += (slow.output()[2 * i] - want) * (slow.output()[2 * i] - want);
                power += want * want;
            }
        }
        produced += n;
    }
    EXPECT_NEAR(static_cast<double>(produced), 200.0 * kBlock * ratio, 3);
    EXPECT_LT(10 * std::log10(err / power), -50) << "error against the ideal stretched tone, dB";
}
