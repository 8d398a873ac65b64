#include "support/process.h"

#include "support/temp_env.h"

#include <filesystem>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace testsup {
namespace {

std::vector<std::string> merged_env(const std::vector<std::string>& extra) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        vars[kv.substr(0, kv.find('='))] = kv;
    }
    for (const std::string& kv : extra) vars[kv.substr(0, kv.find('='))] = kv;
    std::vector<std::string> out;
    for (auto& [name, kv] : vars) out.push_back(kv);
    return out;
}

std::vector<char*> c_strings(std::vector<std::string>& v) {
    std::vector<char*> out;
    for (std::string& s : v) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int decode(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
    return -1;
}

void sleep_for_ms(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// The full path of a program, searched in PATH like a shell would.
std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= dirs.size()) {
        const size_t colon = dirs.find(':', at);
        const std::string dir = dirs.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
        const std::string full = (dir.empty() ? "." : dir) + "/" + name;
        if (access(full.c_str(), X_OK) == 0) return full;
        if (colon == std::string::npos) break;
        at = colon + 1;
    }
    return {};
}

} // namespace

bool group_alive(pid_t pgid) {
    // kill(-pgid, 0) also answers for zombies, which nobody may reap here: read the states.
    DIR* proc = opendir("/proc");
    if (!proc) return false;
    bool alive = false;
    while (dirent* e = readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        const std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos) continue;
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (std::sscanf(stat.c_str() + paren + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3 && pgrp == pgid &&
            state != 'Z' && state != 'X') {
            alive = true;
            break;
        }
    }
    closedir(proc);
    return alive;
}

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool wait_until(const std::function<bool()>& cond, int timeout_ms, int poll_ms) {
    const long long end = now_ms() + timeout_ms;
    for (;;) {
        if (cond()) return true;
        if (now_ms() >= end) return cond();
        sleep_for_ms(poll_ms);
    }
}

std::string read_file(const std::string& path) {
    return test_support::read_file(path).value_or("");
}

bool write_file(const std::string& path, const std::string& text) {
    return test_support::write_file(path, text);
}

std::string make_temp_dir(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (!mkdtemp(tmpl.data())) return {};
    return tmpl;
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    if (path.size() > 5) std::filesystem::remove_all(path, ec);
}

int count_of(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

Result run(const std::vector<std::string>& argv, int timeout_ms) {
    Result r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return r;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return r;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<std::string> args = argv;
    std::vector<std::string> env = merged_env({});
    std::vector<char*> cargs = c_strings(args);
    std::vector<char*> cenv = c_strings(env);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, cargs[0], &fa, nullptr, cargs.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        return r;
    }
    const long long end = now_ms() + timeout_ms;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    bool killed = false;
    while (open_fds > 0) {
        const long long left = end - now_ms();
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        const int n = poll(fds, 2, left > 0 ? static_cast<int>(left) : 200);
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (pollfd& p : fds)
        if (p.fd >= 0) close(p.fd);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    r.status = decode(wstatus);
    return r;
}

Child::~Child() {
    stop(1000);
}

bool Child::spawn(const std::vector<std::string>& argv, const Options& options) {
    // Writing to a child that died must fail, not end the test.
    if (options.pipe_stdin) std::signal(SIGPIPE, SIG_IGN);
    const std::string path = find_program(argv.at(0));
    if (path.empty()) return false;
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (options.pipe_stdin && pipe2(in, O_CLOEXEC) != 0) return false;
    if (options.pipe_stdout && pipe2(out, O_CLOEXEC) != 0) return false;
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    const int file_fd =
        options.pipe_stdout || options.stdout_file.empty()
            ? -1
            : open(options.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int child_in = options.pipe_stdin ? in[0] : null_fd;
    const int child_out = options.pipe_stdout ? out[1] : (file_fd >= 0 ? file_fd : null_fd);
    const int child_err = options.pipe_stdout ? null_fd : child_out;
    std::vector<std::string> args = argv;
    std::vector<std::string> env = merged_env(options.env);
    std::vector<char*> cargs = c_strings(args);
    std::vector<char*> cenv = c_strings(env);
    const pid_t parent = getpid();

    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec: the test process has threads.
        if (options.own_group) setpgid(0, 0);
        // A test that dies must not leave its daemons and players behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(child_in, 0);
        dup2(child_out, 1);
        dup2(child_err, 2);
        execve(path.c_str(), cargs.data(), cenv.data());
        _exit(127);
    }
    for (int fd : {in[0], out[1], null_fd, file_fd})
        if (fd >= 0) close(fd);
    if (pid_ < 0) {
        pid_ = -1;
        for (int fd : {in[1], out[0]})
            if (fd >= 0) close(fd);
        return false;
    }
    in_ = in[1];
    out_ = out[0];
    pgid_ = options.own_group ? pid_ : -1;
    status_ = -1;
    term_signal_ = 0;
    buffered_.clear();
    return true;
}

bool Child::running() {
    if (pid_ <= 0) return false;
    int wstatus = 0;
    const pid_t r = waitpid(pid_, &wstatus, WNOHANG);
    if (r == pid_) {
        status_ = decode(wstatus);
        term_signal_ = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
        pid_ = -1;
        return false;
    }
    return r == 0;
}

void Child::signal(int sig) {
    if (pgid_ > 0)
        kill(-pgid_, sig);
    else if (pid_ > 0)
        kill(pid_, sig);
}

bool Child::wait(int timeout_ms, int* status) {
    const bool ended = wait_until([this] { return !running(); }, timeout_ms, 5);
    if (ended && status) *status = status_;
    return ended;
}

void Child::stop(int grace_ms) {
    close_stdin();
    if (pid_ > 0) {
        signal(SIGTERM);
        if (!wait(grace_ms)) {
            signal(SIGKILL);
            wait(5000);
        }
    }
    if (pgid_ > 0) {
        // Members of the group may outlive its leader for a moment.
        const pid_t g = pgid_;
        auto gone = [g] { return !group_alive(g); };
        if (!wait_until(gone, grace_ms, 10)) {
            kill(-g, SIGKILL);
            wait_until(gone, 2000, 10);
        }
        pgid_ = -1;
    }
    if (out_ >= 0) close(out_);
    out_ = -1;
}

bool Child::write(const std::string& text) {
    if (in_ < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void Child::close_stdin() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

bool Child::read_line(std::string* line, int timeout_ms) {
    const long long end = now_ms() + timeout_ms;
    for (;;) {
        const size_t nl = buffered_.find('\n');
        if (nl != std::string::npos) {
            *line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return true;
        }
        if (out_ < 0) return false;
        const long long left = end - now_ms();
        if (left <= 0) return false;
        pollfd p{out_, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        char buf[4096];
        const ssize_t got = read(out_, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            close(out_);
            out_ = -1;
            continue;
        }
        buffered_.append(buf, static_cast<size_t>(got));
    }
}

} // namespace testsup
