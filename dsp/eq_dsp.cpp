#include "dsp/eq_dsp.h"

#include <cmath>
#include <complex>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace eq {
namespace {

constexpr double kTwoPi = 6.283185307179586;
// The quality factor 1.41 enters as 2·Q, taken as the float 2.82 widened to double; the
// filters must come out bit-identical to that, so the float rounding is kept on purpose.
constexpr double kTwoQ = static_cast<double>(2.82f);
constexpr float kKnee = 0.891f;
constexpr float kWidth = 1.0f - kKnee;

const char* const kLabels[kBands] = {"31", "62", "125", "250", "500", "1k", "2k", "4k", "8k", "16k"};

const Preset kPresets[] = {
    {"preset_standard", {{3, 2.5f, 1.5f, 0.5f, 0, 0, 0.5f, 1.5f, 2, 2.5f}, -2}},
    {"preset_flat", {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0}},
    {"preset_bass", {{7, 6, 5, 3, 1, 0, 0, 0, 0, 0}, -4}},
    {"preset_treble", {{0, 0, 0, 0, 0, 1, 3, 5, 6, 7}, -4}},
    {"preset_vocal", {{-3, -2, -1, 1, 3, 4, 4, 2, 0, -1}, -2}},
    {"preset_rock", {{5, 4, 2, -1, -2, -1, 2, 3, 4, 5}, -3}},
    {"preset_pop", {{-1, 1, 3, 4, 3, 0, -1, -1, 1, 2}, -2}},
    {"preset_jazz", {{3, 2, 1, 2, -1, -1, 0, 1, 2, 3}, -2}},
    {"preset_classical", {{4, 3, 2, 1, -1, -1, 0, 2, 3, 4}, -2}},
    {"preset_electronic", {{6, 5, 1, 0, -2, 1, 0, 2, 4, 5}, -4}},
    {"preset_loudness", {{6, 4, 1, 0, -1, 0, 0, 1, 3, 5}, -4}},
};
constexpr int kPresetCount = static_cast<int>(sizeof(kPresets) / sizeof(kPresets[0]));

struct Coeffs {
    double b0, b1, b2, a1, a2;
};

// Peaking filter of one band (quality 1.41) at the given sample rate.
Coeffs design(double f0, double rate, double gain_db) {
    const double a = std::pow(10.0, gain_db / 40.0);
    const double w = kTwoPi * f0 / rate;
    const double alpha = std::sin(w) / kTwoQ;
    const double cw = std::cos(w);
    const double a0 = 1.0 + alpha / a;
    Coeffs c;
    c.b0 = (1.0 + alpha * a) / a0;
    c.b1 = -2.0 * cw / a0;
    c.b2 = (1.0 - alpha * a) / a0;
    c.a1 = c.b1;
    c.a2 = (1.0 - alpha / a) / a0;
    return c;
}

bool band_usable(int i, float rate) {
    return kFreq[i] < 0.45f * rate;
}

} // namespace

const char* band_label(int i) {
    return i >= 0 && i < kBands ? kLabels[i] : "";
}

Curve standard_curve() {
    return kPresets[0].curve;
}

const Preset* presets(int* count) {
    if (count) *count = kPresetCount;
    return kPresets;
}

Curve preset_curve(int i) {
    return i >= 0 && i < kPresetCount ? kPresets[i].curve : Curve{};
}

int find_preset(const char* key) {
    if (!key) return -1;
    for (int i = 0; i < kPresetCount; ++i)
        if (std::strcmp(kPresets[i].key, key) == 0) return i;
    return -1;
}

bool same(const Curve& a, const Curve& b) {
    if (!(std::fabs(a.preamp - b.preamp) < 0.05f)) return false;
    for (int i = 0; i < kBands; ++i)
        if (!(std::fabs(a.band[i] - b.band[i]) < 0.05f)) return false;
    return true;
}

float response_db(const Curve& curve, float rate, float freq) {
    const double w = kTwoPi * freq / rate;
    const std::complex<double> z1(std::cos(w), std::sin(-w));
    const std::complex<double> z2(std::cos(-2 * w), std::sin(-2 * w));
    double db = curve.preamp;
    for (int i = 0; i < kBands; ++i) {
        const float g = curve.band[i];
        if (std::fabs(g) < 0.01f || !band_usable(i, rate)) continue;
        const Coeffs c = design(kFreq[i], rate, g);
        const std::complex<double> h = (c.b0 + c.b1 * z1 + c.b2 * z2) / (1.0 + c.a1 * z1 + c.a2 * z2);
        db += 20.0 * std::log10(std::max(std::abs(h), 1e-9));
    }
    return static_cast<float>(db);
}

