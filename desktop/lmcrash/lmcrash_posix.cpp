// Crash reports on POSIX systems: the one-shot handler for the fatal signals and the report
// writer. install() runs on the first thread at start; the handler runs on whichever thread
// crashed.
#include "desktop/lmcrash/lmcrash_posix.h"

#include "desktop/lmcrash/lmcrash_common.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace lmcrash {
namespace {

constexpr int kSignals[] = {SIGILL, SIGTRAP, SIGSEGV, SIGABRT, SIGFPE, SIGBUS};
constexpr int kMaxFrames = 48;

// State of the handler itself, touched only with atomic operations.
std::atomic<int> g_owner{0};     // thread id of the thread writing a report, 0 while none
std::atomic<int> g_first_sig{0}; // the signal that report is for
std::atomic<int> g_report_fd{-1};
std::atomic<void (*)()> g_probe{nullptr};

// A stack for the handler, so that a stack overflow on the first thread can still be reported.
alignas(16) char g_alt_stack[64 * 1024];

// =============================================================================================
// Signal-safe section. Everything from here to the end of the section may run inside the
// signal handler, on any thread, with the program in any state. Allowed: open, write, close,
// stat, pread, time, uname, getenv, backtrace, backtrace_symbols_fd, raise, sigaction,
// sigprocmask, nanosleep, the gettid system call, and plain computation on the stack or on
// the fixed buffers. Not allowed: new/malloc (also hidden in std::string and friends), stdio,
// mutexes, anything that logs.
// =============================================================================================

// The log tail lives here rather than on the stack, which may be the small alternate one.
char g_tail[detail::kTailSize];

void put_n(int fd, const char* s, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, s, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        s += w;
        n -= static_cast<size_t>(w);
    }
}

void put(int fd, const char* s) {
    put_n(fd, s, std::strlen(s));
}

void put_line(int fd, const char* label, const char* value) {
    put(fd, label);
    put(fd, value);
    put(fd, "\n");
}

void put_dec(int fd, long long v) {
    char digits[24];
    size_t i = sizeof digits;
    const bool negative = v < 0;
    unsigned long long u = negative ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
        digits[--i] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (negative) digits[--i] = '-';
    put_n(fd, digits + i, sizeof digits - i);
}

