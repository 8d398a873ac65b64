// The program's side of crash reporting; see the header. The state kept here is the audio
// summary for audio_lines(), under its own mutex; everything else lives in lmcrash.
#include "desktop/crash_handler_linux.h"

#include "core/logger.h"
#include "desktop/lmcrash/lmcrash_common.h"

#include <glib.h>
#include <mutex>

namespace crash_handler {
namespace {

const char* const kRecipient = "support@lumafon.org";

std::mutex g_audio_mtx;
std::vector<std::string> g_audio_lines;

void log_line(const std::string& level, const std::string& msg) {
    if (!level.empty() && level[0] == 'W')
        logger::warn(msg);
    else
        logger::info(msg);
}

// Opens an address with the desktop's handler; the helper runs on after this returns.
void open_uri(const std::string& uri) {
    const gchar* argv[] = {"xdg-open", uri.c_str(), nullptr};
    GError* err = nullptr;
    if (!g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
                       &err)) {
        logger::warn(std::string("xdg-open could not be started: ") + err->message);
        g_error_free(err);
    }
}

} // namespace

void install() {
    lmcrash::App app;
    app.name = "Lumafon";
    app.version = LUMAFON_VERSION;
    app.build = LUMAFON_BUILD;
    app.recipient = kRecipient;
    app.short_id = "lumafon";
    app.log = log_line;
    app.open_uri = open_uri;
    lmcrash::install(app);
}

void set_log_path(const std::string& path) {
    lmcrash::set_log_file(path);
}

void set_report_path(const std::string& path) {
    const size_t slash = path.rfind('/');
    lmcrash::set_report_dir(slash == std::string::npos ? "." : path.substr(0, slash));
}

std::string report_path() {
    return lmcrash::report_path();
}

void rotate_log(const std::string& path) {
    lmcrash::rotate_log(path);
}

void record_system() {
    lmcrash::record_system();
}

void record_graphics(const std::vector<std::string>& lines) {
    lmcrash::record_graphics(lines);
}

void record_audio(const std::vector<std::string>& lines) {
    {
        std::lock_guard<std::mutex> lock(g_audio_mtx);
        g_audio_lines = lines;
    }
    lmcrash::record_audio(lines);
}

std::vector<std::string> audio_lines() {
    std::lock_guard<std::mutex> lock(g_audio_mtx);
    return g_audio_lines;
}

bool pending_report(std::string& text) {
    return lmcrash::pending(text);
}

void clear_report() {
    lmcrash::discard();
}

void send_report() {
    lmcrash::send(logger::file_path());
}

} // namespace crash_handler
