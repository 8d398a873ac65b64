// tsan
// The engine in this process against a private sound server: taking over, equalising, giving
// back, and following what the user and the server do meanwhile.
#include "audio/audio_pulse.h"
#include "desktop/crash_handler_linux.h"
#include "support/engine_checks.h"
#include "support/sound_checks.h"
#include "support/sound_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace testsup;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
const char* const kSinkArgs = "sink_name=lumafon rate=48000 channels=2 channel_map=front-left,front-right "
                              "sink_properties='device.description=Lumafon monitor.channel-volumes=true "
                              "device.icon_name=lumafon'";

eq::Curve boost_1k(float db) {
    eq::Curve c;
    c.band[5] = db;
    return c;
}

// How long the engine may take to follow a change of the server's: generous, since a sanitizer
// build on a busy machine (and WirePlumber beside it) is many times slower than a desktop.
constexpr int kWaitMs = 10000;

bool state_active(const audio::Status& s) {
    return s.state == 1 && s.active;
}

// Level of the newest `frames` frames of the tap; `serial` receives its block count.
double tap_level(int frames, unsigned long* serial = nullptr) {
    std::vector<float> left(frames), right(frames), both;
    float rate = 0;
    unsigned long blocks = 0;
    if (!audio::tap(left.data(), right.data(), frames, &rate, &blocks, false)) return -999;
    if (serial) *serial = blocks;
    for (int i = 0; i < frames; ++i) both.insert(both.end(), {left[i], right[i]});
    return rms_db(both.data(), static_cast<size_t>(frames));
}

// Every case runs against PulseAudio and against PipeWire's pulse server (where PipeWire starts).
class Routing : public ::testing::TestWithParam<SoundServer::Kind> {
  protected:
    Routing() : server_(GetParam()) {}

    void SetUp() override {
        if (!server_.start()) {
            if (GetParam() == SoundServer::Kind::pipewire) GTEST_SKIP() << "PipeWire does not start here";
            FAIL() << server_.error();
        }
        dir_ = make_temp_dir("lumafon-routing");
        log_at_ = engine_log_size();
        default_wishes();
        tone_ = dir_ + "/tone.wav";
        ASSERT_TRUE(make_sine(tone_, 1000, 60, 0.2));
    }

    void TearDown() override {
        audio::stop();
        recording_.stop();
        player_.stop();
        other_player_.stop();
        server_.stop();
        remove_tree(dir_);
    }

    // Plays the tone to the default sink and waits until the server has its stream.
    void play_tone() {
        ASSERT_TRUE(start_player(player_, tone_));
        ASSERT_TRUE(wait_until([] { return input_sink("paplay") != kNone; }, 5000));
    }

    void start_routed() {
        ASSERT_TRUE(audio::start(true));
        ASSERT_TRUE(wait_status(state_active)) << engine_log_since(log_at_);
        ASSERT_TRUE(wait_until([] { return routed_to("hw_a"); }, kWaitMs)) << engine_log_since(log_at_);
    }

    // The tone's level at the device: the median of 50 ms windows from 0.3 s to 1.3 s of a
    // recording. These cases measure gains; a gap in the sound, which a busy machine may cost,
    // would read as a lower level over the whole second (90 ms of it as 0.4 dB).
    double device_level(const std::string& sink = "hw_a") {
        const std::string path = dir_ + "/rec" + std::to_string(++recordings_) + ".f32";
        Recording rec;
        EXPECT_TRUE(rec.start(sink + ".monitor", path));
        EXPECT_TRUE(rec.wait_seconds(1.3));
        rec.stop();
        constexpr size_t kWindow = 2400, kFrom = 48000 * 3 / 10, kTo = 48000 * 13 / 10;
        const std::vector<float> s = rec.samples();
        std::vector<double> levels;
        for (size_t at = kFrom; at + kWindow <= std::min(kTo, s.size() / 2); at += kWindow)
            levels.push_back(rms_db(s.data() + 2 * at, kWindow));
        if (levels.empty()) return -999;
        std::nth_element(levels.begin(), levels.begin() + long(levels.size() / 2), levels.end());
        return levels[levels.size() / 2];
    }

    std::string log() const { return engine_log_since(log_at_); }