// A variable's value when it is set and not empty, else null.
const char* env_value(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

void probe_point() {
    if (void (*probe)() = g_probe.load()) probe();
}

const char* signal_name(int sig) {
    switch (sig) {
    case SIGILL: return "SIGILL (Illegal instruction)";
    case SIGTRAP: return "SIGTRAP (Trap - usually a fatal GLib/GTK error)";
    case SIGABRT: return "SIGABRT (Abort)";
    case SIGBUS: return "SIGBUS (Bus error)";
    case SIGFPE: return "SIGFPE (Floating point exception)";
    case SIGSEGV: return "SIGSEGV (Segmentation fault)";
    default: return "unknown signal";
    }
}

// The last kTailSize bytes of the log, from the first full line on.
void put_log_tail(int fd, const char* log_path) {
    struct stat st {};
    if (!*log_path || ::stat(log_path, &st) != 0 || st.st_size <= 0) return;
    const int log = ::open(log_path, O_RDONLY | O_CLOEXEC);
    if (log < 0) return;
    const off_t size = st.st_size;
    const bool whole = size <= static_cast<off_t>(detail::kTailSize);
    const off_t from = whole ? 0 : size - static_cast<off_t>(detail::kTailSize);
    const ssize_t got = ::pread(log, g_tail, whole ? static_cast<size_t>(size) : detail::kTailSize, from);
    ::close(log);
    if (got <= 0) return;
    size_t start = 0;
    if (!whole) {
        while (start < static_cast<size_t>(got) && g_tail[start] != '\n') ++start;
        ++start; // past the newline; beyond the end when there was none, and nothing is shown
    }
    if (start < static_cast<size_t>(got)) put_n(fd, g_tail + start, static_cast<size_t>(got) - start);
}

void put_report(int fd, int sig) {
    const detail::Fixed& f = detail::fixed();
    put(fd, "=== ");
    put(fd, f.name.get());
    put(fd, " crash report ===\n");
    put(fd, "Version: ");
    put(fd, f.version.get());
    put(fd, " (Build ");
    put(fd, f.build.get());
    put(fd, ")\n");
    if (*f.package.get()) put_line(fd, "Package: ", f.package.get());
    if (const char* rev = env_value("SNAP_REVISION")) put_line(fd, "Snap revision: ", rev);
    put_line(fd, "Signal: ", signal_name(sig));

    const long long now = static_cast<long long>(::time(nullptr));
    put(fd, "\nTime (unix): ");
    put_dec(fd, now);
    put(fd, "\n");
    if (const long long start = f.start_time.load(); start > 0) {
        put(fd, "Running for (s): ");
        put_dec(fd, now - start);
        put(fd, "\n");
    }
    struct utsname u {};
    if (::uname(&u) == 0) {
        put(fd, "System: ");
        put(fd, u.sysname);
        put(fd, " ");
        put(fd, u.release);
        put(fd, " ");
        put(fd, u.machine);
        put(fd, "\n");
    }
    if (const char* desktop = env_value("XDG_CURRENT_DESKTOP")) put_line(fd, "Desktop: ", desktop);
    if (const char* session = env_value("XDG_SESSION_TYPE")) put_line(fd, "Session: ", session);
    probe_point();

    put(fd, "\nBacktrace:\n");
    void* frames[kMaxFrames];
    const int depth = ::backtrace(frames, kMaxFrames);
    ::backtrace_symbols_fd(frames, depth, fd); // symbolises straight into the file, no allocation

    const char* const titles[] = {"\n--- Graphics ---\n", "\n--- Audio ---\n", "\n--- System ---\n"};
    for (int slot = 0; slot < 3; ++slot) {
        const char* text = f.context[slot].get();
        if (!*text) continue;
        put(fd, titles[slot]);
        put(fd, text);
        if (text[std::strlen(text) - 1] != '\n') put(fd, "\n");
    }

    put(fd, "\nLog (last lines before the crash):\n");
    put_log_tail(fd, f.log_path.get());
    put(fd, "\nLog file:\n  ");
    put(fd, *f.log_path.get() ? f.log_path.get() : "(unknown)");
    put(fd, "\n=== end of report ===\n");
}

void write_report_file(int sig) {
    const int fd = ::open(detail::fixed().report_path.get(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    g_report_fd.store(fd);
    put_report(fd, sig);
    if (g_report_fd.exchange(-1) == fd) ::close(fd); // unless a fault inside closed it already
}

// Ends the process by `sig` with its default action: termination, and a core dump where the
// system keeps them.
[[noreturn]] void die_by(int sig) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr); // the kernel blocks it while its handler runs
    ::raise(sig);
    ::_exit(128 + sig); // not reached: the default action of every handled signal terminates
}

// A fault while this very thread writes a report: mark where the report stops and end the
// process by the first signal, which is what the report is about.
[[noreturn]] void nested_fault(int sig) {
    const int fd = g_report_fd.exchange(-1);
    if (fd >= 0) {
        put(fd, "\n[The report stops here: ");
        put(fd, signal_name(sig));
        put(fd, " inside the crash handler]\n");
        ::close(fd);
    }
    die_by(g_first_sig.load());
}

// Another thread is writing its report; the process ends with that one. Should it hang, end
// by this thread's signal after a while.
[[noreturn]] void wait_for_owner(int sig) {
    for (int i = 0; i < 100; ++i) {
        timespec ts{0, 100 * 1000 * 1000};
        ::nanosleep(&ts, nullptr);
    }
    die_by(sig);
}

void on_fatal_signal(int sig) {
    const int tid = static_cast<int>(::syscall(SYS_gettid));
    int owner = 0;
    if (!g_owner.compare_exchange_strong(owner, tid)) {
        if (owner == tid) nested_fault(sig);
        wait_for_owner(sig);
    }
    g_first_sig.store(sig);
    write_report_file(sig);
    die_by(sig);
}

// ===================================================================== end of signal-safe section

void install_alt_stack() {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return; // keep theirs
    stack_t ss{};
    ss.ss_sp = g_alt_stack;
    ss.ss_size = sizeof g_alt_stack;
    ::sigaltstack(&ss, nullptr);
}

// The early report path: the runtime directory, else the temporary one.
std::string early_report_path(const std::string& name) {
    const char* dir = env_value("XDG_RUNTIME_DIR");
    if (!dir) dir = env_value("TMPDIR");
    if (!dir) dir = "/tmp";
    return std::string(dir) + "/" + name + "_crash.txt";
}

} // namespace

namespace detail {

const char* signal_text(int sig) {
    return signal_name(sig);
}

void write_report(int sig) {
    write_report_file(sig);
}

void set_fault_probe(void (*probe)()) {
    g_probe.store(probe);
}

} // namespace detail

void install(const App& app) {
    detail::set_app(app);
    detail::Fixed& f = detail::fixed();
    detail::set_fixed(f.name, app.name);
    detail::set_fixed(f.version, app.version);
    detail::set_fixed(f.build, app.build);
    detail::set_fixed(f.report_path, early_report_path(app.name));
    f.start_time.store(static_cast<long long>(::time(nullptr)));

    // The first backtrace loads the unwinder library; do it now, not inside the handler.
    void* frame[1];
    ::backtrace(frame, 1);

    install_alt_stack();
    struct sigaction sa {};
    sa.sa_handler = on_fatal_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_ONSTACK; // one-shot: a fault in the handler ends the process
    for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
}

} // namespace lmcrash
