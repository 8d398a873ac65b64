// Crash reports, the reusable part: identity, fixed buffers, report and log files, context
// slots. Any thread may call these; they are serialised by the writers' mutex, and the signal
// handler only ever reads the fixed buffers.
#include "desktop/lmcrash/lmcrash_common.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lmcrash {
namespace {

detail::Fixed g_fixed;
std::mutex g_writers;

// Everything below is state of the program's own threads, never of the handler.
std::mutex g_mtx;
App g_app;
std::string g_previous_log; // the rotated log of the last run
std::string g_audio_last;   // the last audio summary, joined

std::string join_lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) {
        if (!text.empty()) text += '\n';
        text += l;
    }
    return text;
}

void record(int slot, const char* label, const std::vector<std::string>& lines) {
    for (const std::string& l : lines) detail::log_info(label + l);
    set_context(slot, join_lines(lines));
}

// The bytes of one valid UTF-8 sequence at the start of `s`, or 0.
size_t utf8_sequence(std::string_view s) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF; // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < n || b(1) < lo || b(1) > hi) return 0;
    for (size_t i = 2; i < n; ++i)
        if ((b(i) & 0xC0) != 0x80) return 0;
    return n;
}

} // namespace

namespace detail {

Fixed& fixed() {
    return g_fixed;
}

std::mutex& writers() {
    return g_writers;
}

void set_app(const App& app) {
    std::lock_guard<std::mutex> lock(g_mtx);
    g_app = app;
}

const App& app() {
    return g_app;
}

void log_info(const std::string& msg) {
    if (g_app.log) g_app.log("INFO", msg);
}

void log_warn(const std::string& msg) {
    if (g_app.log) g_app.log("WARN", msg);
}

std::string subject() {
    return g_app.name + " " + g_app.version + " (Build " + g_app.build + ") crash report";
}

std::string_view utf8_prefix(std::string_view text, size_t limit) {
    if (text.size() <= limit) return text;
    // A continuation byte right after the cut means a sequence straddles it: cut before its start.
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80 && limit - end < 3) --end;
    return text.substr(0, end);
}

std::string clean_text(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    while (!raw.empty()) {
        const size_t n = raw[0] == '\0' ? 0 : utf8_sequence(raw);
        if (n == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD
            raw.remove_prefix(1);
        } else {
            out.append(raw.data(), n);
            raw.remove_prefix(n);
        }
    }
    return out;
}

bool read_file(const std::string& path, size_t limit, std::string& out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    char buf[16384];
    bool ok = true;
    while (out.size() < limit) {
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, limit - out.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return ok;
}

bool write_file(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0 && done == data.size();
}

bool copy_file(const std::string& from, const std::string& to) {
    std::string data;
    // Logs of long runs can be large; a crash log is only ever read up to this much.
    constexpr size_t kCopyLimit = 64u << 20;
    return read_file(from, kCopyLimit, data) && write_file(to, data);
}

bool move_file(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    if (errno != EXDEV || !copy_file(from, to)) return false;
    ::unlink(from.c_str());
    return true;
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string previous_log() {
    std::lock_guard<std::mutex> lock(g_mtx);
    return g_previous_log;
}

} // namespace detail

void set_log_file(const std::string& path) {
    detail::set_fixed(g_fixed.log_path, path);
}

void set_report_dir(const std::string& dir) {
    const std::string early = report_path();
    const std::string report = dir + "/crash_report.txt";
    detail::set_fixed(g_fixed.crash_log_path, dir + "/crash_log.txt");
    detail::set_fixed(g_fixed.report_path, report);
    // A crash before this point (settings loader, lock) left its report under the early name.
    if (!early.empty() && early != report && detail::file_exists(early)) {
        if (detail::move_file(early, report))
            detail::log_info("Crash report moved from " + early + " to " + report);
        else
            detail::log_warn("Crash report could not be moved from " + early + " to " + report);
    }
}

std::string report_path() {
    std::lock_guard<std::mutex> lock(g_writers);
    return g_fixed.report_path.get();
}

std::string crash_log_path() {
    std::lock_guard<std::mutex> lock(g_writers);
    return g_fixed.crash_log_path.get();
}

void set_context(int slot, const std::string& text) {
    if (slot < 0 || slot > 2) return;
    detail::set_fixed(g_fixed.context[slot], text);
}

void record_graphics(const std::vector<std::string>& lines) {
    record(kGraphics, "Graphics: ", lines);
}

void record_audio(const std::vector<std::string>& lines) {
    const std::string joined = join_lines(lines);
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        if (joined == g_audio_last) return;
        g_audio_last = joined;
    }
    record(kAudio, "Audio: ", lines);
}

std::string rotate_log(const std::string& path) {
    if (path.empty() || !detail::file_exists(path)) return {};
    const std::string previous = path + ".1";
    if (std::rename(path.c_str(), previous.c_str()) != 0) return {};
    std::lock_guard<std::mutex> lock(g_mtx);
    g_previous_log = previous;
    return previous;
}

bool pending(std::string& out) {
    out.clear();
    std::string raw;
    if (!detail::read_file(report_path(), detail::kReportLimit, raw) || raw.empty()) return false;
    const std::string previous = detail::previous_log();
    const std::string crash_log = crash_log_path();
    if (!previous.empty() && !crash_log.empty() && !detail::file_exists(crash_log))
        detail::copy_file(previous, crash_log);
    out = detail::clean_text(raw);
    return true;
}

void discard() {
    const std::string report = report_path();
    const std::string crash_log = crash_log_path();
    if (!report.empty()) ::unlink(report.c_str());
    if (!crash_log.empty()) ::unlink(crash_log.c_str());
}

} // namespace lmcrash