    SoundServer server_;
    std::string dir_;
    std::string tone_;
    size_t log_at_ = 0;
    Child player_;
    Child other_player_;
    Recording recording_;
    int recordings_ = 0;
};

} // namespace

TEST_P(Routing, StartTakesOverTheDefaultDevice) {
    // A sibling's sink is never offered as an output.
    ASSERT_EQ(pactl({"load-module", "module-null-sink", "sink_name=tessamorlo"}).status, 0);
    play_tone();
    start_routed();

    const std::vector<PaObject> modules = pa_list("modules");
    const auto own_module = std::find_if(modules.begin(), modules.end(), [](const PaObject& m) {
        return m.field("Name") == "module-null-sink" && m.field("Argument").find("sink_name=lumafon") == 0;
    });
    ASSERT_NE(own_module, modules.end());
    EXPECT_EQ(own_module->field("Argument"), kSinkArgs);

    const std::vector<PaObject> outputs = outputs_of("Lumafon");
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0].number("Source"), monitor_of("lumafon"));
    EXPECT_EQ(outputs[0].prop("media.name"), "record");
    const std::vector<PaObject> inputs = inputs_of("Lumafon");
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_EQ(inputs[0].number("Sink"), sink_index("hw_a"));
    EXPECT_EQ(inputs[0].prop("media.name"), "playback");
    for (const PaObject& s : {outputs[0], inputs[0]}) {
        EXPECT_EQ(s.prop("application.id"), "app.orvendal.Lumafon");
        EXPECT_EQ(s.prop("application.icon_name"), "lumafon");
    }
    EXPECT_EQ(input_sink("paplay"), sink_index("lumafon"));

    const audio::Status st = audio::status();
    EXPECT_EQ(st.output, "hw_a");
    EXPECT_EQ(st.output_label, "Fake HW A");
    EXPECT_EQ(st.follow, "hw_a");
    EXPECT_FALSE(st.output_missing);
    EXPECT_FALSE(st.muted);
    EXPECT_FALSE(st.select_output);
    const std::vector<audio::Device> devices = audio::devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].name, "hw_a");
    EXPECT_EQ(devices[0].label, "Fake HW A");
    EXPECT_EQ(devices[1].name, "hw_b");
    EXPECT_EQ(devices[1].label, "Fake HW B");
    EXPECT_NE(log().find("Virtual sink loaded (module " + std::to_string(own_module->index) + ")"),
              std::string::npos);

    // The hardware summary for crash reports describes the server and every output.
    ASSERT_TRUE(wait_until(
        [] {
            const std::vector<std::string> lines = crash_handler::audio_lines();
            return std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
                return l.rfind("Output lumafon [default]: ", 0) == 0;
            });
        },
        3000));
    const std::vector<std::string> lines = crash_handler::audio_lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("Sound server: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(", libpulse "), std::string::npos) << lines[0];
    EXPECT_TRUE(std::count(lines.begin(), lines.end(), "Output hw_b: Fake HW B, s16le 2ch 44100Hz") == 1 ||
                server_.kind() == SoundServer::Kind::pipewire);
}

TEST_P(Routing, EqualisesThroughTheServer) {
    play_tone();
    start_routed();
    const double flat = device_level();
    EXPECT_NEAR(flat, -16.99, 0.3); // 0.2 amplitude: -13.98 dBFS peak, -16.99 dBFS RMS

    // A curve handed in while playing reaches the tap within a few blocks.
    unsigned long changed_at = 0;
    EXPECT_NEAR(tap_level(480, &changed_at), -16.99, 0.5);
    audio::set_curve(boost_1k(6));
    bool boosted = false;
    ASSERT_TRUE(wait_until(
        [&] {
            unsigned long now = 0;
            boosted = std::fabs(tap_level(240, &now) - (-16.99 + 6)) < 0.5;
            return boosted || now > changed_at + 40;
        },
        5000, 1));
    EXPECT_TRUE(boosted) << "the new curve did not reach the tap within a few blocks";

    const double boost = device_level();
    RecordProperty("flat_db", std::to_string(flat));
    RecordProperty("boost_db", std::to_string(boost));
    EXPECT_NEAR(boost - flat, 6.0, 0.3);

    // Equaliser off: the sound goes straight to the device again, and the display still gets it.
    audio::set_active(false);
    ASSERT_TRUE(wait_until([] { return given_back_to("hw_a"); }, kWaitMs)) << log();
    ASSERT_TRUE(wait_status([](const audio::Status& s) { return s.state == 1 && !s.active; }));
    ASSERT_TRUE(wait_until([] { return record_source() == monitor_of("hw_a"); }, kWaitMs));
    EXPECT_EQ(outputs_of("Lumafon")[0].prop("media.name"), "record");
    EXPECT_TRUE(inputs_of("Lumafon").empty());
    EXPECT_NEAR(device_level(), flat, 0.3);
    unsigned long serial = 0;
    tap_level(240, &serial);
    ASSERT_TRUE(wait_until(
        [&] {
            unsigned long now = 0;
            tap_level(240, &now);
            return now > serial + 10;
        },
        3000));
    EXPECT_NEAR(tap_level(240), -16.99, 0.5); // the raw sound, not equalised
}

