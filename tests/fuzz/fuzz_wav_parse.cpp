// Reads arbitrary bytes as a WAV file, as the beat tool does with the file it is given. Whatever
// the bytes, the result is either a refusal with a reason or two channels of equal length whose
// samples are finite and within full scale.
#include "support/beat_run.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    testsup::Sound sound;
    std::string error;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (!testsup::parse_wav(bytes, &sound, &error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (sound.left.size() != sound.right.size()) std::abort();
    for (size_t i = 0; i < sound.frames(); ++i)
        if (!(std::fabs(sound.left[i]) <= 1.0f) || !(std::fabs(sound.right[i]) <= 1.0f)) std::abort();
    return 0;
}
