// Runs the sound engine the way the window run does (watchdog first, curve and activity handed in,
// takeover on) and reads the tap and the peaks 60 times a second like the window, for the bench
// scripts to measure from outside.
//
//   tool_engine_run LOGDIR SECONDS [--off] [--no-takeover] [--figures]
//
// Prints "routing" once the equaliser path is live; ends after SECONDS (0: until SIGTERM or
// SIGINT) with an orderly stop. With --figures it prints the output path's figures every second.
#include "audio/audio_pulse.h"
#include "core/logger.h"
#include "desktop/guard_linux.h"
#include "dsp/eq_dsp.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) {
    g_stop = true;
}

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LOGDIR SECONDS [--off] [--no-takeover] [--figures]\n", argv[0]);
        return 2;
    }
    bool active = true, takeover = true, verbose = false;
    double figures_at = 0;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--figures") == 0) verbose = true;
        if (std::strcmp(argv[i], "--off") == 0) active = false;
        if (std::strcmp(argv[i], "--no-takeover") == 0) takeover = false;
    }
    const double seconds = std::atof(argv[2]);

    guard::start();
    logger::init(argv[1], "Lumafon");
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    audio::set_curve(eq::standard_curve());
    audio::set_active(active);
    if (!audio::start(takeover)) return 1;

    std::vector<float> left(4096), right(4096);
    bool said = false;
    const double end = now_s() + seconds;
    while (!g_stop && (seconds <= 0 || now_s() < end)) {
        float rate = 0, pl = 0, pr = 0;
        unsigned long serial = 0;
        audio::tap(left.data(), right.data(), 4096, &rate, &serial, true);
        audio::take_peaks(&pl, &pr);
        if (verbose && now_s() >= figures_at) {
            figures_at = now_s() + 1;
            const audio::detail::PathFigures f = audio::detail::path_figures();
            std::printf("queue %.1f ms, cushion %.0f ms, stretch %+.0f ppm\n", f.queue_ms, f.target_ms, f.ppm);
            std::fflush(stdout);
        }
        if (!said && audio::status().active) {
            std::puts("routing");
            std::fflush(stdout);
            said = true;
        }
        const timespec frame{0, 16666667};
        nanosleep(&frame, nullptr);
    }
    audio::stop();
    guard::stop();
    logger::info("Quit");
    logger::shutdown();
    return 0;
}
