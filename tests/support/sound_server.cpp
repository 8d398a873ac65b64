#include "support/sound_server.h"

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>

namespace testsup {
namespace {

const char* const kFakeArgs[][2] = {
    {"hw_a", "sink_name=hw_a sink_properties='device.description=\"Fake HW A\"' format=float32le rate=48000 "
             "channels=2"},
    {"hw_b", "sink_name=hw_b sink_properties='device.description=\"Fake HW B\"' format=s16le rate=44100 "
             "channels=2"},
};

std::string fake_args(const std::string& name) {
    for (const auto& f : kFakeArgs)
        if (name == f[0]) return f[1];
    return {};
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return {};
    const size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t nl = text.find('\n', at);
        out.push_back(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    return out;
}

} // namespace

SoundServer::Kind SoundServer::kind_from_env() {
    const char* v = std::getenv("LUMAFON_TEST_SERVER");
    return v && std::string(v) == "pipewire" ? Kind::pipewire : Kind::pulseaudio;
}

SoundServer::SoundServer(Kind kind) : kind_(kind) {}

SoundServer::~SoundServer() {
    stop();
    remove_tree(dir_);
}

std::string SoundServer::log() const {
    return read_file(dir_ + "/daemon.log");
}

bool SoundServer::running() {
    return daemon_.running();
}

void SoundServer::point_clients() {
    const std::string socket = kind_ == Kind::pipewire ? dir_ + "/xdg/pulse/native" : dir_ + "/native";
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    setenv("PULSE_COOKIE", (dir_ + "/cookie").c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", (dir_ + "/client.conf").c_str(), 1);
    unsetenv("PULSE_SINK");
    unsetenv("PULSE_SOURCE");
}

bool SoundServer::start() {
    error_.clear();
    if (dir_.empty()) {
        dir_ = make_temp_dir("lumafon-sound");
        if (dir_.empty()) {
            error_ = "no temporary directory";
            return false;
        }
        for (const char* sub : {"/runtime", "/state", "/xdg", "/home", "/config"})
            mkdir((dir_ + sub).c_str(), 0700);
        write_file(dir_ + "/client.conf", "autospawn = no\n");
    }
    point_clients();
    const bool ok = kind_ == Kind::pipewire ? start_pipewire() : start_pulseaudio();
    if (!ok) {
        // Appended in two steps: "\n" + log() trips GCC 12's -Wrestrict false positive at -O3.
        error_ += '\n';
        error_ += log();
        stop();
    }
    return ok;
}

bool SoundServer::start_pulseaudio() {
    std::string script = "load-module module-native-protocol-unix socket=" + dir_ +
                         "/native auth-anonymous=1 auth-cookie-enabled=0\n";
    for (const auto& f : kFakeArgs) script += std::string("load-module module-null-sink ") + f[1] + "\n";
    // A microphone of its own is the default source, as on a desktop. Without one the server
    // takes the default sink's monitor, and when the default sink changes it moves recorders of
    // the old monitor along, the test's own recorders among them.
    script += "load-module module-null-source source_name=mic\n";
    script += "set-default-source mic\n";
    script += "set-default-sink hw_a\n";
    write_file(dir_ + "/test.pa", script);

    Child::Options opt;
    opt.stdout_file = dir_ + "/daemon.log";
    opt.env = {"HOME=" + dir_ + "/home", "XDG_RUNTIME_DIR=" + dir_ + "/xdg",
               "PULSE_RUNTIME_PATH=" + dir_ + "/runtime", "PULSE_STATE_PATH=" + dir_ + "/state",
               "XDG_CONFIG_HOME=" + dir_ + "/config"};
    const std::vector<std::string> argv = {"pulseaudio",
                                           "--daemonize=no",
                                           "-n",
                                           "--file=" + dir_ + "/test.pa",
                                           "--exit-idle-time=-1",
                                           "--disallow-exit=yes",
                                           "--use-pid-file=no",
                                           "--realtime=no",
                                           "--high-priority=no",
                                           "--no-cpu-limit=yes",
                                           "--log-target=stderr"};
    if (!daemon_.spawn(argv, opt)) {
        error_ = "pulseaudio could not be started";
        return false;
    }
    if (!wait_until([this] { return !daemon_.running() || default_sink() == "hw_a"; }, 10000, 20) ||
        !daemon_.running()) {
        error_ = "pulseaudio did not become ready";
        return false;
    }
    return true;
}

bool SoundServer::start_pipewire() {
    // The fake devices come with the server, as hardware would, and WirePlumber's remembered
    // default is hw_a. Its state (per-application targets, default history) starts clean.
    std::string cmds = "pulse.cmd = [\n";
    for (const auto& f : kFakeArgs) {
        std::string args = std::string("module-null-sink ") + f[1];
        std::string quoted;
        for (char c : args) quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
        cmds += "    { cmd = \"load-module\" args = \"" + quoted + "\" }\n";
    }
    cmds += "]\n";
    run({"mkdir", "-p", dir_ + "/config/pipewire/pipewire-pulse.conf.d"});
    write_file(dir_ + "/config/pipewire/pipewire-pulse.conf.d/fake-devices.conf", cmds);
    remove_tree(dir_ + "/state");
    run({"mkdir", "-p", dir_ + "/state/wireplumber"});
    write_file(dir_ + "/state/wireplumber/default-nodes",
               "[default-nodes]\ndefault.configured.audio.sink=hw_a\n");
    // pipewire-pulse loads the devices as it starts, which fails before pipewire answers.
    write_file(dir_ + "/run.sh", "pipewire &\n"
                                 "while [ ! -e \"$XDG_RUNTIME_DIR/pipewire-0\" ]; do sleep 0.01; done\n"
                                 "wireplumber & pipewire-pulse & wait\n");
    Child::Options opt;
    opt.stdout_file = dir_ + "/daemon.log";
    opt.own_group = true;
    opt.env = {"HOME=" + dir_ + "/home", "XDG_RUNTIME_DIR=" + dir_ + "/xdg",
               "XDG_STATE_HOME=" + dir_ + "/state", "XDG_CONFIG_HOME=" + dir_ + "/config"};
    if (!daemon_.spawn({"dbus-run-session", "--", "sh", dir_ + "/run.sh"}, opt)) {
        error_ = "dbus-run-session could not be started";
        return false;
    }
    const bool ok = wait_until(
        [this] {
            return !daemon_.running() || (default_sink() == "hw_a" && sink_index("hw_b") != 0xFFFFFFFFu);
        },
        10000, 20);
    if (!ok || !daemon_.running()) error_ = "pipewire did not become ready";
    return ok && daemon_.running();
}

void SoundServer::pause(bool on) {
    if (daemon_.pid() > 0) kill(daemon_.pid(), on ? SIGSTOP : SIGCONT);
}

void SoundServer::stop() {
    pause(false);
    daemon_.stop(3000);
}

bool SoundServer::load_fake(const std::string& name) {
    const std::string args = fake_args(name);
    if (args.empty()) return false;
    // pactl hands the words to the module's argument parser, which handles the quoting.
    std::vector<std::string> argv = {"load-module", "module-null-sink"};
    argv.push_back(args);
    return pactl(argv).status == 0 && wait_until([&] { return sink_index(name) != 0xFFFFFFFFu; }, 5000);
}

bool SoundServer::unload_sink(const std::string& name) {
    const std::vector<PaObject> sinks = pa_list("sinks");
    const PaObject* s = find_named(sinks, name);
    if (!s) return false;
    const uint32_t module = s->number("Owner Module");
    if (module == 0xFFFFFFFFu) return false;
    // That sink is gone, though a program may already have loaded another of the same name.
    // PipeWire hands out module and sink numbers again at once; its object serials are new.
    const uint32_t index = s->index;
    const std::string serial = s->prop("object.serial");
    auto gone = [&] {
        const std::vector<PaObject> now = pa_list("sinks");
        const PaObject* n = find_named(now, name);
        return !n || n->index != index || n->prop("object.serial") != serial;
    };
    return pactl({"unload-module", std::to_string(module)}).status == 0 && wait_until(gone, 10000);
}

std::string PaObject::field(const std::string& key) const {
    const auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

uint32_t PaObject::number(const std::string& key) const {
    const std::string v = field(key);
    if (v.empty() || v[0] < '0' || v[0] > '9') return 0xFFFFFFFFu;
    return static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
}

std::string PaObject::prop(const std::string& key) const {
    const auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
}

Result pactl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, 10000);
}

std::vector<PaObject> pa_list(const std::string& what) {
    std::vector<PaObject> out;
    const Result r = pactl({"list", what});
    if (r.status != 0) return out;
    for (const std::string& line : split_lines(r.out)) {
        if (line.empty()) continue;
        if (line[0] != '\t' && line[0] != ' ') {
            const size_t hash = line.find('#');
            if (hash == std::string::npos) continue;
            out.emplace_back();
            out.back().index = static_cast<uint32_t>(std::strtoul(line.c_str() + hash + 1, nullptr, 10));
            continue;
        }
        if (out.empty()) continue;
        PaObject& o = out.back();
        if (line.rfind("\t\t", 0) == 0) {
            const size_t eq = line.find(" = ");
            if (eq == std::string::npos) continue;
            std::string v = line.substr(eq + 3);
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
            o.props[trim(line.substr(0, eq))] = v;
        } else {
            const size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            o.fields[trim(line.substr(0, colon))] = trim(line.substr(colon + 1));
        }
    }
    return out;
}

std::string default_sink() {
    const Result r = pactl({"get-default-sink"});
    return r.status == 0 ? trim(r.out) : std::string();
}

const PaObject* find_named(const std::vector<PaObject>& objects, const std::string& name) {
    for (const PaObject& o : objects)
        if (o.field("Name") == name) return &o;
    return nullptr;
}

uint32_t sink_index(const std::string& name) {
    const std::vector<PaObject> sinks = pa_list("sinks");
    const PaObject* s = find_named(sinks, name);
    return s ? s->index : 0xFFFFFFFFu;
}

namespace {

std::vector<PaObject> streams_of(const std::string& what, const std::string& app_name) {
    std::vector<PaObject> out;
    for (PaObject& o : pa_list(what))
        if (o.prop("application.name") == app_name) out.push_back(std::move(o));
    return out;
}

} // namespace

std::vector<PaObject> inputs_of(const std::string& app_name) {
    return streams_of("sink-inputs", app_name);
}

std::vector<PaObject> outputs_of(const std::string& app_name) {
    return streams_of("source-outputs", app_name);
}

} // namespace testsup
