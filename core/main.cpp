// Entry point: decides from the arguments what kind of run this is (version, help, self-test,
// device listing or window) and runs it.
#include "audio/audio_pulse.h"
#include "core/con.h"
#include "core/i18n.h"
#include "core/logger.h"
#include "core/paths_linux.h"
#include "core/settings.h"
#include "desktop/autostart_linux.h"
#include "desktop/crash_handler_linux.h"
#include "desktop/guard_linux.h"
#include "dsp/analyzer.h"
#include "dsp/eq_dsp.h"
#include "render/app_sdl.h"
#include "ui/theme.h"
#include "ui/ui.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

// `main` itself must be the global function, so its helpers live in namespace app.
namespace app {

const char* const kVersion = LUMAFON_VERSION;
const char* const kBuild = LUMAFON_BUILD;

// Switches that a window run or a device-listing run accepts. The last three belong to other
// platforms and are accepted without effect.
const char* const kKnown[] = {
    "--compact",   "--devices",     "--device",        "--no-takeover", "--off",      "--size",
    "--theme",     "--preset",      "--collapsed",     "--settings",    "--expanded", "--header",
    "--no-header", "--apo-install", "--apo-uninstall", "--apo-status",
};

using Args = std::vector<std::string>;

bool has(const Args& args, const char* name) {
    for (const std::string& a : args)
        if (a == name) return true;
    return false;
}

// The argument right behind the first occurrence of `name`, whatever it looks like.
std::string arg_value(const Args& args, const char* name) {
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) return args[i + 1];
    return {};
}

// The first double-dash argument that no run accepts, or null.
const std::string* unknown_switch(const Args& args) {
    for (const std::string& a : args) {
        if (a.rfind("--", 0) != 0) continue;
        bool known = false;
        for (const char* k : kKnown) known = known || a == k;
        if (!known) return &a;
    }
    return nullptr;
}

void print_help() {
    con::printf("Lumafon %s (Build %s)\n", kVersion, kBuild);
    con::print("\n"
               "  Lumafon                 Fenster oeffnen\n"
               "  Lumafon --compact       in der Kompaktansicht oeffnen\n"
               "  Lumafon --devices       Ausgabegeraete auflisten\n"
               "  Lumafon --selftest      Filter und Spektrum nachrechnen\n"
               "  Lumafon --version       Fassung ausgeben\n"
               "\n"
               "  --device <kennung>          fuer diesen Lauf auf dieses Geraet spielen\n"
               "  --no-takeover               Standardgeraet und fremde Tonstroeme NICHT\n"
               "                              anfassen (Testlaeufe)\n"
               "  --off                       mit ausgeschaltetem Equalizer starten\n"
               "\n"
               "  Startzustand fuer Aufnahmen (Store-Bilder; wird wie eine Einstellung gemerkt):\n"
               "  --size <B>x<H>              Fenstergroesse\n"
               "  --theme dark|light          Design\n"
               "  --preset <name>             Voreinstellung, z. B. rock, bass, standard\n"
               "  --collapsed                 Regler eingeklappt\n"
               "  --expanded                  Regler offen\n"
               "  --header / --no-header      Kopfleiste offen / eingeklappt\n"
               "  --settings                  mit geoeffneten Einstellungen (samt \"Ueber\")\n");
}

// RMS of the left channel over the second half of one second of a 0.1 sine at 48 kHz stereo,
// after a fresh filter bank with the given curve.
double rms_after(const eq::Curve& curve, float freq) {
    constexpr int kFrames = 48000;
    static float buffer[kFrames * 2];
    eq::Processor p;
    p.set_format(48000, 2);
    p.set_curve(curve);
    const float w = freq * 6.2831853f;
    for (int n = 0; n < kFrames; ++n) {
        const float x = 0.1f * std::sin(static_cast<float>(n) * w / 48000.0f);
        buffer[2 * n] = x;
        buffer[2 * n + 1] = x;
    }
    p.process(buffer, kFrames);
    double sum = 0;
    for (int n = kFrames / 2; n < kFrames; ++n) sum += static_cast<double>(buffer[2 * n]) * buffer[2 * n];
    return std::sqrt(sum / (kFrames / 2));
}

const char* verdict(bool ok) {
    return ok ? "OK" : "FEHLER";
}

