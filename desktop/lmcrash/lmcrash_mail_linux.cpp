// Crash reports: composing the mail. send() runs on the caller's thread (the window's); the
// routes run on a detached thread that touches only its own copy of the mail, the desktop's
// services and the log.
#include "desktop/lmcrash/lmcrash_mail_linux.h"

#include "desktop/lmcrash/lmcrash_common.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace lmcrash {
namespace {

// How far a route got.
enum class Route { failed, composed, cancelled };

constexpr size_t kBodyReportLimit = 24000; // body parts: with percent-encoding by xdg-email
constexpr size_t kBodyLogLimit = 16000;    // they stay below the 128 KiB of one process argument
constexpr int kPortalWaitSeconds = 30;
const char* const kLogHeading = "Log (last lines before the crash):\n";

bool sandboxed() {
    const char* snap = std::getenv("SNAP");
    const char* flatpak = std::getenv("FLATPAK_ID");
    return (snap && *snap) || (flatpak && *flatpak);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string or_empty(const char* s) {
    return s ? s : "";
}

std::string gerror_text(GError* err) {
    std::string text = err ? err->message : "unknown error";
    g_clear_error(&err);
    return text;
}

// The end of `text`, at most `limit` bytes, starting at a line.
std::string last_lines(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    const size_t nl = text.find('\n', text.size() - limit);
    return "[...]\n" + (nl == std::string::npos ? std::string() : text.substr(nl + 1));
}

std::string join(const std::vector<std::string>& parts, const char* sep) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : sep) + p;
    return out;
}

// ------------------------------------------------------------------------------ Thunderbird

// Thunderbird from a snap or flatpak sees only some of the user's files; Downloads is one.
std::vector<std::string> copies_in_downloads(const std::vector<std::string>& files) {
    const char* special = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
    const std::string dir = special ? special : std::string(g_get_home_dir()) + "/Downloads";
    g_mkdir_with_parents(dir.c_str(), 0700);
    std::vector<std::string> copies;
    for (const std::string& f : files) {
        const std::string copy = dir + "/" + f.substr(f.rfind('/') + 1);
        copies.push_back(detail::copy_file(f, copy) ? copy : f);
    }
    return copies;
}

Route thunderbird(const detail::Mail& m) {
    GAppInfo* handler = g_app_info_get_default_for_uri_scheme("mailto");
    if (!handler) return Route::failed;
    const std::string who = lower(or_empty(g_app_info_get_id(handler)) + " " + or_empty(g_app_info_get_executable(handler)));
    const std::string command = or_empty(g_app_info_get_commandline(handler));
    g_object_unref(handler);
    if (who.find("thunderbird") == std::string::npos) return Route::failed;

    std::vector<std::string> attachments = m.attachments;
    if (command.find("/snap/") != std::string::npos || command.find("flatpak") != std::string::npos)
        attachments = copies_in_downloads(attachments);
    const std::string body_file = m.folder + "/mail-body.txt";
    if (!detail::write_file(body_file, m.body)) {
        detail::log_warn("Crash report: cannot write " + body_file);
        return Route::failed;
    }
    std::string compose_arg = "to='" + m.recipient + "',subject='" + m.subject + "',message='" + body_file + "'";
    if (!attachments.empty()) compose_arg += ",attachment='" + join(attachments, ",") + "'";
    const gchar* argv[] = {"thunderbird", "-compose", compose_arg.c_str(), nullptr};
    GError* err = nullptr;
    if (!g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
                       &err)) {
        detail::log_warn("Thunderbird: not started: " + gerror_text(err));
        return Route::failed;
    }
    detail::log_info("Thunderbird: started with -compose");
    return Route::composed;
}

// ------------------------------------------------------------------------------ E-mail portal

const char* const kPortalName = "org.freedesktop.portal.Desktop";
const char* const kPortalPath = "/org/freedesktop/portal/desktop";

struct PortalWait {
    GMainLoop* loop = nullptr;
    int code = -1; // -1 while no answer came
};

void on_portal_response(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                        GVariant* params, gpointer data) {
    auto* wait = static_cast<PortalWait*>(data);
    if (g_variant_is_of_type(params, G_VARIANT_TYPE("(ua{sv})"))) {
        guint32 code = 2;
        g_variant_get_child(params, 0, "u", &code);
        wait->code = static_cast<int>(code);
    } else {
        wait->code = 2;
    }
    g_main_loop_quit(wait->loop);
}

gboolean on_portal_timeout(gpointer data) {
    g_main_loop_quit(static_cast<PortalWait*>(data)->loop);
    return G_SOURCE_REMOVE;
}

// The portal's version, or 0 when it does not answer (then it is not there).
guint32 portal_version(GDBusConnection* bus) {
    GError* err = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.freedesktop.portal.Email", "version"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &err);
    if (!reply) {
        detail::log_info("Mail portal: not available: " + gerror_text(err));
        return 0;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    const guint32 version = g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32) ? g_variant_get_uint32(value) : 1;
    g_variant_unref(value);
    g_variant_unref(reply);
    return version;
}

