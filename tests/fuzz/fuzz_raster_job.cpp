// Computes a picture for an arbitrary job record (the bytes are copied over a default job). Any
// kind, parameter and iteration count must give a picture of the clamped size, fully opaque,
// carrying the job's key and tag. Sizes are kept small so that each run stays short.
#include "scene/raster_bg.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    raster::Job job;
    std::memcpy(&job, data, size < sizeof job ? size : sizeof job);
    job.w %= 72;
    job.h %= 72;
    const int w = job.w < raster::kMinSize ? raster::kMinSize : job.w;
    const int h = job.h < raster::kMinSize ? raster::kMinSize : job.h;
    const auto img = raster::render(job, 1 + static_cast<int>(size % 3));
    if (img->w != w || img->h != h || img->px.size() != static_cast<size_t>(w) * h) __builtin_trap();
    if (img->tag != job.tag || std::memcmp(&img->key, &job.p[2], sizeof img->key) != 0) __builtin_trap();
    for (uint32_t p : img->px)
        if ((p >> 24) != 0xFF) __builtin_trap();
    return 0;
}
