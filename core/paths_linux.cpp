#include "core/paths_linux.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace paths {
namespace {

const char* const kProduct = "Lumafon";
const char* const kPredecessor = "Kantilon";

// An environment variable's value, or empty when unset.
std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

void take_over_predecessor(const std::string& dir) {
    const size_t at = dir.rfind(kProduct);
    if (at == std::string::npos) return;
    std::string legacy = dir;
    legacy.replace(at, std::char_traits<char>::length(kProduct), kPredecessor);
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return;
    if (::stat(legacy.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    std::rename(legacy.c_str(), dir.c_str());
}

} // namespace

std::string config_dir() {
    std::string dir;
    if (const std::string xdg = env("XDG_CONFIG_HOME"); !xdg.empty())
        dir = xdg + "/" + kProduct;
    else if (const std::string home = env("HOME"); !home.empty())
        dir = home + "/.config/" + kProduct;
    else
        dir = std::string(".") + kProduct;
    take_over_predecessor(dir);
    create_dirs(dir, 0700); // private to the user
    return dir;
}

// Only the root is skipped: a one-letter first component of a relative path is as real as any.
void create_dirs(const std::string& dir, mode_t mode) {
    std::string prefix;
    for (size_t i = 0; i <= dir.size(); ++i) {
        if ((i == dir.size() || dir[i] == '/') && !prefix.empty() && prefix != "/")
            ::mkdir(prefix.c_str(), mode);
        if (i < dir.size()) prefix += dir[i];
    }
}

std::string package_kind() {
    if (!env("SNAP").empty()) return "snap";
    if (!env("FLATPAK_ID").empty()) return "flatpak";
    if (!env("APPDIR").empty()) return "appimage";
    return "plain";
}

std::string system_language() {
    for (const char* name : {"LUMA2_LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::string v = env(name);
        if (v.empty()) continue;
        for (char cut : {':', '.', '@'}) v = v.substr(0, v.find(cut));
        if (v.size() > 1 && v != "POSIX") return v; // "C" is one character and falls out too
    }
    return "en";
}

} // namespace paths