GVariant* portal_options(const detail::Mail& m, const std::string& token, GUnixFDList* fds) {
    GVariantBuilder opts;
    g_variant_builder_init(&opts, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&opts, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&opts, "{sv}", "address", g_variant_new_string(m.recipient.c_str()));
    const gchar* addresses[] = {m.recipient.c_str(), nullptr};
    g_variant_builder_add(&opts, "{sv}", "addresses", g_variant_new_strv(addresses, -1));
    g_variant_builder_add(&opts, "{sv}", "subject", g_variant_new_string(m.subject.c_str()));
    g_variant_builder_add(&opts, "{sv}", "body", g_variant_new_string(m.body.c_str()));
    GVariantBuilder handles;
    g_variant_builder_init(&handles, G_VARIANT_TYPE("ah"));
    for (const std::string& path : m.attachments) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        const gint index = g_unix_fd_list_append(fds, fd, nullptr); // keeps a duplicate
        ::close(fd);
        if (index >= 0) g_variant_builder_add(&handles, "h", index);
    }
    g_variant_builder_add(&opts, "{sv}", "attachment_fds", g_variant_builder_end(&handles));
    return g_variant_new("(sa{sv})", "", &opts);
}

Route portal(const detail::Mail& m) {
    GError* err = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &err);
    if (!bus) {
        detail::log_info("Mail portal: no session bus: " + gerror_text(err));
        return Route::failed;
    }
    const guint32 version = portal_version(bus);
    if (version == 0) {
        g_object_unref(bus);
        return Route::failed;
    }

    // The request object's path is known before the call, so no answer can slip by.
    static std::atomic<int> s_serial{0};
    const std::string token = "lumafon" + std::to_string(::getpid()) + "_" + std::to_string(++s_serial);
    std::string sender = or_empty(g_dbus_connection_get_unique_name(bus));
    if (!sender.empty() && sender[0] == ':') sender.erase(0, 1);
    for (char& c : sender)
        if (c == '.') c = '_';
    std::string request = std::string(kPortalPath) + "/request/" + sender + "/" + token;

    GMainContext* ctx = g_main_context_new();
    g_main_context_push_thread_default(ctx);
    PortalWait wait;
    wait.loop = g_main_loop_new(ctx, FALSE);
    guint sub = g_dbus_connection_signal_subscribe(bus, kPortalName, "org.freedesktop.portal.Request", "Response",
                                                   request.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                   on_portal_response, &wait, nullptr);
    GUnixFDList* fds = g_unix_fd_list_new();
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus, kPortalName, kPortalPath, "org.freedesktop.portal.Email", "ComposeEmail", portal_options(m, token, fds),
        G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, kPortalWaitSeconds * 1000, fds, nullptr, nullptr, &err);
    g_object_unref(fds);
    if (!reply) {
        detail::log_info("Mail portal v" + std::to_string(version) + ": ComposeEmail failed: " + gerror_text(err));
    } else {
        const gchar* handle = nullptr;
        g_variant_get(reply, "(&o)", &handle);
        if (request != handle) { // older portals choose the path themselves
            g_dbus_connection_signal_unsubscribe(bus, sub);
            request = handle;
            sub = g_dbus_connection_signal_subscribe(bus, kPortalName, "org.freedesktop.portal.Request", "Response",
                                                     request.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                     on_portal_response, &wait, nullptr);
        }
        g_variant_unref(reply);
        GSource* timeout = g_timeout_source_new_seconds(kPortalWaitSeconds);
        g_source_set_callback(timeout, on_portal_timeout, &wait, nullptr);
        g_source_attach(timeout, ctx);
        if (wait.code < 0) g_main_loop_run(wait.loop);
        g_source_destroy(timeout);
        g_source_unref(timeout);
        detail::log_info("Mail portal v" + std::to_string(version) + ": response " +
                         (wait.code < 0 ? std::string("none within ") + std::to_string(kPortalWaitSeconds) + " s"
                                        : std::to_string(wait.code)));
    }
    g_dbus_connection_signal_unsubscribe(bus, sub);
    // Let the unsubscription's clean-up run before the context goes.
    while (g_main_context_iteration(ctx, FALSE)) {
    }
    g_main_loop_unref(wait.loop);
    g_main_context_pop_thread_default(ctx);
    g_main_context_unref(ctx);
    g_object_unref(bus);
    if (wait.code == 0) return Route::composed;
    return wait.code == 1 ? Route::cancelled : Route::failed;
}

// ------------------------------------------------------------------------------ xdg-email

