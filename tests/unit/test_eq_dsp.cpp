// The equaliser against theory: the filter bank's measured gain must match the curve's
// analytic response, the limiter must bound and join smoothly, and the processor's state and
// format rules must hold.
#include "dsp/eq_dsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Gain in dB of a sine through a fresh processor, measured by correlating the settled output
// with sine and cosine over whole periods (exact for a pure tone, unlike a windowed RMS).
double measured_gain_db(const eq::Curve& curve, float rate, double freq, int channels = 2) {
    eq::Processor p;
    p.set_format(rate, channels);
    p.set_curve(curve);
    const double amp = 0.004; // stays below the limiter's knee even with +12 dB in every band
    const int settle = static_cast<int>(rate); // one second: the 31 Hz band rings longest
    const int periods = std::max(4, static_cast<int>(std::ceil(0.25 * freq)));
    const int span = static_cast<int>(std::lround(periods * rate / freq));
    const int total = settle + span;
    std::vector<float> buf(static_cast<size_t>(total) * channels);
    for (int n = 0; n < total; ++n)
        for (int c = 0; c < channels; ++c)
            buf[static_cast<size_t>(n) * channels + c] =
                static_cast<float>(amp * std::sin(2 * kPi * freq * n / rate));
    p.process(buf.data(), total);
    double re = 0, im = 0;
    for (int n = settle; n < total; ++n) {
        const double ph = 2 * kPi * freq * n / rate;
        re += buf[static_cast<size_t>(n) * channels] * std::sin(ph);
        im += buf[static_cast<size_t>(n) * channels] * std::cos(ph);
    }
    // Correct for the few samples by which `span` misses a whole number of periods.
    const double out_amp = 2.0 * std::hypot(re, im) / span;
    return 20.0 * std::log10(out_amp / amp);
}

eq::Curve curve_of(std::initializer_list<float> bands, float preamp) {
    eq::Curve c;
    int i = 0;
    for (float b : bands) c.band[i++] = b;
    c.preamp = preamp;
    return c;
}

std::vector<double> test_frequencies() {
    std::vector<double> f;
    for (double x = 20; x < 20000; x *= 1.37) f.push_back(x);
    for (float c : eq::kFreq) f.push_back(c);
    return f;
}

} // namespace

TEST(EqualiserBank, MatchesTheoreticalResponse) {
    std::vector<std::pair<const char*, eq::Curve>> curves = {
        {"all +12", curve_of({12, 12, 12, 12, 12, 12, 12, 12, 12, 12}, -12)},
        {"all -12", curve_of({-12, -12, -12, -12, -12, -12, -12, -12, -12, -12}, 12)},
        {"zigzag", curve_of({12, -12, 12, -12, 12, -12, 12, -12, 12, -12}, 0)},
        {"single 250 -12", curve_of({0, 0, 0, -12, 0, 0, 0, 0, 0, 0}, 0)},
    };
    int count = 0;
    const eq::Preset* presets = eq::presets(&count);
    for (int i = 0; i < count; ++i) curves.emplace_back(presets[i].key, presets[i].curve);

    for (float rate : {44100.0f, 48000.0f}) {
        for (const auto& [name, curve] : curves) {
            for (double f : test_frequencies()) {
                if (f >= 0.45 * rate) continue;
                const double want = eq::response_db(curve, rate, static_cast<float>(f));
                const double got = measured_gain_db(curve, rate, f);
                EXPECT_NEAR(got, want, 0.05) << name << " at " << f << " Hz, rate " << rate;
            }
        }
    }
}

TEST(EqualiserBank, ResponseFacts) {
    const eq::Curve flat;
    for (float f : {20.0f, 1000.0f, 19000.0f}) EXPECT_EQ(eq::response_db(flat, 48000, f), 0.0f);
    const eq::Curve one_k = curve_of({0, 0, 0, 0, 0, 6}, 0);
    EXPECT_NEAR(eq::response_db(one_k, 48000, 1000), 6.0, 1e-4);
    EXPECT_NEAR(eq::response_db(one_k, 48000, 1414), 3.0, 0.02);
    const eq::Curve pre = curve_of({}, -6);
    for (float f : {31.0f, 5000.0f}) EXPECT_FLOAT_EQ(eq::response_db(pre, 48000, f), -6.0f);
    // Bands at or above 0.45 of the rate are not used: the 16 kHz band at 32 kHz.
    const eq::Curve top = curve_of({0, 0, 0, 0, 0, 0, 0, 0, 0, 12}, 0);
    EXPECT_EQ(eq::response_db(top, 32000, 15000), 0.0f);
    EXPECT_NEAR(measured_gain_db(top, 32000, 12000), 0.0, 1e-3);
}

