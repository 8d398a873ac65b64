#include "support/window_app.h"

#include "support/temp_env.h"

#include <csignal>

namespace testsup {

bool WindowApp::start(const std::vector<std::string>& args, const std::vector<std::string>& env, bool first_run) {
    if (!first_run && read_file(dir() + "/settings.dat").empty()) {
        Settings s;
        s.flash_notice_seen = true;
        write_settings(s);
    }
    Child::Options o;
    o.own_group = true;
    o.stdout_file = home_ + "/output.txt";
    o.env = env;
    o.env.push_back("XDG_CONFIG_HOME=" + home_);
    // In sanitizer builds: the D-Bus connection SDL opens and pango's font configuration stay
    // allocated until exit, in libraries whose stacks cannot be unwound for a suppression.
    // Memory errors are still caught; leaks of the program's own modules are their tests' job.
    o.env.push_back("ASAN_OPTIONS=detect_leaks=0");
    std::vector<std::string> argv = {LUMAFON_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    window_.clear();
    return child_.spawn(argv, o);
}

bool WindowApp::wait_shown(int timeout_ms) {
    return wait_until(
        [&] {
            if (window_.empty()) window_ = find_window("Lumafon");
            return !window_.empty() && log().find("First frame after") != std::string::npos;
        },
        timeout_ms, 50);
}

int WindowApp::quit(int sig, int timeout_ms) {
    // To the program alone, as `kill` does: its watchdog shares the process group.
    ::kill(child_.pid(), sig);
    return wait_exit(timeout_ms);
}

int WindowApp::wait_exit(int timeout_ms) {
    int status = -1;
    if (!child_.wait(timeout_ms, &status)) return -1;
    return status;
}

std::string WindowApp::log() const {
    return read_file(dir() + "/Lumafon.log");
}

std::string WindowApp::output() const {
    return read_file(home_ + "/output.txt");
}

Settings WindowApp::settings() const {
    test_support::ScopedEnv config("XDG_CONFIG_HOME", home_.c_str());
    return settings::load();
}

bool WindowApp::write_settings(const Settings& s) const {
    test_support::ScopedEnv config("XDG_CONFIG_HOME", home_.c_str());
    return settings::save(s);
}

} // namespace testsup
