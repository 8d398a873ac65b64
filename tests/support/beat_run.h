// Running the beat tracker over a sound file faster than real time, as the window runs it: a
// simulated tap that holds the file up to the simulated now, frames 60 times a second, and a
// display delay of the caller's choosing. Also the WAV reading this needs. Shared by the tests
// and bench/tool_beats; one run at a time (the tracker is the process's one g_beat).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct Settings;

namespace testsup {

// Mono or stereo sound at 48 kHz, one vector per channel (mono files fill both).
struct Sound {
    std::vector<float> left, right;
    size_t frames() const { return left.size(); }
};

// Reads a RIFF WAVE file's bytes: PCM 16, 24 or 32 bit or IEEE float 32 bit, mono or stereo,
// 48000 Hz. False with a reason in `error` for anything else or a damaged file.
bool parse_wav(const std::string& bytes, Sound* out, std::string* error);
bool read_wav(const std::string& path, Sound* out, std::string* error);

struct BeatEvent {
    char kind = 0;   // 'k', 'c' or 'b'
    double at = 0;   // release time less the display delay: seconds of the file's timeline
};

// The tracker's tempo after each frame.
struct TempoPoint {
    double t = 0;      // seconds of the file
    double period = 0; // seconds
    float confidence = 0;
};

// Starts from a fresh tracker and plays `sound` through it; events are released in steps of
// 1 ms. `settings` gives the equaliser the sound is taken to have gone through (null: none).
std::vector<BeatEvent> run_beats(const Sound& sound, double delay_s, const Settings* settings = nullptr,
                                 std::vector<TempoPoint>* tempo = nullptr);

// Of the events of one kind, their times.
std::vector<double> times_of(const std::vector<BeatEvent>& events, char kind);

// Matching within a tolerance: each detection pairs with at most one true time.
struct Score {
    int truth = 0, detected = 0, hits = 0;
    double precision() const { return detected ? static_cast<double>(hits) / detected : 1.0; }
    double recall() const { return truth ? static_cast<double>(hits) / truth : 1.0; }
    void add(const Score& o) {
        truth += o.truth;
        detected += o.detected;
        hits += o.hits;
    }
};
Score score_times(const std::vector<double>& truth, const std::vector<double>& found, double tolerance);

} // namespace testsup
