// Runs the engine in a process of its own, set up the way the program's window run does it
// (watchdog first, then the engine's wishes, then audio::start), and drives it by lines on
// standard input, so that tests can kill it, run two copies, or measure it from outside.
//
//   engine_host LOGDIR [--no-guard]
//   before "start":  active 0|1, output NAME|-, hint NAME|-, curve B1..B10 PREAMP
//   "start" | "start-no-takeover"   starts the engine, answers "started" (or "failed")
//   "status"          answers one line: state active output missing follow muted select
//   "mute 0|1", "active 0|1", "output NAME|-", "curve ..."   as the window would
//   "guard-stop"      tells the watchdog the end is orderly, without stopping the engine
//   "quit" or end of input: orderly stop (engine, then watchdog), exit 0
#include "audio/audio_pulse.h"
#include "core/logger.h"
#include "desktop/guard_linux.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

namespace {

std::string name_arg(std::istringstream& in) {
    std::string v;
    in >> v;
    return v == "-" ? std::string() : v;
}

void answer(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const bool guarded = !(argc > 2 && std::string(argv[2]) == "--no-guard");
    if (guarded) guard::start();
    logger::init(argv[1], "Lumafon");
    logger::info("engine host started");

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "active") {
            int on = 0;
            in >> on;
            audio::set_active(on != 0);
        } else if (cmd == "output") {
            audio::set_output(name_arg(in));
        } else if (cmd == "hint") {
            audio::set_restore_hint(name_arg(in));
        } else if (cmd == "mute") {
            int on = 0;
            in >> on;
            audio::set_mute(on != 0);
        } else if (cmd == "curve") {
            eq::Curve c;
            for (float& b : c.band) in >> b;
            in >> c.preamp;
            audio::set_curve(c);
        } else if (cmd == "start" || cmd == "start-no-takeover") {
            answer(audio::start(cmd == "start") ? "started" : "failed");
        } else if (cmd == "status") {
            const audio::Status s = audio::status();
            std::ostringstream out;
            out << s.state << ' ' << s.active << ' ' << (s.output.empty() ? "-" : s.output) << ' '
                << s.output_missing << ' ' << (s.follow.empty() ? "-" : s.follow) << ' ' << s.muted << ' '
                << s.select_output;
            answer(out.str());
        } else if (cmd == "guard-stop") {
            guard::stop();
            answer("ok");
        } else if (cmd == "quit") {
            break;
        }
    }
    audio::stop();
    guard::stop();
    logger::info("Quit");
    logger::shutdown();
    return 0;
}
