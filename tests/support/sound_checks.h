// Sound through the private server, measured from outside: test signals written as WAV files,
// players (paplay), recorders (parec) and levels (sox).
#pragma once

#include "support/process.h"

#include <string>
#include <vector>

namespace testsup {

// A stereo float WAV at 48 kHz: `left` and `right` give each channel's sample at frame n.
bool write_wav(const std::string& path, int frames, float (*left)(int), float (*right)(int));
// A sine of `freq` Hz and `amplitude` on both channels, made by sox.
bool make_sine(const std::string& path, double freq, double seconds, double amplitude);

// Plays a file with paplay to `device` (empty: the default sink) until stopped.
bool start_player(Child& player, const std::string& file, const std::string& device = "");

// Records a source with parec (float32, 48 kHz, stereo, 10 ms fragments) into a raw file.
class Recording {
  public:
    bool start(const std::string& source, const std::string& path);
    // Waits until at least `seconds` of sound have been written.
    bool wait_seconds(double seconds, int timeout_ms = 15000);
    double seconds() const;
    void stop();
    const std::string& path() const { return path_; }
    // The interleaved samples recorded so far.
    std::vector<float> samples() const;

  private:
    Child parec_;
    std::string path_;
};

// RMS level in dBFS of the left channel of a raw float32 stereo file, from `start_s` for
// `length_s` seconds, as sox measures it.
double sox_rms_db(const std::string& raw_path, double start_s, double length_s);
// RMS level in dBFS of the left channel of interleaved stereo samples.
double rms_db(const float* interleaved, size_t frames);

} // namespace testsup
