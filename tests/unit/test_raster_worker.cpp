// tsan
// The raster worker's hand-off between the window thread and the worker: one waiting job that a
// newer request replaces, pictures published with rising serials, the window thread never held
// up by a computation, and shutdown in every state. Also the band threads, which must give the
// same picture as one thread. Runs under ThreadSanitizer as well.
#include "scene/raster_bg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int64_t serial_now() {
    const auto img = raster::latest();
    return img ? img->serial : 0;
}

// Polls until the worker has nothing to do; false after `limit` seconds.
bool wait_idle(double limit = 120) {
    const auto start = Clock::now();
    while (raster::busy()) {
        if (seconds_since(start) > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool all_opaque(const raster::Image& img) {
    for (uint32_t p : img.px)
        if ((p >> 24) != 0xFF) return false;
    return true;
}

// A job that keeps the worker busy for at least a second on this machine: the Julia set of
// c = 1/4, whose inside creeps toward its parabolic fixed point so slowly that no shortcut ends
// the iteration early. Its size is found once by timing it here.
raster::Job slow_job(int tag) {
    static int side = 0;
    raster::Job job = raster::sample_job(1, 0, 0);
    job.p[0] = job.p[1] = 0;
    job.p[2] = 0.2;
    job.p[3] = 0.25, job.p[4] = 0;
    job.p[6] = 1;
    job.iter = 4096;
    if (side == 0) {
        for (side = 128; side < raster::kMaxSize; side *= 2) {
            job.w = job.h = side;
            const auto start = Clock::now();
            raster::render(job);
            if (seconds_since(start) > 1.0) break;
        }
    }
    job.w = job.h = side;
    job.tag = tag;
    return job;
}

TEST(RasterWorker, ShutdownBeforeAnyRequestReturnsAtOnce) {
    const auto start = Clock::now();
    raster::shutdown();
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_FALSE(raster::busy());
    EXPECT_EQ(raster::latest(), nullptr);
}

TEST(RasterWorker, PublishesPicturesWithSerialsTagsKeysAndClampedSizes) {
    const int64_t s0 = serial_now();

    raster::Job tiny = raster::sample_job(4, 0, 0);
    tiny.tag = 11;
    raster::request(tiny);
    ASSERT_TRUE(wait_idle());
    auto img = raster::latest();
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->w, 16);
    EXPECT_EQ(img->h, 16);
    EXPECT_EQ(img->px.size(), 256u);
    EXPECT_EQ(img->serial, s0 + 1);
    EXPECT_EQ(img->tag, 11);
    EXPECT_TRUE(all_opaque(*img));

    raster::Job wide = raster::sample_job(12, 5000, -7);
    wide.tag = 12;
    raster::request(wide);
    ASSERT_TRUE(wait_idle());
    const auto first = img;
    img = raster::latest();
    EXPECT_EQ(img->w, raster::kMaxSize);
    EXPECT_EQ(img->h, raster::kMinSize);
    EXPECT_EQ(img->serial, s0 + 2);
    EXPECT_EQ(img->tag, 12);
    // The earlier picture lives on unchanged for whoever still holds it.
    EXPECT_EQ(first->serial, s0 + 1);
    EXPECT_EQ(first->w, 16);

    raster::Job view = raster::sample_job(0, 40, 30);
    view.p[2] = 1.5;
    view.tag = -3;
    raster::request(view);
    ASSERT_TRUE(wait_idle());
    img = raster::latest();
    EXPECT_EQ(img->key, 1.5);
    EXPECT_EQ(img->tag, -3);
    EXPECT_EQ(img->w, 40);
    EXPECT_EQ(img->h, 30);
    EXPECT_EQ(img->serial, s0 + 3);

    // Shutting down an idle worker is quick; a later request starts a new one and the serials
    // go on.
    auto start = Clock::now();
    raster::shutdown();
    EXPECT_LT(seconds_since(start), 5.0);
    EXPECT_FALSE(raster::busy());
    raster::request(tiny);
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(serial_now(), s0 + 4);
    raster::shutdown();
}

TEST(RasterWorker, NewerRequestReplacesTheWaitingJobAndNothingWaitsForTheWorker) {
    const raster::Job slow = slow_job(30);
    raster::Job a = raster::sample_job(4, 24, 24), b = raster::sample_job(4, 40, 20);
    a.tag = 31;
    b.tag = 32;
    const int64_t s0 = serial_now();

    raster::request(slow);
    // While the slow picture is computed, the window thread's calls come straight back: the
    // picture it gets is still the one from before.
    raster::request(a);
    raster::request(b);
    EXPECT_TRUE(raster::busy());
    const auto during = raster::latest();
    EXPECT_EQ(during ? during->serial : 0, s0) << "latest() waited for the picture being computed";

    // The waiting job a was replaced by b: at most two pictures follow (the slow one, if the
    // worker had taken it, and b's), and a's is never among them.
    std::set<int32_t> tags;
    const auto start = Clock::now();
    while (raster::busy() && seconds_since(start) < 120) {
        if (const auto img = raster::latest()) tags.insert(img->tag);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_FALSE(raster::busy());
    const auto last = raster::latest();
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->tag, 32);
    EXPECT_EQ(last->w, 40);
    EXPECT_EQ(last->h, 20);
    EXPECT_LE(last->serial, s0 + 2);
    EXPECT_EQ(tags.count(31), 0u);
    raster::shutdown();
}

TEST(RasterWorker, ShutdownFinishesThePictureInProgressAndDropsTheWaitingJob) {
    const raster::Job slow = slow_job(40);
    raster::Job waiting = raster::sample_job(4, 30, 30);
    waiting.tag = 41;
    const int64_t s0 = serial_now();

    raster::request(slow);
    // Give the worker a moment to take the slow job (which then takes over a second).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    raster::request(waiting);
    raster::shutdown();
    // Published before shutdown returned: no waiting needed here.
    const auto img = raster::latest();
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->serial, s0 + 1);
    EXPECT_EQ(img->tag, 40);
    EXPECT_EQ(img->w, slow.w);
    EXPECT_FALSE(raster::busy());
    // The dropped job never comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(serial_now(), s0 + 1);
}

TEST(RasterWorker, BandThreadsGiveTheSamePictureAsOneThread) {
    for (int kind : {0, 1, 2}) {
        raster::Job job = raster::sample_job(kind, 150, 97);
        job.p[6] = 4;
        const auto one = raster::render(job, 1);
        for (int bands : {2, 3, 4}) {
            const auto split = raster::render(job, bands);
            EXPECT_EQ(split->px, one->px) << "kind " << kind << ", " << bands << " bands";
        }
    }
}

} // namespace
