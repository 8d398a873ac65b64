#include "desktop/guard_linux.h"

#include "audio/audio_pulse.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace guard {
namespace {

std::mutex g_mtx;
int g_fd = -1;
std::string g_last;       // last "A"/"D" message
std::string g_last_state; // last "M"/"V" pair
bool g_hand_over = false;

void write_line(const std::string& message) {
    const std::string line = message + "\n";
    // One write keeps the line whole; a dead child is harmless (SIGPIPE is ignored).
    [[maybe_unused]] const ssize_t n = ::write(g_fd, line.data(), line.size());
}

void send(const std::string& message) {
    std::lock_guard<std::mutex> lock(g_mtx);
    if (g_fd < 0 || message == g_last) return;
    g_last = message;
    write_line(message);
}

[[noreturn]] void child(int fd) {
    // The watchdog must outlive the program it guards, whatever ends the program: a session of its
    // own keeps signals to the program's process group (Ctrl+C, Ctrl+Backslash, a closed terminal, a
    // SIGTERM to the group) away, and the signals that stop programs politely are ignored. It
    // listens to the pipe alone and ends at its end-of-file.
    ::setsid();
    for (int sig : {SIGINT, SIGHUP, SIGPIPE, SIGTERM, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU}) std::signal(sig, SIG_IGN);
    // The parent's crash capture must not report the child's faults as the program's.
    for (int sig : {SIGSEGV, SIGABRT, SIGFPE, SIGBUS, SIGILL, SIGTRAP}) std::signal(sig, SIG_DFL);
    ::prctl(PR_SET_NAME, "Lumaf-waechter", 0, 0, 0);

    const detail::Listener heard = detail::listen(fd);
    if (heard.must_rescue()) audio::rescue(heard.target, heard.module, heard.volume_device);
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
        } else if (line.rfind("M ", 0) == 0) {
            char* end = nullptr;
            const unsigned long m = std::strtoul(line.c_str() + 2, &end, 10);
            module = end && *end == 0 && line.size() > 2 ? static_cast<uint32_t>(m) : 0xFFFFFFFFu;
        } else if (line.rfind("V ", 0) == 0 || line == "V") {
            volume_device = line.size() > 2 ? line.substr(2) : std::string();
        }
    }
}

Listener listen(int fd) {
    Listener heard;
    char buf[512];
    bool socket = true;
    for (;;) {
        ssize_t n;
        if (socket) {
            // A socket may carry the routing lock's descriptor along with its line.
            iovec iov{buf, sizeof buf};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
            if (n < 0 && errno == ENOTSOCK) {
                socket = false;
                continue;
            }
            for (cmsghdr* c = n > 0 ? CMSG_FIRSTHDR(&msg) : nullptr; c; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
                int got = -1;
                std::memcpy(&got, CMSG_DATA(c), sizeof got);
                if (heard.lock_fd >= 0) ::close(heard.lock_fd);
                heard.lock_fd = got;
            }
        } else {
            n = ::read(fd, buf, sizeof buf);
        }
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
    g_last_state.clear();
    g_hand_over = false;
}

} // namespace detail

void start() {
    // A socket pair rather than a pipe: it ends the same way when the parent dies, and it can
    // carry the routing lock's descriptor to the child.
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0 && ::pipe(fds) != 0) return;
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

void sink_state(uint32_t module, const std::string& volume_device) {
    std::lock_guard<std::mutex> lock(g_mtx);
    const std::string m = module == 0xFFFFFFFFu ? std::string("M -") : "M " + std::to_string(module);
    const std::string v = volume_device.empty() ? std::string("V") : "V " + volume_device;
    if (g_fd < 0 || m + "\n" + v == g_last_state) return;
    g_last_state = m + "\n" + v;
    write_line(g_last_state);
}

void share_lock(int fd) {
    std::lock_guard<std::mutex> lock(g_mtx);
    if (g_fd < 0 || fd < 0) return;
    char line[] = "L\n";
    iovec iov{line, 2};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    // Over a pipe (no socket) this fails and the child simply holds no lock.
    [[maybe_unused]] const ssize_t n = ::sendmsg(g_fd, &msg, MSG_NOSIGNAL);
}

void hand_over() {
    std::lock_guard<std::mutex> lock(g_mtx);
    g_hand_over = true;
}

void stop() {
    bool orderly;
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        orderly = !g_hand_over;
    }
    if (orderly) send("Q");
    std::lock_guard<std::mutex> lock(g_mtx);
    if (g_fd >= 0) ::close(g_fd);
    g_fd = -1;
}

} // namespace guard