TEST_P(Routing, QuitGivesEverythingBack) {
    play_tone();
    start_routed();
    audio::stop();
    EXPECT_TRUE(given_back_to("hw_a"));
    EXPECT_TRUE(inputs_of("Lumafon").empty());
    EXPECT_TRUE(outputs_of("Lumafon").empty());
    for (const PaObject& m : pa_list("modules"))
        EXPECT_EQ(m.field("Argument").find("sink_name=lumafon"), std::string::npos);
    EXPECT_NE(log().find("Virtual sink removed (module "), std::string::npos);
    audio::stop(); // a second stop does nothing
}

TEST_P(Routing, ChosenOutputUnpluggedAndBack) {
    play_tone();
    audio::set_output("hw_b");
    ASSERT_TRUE(audio::start(true));
    ASSERT_TRUE(wait_status([](const audio::Status& s) { return state_active(s) && s.output == "hw_b"; }));
    ASSERT_TRUE(wait_until([] { return routed_to("hw_b"); }, kWaitMs));
    EXPECT_EQ(audio::status().output_label, "Fake HW B");
    EXPECT_EQ(audio::status().follow, "hw_a");

    ASSERT_TRUE(server_.unload_sink("hw_b"));
    ASSERT_TRUE(wait_status([](const audio::Status& s) {
        return state_active(s) && s.output == "hw_a" && s.output_missing;
    })) << log();
    ASSERT_TRUE(wait_until([] { return routed_to("hw_a"); }, kWaitMs));
    EXPECT_NEAR(device_level("hw_a"), -16.99, 0.5);

    ASSERT_TRUE(server_.load_fake("hw_b"));
    ASSERT_TRUE(wait_status([](const audio::Status& s) {
        return state_active(s) && s.output == "hw_b" && !s.output_missing;
    })) << log();
    ASSERT_TRUE(wait_until([] { return routed_to("hw_b"); }, kWaitMs));
    EXPECT_NEAR(device_level("hw_b"), -16.99, 0.5);
}

TEST_P(Routing, FollowsTheUsersNewDefault) {
    play_tone();
    start_routed();
    ASSERT_TRUE(start_player(other_player_, tone_));
    ASSERT_TRUE(wait_until([] { return inputs_of("paplay").size() == 2; }, 5000));

    ASSERT_EQ(pactl({"set-default-sink", "hw_b"}).status, 0);
    ASSERT_TRUE(wait_status([](const audio::Status& s) { return state_active(s) && s.follow == "hw_b"; }))
        << log();
    const uint32_t own = sink_index("lumafon");
    ASSERT_TRUE(wait_until(
        [own] {
            const std::vector<PaObject> players = inputs_of("paplay");
            return default_sink() == "lumafon" && playback_sink() == sink_index("hw_b") &&
                   players.size() == 2 && players[0].number("Sink") == own &&
                   players[1].number("Sink") == own;
        },
        kWaitMs))
        << log();
    EXPECT_EQ(audio::status().output, "hw_b");
}

