// The raster worker and every picture it computes.
//
// Sections, in the order a picture visits them:
//   1. colours and safe index helpers       5. shaded figures (Newton, waves, tilings, spirals)
//   2. escape-time kernel (generic, AVX2)   6. tunnel wall and its cache
//   3. escape-time pictures and bands       7. dispatch by kind, render()
//   4. density renderer (attractors, flame) 8. the worker thread and its hand-off
//                                           9. sample jobs
//
// The worker thread owns the computation; the window thread only hands over jobs and picks up
// finished pictures under g_mtx, which is never held while computing. Band threads write
// disjoint rows of one picture and read the job, which nobody changes meanwhile.
#include "scene/raster_bg.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace raster {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr uint32_t kBlack = 0xFF000000u;
// Escape-time iteration limits beyond these are absurd for a background (the scene asks for at
// most 200) and would only stall the worker: at most 4096 steps, and at most about four billion
// steps for the whole picture.
constexpr int kMaxIter = 4096;
constexpr double kMaxSteps = 4e9;

// ---------------------------------------------------------------------------------------------
// 1. Colours and safe index helpers. Parameters arrive unvalidated (NaN, infinities, 1e300), so
// every conversion from a double to an index goes through these.

struct Rgb {
    double r = 0, g = 0, b = 0;
};

inline Rgb unpack(uint32_t c) {
    return {static_cast<double>((c >> 16) & 255), static_cast<double>((c >> 8) & 255),
            static_cast<double>(c & 255)};
}

inline uint32_t pack(double r, double g, double b) {
    auto ch = [](double v) -> uint32_t {
        if (!(v > 0)) return 0; // also NaN
        if (v >= 255) return 255;
        return static_cast<uint32_t>(v + 0.5);
    };
    return kBlack | ch(r) << 16 | ch(g) << 8 | ch(b);
}

inline uint32_t pack(const Rgb& c) { return pack(c.r, c.g, c.b); }

