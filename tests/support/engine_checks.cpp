#include "support/engine_checks.h"

#include "core/logger.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sstream>

namespace testsup {

namespace {

std::string g_log_dir;

void remove_log_dir() {
    logger::shutdown();
    remove_tree(g_log_dir);
}

} // namespace

std::string engine_log_path() {
    static const std::string path = [] {
        g_log_dir = make_temp_dir("lumafon-log");
        logger::init(g_log_dir, "engine");
        std::atexit(remove_log_dir);
        return logger::file_path();
    }();
    return path;
}

size_t engine_log_size() {
    return read_file(engine_log_path()).size();
}

std::string engine_log_since(size_t offset) {
    const std::string all = read_file(engine_log_path());
    return offset < all.size() ? all.substr(offset) : std::string();
}

void default_wishes() {
    audio::set_output("");
    audio::set_restore_hint("");
    audio::set_curve(eq::Curve{});
    audio::set_active(true);
}

bool wait_status(const std::function<bool(const audio::Status&)>& cond, int timeout_ms) {
    return wait_until([&] { return cond(audio::status()); }, timeout_ms, 10);
}

uint32_t input_sink(const std::string& app_name) {
    for (const PaObject& in : inputs_of(app_name)) return in.number("Sink");
    return 0xFFFFFFFFu;
}

uint32_t playback_sink() {
    return input_sink("Lumafon");
}

uint32_t record_source() {
    for (const PaObject& out : outputs_of("Lumafon")) return out.number("Source");
    return 0xFFFFFFFFu;
}

uint32_t monitor_of(const std::string& sink) {
    const std::vector<PaObject> sinks = pa_list("sinks");
    const PaObject* s = find_named(sinks, sink);
    if (!s) return 0xFFFFFFFFu;
    const std::vector<PaObject> sources = pa_list("sources");
    const PaObject* m = find_named(sources, s->field("Monitor Source"));
    return m ? m->index : 0xFFFFFFFFu;
}

bool routed_to(const std::string& target, const std::string& app_name) {
    const uint32_t own = sink_index(audio::kSinkName);
    return own != 0xFFFFFFFFu && default_sink() == audio::kSinkName && input_sink(app_name) == own &&
           playback_sink() == sink_index(target) && record_source() == monitor_of(audio::kSinkName);
}

bool given_back_to(const std::string& sink, const std::string& app_name) {
    return default_sink() == sink && input_sink(app_name) == sink_index(sink) &&
           sink_index(audio::kSinkName) == 0xFFFFFFFFu;
}

std::vector<PaObject> own_sinks() {
    std::vector<PaObject> out;
    for (PaObject& s : pa_list("sinks")) {
        const std::string name = s.field("Name");
        if (name == "lumafon" || name.rfind("lumafon.", 0) == 0) out.push_back(std::move(s));
    }
    return out;
}

int volume_percent(const std::string& sink) {
    const std::vector<PaObject> sinks = pa_list("sinks");
    const PaObject* s = find_named(sinks, sink);
    if (!s) return -1;
    const std::string v = s->field("Volume");
    const size_t slash = v.find('/');
    return slash == std::string::npos ? -1 : std::atoi(v.c_str() + slash + 1);
}

pid_t EngineHost::watchdog_pid() const {
    DIR* proc = opendir("/proc");
    if (!proc) return -1;
    pid_t found = -1;
    while (dirent* e = readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        const std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
        const size_t paren = stat.rfind(')');
        char state = 0;
        long ppid = 0;
        if (paren != std::string::npos && std::sscanf(stat.c_str() + paren + 1, " %c %ld", &state, &ppid) == 2 &&
            ppid == child_.pid() && state != 'Z')
            found = static_cast<pid_t>(std::atol(e->d_name));
    }
    closedir(proc);
    return found;
}

bool EngineHost::start(const std::string& log_dir, const std::vector<std::string>& setup, bool takeover,
                       bool own_group) {
    log_dir_ = log_dir;
    Child::Options opt;
    opt.pipe_stdin = true;
    opt.pipe_stdout = true;
    opt.own_group = own_group;
    if (!child_.spawn({ENGINE_HOST_BIN, log_dir}, opt)) return false;
    for (const std::string& line : setup)
        if (!send(line)) return false;
    return ask(takeover ? "start" : "start-no-takeover") == "started";
}

bool EngineHost::launch(const std::string& log_dir, const std::vector<std::string>& setup) {
    log_dir_ = log_dir;
    Child::Options opt;
    opt.pipe_stdin = true;
    opt.pipe_stdout = true;
    if (!child_.spawn({ENGINE_HOST_BIN, log_dir}, opt)) return false;
    for (const std::string& line : setup)
        if (!send(line)) return false;
    return true;
}

bool EngineHost::started(int timeout_ms) {
    std::string answer;
    return child_.read_line(&answer, timeout_ms) && answer == "started";
}

bool EngineHost::send(const std::string& line) {
    return child_.write(line + "\n");
}

std::string EngineHost::ask(const std::string& line, int timeout_ms) {
    std::string answer;
    if (!send(line) || !child_.read_line(&answer, timeout_ms)) return {};
    return answer;
}

EngineHost::State EngineHost::state() {
    State s;
    std::istringstream in(ask("status"));
    in >> s.state >> s.active >> s.output >> s.missing >> s.follow >> s.muted >> s.select;
    if (s.output == "-") s.output.clear();
    if (s.follow == "-") s.follow.clear();
    return s;
}

bool EngineHost::wait_state(const std::function<bool(const State&)>& cond, int timeout_ms) {
    return wait_until([&] { return cond(state()); }, timeout_ms, 20);
}

bool EngineHost::quit(int timeout_ms) {
    int status = -1;
    return send("quit") && child_.wait(timeout_ms, &status) && status == 0;
}

void EngineHost::kill_hard() {
    child_.signal(SIGKILL);
    child_.wait(5000);
}

std::string EngineHost::log() const {
    return read_file(log_dir_ + "/Lumafon.log");
}

} // namespace testsup
