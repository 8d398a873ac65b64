// What the raster worker draws: the two builds of the escape-time kernel agree, the kernel
// matches a plain double-precision iteration written out here, every kind draws a real picture
// and the same one for the same job, and no parameter, however absurd, hangs or crashes it.
#include "fuzz/fuzz_raster_job.cpp"
#include "scene/raster_bg.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <set>
#include <string>

namespace {

using raster::Image;
using raster::Job;

const std::string kSourceDir = LUMAFON_SOURCE_DIR;

int channel(uint32_t c, int k) { return static_cast<int>((c >> (8 * k)) & 255); }

int max_channel_diff(const Image& a, const Image& b) {
    int worst = 0;
    for (size_t i = 0; i < a.px.size(); ++i)
        for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(channel(a.px[i], k) - channel(b.px[i], k)));
    return worst;
}

size_t distinct_colours(const Image& img) { return std::set<uint32_t>(img.px.begin(), img.px.end()).size(); }

double non_black_share(const Image& img) {
    const auto n = std::count_if(img.px.begin(), img.px.end(), [](uint32_t p) { return (p & 0xFFFFFF) != 0; });
    return static_cast<double>(n) / img.px.size();
}

// ---- A plain escape-time iteration, one sample at the pixel centre, as the textbook has it.

struct Step {
    bool escaped = false;
    int n = 0;
    double zx = 0, zy = 0, dx = 0, dy = 0;
};

Step iterate_reference(int kind, double re, double im, double jx, double jy, int iter) {
    Step s;
    double cx = re, cy = im;
    if (kind == 1) s.zx = re, s.zy = im, cx = jx, cy = jy, s.dx = 1;
    for (int n = 1; n <= iter; ++n) {
        if (kind != 2) { // z' ← 2·z·z' (+ 1 for the derivative by c)
            const double ndx = 2 * (s.zx * s.dx - s.zy * s.dy) + (kind == 0 ? 1 : 0);
            s.dy = 2 * (s.zx * s.dy + s.zy * s.dx);
            s.dx = ndx;
        } else {
            s.zx = std::fabs(s.zx), s.zy = std::fabs(s.zy);
        }
        const double x = s.zx * s.zx - s.zy * s.zy + cx;
        s.zy = 2 * s.zx * s.zy + cy;
        s.zx = x;
        if (s.zx * s.zx + s.zy * s.zy > 256) {
            s.escaped = true;
            s.n = n;
            return s;
        }
    }
    return s;
}

uint32_t reference_colour(const Job& job, const Step& s, double pixel) {
    const double r2 = s.zx * s.zx + s.zy * s.zy;
    const double mu = s.n + 1 - std::log2(std::max(1e-9, std::log(r2) / (2 * std::log(2.0))));
    double x = std::fmod(7 * mu + job.p[5], 256.0);
    if (x < 0) x += 256;
    const int i = static_cast<int>(x);
    const uint32_t a = job.palette[i & 255], b = job.palette[(i + 1) & 255];
    double base[3], out[3];
    for (int k = 0; k < 3; ++k) base[k] = channel(a, k) + (channel(b, k) - channel(a, k)) * (x - i);
    if (job.kind == 2) {
        for (int k = 0; k < 3; ++k) out[k] = 0.9 * base[k];
    } else {
        const double absz = std::sqrt(r2), absdz = std::hypot(s.dx, s.dy);
        const double d = absz * std::log(absz) / absdz;
        const double f = 1 / (0.35 * d / pixel + 1);
        // u = (z / dz) / |z / dz|
        const double den = s.dx * s.dx + s.dy * s.dy;
        double ux = (s.zx * s.dx + s.zy * s.dy) / den, uy = (s.zy * s.dx - s.zx * s.dy) / den;
        const double ul = std::hypot(ux, uy);
        ux /= ul, uy /= ul;
        const double l = std::max(0.0, (ux * std::cos(job.p[7]) + uy * std::sin(job.p[7]) + 1.5) / 2.5);
        const double bright = (0.45 * std::sqrt(f) + 0.55) * (0.78 * l + 0.22);
        for (int k = 0; k < 3; ++k) out[k] = base[k] * bright + 255 * 0.55 * std::pow(l, 12);
    }
    uint32_t c = 0xFF000000u;
    for (int k = 0; k < 3; ++k) c |= static_cast<uint32_t>(std::lround(std::clamp(out[k], 0.0, 255.0))) << (8 * k);
    return c;
}

