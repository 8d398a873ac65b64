// What the screen shows of the sound and what the beat tracker listens to: 31 third-octave bar
// levels from a 4096-point spectrum, their on-screen movement, the level meters, and an
// eight-band onset measure. Pure arithmetic on the caller's thread.
#pragma once

namespace analyzer {

constexpr int kFftSize = 4096;
constexpr int kBars = 31;
constexpr int kMaxOnsets = 12;
constexpr float kFloorDb = -66;    // the lowest level the screen shows
constexpr float kNothingDb = -140; // no signal at all

// Bar centre frequencies in Hz: the standard third-octave series.
inline constexpr float kBarFreq[kBars] = {
    20,  25,   31.5f, 40,   50,   63,   80,   100,  125,  160,  200,  250,   315,   400,   500,  630,
    800, 1000, 1250,  1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000};

// Which FFT bins make up one bar at a given sample rate.
struct BarBins {
    bool off = false;    // the bar lies above the Nyquist frequency: always kNothingDb
    bool single = false; // narrower than one whole bin: one bin's power scaled by `weight`
    int first = 0;       // inclusive bin range summed for a normal bar
    int last = 0;
    int bin = 0;       // for a single-bin bar
    double weight = 0; // for a single-bin bar: the band width counted in bins
    double tilt = 0;   // dB added to the bar: +1.5 dB per octave above 1 kHz
};

// The bar map for a sample rate, as compute() uses it. A NaN rate turns every bar off.
void bar_map(float rate, BarBins* out);

// Axis label of a bar ("" for unlabelled bars and indices outside 0..30).
const char* bar_label(int i);

// 20·log10(x) for x > 1e-7, else kNothingDb.
float to_db(float x);

// Reads exactly kFftSize mono samples (oldest first) and writes kBars levels in dB. A full-scale
// sine whose window main lobe falls inside one bar reads 0 dB plus the bar's tilt.
// The window and FFT tables are built once for the process and the bar map once per rate; the
// map rebuild is not locked, so only one thread may call this at a time (other threads may call
// it concurrently only at a rate that is already in use). Scratch memory is per thread and
// allocated on a thread's first call; later calls do not allocate.
void compute(const float* samples, float rate, float* bars);

// Bar movement on screen: quick rise, linear fall, peak markers that hold and then fall.
class Ballistics {
  public:
    Ballistics();
    // `levels` are kBars values from compute(), `dt` the seconds since the last call.
    void update(const float* levels, float dt);
    // No new sound: everything sinks towards the floor.
    void decay(float dt);

    float level[kBars];
    float peak[kBars];
    float hold[kBars]; // seconds of peak hold left
};

// One channel's level meter: instant attack, 30 dB/s release, a peak that holds 1.2 s.
class PeakMeter {
  public:
    void update(float db, float dt);

    float level = kFloorDb;
    float peak = kFloorDb;
    float hold = 0;
};

// Spectral rise in eight bands (40 Hz to 11 kHz) over 10 ms blocks of the newest samples.
// Writes up to kMaxOnsets values (oldest first, the last ending at the last sample) into each
// of flux (all bands), low (40-180 Hz) and high (2.8-11 kHz) and returns how many; 0 when there
// are too few samples ((count + 3) blocks, count capped at kMaxOnsets) or nothing to do.
int onset_flux(const float* samples, int n, float rate, int count, float* flux, float* low, float* high);

} // namespace analyzer
