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

// Built in place on the heap: it is too large to pass around on a stack.
std::unique_ptr<Plan> build_plan() {
    auto plan = std::make_unique<Plan>();
    Plan& p = *plan;
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
    return plan;
}

Plan& plan() {
    static const std::unique_ptr<Plan> p = build_plan();
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

// Four doubles and four floats; they may alias plain arrays. The double arrays they are used on
// are 32-byte aligned; the caller's samples need not be.
typedef double V4 __attribute__((vector_size(32), may_alias, aligned(32)));
typedef float V4f __attribute__((vector_size(16), may_alias, aligned(4)));

// Windowing, bit-reversal reordering and the first two radix-2 stages in one pass. The input is
// real, so after the first stage everything is still real, and the second stage's twiddles are
// 1 and (almost exactly) -i. Output group q (elements 4q .. 4q+3) reads the windowed samples
// r, r+2048, r+1024 and r+3072 with r = rev10(q); running over r four at a time keeps the
// loads contiguous, and a 4x4 transpose turns the four lanes into the four output groups.
__attribute__((always_inline)) inline void first_stages(const float* x, const Plan& p, double* re,
                                                        double* im) {
    const V4 c = {p.tw_re[1024], p.tw_re[1024], p.tw_re[1024], p.tw_re[1024]};
    const V4 zero = {0, 0, 0, 0};
    const V4* w = reinterpret_cast<const V4*>(p.window);
    const V4f* xs = reinterpret_cast<const V4f*>(x);
    constexpr int kQuarter = kFftSize / 4 / 4; // vectors per quarter of the input
    for (int u = 0; u < kQuarter; ++u) {
        const V4 a0 = __builtin_convertvector(xs[u], V4) * w[u];
        const V4 a1 = __builtin_convertvector(xs[u + 2 * kQuarter], V4) * w[u + 2 * kQuarter];
        const V4 a2 = __builtin_convertvector(xs[u + kQuarter], V4) * w[u + kQuarter];
        const V4 a3 = __builtin_convertvector(xs[u + 3 * kQuarter], V4) * w[u + 3 * kQuarter];
        const V4 b0 = a0 + a1, b1 = a0 - a1, b2 = a2 + a3, b3 = a2 - a3;
        const V4 r0 = b0 + b2, r1 = b1 + b3 * c, r2 = b0 - b2, r3 = b1 - b3 * c;
        const V4 nb3 = -b3;
        // Transpose: lane v of r0..r3 becomes output group q_v.
        const V4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 2, 6),
                 t1 = __builtin_shufflevector(r0, r1, 1, 5, 3, 7);
        const V4 t2 = __builtin_shufflevector(r2, r3, 0, 4, 2, 6),
                 t3 = __builtin_shufflevector(r2, r3, 1, 5, 3, 7);
        const V4 i0 = __builtin_shufflevector(nb3, b3, 0, 4, 2, 6),
                 i1 = __builtin_shufflevector(nb3, b3, 1, 5, 3, 7);
        // The groups of r = 4u + v: rev10 of v's two bits is 0, 512, 256, 768.
        const int q = p.rev[16 * u];
        V4* out_re = reinterpret_cast<V4*>(re);
        V4* out_im = reinterpret_cast<V4*>(im);
        out_re[q] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
        out_re[q + 512] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
        out_re[q + 256] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
        out_re[q + 768] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
        out_im[q] = __builtin_shufflevector(zero, i0, 0, 4, 1, 5);
        out_im[q + 512] = __builtin_shufflevector(zero, i1, 0, 4, 1, 5);
        out_im[q + 256] = __builtin_shufflevector(zero, i0, 0, 6, 1, 7);
        out_im[q + 768] = __builtin_shufflevector(zero, i1, 0, 6, 1, 7);
    }
}

