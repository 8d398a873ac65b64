// A stand-in for a sound device with a clock and a buffer of its own: it drains the FIFO of a
// module-pipe-sink at 48 kHz float stereo times FACTOR, paced by the monotonic clock, and lets
// the pipe hold 128 KB (a third of a second), so that the sink reports 250-350 ms of latency of its own (as network,
// AirPlay and some Bluetooth outputs do). A FACTOR of 1.001 is a device whose crystal runs 0.1 %
// fast.
//
//   device_drain FIFO FACTOR
//
// Every half second it prints "t SECONDS frames N loud N sound N gaps N": frames taken, frames
// louder than -40 dBFS, frames of sound (at most 2 ms after a loud one, so that the zero
// crossings of a tone count), and gaps (at least 2 ms of silence between loud frames). Ends on
// SIGTERM.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FIFO FACTOR\n", argv[0]);
        return 2;
    }
    const double factor = std::atof(argv[2]);
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });
    const int fd = open(argv[1], O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        std::perror("open");
        return 1;
    }
    fcntl(fd, F_SETPIPE_SZ, 131072);

    constexpr int kFrameBytes = 8;
    constexpr float kLoud = 0.01f;
    constexpr long long kGapFrames = 96;
    std::vector<float> buf(48000 * 2);
    long long taken = 0, loud = 0, sound = 0, gaps = 0, quiet_run = kGapFrames;
    bool heard = false;
    const double start = now_s();
    double report_at = start + 0.5;
    while (!g_stop) {
        const timespec tick{0, 5000000};
        nanosleep(&tick, nullptr);
        const double now = now_s();
        const long long due = static_cast<long long>((now - start) * 48000.0 * factor) - taken;
        long long want = std::min<long long>(due, static_cast<long long>(buf.size() / 2));
        while (want > 0) {
            const ssize_t got = read(fd, buf.data(), static_cast<size_t>(want) * kFrameBytes);
            if (got <= 0) break;
            const long long frames = got / kFrameBytes;
            for (long long i = 0; i < frames; ++i) {
                const float m = std::max(std::fabs(buf[2 * i]), std::fabs(buf[2 * i + 1]));
                if (m > kLoud) {
                    if (heard && quiet_run >= kGapFrames) ++gaps;
                    heard = true;
                    quiet_run = 0;
                    ++loud;
                } else {
                    ++quiet_run;
                }
                if (quiet_run < kGapFrames) ++sound;
            }
            taken += frames;
            want -= frames;
        }
        // A device keeps its pace: what the pipe could not give now is not fetched faster later.
        if (want > 0) {
            taken += want;
            quiet_run += want;
        }
        if (now >= report_at) {
            std::printf("t %.1f frames %lld loud %lld sound %lld gaps %lld\n", now - start, taken, loud, sound,
                        gaps);
            std::fflush(stdout);
            report_at += 0.5;
        }
    }
    close(fd);
    return 0;
}
