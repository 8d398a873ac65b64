// tsan
// Two threads computing spectra at once must each get exactly what one thread alone gets:
// the FFT scratch is per thread, the shared plan is only read once the rate is in use.
#include "dsp/analyzer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace {

std::vector<float> tone(double freq, double amp) {
    std::vector<float> x(analyzer::kFftSize);
    for (int n = 0; n < analyzer::kFftSize; ++n)
        x[n] = static_cast<float>(amp * std::sin(2 * 3.14159265358979 * freq * n / 48000));
    return x;
}

} // namespace

TEST(SpectrumThreads, TwoThreadsComputeAtOnce) {
    const std::vector<float> a = tone(100, 0.9), b = tone(5000, 0.3);
    std::vector<float> want_a(analyzer::kBars), want_b(analyzer::kBars);
    // The first call at this rate builds the plan and the map before any other thread runs.
    analyzer::compute(a.data(), 48000, want_a.data());
    analyzer::compute(b.data(), 48000, want_b.data());
    ASSERT_NE(want_a, want_b);

    std::atomic<int> ready{0};
    auto worker = [&](const std::vector<float>* x, const std::vector<float>* want, int* mismatches) {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        std::vector<float> got(analyzer::kBars);
        for (int i = 0; i < 300; ++i) {
            analyzer::compute(x->data(), 48000, got.data());
            *mismatches += got != *want;
        }
    };
    int bad_a = 0, bad_b = 0;
    std::thread ta(worker, &a, &want_a, &bad_a);
    std::thread tb(worker, &b, &want_b, &bad_b);
    ta.join();
    tb.join();
    EXPECT_EQ(bad_a, 0);
    EXPECT_EQ(bad_b, 0);
}
