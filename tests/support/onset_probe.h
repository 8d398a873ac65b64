// Times when sound arrives at a source of the sound server, from outside the program: records the
// source (pinned, 5 ms fragments) on a connection of its own, stamps every sample with the moment
// it was captured (the monotonic clock less the stream's latency) and keeps the onsets: the first
// sample above 0.1 after at least 100 ms below it. Shared by the tests and the latency tool.
#pragma once

#include <mutex>
#include <vector>

struct pa_context;
struct pa_stream;
struct pa_threaded_mainloop;

namespace testsup {

class OnsetProbe {
  public:
    OnsetProbe() = default;
    OnsetProbe(const OnsetProbe&) = delete;
    OnsetProbe& operator=(const OnsetProbe&) = delete;
    ~OnsetProbe();

    // Connects (on first use) and starts recording `source`; several probes may run at once.
    bool start(const char* source);
    void stop();
    // Onsets so far, seconds of the monotonic clock.
    std::vector<double> onsets();

    // The monotonic clock in seconds.
    static double now();

  private:
    static void on_read(pa_stream* s, size_t, void* userdata);

    pa_threaded_mainloop* ml_ = nullptr;
    pa_context* ctx_ = nullptr;
    pa_stream* stream_ = nullptr;
    unsigned long long quiet_frames_ = 0;
    std::mutex mtx_;
    std::vector<double> onsets_;
};

} // namespace testsup
