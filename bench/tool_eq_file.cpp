// Reads raw interleaved stereo float32 at 48 kHz, runs the equaliser with the given band gains
// and preamp, writes the result as raw float32. For comparison runs against other tools.
// Usage: tool_eq_file IN OUT PREAMP G31 G62 ... G16k
#include "dsp/eq_dsp.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4 + eq::kBands) {
        std::fprintf(stderr, "usage: %s IN OUT PREAMP G31 G62 G125 G250 G500 G1k G2k G4k G8k G16k\n",
                     argv[0]);
        return 2;
    }
    eq::Curve curve;
    curve.preamp = std::strtof(argv[3], nullptr);
    for (int i = 0; i < eq::kBands; ++i) curve.band[i] = std::strtof(argv[4 + i], nullptr);
    FILE* in = std::fopen(argv[1], "rb");
    FILE* out = std::fopen(argv[2], "wb");
    if (!in || !out) {
        std::perror("open");
        return 1;
    }
    eq::Processor p;
    p.set_format(48000, 2);
    p.set_curve(curve);
    std::vector<float> block(2 * 4800);
    double busy = 0;
    size_t frames;
    while ((frames = std::fread(block.data(), sizeof(float) * 2, block.size() / 2, in)) > 0) {
        const auto t0 = std::chrono::steady_clock::now();
        p.process(block.data(), static_cast<int>(frames));
        busy += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (std::fwrite(block.data(), sizeof(float) * 2, frames, out) != frames) return 1;
    }
    std::fclose(in);
    std::fclose(out);
    std::fprintf(stderr, "processing alone: %.3f s\n", busy);
    return 0;
}