TEST(EqualiserBank, PresetTableAndComparison) {
    int count = 0;
    const eq::Preset* p = eq::presets(&count);
    ASSERT_EQ(count, 11);
    EXPECT_STREQ(p[0].key, "preset_standard");
    EXPECT_TRUE(eq::same(eq::standard_curve(), p[0].curve));
    for (int i = 0; i < count; ++i) {
        bool boosts = false;
        for (float b : p[i].curve.band) boosts = boosts || b > 0;
        if (boosts) {
            EXPECT_LT(p[i].curve.preamp, 0) << p[i].key;
        }
        EXPECT_EQ(eq::find_preset(p[i].key), i);
    }
    EXPECT_EQ(eq::find_preset("preset_rock"), 5);
    EXPECT_EQ(eq::find_preset("rock"), -1);
    EXPECT_EQ(eq::find_preset("Preset_rock"), -1);
    EXPECT_EQ(eq::find_preset(nullptr), -1);
    EXPECT_TRUE(eq::same(eq::preset_curve(11), eq::Curve{}));
    EXPECT_TRUE(eq::same(eq::preset_curve(-1), eq::Curve{}));
    EXPECT_TRUE(eq::same(eq::preset_curve(1), eq::Curve{}));
    EXPECT_EQ(eq::preset_curve(5).band[0], 5.0f);

    EXPECT_STREQ(eq::band_label(0), "31");
    EXPECT_STREQ(eq::band_label(5), "1k");
    EXPECT_STREQ(eq::band_label(9), "16k");
    EXPECT_STREQ(eq::band_label(10), "");
    EXPECT_STREQ(eq::band_label(-1), "");

    eq::Curve a, b;
    b.band[3] = 0.04f;
    EXPECT_TRUE(eq::same(a, b));
    b.band[3] = 0.0f;
    b.preamp = 0.05f; // a difference of exactly 0.05 counts as different
    EXPECT_FALSE(eq::same(a, b));
    a.preamp = b.preamp;
    a.band[9] = -0.06f;
    EXPECT_FALSE(eq::same(a, b));
}

TEST(SoftLimiter, BoundKneeAndSlope) {
    EXPECT_EQ(eq::soft_limit(0.5f), 0.5f);
    EXPECT_EQ(eq::soft_limit(0.891f), 0.891f);
    EXPECT_EQ(eq::soft_limit(-0.891f), -0.891f);
    EXPECT_NEAR(eq::soft_limit(3.0f), 1.0, 5e-4);
    EXPECT_NEAR(eq::soft_limit(-3.0f), -1.0, 5e-4);
    float prev = -2;
    for (float x = -20; x <= 20; x += 0.001f) {
        const float y = eq::soft_limit(x);
        ASSERT_LE(y, 1.0f) << x;
        ASSERT_GE(y, -1.0f) << x;
        ASSERT_GE(y, prev) << "not monotonic at " << x;
        ASSERT_EQ(eq::soft_limit(-x), -y);
        prev = y;
    }
    EXPECT_EQ(eq::soft_limit(std::numeric_limits<float>::infinity()), 1.0f);
    // Continuous with slope 1 at the knee, flattening above it.
    const float k = 0.891f, h = 1e-3f;
    EXPECT_NEAR(eq::soft_limit(k + h), k + h, 1e-5);
    EXPECT_NEAR((eq::soft_limit(k + 2 * h) - eq::soft_limit(k + h)) / h, 1.0, 0.03);
    EXPECT_LT((eq::soft_limit(1.2f) - eq::soft_limit(1.1f)) / 0.1f, 0.3f);
}

TEST(EqualiserProcessor, FormatRules) {
    eq::Processor p;
    EXPECT_EQ(p.rate(), 48000.0f);
    EXPECT_EQ(p.channels(), 2);
    for (float bad : {0.0f, 800.0f, 1000.0f, -44100.0f, std::numeric_limits<float>::quiet_NaN()}) {
        p.set_format(bad, 2);
        EXPECT_EQ(p.rate(), 48000.0f) << bad;
    }
    p.set_format(44100, 0);
    EXPECT_EQ(p.channels(), 1);
    p.set_format(96000, 12);
    EXPECT_EQ(p.channels(), 8);
    EXPECT_EQ(p.rate(), 96000.0f);
    p.set_format(44100, -3);
    EXPECT_EQ(p.channels(), 1);
}

