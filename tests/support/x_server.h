// A private X server for the window tests: Xvfb (with Mesa's GLX) on a display number it picks
// itself, and optionally openbox as window manager. Starting it points this process's X clients
// (xdotool, xprop, import, the program under test) at it through DISPLAY. Both are stopped by
// their pids, never by name.
#pragma once

#include "support/process.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

typedef struct _cairo_surface cairo_surface_t;

namespace testsup {

class XServer {
  public:
    XServer() = default;
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // Starts Xvfb with a screen of w x h and waits until it answers; with `window_manager` also
    // openbox, waiting until it manages the screen. False (see error()) on failure.
    bool start(int w = 1920, int h = 1200, bool window_manager = true);
    void stop();
    const std::string& display() const { return display_; }
    const std::string& error() const { return error_; }

    // Writes a picture of the whole screen.
    bool screenshot(const std::string& png_path);
    // A screenshot named `name`, kept in LUMAFON_TEST_SHOTS when that names a directory, else in
    // `dir`; its path (the test records a failure when none could be taken).
    std::string shot(const std::string& dir, const std::string& name);

  private:
    Child xvfb_;
    Child wm_;
    std::string display_;
    std::string home_;
    std::string error_;
};

// A test suite's one X server: started before its first test, stopped after its last. A window
// suite derives from it, calls start_x/stop_x from SetUpTestSuite/TearDownTestSuite, and checks
// x_error_ in SetUp.
class XSuite : public ::testing::Test {
  protected:
    static void start_x(int w, int h);
    static void stop_x();
    static XServer* x_;
    static std::string x_error_;
};

// A top-level window as the X server and the window manager see it.
struct XWindow {
    std::string id; // empty: none found
    int x = 0, y = 0, w = 0, h = 0;
    bool viewable = false;
};

// The newest window whose title is exactly `title` (any window for an empty title).
std::string find_window(const std::string& title);
// Geometry (position relative to the root, without frame) and map state.
XWindow window_info(const std::string& id);
// Waits until `pred` holds for the window; returns the last reading.
XWindow wait_window(const std::string& id, bool (*pred)(const XWindow&), int timeout_ms = 5000);
// The frame the window manager drew around the window: left, right, top, bottom.
std::vector<int> frame_extents(const std::string& id);
// One property of a window as xprop prints it ("" when absent).
std::string xprop(const std::string& id, const std::string& property);
// Runs xdotool with these arguments; true on success.
bool xdo(const std::vector<std::string>& args);
// A screenshot read back for pixel checks: at() gives 0xRRGGBB, 0 outside the picture.
class Picture {
  public:
    explicit Picture(const std::string& png_path);
    ~Picture();
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;
    bool ok() const;
    uint32_t at(int x, int y) const;

  private:
    cairo_surface_t* s_ = nullptr;
};

// The colour of one screen pixel as 0xRRGGBB (-1 on failure), read from a screenshot.
long pixel(const std::string& png_path, int x, int y);

} // namespace testsup