// A point on the edge of the set, by bisection between a point inside and one outside.
void edge_point(int kind, double in_x, double in_y, double out_x, double out_y, double jx, double jy,
                double& x, double& y) {
    for (int i = 0; i < 60; ++i) {
        const double mx = 0.5 * (in_x + out_x), my = 0.5 * (in_y + out_y);
        if (iterate_reference(kind, mx, my, jx, jy, 2000).escaped)
            out_x = mx, out_y = my;
        else
            in_x = mx, in_y = my;
    }
    x = in_x, y = in_y;
}

// Escape-time jobs at the edge of each set, at a moderate and at a deep zoom.
std::vector<Job> edge_jobs() {
    std::vector<Job> jobs;
    struct Set {
        int kind;
        double in_x, in_y, out_x, out_y, jx, jy;
    };
    const Set sets[] = {{0, -0.1, 0, -0.8, 0.9, 0, 0}, {1, 0, 0, 1.2, 1.4, -0.8, 0.156}, {2, -0.5, 0, -0.5, -2, 0, 0}};
    for (const Set& s : sets) {
        double x, y;
        edge_point(s.kind, s.in_x, s.in_y, s.out_x, s.out_y, s.jx, s.jy, x, y);
        for (double half : {0.03, 2e-7}) {
            Job j = raster::sample_job(s.kind, 120, 90);
            j.p[0] = x, j.p[1] = y, j.p[2] = half, j.p[3] = s.jx, j.p[4] = s.jy;
            // Deep down, the cardioid's edge escapes too slowly to show; a spot in the seahorse
            // valley has detail at every depth.
            if (s.kind == 0 && half < 1e-3) j.p[0] = -0.743643887037151, j.p[1] = 0.131825904205330;
            j.iter = half < 1e-3 ? 1500 : 200;
            jobs.push_back(j);
        }
    }
    return jobs;
}

TEST(RasterEscape, GenericAndAvx2KernelsAgree) {
    if (!raster::has_avx2()) GTEST_SKIP() << "this processor has no AVX2";
    for (const Job& base : edge_jobs())
        for (double samples : {1.0, 2.0, 4.0}) {
            Job job = base;
            job.p[6] = samples;
            job.w = base.w + 1; // not a whole number of the wide build's groups of four pixels
            const auto generic = raster::render(job, 1, raster::Kernel::Generic);
            const auto avx2 = raster::render(job, 1, raster::Kernel::Avx2);
            const std::string what = "kind " + std::to_string(job.kind) + ", half-width " +
                                     std::to_string(job.p[2]) + ", " + std::to_string(samples) + " samples";
            EXPECT_LE(max_channel_diff(*generic, *avx2), 1) << what;
            // Edges of the set: much detail, some of it inside.
            EXPECT_GT(distinct_colours(*generic), 200u) << what;
            EXPECT_GT(non_black_share(*generic), 0.05) << what;
        }
}

TEST(RasterEscape, EscapedPixelsMatchAPlainIteration) {
    for (const Job& base : edge_jobs()) {
        Job job = base;
        job.p[6] = 1;
        job.p[5] = 37;
        job.p[7] = 2.1;
        const auto img = raster::render(job);
        const double pixel = 2 * job.p[2] / job.w;
        int checked = 0, inside = 0;
        for (int py = 3; py < job.h; py += 11)
            for (int px = 5; px < job.w; px += 13) {
                const double re = job.p[0] - job.p[2] + (px + 0.5) * pixel;
                const double im = job.p[1] - job.h * job.p[2] / job.w + (py + 0.5) * pixel;
                const Step s = iterate_reference(job.kind, re, im, job.p[3], job.p[4], job.iter);
                const uint32_t got = img->px[static_cast<size_t>(py) * job.w + px];
                if (!s.escaped) {
                    ++inside;
                    EXPECT_EQ(got, 0xFF000000u) << "inside pixel " << px << "," << py << " of kind " << job.kind;
                    continue;
                }
                const uint32_t want = reference_colour(job, s, pixel);
                for (int k = 0; k < 3; ++k)
                    EXPECT_LE(std::abs(channel(got, k) - channel(want, k)), 1)
                        << "pixel " << px << "," << py << " of kind " << job.kind << " (n = " << s.n << ")";
                ++checked;
            }
        EXPECT_GE(checked, 4) << "kind " << job.kind;
        EXPECT_GE(inside + checked, 50);
    }
}

