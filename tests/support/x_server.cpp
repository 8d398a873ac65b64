#include "support/x_server.h"

#include <cairo.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace testsup {

XServer::~XServer() {
    stop();
}

bool XServer::start(int w, int h, bool window_manager) {
    error_.clear();
    // -displayfd: the server picks a free display number itself and writes it to standard
    // output once it listens, so parallel test runs never race for the same number.
    Child::Options o;
    o.pipe_stdout = true;
    const std::string screen = std::to_string(w) + "x" + std::to_string(h) + "x24";
    if (!xvfb_.spawn({"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
                     o)) {
        error_ = "Xvfb cannot be started";
        return false;
    }
    std::string number;
    if (!xvfb_.read_line(&number, 15000) || number.empty()) {
        error_ = "Xvfb did not report its display";
        stop();
        return false;
    }
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
    unsetenv("XAUTHORITY");
    unsetenv("WAYLAND_DISPLAY");
    if (!wait_until([] { return run({"xdpyinfo"}, 5000).status == 0; }, 10000, 50)) {
        error_ = "Xvfb does not answer on " + display_;
        stop();
        return false;
    }
    if (!window_manager) return true;
    home_ = make_temp_dir("lumafon-wm");
    Child::Options wo;
    wo.env = {"HOME=" + home_};
    if (!wm_.spawn({"openbox", "--sm-disable"}, wo)) {
        error_ = "openbox cannot be started";
        stop();
        return false;
    }
    // openbox names itself on the root window once it manages the screen.
    if (!wait_until(
            [] {
                return run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).out.find("window id") !=
                       std::string::npos;
            },
            10000, 50)) {
        error_ = "openbox did not take the screen";
        stop();
        return false;
    }
    return true;
}

void XServer::stop() {
    wm_.stop(2000);
    xvfb_.stop(2000);
    if (!home_.empty()) remove_tree(home_);
    home_.clear();
}

bool XServer::screenshot(const std::string& png_path) {
    return run({"import", "-window", "root", png_path}, 15000).status == 0;
}

std::string find_window(const std::string& title) {
    const Result r =
        run({"xdotool", "search", "--onlyvisible", "--name", title.empty() ? "." : "^" + title + "$"});
    std::istringstream lines(r.out);
    std::string id, last;
    while (std::getline(lines, id))
        if (!id.empty()) last = id;
    return last;
}

XWindow window_info(const std::string& id) {
    XWindow w;
    if (id.empty()) return w;
    const Result r = run({"xwininfo", "-id", id});
    if (r.status != 0) return w;
    w.id = id;
    std::istringstream lines(r.out);
    std::string line;
    auto value = [&](const char* key, int* out) {
        const size_t at = line.find(key);
        if (at != std::string::npos) *out = std::atoi(line.c_str() + at + std::string(key).size());
    };
    while (std::getline(lines, line)) {
        value("Absolute upper-left X:", &w.x);
        value("Absolute upper-left Y:", &w.y);
        value("Width:", &w.w);
        value("Height:", &w.h);
        if (line.find("Map State: IsViewable") != std::string::npos) w.viewable = true;
    }
    return w;
}

XWindow wait_window(const std::string& id, bool (*pred)(const XWindow&), int timeout_ms) {
    XWindow w;
    wait_until(
        [&] {
            w = window_info(id);
            return pred(w);
        },
        timeout_ms, 50);
    return w;
}

std::string xprop(const std::string& id, const std::string& property) {
    const Result r = run({"xprop", "-id", id, property});
    if (r.status != 0 || r.out.find("not found") != std::string::npos ||
        r.out.find("no such atom") != std::string::npos)
        return "";
    return r.out;
}

std::vector<int> frame_extents(const std::string& id) {
    const std::string text = xprop(id, "_NET_FRAME_EXTENTS");
    const size_t eq = text.find('=');
    std::vector<int> v;
    if (eq == std::string::npos) return v;
    std::istringstream in(text.substr(eq + 1));
    std::string item;
    while (std::getline(in, item, ',')) v.push_back(std::atoi(item.c_str()));
    return v;
}

bool xdo(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv).status == 0;
}

Picture::Picture(const std::string& png_path) : s_(cairo_image_surface_create_from_png(png_path.c_str())) {}
Picture::~Picture() { cairo_surface_destroy(s_); }
bool Picture::ok() const { return cairo_surface_status(s_) == CAIRO_STATUS_SUCCESS; }
uint32_t Picture::at(int x, int y) const {
    if (!ok() || x < 0 || y < 0 || x >= cairo_image_surface_get_width(s_) || y >= cairo_image_surface_get_height(s_))
        return 0;
    const unsigned char* row = cairo_image_surface_get_data(s_) + y * cairo_image_surface_get_stride(s_);
    return reinterpret_cast<const uint32_t*>(row)[x] & 0xFFFFFF;
}

long pixel(const std::string& png_path, int x, int y) {
    const std::string crop = std::to_string(1) + "x1+" + std::to_string(x) + "+" + std::to_string(y);
    const Result r = run({"convert", png_path, "-crop", crop, "-depth", "8", "txt:-"});
    const size_t hash = r.out.find('#', r.out.find('\n'));
    if (r.status != 0 || hash == std::string::npos) return -1;
    return std::strtol(r.out.substr(hash + 1, 6).c_str(), nullptr, 16);
}

std::string XServer::shot(const std::string& dir, const std::string& name) {
    const char* keep = std::getenv("LUMAFON_TEST_SHOTS");
    const std::string path = (keep && *keep ? std::string(keep) : dir) + "/" + name + ".png";
    EXPECT_TRUE(screenshot(path)) << path;
    return path;
}

XServer* XSuite::x_ = nullptr;
std::string XSuite::x_error_;

void XSuite::start_x(int w, int h) {
    x_ = new XServer;
    if (!x_->start(w, h)) x_error_ = x_->error().empty() ? "X server" : x_->error();
}

void XSuite::stop_x() {
    delete x_;
    x_ = nullptr;
}

} // namespace testsup
