#include "support/window_app.h"

#include "support/temp_env.h"

#include <csignal>

namespace testsup {

bool WindowApp::start(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    Child::Options o;
    o.own_group = true;
    o.stdout_file = home_ + "/output.txt";
    o.env = env;
    o.env.push_back("XDG_CONFIG_HOME=" + home_);
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

} // namespace testsup
