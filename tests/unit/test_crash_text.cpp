// Crash reports inside one process: the texts (short mailto body, percent-encoding, the bounded
// mail body, cleaning damaged text), the parsers of the system description against a made-up
// file tree, and the report files at the next start, with damaged and missing files.
#include "desktop/lmcrash/lmcrash_common.h"
#include "desktop/lmcrash/lmcrash_mail_linux.h"
#include "desktop/lmcrash/lmcrash_posix.h"
#include "desktop/lmcrash/lmcrash_sysinfo_linux.h"

#include "fuzz/fuzz_crash_text.cpp"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace lmcrash;
using test_support::exists;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

const std::string kHeading = "Log (last lines before the crash):\n";

bool valid_utf8(const std::string& s) {
    return detail::clean_text(s) == s && s.find('\0') == std::string::npos;
}

std::string report_with_log(int log_lines) {
    std::string r = "=== Lumafon crash report ===\nSignal: SIGSEGV (Segmentation fault)\n\n" + kHeading;
    for (int i = 0; i < log_lines; ++i) r += "12:00:00 INFO  line " + std::to_string(i) + " \xC3\xA4\xC3\xB6\n";
    return r + "\nLog file:\n  /x/Lumafon.log\n=== end of report ===\n";
}

void mkdirs(const std::string& path) {
    std::string prefix;
    for (size_t i = 0; i <= path.size(); ++i) {
        if ((i == path.size() || path[i] == '/') && !prefix.empty()) mkdir(prefix.c_str(), 0755);
        if (i < path.size()) prefix += path[i];
    }
}

void put(const std::string& path, const std::string& text) {
    mkdirs(path.substr(0, path.rfind('/')));
    ASSERT_TRUE(write_file(path, text)) << path;
}

} // namespace

TEST(CrashText, ShortBodyDropsTheOldestLogLinesFirst) {
    const std::string small = report_with_log(10);
    EXPECT_EQ(detail::short_body(small), small);

    const std::string big = report_with_log(400);
    ASSERT_GT(big.size(), 6000u);
    const std::string body = detail::short_body(big);
    EXPECT_LE(body.size(), 6000u);
    EXPECT_GT(body.size(), 5900u);
    // Everything up to the heading, the mark, then whole lines up to the report's end.
    EXPECT_EQ(body.substr(0, body.find(kHeading) + kHeading.size() + 6), big.substr(0, big.find(kHeading) + kHeading.size()) + "[...]\n");
    const size_t kept = body.find("[...]\n") + 6;
    EXPECT_EQ(body.compare(kept, 20, "12:00:00 INFO  line "), 0);
    EXPECT_EQ(body.substr(body.size() - 200), big.substr(big.size() - 200));

    // Without a log heading the end is cut, never inside a character.
    std::string no_log;
    while (no_log.size() < 7000) no_log += "\xE2\x82\xAC";
    const std::string cut = detail::short_body(no_log);
    EXPECT_EQ(cut.substr(cut.size() - 6), "\n[...]");
    EXPECT_LE(cut.size(), 6006u);
    EXPECT_TRUE(valid_utf8(cut));
    // A log whose lines are too long to find a line boundary: cut all the same.
    const std::string one_line = "head\n" + kHeading + std::string(8000, 'x');
    EXPECT_EQ(detail::short_body(one_line).size(), 6006u);
}

TEST(CrashText, AddressesAndNames) {
    EXPECT_EQ(detail::percent_encode("a-Z_0.9~ /?&=%\n\xC3\xA4"), "a-Z_0.9~%20%2F%3F%26%3D%25%0A%C3%A4");
    EXPECT_EQ(detail::mailto_uri("x@y.org", "S (1)", "b\n"), "mailto:x@y.org?subject=S%20%281%29&body=b%0A");
    EXPECT_EQ(detail::sent_name("/c/crash_report.txt"), "/c/crash_report-sent.txt");
    EXPECT_EQ(detail::sent_name("/c/report"), "/c/report-sent.txt");
    EXPECT_EQ(detail::sent_name("/c.txt/report"), "/c.txt/report-sent.txt");
    EXPECT_EQ(detail::sent_name("/c/.txt"), "/c/-sent.txt");

    // The body with attachments stays within one process argument even for huge files.
    std::string log;
    for (int i = 0; i < 20000; ++i) log += "12:00:00 INFO  crashed run line " + std::to_string(i) + "\n";
    const std::string body = detail::mail_body(std::string(300000, 'r'), log);
    EXPECT_LT(body.size() * 3, 131072u);
    const std::string heading = "\n=== crash_log.txt (log of the crashed run) ===\n[...]\n";
    const size_t at = body.find(heading);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(body.compare(at + heading.size(), 15, "12:00:00 INFO  "), 0);
    EXPECT_EQ(body.substr(body.size() - 30), log.substr(log.size() - 30));
    EXPECT_EQ(detail::mail_body("R", ""), "Attached: crash report and log files. The same follows as text.\n\nR");
}