inline Rgb scale(const Rgb& c, double k) { return {c.r * k, c.g * k, c.b * k}; }
inline Rgb mix(const Rgb& a, const Rgb& b, double t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// x wrapped into [0, 256); 0 for NaN and infinities.
inline double wrap256(double x) {
    if (!std::isfinite(x)) return 0;
    double r = std::fabs(x) < 1e12 ? x - 256 * std::floor(x * (1.0 / 256)) : std::fmod(x, 256.0);
    if (r < 0) r += 256;
    return r < 256 ? r : 0;
}

inline int index256(double x) { return static_cast<int>(wrap256(std::floor(x))) & 255; }

inline Rgb pal(const Job& job, double x) { return unpack(job.palette[index256(x)]); }

// Linear interpolation between neighbouring palette entries.
inline Rgb pal_smooth(const Job& job, double x) {
    const double w = wrap256(x);
    const int i = static_cast<int>(w) & 255;
    return mix(unpack(job.palette[i]), unpack(job.palette[(i + 1) & 255]), w - std::floor(w));
}

// An integer parameter: the nearest integer to v, within lo..hi (lo for NaN).
inline int int_param(double v, int lo, int hi) {
    if (!(v >= lo)) return lo;
    if (v >= hi) return hi;
    return static_cast<int>(std::lround(v));
}

// A real parameter used as a time or a scale: NaN and infinities become `fallback`, the rest is
// kept within ±limit so that products stay finite.
inline double real_param(double v, double fallback, double limit = 1e6) {
    if (!std::isfinite(v)) return fallback;
    return std::clamp(v, -limit, limit);
}

inline double smoothstep(double a, double b, double x) {
    const double t = std::clamp((x - a) / (b - a), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}


// Sine and cosine to about 1e-7, several times faster than the library's: the shaded figures
// and the attractors call them millions of times per picture. Huge or non-finite arguments go
// to the library.
inline double fsin(double x) {
    if (!(std::fabs(x) < 1e7)) return std::sin(x);
    // Rounded by adding and taking away 1.5·2⁵² (std::nearbyint is a library call on the
    // generic processor).
    const double k = (x * (1 / kTwoPi) + 6755399441055744.0) - 6755399441055744.0;
    double r = (x - k * 6.28318530717958623) - k * 2.4492935982947064e-16; // x mod 2π in [−π, π]
    if (r > 0.5 * kPi)
        r = kPi - r;
    else if (r < -0.5 * kPi)
        r = -kPi - r;
    const double r2 = r * r;
    return r * (1 + r2 * (-1.0 / 6 + r2 * (1.0 / 120 + r2 * (-1.0 / 5040 + r2 * (1.0 / 362880 +
                r2 * (-1.0 / 39916800 + r2 * (1.0 / 6227020800.0)))))));
}
inline double fcos(double x) { return fsin(x + 0.5 * kPi); }

// Natural logarithm to about 1e-12, for the smooth colouring of every escaped sample; zero,
// negative, subnormal and non-finite input goes to the library.
inline double flog(double x) {
    if (!(x >= 2.2250738585072014e-308) || !(x <= 1.7976931348623157e308)) return std::log(x);
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    int e = static_cast<int>(bits >> 52) - 1023;
    bits = (bits & 0xFFFFFFFFFFFFFull) | 0x3FF0000000000000ull;
    double m;
    std::memcpy(&m, &bits, sizeof m);
    if (m > 1.4142135623730951) m *= 0.5, ++e;
    const double f = (m - 1) / (m + 1), q = f * f;
    const double series =
        1 + q * (1.0 / 3 + q * (1.0 / 5 + q * (1.0 / 7 + q * (1.0 / 9 + q * (1.0 / 11 + q * (1.0 / 13 + q / 15))))));
    return e * 0.6931471805599453 + 2 * f * series;
}

// atan2 to about 1e-5 rad for the flame's variations; non-finite input goes to the library.
inline double fatan2(double y, double x) {
    const double ax = std::fabs(x), ay = std::fabs(y);
    const double hi = std::max(ax, ay);
    if (!(hi > 0) || !std::isfinite(hi)) return std::atan2(y, x);
    const double a = std::min(ax, ay) / hi, a2 = a * a;
    double r = a * (0.99997726 + a2 * (-0.33262347 + a2 * (0.19354346 + a2 * (-0.11643287 + a2 * (0.05265332 + a2 * -0.01172120)))));
    if (ay > ax) r = 0.5 * kPi - r;
    if (x < 0) r = kPi - r;
    return y < 0 ? -r : r;
}

// A small deterministic hash of two integers to 0..1.
inline double hash01(int i, int j, uint32_t seed = 0) {
    uint32_t h = static_cast<uint32_t>(i) * 0x8da6b343u ^ static_cast<uint32_t>(j) * 0xd8163841u ^ seed;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return (h & 0xFFFFFF) / 16777216.0;
}

// Plane coordinates of pixel centres for the figures that are not zoomed: x runs over
// [-1, 1] across the width, y over ±h/w with the same unit, both centred.
struct Frame {
    int w, h;
    double unit; // plane units per pixel
    double x(double px) const { return (px + 0.5 - 0.5 * w) * unit; }
    double y(double py) const { return (py + 0.5 - 0.5 * h) * unit; }
};

inline Frame frame_of(const Image& img) { return {img.w, img.h, 2.0 / img.w}; }

// Runs `shade(x, y) -> Rgb` for every pixel with n × n samples (n = 1 or 2), averaging them.
template <typename Shade> void shade_pixels(Image& img, int n, Shade shade) {
    const Frame f = frame_of(img);
    const double off[2][2] = {{0, 0}, {-0.25, 0.25}};
    const double* o = n == 2 ? off[1] : off[0];
    const double k = 1.0 / (n * n);
    for (int py = 0; py < img.h; ++py) {
        uint32_t* row = img.px.data() + static_cast<size_t>(py) * img.w;
        for (int px = 0; px < img.w; ++px) {
            Rgb sum;
            for (int sy = 0; sy < n; ++sy)
                for (int sx = 0; sx < n; ++sx) {
                    const Rgb c = shade(f.x(px + o[sx]), f.y(py + o[sy]));
                    sum.r += std::clamp(c.r, 0.0, 255.0);
                    sum.g += std::clamp(c.g, 0.0, 255.0);
                    sum.b += std::clamp(c.b, 0.0, 255.0);
                }
            row[px] = pack(scale(sum, k));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// 2. Escape-time kernel. Samples are iterated in groups of lanes: the generic build takes four
// at a time, the AVX2 build eight for the lit kinds and twelve for the Burning Ship (two or
// three registers: independent chains that hide the latency of the multiplications). Both
// compute the same orbits bit for bit; the AVX2 build fuses the multiply-adds (FMA) of the
// derivative and the shading, which differ only in the last bits, tests for escapes with fewer
// operations per step (step_wide) and colours a row in two passes (shade_body).

typedef double V4 __attribute__((vector_size(32)));
typedef long long M4 __attribute__((vector_size(32)));

// Where one sample's orbit ended: z and its derivative at the step that escaped (n > 0), or
// n = 0 for a sample that counts as interior.
struct Orbit {
    double x, y, dx, dy;
    int32_t n;
};

// Lane state that the wide build carries from one pass over a row to the next (iterate_rows):
// z, x² − y², c, the z saved for the periodicity test, the derivative and where in the row the
// sample belongs.
enum CarryField { kCarryX, kCarryY, kCarryD, kCarryCx, kCarryCy, kCarrySx, kCarrySy, kCarryDx, kCarryDy, kCarryAt, kCarryFields };

// The samples of one row and what the kernel makes of them, one array per field, so that a
// group of lanes loads and stores each field at once. The arrays are padded to whole groups of
// 24 (a multiple of every group width) with copies of the last sample (see pad()), so that the
// kernel never takes a tail apart.
class SampleRow {
public:
    static constexpr int kGroup = 24;
    explicit SampleRow(int count)
        : count_(count), padded_((count + kGroup - 1) / kGroup * kGroup), buf_(static_cast<size_t>(kFields) * padded_),
          ok_(padded_) {}
    int count() const { return count_; }
    int padded() const { return padded_; }
    // Sample positions (the pixel as c, or as z₀ for the Julia set).
    double* xs() { return field(0); }
    double* ys() { return field(1); }
    // The orbit's end: z, z' and the escape step n (0: interior).
    double* x() { return field(2); }
    double* y() { return field(3); }
    double* dx() { return field(4); }
    double* dy() { return field(5); }
    double* n() { return field(6); }
    // The colour of an escaped sample, each channel 0..255, valid where ok() is set.
    double* r() { return field(7); }
    double* g() { return field(8); }
    double* b() { return field(9); }
    int64_t* ok() { return ok_.data(); }
    // The state of samples still running between passes of the wide build (CarryField).
    double* carry(int f) { return field(kOwnFields + f); }
    Orbit orbit(int i) { return {x()[i], y()[i], dx()[i], dy()[i], static_cast<int32_t>(n()[i])}; }
    void pad() {
        for (int i = count_; i < padded_; ++i) xs()[i] = xs()[count_ - 1], ys()[i] = ys()[count_ - 1];
    }

private:
    static constexpr int kOwnFields = 10, kFields = kOwnFields + kCarryFields;
    double* field(int k) { return buf_.data() + static_cast<size_t>(k) * padded_; }
    int count_, padded_;
    std::vector<double> buf_;
    std::vector<int64_t> ok_;
};

struct Escape {
    int kind;      // 0 Mandelbrot, 1 Julia, 2 Burning Ship
    int iter;      // steps at most
    double jx, jy; // the Julia constant
};

// (Vectors pass by reference and results come back through references: passing them by value
// would change the calling convention between the two builds.)

// GCC declares its AVX builtins once some code asks for AVX; this empty region does, so that
// the wide build can test a mask with one instruction.
#if defined(__GNUC__) && !defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
#pragma GCC push_options
#pragma GCC target("avx2")
#pragma GCC pop_options
#define RASTER_MOVMSK 1
#endif

// Whether any lane of a comparison's mask is set.
template <bool Wide> __attribute__((always_inline)) inline bool any(const M4& m) {
#ifdef RASTER_MOVMSK
    if constexpr (Wide) return __builtin_ia32_movmskpd256(reinterpret_cast<V4>(m)) != 0;
#endif
    return (m[0] | m[1] | m[2] | m[3]) != 0;
}

// r = a·b + c, rounded once where the build has FMA (the compiler joins the four lanes into one
// instruction), as a product and a sum otherwise.
template <bool Fma> __attribute__((always_inline)) inline void madd(V4& r, const V4& a, const V4& b, const V4& c) {
    if constexpr (Fma) {
        V4 t;
#pragma GCC unroll 4
        for (int l = 0; l < 4; ++l) t[l] = __builtin_fma(a[l], b[l], c[l]);
        r = t;
    } else {
        r = a * b + c;
    }
}

#define SPLAT(v) (V4{} + (v))

// Main cardioid and period-2 bulb: such points never escape.
inline bool in_cardioid_or_bulb(double x, double y) {
    const double xq = x - 0.25, y2 = y * y;
    const double q = xq * xq + y2;
    if (q * (q + xq) <= 0.25 * y2) return true;
    return (x + 1) * (x + 1) + y2 <= 0.0625;
}

// The AVX2 build's step keeps d = x² − y² and r = |z|² = x² + y² instead of x² and y²: the
// same operations in the same order, but only x, y and d live on from step to step (r is
// compared right away), which leaves registers for more lanes.
template <int Kind>
__attribute__((always_inline)) inline void step_wide(V4& x, V4& y, V4& d, V4& r, V4& dx, V4& dy, const V4& cx,
                                                     const V4& cy) {
    if (Kind == 2) {
        // The Burning Ship's y ← |2·x·y| + c_y with the doubling inside a multiply-add: doubling
        // is exact, so the one rounding of 2·|x·y| + c_y is the rounding of the sum in the
        // generic build, and the orbit stays the same bit for bit. It saves one of the step's
        // eleven operations, and the iteration of the unlit kind is bound by their number.
        const M4 sign = M4{} + 0x7FFFFFFFFFFFFFFFLL;
        const V4 xy = reinterpret_cast<V4>(reinterpret_cast<M4>(x * y) & sign);
        x = d + cx;
        madd<true>(y, xy, SPLAT(2.0), cy);
    } else {
        const V4 tx = x + x, ty = y + y, one = SPLAT(Kind == 0 ? 1.0 : 0.0);
        V4 ndx, ndy;
        madd<true>(ndx, -ty, dy, one);
        madd<true>(ndx, tx, dx, ndx);
        madd<true>(ndy, tx, dy, ty * dx);
        dx = ndx, dy = ndy;
        const V4 xy = tx * y;
        x = d + cx;
        y = xy + cy;
    }
    const V4 x2 = x * x, y2 = y * y;
    d = x2 - y2;
    r = x2 + y2;
}

// One step of z (and its derivative) for one register of lanes. z itself is stepped the same
// way in both builds, so that their orbits agree bit for bit: chaotic orbits near the set
// would carry a difference in the last bit into a different escape. The derivative only shades
// the picture, so the AVX2 build fuses its multiply-adds.
template <int Kind, bool Fma>
__attribute__((always_inline)) inline void step(V4& x, V4& y, V4& x2, V4& y2, V4& dx, V4& dy, const V4& cx,
                                                const V4& cy) {
    // Doubling is exact, so 2x·y here equals 2·(x·y) of the textbook step.
    const V4 tx = x + x;
    if (Kind != 2) { // z' ← 2·z·z' (+ 1 for the derivative by c)
        const V4 ty = y + y, one = SPLAT(Kind == 0 ? 1.0 : 0.0);
        V4 ndx, ndy;
        madd<Fma>(ndx, -ty, dy, one);
        madd<Fma>(ndx, tx, dx, ndx);
        madd<Fma>(ndy, tx, dy, ty * dx);
        dx = ndx, dy = ndy;
    }
    V4 xy = tx * y;
    if (Kind == 2) { // the Burning Ship: z = (|Re z| + i·|Im z|)² + c
        const M4 sign = M4{} + 0x7FFFFFFFFFFFFFFFLL;
        xy = reinterpret_cast<V4>(reinterpret_cast<M4>(xy) & sign);
    }
    x = x2 - y2 + cx;
    y = xy + cy;
    x2 = x * x;
    y2 = y * y;
}

// Lanes outside `live` are parked at z = c = 0 (and x² − y² = 0), where the orbit stays: they
// never compare greater again, nor turn NaN. (|z|² is recomputed by the next step.)
__attribute__((always_inline)) inline void park(const M4& live, V4& x, V4& y, V4& d, V4& cx, V4& cy) {
    const V4 zero{};
    x = live ? x : zero, y = live ? y : zero, d = live ? d : zero;
    cx = live ? cx : zero, cy = live ? cy : zero;
}

typedef float F8 __attribute__((vector_size(32)));
typedef int32_t I8 __attribute__((vector_size(32)));

// For each mask of four lanes, the permutation (in halves of a lane) that moves the set lanes to
// the front in their order.
struct PackTable {
    alignas(32) int32_t perm[16][8];
    constexpr PackTable() : perm() {
        for (int m = 0; m < 16; ++m) {
            int k = 0;
            for (int l = 0; l < 4; ++l)
                if (m >> l & 1) perm[m][2 * k] = 2 * l, perm[m][2 * k + 1] = 2 * l + 1, ++k;
        }
    }
};
constexpr PackTable kPack;

// Stores the lanes of v that `perm` selects at out[0], out[1], ...; the four doubles from out[0]
// on are written, the ones past the selected lanes with leftovers.
__attribute__((always_inline)) inline void pack_store(const V4& v, const I8& perm, double* out) {
    F8 f, p;
    __builtin_memcpy(&f, &v, sizeof f);
#if defined(__clang__)
    for (int k = 0; k < 8; ++k) p[k] = f[perm[k]];
#else
    p = __builtin_shuffle(f, perm); // one vpermps
#endif
    __builtin_memcpy(out, &p, sizeof p);
}

// The four bits of a comparison's mask.
template <bool Wide> __attribute__((always_inline)) inline int lane_bits(const M4& m) {
#ifdef RASTER_MOVMSK
    if constexpr (Wide) return __builtin_ia32_movmskpd256(reinterpret_cast<V4>(m));
#endif
    return (m[0] & 1) | (m[1] & 2) | (m[2] & 4) | (m[3] & 8);
}

// One group of 4·C samples for the steps from..to. A group that starts the orbits takes its
// samples at xs[first], ys[first] (the pixel as c for kinds 0 and 2, as z₀ for kind 1) and
// writes their ends at row position first; a group that resumes them (Resume) takes the lanes
// at carry position first, of which `live` are in use, and writes each end where its sample
// belongs. With `keep`, lanes still running at the end are packed into the carry from `kept`
// on. The derivative is dz/dc for kind 0 and dz/dz₀ for kind 1; the Burning Ship's pictures
// are not lit, so it carries none.
template <int Kind, int C, bool Fma, bool Resume>
__attribute__((always_inline)) inline void iterate_group(const Escape& s, SampleRow& row, int first, int from, int to,
                                                         int live, bool keep, int& kept) {
    // With several registers, the AVX2 build tests for an escape with the largest |z|² of all
    // lanes, two operations fewer per step than a comparison and a merge per register. That
    // needs every lane's |z|² to be a number: finished lanes are parked rather than sent to NaN.
    constexpr bool Park = C > 1;
    static_assert(Park || !Resume);
    V4 x[C], y[C], dx[C], dy[C], cx[C], cy[C], x2[C], y2[C];
    V4 ex[C], ey[C], edx[C], edy[C], en[C], sx[C], sy[C];
    M4 act[C];
    const V4 zero = SPLAT(0);
    #pragma GCC unroll 4
    for (int c = 0; c < C; ++c) {
        const int at = first + 4 * c;
        if constexpr (Resume) {
            const auto load = [&](CarryField f, V4& v) { __builtin_memcpy(&v, row.carry(f) + at, sizeof v); };
            load(kCarryX, x[c]), load(kCarryY, y[c]), load(kCarryD, x2[c]);
            load(kCarrySx, sx[c]), load(kCarrySy, sy[c]);
            if (Kind == 1) {
                cx[c] = SPLAT(s.jx), cy[c] = SPLAT(s.jy);
            } else {
                load(kCarryCx, cx[c]), load(kCarryCy, cy[c]);
            }
            if (Kind != 2) {
                load(kCarryDx, dx[c]), load(kCarryDy, dy[c]);
            } else {
                dx[c] = dy[c] = zero;
            }
            M4 a;
            #pragma GCC unroll 4
            for (int l = 0; l < 4; ++l) a[l] = at + l < live ? -1 : 0;
            act[c] = a;
            y2[c] = zero;
            park(act[c], x[c], y[c], x2[c], cx[c], cy[c]);
        } else {
            V4 px, py;
            M4 a;
            const double* xs = row.xs();
            const double* ys = row.ys();
            #pragma GCC unroll 4
            for (int l = 0; l < 4; ++l) {
                px[l] = xs[at + l];
                py[l] = ys[at + l];
                // The wide build leaves the row's padding out.
                a[l] = (Kind == 0 && in_cardioid_or_bulb(px[l], py[l])) || (Park && at + l >= row.count()) ? 0 : -1;
            }
            act[c] = a;
            if (Kind == 1) {
                x[c] = px, y[c] = py;
                cx[c] = SPLAT(s.jx), cy[c] = SPLAT(s.jy);
                dx[c] = SPLAT(1), dy[c] = zero;
            } else {
                x[c] = zero, y[c] = zero;
                cx[c] = px, cy[c] = py;
                dx[c] = zero, dy[c] = zero;
            }
            x2[c] = x[c] * x[c], y2[c] = y[c] * y[c];
            if constexpr (Park) {
                const V4 d = x2[c] - y2[c];
                y2[c] = x2[c] + y2[c], x2[c] = d; // d and r, see step_wide
                // A Julia start too far out for |z|² to be finite turns NaN at the first step and
                // never escapes: inside, as in the generic build.
                if (Kind == 1) act[c] &= y2[c] <= SPLAT(1.7976931348623157e308);
                park(act[c], x[c], y[c], x2[c], cx[c], cy[c]);
            }
            sx[c] = x[c], sy[c] = y[c];
        }
        ex[c] = ey[c] = edx[c] = edy[c] = en[c] = zero;
    }
    const V4 tiny = SPLAT(1e-13), ntiny = SPLAT(-1e-13), bail = SPLAT(256);
    const V4 nan = SPLAT(__builtin_nan(""));
    for (int it = from; it <= to; ++it) {
        M4 seen = {0, 0, 0, 0};
        if constexpr (Park) {
            // Steps on until a lane escapes, a periodicity test is due or the pass ends: a loop
            // of nothing but steps, which the compiler keeps in registers.
            const int stop = std::min(to, (it + 15) & ~15);
            for (;; ++it) {
                V4 top;
                #pragma GCC unroll 4
                for (int c = 0; c < C; ++c) {
                    step_wide<Kind>(x[c], y[c], x2[c], y2[c], dx[c], dy[c], cx[c], cy[c]);
                    if (c == 0)
                        top = y2[c];
                    else
                        top = y2[c] > top ? y2[c] : top; // one instruction (vmaxpd)
                }
                seen = top > bail;
                if (any<true>(seen) || it == stop) break;
            }
        } else {
            #pragma GCC unroll 4
            for (int c = 0; c < C; ++c) {
                step<Kind, Fma>(x[c], y[c], x2[c], y2[c], dx[c], dy[c], cx[c], cy[c]);
                // Not masked by the active lanes: an escaped lane's c is made NaN below, so its
                // orbit turns NaN and no longer compares greater.
                seen |= x2[c] + y2[c] > bail;
            }
        }
        bool changed = false;
        if (__builtin_expect(any<C != 1>(seen), 0)) {
            const V4 n = SPLAT(it);
            #pragma GCC unroll 4
            for (int c = 0; c < C; ++c) {
                // Compared again here rather than kept from above, which would cost registers.
                const M4 esc = ((Park ? y2[c] : x2[c] + y2[c]) > bail) & act[c];
                if constexpr (!Park) {
                    cx[c] = esc ? nan : cx[c];
                    cy[c] = esc ? nan : cy[c];
                }
                ex[c] = esc ? x[c] : ex[c];
                ey[c] = esc ? y[c] : ey[c];
                edx[c] = esc ? dx[c] : edx[c];
                edy[c] = esc ? dy[c] : edy[c];
                en[c] = esc ? n : en[c];
                act[c] &= ~esc;
                if constexpr (Park) park(act[c], x[c], y[c], x2[c], cx[c], cy[c]);
            }
            changed = true;
        }
        if ((it & 15) == 0) {
            #pragma GCC unroll 4
            for (int c = 0; c < C; ++c) {
                const V4 ddx = x[c] - sx[c], ddy = y[c] - sy[c];
                const M4 same = (ddx <= tiny) & (ddx >= ntiny) & (ddy <= tiny) & (ddy >= ntiny);
                act[c] &= ~same;
                if constexpr (Park) park(act[c], x[c], y[c], x2[c], cx[c], cy[c]);
                sx[c] = x[c], sy[c] = y[c];
            }
            changed = true;
        }
        if (changed) {
            M4 all = act[0];
            #pragma GCC unroll 4
            for (int c = 1; c < C; ++c) all |= act[c];
            if (!any<C != 1>(all)) break;
        }
    }
    #pragma GCC unroll 4
    for (int c = 0; c < C; ++c) {
        const int at = first + 4 * c;
        if constexpr (Resume) {
            // Only lanes that escaped in this pass have an end to write; the others' ends were
            // written as interior when their orbits started.
            const double* where = row.carry(kCarryAt) + at;
            for (int bits = lane_bits<true>(en[c] > zero); bits; bits &= bits - 1) {
                const int l = __builtin_ctz(bits);
                const int to_at = static_cast<int>(where[l]);
                row.x()[to_at] = ex[c][l], row.y()[to_at] = ey[c][l];
                row.dx()[to_at] = edx[c][l], row.dy()[to_at] = edy[c][l];
                row.n()[to_at] = en[c][l];
            }
        } else {
            __builtin_memcpy(row.x() + at, &ex[c], sizeof(V4));
            __builtin_memcpy(row.y() + at, &ey[c], sizeof(V4));
            __builtin_memcpy(row.dx() + at, &edx[c], sizeof(V4));
            __builtin_memcpy(row.dy() + at, &edy[c], sizeof(V4));
            __builtin_memcpy(row.n() + at, &en[c], sizeof(V4));
        }
        if constexpr (Park) {
            if (!keep) continue;
            const int bits = lane_bits<true>(act[c]);
            if (!bits) continue;
            // Packed in place: the lanes written here were all read when the group started.
            I8 perm;
            __builtin_memcpy(&perm, kPack.perm[bits], sizeof perm);
            const auto put = [&](CarryField f, const V4& v) { pack_store(v, perm, row.carry(f) + kept); };
            V4 where;
            if constexpr (Resume) {
                __builtin_memcpy(&where, row.carry(kCarryAt) + at, sizeof where);
            } else {
                where = V4{0, 1, 2, 3} + static_cast<double>(at);
            }
            put(kCarryAt, where);
            put(kCarryX, x[c]), put(kCarryY, y[c]), put(kCarryD, x2[c]);
            put(kCarrySx, sx[c]), put(kCarrySy, sy[c]);
            if (Kind != 1) put(kCarryCx, cx[c]), put(kCarryCy, cy[c]);
            if (Kind != 2) put(kCarryDx, dx[c]), put(kCarryDy, dy[c]);
            kept += __builtin_popcount(bits);
        }
    }
}

// The generic build runs each group of four samples from the first step to the last. The wide
// build's groups of 4·C lanes (C registers: independent chains of latency that the processor
// overlaps, as many as its registers hold without spilling) would each run until their slowest
// lane ends, while most lanes sat parked: it runs the row in passes of kPass steps instead, and
// packs the samples still running after a pass into whole groups for the next. The orbits, and
// so the pictures, are the same.
// Long enough that packing costs little next to the steps, short enough that a group rarely
// waits long for its slowest lane.
constexpr int kPass = 32;
template <int C, int Kind, bool Fma> __attribute__((always_inline)) inline void iterate_rows(const Escape& s, SampleRow& row) {
    static_assert(SampleRow::kGroup % (4 * C) == 0);
    constexpr bool Park = C > 1;
    int kept = 0;
    const int end = Park ? std::min(s.iter, kPass) : s.iter;
    for (int i = 0; i < row.padded(); i += 4 * C)
        iterate_group<Kind, C, Fma, false>(s, row, i, 1, end, 0, end < s.iter, kept);
    if constexpr (Park) {
        for (int done = end; kept > 0 && done < s.iter;) {
            const int live = kept, to = std::min(s.iter, done + kPass);
            kept = 0;
            for (int i = 0; i < live; i += 4 * C)
                iterate_group<Kind, C, Fma, true>(s, row, i, done + 1, to, live, to < s.iter, kept);
            done = to;
        }
    }
}

// The generic build: one register pair of lanes (four samples); the AVX2 build: CL registers
// for the lit kinds, which carry the derivative, CS for the Burning Ship, which does not.
template <int CL, int CS, bool Fma> __attribute__((always_inline)) inline void iterate_body(const Escape& s, SampleRow& row) {
    if (s.kind == 0)
        iterate_rows<CL, 0, Fma>(s, row);
    else if (s.kind == 1)
        iterate_rows<CL, 1, Fma>(s, row);
    else
        iterate_rows<CS, 2, Fma>(s, row);
}

// What colouring needs of the escape-time lighting.
struct Lighting {
    double pixel;          // plane units per pixel
    double lx, ly;         // light direction
    bool lit;              // kinds 0 and 1
    double brightness;     // of the unlit kind
    double offset;         // palette offset
    const double* palette; // 257 entries of red, green, blue, unused; the last repeats the first
};

// The palette as doubles for the colouring, with entry 256 = entry 0 so that interpolation needs
// no wrap.
struct PaletteTable {
    double rgb[257][4];
    explicit PaletteTable(const Job& job) {
        for (int i = 0; i <= 256; ++i) {
            const Rgb c = unpack(job.palette[i & 255]);
            rgb[i][0] = c.r, rgb[i][1] = c.g, rgb[i][2] = c.b, rgb[i][3] = 0;
        }
    }
};

// The colour of every sample is computed four at a time in the same two builds (see
// escaped_colour for the formulas), each channel clamped to 0..255, black for the inside. An
// escaped sample whose numbers leave the normal range (absurd views) is not marked ok and is
// coloured one by one.

// ln x for positive normal x, to about 2e-6: a thousandth of a colour level in the palette
// index, and far below what shows in the relief. (Results by reference: see any().)
template <bool Fma> __attribute__((always_inline)) inline void vlog(const V4& x, V4& out) {
    const M4 bits = reinterpret_cast<M4>(x);
    M4 e = (bits >> 52) - 1023;
    V4 m = reinterpret_cast<V4>((bits & 0xFFFFFFFFFFFFFLL) | 0x3FF0000000000000LL);
    const M4 big = m > 1.4142135623730951;
    m = big ? m * 0.5 : m;
    e -= big; // big is −1 where true
    // The exponent as a double: written into the mantissa of 2⁵², offset to stay positive.
    const V4 ed = reinterpret_cast<V4>(e + (0x4330000000000000LL + 2048)) - (4503599627370496.0 + 2048.0);
    const V4 f = (m - 1.0) / (m + 1.0), q = f * f;
    // ln m = 2f·(1 + q/3 + q²/5 + …) with |f| < 0.172
    V4 series, t;
    madd<Fma>(series, q, SPLAT(1.0 / 5), SPLAT(1.0 / 3));
    madd<Fma>(series, series, q, SPLAT(1.0));
    t = (f + f) * series;
    madd<Fma>(out, ed, SPLAT(0.6931471805599453), t);
}

// floor(x) for |x| < 2⁵¹, without the library (the generic build has no rounding instruction).
__attribute__((always_inline)) inline void vfloor(const V4& x, V4& out) {
    const V4 big = SPLAT(6755399441055744.0); // 1.5·2⁵²: adding it rounds to an integer
    const V4 r = (x + big) - big;
    out = r > x ? r - 1.0 : r;
}

__attribute__((always_inline)) inline void vsqrt(const V4& x, V4& out) {
    V4 t;
#pragma GCC unroll 4
    for (int l = 0; l < 4; ++l) t[l] = __builtin_sqrt(x[l]);
    out = t;
}

__attribute__((always_inline)) inline void vclamp255(V4& v) {
    v = v > 0.0 ? v : V4{};
    v = v < 255.0 ? v : SPLAT(255.0);
}

// A group of samples that are all inside: black, and done.
__attribute__((always_inline)) inline void shade_inside(SampleRow& row, int i) {
    const V4 zero{};
    const M4 yes = M4{} - 1;
    __builtin_memcpy(row.r() + i, &zero, sizeof zero);
    __builtin_memcpy(row.g() + i, &zero, sizeof zero);
    __builtin_memcpy(row.b() + i, &zero, sizeof zero);
    __builtin_memcpy(row.ok() + i, &yes, sizeof yes);
}

// The inputs of a group's colour: palette coordinate, brightness and white highlight, and which
// samples' numbers stayed in the normal range (ok). For a group with some sample escaped.
template <bool Fma>
__attribute__((always_inline)) inline void shade_inputs(const Lighting& lt, SampleRow& row, int i, const V4& n, V4& pal,
                                                        V4& bright, V4& shine, M4& ok) {
    V4 x, y, dx, dy;
    __builtin_memcpy(&x, row.x() + i, sizeof x);
    __builtin_memcpy(&y, row.y() + i, sizeof y);
    const V4 r2 = x * x + y * y;
    ok = (r2 >= 2.2250738585072014e-308) & (r2 <= 1.7976931348623157e308);
    V4 ln_r2, ln_ln;
    vlog<Fma>(ok ? r2 : V4{} + 1.0, ln_r2);
    // ln|z|² > ln 256 here, so its logarithm's argument is normal.
    vlog<Fma>(ln_r2 * (0.5 / 0.6931471805599453), ln_ln);
    // Palette coordinate 7·μ + offset with μ = n + 1 − log₂(ln|z|² / (2·ln 2)).
    madd<Fma>(pal, ln_ln, SPLAT(-7 * 1.4426950408889634), (n + 1.0) * 7.0 + lt.offset);
    bright = V4{} + lt.brightness, shine = V4{};
    if (lt.lit) {
        __builtin_memcpy(&dx, row.dx() + i, sizeof dx);
        __builtin_memcpy(&dy, row.dy() + i, sizeof dy);
        const V4 dz2 = dx * dx + dy * dy;
        ok &= (dz2 > 0) & (dz2 <= 1.7976931348623157e308);
        V4 r, dz, sf;
        vsqrt(r2, r);
        vsqrt(dz2, dz);
        // f = 1/(0.35·d/pixel + 1) with d = |z|·ln|z|/|z'|, as one division.
        V4 den;
        madd<Fma>(den, r * ln_r2, SPLAT(0.175 / lt.pixel), dz);
        const V4 f = dz / den;
        const V4 inv = 1.0 / (r * dz);
        V4 ux, uy, l;
        madd<Fma>(ux, x, dx, y * dy);
        madd<Fma>(uy, y, dx, -(x * dy));
        madd<Fma>(l, ux * inv, SPLAT(lt.lx * 0.4), SPLAT(0.6));
        madd<Fma>(l, uy * inv, SPLAT(lt.ly * 0.4), l);
        l = l > 0 ? l : V4{};
        const V4 l2 = l * l, l4 = l2 * l2;
        vsqrt(f, sf);
        V4 a, b;
        madd<Fma>(a, sf, SPLAT(0.45), SPLAT(0.55));
        madd<Fma>(b, l, SPLAT(0.78), SPLAT(0.22));
        bright = a * b;
        shine = 255 * 0.55 * l4 * l4 * l4;
    }
    // Finite results only (x − x is 0 for finite x, NaN otherwise), and a palette coordinate
    // that the rounding below can take.
    ok &= (pal - pal == 0) & (bright - bright == 0) & (shine - shine == 0) & (pal < 1e15) & (pal > -1e15);
    pal = ok ? pal : V4{};
}

// A group's colours from those inputs, stored with the ok marks (interior samples black).
template <bool Fma>
__attribute__((always_inline)) inline void shade_colour(const Lighting& lt, SampleRow& row, int i, const M4& escaped,
                                                        const V4& pal, const V4& bright, const V4& shine, M4& ok) {
    // Wrap into [0, 256) and interpolate between neighbouring palette entries.
    V4 q, w, at;
    vfloor(pal * (1.0 / 256), q);
    madd<Fma>(w, q, SPLAT(-256.0), pal);
    vfloor(w, at);
    const V4 frac = w - at;
    V4 ra, ga, ba, rb, gb, bb;
#pragma GCC unroll 4
    for (int l = 0; l < 4; ++l) {
        const double* e = lt.palette + 4 * (static_cast<int>(at[l]) & 255);
        ra[l] = e[0], ga[l] = e[1], ba[l] = e[2];
        rb[l] = e[4], gb[l] = e[5], bb[l] = e[6];
    }
    V4 cr, cg, cb;
    madd<Fma>(cr, rb - ra, frac, ra);
    madd<Fma>(cg, gb - ga, frac, ga);
    madd<Fma>(cb, bb - ba, frac, ba);
    madd<Fma>(cr, cr, bright, shine);
    madd<Fma>(cg, cg, bright, shine);
    madd<Fma>(cb, cb, bright, shine);
    vclamp255(cr);
    vclamp255(cg);
    vclamp255(cb);
    // Interior samples are black (and always done).
    cr = escaped ? cr : V4{}, cg = escaped ? cg : V4{}, cb = escaped ? cb : V4{};
    ok |= ~escaped;
    __builtin_memcpy(row.r() + i, &cr, sizeof cr);
    __builtin_memcpy(row.g() + i, &cg, sizeof cg);
    __builtin_memcpy(row.b() + i, &cb, sizeof cb);
    __builtin_memcpy(row.ok() + i, &ok, sizeof ok);
}

// The generic build colours each group at once. The AVX2 build runs the whole row through the
// first half, parking the inputs in the colour arrays, and then through the second: one group's
// chain from logarithm to palette look-up is long, and short independent loop bodies let the
// processor overlap many groups. True when every sample was coloured (all ok).
template <bool Fma> __attribute__((always_inline)) inline bool shade_body(const Lighting& lt, SampleRow& row) {
    V4 n, pal, bright, shine;
    M4 ok, all = M4{} - 1;
    for (int i = 0; i < row.padded(); i += 4) {
        __builtin_memcpy(&n, row.n() + i, sizeof n);
        const M4 escaped = n > 0.0;
        if (!any<Fma>(escaped)) {
            shade_inside(row, i);
            continue;
        }
        shade_inputs<Fma>(lt, row, i, n, pal, bright, shine, ok);
        if constexpr (Fma) { // parked for the second pass
            __builtin_memcpy(row.r() + i, &pal, sizeof pal);
            __builtin_memcpy(row.g() + i, &bright, sizeof bright);
            __builtin_memcpy(row.b() + i, &shine, sizeof shine);
            __builtin_memcpy(row.ok() + i, &ok, sizeof ok);
        } else {
            shade_colour<Fma>(lt, row, i, escaped, pal, bright, shine, ok);
            all &= ok;
        }
    }
    if constexpr (Fma) {
        for (int i = 0; i < row.padded(); i += 4) {
            __builtin_memcpy(&n, row.n() + i, sizeof n);
            const M4 escaped = n > 0.0;
            if (!any<Fma>(escaped)) continue;
            __builtin_memcpy(&pal, row.r() + i, sizeof pal);
            __builtin_memcpy(&bright, row.g() + i, sizeof bright);
            __builtin_memcpy(&shine, row.b() + i, sizeof shine);
            __builtin_memcpy(&ok, row.ok() + i, sizeof ok);
            shade_colour<Fma>(lt, row, i, escaped, pal, bright, shine, ok);
            all &= ok;
        }
    }
    return !any<Fma>(~all);
}

bool shade_generic(const Lighting& lt, SampleRow& row) { return shade_body<false>(lt, row); }

void iterate_generic(const Escape& s, SampleRow& row) { iterate_body<1, 1, false>(s, row); }

// Built for processors with AVX2 and chosen at run time, not by the compiler's function
// multi-versioning: its resolvers run while the program is loaded, before ThreadSanitizer's
// runtime is ready, and crash instrumented builds.
#if defined(__x86_64__) || defined(__i386__)
bool cpu_has_avx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return avx2;
}
__attribute__((target("avx2,fma"))) void iterate_avx2(const Escape& s, SampleRow& row) {
    iterate_body<2, 3, true>(s, row);
}
__attribute__((target("avx2,fma"))) bool shade_avx2(const Lighting& lt, SampleRow& row) {
    return shade_body<true>(lt, row);
}
#else
bool cpu_has_avx2() { return false; }
void iterate_avx2(const Escape& s, SampleRow& row) { iterate_generic(s, row); }
bool shade_avx2(const Lighting& lt, SampleRow& row) { return shade_generic(lt, row); }
#endif

// Iterates the row's samples (after padding it).
void iterate(Kernel k, const Escape& s, SampleRow& row) {
    row.pad();
    if (k != Kernel::Generic && cpu_has_avx2())
        iterate_avx2(s, row);
    else
        iterate_generic(s, row);
}

// Colours the row's samples; false if some are left to escaped_colour (not ok).
bool shade(Kernel k, const Lighting& lt, SampleRow& row) {
    if (k != Kernel::Generic && cpu_has_avx2())
        return shade_avx2(lt, row);
    return shade_generic(lt, row);
}

// The iteration limit actually used for `samples` samples.
int iteration_limit(int iter, double samples) {
    if (iter <= 0) return 0;
    const double cap = std::max(256.0, kMaxSteps / std::max(1.0, samples));
    return static_cast<int>(std::min<double>({static_cast<double>(iter), static_cast<double>(kMaxIter), cap}));
}

// ---------------------------------------------------------------------------------------------
// 3. Escape-time pictures, split into bands of rows.

// The smooth iteration count μ = n + 1 − log₂(ln|z|² / (2·ln 2)) of a sample that escaped at
// step n, from ln|z|².
inline double smooth_count(int n, double ln_r2) {
    return n + 1 - flog(std::max(1e-9, ln_r2 * (0.5 / 0.6931471805599453))) * 1.4426950408889634;
}


// Colour of one escaped sample: smooth count into the palette, and for the lit kinds a relief
// from the distance estimate and the surface normal z/z'.
Rgb escaped_colour(const Job& job, const Lighting& lt, const Orbit& o) {
    const double r2 = o.x * o.x + o.y * o.y;
    const double ln_r2 = flog(r2);
    const double mu = smooth_count(o.n, ln_r2);
    const Rgb base = pal_smooth(job, 7 * mu + lt.offset);
    if (!lt.lit) return scale(base, lt.brightness);
    const double r = std::sqrt(r2);
    double dz2 = o.dx * o.dx + o.dy * o.dy;
    const double dz = std::isfinite(dz2) ? std::sqrt(dz2) : std::hypot(o.dx, o.dy);
    const double d = r * 0.5 * ln_r2 / dz;
    const double f = std::isfinite(d) ? 1 / (0.35 * d / lt.pixel + 1) : 0;
    // u = z / z' = z · conj(z') / |z'|², then normalised.
    double ux = o.x * o.dx + o.y * o.dy, uy = o.y * o.dx - o.x * o.dy;
    const double ul = r * dz;
    if (ul > 0 && std::isfinite(ul) && std::isfinite(ux) && std::isfinite(uy))
        ux /= ul, uy /= ul;
    else
        ux = uy = 0;
    const double l = std::max(0.0, (ux * lt.lx + uy * lt.ly + 1.5) / 2.5);
    const double k = 0.78 * l + 0.22;
    const double b = (0.45 * std::sqrt(f) + 0.55) * k;
    const double l2 = l * l, l4 = l2 * l2;
    const double shine = 255 * 0.55 * l4 * l4 * l4;
    return {base.r * b + shine, base.g * b + shine, base.b * b + shine};
}

struct SampleOffsets {
    int n;
    double dx[4], dy[4];
};

SampleOffsets sample_offsets(double p6) {
    if (p6 >= 4) return {4, {-0.375, 0.125, 0.375, -0.125}, {-0.125, -0.375, 0.125, 0.375}};
    if (p6 >= 2) return {2, {-0.25, 0.25}, {-0.25, 0.25}};
    return {1, {0}, {0}};
}

// Whether the view maps every pixel to finite plane coordinates.
bool view_ok(const Job& job, int w, int h) {
    const double p2 = job.p[2];
    if (!std::isfinite(p2) || !(p2 > 0)) return false;
    const double pix = 2 * p2 / w, half_h = h * p2 / w;
    const double edges[] = {job.p[0] - p2, job.p[0] + p2, job.p[1] - half_h, job.p[1] + half_h, pix};
    for (double e : edges)
        if (!std::isfinite(e)) return false;
    return !(job.kind == 1 && (!std::isfinite(job.p[3]) || !std::isfinite(job.p[4])));
}

// Pixels as the average of their N samples (channels already within 0..255). The AVX2 build
// takes four pixels at a time, summing their samples in the same order.
template <int N> __attribute__((always_inline)) inline uint32_t average_pixel(const double* r, const double* g, const double* b) {
    double sr = 0, sg = 0, sb = 0;
    for (int k = 0; k < N; ++k) sr += r[k], sg += g[k], sb += b[k];
    constexpr double kAvg = 1.0 / N;
    return kBlack | static_cast<uint32_t>(sr * kAvg + 0.5) << 16 | static_cast<uint32_t>(sg * kAvg + 0.5) << 8 |
           static_cast<uint32_t>(sb * kAvg + 0.5);
}

typedef int32_t I4 __attribute__((vector_size(16)));

// Lanes of a and b (0..3 of a, 4..7 of b) in the order given.
#if defined(__clang__)
#define SHUFFLE(a, b, i, j, k, l) __builtin_shufflevector(a, b, i, j, k, l)
#else
#define SHUFFLE(a, b, i, j, k, l) __builtin_shuffle(a, b, M4{i, j, k, l})
#endif

// The sums of four pixels' N samples, from 4·N consecutive samples.
template <int N> __attribute__((always_inline)) inline void sum4(const double* s, V4& out) {
    V4 a, b;
    __builtin_memcpy(&a, s, sizeof a);
    if constexpr (N == 1) {
        out = a;
        return;
    }
    __builtin_memcpy(&b, s + 4, sizeof b);
    if constexpr (N == 2) {
        out = SHUFFLE(a, b, 0, 2, 4, 6) + SHUFFLE(a, b, 1, 3, 5, 7);
        return;
    }
    V4 c, d;
    __builtin_memcpy(&c, s + 8, sizeof c);
    __builtin_memcpy(&d, s + 12, sizeof d);
    // Pixel p's samples are register p; transposed, sample k of every pixel is one register.
    const V4 ab0 = SHUFFLE(a, b, 0, 4, 2, 6), ab1 = SHUFFLE(a, b, 1, 5, 3, 7);
    const V4 cd0 = SHUFFLE(c, d, 0, 4, 2, 6), cd1 = SHUFFLE(c, d, 1, 5, 3, 7);
    const V4 s0 = SHUFFLE(ab0, cd0, 0, 1, 4, 5), s2 = SHUFFLE(ab0, cd0, 2, 3, 6, 7);
    const V4 s1 = SHUFFLE(ab1, cd1, 0, 1, 4, 5), s3 = SHUFFLE(ab1, cd1, 2, 3, 6, 7);
    out = ((s0 + s1) + s2) + s3;
}

template <int N, bool Wide>
__attribute__((always_inline)) inline void average_samples(const double* r, const double* g, const double* b, int w,
                                                           uint32_t* row) {
    int px = 0;
    if constexpr (Wide) {
        constexpr double kAvg = 1.0 / N;
        for (; px + 4 <= w; px += 4) {
            const int at = N * px;
            V4 sr, sg, sb;
            sum4<N>(r + at, sr);
            sum4<N>(g + at, sg);
            sum4<N>(b + at, sb);
            const I4 cr = __builtin_convertvector(sr * kAvg + 0.5, I4);
            const I4 cg = __builtin_convertvector(sg * kAvg + 0.5, I4);
            const I4 cb = __builtin_convertvector(sb * kAvg + 0.5, I4);
            const I4 out = (cr << 16 | cg << 8 | cb) | static_cast<int32_t>(kBlack);
            __builtin_memcpy(row + px, &out, sizeof out);
        }
    }
    for (; px < w; ++px) row[px] = average_pixel<N>(r + N * px, g + N * px, b + N * px);
}

template <bool Wide> __attribute__((always_inline)) inline void average_body(int n, SampleRow& row, int w, uint32_t* out) {
    if (n == 1)
        average_samples<1, Wide>(row.r(), row.g(), row.b(), w, out);
    else if (n == 2)
        average_samples<2, Wide>(row.r(), row.g(), row.b(), w, out);
    else
        average_samples<4, Wide>(row.r(), row.g(), row.b(), w, out);
}

void average_generic(int n, SampleRow& row, int w, uint32_t* out) { average_body<false>(n, row, w, out); }

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2,fma"))) void average_avx2(int n, SampleRow& row, int w, uint32_t* out) {
    average_body<true>(n, row, w, out);
}
#else
void average_avx2(int n, SampleRow& row, int w, uint32_t* out) { average_generic(n, row, w, out); }
#endif

void average(Kernel k, int n, SampleRow& row, int w, uint32_t* out) {
    if (k != Kernel::Generic && cpu_has_avx2())
        average_avx2(n, row, w, out);
    else
        average_generic(n, row, w, out);
}

// Rows [first_row, end_row) of an escape-time picture.
void escape_rows(const Job& job, Image& img, int kind, int first_row, int end_row, Kernel kernel) {
    const int w = img.w, h = img.h;
    const SampleOffsets so = sample_offsets(job.p[6]);
    const double p2 = job.p[2];
    const double pix = 2 * p2 / w;
    const double x0 = job.p[0] - p2, y0 = job.p[1] - h * p2 / w;
    const Escape s{kind, iteration_limit(job.iter, static_cast<double>(w) * h * so.n), job.p[3], job.p[4]};
    const double angle = real_param(job.p[7], 0);
    const PaletteTable table(job);
    const Lighting lt{pix, std::cos(angle), std::sin(angle), kind != 2, 0.9, real_param(job.p[5], 0), &table.rgb[0][0]};
    SampleRow samples(w * so.n);
    // Every row has the same real parts; only the imaginary parts change from row to row.
    double* xs = samples.xs();
    double* ys = samples.ys();
    for (int px = 0; px < w; ++px)
        for (int k = 0; k < so.n; ++k) xs[px * so.n + k] = x0 + (px + 0.5 + so.dx[k]) * pix;
    for (int py = first_row; py < end_row; ++py) {
        double row_y[4];
        for (int k = 0; k < so.n; ++k) row_y[k] = y0 + (py + 0.5 + so.dy[k]) * pix;
        for (int px = 0; px < w; ++px)
            for (int k = 0; k < so.n; ++k) ys[px * so.n + k] = row_y[k];
        iterate(kernel, s, samples);
        if (!shade(kernel, lt, samples)) {
            double *r = samples.r(), *g = samples.g(), *b = samples.b();
            const int64_t* ok = samples.ok();
            for (int i = 0; i < samples.count(); ++i)
                if (!ok[i]) {
                    const Rgb c = escaped_colour(job, lt, samples.orbit(i));
                    r[i] = std::clamp(c.r, 0.0, 255.0), g[i] = std::clamp(c.g, 0.0, 255.0), b[i] = std::clamp(c.b, 0.0, 255.0);
                }
        }
        average(kernel, so.n, samples, w, img.px.data() + static_cast<size_t>(py) * w);
    }
}

// The whole picture in `bands` threads (the caller's counted), each taking the next few rows
// as it finishes, so that a band of costly rows near the set does not hold up the rest.
void escape_picture(const Job& job, Image& img, int bands, Kernel kernel) {
    if (!view_ok(job, img.w, img.h)) return;
    const int kind = job.kind;
    if (bands <= 1) {
        escape_rows(job, img, kind, 0, img.h, kernel);
        return;
    }
    constexpr int kChunk = 4;
    std::atomic<int> next{0};
    auto work = [&] {
        for (;;) {
            const int first = next.fetch_add(kChunk);
            if (first >= img.h) return;
            escape_rows(job, img, kind, first, std::min(img.h, first + kChunk), kernel);
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(bands - 1);
    for (int i = 1; i < bands; ++i) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
}

// ---------------------------------------------------------------------------------------------
// 4. Density renderer: a point cloud counted into a histogram and shown with a logarithmic
// tone curve. Kinds 6 Clifford, 7 de Jong, 8 Barnsley fern, 9 chaos game; 18 is a flame
// (below), which also carries a colour per point.

constexpr int kDensityPoints = 1200000; // at most; a small picture takes 20 per pixel
constexpr int kFlamePoints = 800000;

// A small fast generator for the stochastic kinds; seeded per picture so that the same job
// gives the same picture.
struct Rng {
    uint64_t s;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> 32);
    }
    double unit() { return next() * (1.0 / 4294967296.0); }
};

// Maps plane bounds onto the picture, keeping their proportions, centred.
struct Fit {
    double sx, ox, oy; // px = (x - ox) * sx, py = (y - oy) * sx
    bool ok;
};

Fit fit_bounds(int w, int h, double x0, double x1, double y0, double y1) {
    const double s = std::min(w / (x1 - x0), h / (y1 - y0));
    return {s, 0.5 * (x0 + x1) - 0.5 * w / s, 0.5 * (y0 + y1) - 0.5 * h / s, std::isfinite(s) && s > 0};
}

// Tone-maps a histogram into the picture: brightness 1.25·(ln(count+1)/ln(max))^0.45 + 0.12,
// colour from the palette by that brightness; empty pixels get a faint tint of the palette.
void tone_map(const Job& job, Image& img, const std::vector<float>& hist, double t) {
    float top = 2;
    for (float v : hist) top = std::max(top, v);
    const double lmax = std::log(static_cast<double>(top));
    const Rgb empty = scale(pal(job, 0.3 * t + 10), 0.1);
    const uint32_t empty_px = pack(empty);
    // Counts are whole numbers, mostly small: their colours come from a table.
    constexpr int kTable = 4096;
    uint32_t table[kTable];
    auto colour = [&](double count) {
        const double v = 1.25 * std::pow(std::log(count + 1.0) / lmax, 0.45) + 0.12;
        return pack(scale(pal(job, 180 * v + 40 + 0.3 * t), v));
    };
    table[0] = empty_px;
    for (int i = 1; i < kTable; ++i) table[i] = colour(i);
    for (size_t i = 0; i < hist.size(); ++i) {
        const float c = hist[i];
        img.px[i] = c < kTable ? table[static_cast<int>(c)] : colour(c);
    }
}

void density(const Job& job, Image& img) {
    const int w = img.w, h = img.h;
    std::vector<float> hist(static_cast<size_t>(w) * h, 0.0f);
    int kind = job.kind;
    if (kind < 6 || kind > 9) kind = 6; // unknown kinds draw the Clifford attractor
    Fit f;
    if (kind == 8)
        f = fit_bounds(w, h, -2.9, 2.9, -0.2, 10.2);
    else if (kind == 9)
        f = fit_bounds(w, h, -1.15, 1.15, -1.15, 1.15);
    else
        f = fit_bounds(w, h, -2.2, 2.2, -2.2, 2.2);
    const double a = real_param(job.p[0], 0, 100), b = real_param(job.p[1], 0, 100);
    const double c = real_param(job.p[2], 0, 100), d = real_param(job.p[3], 0, 100);
    Rng rng{0x9E3779B97F4A7C15ull};
    double x = 0.1, y = 0.1;
    // The chaos game: corners of a regular polygon turned by p0, jumping by ratio p1.
    const int corners = int_param(job.p[2], 3, 12);
    double vx[12], vy[12];
    for (int k = 0; k < corners; ++k) {
        const double ang = a + kTwoPi * k / corners - kPi / 2;
        vx[k] = fcos(ang), vy[k] = fsin(ang);
    }
    const double ratio = real_param(job.p[1], 0.5, 10);
    // The fern sways: p0 bends the stem's main map a little.
    const double bend = 0.015 * real_param(job.p[0], 0, 10);
    const double ox = f.ox, oy = f.oy, s = f.sx;
    // Small pictures need fewer points for the same look.
    const int points = std::min(kDensityPoints, 20 * w * h);
    for (int i = 0; i < points; ++i) {
        double nx, ny;
        switch (kind) {
        case 6:
            nx = fsin(a * y) + c * fcos(a * x);
            ny = fsin(b * x) + d * fcos(b * y);
            break;
        case 7:
            nx = fsin(a * y) - fcos(b * x);
            ny = fsin(c * x) - fcos(d * y);
            break;
        case 8: {
            const double r = rng.unit();
            if (r < 0.01)
                nx = 0, ny = 0.16 * y;
            else if (r < 0.86)
                nx = 0.85 * x + (0.04 + bend) * y, ny = (-0.04 - bend) * x + 0.85 * y + 1.6;
            else if (r < 0.93)
                nx = 0.2 * x - 0.26 * y, ny = 0.23 * x + 0.22 * y + 1.6;
            else
                nx = -0.15 * x + 0.28 * y, ny = 0.26 * x + 0.24 * y + 0.44;
            if (i < 20) {
                x = nx, y = ny;
                continue;
            }
            break;
        }
        default: {
            const int k = static_cast<int>(rng.next() % static_cast<uint32_t>(corners));
            nx = x + ratio * (vx[k] - x);
            ny = y + ratio * (vy[k] - y);
            break;
        }
        }
        if (!std::isfinite(nx) || !std::isfinite(ny) || std::fabs(nx) > 1e6 || std::fabs(ny) > 1e6)
            nx = rng.unit() - 0.5, ny = rng.unit() - 0.5;
        x = nx, y = ny;
        const double fx = (x - ox) * s;
        const double fy = kind == 8 ? h - (y - oy) * s : (y - oy) * s;
        if (fx >= 0 && fy >= 0 && fx < w && fy < h)
            hist[static_cast<size_t>(fy) * w + static_cast<size_t>(fx)] += 1.0f;
    }
    if (!f.ok) return;
    tone_map(job, img, hist, 0);
}

// Kind 18: a flame, F(p) = Σ vⱼ·Vⱼ(affine(p)), whose maps, weights and symmetry all come from
// the seed p1 through a linear congruential generator; p0 turns the maps slowly.
struct FlameMap {
    double a, b, c, d, e, f; // x' = a·x + b·y + c, y' = d·x + e·y + f
    double var[4];           // weights of the variations used
    int kinds[4];
    double weight; // chance of the map being chosen
    double colour; // 0..1
};

struct Flame {
    int maps;
    FlameMap m[5];
    int symmetry; // rotational copies
};

Flame make_flame(uint32_t seed) {
    uint32_t s = seed;
    auto rnd = [&s] {
        s = s * 93762557u + 1025555898u;
        return (s >> 8) * (1.0 / 16777216.0);
    };
    Flame fl{};
    fl.maps = 3 + static_cast<int>(rnd() * 3);
    const int sym[] = {1, 2, 3, 4, 5, 6};
    fl.symmetry = sym[static_cast<int>(rnd() * 6)];
    double total = 0;
    for (int i = 0; i < fl.maps; ++i) {
        FlameMap& m = fl.m[i];
        // A rotation-and-scale with a little shear keeps every map contracting.
        const double ang = kTwoPi * rnd(), sc = 0.35 + 0.5 * rnd(), sh = 0.4 * (rnd() - 0.5);
        m.a = sc * fcos(ang), m.b = -sc * fsin(ang) + sh;
        m.d = sc * fsin(ang), m.e = sc * fcos(ang);
        m.c = 1.6 * (rnd() - 0.5), m.f = 1.6 * (rnd() - 0.5);
        for (int k = 0; k < 4; ++k) {
            m.kinds[k] = static_cast<int>(rnd() * 8);
            m.var[k] = k < 2 ? rnd() : 0;
        }
        const double vs = m.var[0] + m.var[1] + 1e-9;
        m.var[0] /= vs, m.var[1] /= vs;
        m.weight = 0.3 + rnd();
        total += m.weight;
        m.colour = (i + 0.5 * rnd()) / fl.maps;
    }
    for (int i = 0; i < fl.maps; ++i) fl.m[i].weight /= total;
    return fl;
}

inline void variation(int k, double x, double y, double& ox, double& oy) {
    const double r2 = x * x + y * y + 1e-12, r = std::sqrt(r2);
    switch (k) {
    case 0: ox = x, oy = y; break;                                                // linear
    case 1: ox = fsin(x), oy = fsin(y); break;                            // sinusoidal
    case 2: ox = x / r2, oy = y / r2; break;                                      // spherical
    case 3: {                                                                     // swirl
        const double sn = fsin(r2), cs = fcos(r2);
        ox = x * sn - y * cs, oy = x * cs + y * sn;
        break;
    }
    case 4: ox = (x - y) * (x + y) / r, oy = 2 * x * y / r; break;               // horseshoe
    case 5: ox = fatan2(x, y) / kPi, oy = r - 1; break;                      // polar
    case 6: {                                                                     // disc
        const double th = fatan2(x, y) / kPi;
        ox = th * fsin(kPi * r), oy = th * fcos(kPi * r);
        break;
    }
    default: {                                                                    // heart
        const double th = fatan2(x, y);
        ox = r * fsin(th * r), oy = -r * fcos(th * r);
        break;
    }
    }
}

void flame(const Job& job, Image& img) {
    const int w = img.w, h = img.h;
    const double seedv = real_param(job.p[1], 1, 4e9);
    const double t = real_param(job.p[0], 0);
    uint32_t seed = static_cast<uint32_t>(static_cast<int64_t>(std::fabs(seedv)) & 0xFFFFFFFF);
    Flame fl = make_flame(seed);
    // A flame that collapses onto a point or flies apart is replaced by the next seed's.
    Rng rng{0x2545F4914F6CDD1Dull ^ seed};
    // The maps turned by `turn` (map i by (i + 1)·turn), and the rotations of the symmetry.
    FlameMap turned[5];
    double sym_c[6], sym_s[6];
    auto prepare = [&](const Flame& f, double turn) {
        for (int i = 0; i < f.maps; ++i) {
            const FlameMap& m = f.m[i];
            const double cs = std::cos(turn * (i + 1)), sn = std::sin(turn * (i + 1));
            turned[i] = m;
            turned[i].a = cs * m.a - sn * m.d, turned[i].b = cs * m.b - sn * m.e, turned[i].c = cs * m.c - sn * m.f;
            turned[i].d = sn * m.a + cs * m.d, turned[i].e = sn * m.b + cs * m.e, turned[i].f = sn * m.c + cs * m.f;
        }
        for (int q = 0; q < f.symmetry; ++q)
            sym_c[q] = std::cos(kTwoPi * q / f.symmetry), sym_s[q] = std::sin(kTwoPi * q / f.symmetry);
    };
    auto step = [&](const Flame& f, double& x, double& y, double& col) {
        const double r = rng.unit();
        int i = 0;
        double acc = f.m[0].weight;
        while (r > acc && i + 1 < f.maps) acc += f.m[++i].weight;
        const FlameMap& m = turned[i];
        const double tx = m.a * x + m.b * y + m.c, ty = m.d * x + m.e * y + m.f;
        double nx = 0, ny = 0;
        for (int k = 0; k < 2; ++k) {
            double vx, vy;
            variation(m.kinds[k], tx, ty, vx, vy);
            nx += m.var[k] * vx, ny += m.var[k] * vy;
        }
        if (f.symmetry > 1) {
            const int q = static_cast<int>(rng.next() % static_cast<uint32_t>(f.symmetry));
            const double rx = sym_c[q] * nx - sym_s[q] * ny;
            ny = sym_s[q] * nx + sym_c[q] * ny, nx = rx;
        }
        col = 0.5 * (col + m.colour);
        if (!std::isfinite(nx) || !std::isfinite(ny) || std::fabs(nx) + std::fabs(ny) > 1e5)
            nx = 2 * rng.unit() - 1, ny = 2 * rng.unit() - 1;
        x = nx, y = ny;
    };
    // Frame the figure from a warm-up run of the unturned maps, so that the framing stays put
    // while p0 turns the maps.
    double lo_x = 0, hi_x = 0, lo_y = 0, hi_y = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        constexpr int kWarm = 4000;
        std::vector<double> xs, ys;
        xs.reserve(kWarm), ys.reserve(kWarm);
        double x = 0.1, y = 0.2, col = 0;
        prepare(fl, 0);
        for (int i = 0; i < kWarm + 50; ++i) {
            step(fl, x, y, col);
            if (i >= 50) xs.push_back(x), ys.push_back(y);
        }
        std::sort(xs.begin(), xs.end());
        std::sort(ys.begin(), ys.end());
        lo_x = xs[kWarm / 50], hi_x = xs[kWarm - 1 - kWarm / 50];
        lo_y = ys[kWarm / 50], hi_y = ys[kWarm - 1 - kWarm / 50];
        const double spread = std::min(hi_x - lo_x, hi_y - lo_y);
        if (spread > 0.05 && std::max(hi_x - lo_x, hi_y - lo_y) < 40) break;
        seed = seed * 93762557u + 1025555898u;
        fl = make_flame(seed);
    }
    const double mx = 0.12 * (hi_x - lo_x) + 1e-6, my = 0.12 * (hi_y - lo_y) + 1e-6;
    const Fit f = fit_bounds(w, h, lo_x - mx, hi_x + mx, lo_y - my, hi_y + my);
    if (!f.ok) return;
    const size_t n = static_cast<size_t>(w) * h;
    std::vector<float> acc(2 * n, 0.0f); // count and colour sum side by side: one cache line

    const double turn = 0.12 * fsin(0.21 * t);
    // Four independent orbits taken in turn: the processor overlaps their slow steps.
    constexpr int kOrbits = 4;
    double ox[kOrbits], oy[kOrbits], oc[kOrbits];
    for (int k = 0; k < kOrbits; ++k) ox[k] = 0.1 + 0.2 * k, oy[k] = 0.2 - 0.1 * k, oc[k] = 0;
    // Fewer points than the attractors: each flame step costs several of theirs, and the
    // flame's soft veils need fewer to look smooth.
    const int points = std::min(kFlamePoints, 14 * w * h);
    prepare(fl, turn);
    for (int i = 0; i < points; i += kOrbits)
        for (int k = 0; k < kOrbits; ++k) {
            step(fl, ox[k], oy[k], oc[k]);
            if (i < 20 * kOrbits) continue;
            const double fx = (ox[k] - f.ox) * f.sx, fy = (oy[k] - f.oy) * f.sx;
            if (fx >= 0 && fy >= 0 && fx < w && fy < h) {
                const size_t at = 2 * (static_cast<size_t>(fy) * w + static_cast<size_t>(fx));
                acc[at] += 1.0f;
                acc[at + 1] += static_cast<float>(oc[k]);
            }
        }
    float top = 2;
    for (size_t i = 0; i < n; ++i) top = std::max(top, acc[2 * i]);
    const double lmax = std::log(top + 1.0);
    const Rgb bg = scale(pal(job, 8 * t), 0.07);
    for (size_t i = 0; i < n; ++i) {
        const float count = acc[2 * i];
        if (count <= 0) {
            img.px[i] = pack(bg);
            continue;
        }
        const double alpha = flog(count + 1.0) / lmax;
        const double q = std::sqrt(std::sqrt(alpha));
        const double v = q * std::sqrt(q); // alpha^0.375: the faint veils show, the core is not burnt
        const Rgb c = pal_smooth(job, 230 * acc[2 * i + 1] / count + 8 * t);
        img.px[i] = pack(mix(bg, scale(c, 1.25 * v), std::min(1.0, 3 * alpha)));
    }
}

// ---------------------------------------------------------------------------------------------
// 5. Shaded figures.

// Kind 3: Newton's method for z³ − 1 on the plane turned by p3 about (p0, p1), half-width p2.
void newton(const Job& job, Image& img) {
    const double p2 = job.p[2];
    if (!std::isfinite(p2) || !(p2 > 0) || !std::isfinite(job.p[0]) || !std::isfinite(job.p[1])) return;
    const double rot = real_param(job.p[3], 0);
    const double cs = fcos(rot), sn = fsin(rot);
    const double pix = 2 * p2 / img.w;
    const double rx[3] = {1, -0.5, -0.5}, ry[3] = {0, 0.8660254037844386, -0.8660254037844386};
    const Rgb root[3] = {unpack(job.palette[20]), unpack(job.palette[105]), unpack(job.palette[190])};
    for (int py = 0; py < img.h; ++py)
        for (int px = 0; px < img.w; ++px) {
            const double u = (px + 0.5 - 0.5 * img.w) * pix, v = (py + 0.5 - 0.5 * img.h) * pix;
            double x = job.p[0] + cs * u - sn * v, y = job.p[1] + sn * u + cs * v;
            uint32_t out = kBlack;
            for (int step = 0; step < 40; ++step) {
                const double r2 = x * x + y * y;
                if (!(r2 >= 1e-12) || !std::isfinite(r2)) break;
                // z − (z³ − 1)/(3z²) = (2z³ + 1)/(3z²) = 2z/3 + 1/(3z²)
                const double zx2 = x * x - y * y, zy2 = 2 * x * y; // z²
                const double d = 3 * (zx2 * zx2 + zy2 * zy2);
                const double nx = 2 * x / 3 + zx2 / d, ny = 2 * y / 3 - zy2 / d;
                x = nx, y = ny;
                int hit = -1;
                double dist2 = 0;
                for (int k = 0; k < 3; ++k) {
                    dist2 = (x - rx[k]) * (x - rx[k]) + (y - ry[k]) * (y - ry[k]);
                    if (dist2 < 1e-12) {
                        hit = k;
                        break;
                    }
                }
                if (hit >= 0) {
                    const double b = std::clamp(1.15 - (step + 1) / 22.0, 0.0, 1.0);
                    out = pack(scale(root[hit], b));
                    break;
                }
            }
            img.px[static_cast<size_t>(py) * img.w + px] = out;
        }
}

// Kind 4: four interfering waves, t = p0, the field scaled by p3.
void interference(const Job& job, Image& img) {
    const double t = real_param(job.p[0], 0), k = real_param(job.p[3], 3, 1000);
    const double cx = 2 * fsin(0.3 * t);
    shade_pixels(img, 1, [&](double u, double w) {
        const double x = 2 * k * u, y = 2 * k * w;
        const double v = fsin(t + x) + fsin(1.3 * y - 0.7 * t) + fsin(0.7 * (x + y) + 0.5 * t) +
                         fsin(1.6 * std::sqrt((x - cx) * (x - cx) + y * y + 1) - t);
        return scale(pal(job, 32 * (v + 4) + 10 * t), 0.95);
    });
}

// Kind 5: a Chladni figure for the (swaying) modes n = p1, m = p2; bright nodal lines.
void chladni(const Job& job, Image& img) {
    const double t = real_param(job.p[0], 0);
    const double n = real_param(job.p[1], 2, 1000), m = real_param(job.p[2], 3, 1000);
    // v = cos(nπx)cos(mπy) − cos(mπx)cos(nπy) is separable: the cosines are taken once per
    // column and row of samples (two per pixel each way).
    const Frame f = frame_of(img);
    std::vector<double> cnx(2 * img.w), cmx(2 * img.w), cny(2 * img.h), cmy(2 * img.h);
    for (int i = 0; i < 2 * img.w; ++i) {
        const double x = f.x(0.5 * i - 0.25);
        cnx[i] = fcos(n * kPi * x), cmx[i] = fcos(m * kPi * x);
    }
    for (int j = 0; j < 2 * img.h; ++j) {
        const double y = f.y(0.5 * j - 0.25);
        cny[j] = fcos(n * kPi * y), cmy[j] = fcos(m * kPi * y);
    }
    for (int py = 0; py < img.h; ++py)
        for (int px = 0; px < img.w; ++px) {
            double b = 0;
            for (int sy = 0; sy < 2; ++sy)
                for (int sx = 0; sx < 2; ++sx) {
                    const int i = 2 * px + sx, j = 2 * py + sy;
                    const double v = cnx[i] * cmy[j] - cmx[i] * cny[j];
                    b += std::min(1.0, std::exp(-60 * v * v) + 0.08);
                }
            const double x = f.x(px), y = f.y(py);
            img.px[static_cast<size_t>(py) * img.w + px] = pack(scale(pal(job, 80 * (x * x + y * y) + 15 * t), 0.25 * b));
        }
}

// Kind 10: sunflower seeds, rₙ = c·√n, θₙ = n·(golden angle + p1), each a small shaded disc;
// where discs overlap the nearer seed wins. p0 cycles the colours, p3 scales the spacing.
void sunflower(const Job& job, Image& img) {
    const int w = img.w, h = img.h;
    const double t = real_param(job.p[0], 0);
    const double golden = 2.3999632 + real_param(job.p[1], 0, 10);
    const double half_diag = 0.5 * std::hypot(w, h);
    const double c = real_param(job.p[3], 1, 100) * half_diag / 46.1736;
    const Rgb bg = scale(pal(job, 4 * t + 128), 0.08);
    std::fill(img.px.begin(), img.px.end(), pack(bg));
    if (!(c > 0.05)) return;
    std::vector<float> depth(static_cast<size_t>(w) * h, 1e9f);
    const double radius = 1.02 * c;
    for (int n = 1; n <= 2600; ++n) {
        const double r = c * std::sqrt(static_cast<double>(n)), th = n * golden;
        if (r - radius > half_diag) break;
        const double sx = 0.5 * w + r * fcos(th), sy = 0.5 * h + r * fsin(th);
        const int x0 = std::max(0, static_cast<int>(sx - radius)), x1 = std::min(w - 1, static_cast<int>(sx + radius) + 1);
        const int y0 = std::max(0, static_cast<int>(sy - radius)), y1 = std::min(h - 1, static_cast<int>(sy + radius) + 1);
        if (x0 > x1 || y0 > y1) continue;
        // Colour runs outward in rings and along the spiral arms (every 21st and 34th seed).
        const Rgb col = pal_smooth(job, 0.09 * n + 9 * (n % 21) + 3 * t);
        for (int py = y0; py <= y1; ++py)
            for (int px = x0; px <= x1; ++px) {
                const double dx = (px + 0.5 - sx) / radius, dy = (py + 0.5 - sy) / radius;
                const double d2 = dx * dx + dy * dy;
                if (d2 >= 1) continue;
                float& dep = depth[static_cast<size_t>(py) * w + px];
                if (d2 >= dep) continue;
                dep = static_cast<float>(d2);
                // A dome lit from the upper left, its rim darkened.
                const double nz = std::sqrt(1 - d2);
                const double lum = std::max(0.0, -0.45 * dx - 0.5 * dy + 0.74 * nz);
                const double rim = smoothstep(1.0, 0.72, d2);
                const double l3 = lum * lum * lum, l6 = l3 * l3, l12 = l6 * l6;
                const double shine = l12 * l12 * 110;
                const Rgb s = scale(col, (0.25 + 0.85 * lum) * rim);
                img.px[static_cast<size_t>(py) * w + px] = pack(s.r + shine, s.g + shine, s.b + shine);
            }
    }
}

// Kind 11: a low-poly relief of triangles lit by a light that circles with t = p0. The grid's
// vertices are jittered sideways and rise and fall with t; every triangle is shaded once, and
// pixels only look up their triangle (two samples each way, for clean edges).
void facets(const Job& job, Image& img) {
    const double t = real_param(job.p[0], 0);
    constexpr double kCells = 7; // across half the width
    constexpr double cell = 1.0 / kCells;
    const Frame fr = frame_of(img);
    const int i0 = static_cast<int>(std::floor(fr.x(-1) / cell)) - 1, i1 = static_cast<int>(std::floor(fr.x(img.w) / cell)) + 2;
    const int j0 = static_cast<int>(std::floor(fr.y(-1) / cell)) - 1, j1 = static_cast<int>(std::floor(fr.y(img.h) / cell)) + 2;
    const int nx = i1 - i0 + 1, ny = j1 - j0 + 1;
    struct Vtx {
        double x, y, z;
    };
    std::vector<Vtx> v(static_cast<size_t>(nx) * ny);
    for (int j = j0; j <= j1; ++j)
        for (int i = i0; i <= i1; ++i)
            v[static_cast<size_t>(j - j0) * nx + (i - i0)] = {
                (i + 0.38 * (hash01(i, j, 1) - 0.5)) * cell, (j + 0.38 * (hash01(i, j, 2) - 0.5)) * cell,
                0.35 * cell * (fsin(0.9 * i + 0.6 * t) + fcos(0.7 * j - 0.45 * t)) + 0.9 * cell * (hash01(i, j, 7) - 0.5)};
    const double la = 0.7 * t;
    double lx = fcos(la) * 0.6, ly = fsin(la) * 0.6, lz = 0.75;
    const double ll = std::sqrt(lx * lx + ly * ly + lz * lz);
    lx /= ll, ly /= ll, lz /= ll;
    // Per triangle: its corners (for the barycentric test) and its lit colour.
    struct Tri {
        double ax, ay, bx, by, cx, cy, inv;
        Rgb col;
        double shine;
    };
    const int cx_n = nx - 1, cy_n = ny - 1;
    std::vector<Tri> tris(static_cast<size_t>(cx_n) * cy_n * 2);
    for (int j = 0; j < cy_n; ++j)
        for (int i = 0; i < cx_n; ++i) {
            const Vtx* q[4] = {&v[static_cast<size_t>(j) * nx + i], &v[static_cast<size_t>(j) * nx + i + 1],
                               &v[static_cast<size_t>(j + 1) * nx + i + 1], &v[static_cast<size_t>(j + 1) * nx + i]};
            const int corner[2][3] = {{0, 1, 2}, {0, 2, 3}};
            for (int k = 0; k < 2; ++k) {
                const Vtx &a = *q[corner[k][0]], &b = *q[corner[k][1]], &c = *q[corner[k][2]];
                Tri& tr = tris[(static_cast<size_t>(j) * cx_n + i) * 2 + k];
                tr.ax = a.x, tr.ay = a.y, tr.bx = b.x, tr.by = b.y, tr.cx = c.x, tr.cy = c.y;
                tr.inv = 1 / ((b.y - c.y) * (a.x - c.x) + (c.x - b.x) * (a.y - c.y));
                // n = (b − a) × (c − a), I = n·l
                const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
                const double vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
                double nx3 = uy * vz - uz * vy, ny3 = uz * vx - ux * vz, nz3 = ux * vy - uy * vx;
                if (nz3 < 0) nx3 = -nx3, ny3 = -ny3, nz3 = -nz3;
                const double nl = std::sqrt(nx3 * nx3 + ny3 * ny3 + nz3 * nz3);
                const double in = nl > 0 ? std::max(0.0, (nx3 * lx + ny3 * ly + nz3 * lz) / nl) : 0;
                const double in2 = in * in, in4 = in2 * in2, in8 = in4 * in4, in32 = in8 * in8 * in8 * in8;
                const double mx = (a.x + b.x + c.x) / 3, my = (a.y + b.y + c.y) / 3;
                const Rgb base = pal_smooth(job, 60 * (mx + my) + 90 * (a.z + b.z + c.z) / cell + 6 * t);
                tr.col = scale(base, 0.18 + 0.95 * in2 * in);
                tr.shine = 120 * in32 * in8;
            }
        }
    shade_pixels(img, 2, [&](double x, double y) {
        const int ci = static_cast<int>(std::floor(x / cell)) - i0, cj = static_cast<int>(std::floor(y / cell)) - j0;
        for (int n = 0; n < 9; ++n) {
            // The pixel's own cell first, then its neighbours (jitter moves edges across).
            const int i = ci + (n == 0 ? 0 : (n - 1) % 3 - 1), j = cj + (n == 0 ? 0 : (n - 1) / 3 - 1);
            if (i < 0 || j < 0 || i >= cx_n || j >= cy_n) continue;
            for (int k = 0; k < 2; ++k) {
                const Tri& tr = tris[(static_cast<size_t>(j) * cx_n + i) * 2 + k];
                const double wa = ((tr.by - tr.cy) * (x - tr.cx) + (tr.cx - tr.bx) * (y - tr.cy)) * tr.inv;
                const double wb = ((tr.cy - tr.ay) * (x - tr.cx) + (tr.ax - tr.cx) * (y - tr.cy)) * tr.inv;
                const double wc = 1 - wa - wb;
                if (wa < -1e-9 || wb < -1e-9 || wc < -1e-9) continue;
                const double edge = smoothstep(0.0, 0.05, std::min({wa, wb, wc}));
                const Rgb c = scale(tr.col, 0.55 + 0.45 * edge);
                return Rgb{c.r + tr.shine, c.g + tr.shine, c.b + tr.shine};
            }
        }
        return Rgb{};
    });
}

// Kind 12: sine stripes sin(k·(y + Σ aᵢ sin(bᵢx + ωᵢt))), t = p0, k = p1, scheme p2 (0 dark,
// 1 light).
void stripes(const Job& job, Image& img) {
    const double t = real_param(job.p[0], 0), k = real_param(job.p[1], 2, 1000);
    const bool light = real_param(job.p[2], 0) >= 0.5;
    shade_pixels(img, 1, [&](double x, double y) {
        const double phase = k * (4 * y + 0.55 * fsin(2.1 * x + 0.9 * t) + 0.3 * fsin(4.3 * x - 1.3 * t) +
                                  0.16 * fsin(7.9 * x + 2.1 * t));
        const double s = fsin(phase);
        const double band = std::floor(phase / kPi);
        const Rgb c = pal_smooth(job, 23 * band + 40 * x + 5 * t);
        if (light) {
            const Rgb pastel = mix(c, Rgb{255, 255, 255}, 0.45);
            const double line = smoothstep(0.0, 0.22, std::fabs(s));
            return scale(pastel, 0.35 + 0.65 * line);
        }
        const double as = std::fabs(s);
        return scale(c, std::sqrt(as) * std::sqrt(std::sqrt(as)) * 1.05); // |s|^0.75
    });
}

// Kind 13: a diamond tiling, |u − ⌊u⌋ − ½| + |v − ⌊v⌋ − ½| ≤ ½, with p1 tiles across; the
// colours ripple outward from the centre with t = p0 in rings p2 steps apart on the palette.
void diamonds(const Job& job, Image& img) {
    const double t = real_param(job.p[0], 0);
    const double n = std::clamp(real_param(job.p[1], 7, 1000), 1.0, 200.0);
    const double step = real_param(job.p[2], 8, 1000);
    shade_pixels(img, 1, [&](double x, double y) {
        const double u = 0.5 * n * x + 0.5, v = 0.5 * n * y + 0.5;
        const double fu = u - std::floor(u) - 0.5, fv = v - std::floor(v) - 0.5;
        const double e = std::fabs(fu) + std::fabs(fv); // ≤ ½ inside this cell's diamond
        // The diamond's lattice position: the cell itself, or across the nearest corner.
        double iu = std::floor(u), iv = std::floor(v);
        const bool inner = e <= 0.5;
        if (!inner) iu += fu > 0 ? 0.5 : -0.5, iv += fv > 0 ? 0.5 : -0.5;
        const double ring = std::fabs(iu - 0.5 * n + 0.5) + std::fabs(iv - 0.5 * n * img.h / img.w + 0.5);
        const double wave = 0.5 + 0.5 * fcos(0.9 * ring - 2 * t);
        const Rgb c = pal_smooth(job, step * ring + 6 * t + (inner ? 0 : 128));
        const double bevel = smoothstep(0.0, 0.09, std::fabs(0.5 - e));
        const double shade = inner ? 0.55 + 0.45 * (fu - fv) : 0.45 - 0.35 * (fu - fv);
        return scale(c, (0.25 + 0.75 * wave) * (0.3 + 0.7 * bevel) * (0.6 + 0.4 * shade));
    });
}

// Kind 14: a lattice of rounded squares in four classes m = (x − y) mod 4, each class pulsing
// in its own phase with t = p0; p1 scales the cells.
void lattice(const Job& job, Image& img) {
    const double t = real_param(job.p[0], 0);
    const double k = std::clamp(real_param(job.p[1], 1.1, 1000), 0.05, 50.0);
    const double cells = 9 * k; // across half the width
    shade_pixels(img, 1, [&](double x, double y) {
        const double u = x * cells + 0.5 * t, v = y * cells;
        const double iu = std::floor(u), iv = std::floor(v);
        const double md = iu - iv - 4 * std::floor((iu - iv) / 4); // (x − y) mod 4
        const int m = static_cast<int>(md) & 3;
        const double size = 0.3 + 0.16 * fsin(1.7 * t - 0.3 * (iu + iv) + 1.5708 * m);
        const double du = std::fabs(u - iu - 0.5), dv = std::fabs(v - iv - 0.5);
        // Rounded square: distance to a square of half-size `size` with corner radius 0.12.
        const double qx = std::max(du - size + 0.12, 0.0), qy = std::max(dv - size + 0.12, 0.0);
        const double dist = std::sqrt(qx * qx + qy * qy) - 0.12;
        const double fill = smoothstep(0.03, -0.03, dist);
        const Rgb c = pal_smooth(job, 64 * m + 3 * (iu + iv) + 4 * t);
        const double glow = 0.25 * std::exp(-12 * std::max(0.0, dist));
        return scale(c, 0.1 + 0.9 * fill * (0.75 + 0.25 * (0.5 - dv) * 2) + glow);
    });
}

// Distance from the centre in picture heights and the angle, for the radial kinds.
inline double radial(double x, double y, double aspect, double& theta) {
    theta = std::atan2(y, x);
    return std::sqrt(x * x + y * y) / (2 * aspect);
}

// Kind 15: spiral arms sin²(n(θ + s·r + ωt)/2) (squared, so that odd n meet without a seam),
// t = p0, n = p1, twist s = p2, scheme p3 (0 dark, 1 light).
void spiral_arms(const Job& job, Image& img) {
    const double t = real_param(job.p[0], 0);
    const double n = std::clamp(real_param(job.p[1], 20, 1000), 1.0, 200.0);
    const double s = real_param(job.p[2], 3, 1000);
    const bool light = real_param(job.p[3], 0) >= 0.5;
    const double aspect = static_cast<double>(img.h) / img.w;
    shade_pixels(img, 1, [&](double x, double y) {
        double th;
        const double r = radial(x, y, aspect, th);
        const double a = fsin(0.5 * n * (th + 1.5 * s * r + 0.35 * t));
        const double v = a * a;
        // Arms too thin to draw near the middle melt into a glow.
        const double fade = smoothstep(0.015, 0.12, r);
        const double val = fade * v + (1 - fade) * 0.5;
        const Rgb c = pal_smooth(job, 260 * r + 40 * fsin(th) + 7 * t);
        const double core = std::exp(-40 * r * r);
        if (light) {
            const Rgb pastel = mix(c, Rgb{255, 255, 255}, 0.5);
            return scale(pastel, 0.45 + 0.55 * val + 0.3 * core);
        }
        return scale(c, val * std::sqrt(val) * (1.1 - 0.5 * r) + 0.7 * core);
    });
}

// Kind 16: a log-polar tiling (u, v) = (ln r, θ): conformal tiles that stream toward the centre
// with t = p0, p1 tiles around, twist p2, fading out inside radius p3.
void log_polar(const Job& job, Image& img) {
    const double t = real_param(job.p[0], 0);
    const double n = std::clamp(std::round(real_param(job.p[1], 24, 1000)), 1.0, 200.0);
    const double twist = std::round(real_param(job.p[2], 2, 1000));
    const double inner = std::clamp(real_param(job.p[3], 0.04, 10), 0.0, 0.5);
    const double aspect = static_cast<double>(img.h) / img.w;
    shade_pixels(img, 1, [&](double x, double y) {
        double th;
        const double r = radial(x, y, aspect, th);
        const double lr = flog(std::max(r, 1e-6));
        // Tiles are squares in (ln r, θ): n around, the same size along ln r; the twist turns
        // the rows into log spirals (an integer count, so the tiles meet across θ = ±π).
        const double uu = lr * n / kTwoPi + 0.6 * t;
        const double vv = th * n / kTwoPi + twist * lr / kTwoPi * 2;
        const double iu = std::floor(uu), iv = std::floor(vv);
        const double du = std::fabs(uu - iu - 0.5), dv = std::fabs(vv - iv - 0.5);
        const double edge = smoothstep(0.5, 0.38, std::max(du, dv));
        const bool odd = (static_cast<long long>(iu) + static_cast<long long>(iv)) & 1;
        const Rgb c = pal_smooth(job, 17 * iu + (odd ? 96 : 0) + 4 * t);
        const double depth = smoothstep(inner, 6 * inner + 0.05, r);
        const double lum = (odd ? 0.95 : 0.55) * (0.15 + 0.85 * edge) * (0.75 + 0.25 * (1 - 2 * dv));
        return scale(c, lum * depth);
    });
}

// Kind 19: log-spiral bands f = d·ln r + 1.6·sin(nθ + k·ln r − ωt), coloured along the angle
// and radius, with a warm glow in the middle.
void log_spiral(const Job& job, Image& img) {
    const double t = real_param(job.p[0], 0);
    const int n = int_param(std::max(real_param(job.p[1], 3, 1000), 3.0), 3, 400);
    const double k = real_param(job.p[2], 2, 1000);
    const double d = real_param(job.p[3], 30, 1000) > 0 ? real_param(job.p[3], 30, 1000) : 30;
    const double aspect = static_cast<double>(img.h) / img.w;
    shade_pixels(img, 1, [&](double x, double y) {
        double th;
        const double r = radial(x, y, aspect, th);
        const double lr = flog(std::max(r, 1e-6));
        const double f = d * lr + 1.6 * fsin(n * th + k * lr - t);
        const double band = 0.5 + 0.5 * fcos(f);
        const double fade = smoothstep(0.01, 0.08, r);
        const double lum = fade * (0.12 + 0.95 * band * band) + (1 - fade) * 0.5;
        const Rgb c = pal_smooth(job, 160 * std::fabs(th) / kPi + 120 * r + 4 * t);
        const double glow = std::exp(-9 * r) * 255;
        return Rgb{c.r * lum + glow * 0.9, c.g * lum + glow * 0.45, c.b * lum + glow * 0.2};
    });
}

// ---------------------------------------------------------------------------------------------
// 6. Tunnel wall (kind 17): a seamless 768 × 768 texture, u along the tunnel and v around it,
// made of a Julia set iterated from a torus-shaped map of (u, v). p0 is the beat digit (it
// turns the Julia constant a little at each beat), p1 the seed, p2 the twist, p3 and p4 the
// counts along and around, p5 a palette shift. The same parameters reuse the cached texture.

struct TunnelCache {
    std::mutex mtx;
    bool valid = false;
    double key[6] = {};
    uint32_t palette[256] = {};
    std::shared_ptr<const std::vector<uint32_t>> tex;
};
TunnelCache g_tc;

std::shared_ptr<const std::vector<uint32_t>> make_wall(const Job& job, Kernel kernel) {
    {
        std::lock_guard<std::mutex> lock(g_tc.mtx);
        if (g_tc.valid && std::equal(job.p, job.p + 6, g_tc.key,
                                     [](double a, double b) { return a == b || (a != a && b != b); }) &&
            std::equal(job.palette, job.palette + 256, g_tc.palette))
            return g_tc.tex;
    }
    constexpr int S = kWallSize;
    const int beat = int_param(job.p[0], 0, 1000000);
    const double seedv = real_param(job.p[1], 1, 4e9);
    const uint32_t seed = static_cast<uint32_t>(static_cast<int64_t>(std::fabs(seedv)) & 0xFFFFFFFF);
    const int twist = int_param(real_param(job.p[2], 0), -6, 6);
    const int along = 1 + int_param(job.p[3], 0, 8);
    const int around = int_param(job.p[4], 1, 12);
    const double shift = real_param(job.p[5], 0);
    // One of seven Julia constants with wide, connected sets, chosen by the seed and nudged at
    // every beat.
    static const double kJulia[7][2] = {{-0.7269, 0.1889}, {-0.8, 0.156},      {0.285, 0.01},
                                        {-0.75, 0.11},     {-0.70176, -0.3842}, {-0.835, -0.2321},
                                        {0.355, 0.355}};
    const double* jc = kJulia[seed % 7];
    const double nudge = 0.6 * (beat % 10);
    const Escape s{1, 96, jc[0] + 0.012 * fsin(nudge), jc[1] + 0.012 * fcos(nudge)};
    auto tex = std::make_shared<std::vector<uint32_t>>(static_cast<size_t>(S) * S);
    SampleRow samples(S);
    double* xs = samples.xs();
    double* ys = samples.ys();
    Job colours = job;
    for (int j = 0; j < S; ++j) {
        const double v = (j + 0.5) / S;
        for (int i = 0; i < S; ++i) {
            const double u = (i + 0.5) / S;
            // Triangle waves fold the square onto the plane evenly, mirrored at the folds, so
            // the texture repeats seamlessly in both directions.
            const double a = along * u, b = around * v + twist * u;
            xs[i] = 1.55 * (4 * std::fabs(a - std::floor(a + 0.5)) - 1);
            ys[i] = 1.05 * (4 * std::fabs(b - std::floor(b + 0.5)) - 1);
        }
        iterate(kernel, s, samples);
        for (int i = 0; i < S; ++i) {
            const Orbit o = samples.orbit(i);
            Rgb c;
            if (o.n > 0) {
                const double mu = smooth_count(o.n, flog(o.x * o.x + o.y * o.y));
                c = scale(pal_smooth(colours, 16 * mu + 25 * shift), 0.5 + 0.6 * (1 - std::exp(-0.1 * mu)));
            } else {
                c = scale(pal_smooth(colours, 25 * shift + 128 + 40 * v), 0.45);
            }
            (*tex)[static_cast<size_t>(j) * S + i] = pack(c);
        }
    }
    std::lock_guard<std::mutex> lock(g_tc.mtx);
    std::copy(job.p, job.p + 6, g_tc.key);
    std::copy(job.palette, job.palette + 256, g_tc.palette);
    g_tc.tex = tex;
    g_tc.valid = true;
    return tex;
}

// The picture is the wall tiled: one period spans min(768, size) pixels in each direction, so
// that a smaller picture still wraps seamlessly onto the tunnel (it is averaged down).
void tunnel_wall(const Job& job, Image& img, Kernel kernel) {
    const auto tex = make_wall(job, kernel);
    constexpr int S = kWallSize;
    const int per_x = std::min(S, img.w), per_y = std::min(S, img.h);
    const double fx = static_cast<double>(S) / per_x, fy = static_cast<double>(S) / per_y;
    for (int py = 0; py < img.h; ++py) {
        const int ty = py % per_y;
        const int y0 = static_cast<int>(ty * fy), y1 = std::max(y0 + 1, static_cast<int>((ty + 1) * fy));
        for (int px = 0; px < img.w; ++px) {
            const int tx = px % per_x;
            const int x0 = static_cast<int>(tx * fx), x1 = std::max(x0 + 1, static_cast<int>((tx + 1) * fx));
            uint32_t r = 0, g = 0, b = 0, count = 0;
            for (int y = y0; y < y1 && y < S; ++y)
                for (int x = x0; x < x1 && x < S; ++x) {
                    const uint32_t c = (*tex)[static_cast<size_t>(y) * S + x];
                    r += (c >> 16) & 255, g += (c >> 8) & 255, b += c & 255, ++count;
                }
            img.px[static_cast<size_t>(py) * img.w + px] =
                kBlack | (r / count) << 16 | (g / count) << 8 | (b / count);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// 7. Dispatch by kind.

int clamp_size(int v) { return std::clamp(v, kMinSize, kMaxSize); }

void compute(const Job& job, Image& img, int bands, Kernel kernel) {
    switch (job.kind) {
    case 0:
    case 1:
    case 2: escape_picture(job, img, bands, kernel); break;
    case 3: newton(job, img); break;
    case 4: interference(job, img); break;
    case 5: chladni(job, img); break;
    case 10: sunflower(job, img); break;
    case 11: facets(job, img); break;
    case 12: stripes(job, img); break;
    case 13: diamonds(job, img); break;
    case 14: lattice(job, img); break;
    case 15: spiral_arms(job, img); break;
    case 16: log_polar(job, img); break;
    case 17: tunnel_wall(job, img, kernel); break;
    case 18: flame(job, img); break;
    case 19: log_spiral(job, img); break;
    default: density(job, img); break; // 6..9 and anything unknown
    }
}

std::shared_ptr<Image> new_image(const Job& job) {
    auto img = std::make_shared<Image>();
    img->w = clamp_size(job.w);
    img->h = clamp_size(job.h);
    img->px.assign(static_cast<size_t>(img->w) * img->h, kBlack);
    img->key = job.p[2];
    img->tag = job.tag;
    return img;
}

// ---------------------------------------------------------------------------------------------
// 8. The worker thread and its hand-off.

std::mutex g_mtx;
std::condition_variable g_cv;
Job g_job;
bool g_has_job = false;
bool g_busy = false;
bool g_quit = false;
bool g_started = false;
std::thread g_thread;
int64_t g_serial = 0;
std::shared_ptr<const Image> g_latest;

void worker() {
    auto job = std::make_unique<Job>();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(g_mtx);
            g_cv.wait(lock, [] { return g_quit || g_has_job; });
            if (g_quit) return;
            *job = g_job;
            g_has_job = false;
            g_busy = true;
        }
        std::shared_ptr<Image> img = new_image(*job);
        compute(*job, *img, band_count(), Kernel::Chosen);
        std::lock_guard<std::mutex> lock(g_mtx);
        img->serial = ++g_serial;
        g_latest = std::move(img);
        g_busy = false;
    }
}

} // namespace

bool has_avx2() { return cpu_has_avx2(); }

int band_count() {
    const int n = static_cast<int>(std::thread::hardware_concurrency());
    if (n < 2) return 1;
    return n < 10 ? std::max(1, n / 2) : 4;
}

std::shared_ptr<Image> render(const Job& job, int bands, Kernel kernel) {
    std::shared_ptr<Image> img = new_image(job);
    compute(job, *img, bands < 1 ? band_count() : bands, kernel);
    return img;
}

void request(const Job& job) {
    std::lock_guard<std::mutex> lock(g_mtx);
    if (!g_started) {
        g_quit = false;
        g_thread = std::thread(worker);
        g_started = true;
    }
    g_job = job;
    g_has_job = true;
    g_cv.notify_one();
}

std::shared_ptr<const Image> latest() {
    std::lock_guard<std::mutex> lock(g_mtx);
    return g_latest;
}

bool busy() {
    std::lock_guard<std::mutex> lock(g_mtx);
    return g_busy || g_has_job;
}

void shutdown() {
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        if (!g_started) return;
        g_quit = true;
        g_cv.notify_one();
    }
    g_thread.join();
    std::lock_guard<std::mutex> lock(g_mtx);
    g_started = false;
    g_has_job = false;
    g_quit = false;
}

// ---------------------------------------------------------------------------------------------
// 9. Sample jobs: the parameters the visualizer sends for each kind at music clock t (with
// mid-range music: bass 0.5), and a palette from a few pleasant cosine sets.

Job sample_job(int kind, int w, int h, double t) {
    Job j;
    j.kind = kind;
    j.w = w;
    j.h = h;
    j.tag = kind;
    j.iter = 200;
    const double bass = 0.5;
    // Cosine palettes a + b·cos(2π(c·x + d)) per channel.
    static const double kSets[4][4][3] = {
        {{0.5, 0.5, 0.5}, {0.5, 0.5, 0.5}, {1.0, 1.0, 1.0}, {0.00, 0.33, 0.67}},
        {{0.5, 0.5, 0.5}, {0.5, 0.5, 0.5}, {1.0, 1.0, 0.5}, {0.80, 0.90, 0.30}},
        {{0.5, 0.4, 0.5}, {0.5, 0.4, 0.5}, {1.0, 1.0, 1.0}, {0.30, 0.20, 0.20}},
        {{0.45, 0.5, 0.55}, {0.45, 0.5, 0.45}, {2.0, 1.0, 1.0}, {0.50, 0.20, 0.25}},
    };
    const auto& set = kSets[((kind % 4) + 4) % 4];
    for (int i = 0; i < 256; ++i) {
        double ch[3];
        for (int k = 0; k < 3; ++k)
            ch[k] = 255 * (set[0][k] + set[1][k] * std::cos(kTwoPi * (set[2][k] * i / 256.0 + set[3][k])));
        j.palette[i] = pack(ch[0], ch[1], ch[2]);
    }
    double* p = j.p;
    switch (kind) {
    case 0: // a seahorse valley view
        p[0] = -0.7453, p[1] = 0.1127, p[2] = 0.012, p[5] = 6 * t, p[6] = 2, p[7] = 0.6 * std::sin(0.1 * t) + 0.8;
        break;
    case 1:
        p[2] = 1.3 * std::exp(-0.9 * (1 - std::cos(0.045 * t)));
        p[3] = -0.8 + 0.012 * std::sin(0.21 * t), p[4] = 0.156 + 0.012 * std::cos(0.17 * t);
        p[5] = 8 * t, p[6] = 1, p[7] = 0.05 * t + 0.8;
        j.iter = 110;
        break;
    case 2:
        p[0] = -1.7621, p[1] = -0.0284, p[2] = 0.05, p[5] = 6 * t, p[6] = 2, p[7] = 0.8;
        j.iter = 120;
        break;
    case 3: p[2] = 1.6 * std::exp(-0.5 * (1 - std::cos(0.1 * t))), p[3] = 0.15 * t; break;
    case 4: p[0] = 1.4 * t, p[3] = 2 * bass + 3; break;
    case 5: p[0] = t, p[1] = 0.7 * std::sin(0.13 * t) + 3, p[2] = 0.7 * std::cos(0.09 * t) + 5; break;
    case 6: {
        const double c[4] = {1.7, 1.7, 0.6, 1.2};
        for (int k = 0; k < 4; ++k) p[k] = c[k] + 0.07 * std::sin(0.11 * t + k * 1.7) + 0.03 * bass;
        break;
    }
    case 7: {
        const double c[4] = {-2.24, 0.43, -0.65, -2.43};
        for (int k = 0; k < 4; ++k) p[k] = c[k] + 0.07 * std::sin(0.11 * t + k * 1.7) + 0.03 * bass;
        break;
    }
    case 8: p[0] = (2 * bass + 1) * std::sin(0.6 * t); break;
    case 9: p[0] = 0.08 * t, p[1] = 0.52 + 0.05 * std::sin(0.2 * t) + 0.04 * bass, p[2] = 5; break;
    case 10: p[0] = 3 * t, p[1] = 0.006 * std::sin(0.05 * t), p[3] = 0.18 * bass + 1; break;
    case 11: p[0] = 1.6 * t; break;
    case 12: p[0] = 1.6 * t, p[1] = 0.8 * bass + 2, p[2] = 0; break;
    case 13: p[0] = 1.2 * t, p[1] = (0.06 * bass + 1) * 7, p[2] = 8; break;
    case 14: p[0] = 1.2 * t, p[1] = 1.1; break;
    case 15: p[0] = 0.8 * t, p[1] = 24, p[2] = 3 * bass + 3 * std::sin(0.1 * t), p[3] = 0; break;
    case 16: p[0] = 0.9 * t, p[1] = 30, p[2] = std::sin(0.2 * t) + 3, p[3] = 0.04; break;
    case 17: p[0] = 3, p[1] = 4242, p[2] = 1.4, p[3] = 2, p[4] = 6, p[5] = 6; break;
    case 18: p[0] = 0.8 * t, p[1] = 777; break;
    case 19: p[0] = 1.4 * t, p[1] = 9, p[2] = (0.25 * bass + 1) * 3.5, p[3] = 26; break;
    default: break;
    }
    return j;
}

} // namespace raster
