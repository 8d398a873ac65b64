// A small program with the crash handler armed the way the program's start-up arms it, for
// tests that need a real crash, a real next start or a real mail program.
//
//   crash_child crash SIG DIR [--thread] [--nested SIG2] [--early]
//       Sets up (log in DIR, report in DIR unless --early), logs 60 lines, then dies by SIG
//       (a real fault where the processor has one: bad pointer, abort, trap instructions,
//       division by zero, a mapping past the end of its file), on a second thread with
//       --thread; --nested makes the handler itself fault with SIG2 while it writes.
//   crash_child start DIR
//       A next start: rotates the log, then prints "pending" and the report, or "none".
//   crash_child send DIR
//       Sends the pending report and waits (up to 90 s) until the composing thread has logged
//       its outcome; prints "sent" or "nothing".
#include "core/logger.h"
#include "desktop/crash_handler_linux.h"
#include "desktop/lmcrash/lmcrash_posix.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace {

volatile uintptr_t g_bad_address = 64;
int g_nested_sig = 0;

void set_up(const std::string& dir, bool report_in_dir) {
    crash_handler::install();
    crash_handler::rotate_log(dir + "/Lumafon.log");
    logger::init(dir, "Lumafon");
    crash_handler::set_log_path(logger::file_path());
    if (report_in_dir) crash_handler::set_report_path(dir + "/crash_report.txt");
}

void sleep_ms(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

} // namespace

// Exported (the helper is linked with its symbols exported) so that backtraces can name them.
__attribute__((noinline)) void crash_by_signal(int sig) {
    switch (sig) {
    case SIGSEGV: *reinterpret_cast<volatile int*>(g_bad_address) = 1; break;
    case SIGABRT: std::abort();
    case SIGILL: __builtin_trap();
#if defined(__x86_64__)
    case SIGTRAP: __asm__ volatile("int3"); break;
    case SIGFPE: __asm__ volatile("xorl %%ecx, %%ecx\n\tdivl %%ecx" ::: "eax", "ecx", "edx"); break;
#endif
    case SIGBUS: {
        // Reading a mapped page that lies wholly past the end of its file.
        char path[] = "/tmp/crash_child_XXXXXX";
        const int fd = mkstemp(path);
        unlink(path);
        auto* page = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
        if (page != MAP_FAILED) [[maybe_unused]] volatile char c = page[0];
        break;
    }
    default: break;
    }
    raise(sig); // where no instruction of its own raises it
}

__attribute__((noinline)) void crash_on_worker_thread(int sig) {
    crash_by_signal(sig);
}

__attribute__((noinline)) void fault_inside_handler() {
    crash_by_signal(g_nested_sig);
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string mode = argv[1];
    if (mode == "crash" && argc >= 4) {
        const int sig = std::atoi(argv[2]);
        const std::string dir = argv[3];
        bool thread = false, early = false;
        for (int i = 4; i < argc; ++i) {
            if (std::strcmp(argv[i], "--thread") == 0) thread = true;
            if (std::strcmp(argv[i], "--early") == 0) early = true;
            if (std::strcmp(argv[i], "--nested") == 0 && i + 1 < argc) g_nested_sig = std::atoi(argv[++i]);
        }
        set_up(dir, !early);
        crash_handler::record_system();
        crash_handler::record_graphics({"Renderer: test renderer", "Display: 960x820"});
        crash_handler::record_audio({"Sound server: test server", "Output hw_a [default]: Fake HW A"});
        for (int i = 0; i < 60; ++i)
            logger::info("line " + std::to_string(i) + " " + std::string(40, static_cast<char>('a' + i % 26)));
        if (g_nested_sig) lmcrash::detail::set_fault_probe(fault_inside_handler);
        if (thread) {
            std::thread worker(crash_on_worker_thread, sig);
            worker.join();
        } else {
            crash_by_signal(sig);
        }
        return 3; // not reached
    }
    if (mode == "start") {
        set_up(argv[2], true);
        std::string text;
        if (crash_handler::pending_report(text))
            std::printf("pending\n%s", text.c_str());
        else
            std::printf("none\n");
        return 0;
    }
    if (mode == "send") {
        set_up(argv[2], true);
        std::string text;
        if (!crash_handler::pending_report(text)) {
            std::printf("nothing\n");
            return 0;
        }
        crash_handler::send_report();
        // The composing thread logs its outcome last.
        for (int i = 0; i < 900; ++i) {
            FILE* f = std::fopen(logger::file_path().c_str(), "r");
            std::string log;
            char buf[4096];
            size_t n;
            while (f && (n = std::fread(buf, 1, sizeof buf, f)) > 0) log.append(buf, n);
            if (f) std::fclose(f);
            if (log.find("Crash report: mail composed") != std::string::npos ||
                log.find("Crash report: no way to attach") != std::string::npos ||
                log.find("Crash report: composing was cancelled") != std::string::npos)
                break;
            sleep_ms(100);
        }
        std::printf("sent\n");
        return 0;
    }
    return 2;
}