TEST(RasterEscape, ViewInsideTheMainCardioidIsBlack) {
    Job job = raster::sample_job(0, 320, 240);
    job.p[0] = -0.1, job.p[1] = 0.1, job.p[2] = 0.05;
    job.p[6] = 4;
    job.iter = 4096;
    const auto img = raster::render(job);
    EXPECT_EQ(non_black_share(*img), 0.0);
    EXPECT_EQ(img->px.front(), 0xFF000000u);
}

TEST(RasterKinds, EveryKindDrawsARealPictureAndTheSameOneForTheSameJob) {
    for (double t : {0.0, 37.0})
        for (int kind = 0; kind < raster::kKinds; ++kind) {
            const Job job = raster::sample_job(kind, 160, 120, t);
            const auto a = raster::render(job);
            const auto b = raster::render(job);
            const std::string what = "kind " + std::to_string(kind) + " at t = " + std::to_string(t);
            ASSERT_EQ(a->w, 160);
            ASSERT_EQ(a->h, 120);
            EXPECT_EQ(a->px, b->px) << what;
            EXPECT_GE(distinct_colours(*a), 24u) << what;
            EXPECT_GT(non_black_share(*a), 0.1) << what;
            EXPECT_EQ(a->tag, job.tag);
        }
}

TEST(RasterKinds, TunnelWallIsCachedPerParametersAndRepeatsSeamlessly) {
    Job job = raster::sample_job(17, 300, 200);
    const auto first = raster::render(job);
    job.p[0] = 4; // the next beat
    const auto next = raster::render(job);
    EXPECT_GT(max_channel_diff(*first, *next), 20);
    job.p[0] = 3;
    EXPECT_EQ(raster::render(job)->px, first->px);
    // A picture larger than the wall repeats it at its own size.
    job.w = raster::kWallSize + 100, job.h = 40;
    const auto big = raster::render(job);
    for (int x = 0; x < 100; ++x) EXPECT_EQ(big->px[x], big->px[x + raster::kWallSize]);
}

TEST(RasterKinds, AbsurdJobsGiveAPictureOrBlackWithoutHangingOrCrashing) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const double values[] = {nan, inf, -inf, 1e300, -1e300, 0, -1, 1e-300, 4e9, 0.5, 2, 7};
    const int kinds[] = {INT_MIN, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 99, INT_MAX};
    const int iters[] = {INT_MIN, -1, 0, 1, 200, INT_MAX};
    const int sizes[] = {INT_MIN, -1, 0, 1, 17, 40};
    std::mt19937 rng(7);
    auto pick = [&rng](const auto& list) { return list[rng() % std::size(list)]; };
    for (int round = 0; round < 400; ++round) {
        Job job = raster::sample_job(pick(kinds), pick(sizes), pick(sizes));
        // Early rounds: one value everywhere; later ones: a different value in each slot.
        const double all = values[round % std::size(values)];
        for (double& p : job.p) p = round < 2 * static_cast<int>(std::size(values)) ? all : pick(values);
        job.iter = pick(iters);
        if (round % 5 == 0) std::fill(std::begin(job.palette), std::end(job.palette), 0u);
        // The fuzz target's checks: clamped size, fully opaque, key and tag carried over.
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(&job), sizeof job);
    }
}

TEST(RasterKinds, SeedCorpusPassesTheFuzzTarget) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kSourceDir + "/tests/fuzz/corpus/raster_job")) {
        const auto data = test_support::read_file(entry.path().string());
        ASSERT_TRUE(data);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data->data()), data->size());
        ++files;
    }
    EXPECT_GE(files, 5);
}

} // namespace
