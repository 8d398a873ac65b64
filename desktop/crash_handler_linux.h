// Crash capture and reporting. For now it only keeps the latest hardware summary of the sound
// engine, so that a report can say which devices the program was playing through.
#pragma once

#include <string>
#include <vector>

namespace crash_handler {

// Replaces the kept hardware summary (one line per server, output and input). Thread-safe.
void record_audio(const std::vector<std::string>& lines);
// The kept hardware summary.
std::vector<std::string> audio_lines();

} // namespace crash_handler
