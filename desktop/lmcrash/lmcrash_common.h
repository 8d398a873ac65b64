// Crash reports, the reusable part: the program's identity, the fixed buffers that the signal
// handler reads, the report and log files (paths, rotation, the pending report, discarding it)
// and the context slots.
//
// Everything the handler may read lives in fixed-size buffers written before any crash; a text
// that changes while the program runs is double-buffered and published by flipping an atomic
// index, so the handler, on whatever thread it runs, always sees a complete text. Writers take
// a mutex among themselves; the handler never does.
//
// The installing, the writing of a report and the handler itself are in lmcrash_posix, the
// system description in lmcrash_sysinfo_linux, sending in lmcrash_mail_linux.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace lmcrash {

// Who the program is and how it reaches the outside world; filled once, before any thread.
struct App {
    std::string name;      // product name, heads the report
    std::string version;   // "1.0.3"
    std::string build;     // "1124"
    std::string recipient; // where reports are mailed
    std::string short_id;  // lower-case product name
    // Level text ("INFO", "WARN") and message.
    std::function<void(const std::string& level, const std::string& msg)> log;
    // Opens a URI with the desktop (mailto: and file: addresses).
    std::function<void(const std::string& uri)> open_uri;
};

enum Slot { kGraphics = 0, kAudio = 1, kSystem = 2 };

// Stores the identity, chooses the early report path and arms the handler for SIGILL,
// SIGTRAP, SIGSEGV, SIGABRT, SIGFPE and SIGBUS (lmcrash_posix).
void install(const App& app);

// This run's log, whose tail goes into a report.
void set_log_file(const std::string& path);
// Reports go to dir + "/crash_report.txt" from now on (with the crashed run's log beside it
// as "crash_log.txt"); a report written to the early path is moved there.
void set_report_dir(const std::string& dir);
std::string report_path();
std::string crash_log_path();

// Replaces a context slot's text (cut to 2047 bytes); other slot numbers are ignored.
void set_context(int slot, const std::string& text);
// The system description, logged and kept in the System slot (lmcrash_sysinfo_linux).
void record_system();
void record_graphics(const std::vector<std::string>& lines);
// Like record_graphics; a summary equal to the last one is neither logged nor stored again.
void record_audio(const std::vector<std::string>& lines);

// Renames an existing log to path + ".1" and remembers it as the previous run's log; returns
// that name, or "" when there was no log.
std::string rotate_log(const std::string& path);

// A report that the last run left: true when the report file has something in it; the text
// (at most 262144 bytes, made valid UTF-8 without NUL bytes) goes to `out`. The previous run's
// log is copied beside it as the crash log if there is none yet.
bool pending(std::string& out);
// Removes the report and the crash log.
void discard();
// Renames the report and crash log to their "-sent" names and composes a mail with them on a
// detached thread (lmcrash_mail_linux). False when there is no report to send.
bool send(const std::string& log_path);

namespace detail {

// The start of `text`, at most `limit` bytes, not ending inside a UTF-8 sequence.
std::string_view utf8_prefix(std::string_view text, size_t limit);

// A text that the signal handler may read at any moment.
template <size_t N> struct SafeText {
    char buf[2][N] = {};
    std::atomic<int> live{0};

    // Writes the idle half, then publishes it. Callers hold writers().
    void set(std::string_view text) {
        const int idle = 1 - live.load(std::memory_order_relaxed);
        const std::string_view cut = utf8_prefix(text, N - 1);
        cut.copy(buf[idle], cut.size());
        buf[idle][cut.size()] = '\0';
        live.store(idle, std::memory_order_release);
    }
    const char* get() const { return buf[live.load(std::memory_order_acquire)]; }
};

constexpr size_t kContextSize = 2048;
constexpr size_t kTailSize = 2500;
constexpr size_t kReportLimit = 262144;

// Everything the handler reads. One instance with static storage, so it exists before install.
struct Fixed {
    SafeText<128> name;
    SafeText<64> version;
    SafeText<32> build;
    SafeText<512> package;
    SafeText<1024> report_path;
    SafeText<1024> crash_log_path;
    SafeText<1024> log_path;
    SafeText<kContextSize> context[3];
    std::atomic<long long> start_time{0};
};
Fixed& fixed();

// The writers' side of the fixed buffers; the handler never takes it.
std::mutex& writers();
template <size_t N> void set_fixed(SafeText<N>& t, std::string_view text) {
    std::lock_guard<std::mutex> lock(writers());
    t.set(text);
}

void set_app(const App& app);
const App& app();
void log_info(const std::string& msg);
void log_warn(const std::string& msg);

// name + " " + version + " (Build " + build + ") crash report".
std::string subject();

// Valid UTF-8 without NUL bytes: both faults become U+FFFD, so the text can go into process
// arguments, D-Bus strings and the window.
std::string clean_text(std::string_view raw);

// File helpers that never throw; false on failure.
bool read_file(const std::string& path, size_t limit, std::string& out);
bool write_file(const std::string& path, const std::string& data);
bool copy_file(const std::string& from, const std::string& to);
// rename, or copy and remove across file systems.
bool move_file(const std::string& from, const std::string& to);
bool file_exists(const std::string& path);

// The previous run's log as remembered by rotate_log ("" when none).
std::string previous_log();

} // namespace detail
} // namespace lmcrash
