// Crash reports: the machine's description, read from /etc, /proc, /sys and the package
// databases. Runs once at start on the first thread; nothing here is used by the handler, which
// only sees the finished text in the System slot.
#include "desktop/lmcrash/lmcrash_sysinfo_linux.h"

#include "desktop/lmcrash/lmcrash_common.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lmcrash {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string file_text(const std::string& path, size_t limit = 1u << 20) {
    std::string text;
    detail::read_file(path, limit, text);
    return text;
}

std::string trim(std::string s) {
    const char* ws = " \t\r\n";
    const size_t a = s.find_first_not_of(ws);
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(ws) - a + 1);
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return lines;
}

// Names in a directory (without "." and ".."), sorted; false when it cannot be opened.
bool list_dir(const std::string& dir, std::vector<std::string>& names) {
    names.clear();
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    while (dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return true;
}

// "key : value" lines as in /proc files: the value of the first line whose key is `key`.
std::string colon_value(const std::string& text, const std::string& key) {
    for (const std::string& line : split_lines(text)) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && trim(line.substr(0, colon)) == key) return trim(line.substr(colon + 1));
    }
    return {};
}

std::string gib(unsigned long long kib) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f GiB", static_cast<double>(kib) / (1024.0 * 1024.0));
    return buf;
}

// The number at the start of a meminfo value such as "16314932 kB".
bool kib_value(const std::string& value, unsigned long long& out) {
    if (value.empty() || value[0] < '0' || value[0] > '9') return false;
    out = std::strtoull(value.c_str(), nullptr, 10);
    return true;
}

std::string os_of(const detail::SysSources& src) {
    std::vector<std::string> candidates;
    std::string sandbox;
    if (!env("SNAP").empty()) {
        sandbox = "snap";
        candidates = {"/var/lib/snapd/hostfs/etc/os-release", "/var/lib/snapd/hostfs/usr/lib/os-release"};
    } else if (!env("FLATPAK_ID").empty()) {
        sandbox = "flatpak";
        candidates = {"/run/host/os-release", "/run/host/etc/os-release", "/run/host/usr/lib/os-release"};
    } else {
        candidates = {"/etc/os-release", "/usr/lib/os-release"};
    }
    for (const std::string& c : candidates) {
        const std::string text = file_text(src.root + c, 65536);
        if (!text.empty()) return detail::os_line(text);
    }
    if (!sandbox.empty()) return "OS: host not readable from the sandbox; sandbox: " + sandbox;
    return "OS: unknown (no os-release)";
}

std::string session_line() {
    const auto or_dash = [](const std::string& v) { return v.empty() ? std::string("-") : v; };
    std::string lang = env("LC_ALL");
    if (lang.empty()) lang = env("LANG");
    std::string line = "Session: desktop " + or_dash(env("XDG_CURRENT_DESKTOP")) + ", type " +
                       or_dash(env("XDG_SESSION_TYPE")) + ", lang " + or_dash(lang);
    if (!env("DISPLAY").empty()) line += ", X";
    if (!env("WAYLAND_DISPLAY").empty()) line += ", Wayland";
    return line;
}

// The names under which a package database may list the running file (merged /usr: a file in
// /usr/bin may be registered as /bin).
std::vector<std::string> owned_names(const std::string& exe) {
    std::vector<std::string> names{exe};
    if (exe.rfind("/usr/", 0) == 0) names.push_back(exe.substr(4));
    else names.push_back("/usr" + exe);
    return names;
}

bool lists_file(const std::string& list_text, const std::vector<std::string>& names, const std::string& prefix) {
    for (const std::string& line : split_lines(list_text))
        for (const std::string& n : names)
            if (prefix + line == n) return true;
    return false;
}

std::string dpkg_owner(const detail::SysSources& src, const std::vector<std::string>& names) {
    const std::string info = src.root + "/var/lib/dpkg/info/";
    std::vector<std::string> files;
    if (!list_dir(info, files)) return {};
    // The program's own package first, so that the usual case reads one small file.
    const std::string id = detail::app().short_id;
    std::stable_partition(files.begin(), files.end(),
                          [&](const std::string& f) { return !id.empty() && f.rfind(id, 0) == 0; });
    for (const std::string& f : files) {
        if (f.size() < 6 || f.compare(f.size() - 5, 5, ".list") != 0) continue;
        if (!lists_file(file_text(info + f, 16u << 20), names, "")) continue;
        std::string package = f.substr(0, f.size() - 5);
        package = package.substr(0, package.find(':')); // "name:arch"
        const std::string version =
            detail::dpkg_version(file_text(src.root + "/var/lib/dpkg/status", 64u << 20), package);
        return "deb " + package + (version.empty() ? "" : " " + version);
    }
    return {};
}

