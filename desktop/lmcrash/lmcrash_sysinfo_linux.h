// Crash reports: the description of the machine that goes into every report (distribution,
// CPU, memory, session, how the program was installed, graphics and sound cards). Computed once
// at start on the first thread by record_system (lmcrash_common.h); pure text work otherwise.
#pragma once

#include <string>
#include <vector>

namespace lmcrash {

// One line each: "OS: ", "CPU: ", "RAM: ", "Session: ", "Package: ", then "GPU"/"GPUs" and
// "ALSA card"/"ALSA cards" lines.
std::vector<std::string> system_lines();

namespace detail {

// Where the facts are read. Tests point `root` at a made-up tree; `exe` is the running file.
struct SysSources {
    std::string root; // prefix for /etc, /proc, /sys, /var, /run ("" for the real system)
    std::string exe;  // the running program's file
};
std::vector<std::string> system_lines(const SysSources& src);

// The parsers of outside text, each total on any input.
// A key of an os-release file, unquoted and unescaped ("" when missing).
std::string os_release_value(const std::string& text, const std::string& key);
// "OS: " + pretty name [+ ", like " + family] from an os-release file's text.
std::string os_line(const std::string& os_release);
// "CPU: " + model + thread count, from /proc/cpuinfo.
std::string cpu_line(const std::string& cpuinfo);
// "RAM: " + total + ", available " + available, from /proc/meminfo.
std::string ram_line(const std::string& meminfo);
// "ALSA card" lines from /proc/asound/cards.
std::vector<std::string> alsa_lines(const std::string& cards);
// The version of `package` in a dpkg status file ("" when not installed).
std::string dpkg_version(const std::string& status, const std::string& package);
// A key's value in one section of an INI-style file such as .flatpak-info.
std::string ini_value(const std::string& text, const std::string& section, const std::string& key);

} // namespace detail
} // namespace lmcrash
