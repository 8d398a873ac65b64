// Feeds arbitrary bytes to every reader of outside text in the crash reports: a report read
// back at the next start (cleaned, shortened for a mailto: address, put into a mail body) and
// the system files behind the report's System section (os-release, /proc/cpuinfo,
// /proc/meminfo, /proc/asound/cards, dpkg's status file, .flatpak-info). Nothing may crash,
// and what comes out must be valid UTF-8 within its limits.
#include "desktop/lmcrash/lmcrash_common.h"
#include "desktop/lmcrash/lmcrash_mail_linux.h"
#include "desktop/lmcrash/lmcrash_sysinfo_linux.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace lmcrash::detail;
    const std::string raw(reinterpret_cast<const char*>(data), size);

    const std::string report = clean_text(raw);
    if (clean_text(report) != report || report.find('\0') != std::string::npos) __builtin_trap();
    const std::string body = short_body(report);
    if (body.size() > kShortBodyLimit + 6 || clean_text(body) != body) __builtin_trap();
    const std::string uri = mailto_uri("a@b.c", "s", report);
    if (uri.find_first_of(" \n\r") != std::string::npos) __builtin_trap();
    const std::string mail = mail_body(report, report);
    if (mail.size() > 48000 || clean_text(mail) != mail) __builtin_trap();

    for (const std::string& line : {os_line(raw), cpu_line(raw), ram_line(raw)})
        if (line.find('\n') != std::string::npos) __builtin_trap();
    for (const std::string& line : alsa_lines(raw))
        if (line.find('\n') != std::string::npos) __builtin_trap();
    dpkg_version(raw, "lumafon");
    ini_value(raw, "Instance", "branch");
    return 0;
}
