// tsan
// The watchdog's pipe protocol over a real pipe: what the parent writes, and how the child reads.
#include "desktop/guard_linux.h"

#include "support/process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using guard::detail::Listener;

namespace {

// Everything the read end yields until end-of-file.
std::string drain(int fd) {
    std::string out;
    char buf[256];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// The child's verdict after the given writes (each its own write call) and end-of-file.
Listener listen_to(const std::vector<std::string>& writes) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        for (const std::string& w : writes) {
            EXPECT_EQ(write(fds[1], w.data(), w.size()), static_cast<ssize_t>(w.size()));
            // Let the reader take each piece by itself, so that lines arrive split.
            testsup::wait_until([] { return false; }, 20, 20);
        }
        close(fds[1]);
    });
    const Listener heard = guard::detail::listen(fds[0]);
    writer.join();
    close(fds[0]);
    return heard;
}

} // namespace

TEST(Guard, LinesAreAssembledAcrossReads) {
    Listener heard = listen_to({"A hw", "_a\nA alsa_output.pci-0000_00_1f.3.analog", "-stereo\n"});
    EXPECT_TRUE(heard.armed);
    EXPECT_EQ(heard.target, "alsa_output.pci-0000_00_1f.3.analog-stereo");
    EXPECT_TRUE(heard.must_rescue());
    EXPECT_EQ(heard.pending, "");

    // The same without a pipe, byte by byte.
    Listener l;
    for (char c : std::string("A x y\nD\nA z\n")) l.feed(&c, 1);
    EXPECT_EQ(l.target, "z");
    EXPECT_TRUE(l.armed);
}

TEST(Guard, WhatTheChildDoesAtEndOfFile) {
    EXPECT_TRUE(listen_to({"A hw_a\n"}).must_rescue());
    EXPECT_FALSE(listen_to({"A hw_a\nD\n"}).must_rescue());
    EXPECT_FALSE(listen_to({}).must_rescue());
    // An orderly quit, even while armed, leaves nothing to do.
    EXPECT_FALSE(listen_to({"A hw_a\n", "Q\n"}).must_rescue());
    EXPECT_FALSE(listen_to({"Q\n", "A hw_a\n"}).must_rescue());
    // Unknown lines and an unfinished last line are ignored.
    const Listener odd = listen_to({"A hw_a\nX\nAhw_b\nD", ""});
    EXPECT_TRUE(odd.must_rescue());
    EXPECT_EQ(odd.target, "hw_a");
}

TEST(Guard, ModuleVolumeDeviceAndTheLockReachTheChild) {
    Listener l;
    const std::string lines = "M 23\nV hw_a\nA hw_b\n";
    l.feed(lines.data(), lines.size());
    EXPECT_EQ(l.module, 23u);
    EXPECT_EQ(l.volume_device, "hw_a");
    EXPECT_EQ(l.target, "hw_b");
    const std::string none = "M -\nV\n";
    l.feed(none.data(), none.size());
    EXPECT_EQ(l.module, 0xFFFFFFFFu);
    EXPECT_EQ(l.volume_device, "");

    // Over a socket the routing lock's descriptor comes along; the parent's end can then close.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int lock_pipe[2];
    ASSERT_EQ(pipe(lock_pipe), 0);
    guard::detail::attach(sv[0]);
    guard::share_lock(lock_pipe[0]);
    guard::sink_state(7, "hw_a");
    guard::sink_state(7, "hw_a"); // once
    guard::armed("hw_a");
    guard::hand_over();
    guard::stop(); // without "Q": the watchdog finishes the job
    close(lock_pipe[0]);
    const Listener heard = guard::detail::listen(sv[1]);
    EXPECT_TRUE(heard.must_rescue());
    EXPECT_EQ(heard.module, 7u);
    EXPECT_EQ(heard.volume_device, "hw_a");
    ASSERT_GE(heard.lock_fd, 0);
    // The descriptor is the same pipe: what is written at the other end arrives there.
    ASSERT_EQ(write(lock_pipe[1], "k", 1), 1);
    char c = 0;
    EXPECT_EQ(read(heard.lock_fd, &c, 1), 1);
    EXPECT_EQ(c, 'k');
    close(heard.lock_fd);
    close(lock_pipe[1]);
    close(sv[1]);
}

TEST(Guard, ParentSendsEachChangeOnceAndStopsOnce) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    guard::detail::attach(fds[1]);
    guard::armed("hw_a");
    guard::armed("hw_a");
    guard::armed("hw_b");
    guard::disarmed();
    guard::disarmed();
    guard::armed("hw_b");
    guard::stop();
    guard::stop(); // finds no pipe: nothing
    guard::armed("hw_a");
    EXPECT_EQ(drain(fds[0]), "A hw_a\nA hw_b\nD\nA hw_b\nQ\n");
    close(fds[0]);
}
