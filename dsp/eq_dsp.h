// The equaliser: the curve record, its presets, the theoretical response, the soft limiter,
// and the running filter bank that applies a curve to interleaved samples.
#pragma once

namespace eq {

constexpr int kBands = 10;
constexpr int kMaxChannels = 8;

// Band centre frequencies in Hz, lowest first.
inline constexpr float kFreq[kBands] = {31, 62, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};

// Ten band gains and the preamp, all in dB. Exactly these eleven floats, in this order.
struct Curve {
    float band[kBands] = {};
    float preamp = 0;
};

struct Preset {
    const char* key; // also the translation key of the preset's display name
    Curve curve;
};

const char* band_label(int i);
Curve standard_curve();
const Preset* presets(int* count);
Curve preset_curve(int i);
int find_preset(const char* key);
bool same(const Curve& a, const Curve& b);
float response_db(const Curve& curve, float rate, float freq);
float soft_limit(float x);

// Applies a curve to interleaved float samples in place: ten peaking filters per channel
// (transposed direct form II in double precision), then the preamp, then the soft limiter.
// No allocation, locking or logging; the owner serialises all calls.
class Processor {
  public:
    void set_format(float rate, int channels);
    void set_curve(const Curve& curve);
    void reset();
    void recompute();
    void process(float* buffer, int frames);

    float rate() const { return rate_; }
    int channels() const { return channels_; }
    const Curve& curve() const { return curve_; }

  private:
    void process_stereo(float* buffer, int frames, const int* active, int count);

    struct Band {
        double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
        bool on = false;
    };
    Band bands_[kBands];
    double z1_[kMaxChannels][kBands] = {};
    double z2_[kMaxChannels][kBands] = {};
    float rate_ = 48000;
    int channels_ = 2;
    float gain_ = 1.0f;
    Curve curve_;
};

} // namespace eq
