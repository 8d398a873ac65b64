// The engine under faults, against a private PulseAudio: two copies at once, strays of earlier
// runs, a server that stalls, signals to the whole program, a copy and its watchdog both killed,
// a server that is not there. Whatever happens, the user is left with sound on the device they
// had, as loud as they had it.
#include "audio/audio_pulse.h"
#include "support/engine_checks.h"
#include "support/sound_checks.h"
#include "support/sound_server.h"

#include <gtest/gtest.h>
#include <pulse/pulseaudio.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

using namespace testsup;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
const char* const kOwnArgs = "sink_name=lumafon rate=48000 channels=2 channel_map=front-left,front-right "
                             "sink_properties='device.description=Lumafon monitor.channel-volumes=true "
                             "device.icon_name=lumafon'";

bool routing(const EngineHost::State& s) {
    return s.state == 1 && s.active;
}

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.start()) << server_.error();
        dir_ = make_temp_dir("lumafon-faults");
        log_at_ = engine_log_size();
        tone_ = dir_ + "/tone.wav";
        ASSERT_TRUE(make_sine(tone_, 1000, 120, 0.2));
        default_wishes();
    }

    void TearDown() override {
        server_.pause(false);
        audio::stop();
        host_.quit(5000);
        other_.quit(5000);
        player_.stop();
        server_.stop();
        remove_tree(dir_);
    }

    void play() {
        ASSERT_TRUE(start_player(player_, tone_));
        ASSERT_TRUE(wait_until([] { return input_sink("paplay") != kNone; }, 5000));
    }

    std::string host_dir(const std::string& name) {
        const std::string d = dir_ + "/" + name;
        run({"mkdir", "-p", d});
        return d;
    }

    std::string log() const { return engine_log_since(log_at_); }

    SoundServer server_;
    EngineHost host_;
    EngineHost other_;
    Child player_;
    std::string dir_;
    std::string tone_;
    size_t log_at_ = 0;
};

} // namespace

TEST_F(Faults, TwoCopiesStartedAtOnceOneRoutes) {
    play();
    for (int attempt = 0; attempt < 4; ++attempt) {
        EngineHost a, b;
        ASSERT_TRUE(a.launch(host_dir("a" + std::to_string(attempt))) &&
                    b.launch(host_dir("b" + std::to_string(attempt))));
        ASSERT_TRUE(a.begin() && b.begin()); // at the same moment
        ASSERT_TRUE(a.started() && b.started());
        ASSERT_TRUE(wait_until(
            [&] {
                const EngineHost::State sa = a.state(), sb = b.state();
                return (routing(sa) && sb.state == 3) || (routing(sb) && sa.state == 3);
            },
            10000))
            << a.log() << b.log();
        ASSERT_TRUE(wait_until([] { return routed_to("hw_a"); }, 5000));
        // Held for a while: one sink, one playback, the other copy quiet.
        EXPECT_FALSE(wait_until([] { return own_sinks().size() != 1 || inputs_of("Lumafon").size() != 1; }, 1000,
                                100))
            << "attempt " << attempt << ": " << own_sinks().size() << " sinks, " << inputs_of("Lumafon").size()
            << " playbacks";
        ASSERT_TRUE(a.quit());
        ASSERT_TRUE(b.quit());
        EXPECT_TRUE(wait_until([] { return given_back_to("hw_a") && own_sinks().empty(); }, 3000))
            << "attempt " << attempt << ": default " << default_sink() << ", " << own_sinks().size()
            << " sinks left";
    }
}

TEST_F(Faults, StraySinksAreRemovedAndNeverFollowed) {
    // A second load of an earlier race, renamed by the server, holding the default and a player.
    ASSERT_EQ(pactl({"load-module", "module-null-sink", kOwnArgs}).status, 0);
    ASSERT_EQ(pactl({"load-module", "module-null-sink", kOwnArgs}).status, 0);
    ASSERT_TRUE(server_.unload_sink("lumafon"));
    ASSERT_NE(sink_index("lumafon.2"), kNone);
    ASSERT_EQ(pactl({"set-default-sink", "lumafon.2"}).status, 0);
    play();

    ASSERT_TRUE(audio::start(true));
    ASSERT_TRUE(wait_until([] { return routed_to("hw_a") && own_sinks().size() == 1; }, 10000)) << log();
    EXPECT_NE(log().find("Stray sink lumafon.2 of another run removed"), std::string::npos) << log();
    EXPECT_EQ(audio::devices().size(), 2u);

    // Unplugged device: the engine follows the other real one, never one of ours.
    ASSERT_TRUE(server_.unload_sink("hw_a"));
    ASSERT_TRUE(wait_status([](const audio::Status& s) { return s.active && s.follow == "hw_b"; })) << log();
    audio::stop();
    EXPECT_TRUE(given_back_to("hw_b"));
    EXPECT_TRUE(own_sinks().empty());
}

