// The program's window run as a user starts it, in a configuration directory of the test's own,
// on the display and sound server that the test process points at.
#pragma once

#include "core/settings.h"
#include "support/process.h"
#include "support/x_server.h"

#include <string>
#include <vector>

namespace testsup {

class WindowApp {
  public:
    // `config_home` stands for XDG_CONFIG_HOME; the program's files go to its "Lumafon" folder.
    explicit WindowApp(std::string config_home) : home_(std::move(config_home)) {}

    // Starts the program with `args` and extra "NAME=value" environment entries. Unless
    // `first_run` is set, a configuration without settings gets settings whose notice on flashing
    // light was acknowledged already, as after the program's first start.
    bool start(const std::vector<std::string>& args = {}, const std::vector<std::string>& env = {},
               bool first_run = false);
    // Waits for the mapped window "Lumafon" and its first frame in the log.
    bool wait_shown(int timeout_ms = 20000);
    const std::string& window() const { return window_; }
    XWindow info() const { return window_info(window_); }

    // Sends `sig` and waits for the end; the exit status, or -1 when it did not end in time.
    int quit(int sig, int timeout_ms = 15000);
    // Waits for an end the program came to by itself.
    int wait_exit(int timeout_ms = 15000);
    pid_t pid() const { return child_.pid(); }
    // The signal that ended the program, 0 when it exited.
    int term_signal() const { return child_.term_signal(); }
    bool running() { return child_.running(); }

    std::string dir() const { return home_ + "/Lumafon"; }
    std::string log() const;
    std::string output() const;
    // The settings as the program left them, read with the program's own loader.
    Settings settings() const;
    // Writes settings for the next start with the program's own saver.
    bool write_settings(const Settings& s) const;

  private:
    std::string home_;
    std::string window_;
    Child child_;
};

} // namespace testsup
