#include "desktop/guard_linux.h"

#include "audio/audio_pulse.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/prctl.h>
#include <unistd.h>

namespace guard {
namespace {

std::mutex g_mtx;
int g_fd = -1;
std::string g_last;

void send(const std::string& message) {
    std::lock_guard<std::mutex> lock(g_mtx);
    if (g_fd < 0 || message == g_last) return;
    g_last = message;
    const std::string line = message + "\n";
    // One write keeps the line whole; a dead child is harmless (SIGPIPE is ignored).
    [[maybe_unused]] const ssize_t n = ::write(g_fd, line.data(), line.size());
}

[[noreturn]] void child(int fd) {
    // A Ctrl+C or a closed terminal reaches the whole process group; the watchdog must outlive
    // the program it guards, so it listens to the pipe alone.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    // The parent's crash capture must not report the child's faults as the program's.
    for (int sig : {SIGSEGV, SIGABRT, SIGFPE, SIGBUS, SIGILL, SIGTRAP}) std::signal(sig, SIG_DFL);
    ::prctl(PR_SET_NAME, "Lumaf-waechter", 0, 0, 0);

    const detail::Listener heard = detail::listen(fd);
    if (heard.must_rescue()) audio::rescue(heard.target);
    ::_exit(0);
}

} // namespace

namespace detail {

void Listener::feed(const char* data, size_t size) {
    pending.append(data, size);
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (line.rfind("A ", 0) == 0) {
            target = line.substr(2);
            armed = true;
        } else if (line == "D") {
            armed = false;
        } else if (line == "Q") {
            quit = true;
        }
    }
}

Listener listen(int fd) {
    Listener heard;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        heard.feed(buf, static_cast<size_t>(n));
    }
    return heard;
}

void attach(int fd) {
    std::lock_guard<std::mutex> lock(g_mtx);
    g_fd = fd;
    g_last.clear();
}

} // namespace detail

void start() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    if (pid == 0) {
        ::close(fds[1]);
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != fds[0]) ::close(fd);
        child(fds[0]);
    }
    ::close(fds[0]);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    std::signal(SIGPIPE, SIG_IGN);
    detail::attach(fds[1]);
}

void armed(const std::string& sink) {
    send("A " + sink);
}

void disarmed() {
    send("D");
}

void stop() {
    send("Q");
    std::lock_guard<std::mutex> lock(g_mtx);
    if (g_fd >= 0) ::close(g_fd);
    g_fd = -1;
}

} // namespace guard