Route xdg_email(const detail::Mail& m) {
    if (sandboxed()) return Route::failed; // the sandbox's xdg-email cannot reach the host's mail program
    std::vector<std::string> args{"xdg-email", "--subject", m.subject, "--body", m.body};
    for (const std::string& a : m.attachments) {
        args.push_back("--attach");
        args.push_back(a);
    }
    args.push_back(m.recipient);
    std::vector<gchar*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    GError* err = nullptr;
    gint status = 0;
    if (!g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, nullptr, &status,
                      &err)) {
        detail::log_info("xdg-email: not started: " + gerror_text(err));
        return Route::failed;
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    detail::log_info("xdg-email: exit " + std::to_string(code));
    return code == 0 ? Route::composed : Route::failed;
}

} // namespace

namespace detail {

std::string sent_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    const bool txt = path.size() >= 4 && path.compare(path.size() - 4, 4, ".txt") == 0 &&
                     (slash == std::string::npos || path.size() - 4 > slash);
    return txt ? path.substr(0, path.size() - 4) + "-sent.txt" : path + "-sent.txt";
}

std::string percent_encode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string short_body(const std::string& report) {
    std::string text = report;
    if (text.size() > kShortBodyLimit) {
        const size_t heading = text.find(kLogHeading);
        if (heading != std::string::npos) {
            const size_t end = heading + std::char_traits<char>::length(kLogHeading);
            const size_t excess = text.size() - kShortBodyLimit;
            const size_t next = text.find('\n', end + excess + 8);
            if (next != std::string::npos) text = text.substr(0, end) + "[...]" + text.substr(next);
        }
    }
    if (text.size() > kShortBodyLimit) text = std::string(utf8_prefix(text, kShortBodyLimit)) + "\n[...]";
    return text;
}

std::string mailto_uri(const std::string& recipient, const std::string& subject, const std::string& report) {
    return "mailto:" + recipient + "?subject=" + percent_encode(subject) + "&body=" + percent_encode(short_body(report));
}

std::string mail_body(const std::string& report, const std::string& crash_log) {
    std::string body = "Attached: crash report and log files. The same follows as text.\n\n";
    body += report.size() <= kBodyReportLimit ? report
                                              : std::string(utf8_prefix(report, kBodyReportLimit)) + "\n[...]\n";
    if (!crash_log.empty())
        body += "\n=== crash_log.txt (log of the crashed run) ===\n" + last_lines(crash_log, kBodyLogLimit);
    return body;
}

void compose(const Mail& m) {
    Route route = thunderbird(m);
    if (route == Route::failed) route = portal(m);
    if (route == Route::failed) route = xdg_email(m);
    if (route == Route::composed) {
        log_info("Crash report: mail composed with " + std::to_string(m.attachments.size()) + " attachments");
        return;
    }
    if (route == Route::cancelled) {
        log_info("Crash report: composing was cancelled in the mail program");
        return;
    }
    const App& a = app();
    if (a.open_uri) {
        a.open_uri(mailto_uri(m.recipient, m.subject, m.report));
        // The folder's slashes stay slashes. Copied rather than replaced in place: GCC 12 at -O3
        // warns falsely (-Wrestrict) on std::string::replace with a literal.
        const std::string folder = percent_encode(m.folder);
        std::string uri = "file://";
        for (size_t i = 0; i < folder.size(); ++i) {
            if (folder.compare(i, 3, "%2F") == 0) {
                uri += '/';
                i += 2;
            } else {
                uri += folder[i];
            }
        }
        a.open_uri(uri);
    }
    log_warn("Crash report: no way to attach files - opened mailto and the folder");
}

} // namespace detail

bool send(const std::string& log_path) {
    const std::string report_file = report_path();
    const std::string crash_log_file = crash_log_path();
    std::string report;
    if (!detail::read_file(report_file, detail::kReportLimit, report) || report.empty()) {
        detail::log_warn("Crash report: nothing to send at " + report_file);
        return false;
    }
    std::string crash_log;
    const bool have_crash_log = detail::read_file(crash_log_file, 64u << 20, crash_log);

    // Renamed first, so that the report is not offered again whatever the mail program does.
    detail::Mail m;
    const auto move_aside = [&](const std::string& file) {
        const std::string sent = detail::sent_name(file);
        if (detail::move_file(file, sent)) return sent;
        detail::log_warn("Crash report: cannot rename " + file);
        return file;
    };
    m.attachments.push_back(move_aside(report_file));
    if (have_crash_log) m.attachments.push_back(move_aside(crash_log_file));
    if (!log_path.empty() && detail::file_exists(log_path)) m.attachments.push_back(log_path);

    const App& a = detail::app();
    m.recipient = a.recipient;
    m.subject = detail::subject();
    m.report = detail::clean_text(report);
    // Only the end of the crashed run's log goes into the body; mail_body cuts it at a line.
    const size_t from = crash_log.size() > kBodyLogLimit + 1 ? crash_log.size() - kBodyLogLimit - 1 : 0;
    m.body = detail::mail_body(m.report, detail::clean_text(std::string_view(crash_log).substr(from)));
    m.folder = report_file.substr(0, report_file.rfind('/'));
    if (m.folder.empty()) m.folder = "/";
    std::thread([m] { detail::compose(m); }).detach();
    return true;
}

} // namespace lmcrash
