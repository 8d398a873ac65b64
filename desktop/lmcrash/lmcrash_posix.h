// Crash reports on POSIX systems: installing the one-shot handler for the fatal signals and
// writing the report from inside it (`lmcrash::install` is declared in lmcrash_common.h).
//
// The handler may run on any thread. It reads only the fixed buffers of lmcrash_common and
// uses only async-signal-safe calls: no allocation, no stdio, no locks.
//
// Sanitizer builds: AddressSanitizer installs its own handlers for SIGSEGV, SIGBUS and SIGFPE
// at start-up and lets a program replace them (its allow_user_segv_handler default), so once
// `install` has run these signals produce this program's report instead of the sanitizer's
// "SEGV on unknown address" text. Memory errors that the sanitizers detect themselves do not
// go through signals and are reported by them as before. The sanitizer's alternate signal
// stack, where it has set one up, is kept.
#pragma once

namespace lmcrash::detail {

// "SIGSEGV (Segmentation fault)" and the like; "unknown signal" outside the six of 4..11.
const char* signal_text(int sig);

// Writes the report for `sig` to the report path, exactly as the handler does, but returns
// instead of raising the signal. Async-signal-safe.
void write_report(int sig);

// Called by the handler between two sections of the report while `probe` is set. Tests set
// it to fault inside the handler; nothing else may.
void set_fault_probe(void (*probe)());

} // namespace lmcrash::detail