TEST(CrashText, DamagedTextBecomesValidUtf8) {
    EXPECT_EQ(detail::clean_text("plain \xC3\xA4\xE2\x82\xAC\xF0\x9F\x8E\xB5"), "plain \xC3\xA4\xE2\x82\xAC\xF0\x9F\x8E\xB5");
    const std::string bad = std::string("a\0b", 3) + "\xC3" + "(" + "\xC0\xAF" + "\xED\xA0\x80" + "\xF4\x90\x80\x80" + "\xE2\x82";
    const std::string clean = detail::clean_text(bad);
    EXPECT_TRUE(valid_utf8(clean));
    EXPECT_EQ(clean.rfind("a\xEF\xBF\xBD" "b\xEF\xBF\xBD(", 0), 0u);
    EXPECT_EQ(detail::utf8_prefix("ab\xE2\x82\xAC", 4), "ab");
    EXPECT_EQ(detail::utf8_prefix("ab\xE2\x82\xAC", 5), "ab\xE2\x82\xAC");
}

TEST(CrashText, SystemFactsFromTheirFiles) {
    EXPECT_EQ(detail::os_line("NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n"),
              "OS: Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(detail::os_line("PRETTY_NAME='Linux \"Mint\" 21'\nID_LIKE=\"ubuntu debian\"\n"),
              "OS: Linux \"Mint\" 21, like ubuntu debian");
    EXPECT_EQ(detail::os_line("NAME=Arch\nVERSION=\"a \\\"b\\\"\"\n"), "OS: Arch a \"b\"");
    EXPECT_EQ(detail::os_line("garbage\n=\nPRETTY_NAME=\"unterminated"), "OS: unterminated");
    EXPECT_EQ(detail::os_line(""), "OS: unknown");

    EXPECT_EQ(detail::cpu_line("processor\t: 0\nmodel name\t: Ryzen 7\nprocessor\t: 1\nmodel name\t: Ryzen 7\n"),
              "CPU: Ryzen 7, 2 threads");
    EXPECT_EQ(detail::cpu_line("processor : 0\nHardware : BCM2835\n"), "CPU: BCM2835, 1 thread");
    EXPECT_EQ(detail::cpu_line(""), "CPU: unknown, 0 threads");
    EXPECT_EQ(detail::ram_line("MemTotal:       16314932 kB\nMemFree: 1 kB\nMemAvailable:    9537580 kB\n"),
              "RAM: 15.6 GiB, available 9.1 GiB");
    EXPECT_EQ(detail::ram_line("MemTotal: lots\n"), "RAM: unknown");

    const std::string cards = " 0 [PCH            ]: HDA-Intel - HDA Intel PCH\n"
                              "                      HDA Intel PCH at 0xf7f10000 irq 32\n"
                              "29 [ThinkPadEC     ]: ThinkPad EC - ThinkPad Console Audio Control\n"
                              "                      ThinkPad Console Audio Control at EC reg 0x30\n";
    EXPECT_EQ(detail::alsa_lines(cards),
              (std::vector<std::string>{"ALSA card 0 (PCH): HDA-Intel - HDA Intel PCH",
                                        "ALSA card 29 (ThinkPadEC): ThinkPad EC - ThinkPad Console Audio Control"}));
    EXPECT_EQ(detail::alsa_lines("--- no soundcards ---\n"), std::vector<std::string>{"ALSA cards: none"});

    EXPECT_EQ(detail::dpkg_version("Package: a\nVersion: 1\n\nPackage: lumafon\nStatus: install ok\nVersion: 1.0.3-1\n",
                                   "lumafon"),
              "1.0.3-1");
    EXPECT_EQ(detail::dpkg_version("Package: lumafon-data\nVersion: 2\n", "lumafon"), "");
    EXPECT_EQ(detail::ini_value("[Application]\nbranch=x\n[Instance]\nbranch=stable\n", "Instance", "branch"), "stable");
}

TEST(CrashText, SeedCorpusPassesTheFuzzTarget) {
    const std::vector<std::string> corpus = test_support::fuzz_corpus("crash_text");
    for (const std::string& data : corpus)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    EXPECT_GE(corpus.size(), 5u);
}

