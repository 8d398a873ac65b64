// Checks of the engine in the test process against the private sound server: its log, its
// status, and where the server says the streams are.
#pragma once

#include "audio/audio_pulse.h"
#include "support/process.h"
#include "support/sound_server.h"

#include <functional>
#include <string>
#include <vector>

namespace testsup {

// The test process's log (opened on first use in a temporary directory).
std::string engine_log_path();
// The log's text from byte `offset` on; engine_log_size() gives the offset of now.
std::string engine_log_since(size_t offset);
size_t engine_log_size();

// The wishes a window run hands the engine before starting it, reset to: equaliser on, flat
// curve, following the default device, nothing remembered.
void default_wishes();

bool wait_status(const std::function<bool(const audio::Status&)>& cond, int timeout_ms = 10000);

// The sink index an input of the application plays into (0xFFFFFFFF when there is none).
uint32_t input_sink(const std::string& app_name);
// The device index of the engine's playback ("Lumafon" input) and recording.
uint32_t playback_sink();
uint32_t record_source();
// The index of a sink's monitor source.
uint32_t monitor_of(const std::string& sink);

// The engine routes with takeover: our sink is the default, the application's stream plays into
// it, and the engine plays to `target`.
bool routed_to(const std::string& target, const std::string& app_name = "paplay");
// Everything given back: `sink` is the default, the application plays there, no "lumafon".
bool given_back_to(const std::string& sink, const std::string& app_name = "paplay");

// Our sinks on the server ("lumafon" and renamed second loads such as "lumafon.2").
std::vector<PaObject> own_sinks();
// A sink's volume in percent of its first channel (-1 when absent).
int volume_percent(const std::string& sink);

// The engine in a process of its own (tests/helpers/engine_host.cpp), with the watchdog.
class EngineHost {
  public:
    struct State {
        int state = -1;
        bool active = false;
        std::string output;
        bool missing = false;
        std::string follow;
        bool muted = false;
        bool select = false;
    };

    // Starts the host with its log in `log_dir`, hands it `setup` lines, then starts the engine.
    // `own_group`: in a process group of its own, so that signal() reaches the whole group as a
    // terminal's or a service manager's signals would.
    bool start(const std::string& log_dir, const std::vector<std::string>& setup = {"active 1"},
               bool takeover = true, bool own_group = false);
    // Starts the host and hands it the `setup` lines; the engine starts with begin(), whose
    // answer is read by started(): two copies can thus start at the same moment.
    bool launch(const std::string& log_dir, const std::vector<std::string>& setup = {"active 1"});
    bool begin(bool takeover = true) { return send(takeover ? "start" : "start-no-takeover"); }
    bool started(int timeout_ms = 5000);
    // One command line and, for commands that answer, the answer.
    bool send(const std::string& line);
    std::string ask(const std::string& line, int timeout_ms = 5000);
    State state();
    bool wait_state(const std::function<bool(const State&)>& cond, int timeout_ms = 10000);
    // An orderly end; false when it does not end in time or fails.
    bool quit(int timeout_ms = 10000);
    void kill_hard();
    // Sends a signal (to the whole group when it has one of its own).
    void signal(int sig) { child_.signal(sig); }
    bool wait_end(int timeout_ms) { return child_.wait(timeout_ms); }
    pid_t pid() const { return child_.pid(); }
    // The watchdog child's pid, or -1.
    pid_t watchdog_pid() const;
    std::string log() const;

  private:
    Child child_;
    std::string log_dir_;
};

} // namespace testsup
