// The one record the program remembers between runs, and its file "settings.dat" in the
// configuration directory. On disk the record is a key=value text, sealed as a whole
// (core/save_crypt.h) so that a file changed outside the program is detected; such a file is
// moved aside (never deleted) and the defaults are used instead.
#pragma once

#include "dsp/eq_dsp.h"

#include <string>
#include <vector>

struct UserPreset {
    std::string name; // 1 to 32 code points of UTF-8, unique within the list
    eq::Curve curve;
};

struct Settings {
    eq::Curve curve = eq::standard_curve();
    std::string preset = "b:preset_standard"; // "b:" + built-in key or "u:" + user preset name
    std::vector<UserPreset> user_presets;
    bool active = true;
    bool active_on_start = true;
    bool compact = false;
    bool compact_on_top = true;
    std::string output;       // chosen output device; empty: the engine decides
    std::string last_default; // the system default device before the takeover
    int channel = 0;          // analyser input: 0 both averaged, 1 left, 2 right
    std::string language = "auto";
    std::string theme = "dark";
    int win_x = -1, win_y = -1, win_w = 0, win_h = 0; // -1: no position, 0: no size remembered
    bool collapsed = true;
    bool head_folded = true;
    bool flash_notice_seen = false;
    bool reduce_flashes = false;
    int mini_x = -1, mini_y = -1, mini_w = 0, mini_h = 0; // the compact window, same conventions
};

namespace settings {

constexpr size_t kMaxUserPresets = 100;
constexpr size_t kMaxNameCodePoints = 32;

// The configuration directory + "/settings.dat".
std::string file_path();
// Never fails: the defaults, overlaid with whatever the file provides.
Settings load();
// Replaces the file by renaming a complete new one over it; false (and logged) otherwise, in
// which case the previous file is untouched.
bool save(const Settings& s);
// For the self-test: seals and opens a fixed sample, then checks that one changed bit is refused.
void seal_selftest(bool& roundtrip_ok, bool& tamper_detected);

// The plain text of a record, and the application of such a text to a record: keys that are
// absent or unusable leave their fields alone, values are clamped to their ranges.
std::string serialize(const Settings& s);
void deserialize(const std::string& text, Settings& s);

} // namespace settings
