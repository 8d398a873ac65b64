// The spectrum analyser against a direct DFT computed here in double precision, the bar map's
// known facts, the bar and meter ballistics over sequences of frames, and the onset measure.
#include "dsp/analyzer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kN = analyzer::kFftSize;

std::vector<float> sine(double freq, float rate, double amp = 1.0) {
    std::vector<float> x(kN);
    for (int n = 0; n < kN; ++n) x[n] = static_cast<float>(amp * std::sin(2 * kPi * freq * n / rate));
    return x;
}

// Power per bin (0 .. N/2-1) of the Hann-windowed signal by the DFT's definition, scaled so
// that a full-scale sine's main lobe sums to 1.
std::vector<double> dft_power(const std::vector<float>& x) {
    static std::vector<double> cos_t, sin_t;
    if (cos_t.empty()) {
        for (int m = 0; m < kN; ++m) {
            cos_t.push_back(std::cos(2 * kPi * m / kN));
            sin_t.push_back(std::sin(2 * kPi * m / kN));
        }
    }
    std::vector<double> y(kN);
    for (int n = 0; n < kN; ++n) y[n] = x[n] * (n == 0 ? 0.0 : 0.5 - 0.5 * std::cos(2 * kPi * n / (kN - 1)));
    std::vector<double> p(kN / 2);
    for (int k = 0; k < kN / 2; ++k) {
        double re = 0, im = 0;
        for (int n = 0; n < kN; ++n) {
            const int m = (k * n) & (kN - 1);
            re += y[n] * cos_t[m];
            im -= y[n] * sin_t[m];
        }
        p[k] = (re * re + im * im) / (1.5 * 1024 * 1024);
    }
    return p;
}

// The bar level from per-bin power: the bins whose frequency lies within the bar's third
// octave, or for a bar narrower than a bin the nearest bin scaled by the bar's width in bins.
float reference_bar(const std::vector<double>& p, float rate, int bar) {
    const double f = analyzer::kBarFreq[bar];
    const double lo = f / std::pow(2.0, 1.0 / 6), hi = f * std::pow(2.0, 1.0 / 6);
    const double tilt = 1.5 * std::log2(f / 1000);
    if (hi >= rate / 2) return -140;
    const double binw = rate / kN;
    double power = 0;
    bool any = false;
    for (int k = 1; k < kN / 2; ++k) {
        if (k * binw >= lo && k * binw <= hi) {
            power += p[k];
            any = true;
        }
    }
    if (!any) power = p[std::lround(f / binw)] * (hi - lo) / binw;
    return static_cast<float>(10 * std::log10(std::max(power, 1e-14)) + tilt);
}

void expect_matches_reference(const std::vector<float>& x, float rate, const char* what) {
    float bars[analyzer::kBars];
    analyzer::compute(x.data(), rate, bars);
    const std::vector<double> p = dft_power(x);
    for (int i = 0; i < analyzer::kBars; ++i)
        EXPECT_NEAR(bars[i], reference_bar(p, rate, i), 0.01) << what << ", bar " << i << ", rate " << rate;
}

std::vector<float> compute_bars(const std::vector<float>& x, float rate) {
    std::vector<float> bars(analyzer::kBars);
    analyzer::compute(x.data(), rate, bars.data());
    return bars;
}

} // namespace

TEST(Spectrum, SinesAtAndBetweenBarCentresMatchDirectDft) {
    for (float rate : {44100.0f, 48000.0f}) {
        for (int i = 0; i < analyzer::kBars; ++i) {
            const double f = analyzer::kBarFreq[i];
            if (f < rate / 2) expect_matches_reference(sine(f, rate), rate, "centre");
            if (i + 1 < analyzer::kBars) {
                const double between = std::sqrt(f * analyzer::kBarFreq[i + 1]);
                if (between < rate / 2) expect_matches_reference(sine(between, rate), rate, "between");
            }
        }
    }
}

TEST(Spectrum, MixedSignalMatchesDirectDft) {
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0, 0.1f);
    std::vector<float> x = sine(63, 48000, 0.5);
    const std::vector<float> s2 = sine(3150, 48000, 0.25);
    for (int n = 0; n < kN; ++n) x[n] += s2[n] + noise(rng);
    expect_matches_reference(x, 48000, "mix");
}

