// The run's log: time-stamped lines of three levels in one file per run, flushed per line.
// Never reports a failure; lines logged while the log is closed go nowhere.
#pragma once

#include <string>

namespace logger {

void init(const std::string& dir, const std::string& name);
void shutdown();
std::string file_path();
void info(const std::string& msg);
void warn(const std::string& msg);
void error(const std::string& msg);

} // namespace logger