// Full-scale sines at 1000, 100 and 8000 Hz must be strongest in their own bar, at the level of
// the bar's tilt. Prints one line each and returns the number of failed lines.
int spectrum_check() {
    int failures = 0;
    for (const float f : {1000.0f, 100.0f, 8000.0f}) {
        float x[analyzer::kFftSize];
        for (int n = 0; n < analyzer::kFftSize; ++n)
            x[n] = std::sin(static_cast<float>(n) * (f * 6.2831853f) / 48000.0f);
        float bars[analyzer::kBars];
        analyzer::compute(x, 48000, bars);
        int strongest = 0;
        for (int i = 1; i < analyzer::kBars; ++i)
            if (bars[i] > bars[strongest]) strongest = i;
        const float expected = 1.5f * std::log2(f / 1000.0f);
        const float centre = analyzer::kBarFreq[strongest];
        const bool ok = std::fabs(centre - f) / f < 0.15f && std::fabs(bars[strongest] - expected) < 1.5f;
        failures += !ok;
        con::printf("Spektrum %5.0f Hz Vollaussteuerung: staerkstes Band %5.0f Hz bei %+5.1f dB (erwartet "
                    "%+5.1f)  %s\n",
                    f, centre, bars[strongest], expected, verdict(ok));
    }
    return failures;
}

int selftest() {
    struct FilterCase {
        int band;
        float gain;
        float freq;
    };
    const FilterCase kCases[] = {{5, 6, 1000}, {0, 12, 31}, {9, -9, 16000}, {3, -12, 250}, {5, 6, 1414}};
    int failures = 0;
    const double ref = rms_after(eq::Curve{}, 1000);

    for (const FilterCase& fc : kCases) {
        eq::Curve curve;
        curve.band[fc.band] = fc.gain;
        const double measured = 20.0 * std::log10(rms_after(curve, fc.freq) / ref);
        const double expected = eq::response_db(curve, 48000, fc.freq);
        const bool ok = std::fabs(measured - expected) < 0.3;
        failures += !ok;
        con::printf("Filter  Band %-4s %+5.1f dB bei %6.0f Hz: gemessen %+6.2f dB, Kurve %+6.2f dB  %s\n",
                    eq::band_label(fc.band), fc.gain, fc.freq, measured, expected, verdict(ok));
    }

    eq::Curve pre;
    pre.preamp = -6;
    const double pre_db = 20.0 * std::log10(rms_after(pre, 1000) / ref);
    const bool pre_ok = std::fabs(pre_db + 6) < 0.1;
    failures += !pre_ok;
    con::printf("Vorverstaerker -6 dB: gemessen %+6.2f dB  %s\n", pre_db, verdict(pre_ok));

    const bool lim_ok =
        eq::soft_limit(3.0f) <= 1.0f && eq::soft_limit(-3.0f) >= -1.0f && eq::soft_limit(0.5f) == 0.5f;
    failures += !lim_ok;
    con::printf("Begrenzer: 3.0 -> %.3f, 0.5 unveraendert  %s\n", eq::soft_limit(3.0f), verdict(lim_ok));
    failures += spectrum_check();

    bool seal_roundtrip = false, seal_tamper = false;
    settings::seal_selftest(seal_roundtrip, seal_tamper);
    failures += !seal_roundtrip + !seal_tamper;
    con::printf("Versiegeln: hin und zurueck %s, geaendertes Byte erkannt %s\n", verdict(seal_roundtrip),
                verdict(seal_tamper));

    if (failures)
        con::printf("\n%d FEHLER\n", failures);
    else
        con::print("\nAlles in Ordnung.\n");
    return failures ? 1 : 0;
}

