// The interface's colours (see theme.h). Window thread only.
#include "ui/theme.h"

#include <cmath>

namespace theme {
namespace {

constexpr uint32_t kLight[kSlots] = {
    0xFFEEF1F5, 0xFFD9DEE6, 0xFFFFFFFF, 0xFFE8ECF1, 0xFFC5CDD8, 0x66FFFFFF, 0xFF1B222B,
    0xFF6B7784, 0xFF000000, 0xFF0A84D6, 0x440A84D6, 0xFF2A313B, 0xFFAEB8C4, 0xFFFFFFFF,
    0xFFB9C3CE, 0xFF7A8594, 0xFF8792A0, 0x14000000, 0x40000000, 0xFFE1E6ED, 0xFF12A865,
    0xFF9AA5B2, 0xFFFFFFFF, 0xFFE3EAF3, 0xFFFFFFFF, 0xFFB8860B, 0xFFD32F2F, 0x80000000,
};

constexpr uint32_t kDark[kSlots] = {
    0xFF0E1117, 0xFF06080C, 0xFF161B24, 0xFF0B0E14, 0xFF232B38, 0x22FFFFFF, 0xFFD6DEE8,
    0xFF7C8898, 0xFFFFFFFF, 0xFF27D3FF, 0x5527D3FF, 0xFF05070A, 0xFF2A3342, 0xFFE9EEF3,
    0xFF8D98A6, 0xFF4A5462, 0xFF20262F, 0x14FFFFFF, 0x33FFFFFF, 0xFF141922, 0xFF2BE38B,
    0xFF4A5462, 0xFF1D2430, 0xFF283244, 0xFF0A0D12, 0xFFE2B93B, 0xFFFF5A5A, 0xB0000000,
};

// Blue at the bass, over cyan, green and yellow, to red at the treble; equally spaced.
constexpr uint32_t kStops[8] = {
    0xFF1E5BFF, 0xFF18B4FF, 0xFF19E0C8, 0xFF3BE25A, 0xFFB8EC2A, 0xFFFFD21F, 0xFFFF8A1C, 0xFFFF3B3B,
};

bool g_dark = true;

} // namespace

const uint32_t* colors() { return g_dark ? kDark : kLight; }
void set_dark(bool dark) { g_dark = dark; }
bool dark() { return g_dark; }

uint32_t mix(uint32_t a, uint32_t b, float t) {
    // Written so that NaN falls to `a` as well.
    if (!(t > 0)) return a;
    if (t >= 1) return b;
    uint32_t out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const float ca = float((a >> shift) & 255), cb = float((b >> shift) & 255);
        out |= uint32_t(std::lround(ca + (cb - ca) * t)) << shift;
    }
    return out;
}

uint32_t with_alpha(uint32_t c, float t) {
    const float clamped = t > 1 ? 1 : (t > 0 ? t : 0);
    return (c & 0x00FFFFFFu) | uint32_t(std::lround(255 * clamped)) << 24;
}

uint32_t bar_color(float x) {
    if (!(x > 0)) return kStops[0];
    if (x >= 1) return kStops[7];
    const float scaled = 7 * x;
    const int i = int(std::floor(scaled));
    if (i >= 7) return kStops[7];
    const float f = scaled - float(i);
    if (f == 0) return kStops[i];
    return mix(kStops[i], kStops[i + 1], f);
}

} // namespace theme
