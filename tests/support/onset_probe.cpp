#include "support/onset_probe.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>
#include <ctime>

namespace testsup {
namespace {

void signal_loop(void* ml) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(ml), 0);
}
void on_context(pa_context*, void* ml) {
    signal_loop(ml);
}
void on_stream(pa_stream*, void* ml) {
    signal_loop(ml);
}

} // namespace

double OnsetProbe::now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void OnsetProbe::on_read(pa_stream* s, size_t, void* userdata) {
    auto* p = static_cast<OnsetProbe*>(userdata);
    while (pa_stream_readable_size(s) > 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) return;
        if (data) {
            // The first sample of this piece was captured `latency` ago.
            pa_usec_t latency = 0;
            int negative = 0;
            const double t = now();
            const bool timed = pa_stream_get_latency(s, &latency, &negative) == 0;
            const double first = t - (timed ? (negative ? -1.0 : 1.0) * static_cast<double>(latency) * 1e-6 : 0);
            const float* x = static_cast<const float*>(data);
            const size_t frames = bytes / 8;
            for (size_t i = 0; i < frames; ++i) {
                if (std::max(std::fabs(x[2 * i]), std::fabs(x[2 * i + 1])) > 0.1f) {
                    if (p->quiet_frames_ > 48000 / 10 && timed) {
                        std::lock_guard<std::mutex> lock(p->mtx_);
                        p->onsets_.push_back(first + static_cast<double>(i) / 48000);
                    }
                    p->quiet_frames_ = 0;
                } else {
                    ++p->quiet_frames_;
                }
            }
        }
        pa_stream_drop(s);
    }
}

bool OnsetProbe::start(const char* source) {
    ml_ = pa_threaded_mainloop_new();
    if (!ml_ || pa_threaded_mainloop_start(ml_) < 0) return false;
    pa_threaded_mainloop_lock(ml_);
    ctx_ = pa_context_new(pa_threaded_mainloop_get_api(ml_), "onset probe");
    pa_context_set_state_callback(ctx_, on_context, ml_);
    bool ok = pa_context_connect(ctx_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    while (ok) {
        const pa_context_state_t st = pa_context_get_state(ctx_);
        if (st == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(st)) ok = false;
        else pa_threaded_mainloop_wait(ml_);
    }
    if (ok) {
        const pa_sample_spec ss{PA_SAMPLE_FLOAT32LE, 48000, 2};
        stream_ = pa_stream_new(ctx_, "onset probe", &ss, nullptr);
        ok = stream_ != nullptr;
        if (ok) {
            pa_stream_set_read_callback(stream_, on_read, this);
            pa_stream_set_state_callback(stream_, on_stream, ml_);
            pa_buffer_attr attr{};
            attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = 0xFFFFFFFFu;
            attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(5000, &ss));
            const auto flags =
                static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                               PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
            ok = pa_stream_connect_record(stream_, source, &attr, flags) >= 0;
            while (ok && pa_stream_get_state(stream_) == PA_STREAM_CREATING) pa_threaded_mainloop_wait(ml_);
            ok = ok && pa_stream_get_state(stream_) == PA_STREAM_READY;
        }
    }
    pa_threaded_mainloop_unlock(ml_);
    return ok;
}

void OnsetProbe::stop() {
    if (!ml_) return;
    pa_threaded_mainloop_lock(ml_);
    if (stream_) {
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    if (ctx_) {
        pa_context_disconnect(ctx_);
        pa_context_unref(ctx_);
        ctx_ = nullptr;
    }
    pa_threaded_mainloop_unlock(ml_);
    pa_threaded_mainloop_stop(ml_);
    pa_threaded_mainloop_free(ml_);
    ml_ = nullptr;
}

OnsetProbe::~OnsetProbe() {
    stop();
}

std::vector<double> OnsetProbe::onsets() {
    std::lock_guard<std::mutex> lock(mtx_);
    return onsets_;
}

} // namespace testsup