// Sleeps, resuming after interruptions by signals.
void sleep_ms(int ms) {
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// The first line of every run's log.
void log_version() {
    std::string line =
        std::string("Lumafon ") + kVersion + " (Build " + kBuild + ", " + paths::package_kind();
    if (const char* rev = std::getenv("SNAP_REVISION")) line += std::string(" rev ") + rev;
    logger::info(line + ")");
}

// The server answered: this copy routes (state 1), or another copy does and this one only
// watches (state 3; the list is published all the same).
bool server_reached(const audio::Status& s) {
    return s.state == 1 || s.state == 3;
}

// Start-up steps that every run past the mode decision shares: the watchdog, the settings with
// their language and theme.
Settings start_common() {
    guard::start();
    Settings settings = settings::load();
    i18n::set_language(settings.language);
    theme::set_dark(settings.theme != "light");
    return settings;
}

// The log, the autostart entry and the version line, once the run knows its log name.
void start_log(const std::string& dir, const char* name) {
    logger::init(dir, name);
    crash_handler::set_log_path(logger::file_path());
    crash_handler::set_report_path(dir + "/crash_report.txt");
    autostart::migrate();
    log_version();
    crash_handler::record_system();
}

// Lists the output devices of the running sound server; the followed one is marked "*".
int devices_run(const Args&) {
    // The listing takes nothing from the settings, but every run reads them at this point so
    // that a damaged file is noticed and set aside the same way whichever mode meets it first.
    start_common();
    start_log(paths::config_dir(), "Lumafon-devices");

    audio::start(false);
    for (int i = 0; i < 40 && !server_reached(audio::status()); ++i) sleep_ms(100);
    const audio::Status status = audio::status();
    int result = 0;
    if (!server_reached(status)) {
        con::print("Kein Tonserver erreichbar.\n");
        result = 1;
    } else {
        for (const audio::Device& d : audio::devices())
            con::printf("%s %-60s %s\n", d.name == status.follow ? "*" : " ", d.name.c_str(),
                        d.label.c_str());
    }
    audio::stop();
    guard::stop();
    logger::shutdown();
    return result;
}

// Held open for the whole run: the lock belongs to the descriptor, so it ends with the process
// however that ends, and a lock file left by a dead copy blocks nobody.
int g_lock_fd = -1;

// True when this is the only window run. Otherwise the running copy (the process id in the
// lock file) is asked to bring its window to the front. A lock file that cannot be opened
// leaves the run unprotected rather than stopping it.
bool take_lock(const std::string& dir) {
    const int fd = open((dir + "/Lumafon.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return true;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char text[32] = {};
        const ssize_t n = pread(fd, text, sizeof text - 1, 0);
        close(fd);
        if (n > 0) {
            char* end = nullptr;
            errno = 0;
            const long pid = std::strtol(text, &end, 10);
            if (errno == 0 && end != text && pid > 1 && pid <= INT_MAX)
                kill(static_cast<pid_t>(pid), SIGUSR1);
        }
        return false;
    }
    g_lock_fd = fd;
    if (ftruncate(fd, 0) == 0) {
        const std::string text = std::to_string(getpid()) + "\n";
        if (pwrite(fd, text.data(), text.size(), 0) < 0) {
            // The lock holds all the same; only a second copy cannot raise this window.
        }
    }
    return true;
}

// The start state asked for on the command line, kept like a setting.
void apply_switches(const Args& args, Settings& s) {
    s.active = s.active_on_start && !has(args, "--off");
    if (has(args, "--compact")) s.compact = true;
    if (has(args, "--collapsed")) s.collapsed = true;
    if (has(args, "--expanded")) s.collapsed = false;
    if (has(args, "--header")) s.head_folded = false;
    if (has(args, "--no-header")) s.head_folded = true;
    if (has(args, "--settings")) {
        s.compact = false;
        ui::open_settings_at_start();
    }
    int w = 0, h = 0;
    if (std::sscanf(arg_value(args, "--size").c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0) {
        if (s.compact) {
            s.mini_w = w, s.mini_h = h, s.mini_x = s.mini_y = -1;
        } else {
            s.win_w = w, s.win_h = h, s.win_x = s.win_y = -1;
        }
    }
    const std::string theme_name = arg_value(args, "--theme");
    if (theme_name == "dark" || theme_name == "light") {
        s.theme = theme_name;
        theme::set_dark(theme_name == "dark");
    }
    const std::string preset = arg_value(args, "--preset");
    if (!preset.empty()) {
        const std::string key = "preset_" + preset;
        const int index = eq::find_preset(key.c_str());
        if (index >= 0) {
            s.preset = "b:" + key;
            s.curve = eq::preset_curve(index);
        }
    }
}

void stop_engine_and_guard() {
    audio::stop();
    guard::stop();
}

int window_run(const Args& args) {
    prepare_window_environment();
    Settings settings = start_common();
    const std::string dir = paths::config_dir();
    if (!take_lock(dir)) {
        con::print("Lumafon laeuft bereits \u2014 Fenster nach vorn geholt.\n");
        guard::stop();
        return 0;
    }
    // Before this run's log truncates the previous one, which a crash report may still need.
    crash_handler::rotate_log(dir + "/Lumafon.log");
    start_log(dir, "Lumafon");
    apply_switches(args, settings);
    // A report left by the last run is offered in the full window, never the compact one.
    if (std::string report; crash_handler::pending_report(report)) {
        logger::warn("Crash report from the last run found: " + crash_handler::report_path());
        settings.compact = false;
    }

    const std::string device = arg_value(args, "--device");
    audio::set_restore_hint(settings.last_default);
    audio::set_output(device.empty() ? settings.output : device);
    audio::set_curve(settings.curve);
    audio::set_active(settings.active);
    audio::start(!has(args, "--no-takeover"));
    std::atexit(stop_engine_and_guard);

    const int status = run_gui(&settings);

    audio::stop();
    guard::stop();
    settings::save(settings);
    logger::info("Quit");
    logger::shutdown();
    return status;
}

} // namespace app

int main(int argc, char** argv) {
    crash_handler::install();
    const app::Args args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    if (app::has(args, "--version")) {
        con::printf("Lumafon %s (Build %s)\n", app::kVersion, app::kBuild);
        return 0;
    }
    if (app::has(args, "--help") || app::has(args, "-h")) {
        app::print_help();
        return 0;
    }
    if (app::has(args, "--selftest")) return app::selftest();
    if (const std::string* bad = app::unknown_switch(args)) {
        con::printf("Unbekannter Schalter: %s\n\n", bad->c_str());
        app::print_help();
        return 2;
    }
    if (app::has(args, "--devices")) return app::devices_run(args);
    return app::window_run(args);
}