TEST_P(Routing, SoundServerRestart) {
    play_tone();
    start_routed();
    server_.stop();
    ASSERT_TRUE(wait_status([](const audio::Status& s) { return s.state == 2 && !s.active; })) << log();
    // The server stays away for half a second: many attempts to reconnect, one warning.
    wait_until([] { return false; }, 500, 500);
    ASSERT_TRUE(server_.start()) << server_.error();
    const long long back = now_ms();
    ASSERT_TRUE(wait_until(
        [] {
            return state_active(audio::status()) && default_sink() == "lumafon" &&
                   playback_sink() == sink_index("hw_a") && record_source() == monitor_of("lumafon");
        },
        3000))
        << log();
    RecordProperty("rebuilt_ms", static_cast<int>(now_ms() - back));
    EXPECT_EQ(count_of(log(), "No sound server reachable"), 1) << log();
    EXPECT_EQ(count_of(log(), "Sound server connected"), 2);
    // A player that starts now is gathered into the rebuilt path.
    player_.stop();
    play_tone();
    EXPECT_TRUE(wait_until([] { return routed_to("hw_a"); }, kWaitMs));
}

TEST_P(Routing, Mute) {
    play_tone();
    start_routed();
    audio::set_mute(true);
    EXPECT_TRUE(audio::status().muted); // at once, before the server confirms
    ASSERT_TRUE(
        wait_until([] { return find_named(pa_list("sinks"), "hw_a")->field("Mute") == "yes"; }, 5000));
    ASSERT_TRUE(wait_until([this] { return log().find("INFO  Muted") != std::string::npos; }, 3000)) << log();

    audio::set_mute(false);
    EXPECT_FALSE(audio::status().muted);
    ASSERT_TRUE(wait_until([] { return find_named(pa_list("sinks"), "hw_a")->field("Mute") == "no"; }, 5000));
    ASSERT_TRUE(wait_until([this] { return log().find("INFO  Unmuted") != std::string::npos; }, 3000)) << log();

    // Muting our sink from the system mixer counts while routing.
    ASSERT_EQ(pactl({"set-sink-mute", "lumafon", "1"}).status, 0);
    EXPECT_TRUE(wait_status([](const audio::Status& s) { return s.muted; }));
    audio::set_mute(false);
    EXPECT_TRUE(
        wait_until([] { return find_named(pa_list("sinks"), "lumafon")->field("Mute") == "no"; }, 5000));
}

TEST_P(Routing, TheUsersVolumeNeverJumps) {
    ASSERT_EQ(pactl({"set-sink-volume", "hw_a", "30%"}).status, 0);
    play_tone();
    const double before = device_level();
    start_routed();
    // The desktop's volume controls act on the default sink, ours: the user's volume is there now.
    ASSERT_TRUE(wait_until([] { return volume_percent("lumafon") == 30 && volume_percent("hw_a") == 100; }, kWaitMs))
        << volume_percent("lumafon") << " " << volume_percent("hw_a") << "\n" << log();
    const double routed = device_level();
    EXPECT_NEAR(routed, before, 0.5) << log();

    ASSERT_EQ(pactl({"set-sink-volume", "@DEFAULT_SINK@", "50%"}).status, 0);
    const double turned_up = device_level();
    EXPECT_NEAR(turned_up - routed, 60 * std::log10(50.0 / 30.0), 0.7); // cubic volume curve
    audio::stop();
    EXPECT_TRUE(given_back_to("hw_a"));
    EXPECT_EQ(volume_percent("hw_a"), 50);
    const double after = device_level();
    RecordProperty("levels", std::to_string(before) + " " + std::to_string(routed) + " " +
                                 std::to_string(turned_up) + " " + std::to_string(after));
    EXPECT_NEAR(after, turned_up, 0.5);
}

