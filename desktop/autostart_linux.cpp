#include "desktop/autostart_linux.h"

#include "core/logger.h"
#include "core/paths_linux.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace autostart {
namespace {

const char* const kEntryName = "Lumafon.desktop";
const char* const kProduct = "Lumafon";
const char* const kIcon = "lumafon";

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Empty when unknown. Inside a snap HOME is the snap's own home, which the session's autostart
// does not read from; the snap then has no business with SNAP_REAL_HOME either.
std::string directory() {
    std::string home;
    if (!env("SNAP").empty()) {
        home = env("HOME");
    } else {
        home = env("SNAP_REAL_HOME");
        if (home.empty()) home = env("HOME");
    }
    return home.empty() ? "" : home + "/.config/autostart";
}

std::string entry_path() {
    const std::string dir = directory();
    return dir.empty() ? "" : dir + "/" + kEntryName;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// One argument of an Exec line. Two layers of escaping apply: the quoting of the argument
// (a backslash before " $ ` and \) and then the string escapes of the file format (which double
// every backslash and spell line breaks and tabs \n \r \t). A percent sign would start a field code.
std::string quote(const std::string& arg) {
    std::string q = "\"";
    for (char c : arg) {
        if (c == '\\')
            q += "\\\\\\\\";
        else if (c == '"' || c == '$' || c == '`')
            q += std::string("\\\\") + c;
        else if (c == '%')
            q += "%%";
        else if (c == '\n') // a raw line break would end the entry's line
            q += "\\n";
        else if (c == '\r')
            q += "\\r";
        else if (c == '\t')
            q += "\\t";
        else
            q += c;
    }
    return q + "\"";
}

std::string start_command() {
    if (const std::string snap = env("SNAP_NAME"); !snap.empty()) return snap;
    if (const std::string flatpak = env("FLATPAK_ID"); !flatpak.empty()) return "flatpak run " + flatpak;
    if (const std::string appimage = env("APPIMAGE"); !appimage.empty()) return quote(appimage);
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    return n > 0 ? quote(std::string(exe, static_cast<size_t>(n))) : kProduct;
}

std::string icon() {
    if (const std::string snap = env("SNAP_NAME"); !snap.empty())
        return "/snap/" + snap + "/current/meta/gui/icon.png";
    if (const std::string flatpak = env("FLATPAK_ID"); !flatpak.empty()) return flatpak;
    return kIcon;
}

std::string entry_text(const std::string& args) {
    std::string exec = start_command();
    if (!args.empty()) exec += " " + args;
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Lumafon\n"
           "Comment=Equalizer fuer das ganze System\n"
           "Exec=" +
           exec + "\nIcon=" + icon() +
           "\n"
           "Terminal=false\n"
           "Categories=AudioVideo;Audio;Mixer;\n"
           "X-GNOME-Autostart-Delay=3\n"
           "X-GNOME-Autostart-enabled=true\n";
}

// Through a temporary file, so that a failed write leaves any previous entry whole.
bool write_entry(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "we");
    if (!f) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) == 0 && written && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
    std::remove(tmp.c_str());
    return false;
}

// The string escapes of the file format: \s \r \t \n, and a backslash before anything else
// stands for that character.
std::string unescape(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '\\' && i + 1 < value.size()) {
            c = value[++i];
            if (c == 's')
                c = ' ';
            else if (c == 'r')
                c = '\r';
            else if (c == 't')
                c = '\t';
            else if (c == 'n')
                c = '\n';
        }
        out += c;
    }
    return out;
}

// The program of a command line: a quoted first argument with its escapes resolved, or the text
// up to the first blank.
std::string program_of(const std::string& command) {
    const std::string line = unescape(command);
    std::string program;
    if (!line.empty() && line[0] == '"') {
        for (size_t i = 1; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) ++i;
            program += line[i];
        }
    } else {
        program = line.substr(0, line.find(' '));
    }
    std::string out;
    for (size_t i = 0; i < program.size(); ++i) {
        out += program[i];
        if (program[i] == '%' && i + 1 < program.size() && program[i + 1] == '%') ++i;
    }
    return out;
}

bool is_appimage(const std::string& program) {
    if (program.find("/.mount_") != std::string::npos) return true;
    const std::string suffix = ".appimage";
    if (program.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        const char c = program[program.size() - suffix.size() + i];
        if (std::tolower(static_cast<unsigned char>(c)) != suffix[i]) return false;
    }
    return true;
}

// Gone for sure: a file that merely cannot be examined is not replaced.
bool is_gone(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

} // namespace

bool enabled() {
    const std::string path = entry_path();
    return !path.empty() && exists(path);
}

bool set(bool on, const std::string& args) {
    const std::string dir = directory();
    if (dir.empty()) return false;
    const std::string path = dir + "/" + kEntryName;
    if (!on) {
        std::remove(path.c_str());
        logger::info("Autostart removed");
        return !exists(path);
    }
    paths::create_dirs(dir, 0755);
    if (!write_entry(path, entry_text(args))) logger::error("Autostart not writable: " + path);
    const bool ok = enabled();
    logger::info(ok ? "Autostart enabled" : "Autostart NOT enabled");
    return ok;
}

std::string command() {
    const std::string path = entry_path();
    if (path.empty()) return {};
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Exec=", 0) == 0) return line.substr(5);
    return {};
}

void repair() {
    if (!enabled()) return;
    const std::string program = program_of(command());
    if (env("APPIMAGE").empty() || !is_appimage(program)) return;
    if (program.find('/') == std::string::npos || !is_gone(program)) return;
    set(true);
    logger::info("Autostart rewritten, its program was gone: " + program);
}

void migrate() {
    if (!directory().empty()) repair();
}

} // namespace autostart
