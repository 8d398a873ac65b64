// Crash reports: sending one (`lmcrash::send`, declared in lmcrash_common.h). The report and
// crash log are renamed to their "-sent" names on the calling thread; a detached thread then
// opens the user's mail program with the report attached: Thunderbird when it is the desktop's
// mail handler, else the desktop's e-mail portal, else xdg-email, and as the last resort a
// mailto: address with a shortened body plus the folder that holds the files. Nothing is sent
// without the user pressing send in the mail program.
#pragma once

#include <string>
#include <vector>

namespace lmcrash::detail {

// "a/crash_report.txt" -> "a/crash_report-sent.txt"; a name without ".txt" gets "-sent.txt".
std::string sent_name(const std::string& path);
// RFC 3986: everything but letters, digits and "-._~" as %XX.
std::string percent_encode(const std::string& text);

constexpr size_t kShortBodyLimit = 6000;
// The report shortened for a mailto: address: the oldest log lines go first, then the end.
std::string short_body(const std::string& report);
std::string mailto_uri(const std::string& recipient, const std::string& subject, const std::string& report);

// The body that goes with attachments: an introduction, the report and the crashed run's log
// as text. Both parts are bounded (the files themselves are attached whole), so that the body
// always fits into a process argument and a D-Bus message.
std::string mail_body(const std::string& report, const std::string& crash_log);

struct Mail {
    std::string recipient;
    std::string subject;
    std::string body;                     // for the routes with attachments
    std::string report;                   // for the mailto: fallback
    std::string folder;                   // where the files are, opened by the fallback
    std::vector<std::string> attachments; // existing files only
};

// Tries the routes in order on the calling thread and logs the outcome.
void compose(const Mail& mail);

} // namespace lmcrash::detail
