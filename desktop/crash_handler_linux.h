// The program's side of crash reporting: gives the crash module (desktop/lmcrash) the
// program's identity, its log and report files, the hardware summaries of the window and the
// sound engine, and the desktop's URI opener.
//
// install() runs first in main, on the first thread; the record_* calls come from any thread
// (the sound engine's control thread, the window thread); pending/clear/send from the window.
#pragma once

#include <string>
#include <vector>

namespace crash_handler {

// Arms crash capture: from here on a fatal signal leaves a report (first under the runtime
// directory, after set_report_path in the configuration directory).
void install();
// This run's log (logger::file_path()), whose last lines go into a report.
void set_log_path(const std::string& path);
// Configuration directory + "/crash_report.txt"; the crash log goes beside it.
void set_report_path(const std::string& path);
std::string report_path();
// Moves the previous run's log aside (path + ".1") before the new log truncates it.
void rotate_log(const std::string& path);
// Gathers the system description for a later report (and logs it).
void record_system();
void record_graphics(const std::vector<std::string>& lines);
// The sound engine's hardware summary (one line per server, output and input).
void record_audio(const std::vector<std::string>& lines);
// The summary last given to record_audio.
std::vector<std::string> audio_lines();

// True when the last run left a report not yet sent or discarded; its text goes to `text`.
bool pending_report(std::string& text);
// "Discard": removes the report and the crashed run's log.
void clear_report();
// "Send report": opens the user's mail program with the report attached (never sends by
// itself); the report is not offered again afterwards.
void send_report();

} // namespace crash_handler