TEST_P(Routing, FollowsADeviceThatComesBack) {
    play_tone();
    start_routed();
    ASSERT_TRUE(server_.unload_sink("hw_a"));
    ASSERT_TRUE(wait_until([] { return audio::status().active && routed_to("hw_b"); }, kWaitMs)) << log();
    ASSERT_TRUE(server_.load_fake("hw_a"));
    ASSERT_TRUE(wait_until([] { return audio::status().follow == "hw_a" && routed_to("hw_a"); }, kWaitMs)) << log();

    // Our sink unloaded by hand: whatever the server falls back to is no choice of the user's.
    ASSERT_EQ(pactl({"set-default-sink", "hw_b"}).status, 0);
    ASSERT_TRUE(wait_until([] { return audio::status().follow == "hw_b" && routed_to("hw_b"); }, kWaitMs)) << log();
    ASSERT_TRUE(server_.unload_sink("lumafon"));
    ASSERT_TRUE(wait_until([] { return audio::status().active && routed_to("hw_b"); }, kWaitMs)) << log();
    EXPECT_EQ(audio::status().follow, "hw_b");
    audio::stop();
    EXPECT_TRUE(given_back_to("hw_b"));
}

TEST_P(Routing, QuickChangesOfTheDefaultEndOnTheLastOne) {
    play_tone();
    start_routed();
    ASSERT_EQ(pactl({"set-default-sink", "hw_b"}).status, 0);
    wait_until([] { return false; }, 300, 300);
    ASSERT_EQ(pactl({"set-default-sink", "hw_a"}).status, 0);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(pactl({"set-default-sink", "hw_b"}).status, 0);
        ASSERT_EQ(pactl({"set-default-sink", "hw_a"}).status, 0);
    }
    EXPECT_TRUE(wait_until([] { return audio::status().follow == "hw_a" && routed_to("hw_a"); }, kWaitMs)) << log();
    // And it stays there.
    EXPECT_FALSE(wait_until([] { return audio::status().follow != "hw_a"; }, 1500, 50));
    audio::stop();
    EXPECT_TRUE(given_back_to("hw_a"));
}

TEST_P(Routing, StreamsThatAskedForADeviceStayThere) {
    play_tone();
    start_routed();
    ASSERT_TRUE(start_player(other_player_, tone_, "hw_b"));
    // Seen by the engine on hw_b while hw_b is not the default.
    ASSERT_TRUE(wait_until([] { return inputs_of("paplay").size() == 2; }, 5000));
    wait_until([] { return false; }, 500, 500);
    auto other_on = [](const std::string& sink) {
        return [sink] {
            for (const PaObject& p : inputs_of("paplay"))
                if (p.number("Sink") == sink_index(sink)) return true;
            return false;
        };
    };
    ASSERT_TRUE(other_on("hw_b")()) << log();
    ASSERT_EQ(pactl({"set-default-sink", "hw_b"}).status, 0);
    ASSERT_TRUE(wait_until([] { return audio::status().follow == "hw_b" && playback_sink() == sink_index("hw_b"); },
                           kWaitMs));
    ASSERT_EQ(pactl({"set-default-sink", "hw_a"}).status, 0);
    ASSERT_TRUE(wait_until([] { return audio::status().follow == "hw_a" && routed_to("hw_a"); }, kWaitMs));
    // WirePlumber may move it along with the default after the engine's pass; it goes back, and
    // stays there.
    EXPECT_TRUE(wait_until(other_on("hw_b"), kWaitMs)) << "the stream that asked for hw_b was taken\n" << log();
    EXPECT_FALSE(wait_until([&] { return !other_on("hw_b")(); }, 1000, 50)) << log();
}

TEST_P(Routing, OwnSinkSuspendedByHandIsResumed) {
    // PipeWire's pulse server keeps a sink that has streams running whatever is asked.
    if (GetParam() == SoundServer::Kind::pipewire) GTEST_SKIP() << "suspending by hand is a PulseAudio matter";
    play_tone();
    start_routed();
    ASSERT_EQ(pactl({"suspend-sink", "lumafon", "1"}).status, 0);
    EXPECT_TRUE(wait_until([] { return find_named(pa_list("sinks"), "lumafon")->field("State") != "SUSPENDED"; },
                           5000))
        << log();
    EXPECT_NEAR(device_level(), -16.99, 0.5);
}

INSTANTIATE_TEST_SUITE_P(Servers, Routing,
                         ::testing::Values(SoundServer::Kind::pulseaudio, SoundServer::Kind::pipewire),
                         [](const ::testing::TestParamInfo<SoundServer::Kind>& param) {
                             return param.param == SoundServer::Kind::pipewire ? "PipeWire" : "PulseAudio";
                         });