TEST_F(Faults, ServerStallDuringAPassChangesNothing) {
    play();
    ASSERT_TRUE(audio::start(true));
    ASSERT_TRUE(wait_until([] { return audio::status().active && routed_to("hw_a"); }, 10000)) << log();
    const uint32_t sink = sink_index("lumafon");

    // A stall longer than two requests' time limits, in the middle of a pass.
    server_.pause(true);
    audio::set_output("hw_b");
    wait_until([] { return false; }, 10500, 10500);
    server_.pause(false);
    audio::set_output("");
    ASSERT_TRUE(wait_until(
        [] { return audio::status().active && audio::status().follow == "hw_a" && routed_to("hw_a"); }, 15000))
        << log();
    EXPECT_EQ(sink_index("lumafon"), sink) << "the sink was rebuilt";
    EXPECT_EQ(log().find("Virtual sink removed"), std::string::npos) << log();
    EXPECT_NE(log().find("Sound server not answering"), std::string::npos);
}

TEST_F(Faults, QuitDuringAStallLeavesTheRestToTheWatchdog) {
    play();
    ASSERT_TRUE(host_.start(host_dir("host")));
    ASSERT_TRUE(host_.wait_state(routing));
    ASSERT_TRUE(wait_until([] { return routed_to("hw_a"); }, 5000));
    server_.pause(true);
    const long long asked = now_ms();
    ASSERT_TRUE(host_.send("quit"));
    const bool ended = host_.wait_end(8000);
    RecordProperty("quit_ms", static_cast<int>(now_ms() - asked));
    server_.pause(false);
    ASSERT_TRUE(ended) << "quit did not end within 8 s";
    EXPECT_TRUE(wait_until([] { return given_back_to("hw_a"); }, 15000))
        << "default " << default_sink() << ", player on " << input_sink("paplay") << "\n"
        << host_.log();
}

TEST_F(Faults, WatchdogOutlivesSignalsToTheWholeProgram) {
    play();
    for (int sig : {SIGTERM, SIGQUIT}) {
        EngineHost h;
        ASSERT_TRUE(h.start(host_dir("sig" + std::to_string(sig)), {"active 1"}, true, true));
        ASSERT_TRUE(h.wait_state(routing));
        ASSERT_TRUE(wait_until([] { return routed_to("hw_a"); }, 5000));
        h.signal(sig); // the whole process group, as a terminal or a service manager does
        ASSERT_TRUE(h.wait_end(5000));
        EXPECT_TRUE(wait_until([] { return given_back_to("hw_a"); }, 5000))
            << "signal " << sig << ": default " << default_sink();
    }
}

TEST_F(Faults, CopyAndWatchdogKilledTheNextStartRepairs) {
    ASSERT_EQ(pactl({"set-default-sink", "hw_b"}).status, 0);
    ASSERT_EQ(pactl({"set-sink-volume", "hw_b", "40%"}).status, 0);
    play();
    ASSERT_TRUE(host_.start(host_dir("host")));
    ASSERT_TRUE(host_.wait_state(routing));
    ASSERT_TRUE(wait_until([] { return routed_to("hw_b"); }, 5000));
    ASSERT_TRUE(wait_until([] { return volume_percent("lumafon") == 40; }, 5000));
    const pid_t watchdog = host_.watchdog_pid();
    ASSERT_GT(watchdog, 0);
    kill(watchdog, SIGKILL);
    host_.kill_hard();
    EXPECT_EQ(default_sink(), "lumafon");

    // A fresh start without a remembered device follows the one the dead copy followed, and
    // the user's volume survives into the end.
    ASSERT_TRUE(audio::start(true));
    ASSERT_TRUE(wait_until([] { return audio::status().active && routed_to("hw_b"); }, 10000)) << log();
    EXPECT_EQ(audio::status().follow, "hw_b");
    audio::stop();
    EXPECT_TRUE(given_back_to("hw_b"));
    EXPECT_EQ(volume_percent("hw_b"), 40);
}