std::string rpm_owner(const detail::SysSources& src) {
    if (!src.root.empty() || ::access("/usr/bin/rpm", X_OK) != 0) return {};
    const gchar* argv[] = {"/usr/bin/rpm", "-qf", "--qf", "%{NAME} %{VERSION}-%{RELEASE}", src.exe.c_str(), nullptr};
    gchar* out = nullptr;
    gint status = -1;
    const gboolean ran = g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_STDERR_TO_DEV_NULL,
                                      nullptr, nullptr, &out, nullptr, &status, nullptr);
    std::string owner = ran && out && g_spawn_check_wait_status(status, nullptr) ? trim(out) : "";
    g_free(out);
    return owner.empty() || owner.find('\n') != std::string::npos ? "" : "rpm " + owner;
}

std::string pacman_owner(const detail::SysSources& src, const std::vector<std::string>& names) {
    const std::string local = src.root + "/var/lib/pacman/local/";
    std::vector<std::string> packages;
    if (!list_dir(local, packages)) return {};
    for (const std::string& p : packages) {
        const std::string files = file_text(local + p + "/files", 16u << 20);
        if (!lists_file(files, names, "/")) continue;
        const std::vector<std::string> desc = split_lines(file_text(local + p + "/desc", 1u << 20));
        std::string name = p, version;
        for (size_t i = 0; i + 1 < desc.size(); ++i) {
            if (desc[i] == "%NAME%") name = desc[i + 1];
            if (desc[i] == "%VERSION%") version = desc[i + 1];
        }
        return "pacman " + name + (version.empty() ? "" : " " + version);
    }
    return {};
}

std::string package_line(const detail::SysSources& src) {
    if (!env("SNAP").empty()) {
        std::string name = env("SNAP_INSTANCE_NAME");
        if (name.empty()) name = env("SNAP_NAME");
        return "Package: snap " + name + " " + env("SNAP_VERSION") + " rev " + env("SNAP_REVISION");
    }
    if (!env("FLATPAK_ID").empty()) {
        const std::string info = file_text(src.root + "/.flatpak-info", 65536);
        std::string line = "Package: flatpak " + env("FLATPAK_ID");
        const std::string branch = detail::ini_value(info, "Instance", "branch");
        const std::string commit = detail::ini_value(info, "Instance", "app-commit");
        if (!branch.empty()) line += " branch " + branch;
        if (!commit.empty()) line += " commit " + commit;
        return line;
    }
    if (!env("APPDIR").empty()) {
        const std::string file = env("APPIMAGE");
        return "Package: appimage " + (file.empty() ? env("APPDIR") : file);
    }
    // Package managers install into the system's directories only; a build in a home directory
    // is not worth reading the databases for.
    const bool system_file = src.exe.rfind("/usr/", 0) == 0 || src.exe.rfind("/opt/", 0) == 0 ||
                             src.exe.rfind("/bin/", 0) == 0 || src.exe.rfind("/sbin/", 0) == 0;
    if (system_file) {
        const std::vector<std::string> names = owned_names(src.exe);
        for (const std::string& owner : {dpkg_owner(src, names), rpm_owner(src), pacman_owner(src, names)})
            if (!owner.empty()) return "Package: " + owner;
    }
    return "Package: not owned";
}

std::string strip_hex(std::string s) {
    s = trim(s);
    return s.rfind("0x", 0) == 0 ? s.substr(2) : s;
}

void gpu_lines(const detail::SysSources& src, std::vector<std::string>& out) {
    const std::string drm = src.root + "/sys/class/drm/";
    std::vector<std::string> entries;
    if (!list_dir(drm, entries)) {
        out.push_back("GPUs: /sys/class/drm not readable");
        return;
    }
    size_t found = 0;
    for (const std::string& e : entries) {
        // card0, card1 ...; connectors such as card0-HDMI-A-1 are not cards.
        if (e.rfind("card", 0) != 0 || e.size() == 4 ||
            e.find_first_not_of("0123456789", 4) != std::string::npos)
            continue;
        ++found;
        const std::string dev = drm + e + "/device/";
        std::string line = "GPU " + e + ":";
        const std::string vendor = strip_hex(file_text(dev + "vendor", 64));
        if (!vendor.empty()) {
            line += " PCI " + vendor + ":" + strip_hex(file_text(dev + "device", 64));
            const std::string sub_vendor = strip_hex(file_text(dev + "subsystem_vendor", 64));
            if (!sub_vendor.empty())
                line += " (subsystem " + sub_vendor + ":" + strip_hex(file_text(dev + "subsystem_device", 64)) + ")";
        }
        char target[512];
        const ssize_t n = ::readlink((dev + "driver").c_str(), target, sizeof target - 1);
        if (n > 0) {
            const std::string link(target, static_cast<size_t>(n));
            line += ", driver " + link.substr(link.rfind('/') + 1);
        }
        const std::string boot_vga = trim(file_text(dev + "boot_vga", 64));
        if (!boot_vga.empty()) line += ", boot_vga " + boot_vga;
        out.push_back(line);
    }
    if (found == 0) out.push_back("GPUs: none in /sys/class/drm");
}

std::string running_file() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

} // namespace

