// Runs a program as a child process and collects what it writes, for tests that treat the
// program (or a peer tool) as a black box.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

struct ProcResult {
    int status = -1; // exit status, or 128 + signal number when killed
    std::string out; // standard output
    std::string err; // standard error
    bool timed_out = false;
};

// argv[0] is the program (searched in PATH when it has no slash). `env` entries "NAME=value"
// are added to (or replace in) the inherited environment; "NAME=" with nothing after unsets.
ProcResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
               double timeout_s = 60);

} // namespace testing_support
