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
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

struct Probe {
    const char* source = nullptr;
    pa_stream* stream = nullptr;
    uint64_t quiet_frames = 0;
    std::vector<double> onsets; // seconds on the monotonic clock
};

pa_threaded_mainloop* g_ml = nullptr;

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void on_read(pa_stream* s, size_t, void* userdata) {
    auto* p = static_cast<Probe*>(userdata);
    while (pa_stream_readable_size(s) > 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) return;
        if (data) {
            // The first sample of this chunk was captured `latency` ago.
            pa_usec_t latency = 0;
            int negative = 0;
            const double now = now_s();
            const bool timed = pa_stream_get_latency(s, &latency, &negative) == 0;
            const double first =
                now - (timed ? (negative ? -1.0 : 1.0) * static_cast<double>(latency) * 1e-6 : 0);
            const float* x = static_cast<const float*>(data);
            const size_t frames = bytes / 8;
            for (size_t i = 0; i < frames; ++i) {
                const float m = std::max(std::fabs(x[2 * i]), std::fabs(x[2 * i + 1]));
                if (m > 0.1f) {
                    if (p->quiet_frames > 48000 / 10 && timed)
                        p->onsets.push_back(first + static_cast<double>(i) / 48000);
                    p->quiet_frames = 0;
                } else {
                    ++p->quiet_frames;
                }
            }
        }
        pa_stream_drop(s);
    }
}

void on_state(pa_context*, void*) {
    pa_threaded_mainloop_signal(g_ml, 0);
}
void on_stream_state(pa_stream*, void*) {
    pa_threaded_mainloop_signal(g_ml, 0);
}

bool open_probe(pa_context* ctx, Probe& p) {
    pa_sample_spec ss{PA_SAMPLE_FLOAT32LE, 48000, 2};
    p.stream = pa_stream_new(ctx, "latency probe", &ss, nullptr);
    if (!p.stream) return false;
    pa_stream_set_read_callback(p.stream, on_read, &p);
    pa_stream_set_state_callback(p.stream, on_stream_state, nullptr);
    pa_buffer_attr attr{};
    attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = 0xFFFFFFFFu;
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(5000, &ss));
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                       PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_record(p.stream, p.source, &attr, flags) < 0) return false;
    while (pa_stream_get_state(p.stream) == PA_STREAM_CREATING) pa_threaded_mainloop_wait(g_ml);
    return pa_stream_get_state(p.stream) == PA_STREAM_READY;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SOURCE_IN SOURCE_OUT SECONDS\n", argv[0]);
        return 2;
    }
    Probe in, out;
    in.source = argv[1];
    out.source = argv[2];
    const double seconds = std::atof(argv[3]);

    g_ml = pa_threaded_mainloop_new();
    pa_threaded_mainloop_start(g_ml);
    pa_threaded_mainloop_lock(g_ml);
    pa_context* ctx = pa_context_new(pa_threaded_mainloop_get_api(g_ml), "path latency probe");
    pa_context_set_state_callback(ctx, on_state, nullptr);
    pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    for (;;) {
        const pa_context_state_t st = pa_context_get_state(ctx);
        if (st == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(st)) {
            std::fprintf(stderr, "no sound server\n");
            return 1;
        }
        pa_threaded_mainloop_wait(g_ml);
    }
    if (!open_probe(ctx, in) || !open_probe(ctx, out)) {
        std::fprintf(stderr, "cannot record\n");
        return 1;
    }
    pa_threaded_mainloop_unlock(g_ml);
    std::printf("start %.3f\n", now_s());
    std::fflush(stdout);
    const timespec span{static_cast<time_t>(seconds),
                        static_cast<long>((seconds - std::floor(seconds)) * 1e9)};
    nanosleep(&span, nullptr);
    pa_threaded_mainloop_lock(g_ml);
    pa_stream_disconnect(in.stream);
    pa_stream_disconnect(out.stream);
    pa_threaded_mainloop_unlock(g_ml);
    pa_threaded_mainloop_stop(g_ml);

    // Each click going in is matched with the first onset coming out within 500 ms after it.
    std::vector<double> delays;
    size_t j = 0;
    for (double t : in.onsets) {
        while (j < out.onsets.size() && out.onsets[j] < t - 0.005) ++j;
        if (j < out.onsets.size() && out.onsets[j] - t < 0.5) {
            delays.push_back((out.onsets[j] - t) * 1000);
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