TEST_F(Faults, WatchdogRestoresTheDeviceAQuitWould) {
    ASSERT_EQ(pactl({"set-default-sink", "hw_b"}).status, 0);
    play();
    ASSERT_TRUE(host_.start(host_dir("host"), {"active 1", "output hw_a"}));
    ASSERT_TRUE(host_.wait_state([](const EngineHost::State& s) { return routing(s) && s.output == "hw_a"; }));
    ASSERT_TRUE(wait_until([] { return routed_to("hw_a"); }, 5000));
    host_.kill_hard();
    EXPECT_TRUE(wait_until([] { return given_back_to("hw_b"); }, 3000)) << "default " << default_sink();
}

TEST_F(Faults, PassiveCopyMarksTheDeviceTheOtherFollows) {
    ASSERT_EQ(pactl({"set-default-sink", "hw_b"}).status, 0);
    play();
    ASSERT_TRUE(host_.start(host_dir("host")));
    ASSERT_TRUE(host_.wait_state([](const EngineHost::State& s) { return routing(s) && s.follow == "hw_b"; }));
    ASSERT_TRUE(wait_until([] { return routed_to("hw_b"); }, 5000));
    ASSERT_TRUE(audio::start(true));
    ASSERT_TRUE(wait_status([](const audio::Status& s) { return s.state == 3; }));
    EXPECT_TRUE(wait_status([](const audio::Status& s) { return s.follow == "hw_b"; }, 3000))
        << audio::status().follow;
    // The passive copy's watchdog has nothing to guard: killing it leaves the other's routing.
    audio::stop();
    EXPECT_TRUE(routed_to("hw_b"));
}

TEST_F(Faults, WithoutAServerFewAttempts) {
    // A socket that takes connections and drops them: every attempt of the engine is counted.
    const std::string path = dir_ + "/fake-server";
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 64), 0);
    const std::string saved = getenv("PULSE_SERVER") ? getenv("PULSE_SERVER") : "";
    setenv("PULSE_SERVER", ("unix:" + path).c_str(), 1);

    ASSERT_TRUE(audio::start(true));
    int attempts = 0;
    const long long end = now_ms() + 4000;
    while (now_ms() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            const int c = accept(fd, nullptr, nullptr);
            if (c >= 0) {
                ++attempts;
                close(c);
            }
        }
    }
    EXPECT_EQ(audio::status().state, 2);
    audio::stop();
    setenv("PULSE_SERVER", saved.c_str(), 1);
    close(fd);
    RecordProperty("attempts_in_4s", attempts);
    EXPECT_GE(attempts, 2);
    EXPECT_LE(attempts, 14) << "connection attempts in 4 s";
    EXPECT_EQ(count_of(log(), "No sound server reachable"), 1);
}

TEST_F(Faults, ASlowLogNeverStallsTheSound) {
    // The host's log is a pipe that nobody empties: every line the engine writes waits, as on a
    // disk that has stalled.
    const std::string dir = host_dir("host");
    const std::string fifo = dir + "/Lumafon.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    fcntl(reader, F_SETPIPE_SZ, 4096);
    auto drain = [reader] {
        char buf[4096];
        while (read(reader, buf, sizeof buf) > 0) {
        }
    };
    play();
    ASSERT_TRUE(host_.start(dir));
    ASSERT_TRUE(host_.wait_state(routing));
    ASSERT_TRUE(wait_until([] { return routed_to("hw_a"); }, 5000));
    drain();
    const int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    const std::string junk(256, 'x');
    while (write(filler, junk.data(), junk.size()) > 0) {
    }

    Recording rec;
    ASSERT_TRUE(rec.start("hw_a.monitor", dir_ + "/heard.f32"));
    ASSERT_TRUE(rec.wait_seconds(0.5));
    const double from = rec.seconds();
    ASSERT_TRUE(host_.send("mute 0")); // a pass that writes a line ("Unmuted")
    ASSERT_TRUE(rec.wait_seconds(from + 2.0));
    rec.stop();
    drain();
    close(filler);
    const std::vector<float> heard = rec.samples();
    int silent_windows = 0;
    for (size_t at = static_cast<size_t>(from * 48000); at + 2400 <= heard.size() / 2; at += 2400)
        if (rms_db(heard.data() + 2 * at, 2400) < -40) ++silent_windows;
    RecordProperty("silent_50ms_windows", silent_windows);
    EXPECT_EQ(silent_windows, 0) << "the sound stopped while the log was stalled";
    drain();
    close(reader);
}

