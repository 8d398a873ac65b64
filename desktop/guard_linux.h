// The watchdog: a child process forked early at start that gives the user's sound back should
// the program die while its virtual sink holds the default.
//
// The parent tells the child over a pipe, one text line per message: "A <sink>" (armed: restore
// this sink), "D" (disarmed: nothing to restore), "Q" (orderly exit). When the pipe reaches
// end-of-file while armed and without "Q", the parent has died and the child rescues the sound
// server on a connection of its own, then exits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace guard {

// Forks the watchdog. Must run before any thread exists; without a pipe or a fork the program
// simply runs unguarded.
void start();
void armed(const std::string& sink);
void disarmed();
// What the rescue needs besides the device to restore: the module of our sink ("M <n>") and the
// device whose volume was carried into it ("V <sink>", empty: none).
void sink_state(uint32_t module, const std::string& volume_device);
// Hands the watchdog a copy of the routing lock's descriptor ("L" with the descriptor attached), so
// that no new copy starts routing before a rescue is complete.
void share_lock(int fd);
// The engine could not finish its clean-up: stop() closes the pipe without the quit message, so
// that the watchdog finishes the job.
void hand_over();
// Marks the end as orderly and closes the pipe. A second call does nothing.
void stop();

// The protocol's two ends, open to the tests.
namespace detail {

// The child's view of the pipe: bytes are assembled into lines across reads.
struct Listener {
    std::string pending;
    std::string target;
    bool armed = false;
    bool quit = false;
    uint32_t module = 0xFFFFFFFFu;
    std::string volume_device;
    int lock_fd = -1; // the routing lock, kept open until the child ends

    void feed(const char* data, size_t size);
    bool must_rescue() const { return armed && !quit; }
};

// Reads `fd` until end-of-file or an error (interrupted reads are repeated). Descriptors sent
// along (over a socket) are kept as the lock.
Listener listen(int fd);

// Makes `fd` the parent's write end, as start() does after forking.
void attach(int fd);

} // namespace detail
} // namespace guard
