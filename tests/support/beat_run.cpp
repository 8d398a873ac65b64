#include "support/beat_run.h"

#include "ui/ui.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace testsup {
namespace {

constexpr double kRate = 48000;

// The run in progress, which the tracker's source functions read.
const Sound* g_sound = nullptr;
double g_now = 0;
double g_delay = 0;

uint32_t u32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}

uint16_t u16(const std::string& b, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}

float sample(const std::string& b, size_t at, int format, int bits) {
    if (format == 3) {
        float f;
        std::memcpy(&f, b.data() + at, 4);
        return std::isfinite(f) ? std::clamp(f, -1.0f, 1.0f) : 0.0f;
    }
    const int bytes = bits / 8;
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    v <<= 32 - bits; // sign in the top bit
    return static_cast<float>(static_cast<int32_t>(v) / 2147483648.0);
}

// The tap as the engine's, holding the file up to now: the newest frames, zeros before the start.
bool file_tap(float* left, float* right, int count, float* rate, float* age) {
    *rate = static_cast<float>(kRate);
    *age = 0;
    const int64_t end = std::min<int64_t>(static_cast<int64_t>(g_now * kRate), g_sound->frames());
    for (int i = 0; i < count; ++i) {
        const int64_t at = end - count + i;
        const bool in = at >= 0;
        left[i] = in ? g_sound->left[at] : 0.0f;
        right[i] = in ? g_sound->right[at] : 0.0f;
    }
    return true;
}

double file_clock() {
    return g_now;
}

float file_delay() {
    return static_cast<float>(g_delay);
}

} // namespace

bool parse_wav(const std::string& b, Sound* out, std::string* error) {
    auto fail = [&](const char* why) {
        if (error) *error = why;
        return false;
    };
    if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0)
        return fail("not a RIFF WAVE file");
    int format = 0, channels = 0, bits = 0;
    uint32_t rate = 0;
    size_t at = 12;
    while (at + 8 <= b.size()) {
        const std::string id = b.substr(at, 4);
        const uint64_t size = u32(b, at + 4);
        const size_t body = at + 8;
        if (size > b.size() - body) {
            if (id != "data") return fail("a chunk runs past the end of the file");
        }
        const size_t len = static_cast<size_t>(std::min<uint64_t>(size, b.size() - body));
        if (id == "fmt ") {
            if (len < 16) return fail("format chunk too short");
            format = u16(b, body);
            channels = u16(b, body + 2);
            rate = u32(b, body + 4);
            bits = u16(b, body + 14);
            if (format == 0xFFFE && len >= 26) format = u16(b, body + 24); // extensible: the sub-format
        } else if (id == "data") {
            if (format == 0) return fail("no format chunk before the data");
            if (rate != 48000) return fail("the sample rate is not 48000 Hz");
            if (channels != 1 && channels != 2) return fail("not mono or stereo");
            const bool pcm = format == 1 && (bits == 16 || bits == 24 || bits == 32);
            if (!pcm && !(format == 3 && bits == 32)) return fail("samples neither PCM 16/24/32 nor float 32");
            const size_t frame = static_cast<size_t>(channels) * (bits / 8);
            const size_t frames = len / frame;
            out->left.resize(frames);
            out->right.resize(frames);
            for (size_t i = 0; i < frames; ++i) {
                const size_t p = body + i * frame;
                out->left[i] = sample(b, p, format, bits);
                out->right[i] = channels == 2 ? sample(b, p + frame / 2, format, bits) : out->left[i];
            }
            return true;
        }
        at = body + len + (len & 1);
    }
    return fail("no data chunk");
}

bool read_wav(const std::string& path, Sound* out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot open " + path;
        return false;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return parse_wav(bytes.str(), out, error);
}

std::vector<BeatEvent> run_beats(const Sound& sound, double delay_s, const Settings* settings,
                                 std::vector<TempoPoint>* tempo) {
    ui::g_beat = ui::BeatTracker();
    g_sound = &sound;
    g_delay = delay_s;
    g_now = 0;
    ui::BeatSource source;
    source.tap = file_tap;
    source.clock = file_clock;
    source.delay = file_delay;
    source.settings = settings;
    ui::set_beat_source(source);

    std::vector<BeatEvent> events;
    const double end = static_cast<double>(sound.frames()) / kRate + delay_s + 0.1;
    const double frame = 1.0 / 60;
    double next_frame = frame;
    const ui::BeatTracker& b = ui::g_beat;
    for (int64_t step = 1; step * 0.001 <= end; ++step) {
        g_now = static_cast<double>(step) * 0.001;
        if (g_now >= next_frame) {
            ui::track_beat(static_cast<float>(kRate), static_cast<float>(frame));
            next_frame += frame;
            if (tempo) tempo->push_back({g_now, b.period * 0.01, b.confidence});
        }
        const int k = b.kicks_released, c = b.claps_released, bt = b.beats_released;
        ui::release_beats();
        for (int i = k; i < b.kicks_released; ++i) events.push_back({'k', g_now - delay_s});
        for (int i = c; i < b.claps_released; ++i) events.push_back({'c', g_now - delay_s});
        for (int i = bt; i < b.beats_released; ++i) events.push_back({'b', g_now - delay_s});
    }
    ui::set_beat_source({});
    g_sound = nullptr;
    return events;
}

std::vector<double> times_of(const std::vector<BeatEvent>& events, char kind) {
    std::vector<double> out;
    for (const BeatEvent& e : events)
        if (e.kind == kind) out.push_back(e.at);
    return out;
}

Score score_times(const std::vector<double>& truth, const std::vector<double>& found, double tolerance) {
    Score s;
    s.truth = static_cast<int>(truth.size());
    s.detected = static_cast<int>(found.size());
    std::vector<bool> used(truth.size(), false);
    for (double f : found) {
        for (size_t i = 0; i < truth.size(); ++i) {
            if (!used[i] && std::fabs(truth[i] - f) <= tolerance) {
                used[i] = true;
                ++s.hits;
                break;
            }
        }
    }
    return s;
}

} // namespace testsup