TEST(CrashText, SystemLinesOfAMadeUpMachine) {
    TempDir root;
    put(root / "etc/os-release", "PRETTY_NAME=\"Test OS 1\"\nID_LIKE=debian\n");
    put(root / "proc/cpuinfo", "processor : 0\nmodel name : Test CPU\n");
    put(root / "proc/meminfo", "MemTotal: 2097152 kB\nMemAvailable: 1048576 kB\n");
    put(root / "proc/asound/cards", " 1 [Generic        ]: HDA-Intel - HD-Audio Generic\n");
    const std::string card = root / "sys/class/drm/card1/device/";
    put(card + "vendor", "0x1002\n");
    put(card + "device", "0x1638\n");
    put(card + "subsystem_vendor", "0x17aa\n");
    put(card + "subsystem_device", "0x5081\n");
    put(card + "boot_vga", "1\n");
    mkdirs(root / "sys/bus/pci/drivers/amdgpu");
    ASSERT_EQ(symlink((root / "sys/bus/pci/drivers/amdgpu").c_str(), (card + "driver").c_str()), 0);
    mkdirs(root / "sys/class/drm/card1-eDP-1");
    mkdirs(root / "sys/class/drm/renderD128");
    put(root / "var/lib/dpkg/info/other.list", "/usr/bin/other\n");
    put(root / "var/lib/dpkg/info/lumafon:amd64.list", "/.\n/usr\n/usr/bin\n/usr/bin/lumafon\n");
    put(root / "var/lib/dpkg/status", "Package: lumafon\nVersion: 1.0.3-1\n");

    test_support::ScopedEnv no_snap("SNAP", nullptr), no_flatpak("FLATPAK_ID", nullptr), no_appdir("APPDIR", nullptr);
    test_support::ScopedEnv desktop("XDG_CURRENT_DESKTOP", "KDE"), type("XDG_SESSION_TYPE", "wayland");
    test_support::ScopedEnv lang("LANG", "de_DE.UTF-8"), all("LC_ALL", nullptr);
    test_support::ScopedEnv display("DISPLAY", ":0"), wayland("WAYLAND_DISPLAY", "wayland-0");
    EXPECT_EQ(detail::system_lines({root.path(), "/bin/lumafon"}),
              (std::vector<std::string>{"OS: Test OS 1, like debian", "CPU: Test CPU, 1 thread",
                                        "RAM: 2.0 GiB, available 1.0 GiB",
                                        "Session: desktop KDE, type wayland, lang de_DE.UTF-8, X, Wayland",
                                        "Package: deb lumafon 1.0.3-1",
                                        "GPU card1: PCI 1002:1638 (subsystem 17aa:5081), driver amdgpu, boot_vga 1",
                                        "ALSA card 1 (Generic): HDA-Intel - HD-Audio Generic"}));

    // An Arch system owns the file through pacman's database; a home build is owned by nobody.
    TempDir arch;
    put(arch / "var/lib/pacman/local/lumafon-1.0.3-1/files", "%FILES%\nusr/\nusr/bin/\nusr/bin/lumafon\n");
    put(arch / "var/lib/pacman/local/lumafon-1.0.3-1/desc", "%NAME%\nlumafon\n\n%VERSION%\n1.0.3-1\n");
    mkdirs(arch / "sys/class/drm");
    const std::vector<std::string> lines = detail::system_lines({arch.path(), "/usr/bin/lumafon"});
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "OS: unknown (no os-release)");
    EXPECT_EQ(lines[4], "Package: pacman lumafon 1.0.3-1");
    EXPECT_EQ(lines[5], "GPUs: none in /sys/class/drm");
    EXPECT_EQ(lines[6], "ALSA cards: not readable");
    EXPECT_EQ(detail::system_lines({arch.path(), "/home/u/build/Lumafon"})[4], "Package: not owned");
    EXPECT_EQ(detail::system_lines({root / "nothing", ""})[5], "GPUs: /sys/class/drm not readable");

    test_support::ScopedEnv flatpak("FLATPAK_ID", "org.example.Lumafon");
    put(root / ".flatpak-info", "[Instance]\nbranch=stable\napp-commit=abc123\n");
    const std::vector<std::string> sandboxed = detail::system_lines({root.path(), "/app/bin/lumafon"});
    EXPECT_EQ(sandboxed[0], "OS: host not readable from the sandbox; sandbox: flatpak");
    EXPECT_EQ(sandboxed[4], "Package: flatpak org.example.Lumafon branch stable commit abc123");
}

