// Applies arbitrary text to a settings record, as loading an opened settings file does. The
// record must come out within its ranges whatever the text says, and what is written from it
// must read back to the same text.
#include "core/settings.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

bool gain_ok(float g) {
    return g >= -12.0f && g <= 12.0f;
}

bool curve_ok(const eq::Curve& c) {
    for (float g : c.band)
        if (!gain_ok(g)) return false;
    return gain_ok(c.preamp);
}

size_t code_points(const std::string& s) {
    size_t n = 0;
    for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

bool record_ok(const Settings& s) {
    if (!curve_ok(s.curve) || s.channel < 0 || s.channel > 2) return false;
    if (s.user_presets.size() > settings::kMaxUserPresets) return false;
    for (size_t i = 0; i < s.user_presets.size(); ++i) {
        const UserPreset& p = s.user_presets[i];
        if (p.name.empty() || code_points(p.name) > settings::kMaxNameCodePoints || !curve_ok(p.curve))
            return false;
        for (size_t j = 0; j < i; ++j)
            if (s.user_presets[j].name == p.name) return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Settings s;
    settings::deserialize(std::string(reinterpret_cast<const char*>(data), size), s);
    if (!record_ok(s)) __builtin_trap();

    const std::string text = settings::serialize(s);
    Settings again;
    settings::deserialize(text, again);
    if (!record_ok(again) || settings::serialize(again) != text) __builtin_trap();
    return 0;
}
