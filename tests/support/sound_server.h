// A private sound server for the integration tests: a PulseAudio daemon (or PipeWire with its
// pulse server, chosen with LUMAFON_TEST_SERVER=pipewire) in a temporary directory of its own,
// with two null sinks standing in for hardware: "hw_a" (float32, 48 kHz, the default) and
// "hw_b" (s16, 44.1 kHz), and a null source "mic" as the default source. Starting it points this process's
// clients at it (PULSE_SERVER and friends in the environment), so the engine in-process and every pactl,
// paplay or parec the test runs talk to it. It is stopped by its pid, never by name.
#pragma once

#include "support/process.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsup {

class SoundServer {
  public:
    enum class Kind { pulseaudio, pipewire };
    static Kind kind_from_env();

    explicit SoundServer(Kind kind = kind_from_env());
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // Starts the daemon and waits until "hw_a" is the default. False (see error()) on failure.
    bool start();
    // Stops the daemon by pid and waits for its end; the directory stays for a restart.
    void stop();
    bool running();
    Kind kind() const { return kind_; }
    const std::string& dir() const { return dir_; }
    const std::string& error() const { return error_; }
    // Stops (SIGSTOP) or resumes (SIGCONT) the daemon: a server that stalls. PulseAudio only.
    void pause(bool on);
    std::string log() const;

    // Loads one of the fake devices again (after a test unloaded it).
    bool load_fake(const std::string& name);
    // Unloads the module that owns the sink (by index: unloading by name would take all).
    bool unload_sink(const std::string& name);

  private:
    bool start_pulseaudio();
    bool start_pipewire();
    void point_clients();

    Kind kind_;
    std::string dir_;
    std::string error_;
    Child daemon_;
};

// One object of a "pactl list" reading: "Key: value" fields and the properties.
struct PaObject {
    uint32_t index = 0xFFFFFFFFu;
    std::map<std::string, std::string> fields;
    std::map<std::string, std::string> props;
    std::string field(const std::string& key) const;
    uint32_t number(const std::string& key) const; // 0xFFFFFFFF when absent or "n/a"
    std::string prop(const std::string& key) const;
};

// "sinks", "sink-inputs", "source-outputs", "modules", "clients", ...
std::vector<PaObject> pa_list(const std::string& what);
Result pactl(const std::vector<std::string>& args);
std::string default_sink();
// The sink's index, or 0xFFFFFFFF.
uint32_t sink_index(const std::string& name);
const PaObject* find_named(const std::vector<PaObject>& objects, const std::string& name);
// Streams by "application.name".
std::vector<PaObject> inputs_of(const std::string& app_name);
std::vector<PaObject> outputs_of(const std::string& app_name);

} // namespace testsup