// Two consecutive radix-2 decimation-in-time stages, of half-size h and 2h (h >= 4), over
// [begin, end) of split real/imaginary arrays. Each group of 4h elements is four quarters
// a, b, c, d: the first stage pairs a with b and c with d, the second a with c and b with d, all
// in registers, so the data passes through memory once for both stages. Four butterflies of
// each pairing at a time.
__attribute__((always_inline)) inline void stage_pair(const Plan& p, double* re, double* im, int h, int begin,
                                                      int end) {
    const V4* w1r = reinterpret_cast<const V4*>(p.stage_re + h);
    const V4* w1i = reinterpret_cast<const V4*>(p.stage_im + h);
    const V4* w2r = reinterpret_cast<const V4*>(p.stage_re + 2 * h);
    const V4* w2i = reinterpret_cast<const V4*>(p.stage_im + 2 * h);
    const int n = h / 4; // vectors per quarter
    for (int g = begin; g < end; g += 4 * h) {
        V4* r = reinterpret_cast<V4*>(re + g);
        V4* i = reinterpret_cast<V4*>(im + g);
        for (int j = 0; j < n; ++j) {
            // First stage: a±w·b and c±w·d with the same twiddle.
            const V4 ar = r[j], ai = i[j], br = r[j + n], bi = i[j + n];
            const V4 cr = r[j + 2 * n], ci = i[j + 2 * n], dr = r[j + 3 * n], di = i[j + 3 * n];
            const V4 tbr = br * w1r[j] - bi * w1i[j], tbi = br * w1i[j] + bi * w1r[j];
            const V4 tdr = dr * w1r[j] - di * w1i[j], tdi = dr * w1i[j] + di * w1r[j];
            const V4 a1r = ar + tbr, a1i = ai + tbi, b1r = ar - tbr, b1i = ai - tbi;
            const V4 c1r = cr + tdr, c1i = ci + tdi, d1r = cr - tdr, d1i = ci - tdi;
            // Second stage: a±w·c with twiddle j, b±w·d with twiddle j + h.
            const V4 tcr = c1r * w2r[j] - c1i * w2i[j], tci = c1r * w2i[j] + c1i * w2r[j];
            const V4 tdr2 = d1r * w2r[j + n] - d1i * w2i[j + n], tdi2 = d1r * w2i[j + n] + d1i * w2r[j + n];
            r[j] = a1r + tcr;
            i[j] = a1i + tci;
            r[j + 2 * n] = a1r - tcr;
            i[j + 2 * n] = a1i - tci;
            r[j + n] = b1r + tdr2;
            i[j + n] = b1i + tdi2;
            r[j + 3 * n] = b1r - tdr2;
            i[j + 3 * n] = b1i - tdi2;
        }
    }
}

// The windowed 4096-point FFT of the samples and the scaled power of bins 0 .. 2047. The
// stages that fit in the first-level cache run block by block, so that the data stays there
// from one stage to the next. Every lane computes what the plain scalar loops would, so the
// result is the same on every processor.
__attribute__((always_inline)) inline void power_spectrum_body(const float* x, const Plan& p, Scratch& s) {
    first_stages(x, p, s.re, s.im);
    // Stage pairs (4, 8), (16, 32), (64, 128) and (256, 512) block by block, then (1024, 2048).
    constexpr int kBlock = 1024; // 16 KB of data per block
    for (int b = 0; b < kFftSize; b += kBlock)
        for (int h = 4; h < kBlock; h *= 4) stage_pair(p, s.re, s.im, h, b, b + kBlock);
    stage_pair(p, s.re, s.im, kBlock, 0, kFftSize);
    const V4 scale = {kPowerScale, kPowerScale, kPowerScale, kPowerScale};
    const V4* re = reinterpret_cast<const V4*>(s.re);
    const V4* im = reinterpret_cast<const V4*>(s.im);
    V4* power = reinterpret_cast<V4*>(s.power);
    for (int k = 0; k < kHalf / 4; ++k) power[k] = (re[k] * re[k] + im[k] * im[k]) / scale;
}