namespace detail {

std::string os_release_value(const std::string& text, const std::string& key) {
    for (const std::string& raw : split_lines(text)) {
        const std::string line = trim(raw);
        if (line.rfind(key + "=", 0) != 0) continue;
        const std::string v = line.substr(key.size() + 1);
        if (v.empty() || (v[0] != '"' && v[0] != '\'')) return v;
        // Quoted: up to the matching quote; backslash escapes inside double quotes.
        std::string out;
        for (size_t i = 1; i < v.size() && v[i] != v[0]; ++i) {
            if (v[0] == '"' && v[i] == '\\' && i + 1 < v.size()) ++i;
            out += v[i];
        }
        return out;
    }
    return {};
}

std::string os_line(const std::string& os_release) {
    std::string name = os_release_value(os_release, "PRETTY_NAME");
    if (name.empty()) name = trim(os_release_value(os_release, "NAME") + " " + os_release_value(os_release, "VERSION"));
    if (name.empty()) name = "unknown";
    const std::string like = os_release_value(os_release, "ID_LIKE");
    return "OS: " + name + (like.empty() ? "" : ", like " + like);
}

std::string cpu_line(const std::string& cpuinfo) {
    int threads = 0;
    for (const std::string& line : split_lines(cpuinfo)) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && trim(line.substr(0, colon)) == "processor") ++threads;
    }
    std::string model;
    for (const char* key : {"model name", "Model", "Hardware", "cpu model", "cpu"}) {
        model = colon_value(cpuinfo, key);
        if (!model.empty()) break;
    }
    if (model.empty()) model = "unknown";
    return "CPU: " + model + ", " + std::to_string(threads) + (threads == 1 ? " thread" : " threads");
}

std::string ram_line(const std::string& meminfo) {
    unsigned long long total = 0, available = 0;
    if (!kib_value(colon_value(meminfo, "MemTotal"), total)) return "RAM: unknown";
    std::string line = "RAM: " + gib(total);
    if (kib_value(colon_value(meminfo, "MemAvailable"), available)) line += ", available " + gib(available);
    return line;
}

std::vector<std::string> alsa_lines(const std::string& cards) {
    std::vector<std::string> out;
    for (const std::string& line : split_lines(cards)) {
        // " 0 [PCH            ]: HDA-Intel - HDA Intel PCH"; continuation lines are indented text.
        const size_t digits = line.find_first_not_of(' ');
        if (digits == std::string::npos || line[digits] < '0' || line[digits] > '9') continue;
        const size_t open = line.find('[', digits);
        const size_t close = line.find("]:", digits);
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        const std::string number = trim(line.substr(digits, open - digits));
        if (number.find_first_not_of("0123456789") != std::string::npos) continue;
        out.push_back("ALSA card " + number + " (" + trim(line.substr(open + 1, close - open - 1)) +
                      "): " + trim(line.substr(close + 2)));
    }
    if (out.empty()) out.push_back("ALSA cards: none");
    return out;
}

std::string dpkg_version(const std::string& status, const std::string& package) {
    bool in_package = false;
    for (const std::string& line : split_lines(status)) {
        if (line.empty()) in_package = false;
        else if (line.rfind("Package: ", 0) == 0) in_package = trim(line.substr(9)) == package;
        else if (in_package && line.rfind("Version: ", 0) == 0) return trim(line.substr(9));
    }
    return {};
}

std::string ini_value(const std::string& text, const std::string& section, const std::string& key) {
    bool in_section = false;
    for (const std::string& raw : split_lines(text)) {
        const std::string line = trim(raw);
        if (!line.empty() && line[0] == '[') in_section = line == "[" + section + "]";
        else if (in_section && line.rfind(key + "=", 0) == 0) return trim(line.substr(key.size() + 1));
    }
    return {};
}

std::vector<std::string> system_lines(const SysSources& src) {
    std::vector<std::string> lines;
    lines.push_back(os_of(src));
    lines.push_back(cpu_line(file_text(src.root + "/proc/cpuinfo")));
    lines.push_back(ram_line(file_text(src.root + "/proc/meminfo")));
    lines.push_back(session_line());
    lines.push_back(package_line(src));
    gpu_lines(src, lines);
    std::string cards;
    if (read_file(src.root + "/proc/asound/cards", 1u << 20, cards)) {
        for (std::string& l : alsa_lines(cards)) lines.push_back(std::move(l));
    } else {
        lines.push_back("ALSA cards: not readable");
    }
    return lines;
}

} // namespace detail

std::vector<std::string> system_lines() {
    return detail::system_lines(detail::SysSources{"", running_file()});
}

void record_system() {
    const std::vector<std::string> lines = system_lines();
    std::string joined;
    for (const std::string& l : lines) {
        detail::log_info("System: " + l);
        if (l.rfind("Package: ", 0) == 0) detail::set_fixed(detail::fixed().package, l.substr(9));
        joined += (joined.empty() ? "" : "\n") + l;
    }
    set_context(kSystem, joined);
}

} // namespace lmcrash