TEST(EqualiserProcessor, FlatPassesAndLimits) {
    eq::Processor p;
    std::vector<float> buf(2 * 4800), in;
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = 0.1f * std::sin(2 * kPi * 1000 * (i / 2) / 48000.0);
    in = buf;
    p.process(buf.data(), 4800);
    for (size_t i = 0; i < buf.size(); ++i) ASSERT_NEAR(buf[i], in[i], 1e-6f);

    // Untouched for no frames at all.
    std::vector<float> keep = {5.0f, -5.0f};
    p.process(keep.data(), 0);
    p.process(keep.data(), -4);
    EXPECT_EQ(keep[0], 5.0f);

    // A loud sine comes out just under full scale.
    eq::Processor q;
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = 2.0f * std::sin(2 * kPi * 1000 * (i / 2) / 48000.0);
    q.process(buf.data(), 4800);
    float peak = 0;
    for (float v : buf) peak = std::max(peak, std::fabs(v));
    EXPECT_LE(peak, 1.0f);
    EXPECT_GT(peak, 0.99f);
}

TEST(EqualiserProcessor, StateCarriesAcrossBuffersAndCurveChanges) {
    const eq::Curve a = eq::preset_curve(5), b = eq::preset_curve(2);
    std::vector<float> signal(2 * 9600);
    for (size_t i = 0; i < signal.size(); ++i)
        signal[i] = 0.05f * std::sin(2 * kPi * 97 * (i / 2) / 48000.0) +
                    0.03f * std::sin(2 * kPi * 3100 * (i / 2) / 48000.0);

    // Buffers of odd sizes give exactly what one call gives.
    eq::Processor whole, pieces;
    whole.set_curve(a);
    pieces.set_curve(a);
    std::vector<float> w = signal, s = signal;
    whole.process(w.data(), 9600);
    int done = 0;
    for (int step : {1, 7, 480, 1000, 3, 8109}) {
        pieces.process(s.data() + 2 * done, step);
        done += step;
    }
    ASSERT_EQ(done, 9600);
    EXPECT_EQ(w, s);

    // A curve change keeps the state: the second half continues from the first one's state.
    eq::Processor changed, fresh;
    changed.set_curve(a);
    fresh.set_curve(b);
    std::vector<float> c = signal, f = signal;
    changed.process(c.data(), 4800);
    changed.set_curve(b);
    changed.process(c.data() + 9600, 4800);
    fresh.process(f.data(), 9600);
    EXPECT_NE(c[9600], f[9600]); // a reset would have started from zero state
    // No jump at the change: the step is no bigger than the signal's own steps.
    float max_step = 0;
    for (size_t i = 2; i < 9600; i += 2) max_step = std::max(max_step, std::fabs(c[i] - c[i - 2]));
    EXPECT_LE(std::fabs(c[9600] - c[9598]), 2 * max_step);
    // The tail converges to the fresh processor's steady state.
    EXPECT_NEAR(c.back(), f.back(), 1e-3);

    // reset() clears the state but keeps the curve.
    changed.reset();
    std::vector<float> r = signal, g = signal;
    changed.process(r.data(), 9600);
    eq::Processor again;
    again.set_curve(b);
    again.process(g.data(), 9600);
    EXPECT_EQ(r, g);
}

TEST(EqualiserProcessor, ChannelsAreIndependent) {
    for (int channels : {1, 2, 3, 8}) {
        const int frames = 2048;
        std::vector<float> inter(static_cast<size_t>(frames) * channels);
        for (int n = 0; n < frames; ++n)
            for (int c = 0; c < channels; ++c)
                inter[static_cast<size_t>(n) * channels + c] =
                    0.2f * static_cast<float>(std::sin(2 * kPi * (60.0 + 700.0 * c) * n / 44100.0));
        eq::Processor multi;
        multi.set_format(44100, channels);
        multi.set_curve(eq::preset_curve(9));
        std::vector<float> out = inter;
        multi.process(out.data(), frames);
        for (int c = 0; c < channels; ++c) {
            eq::Processor mono;
            mono.set_format(44100, 1);
            mono.set_curve(eq::preset_curve(9));
            std::vector<float> one(frames);
            for (int n = 0; n < frames; ++n) one[n] = inter[static_cast<size_t>(n) * channels + c];
            mono.process(one.data(), frames);
            for (int n = 0; n < frames; ++n)
                ASSERT_EQ(one[n], out[static_cast<size_t>(n) * channels + c])
                    << "channel " << c << " frame " << n;
        }
    }
}
