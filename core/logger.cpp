#include "core/logger.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace logger {
namespace {

std::mutex g_m;
std::string g_path;
FILE* g_f = nullptr;

void write_line(const char* level, const std::string& msg) {
    std::lock_guard<std::mutex> lock(g_m);
    if (!g_f) return;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::fprintf(g_f, "%02d:%02d:%02d %s ", local.tm_hour, local.tm_min, local.tm_sec, level);
    std::fwrite(msg.data(), 1, msg.size(), g_f);
    std::fputc('\n', g_f);
    std::fflush(g_f);
}

} // namespace

void init(const std::string& dir, const std::string& name) {
    std::lock_guard<std::mutex> lock(g_m);
    if (g_f) return;
    g_path = dir + "/" + name + ".log";
    g_f = std::fopen(g_path.c_str(), "we"); // close-on-exec: children must not inherit the log
}

void shutdown() {
    std::lock_guard<std::mutex> lock(g_m);
    if (g_f) std::fclose(g_f);
    g_f = nullptr;
}

std::string file_path() {
    std::lock_guard<std::mutex> lock(g_m);
    return g_path;
}

void info(const std::string& msg) {
    write_line("INFO ", msg);
}
void warn(const std::string& msg) {
    write_line("WARN ", msg);
}
void error(const std::string& msg) {
    write_line("ERROR", msg);
}

} // namespace logger