TEST(Spectrum, FullScaleSineReadsTheTiltInItsOwnBar) {
    // Wherever a bar is wide enough to hold the window's main lobe, a full-scale sine at its
    // centre reads 0 dB plus the bar's tilt of 1.5 dB per octave from 1 kHz.
    for (float rate : {44100.0f, 48000.0f}) {
        for (int i = 10; i < analyzer::kBars; ++i) {
            const double f = analyzer::kBarFreq[i];
            if (f * std::pow(2.0, 1.0 / 6) >= rate / 2) continue;
            const std::vector<float> bars = compute_bars(sine(f, rate), rate);
            EXPECT_NEAR(bars[i], 1.5 * std::log2(f / 1000), 0.25) << f << " Hz at " << rate;
            for (int j = 0; j < analyzer::kBars; ++j) {
                if (j == i) continue;
                EXPECT_LT(bars[j], bars[i]) << f << " Hz: bar " << j;
            }
        }
    }
    const std::vector<float> b1k = compute_bars(sine(1000, 48000), 48000);
    EXPECT_NEAR(b1k[17], 0.0, 0.05);
    EXPECT_NEAR(compute_bars(sine(100, 48000), 48000)[7], -5.2, 0.1);
    EXPECT_NEAR(compute_bars(sine(8000, 48000), 48000)[26], 4.5, 0.1);
}

TEST(Spectrum, SilenceReadsTheFloorPlusTilt) {
    const std::vector<float> zero(kN, 0.0f);
    for (float rate : {44100.0f, 48000.0f}) {
        const std::vector<float> bars = compute_bars(zero, rate);
        for (int i = 0; i < analyzer::kBars; ++i) {
            const double f = analyzer::kBarFreq[i];
            const bool off = f * std::pow(2.0, 1.0 / 6) >= rate / 2;
            EXPECT_NEAR(bars[i], off ? -140 : -140 + 1.5 * std::log2(f / 1000), 1e-4) << i << " at " << rate;
        }
    }
    const std::vector<float> bars = compute_bars(zero, 48000);
    EXPECT_FLOAT_EQ(bars[17], -140);
    EXPECT_NEAR(bars[4], -146.5, 0.05); // 50 Hz: tilt -6.48
    EXPECT_NEAR(bars[0], -148.5, 0.05); // 20 Hz: tilt -8.47
}

TEST(Spectrum, BarMapAt48000And44100) {
    analyzer::BarBins map[analyzer::kBars];
    analyzer::bar_map(48000, map);
    // 20 and 40 Hz hold no whole bin: one bin, weighted by the band's width in bins.
    EXPECT_TRUE(map[0].single);
    EXPECT_EQ(map[0].bin, 2);
    EXPECT_NEAR(map[0].weight, 0.395, 0.001);
    EXPECT_TRUE(map[3].single);
    EXPECT_EQ(map[3].bin, 3);
    EXPECT_NEAR(map[3].weight, 0.790, 0.001);
    // 25 and 31.5 Hz each hold exactly one bin.
    EXPECT_FALSE(map[1].single);
    EXPECT_EQ(map[1].first, 2);
    EXPECT_EQ(map[1].last, 2);
    EXPECT_FALSE(map[2].single);
    EXPECT_EQ(map[2].first, 3);
    EXPECT_EQ(map[2].last, 3);
    EXPECT_FALSE(map[30].off);
    EXPECT_EQ(map[30].first, 1521);
    EXPECT_EQ(map[30].last, 1915);
    for (int i = 0; i < analyzer::kBars; ++i)
        EXPECT_NEAR(map[i].tilt, 1.5 * std::log2(analyzer::kBarFreq[i] / 1000.0), 1e-9);

    analyzer::bar_map(44100, map);
    EXPECT_TRUE(map[30].off);
    EXPECT_FALSE(map[29].off);
    const std::vector<float> bars = compute_bars(sine(20000, 44100), 44100);
    EXPECT_EQ(bars[30], -140);
}

TEST(Spectrum, RateChangeBetweenCallsRebuildsTheMap) {
    // 20 kHz lies in the top bar at 48 kHz; at 44.1 kHz that bar is off.
    const std::vector<float> x = sine(20000, 48000);
    const std::vector<float> at48 = compute_bars(x, 48000);
    EXPECT_GT(at48[30], -1.0);
    const std::vector<float> at44 = compute_bars(x, 44100);
    EXPECT_EQ(at44[30], -140);
    expect_matches_reference(x, 44100, "after change");
    EXPECT_EQ(compute_bars(x, 48000), at48);
}

