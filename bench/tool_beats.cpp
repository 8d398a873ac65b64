// Runs the beat tracker (and with it the kick detector) over a sound file faster than real
// time, through the same code the window uses, with a simulated display delay of 60 ms.
//
//   tool_beats FILE.wav
//
// FILE is a mono or stereo 48 kHz WAV. Prints one line per released event: its kind (k kick,
// c clap, b beat) and its release time less the display delay, in seconds of the file: the
// moment of the sound the event belongs to (a kick released on time prints its onset).
#include "support/beat_run.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.wav\n", argv[0]);
        return 2;
    }
    testsup::Sound sound;
    std::string error;
    if (!testsup::read_wav(argv[1], &sound, &error)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
        return 1;
    }
    for (const testsup::BeatEvent& e : testsup::run_beats(sound, 0.060))
        std::printf("%c %.3f\n", e.kind, e.at);
    return 0;
}
