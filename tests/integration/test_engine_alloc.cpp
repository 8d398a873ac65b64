// tsan
// The read callback runs on libpulse's event-loop thread for every block: after the first
// blocks it must not allocate. This program counts every operator new made on that thread.
#include "audio/audio_pulse.h"
#include "support/engine_checks.h"
#include "support/sound_checks.h"
#include "support/sound_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/prctl.h>

namespace {

std::atomic<long> g_audio_thread_news{0};

bool on_audio_thread() {
    char name[17] = {};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    return std::strcmp(name, "Lumaf-audio") == 0;
}

void* counted_new(std::size_t size) {
    if (on_audio_thread()) g_audio_thread_news.fetch_add(1);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) {
    return counted_new(size);
}
void* operator new[](std::size_t size) {
    return counted_new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace testsup;

TEST(EngineAllocation, ReadCallbackAllocatesNothingOnceRunning) {
    SoundServer server;
    ASSERT_TRUE(server.start()) << server.error();
    const std::string dir = make_temp_dir("lumafon-alloc");
    ASSERT_TRUE(make_sine(dir + "/tone.wav", 440, 60, 0.3));
    Child player;
    ASSERT_TRUE(start_player(player, dir + "/tone.wav"));
    engine_log_path();
    audio::set_active(true);
    ASSERT_TRUE(audio::start(true));
    ASSERT_TRUE(wait_until([] { return audio::status().active && routed_to("hw_a"); }, 10000));

    // Passes of the control loop read the server through callbacks on the same thread, and they
    // allocate; the window counts only when the server announced nothing that starts a pass.
    Child events;
    Child::Options opt;
    opt.pipe_stdout = true;
    ASSERT_TRUE(events.spawn({"pactl", "subscribe"}, opt));
    bool quiet_window = false;
    long news = -1;
    for (int attempt = 0; attempt < 5 && !quiet_window; ++attempt) {
        std::string line;
        while (events.read_line(&line, 300)) {
        }
        float l[16], r[16], rate;
        unsigned long start = 0, now = 0;
        audio::tap(l, r, 16, &rate, &start, false);
        g_audio_thread_news = 0;
        ASSERT_TRUE(wait_until(
            [&] {
                audio::tap(l, r, 16, &rate, &now, false);
                return now >= start + 200;
            },
            10000));
        news = g_audio_thread_news.load();
        quiet_window = true;
        while (events.read_line(&line, 100))
            if (line.find(" on sink #") != std::string::npos ||
                line.find(" on server") != std::string::npos ||
                line.find("'new' on sink-input") != std::string::npos)
                quiet_window = false;
    }
    ASSERT_TRUE(quiet_window) << "the server never stayed quiet for two seconds";
    EXPECT_EQ(news, 0) << "allocations on the audio thread during 200 blocks";

    audio::stop();
    events.stop();
    player.stop();
    remove_tree(dir);
}
