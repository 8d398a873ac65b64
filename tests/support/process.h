// Running other programs from tests: one-shot commands with their output, and long-running
// children (players, recorders, a second copy of the engine) that are stopped by their pid.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsup {

struct Result {
    int status = -1; // exit status; 128 + signal when killed; -1 when it could not run
    std::string out; // standard output
    std::string err; // standard error
};

// Runs a command to its end (killed after `timeout_ms`) with the test process's environment.
Result run(const std::vector<std::string>& argv, int timeout_ms = 15000);

// Polls `cond` every `poll_ms` until it holds or `timeout_ms` pass; returns its last value.
bool wait_until(const std::function<bool()>& cond, int timeout_ms, int poll_ms = 20);

// Some member of the process group is alive (zombies do not count).
bool group_alive(pid_t pgid);

// Monotonic milliseconds.
long long now_ms();

std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& text);
std::string make_temp_dir(const std::string& prefix);
void remove_tree(const std::string& path);
// Number of non-overlapping occurrences of `needle` in `text`.
int count_of(const std::string& text, const std::string& needle);

class Child {
  public:
    struct Options {
        bool pipe_stdin = false;
        bool pipe_stdout = false;
        std::string stdout_file;      // when not piped: standard output (and error) go here, else /dev/null
        bool own_group = false;       // a process group of its own, so that stop() reaches its children
        std::vector<std::string> env; // "NAME=value" entries added to (or replacing in) the environment
    };

    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    bool spawn(const std::vector<std::string>& argv, const Options& options);
    pid_t pid() const { return pid_; }
    bool running();
    // Sends a signal to the process (or its whole group when it has one).
    void signal(int sig);
    // Waits for the end; false on timeout. `status` as in Result.
    bool wait(int timeout_ms, int* status = nullptr);
    // The signal that ended the child according to its wait status, 0 when it exited.
    int term_signal() const { return term_signal_; }
    // SIGTERM, then SIGKILL after `grace_ms`; always reaps.
    void stop(int grace_ms = 3000);

    bool write(const std::string& text);
    void close_stdin();
    // One line of standard output without its newline; false on timeout or end of output.
    bool read_line(std::string* line, int timeout_ms);

  private:
    pid_t pid_ = -1;
    pid_t pgid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffered_;
    int status_ = -1;
    int term_signal_ = 0;
};

} // namespace testsup