namespace {

// Fills a sink with corked streams of a client of its own until the server takes no more: a
// device that refuses every new stream.
class Crowd {
  public:
    explicit Crowd(const std::string& sink) {
        ml_ = pa_threaded_mainloop_new();
        pa_threaded_mainloop_start(ml_);
        pa_threaded_mainloop_lock(ml_);
        ctx_ = pa_context_new(pa_threaded_mainloop_get_api(ml_), "crowd");
        pa_context_connect(ctx_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
        pa_threaded_mainloop_unlock(ml_);
        wait([this] { return pa_context_get_state(ctx_) == PA_CONTEXT_READY; });
        const pa_sample_spec ss{PA_SAMPLE_S16LE, 8000, 1};
        for (int i = 0; i < 400; ++i) {
            pa_threaded_mainloop_lock(ml_);
            pa_stream* s = pa_stream_new(ctx_, "crowd", &ss, nullptr);
            pa_stream_connect_playback(s, sink.c_str(), nullptr, PA_STREAM_START_CORKED, nullptr, nullptr);
            pa_threaded_mainloop_unlock(ml_);
            streams_.push_back(s);
            wait([s] { return pa_stream_get_state(s) != PA_STREAM_CREATING; });
            pa_threaded_mainloop_lock(ml_);
            const bool refused = pa_stream_get_state(s) != PA_STREAM_READY;
            pa_threaded_mainloop_unlock(ml_);
            if (refused) {
                full_ = true;
                break;
            }
        }
    }
    ~Crowd() {
        pa_threaded_mainloop_lock(ml_);
        for (pa_stream* s : streams_) {
            pa_stream_disconnect(s);
            pa_stream_unref(s);
        }
        pa_context_disconnect(ctx_);
        pa_context_unref(ctx_);
        pa_threaded_mainloop_unlock(ml_);
        pa_threaded_mainloop_stop(ml_);
        pa_threaded_mainloop_free(ml_);
    }
    bool full() const { return full_; }

  private:
    template <class Cond> void wait(Cond cond) {
        wait_until(
            [&] {
                pa_threaded_mainloop_lock(ml_);
                const bool ok = cond();
                pa_threaded_mainloop_unlock(ml_);
                return ok;
            },
            5000, 2);
    }
    pa_threaded_mainloop* ml_ = nullptr;
    pa_context* ctx_ = nullptr;
    std::vector<pa_stream*> streams_;
    bool full_ = false;
};

} // namespace

TEST_F(Faults, ADeviceThatRefusesStreamsIsRetriedCalmly) {
    play();
    ASSERT_TRUE(audio::start(true));
    ASSERT_TRUE(wait_until([] { return audio::status().active && routed_to("hw_a"); }, 10000)) << log();
    Crowd crowd("hw_b");
    ASSERT_TRUE(crowd.full()) << "the server took every stream";
    const size_t from = engine_log_size();
    const uint64_t passes_before = audio::detail::pass_count();
    audio::set_output("hw_b");
    wait_until([] { return false; }, 4000, 4000);
    const std::string said = engine_log_since(from);
    const int warnings = count_of(said, "Cannot play to hw_b");
    const uint64_t passes = audio::detail::pass_count() - passes_before;
    RecordProperty("warnings_in_4s", warnings);
    RecordProperty("passes_in_4s", static_cast<int>(passes));
    EXPECT_LE(passes, 10u);
    EXPECT_LE(warnings, 1) << said;
    EXPECT_GE(warnings, 1) << said;
}
