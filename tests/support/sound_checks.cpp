#include "support/sound_checks.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace testsup {
namespace {

void put_u32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void put_u16(std::string& s, uint16_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>(v >> 8));
}

long long file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

} // namespace

bool write_wav(const std::string& path, int frames, float (*left)(int), float (*right)(int)) {
    const uint32_t data_bytes = static_cast<uint32_t>(frames) * 8;
    std::string out;
    out.reserve(44 + data_bytes);
    out += "RIFF";
    put_u32(out, 36 + data_bytes);
    out += "WAVEfmt ";
    put_u32(out, 16);
    put_u16(out, 3); // IEEE float
    put_u16(out, 2);
    put_u32(out, 48000);
    put_u32(out, 48000 * 8);
    put_u16(out, 8);
    put_u16(out, 32);
    out += "data";
    put_u32(out, data_bytes);
    for (int n = 0; n < frames; ++n) {
        const float s[2] = {left(n), right(n)};
        out.append(reinterpret_cast<const char*>(s), sizeof s);
    }
    return write_file(path, out);
}

bool make_sine(const std::string& path, double freq, double seconds, double amplitude) {
    return run({"sox", "-n", "-r", "48000", "-c", "2", "-b", "32", "-e", "floating-point", path, "synth",
                std::to_string(seconds), "sine", std::to_string(freq), "vol", std::to_string(amplitude)})
               .status == 0;
}

bool start_player(Child& player, const std::string& file, const std::string& device) {
    std::vector<std::string> argv = {"paplay"};
    if (!device.empty()) argv.push_back("--device=" + device);
    argv.push_back(file);
    return player.spawn(argv, {});
}

bool Recording::start(const std::string& source, const std::string& path) {
    path_ = path;
    Child::Options opt;
    opt.stdout_file = path;
    // Standard error would mix into the samples: parec is quiet unless it fails.
    return parec_.spawn({"sh", "-c",
                         "exec parec --device=" + source +
                             " --format=float32le --rate=48000 --channels=2 --latency-msec=10"
                             // WirePlumber would move it along when the default changes.
                             " --property=node.dont-reconnect=true 2>/dev/null"},
                        opt);
}

double Recording::seconds() const {
    return static_cast<double>(file_size(path_)) / (48000.0 * 8);
}

bool Recording::wait_seconds(double s, int timeout_ms) {
    return wait_until([&] { return seconds() >= s; }, timeout_ms, 10);
}

void Recording::stop() {
    parec_.stop(2000);
}

std::vector<float> Recording::samples() const {
    const std::string raw = read_file(path_);
    std::vector<float> out(raw.size() / sizeof(float));
    std::memcpy(out.data(), raw.data(), out.size() * sizeof(float));
    return out;
}

double sox_rms_db(const std::string& raw_path, double start_s, double length_s) {
    const Result r = run({"sox", "-t", "f32", "-r", "48000", "-c", "2", raw_path, "-n", "remix", "1", "trim",
                          std::to_string(start_s), std::to_string(length_s), "stats"});
    const size_t at = r.err.find("RMS lev dB");
    if (r.status != 0 || at == std::string::npos) return -999;
    return std::strtod(r.err.c_str() + at + std::strlen("RMS lev dB"), nullptr);
}

double rms_db(const float* interleaved, size_t frames) {
    if (frames == 0) return -999;
    double sum = 0;
    for (size_t i = 0; i < frames; ++i) sum += static_cast<double>(interleaved[2 * i]) * interleaved[2 * i];
    const double rms = std::sqrt(sum / static_cast<double>(frames));
    return rms > 0 ? 20.0 * std::log10(rms) : -999;
}

} // namespace testsup
