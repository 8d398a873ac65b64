#include "desktop/crash_handler_linux.h"

#include <mutex>

namespace crash_handler {
namespace {

std::mutex g_audio_mtx;
std::vector<std::string> g_audio_lines;

} // namespace

void record_audio(const std::vector<std::string>& lines) {
    std::lock_guard<std::mutex> lock(g_audio_mtx);
    g_audio_lines = lines;
}

std::vector<std::string> audio_lines() {
    std::lock_guard<std::mutex> lock(g_audio_mtx);
    return g_audio_lines;
}

} // namespace crash_handler
