// Measures, from outside the program, how long sound takes from one source to another: it
// records both (pinned, 5 ms fragments) on one connection, stamps every sample with the time it
// was captured, finds the onsets of clicks in each and pairs them.
//
//   tool_path_latency SOURCE_IN SOURCE_OUT SECONDS
//
// Feed SOURCE_IN with short clicks at least 200 ms apart (for instance the monitor of the sink
// the program takes sound from), SOURCE_OUT being where the sound comes out. Prints one line per
// paired click ("click TIME delay_ms N", monotonic seconds) after a line "start TIME", and a
// summary line "median_ms N min_ms N max_ms N clicks N".
#include "support/onset_probe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SOURCE_IN SOURCE_OUT SECONDS\n", argv[0]);
        return 2;
    }
    const double seconds = std::atof(argv[3]);
    testsup::OnsetProbe in_probe, out_probe;
    if (!in_probe.start(argv[1]) || !out_probe.start(argv[2])) {
        std::fprintf(stderr, "cannot record (no sound server?)\n");
        return 1;
    }
    std::printf("start %.3f\n", testsup::OnsetProbe::now());
    std::fflush(stdout);
    const timespec span{static_cast<time_t>(seconds),
                        static_cast<long>((seconds - std::floor(seconds)) * 1e9)};
    nanosleep(&span, nullptr);
    in_probe.stop();
    out_probe.stop();
    const std::vector<double> in = in_probe.onsets(), out = out_probe.onsets();

    // Each click going in is matched with the first onset coming out within 500 ms after it.
    std::vector<double> delays;
    size_t j = 0;
    for (double t : in) {
        while (j < out.size() && out[j] < t - 0.005) ++j;
        if (j < out.size() && out[j] - t < 0.5) {
            delays.push_back((out[j] - t) * 1000);
            std::printf("click %.3f delay_ms %.1f\n", t, delays.back());
            ++j;
        }
    }
    if (delays.empty()) {
        std::printf("median_ms -1 min_ms -1 max_ms -1 clicks 0\n");
        return 1;
    }
    std::vector<double> sorted = delays;
    std::sort(sorted.begin(), sorted.end());
    std::printf("median_ms %.1f min_ms %.1f max_ms %.1f clicks %zu\n", sorted[sorted.size() / 2],
                sorted.front(), sorted.back(), sorted.size());
    return 0;
}
