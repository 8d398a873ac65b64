// Console output of the command-line modes: raw writes to standard output, no locking.
// Only the main thread writes; a failed or short write stops quietly.
#pragma once

#include <string>

namespace con {

void print(const std::string& text);
void printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace con
