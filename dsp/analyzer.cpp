#include "dsp/analyzer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

namespace analyzer {
namespace {

constexpr int kHalf = kFftSize / 2;
constexpr double kTwoPi = 6.283185307179586;
// A full-scale sine sums to |X|² = (4096 · 0.5 / 2)² = 1024² in its peak bin under the Hann
// window, and its three-bin main lobe to 1.5 · 1024²: dividing by that reads 0 dB.
constexpr double kPowerScale = 1572864.0;
constexpr double kMinPower = 1e-14;
constexpr double kThirdOctave = 1.122462048309373; // 2^(1/6): a bar's edges around its centre

const char* const kLabels[kBars] = {"20", "",   "", "",    "",   "63", "",   "",    "", "",   "200",
                                    "",   "",   "", "500", "",   "",   "1k", "",    "", "2k", "",
                                    "",   "4k", "", "",    "8k", "",   "",   "16k", ""};

// Everything of the analysis that does not depend on the samples. The bar map is rebuilt
// inside compute() on a rate change; the rest never changes.
struct Plan {
    alignas(64) double window[kFftSize];
    alignas(64) double tw_re[kHalf];
    alignas(64) double tw_im[kHalf];
    // The twiddles of the stage with half-size h (h = 4 .. 2048) laid out contiguously at [h, 2h),
    // copied from tw_re/tw_im, so that the butterfly loops read them in order.
    alignas(64) double stage_re[kFftSize];
    alignas(64) double stage_im[kFftSize];
    uint16_t rev[kFftSize];
    BarBins bars[kBars];
    float rate = -1;
};

Plan build_plan() {
    Plan p;
    p.window[0] = 0;
    for (int i = 1; i < kFftSize; ++i) p.window[i] = 0.5 - 0.5 * std::cos(kTwoPi * i / (kFftSize - 1));
    for (int k = 0; k < kHalf; ++k) {
        p.tw_re[k] = std::cos(-kTwoPi * k / kFftSize);
        p.tw_im[k] = std::sin(-kTwoPi * k / kFftSize);
    }
    p.tw_re[0] = 1;
    p.tw_im[0] = -0.0;
    for (int h = 4; h < kFftSize; h *= 2) {
        const int stride = kHalf / h;
        for (int j = 0; j < h; ++j) {
            p.stage_re[h + j] = p.tw_re[j * stride];
            p.stage_im[h + j] = p.tw_im[j * stride];
        }
    }
    for (int i = 0; i < kFftSize; ++i) {
        int r = 0;
        for (int b = 0; b < 12; ++b) r |= ((i >> b) & 1) << (11 - b);
        p.rev[i] = static_cast<uint16_t>(r);
    }
    return p;
}

Plan& plan() {
    static const std::unique_ptr<Plan> p = std::make_unique<Plan>(build_plan());
    return *p;
}

struct Scratch {
    alignas(64) double re[kFftSize];
    alignas(64) double im[kFftSize];
    alignas(64) double power[kHalf];
};

Scratch& scratch() {
    thread_local std::unique_ptr<Scratch> s;
    if (!s) s = std::make_unique<Scratch>();
    return *s;
}

// Windowing, bit-reversal reordering and the first two radix-2 stages in one pass. The input is
// real, and the twiddles of these stages are 1 and -i, so the butterflies reduce to sums.
void first_stages(const float* x, const Plan& p, double* re, double* im) {
    const double* w = p.window;
    for (int i = 0; i < kFftSize; i += 4) {
        // For i = 4q the reversed indices of i+1, i+2, i+3 are those of i plus 2048, 1024, 3072.
        const int r = p.rev[i];
        const double a0 = x[r] * w[r];
        const double a1 = x[r + 2048] * w[r + 2048];
        const double a2 = x[r + 1024] * w[r + 1024];
        const double a3 = x[r + 3072] * w[r + 3072];
        const double b0 = a0 + a1, b1 = a0 - a1, b2 = a2 + a3, b3 = a2 - a3;
        re[i] = b0 + b2;
        im[i] = 0;
        re[i + 1] = b1;
        im[i + 1] = -b3;
        re[i + 2] = b0 - b2;
        im[i + 2] = 0;
        re[i + 3] = b1;
        im[i + 3] = b3;
    }
}

// Four doubles; may alias plain double arrays, which are 32-byte aligned wherever it is used.
typedef double V4 __attribute__((vector_size(32), may_alias, aligned(32)));

// One radix-2 decimation-in-time stage of half-size h (h >= 4) over [begin, end) of split
// real/imaginary arrays, four butterflies at a time.
__attribute__((always_inline)) inline void stage(const Plan& p, double* re, double* im, int h, int begin,
                                                 int end) {
    const V4* wr = reinterpret_cast<const V4*>(p.stage_re + h);
    const V4* wi = reinterpret_cast<const V4*>(p.stage_im + h);
    for (int g = begin; g < end; g += 2 * h) {
        V4* ar = reinterpret_cast<V4*>(re + g);
        V4* ai = reinterpret_cast<V4*>(im + g);
        V4* br = reinterpret_cast<V4*>(re + g + h);
        V4* bi = reinterpret_cast<V4*>(im + g + h);
        for (int j = 0; j < h / 4; ++j) {
            const V4 xr = br[j], xi = bi[j];
            const V4 tr = xr * wr[j] - xi * wi[j];
            const V4 ti = xr * wi[j] + xi * wr[j];
            const V4 ur = ar[j], ui = ai[j];
            ar[j] = ur + tr;
            ai[j] = ui + ti;
            br[j] = ur - tr;
            bi[j] = ui - ti;
        }
    }
}

// The stages of half-size 4 .. 2048. Those that fit in the first-level cache run block by
// block, so that the data stays there from one stage to the next.
__attribute__((target_clones("avx2", "default"))) void later_stages(const Plan& p, double* re, double* im) {
    constexpr int kBlock = 1024; // 16 KB of data per block
    for (int b = 0; b < kFftSize; b += kBlock)
        for (int h = 4; h < kBlock; h *= 2) stage(p, re, im, h, b, b + kBlock);
    for (int h = kBlock; h < kFftSize; h *= 2) stage(p, re, im, h, 0, kFftSize);
}

} // namespace

void bar_map(float rate, BarBins* out) {
    const double binw = static_cast<double>(rate * (1.0f / kFftSize));
    const double nyquist = static_cast<double>(0.5f * rate);
    for (int i = 0; i < kBars; ++i) {
        BarBins b;
        const double f = kBarFreq[i];
        const double hi = f * kThirdOctave;
        const double lo = f / kThirdOctave;
        b.tilt = 1.5 * std::log2(f / 1000.0);
        // A NaN rate would make the bin numbers below undefined.
        if (std::isnan(rate) || hi >= nyquist) {
            b.off = true;
            out[i] = b;
            continue;
        }
        const double first = std::ceil(lo / binw);
        const double last = std::floor(hi / binw);
        if (first > last) {
            b.single = true;
            b.bin = static_cast<int>(std::clamp(std::lround(f / binw), 1L, static_cast<long>(kHalf - 1)));
            b.weight = (hi - lo) / binw;
        } else {
            b.first = std::max(static_cast<int>(first), 1);
            b.last = std::min(static_cast<int>(last), kHalf - 1);
        }
        out[i] = b;
    }
}

const char* bar_label(int i) {
    return i >= 0 && i < kBars ? kLabels[i] : "";
}

float to_db(float x) {
    return x > 1e-7f ? 20.0f * std::log10(x) : kNothingDb;
}

void compute(const float* samples, float rate, float* bars) {
    Plan& p = plan();
    if (!(rate == p.rate)) {
        p.rate = rate;
        bar_map(rate, p.bars);
    }
    Scratch& s = scratch();
    first_stages(samples, p, s.re, s.im);
    later_stages(p, s.re, s.im);
    for (int k = 0; k < kHalf; ++k) s.power[k] = (s.re[k] * s.re[k] + s.im[k] * s.im[k]) / kPowerScale;

    for (int i = 0; i < kBars; ++i) {
        const BarBins& b = p.bars[i];
        if (b.off) {
            bars[i] = kNothingDb;
            continue;
        }
        double power;
        if (b.single) {
            power = s.power[b.bin] * b.weight;
        } else if (b.first > b.last) {
            power = kMinPower;
        } else {
            power = 0;
            for (int k = b.first; k <= b.last; ++k) power += s.power[k];
        }
        bars[i] = static_cast<float>(10.0 * std::log10(std::max(power, kMinPower)) + b.tilt);
    }
}

Ballistics::Ballistics() {
    std::fill(level, level + kBars, kFloorDb);
    std::fill(peak, peak + kBars, kFloorDb);
    std::fill(hold, hold + kBars, 0.0f);
}

void Ballistics::update(const float* levels, float dt) {
    for (int i = 0; i < kBars; ++i) {
        const float target = std::max(levels[i], kFloorDb);
        if (target > level[i]) {
            if (dt * 30.0f < 1.0f)
                level[i] += dt * 30.0f * (target - level[i]);
            else
                level[i] = target;
        } else {
            level[i] = std::max(level[i] - 36.0f * dt, target);
        }
        if (level[i] >= peak[i]) {
            peak[i] = level[i];
            hold[i] = 0.8f;
        } else if (hold[i] > 0) {
            hold[i] -= dt;
        } else {
            peak[i] = std::max(peak[i] - 18.0f * dt, kFloorDb);
        }
    }
}

void Ballistics::decay(float dt) {
    float floor[kBars];
    std::fill(floor, floor + kBars, kFloorDb);
    update(floor, dt);
}

void PeakMeter::update(float db, float dt) {
    const float a = std::max(db, kFloorDb);
    level = a > level ? a : std::max(level - 30.0f * dt, a);
    if (level >= peak) {
        peak = level;
        hold = 1.2f;
    } else if (hold > 0) {
        hold -= dt;
    } else {
        peak = std::max(peak - 15.0f * dt, kFloorDb);
    }
}

int onset_flux(const float* samples, int n, float rate, int count, float* flux, float* low, float* high) {
    constexpr int kCuts = 9;
    constexpr int kOnsetBands = kCuts - 1;
    constexpr float kCut[kCuts] = {40, 90, 180, 350, 700, 1400, 2800, 5600, 11000};
    if (count <= 0 || !samples || n <= 0) return 0;
    // Without a finite positive rate there is no block length (and converting it would be undefined).
    if (!(rate > 0.0f) || !std::isfinite(rate)) return 0;
    const float hop_f = rate * 10.0f / 1000.0f;
    if (hop_f > static_cast<float>(n)) return 0; // not even one block; also keeps the conversion in range
    const int hop = std::max(static_cast<int>(hop_f), 16);
    const int m = std::min(count, kMaxOnsets);
    const int blocks = m + 3;
    if (static_cast<int64_t>(n) < static_cast<int64_t>(blocks) * hop) return 0;

    float c[kCuts];
    for (int j = 0; j < kCuts; ++j) c[j] = 1.0f - std::exp(-6.2831853f * kCut[j] / rate);
    float y1[kCuts] = {}, y2[kCuts] = {};
    auto step = [&](float x) {
        for (int j = 0; j < kCuts; ++j) {
            y1[j] += c[j] * (x - y1[j]);
            y2[j] += c[j] * (y1[j] - y2[j]);
        }
    };
    const int settle = n - blocks * hop;
    for (int i = 0; i < settle; ++i) step(samples[i]);

    float level[kMaxOnsets + 3][kOnsetBands];
    for (int b = 0; b < blocks; ++b) {
        double sum[kOnsetBands] = {};
        const float* x = samples + settle + b * hop;
        for (int i = 0; i < hop; ++i) {
            step(x[i]);
            for (int j = 0; j < kOnsetBands; ++j) {
                const float band = y2[j + 1] - y2[j];
                sum[j] += static_cast<double>(band) * band;
            }
        }
        for (int j = 0; j < kOnsetBands; ++j)
            level[b][j] = static_cast<float>(std::log(sum[j] / hop + 1e-10));
    }

    for (int k = 0; k < m; ++k) {
        float d[kOnsetBands];
        for (int j = 0; j < kOnsetBands; ++j) {
            const float before = std::max({level[k][j], level[k + 1][j], level[k + 2][j]});
            d[j] = std::clamp(level[k + 3][j] - before, 0.0f, 2.0f);
        }
        float total = 0;
        for (int j = 0; j < kOnsetBands; ++j) total += d[j];
        flux[k] = total;
        low[k] = d[0] + d[1];
        high[k] = d[6] + d[7];
    }
    return m;
}

} // namespace analyzer