float soft_limit(float x) {
    const float m = std::fabs(x);
    if (m <= kKnee) return x;
    const float y = kKnee + kWidth * std::tanh((m - kKnee) / kWidth);
    return x < 0 ? -y : y;
}

void Processor::set_format(float rate, int channels) {
    rate_ = rate > 1000.0f ? rate : 48000.0f; // NaN fails the comparison too
    channels_ = channels < 1 ? 1 : (channels > kMaxChannels ? kMaxChannels : channels);
    reset();
    recompute();
}

void Processor::set_curve(const Curve& curve) {
    curve_ = curve;
    recompute();
}

void Processor::reset() {
    std::memset(z1_, 0, sizeof z1_);
    std::memset(z2_, 0, sizeof z2_);
}

void Processor::recompute() {
    for (int i = 0; i < kBands; ++i) {
        if (!band_usable(i, rate_)) {
            bands_[i].on = false;
            continue;
        }
        const Coeffs c = design(kFreq[i], rate_, curve_.band[i]);
        bands_[i] = {c.b0, c.b1, c.b2, c.a1, c.a2, true};
    }
    gain_ = std::pow(10.0f, curve_.preamp / 20.0f);
}

void Processor::process(float* buffer, int frames) {
    if (frames <= 0) return;
    // Gather the active bands once per call; the flags only change in recompute().
    int active[kBands];
    int count = 0;
    for (int i = 0; i < kBands; ++i)
        if (bands_[i].on) active[count++] = i;
    const double g = gain_;
    const int ch = channels_;
#if defined(__SSE2__)
    if (ch == 2) {
        process_stereo(buffer, frames, active, count);
        return;
    }
#endif
    for (int f = 0; f < frames; ++f) {
        float* s = buffer + static_cast<long>(f) * ch;
        for (int c = 0; c < ch; ++c) {
            double x = s[c];
            double* z1 = z1_[c];
            double* z2 = z2_[c];
            for (int k = 0; k < count; ++k) {
                const int i = active[k];
                const Band& b = bands_[i];
                const double y = b.b0 * x + z1[i];
                z1[i] = b.b1 * x - b.a1 * y + z2[i];
                z2[i] = b.b2 * x - b.a2 * y;
                x = y;
            }
            s[c] = soft_limit(static_cast<float>(g * x));
        }
    }
}

#if defined(__SSE2__)
// Both channels of a frame side by side in one register. The operations are the scalar ones in
// the same order (no fused multiply-add), so every output bit equals the scalar path's.
void Processor::process_stereo(float* buffer, int frames, const int* active, int count) {
    __m128d b0[kBands], b1[kBands], b2[kBands], a1[kBands], a2[kBands], z1[kBands], z2[kBands];
    for (int k = 0; k < count; ++k) {
        const int i = active[k];
        const Band& b = bands_[i];
        b0[k] = _mm_set1_pd(b.b0);
        b1[k] = _mm_set1_pd(b.b1);
        b2[k] = _mm_set1_pd(b.b2);
        a1[k] = _mm_set1_pd(b.a1);
        a2[k] = _mm_set1_pd(b.a2);
        z1[k] = _mm_set_pd(z1_[1][i], z1_[0][i]);
        z2[k] = _mm_set_pd(z2_[1][i], z2_[0][i]);
    }
    const __m128d g = _mm_set1_pd(static_cast<double>(gain_));
    for (int f = 0; f < frames; ++f) {
        float* s = buffer + 2 * static_cast<long>(f);
        __m128d x = _mm_cvtps_pd(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(s))));
        for (int k = 0; k < count; ++k) {
            const __m128d y = _mm_add_pd(_mm_mul_pd(b0[k], x), z1[k]);
            z1[k] = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(b1[k], x), _mm_mul_pd(a1[k], y)), z2[k]);
            z2[k] = _mm_sub_pd(_mm_mul_pd(b2[k], x), _mm_mul_pd(a2[k], y));
            x = y;
        }
        float v[4];
        _mm_storeu_ps(v, _mm_cvtpd_ps(_mm_mul_pd(g, x)));
        s[0] = soft_limit(v[0]);
        s[1] = soft_limit(v[1]);
    }
    for (int k = 0; k < count; ++k) {
        const int i = active[k];
        _mm_storel_pd(&z1_[0][i], z1[k]);
        _mm_storeh_pd(&z1_[1][i], z1[k]);
        _mm_storel_pd(&z2_[0][i], z2[k]);
        _mm_storeh_pd(&z2_[1][i], z2[k]);
    }
}
#endif

} // namespace eq