TEST(Spectrum, NanRateTurnsEveryBarOff) {
    const std::vector<float> x = sine(1000, 48000);
    const std::vector<float> bars = compute_bars(x, std::nanf(""));
    for (float b : bars) EXPECT_EQ(b, -140);
    EXPECT_NEAR(compute_bars(x, 48000)[17], 0.0, 0.05);
}

TEST(Levels, ToDb) {
    EXPECT_EQ(analyzer::to_db(0), -140);
    EXPECT_EQ(analyzer::to_db(1e-7f), -140);
    EXPECT_EQ(analyzer::to_db(-0.5f), -140);
    EXPECT_FLOAT_EQ(analyzer::to_db(1), 0);
    EXPECT_NEAR(analyzer::to_db(0.5f), -6.0206, 1e-4);
}

TEST(Levels, BarsRiseExponentiallyOrAtOnceAndFallLinearly) {
    analyzer::Ballistics b;
    std::vector<float> target(analyzer::kBars, 0.0f);
    b.update(target.data(), 0.016f); // 48 % of the gap
    EXPECT_NEAR(b.level[0], -66 + 0.48 * 66, 1e-3);
    b.update(target.data(), 0.016f);
    EXPECT_NEAR(b.level[0], -66 * 0.52 * 0.52, 1e-3);
    for (float dt : {0.05f, 0.034f}) { // dt >= 1/30: straight onto the target
        analyzer::Ballistics c;
        c.update(target.data(), dt);
        EXPECT_EQ(c.level[5], 0);
        EXPECT_EQ(c.peak[5], 0);
    }

    // Fall: 36 dB per second, never below the target.
    analyzer::Ballistics d;
    d.update(target.data(), 0.05f);
    std::vector<float> low(analyzer::kBars, -10.0f);
    d.update(low.data(), 0.1f);
    EXPECT_NEAR(d.level[3], -3.6, 1e-4);
    d.update(low.data(), 0.5f);
    EXPECT_EQ(d.level[3], -10);
    // Levels below the floor count as the floor.
    std::vector<float> nothing(analyzer::kBars, -140.0f);
    for (int i = 0; i < 10; ++i) d.update(nothing.data(), 0.5f);
    EXPECT_EQ(d.level[3], -66);
}

TEST(Levels, BarPeakHoldsThenFalls) {
    analyzer::Ballistics b;
    std::vector<float> loud(analyzer::kBars, -6.0f);
    b.update(loud.data(), 0.05f);
    EXPECT_EQ(b.peak[0], -6);
    EXPECT_FLOAT_EQ(b.hold[0], 0.8f);
    // The level drops away at once; the peak holds for 0.8 s of 50 ms frames.
    std::vector<float> quiet(analyzer::kBars, -60.0f);
    float t = 0;
    while (b.hold[0] > 0) {
        b.update(quiet.data(), 0.05f);
        t += 0.05f;
        ASSERT_EQ(b.peak[0], -6) << "at " << t;
    }
    EXPECT_NEAR(t, 0.8, 0.051);
    b.update(quiet.data(), 0.05f);
    EXPECT_NEAR(b.peak[0], -6.9, 1e-4); // 18 dB per second
    for (int i = 0; i < 100; ++i) b.decay(0.05f);
    EXPECT_EQ(b.peak[0], -66);
    EXPECT_EQ(b.level[0], -66);
    // A new level at or above the peak takes it over and restarts the hold.
    b.update(loud.data(), 0.05f);
    EXPECT_EQ(b.peak[30], -6);
    EXPECT_FLOAT_EQ(b.hold[30], 0.8f);
}

TEST(Levels, PeakMeterAttackReleaseAndHold) {
    analyzer::PeakMeter m;
    EXPECT_EQ(m.level, -66);
    m.update(-3, 0.016f);
    EXPECT_EQ(m.level, -3); // instant attack
    EXPECT_EQ(m.peak, -3);
    EXPECT_FLOAT_EQ(m.hold, 1.2f);
    m.update(-40, 0.1f);
    EXPECT_NEAR(m.level, -6, 1e-4); // 30 dB per second
    EXPECT_EQ(m.peak, -3);
    float t = 0.1f;
    while (m.hold > 0) {
        m.update(-40, 0.1f);
        t += 0.1f;
        ASSERT_EQ(m.peak, -3);
    }
    EXPECT_NEAR(t, 1.2, 0.11);
    m.update(-40, 0.1f);
    EXPECT_NEAR(m.peak, -4.5, 1e-4); // 15 dB per second
    EXPECT_EQ(m.level, -40);         // released onto the new level, not below
    for (int i = 0; i < 100; ++i) m.update(analyzer::to_db(0), 0.1f);
    EXPECT_EQ(m.level, -66);
    EXPECT_EQ(m.peak, -66);
}

