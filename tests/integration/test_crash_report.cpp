// Crash reports end to end, with a real crash of a child process that arms the handler like the
// program does (tests/helpers/crash_child): the report's sections, the process's death by its
// own signal, the early report and its move, the next start with the previous log, and sending
// through the real xdg-utils and a mail program configured for the test (a script that records
// its arguments, made the mailto handler by a private HOME and XDG directories).
#include "support/process.h"
#include "support/temp_env.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using test_support::exists;
using test_support::TempDir;
using testsup::read_file;
using testsup::write_file;

const char* const kSubject = "Lumafon 1.0.3 (Build 1124) crash report";

struct ChildRun {
    int signal = -1; // that ended the child, 0 when it exited, -1 when it hung
    std::string out;
};

ChildRun run_child(const TempDir& dir, const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    testsup::Child child;
    testsup::Child::Options options;
    options.stdout_file = dir / "child.out";
    options.env = env;
    std::vector<std::string> argv{CRASH_CHILD_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildRun r;
    if (!child.spawn(argv, options)) return r;
    if (child.wait(120000)) r.signal = child.term_signal();
    r.out = read_file(dir / "child.out");
    return r;
}

// The text between `from` and `to` (both excluded); empty when either is missing.
std::string between(const std::string& text, const std::string& from, const std::string& to) {
    const size_t a = text.find(from);
    if (a == std::string::npos) return {};
    const size_t b = text.find(to, a + from.size());
    return b == std::string::npos ? std::string() : text.substr(a + from.size(), b - a - from.size());
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t nl = text.find('\n', at);
        lines.push_back(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    return lines;
}

// Every piece occurs, each after the one before; names the first that does not.
std::string missing_in_order(const std::string& text, const std::vector<std::string>& pieces) {
    size_t at = 0;
    for (const std::string& p : pieces) {
        const size_t found = text.find(p, at);
        if (found == std::string::npos) return p;
        at = found + p.size();
    }
    return {};
}

bool log_line_whole(const std::string& line) {
    return line.size() > 15 && line[2] == ':' && line[5] == ':' && line.compare(8, 7, " INFO  ") == 0 &&
           line.find("line ") == 15;
}

std::string signal_text(int sig) {
    switch (sig) {
    case SIGILL: return "SIGILL (Illegal instruction)";
    case SIGTRAP: return "SIGTRAP (Trap - usually a fatal GLib/GTK error)";
    case SIGABRT: return "SIGABRT (Abort)";
    case SIGBUS: return "SIGBUS (Bus error)";
    case SIGFPE: return "SIGFPE (Floating point exception)";
    default: return "SIGSEGV (Segmentation fault)";
    }
}

// A report as the helper writes it: every section in order, its own frame in the backtrace,
// the log's tail from a line boundary up to the last line logged.
void check_report(const TempDir& dir, const std::string& report, int sig, const char* frame) {
    EXPECT_EQ(missing_in_order(report, {"=== Lumafon crash report ===\n", "Version: 1.0.3 (Build 1124)\n",
                                        "Package: not owned\n", "Snap revision: 42\n",
                                        "Signal: " + signal_text(sig) + "\n", "\nTime (unix): 1",
                                        "\nRunning for (s): ", "\nSystem: Linux ", "\nDesktop: TestDesk\n",
                                        "Session: x11\n", "\nBacktrace:\n",
                                        "\n--- Graphics ---\nRenderer: test renderer\nDisplay: 960x820\n",
                                        "\n--- Audio ---\nSound server: test server\nOutput hw_a [default]: Fake HW A\n",
                                        "\n--- System ---\nOS: ", "\nCPU: ", "\nRAM: ", "\nSession: desktop TestDesk",
                                        "\nPackage: not owned\n", "\nLog (last lines before the crash):\n",
                                        "\nLog file:\n  " + dir / "Lumafon.log" + "\n=== end of report ===\n"}),
              "")
        << report;
    EXPECT_EQ(report.substr(report.size() - 22), "=== end of report ===\n");

    const std::string backtrace = between(report, "\nBacktrace:\n", "\n--- Graphics ---");
    EXPECT_NE(backtrace.find(frame), std::string::npos) << backtrace;
    EXPECT_LE(lines_of(backtrace).size(), 48u);

    const std::string tail = between(report, "Log (last lines before the crash):\n", "\nLog file:\n");
    EXPECT_LE(tail.size(), 2500u);
    EXPECT_GT(tail.size(), 2400u) << "all but the first partial line of 2500 bytes";
    const std::vector<std::string> lines = lines_of(tail);
    ASSERT_GT(lines.size(), 10u);
    for (const std::string& l : lines) EXPECT_TRUE(log_line_whole(l)) << "partial line: " << l;
    EXPECT_NE(lines.back().find("line 59 hhhh"), std::string::npos) << lines.back();
    EXPECT_EQ(tail.find("line 0 "), std::string::npos) << "the log is longer than the tail";
}

const std::vector<std::string> kCrashEnv{"XDG_CURRENT_DESKTOP=TestDesk", "XDG_SESSION_TYPE=x11", "SNAP_REVISION=42"};

} // namespace

TEST(CrashReport, EachFatalSignalLeavesAWholeReportAndStillKills) {
    for (int sig : {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV}) {
        SCOPED_TRACE(signal_text(sig));
        TempDir dir;
        const ChildRun r = run_child(dir, {"crash", std::to_string(sig), dir.path()}, kCrashEnv);
        EXPECT_EQ(r.signal, sig) << "the wait status shows the signal";
        const std::string report = read_file(dir / "crash_report.txt");
        check_report(dir, report, sig, "crash_by_signal");
        struct stat st {};
        ASSERT_EQ(stat((dir / "crash_report.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "reports are private";
    }
}

TEST(CrashReport, CrashOnAnotherThread) {
    TempDir dir;
    const ChildRun r = run_child(dir, {"crash", std::to_string(SIGSEGV), dir.path(), "--thread"}, kCrashEnv);
    EXPECT_EQ(r.signal, SIGSEGV);
    check_report(dir, read_file(dir / "crash_report.txt"), SIGSEGV, "crash_on_worker_thread");
}

TEST(CrashReport, FaultInsideTheHandlerOrNoReportStillEndsTheProcess) {
    // A different signal inside the handler: the report says where it stops, the process ends
    // by the first signal.
    {
        TempDir dir;
        const ChildRun r = run_child(dir, {"crash", std::to_string(SIGABRT), dir.path(), "--nested", "11"}, kCrashEnv);
        EXPECT_EQ(r.signal, SIGABRT);
        const std::string report = read_file(dir / "crash_report.txt");
        EXPECT_EQ(missing_in_order(report, {"Signal: SIGABRT (Abort)\n", "Session: x11\n",
                                            "\n[The report stops here: SIGSEGV (Segmentation fault) inside the "
                                            "crash handler]\n"}),
                  "")
            << report;
        EXPECT_EQ(report.find("=== end of report"), std::string::npos);
    }
    // The same signal again: the handler was one-shot, so the default action ends it at once.
    {
        TempDir dir;
        const ChildRun r = run_child(dir, {"crash", std::to_string(SIGSEGV), dir.path(), "--nested", "11"}, kCrashEnv);
        EXPECT_EQ(r.signal, SIGSEGV);
        const std::string report = read_file(dir / "crash_report.txt");
        EXPECT_NE(report.find("Signal: SIGSEGV"), std::string::npos);
        EXPECT_EQ(report.find("=== end of report"), std::string::npos);
    }
    // A report that cannot be written: no trace, and the signal still ends the process.
    {
        TempDir dir;
        const ChildRun r = run_child(dir, {"crash", std::to_string(SIGBUS), dir.path(), "--early"},
                                {"XDG_RUNTIME_DIR=" + dir / "missing"});
        EXPECT_EQ(r.signal, SIGBUS);
        EXPECT_FALSE(exists(dir / "missing"));
    }
}

// A crash before the configuration directory is known, then two starts: the first moves the
// report into place, keeps the crashed run's log as the crash log and offers the report; the
// second offers it again (nothing was decided) without replacing the crash log.
TEST(CrashReport, EarlyReportIsMovedAndTheNextStartKeepsThePreviousLog) {
    TempDir dir;
    const std::string run_dir = dir / "run";
    ASSERT_EQ(mkdir(run_dir.c_str(), 0700), 0);
    const std::vector<std::string> env{"XDG_RUNTIME_DIR=" + run_dir};
    const ChildRun crash = run_child(dir, {"crash", std::to_string(SIGABRT), dir.path(), "--early"}, env);
    EXPECT_EQ(crash.signal, SIGABRT);
    const std::string early = run_dir + "/Lumafon_crash.txt";
    const std::string report = read_file(early);
    EXPECT_NE(report.find("Signal: SIGABRT (Abort)"), std::string::npos);
    EXPECT_FALSE(exists(dir / "crash_report.txt"));
    const std::string crashed_log = read_file(dir / "Lumafon.log");
    ASSERT_NE(crashed_log.find("line 59"), std::string::npos);

    const ChildRun first = run_child(dir, {"start", dir.path()}, env);
    EXPECT_EQ(first.signal, 0);
    EXPECT_EQ(first.out, "pending\n" + report);
    EXPECT_FALSE(exists(early));
    EXPECT_EQ(read_file(dir / "crash_report.txt"), report);
    EXPECT_EQ(read_file(dir / "Lumafon.log.1"), crashed_log);
    EXPECT_EQ(read_file(dir / "crash_log.txt"), crashed_log);
    EXPECT_NE(read_file(dir / "Lumafon.log").find("Crash report moved from " + early), std::string::npos);

    const ChildRun second = run_child(dir, {"start", dir.path()}, env);
    EXPECT_EQ(second.out, "pending\n" + report);
    EXPECT_EQ(read_file(dir / "crash_log.txt"), crashed_log) << "the crash log stays the crashed run's";
    EXPECT_NE(read_file(dir / "Lumafon.log.1").find("Crash report moved"), std::string::npos)
        << "each start rotates the log it finds";
}

// ------------------------------------------------------------------------------------- sending

namespace {

// A desktop of its own: a private HOME and XDG directories, a recording "mail program" as the
// handler of mailto: addresses and folders, no session bus (so no e-mail portal).
class MailDesktop {
  public:
    explicit MailDesktop(const std::string& handler = "testmail.desktop") {
        const std::string apps = dir_ / "home/.local/share/applications";
        for (const char* d : {"home/.local/share/applications", "home/.config", "share", "etc-xdg", "bin", "run"})
            testsup::run({"mkdir", "-p", "-m", "0700", dir_ / d});
        write_script("record-mail", "mail");
        write_script("thunderbird", "thunderbird");
        write_file(apps + "/testmail.desktop", "[Desktop Entry]\nType=Application\nName=Test Mail\n"
                                               "Exec=record-mail %u\nMimeType=x-scheme-handler/mailto;\n");
        write_file(apps + "/thunderbird.desktop", "[Desktop Entry]\nType=Application\nName=Thunderbird\n"
                                                  "Exec=thunderbird %u\nMimeType=x-scheme-handler/mailto;\n");
        write_file(dir_ / "home/.config/mimeapps.list",
                   "[Default Applications]\nx-scheme-handler/mailto=" + handler +
                       "\ninode/directory=testmail.desktop\nx-scheme-handler/file=testmail.desktop\n");
        const char* path = std::getenv("PATH");
        env_ = {"HOME=" + dir_ / "home",
                "XDG_CONFIG_HOME=" + dir_ / "home/.config",
                "XDG_DATA_HOME=" + dir_ / "home/.local/share",
                "XDG_DATA_DIRS=" + dir_ / "share",
                "XDG_CONFIG_DIRS=" + dir_ / "etc-xdg",
                "XDG_RUNTIME_DIR=" + dir_ / "run",
                // xdg-utils' generic desktop, whatever session the tests run in
                "XDG_CURRENT_DESKTOP=",
                "KDE_FULL_SESSION=",
                "GNOME_DESKTOP_SESSION_ID=",
                "MATE_DESKTOP_SESSION_ID=",
                "LXQT_SESSION_CONFIG=",
                "DESKTOP_SESSION=",
                "WAYLAND_DISPLAY=",
                "DISPLAY=:97",
                "BROWSER=",
                "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir_ / "no-bus",
                "PATH=" + dir_ / "bin" + ":" + (path ? path : "/usr/bin:/bin"),
                "LUMAFON_TEST_RECORD=" + dir_ / "record.txt"};
    }

    const std::vector<std::string>& env() const { return env_; }
    const TempDir& dir() const { return dir_; }

    // The argument lists of the recorded calls, each tagged with the program's role.
    std::vector<std::vector<std::string>> calls(size_t at_least) const {
        std::vector<std::vector<std::string>> out;
        testsup::wait_until(
            [&] {
                out.clear();
                std::vector<std::string> current;
                for (const std::string& l : lines_of(read_file(dir_ / "record.txt"))) {
                    if (l == "--end--") {
                        out.push_back(current);
                        current.clear();
                    } else {
                        current.push_back(l);
                    }
                }
                return out.size() >= at_least;
            },
            30000, 50);
        return out;
    }

  private:
    void write_script(const std::string& name, const std::string& role) {
        const std::string path = dir_ / ("bin/" + name);
        write_file(path, "#!/bin/sh\n{ printf '%s\\n' " + role +
                             "; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; printf -- '--end--\\n'; } "
                             ">> \"$LUMAFON_TEST_RECORD\"\n");
        chmod(path.c_str(), 0755);
    }

    TempDir dir_;
    std::vector<std::string> env_;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string percent_decode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 && hex_digit(s[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// A query field of a mailto: address, still encoded.
std::string query_field(const std::string& uri, const std::string& name) {
    for (const char* sep : {"?", "&"}) {
        const size_t at = uri.find(sep + name + "=");
        if (at == std::string::npos) continue;
        const size_t start = at + name.size() + 2;
        const size_t end = uri.find('&', start);
        return uri.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return {};
}

// The crashed run's files as a next start finds them: a report (with a NUL byte and a broken
// UTF-8 sequence, as a damaged file might have) and the crashed run's log.
std::string leave_crash(const TempDir& dir, const std::string& log_part) {
    std::string report = "=== Lumafon crash report ===\nSignal: SIGSEGV (Segmentation fault)\nodd: ";
    report += std::string("a\0b\xC3(c", 6);
    report += "\n\nLog (last lines before the crash):\n" + log_part + "\nLog file:\n  x\n=== end of report ===\n";
    write_file(dir / "crash_report.txt", report);
    write_file(dir / "Lumafon.log", "10:00:00 INFO  the crashed run\n");
    return report;
}

} // namespace

TEST(CrashReport, SendThroughXdgEmail) {
    MailDesktop desk;
    const TempDir& dir = desk.dir();
    leave_crash(dir, "10:00:00 INFO  last line\n");
    const ChildRun r = run_child(dir, {"send", dir.path()}, desk.env());
    EXPECT_EQ(r.out, "sent\n");

    // The files are renamed, so the next start offers nothing.
    EXPECT_FALSE(exists(dir / "crash_report.txt"));
    EXPECT_FALSE(exists(dir / "crash_log.txt"));
    EXPECT_TRUE(exists(dir / "crash_report-sent.txt"));
    EXPECT_EQ(read_file(dir / "crash_log-sent.txt"), "10:00:00 INFO  the crashed run\n");
    const std::string log = read_file(dir / "Lumafon.log");
    EXPECT_NE(log.find("INFO  xdg-email: exit 0"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO  Crash report: mail composed with 3 attachments"), std::string::npos) << log;
    EXPECT_NE(log.find("Mail portal: no session bus"), std::string::npos) << "the portal was tried first";
    EXPECT_EQ(run_child(dir, {"start", dir.path()}, desk.env()).out, "none\n");

    // xdg-email hands the mail program one mailto: address with everything in it.
    const auto calls = desk.calls(1);
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].size(), 2u);
    EXPECT_EQ(calls[0][0], "mail");
    const std::string uri = calls[0][1];
    EXPECT_EQ(uri.rfind("mailto:support@lumafon.org?", 0), 0u) << uri;
    EXPECT_EQ(percent_decode(query_field(uri, "subject")), kSubject);
    std::string body = percent_decode(query_field(uri, "body"));
    body.erase(std::remove(body.begin(), body.end(), '\r'), body.end()); // mailto: lines end in CR LF
    EXPECT_EQ(missing_in_order(body, {"Attached: crash report and log files. The same follows as text.\n\n"
                                      "=== Lumafon crash report ===\n",
                                      "odd: a\xEF\xBF\xBD" "b\xEF\xBF\xBD(c\n", "last line\n",
                                      "\n=== crash_log.txt (log of the crashed run) ===\n10:00:00 INFO  the "
                                      "crashed run"}), // (the shell drops the last newline)
              "")
        << body;
    std::string attached;
    for (size_t at = 0; (at = uri.find("attach=", at)) != std::string::npos; at += 7)
        attached += percent_decode(uri.substr(at + 7, uri.find('&', at) - at - 7)) + "\n";
    EXPECT_EQ(missing_in_order(attached, {dir / "crash_report-sent.txt", dir / "crash_log-sent.txt",
                                          dir / "Lumafon.log"}),
              "")
        << attached;
}

TEST(CrashReport, SendThroughThunderbird) {
    MailDesktop desk("thunderbird.desktop");
    const TempDir& dir = desk.dir();
    leave_crash(dir, "10:00:00 INFO  last line\n");
    EXPECT_EQ(run_child(dir, {"send", dir.path()}, desk.env()).out, "sent\n");
    const auto calls = desk.calls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::vector<std::string>{"thunderbird", "-compose",
                                                  "to='support@lumafon.org',subject='" + std::string(kSubject) +
                                                      "',message='" + dir / "mail-body.txt" + "',attachment='" +
                                                      dir / "crash_report-sent.txt" + "," +
                                                      dir / "crash_log-sent.txt" + "," + dir / "Lumafon.log" + "'"}));
    EXPECT_EQ(read_file(dir / "mail-body.txt").rfind("Attached: crash report and log files.", 0), 0u);
    EXPECT_NE(read_file(dir / "Lumafon.log").find("Crash report: mail composed with 3 attachments"),
              std::string::npos);
}

// Inside a flatpak there is no xdg-email and here no portal: the mail program gets a mailto:
// address with the report shortened to its limit, and the folder with the files is opened.
TEST(CrashReport, FallbackOpensMailtoAndTheFolder) {
    MailDesktop desk;
    const TempDir& dir = desk.dir();
    std::string log_part;
    for (int i = 0; i < 300; ++i) log_part += "10:00:00 INFO  log line " + std::to_string(i) + " of the crash\n";
    leave_crash(dir, log_part);
    std::vector<std::string> env = desk.env();
    env.push_back("FLATPAK_ID=org.example.Lumafon");
    EXPECT_EQ(run_child(dir, {"send", dir.path()}, env).out, "sent\n");
    EXPECT_NE(read_file(dir / "Lumafon.log")
                  .find("WARN  Crash report: no way to attach files - opened mailto and the folder"),
              std::string::npos);
    EXPECT_TRUE(exists(dir / "crash_report-sent.txt"));

    auto calls = desk.calls(2);
    ASSERT_EQ(calls.size(), 2u);
    // Both are opened at once, so they may be recorded in either order.
    if (calls[0].at(1).rfind("mailto:", 0) != 0) std::swap(calls[0], calls[1]);
    const std::string uri = calls[0].at(1);
    std::string encoded_subject;
    for (const char c : std::string(kSubject))
        encoded_subject += c == ' ' ? "%20" : c == '(' ? "%28" : c == ')' ? "%29" : std::string(1, c);
    EXPECT_EQ(uri.rfind("mailto:support@lumafon.org?subject=" + encoded_subject + "&body=", 0), 0u) << uri;
    EXPECT_EQ(uri.find_first_of(" \n()"), std::string::npos) << "everything outside the safe letters is encoded";
    const std::string body = percent_decode(query_field(uri, "body"));
    EXPECT_LE(body.size(), 6000u);
    EXPECT_GT(body.size(), 5900u);
    // The oldest log lines went; what is left starts at a line and runs to the report's end.
    const std::string kept = between(body, "Log (last lines before the crash):\n[...]\n", "\nLog file:");
    ASSERT_FALSE(kept.empty()) << body;
    EXPECT_EQ(kept.rfind("10:00:00 INFO  log line ", 0), 0u) << kept.substr(0, 80);
    EXPECT_NE(kept.find("log line 299 of the crash\n"), std::string::npos);
    EXPECT_EQ(body.substr(body.size() - 22), "=== end of report ===\n");
    // xdg-open hands a file: address to the folder's handler as a plain path.
    EXPECT_EQ(calls[1].at(1), dir.path()) << "and the folder with the files";
}

namespace {

// The desktop's e-mail portal as a stand-in on a private session bus: it answers the version
// property and ComposeEmail, keeps what it was given (with the attachments read through their
// file descriptors) and answers on the request object with `code`.
class FakePortal {
  public:
    struct Call {
        std::string address, subject, body, token;
        std::vector<std::string> addresses, attachments;
    };

    FakePortal(const TempDir& dir, guint32 code) : code_(code) {
        testsup::Child::Options o;
        o.pipe_stdout = true;
        if (!bus_.spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
                         "--address=unix:path=" + dir / "portal-bus"},
                        o) ||
            !bus_.read_line(&address_, 10000))
            return;
        thread_ = std::thread([this] { serve(); });
        testsup::wait_until([this] { return owned(); }, 10000);
    }

    ~FakePortal() {
        if (thread_.joinable()) {
            g_main_context_invoke(
                ctx_, [](gpointer loop) { g_main_loop_quit(static_cast<GMainLoop*>(loop)); return G_SOURCE_REMOVE; },
                loop_);
            thread_.join();
        }
        bus_.stop();
    }

    const std::string& address() const { return address_; }
    bool owned() {
        std::lock_guard<std::mutex> lock(mtx_);
        return owned_;
    }
    std::vector<Call> calls() {
        std::lock_guard<std::mutex> lock(mtx_);
        return calls_;
    }

  private:
    static constexpr const char* kXml =
        "<node><interface name='org.freedesktop.portal.Email'>"
        "<method name='ComposeEmail'><arg type='s' name='parent_window' direction='in'/>"
        "<arg type='a{sv}' name='options' direction='in'/><arg type='o' name='handle' direction='out'/></method>"
        "<property name='version' type='u' access='read'/></interface></node>";

    static std::string text_option(GVariant* options, const char* key) {
        const gchar* v = nullptr;
        return g_variant_lookup(options, key, "&s", &v) ? v : "";
    }

    static std::string read_fd(int fd) {
        std::string out;
        char buf[4096];
        ssize_t n;
        off_t at = 0;
        while ((n = pread(fd, buf, sizeof buf, at)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            at += n;
        }
        close(fd);
        return out;
    }

    static void on_call(GDBusConnection* conn, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                        GVariant* params, GDBusMethodInvocation* inv, gpointer self_ptr) {
        auto* self = static_cast<FakePortal*>(self_ptr);
        if (std::string(method) != "ComposeEmail") return;
        GVariant* options = g_variant_get_child_value(params, 1);
        Call call{text_option(options, "address"), text_option(options, "subject"), text_option(options, "body"),
                  text_option(options, "handle_token"), {}, {}};
        const gchar** addresses = nullptr;
        if (g_variant_lookup(options, "addresses", "^a&s", &addresses)) {
            for (const gchar** a = addresses; *a; ++a) call.addresses.push_back(*a);
            g_free(addresses);
        }
        GUnixFDList* fds = g_dbus_message_get_unix_fd_list(g_dbus_method_invocation_get_message(inv));
        GVariant* handles = g_variant_lookup_value(options, "attachment_fds", G_VARIANT_TYPE("ah"));
        for (gsize i = 0; handles && fds && i < g_variant_n_children(handles); ++i) {
            gint32 h = 0;
            g_variant_get_child(handles, i, "h", &h);
            call.attachments.push_back(read_fd(g_unix_fd_list_get(fds, h, nullptr)));
        }
        if (handles) g_variant_unref(handles);
        g_variant_unref(options);

        std::string who = sender + 1;
        std::replace(who.begin(), who.end(), '.', '_');
        const std::string handle = "/org/freedesktop/portal/desktop/request/" + who + "/" + call.token;
        {
            std::lock_guard<std::mutex> lock(self->mtx_);
            self->calls_.push_back(call);
        }
        g_dbus_method_invocation_return_value(inv, g_variant_new("(o)", handle.c_str()));
        g_dbus_connection_emit_signal(conn, sender, handle.c_str(), "org.freedesktop.portal.Request", "Response",
                                      g_variant_new("(u@a{sv})", self->code_, g_variant_new("a{sv}", nullptr)),
                                      nullptr);
    }

    static GVariant* on_property(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GError**,
                                 gpointer) {
        return g_variant_new_uint32(4);
    }

    void serve() {
        ctx_ = g_main_context_new();
        g_main_context_push_thread_default(ctx_);
        loop_ = g_main_loop_new(ctx_, FALSE);
        GDBusConnection* conn = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kXml, nullptr);
        static const GDBusInterfaceVTable vtable = {on_call, on_property, nullptr, {}};
        if (conn && node) {
            g_dbus_connection_register_object(conn, "/org/freedesktop/portal/desktop", node->interfaces[0], &vtable,
                                              this, nullptr, nullptr);
            g_bus_own_name_on_connection(
                conn, "org.freedesktop.portal.Desktop", G_BUS_NAME_OWNER_FLAGS_NONE,
                [](GDBusConnection*, const gchar*, gpointer self) {
                    std::lock_guard<std::mutex> lock(static_cast<FakePortal*>(self)->mtx_);
                    static_cast<FakePortal*>(self)->owned_ = true;
                },
                nullptr, this, nullptr);
            g_main_loop_run(loop_);
        }
        if (node) g_dbus_node_info_unref(node);
        if (conn) {
            g_dbus_connection_close_sync(conn, nullptr, nullptr);
            g_object_unref(conn);
        }
        g_main_loop_unref(loop_);
        g_main_context_pop_thread_default(ctx_);
        g_main_context_unref(ctx_);
    }

    guint32 code_;
    testsup::Child bus_;
    std::string address_;
    std::thread thread_;
    GMainContext* ctx_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::mutex mtx_;
    bool owned_ = false;
    std::vector<Call> calls_;
};

} // namespace

// Where the desktop has the e-mail portal, it composes the mail: the files go as descriptors.
// A portal that answers with a failure hands over to xdg-email.
TEST(CrashReport, SendThroughTheMailPortal) {
    for (const guint32 code : {0u, 2u}) {
        SCOPED_TRACE(code);
        MailDesktop desk;
        const TempDir& dir = desk.dir();
        FakePortal portal(dir, code);
        ASSERT_TRUE(portal.owned()) << "the stand-in portal is on its bus";
        const std::string report = leave_crash(dir, "10:00:00 INFO  last line\n");
        std::vector<std::string> env = desk.env();
        env.push_back("DBUS_SESSION_BUS_ADDRESS=" + portal.address());
        EXPECT_EQ(run_child(dir, {"send", dir.path()}, env).out, "sent\n");

        const auto calls = portal.calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].address, "support@lumafon.org");
        EXPECT_EQ(calls[0].addresses, std::vector<std::string>{"support@lumafon.org"});
        EXPECT_EQ(calls[0].subject, kSubject);
        EXPECT_EQ(calls[0].body.rfind("Attached: crash report and log files. The same follows as text.\n\n=== "
                                      "Lumafon crash report ===\n",
                                      0),
                  0u);
        ASSERT_EQ(calls[0].attachments.size(), 3u);
        EXPECT_EQ(calls[0].attachments[0], report) << "the report file as it was written";
        EXPECT_EQ(calls[0].attachments[1], "10:00:00 INFO  the crashed run\n");
        const std::string log = read_file(dir / "Lumafon.log");
        EXPECT_NE(log.find("Mail portal v4: response " + std::to_string(code)), std::string::npos) << log;
        EXPECT_NE(log.find("Crash report: mail composed with 3 attachments"), std::string::npos) << log;
        EXPECT_EQ(log.find("xdg-email: exit") != std::string::npos, code != 0) << log;
        EXPECT_EQ(desk.calls(code == 0 ? 0 : 1).size(), code == 0 ? 0u : 1u);
    }
}
