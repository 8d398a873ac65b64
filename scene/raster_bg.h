// The raster worker: computes the visualizer's CPU-drawn full-screen backgrounds (escape-time
// fractals, Newton basins, interference and Chladni figures, attractor densities, tilings,
// spirals, the tunnel wall) on a thread of its own, so that the window thread never waits for a
// picture. The window thread hands over a job with request() and picks up the newest finished
// picture with latest(); at most one job waits, a newer one replaces it.
//
// Threads: request, latest, busy and shutdown belong to the window thread (they only take the
// hand-off mutex for a moment). render() computes on the caller's thread and touches no shared
// state but the tunnel-wall cache, which has a lock of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace raster {

constexpr int kKinds = 20;     // 0..19; any other kind falls to the density renderer
constexpr int kMinSize = 16;   // pictures are clamped to 16..2048 pixels in each dimension
constexpr int kMaxSize = 2048;
constexpr int kWallSize = 768; // the tunnel wall's texture is this square

// One picture to compute; a plain record copied whole on hand-over.
// Escape-time kinds (0 Mandelbrot, 1 Julia, 2 Burning Ship): p0, p1 view centre, p2 view
// half-width, p3, p4 the Julia constant, p5 palette offset, p6 samples per pixel (>= 4: four,
// >= 2: two, else one), p7 light angle in radians. The other kinds read their own p's.
struct Job {
    int32_t kind = 0;
    int32_t w = 0;
    int32_t h = 0;
    double p[8] = {};
    int32_t iter = 200;
    int32_t tag = 0;
    uint32_t palette[256] = {}; // 0xAARRGGBB
};

// A finished picture; never changed once published.
struct Image {
    int32_t w = 0;
    int32_t h = 0;
    std::vector<uint32_t> px; // w·h pixels, row-major, 0xAARRGGBB
    int64_t serial = 0;       // 1 for the first published picture, one more for each later one
    double key = 0;           // the job's p2, so that the scene recognises what it was made for
    int32_t tag = 0;          // the job's tag
};

// Hands a job to the worker (starting it on the first call), replacing a job not yet taken.
// Never waits for a computation.
void request(const Job& job);
// The newest published picture, or empty before the first.
std::shared_ptr<const Image> latest();
// True while a picture is being computed or a job waits.
bool busy();
// Stops the worker after the picture in progress is published; a job still waiting is dropped.
// Returns at once when the worker never started. A later request starts a new worker.
void shutdown();

// The escape-time kernel in use: the AVX2 build (which also uses FMA) where the processor has
// both, else the generic.
enum class Kernel { Chosen, Generic, Avx2 };
bool has_avx2();
// How many bands the worker splits an escape-time picture into on this machine: half the
// hardware threads (the other half stays with the window and the sound), at most four, and one
// below four hardware threads.
int band_count();
// Computes a picture on the caller's thread (serial, key and tag filled, serial 0). `bands` < 1
// means band_count(); Kernel::Avx2 falls back to the generic kernel without AVX2.
std::shared_ptr<Image> render(const Job& job, int bands = 0, Kernel kernel = Kernel::Chosen);

// A typical job of each kind, as the visualizer sends them at music clock `t`, with a pleasant
// palette: for tools, benchmarks and tests.
Job sample_job(int kind, int w, int h, double t = 10);

} // namespace raster