// The files of a next start, written and damaged by hand.
TEST(CrashFiles, PendingDiscardAndRotationWithDamagedFiles) {
    TempDir dir;
    set_report_dir(dir.path());
    EXPECT_EQ(report_path(), dir / "crash_report.txt");
    EXPECT_EQ(crash_log_path(), dir / "crash_log.txt");
    std::string text = "untouched";

    // No report, an empty one, one that is not a file: nothing is offered.
    EXPECT_FALSE(pending(text));
    EXPECT_EQ(text, "");
    ASSERT_TRUE(write_file(dir / "crash_report.txt", ""));
    EXPECT_FALSE(pending(text));
    ASSERT_EQ(unlink((dir / "crash_report.txt").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "crash_report.txt").c_str(), 0700), 0);
    EXPECT_FALSE(pending(text));
    discard(); // a directory is not removed by it, and nothing breaks
    ASSERT_EQ(rmdir((dir / "crash_report.txt").c_str()), 0);

    // The previous log: rotated aside, then copied as the crash log, which a second start keeps.
    EXPECT_EQ(rotate_log(dir / "Lumafon.log"), "") << "no log yet";
    ASSERT_TRUE(write_file(dir / "Lumafon.log", "crashed run\n"));
    EXPECT_EQ(rotate_log(dir / "Lumafon.log"), dir / "Lumafon.log.1");
    EXPECT_FALSE(exists(dir / "Lumafon.log"));
    ASSERT_TRUE(write_file(dir / "crash_report.txt", std::string("bad \xFF and \0 bytes\n", 18)));
    ASSERT_TRUE(pending(text));
    EXPECT_EQ(text, "bad \xEF\xBF\xBD and \xEF\xBF\xBD bytes\n");
    EXPECT_EQ(read_file(dir / "crash_log.txt"), "crashed run\n");
    ASSERT_TRUE(write_file(dir / "Lumafon.log.1", "a later run\n"));
    ASSERT_TRUE(pending(text));
    EXPECT_EQ(read_file(dir / "crash_log.txt"), "crashed run\n");

    // Discard removes both, twice harmlessly.
    discard();
    EXPECT_FALSE(exists(dir / "crash_report.txt"));
    EXPECT_FALSE(exists(dir / "crash_log.txt"));
    discard();
    EXPECT_FALSE(pending(text));

    // A huge report is read up to its limit; a missing previous log leaves no crash log.
    ASSERT_TRUE(write_file(dir / "crash_report.txt", std::string(1 << 20, 'x')));
    ASSERT_EQ(unlink((dir / "Lumafon.log.1").c_str()), 0);
    ASSERT_TRUE(pending(text));
    EXPECT_EQ(text.size(), 262144u);
    EXPECT_FALSE(exists(dir / "crash_log.txt"));
    discard();
}

// The writer itself, called directly: unknown signals, the context slots and their limits, a
// log short enough to be taken whole, and a log path that was never given.
TEST(CrashFiles, ReportWriterSectionsAndLimits) {
    TempDir dir;
    set_report_dir(dir.path());
    set_log_file("");
    set_context(kGraphics, "");
    set_context(kAudio, "");
    set_context(kSystem, "");
    for (int sig : {9, 10}) {
        detail::write_report(sig);
        const std::string report = read_file(dir / "crash_report.txt").value_or("");
        EXPECT_NE(report.find("Signal: unknown signal\n"), std::string::npos);
        EXPECT_EQ(report.find("\n--- "), std::string::npos) << "empty slots have no section";
        EXPECT_NE(report.find("Log (last lines before the crash):\n\nLog file:\n  (unknown)\n=== end of report ===\n"),
                  std::string::npos)
            << report;
    }

    std::string log;
    while (log.size() < 2500) log += "12:00:00 INFO  x\n";
    log.resize(2499);
    log += "\n";
    ASSERT_TRUE(write_file(dir / "short.log", log));
    set_log_file(dir / "short.log");
    set_context(kSystem, std::string(5000, 's'));
    set_context(kGraphics, "gpu line");
    set_context(3, "ignored");
    set_context(-1, "ignored");
    detail::write_report(SIGSEGV);
    const std::string report = read_file(dir / "crash_report.txt").value_or("");
    EXPECT_NE(report.find("\n--- Graphics ---\ngpu line\n\n--- System ---\n" + std::string(2047, 's') + "\n\nLog"),
              std::string::npos);
    EXPECT_EQ(report.find("ignored"), std::string::npos);
    EXPECT_NE(report.find(kHeading + log + "\nLog file:\n  " + dir / "short.log"), std::string::npos)
        << "a log of 2500 bytes is taken whole";
    set_log_file("");
    set_context(kSystem, "");
    set_context(kGraphics, "");
}

TEST(CrashFiles, AudioSummaryIsKeptOnlyWhenItChanges) {
    std::vector<std::string> logged;
    App app;
    app.name = "Lumafon";
    app.log = [&](const std::string& level, const std::string& msg) { logged.push_back(level + " " + msg); };
    detail::set_app(app);
    record_audio({"Sound server: a", "Output x: X"});
    record_audio({"Sound server: a", "Output x: X"});
    record_audio({"Sound server: b"});
    EXPECT_EQ(logged, (std::vector<std::string>{"INFO Audio: Sound server: a", "INFO Audio: Output x: X",
                                                "INFO Audio: Sound server: b"}));
    EXPECT_STREQ(detail::fixed().context[kAudio].get(), "Sound server: b");
    detail::set_app(App{});
    set_context(kAudio, "");
}