TEST(Onsets, SampleCountCapAndRefusals) {
    std::vector<float> x(20000, 0.0f);
    float flux[20], low[20], high[20];
    std::fill(flux, flux + 20, 99.0f);
    // At 48 kHz a block is 480 samples; 12 values need 15 blocks.
    EXPECT_EQ(analyzer::onset_flux(x.data(), 7199, 48000, 12, flux, low, high), 0);
    EXPECT_EQ(flux[0], 99.0f);
    EXPECT_EQ(analyzer::onset_flux(x.data(), 7200, 48000, 12, flux, low, high), 12);
    EXPECT_EQ(analyzer::onset_flux(x.data(), 20000, 48000, 20, flux, low, high), 12);
    EXPECT_EQ(flux[12], 99.0f);
    EXPECT_EQ(analyzer::onset_flux(x.data(), 441 * 4, 44100, 1, flux, low, high), 1);
    EXPECT_EQ(analyzer::onset_flux(x.data(), 441 * 4 - 1, 44100, 1, flux, low, high), 0);
    // Blocks are at least 16 samples long.
    EXPECT_EQ(analyzer::onset_flux(x.data(), 63, 1000, 1, flux, low, high), 0);
    EXPECT_EQ(analyzer::onset_flux(x.data(), 64, 1000, 1, flux, low, high), 1);
    EXPECT_EQ(analyzer::onset_flux(x.data(), 20000, 48000, 0, flux, low, high), 0);
    EXPECT_EQ(analyzer::onset_flux(nullptr, 20000, 48000, 12, flux, low, high), 0);
    EXPECT_EQ(analyzer::onset_flux(x.data(), 0, 48000, 12, flux, low, high), 0);
    EXPECT_EQ(analyzer::onset_flux(x.data(), 20000, std::nanf(""), 12, flux, low, high), 0);
    EXPECT_EQ(analyzer::onset_flux(x.data(), 20000, -48000, 12, flux, low, high), 0);
    EXPECT_EQ(analyzer::onset_flux(x.data(), 20000, 1e30f, 12, flux, low, high), 0);
}

TEST(Onsets, BroadbandBurstAfterSilenceReachesTheClamp) {
    constexpr int kLen = 8192;
    std::vector<float> x(kLen, 0.0f);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    for (int i = kLen - 480; i < kLen; ++i) x[i] = u(rng); // starts with the last block
    float flux[12], low[12], high[12];
    ASSERT_EQ(analyzer::onset_flux(x.data(), kLen, 48000, 12, flux, low, high), 12);
    for (int k = 0; k < 11; ++k) EXPECT_EQ(flux[k], 0) << k;
    EXPECT_NEAR(flux[11], 16, 0.01);
    EXPECT_NEAR(low[11], 4, 0.01);
    EXPECT_NEAR(high[11], 4, 0.01);
}

TEST(Onsets, SteadyToneGivesNoOnsetAndLowBurstOnlyLowBands) {
    constexpr int kLen = 8192;
    const float rate = 48000;
    std::vector<float> x(kLen);
    for (int i = 0; i < kLen; ++i) x[i] = 0.5f * std::sin(2 * static_cast<float>(kPi) * 1000 * i / rate);
    float flux[12], low[12], high[12];
    ASSERT_EQ(analyzer::onset_flux(x.data(), kLen, rate, 12, flux, low, high), 12);
    for (int k = 0; k < 12; ++k) EXPECT_LT(flux[k], 0.05) << k;

    // Over noise, a 60 Hz tone starting in the ninth output's block rises in the low
    // bands only.
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-0.05f, 0.05f);
    for (float& v : x) v = u(rng);
    const int start = kLen - 4 * 480;
    for (int i = start; i < kLen; ++i)
        x[i] += 0.5f * std::sin(2 * static_cast<float>(kPi) * 60 * (i - start) / rate);
    ASSERT_EQ(analyzer::onset_flux(x.data(), kLen, rate, 12, flux, low, high), 12);
    for (int k = 0; k < 8; ++k) EXPECT_LT(flux[k], 1.0) << k;
    EXPECT_GT(low[8], 3.0);
    EXPECT_LT(high[8], 1.0);
}