constexpr int kCuts = 9; // low-pass corners of the onset measure
constexpr int kOnsetBands = kCuts - 1;
typedef float V8f __attribute__((vector_size(32)));

// The onset measure's filters over the samples: nine second-order low-passes (two one-pole
// stages each, from zero), the first `settle` samples only settling them; then per block of
// `hop` samples and per band (the difference of neighbouring low-passes) ln of the mean square.
// The filters run as two eight-lane vectors, one holding low-passes 0-7 and one 1-8, so that
// the bands are plain lane differences; each lane computes what the scalar loop would.
__attribute__((always_inline)) inline void band_levels_body(const float* x, int settle, int blocks, int hop,
                                                            const float* c, float (*level)[kOnsetBands]) {
    const V8f c_lo = {c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]};
    const V8f c_hi = {c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8]};
    V8f y1_lo = {}, y2_lo = {}, y1_hi = {}, y2_hi = {};
    auto step = [&](float sample) __attribute__((always_inline)) {
        const V8f v = {sample, sample, sample, sample, sample, sample, sample, sample};
        y1_lo += c_lo * (v - y1_lo);
        y2_lo += c_lo * (y1_lo - y2_lo);
        y1_hi += c_hi * (v - y1_hi);
        y2_hi += c_hi * (y1_hi - y2_hi);
    };
    for (int i = 0; i < settle; ++i) step(x[i]);
    for (int b = 0; b < blocks; ++b) {
        V4 sum_lo = {}, sum_hi = {};
        const float* block = x + settle + b * hop;
        for (int i = 0; i < hop; ++i) {
            step(block[i]);
            const V8f band = y2_hi - y2_lo;
            const V4 d_lo = __builtin_convertvector(__builtin_shufflevector(band, band, 0, 1, 2, 3), V4);
            const V4 d_hi = __builtin_convertvector(__builtin_shufflevector(band, band, 4, 5, 6, 7), V4);
            sum_lo += d_lo * d_lo;
            sum_hi += d_hi * d_hi;
        }
        for (int j = 0; j < 4; ++j) {
            level[b][j] = static_cast<float>(std::log(sum_lo[j] / hop + 1e-10));
            level[b][j + 4] = static_cast<float>(std::log(sum_hi[j] / hop + 1e-10));
        }
    }
}

// Each kernel is built twice, for processors with AVX2 and for any other, and chosen at run
// time. (Not by the compiler's function multi-versioning: its resolvers run while the program
// is loaded, before ThreadSanitizer's runtime is ready, and crash instrumented builds.)
#if defined(__x86_64__) || defined(__i386__)
bool has_avx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
__attribute__((target("avx2"))) void power_spectrum_avx2(const float* x, const Plan& p, Scratch& s) {
    power_spectrum_body(x, p, s);
}
__attribute__((target("avx2"))) void band_levels_avx2(const float* x, int settle, int blocks, int hop,
                                                      const float* c, float (*level)[kOnsetBands]) {
    band_levels_body(x, settle, blocks, hop, c, level);
}
#else
bool has_avx2() {
    return false;
}
void power_spectrum_avx2(const float*, const Plan&, Scratch&) {}
void band_levels_avx2(const float*, int, int, int, const float*, float (*)[kOnsetBands]) {}
#endif

void power_spectrum(const float* x, const Plan& p, Scratch& s) {
    if (has_avx2())
        power_spectrum_avx2(x, p, s);
    else
        power_spectrum_body(x, p, s);
}

void band_levels(const float* x, int settle, int blocks, int hop, const float* c,
                 float (*level)[kOnsetBands]) {
    if (has_avx2())
        band_levels_avx2(x, settle, blocks, hop, c, level);
    else
        band_levels_body(x, settle, blocks, hop, c, level);
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
    power_spectrum(samples, p, s);

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
    float level[kMaxOnsets + 3][kOnsetBands];
    band_levels(samples, n - blocks * hop, blocks, hop, c, level);

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
