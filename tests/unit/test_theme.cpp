// Theme colours: the palettes and their switch, the colour helpers' rounding and clamping,
// and the bar gradient, which must run smoothly through every one of its stops.
#include "ui/theme.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

int channel_gap(uint32_t a, uint32_t b) {
    int gap = 0;
    for (int shift = 0; shift < 32; shift += 8)
        gap = std::max(gap, std::abs(int((a >> shift) & 255) - int((b >> shift) & 255)));
    return gap;
}

TEST(Theme, PalettesSwitchAndKeepTheirRoles) {
    EXPECT_TRUE(theme::dark()); // the first start is dark
    const uint32_t* dark = theme::colors();
    EXPECT_EQ(dark[theme::kAccent], 0xFF27D3FFu);
    EXPECT_EQ(dark[theme::kBackdrop], 0xB0000000u);
    EXPECT_EQ(dark[0], 0xFF0E1117u);
    theme::set_dark(false);
    EXPECT_FALSE(theme::dark());
    const uint32_t* light = theme::colors();
    EXPECT_EQ(light[theme::kAccent], 0xFF0A84D6u);
    EXPECT_EQ(light[theme::kError], 0xFFD32F2Fu);
    EXPECT_EQ(light[theme::kSlots - 1], 0x80000000u);
    // Text stands out from the panel in both palettes.
    for (const uint32_t* p : {dark, light})
        EXPECT_GT(channel_gap(p[theme::kTextColor], p[theme::kPanelTop]), 80);
    theme::set_dark(true);
    EXPECT_EQ(theme::colors(), dark);
}

TEST(Theme, MixAndAlphaRoundAndClamp) {
    EXPECT_EQ(theme::mix(0xFF000000, 0xFFFFFFFF, 0.5f), 0xFF808080u); // 127.5 rounds up
    EXPECT_EQ(theme::mix(0x12345678, 0x9ABCDEF0, -1), 0x12345678u);
    EXPECT_EQ(theme::mix(0x12345678, 0x9ABCDEF0, 0), 0x12345678u);
    EXPECT_EQ(theme::mix(0x12345678, 0x9ABCDEF0, 1), 0x9ABCDEF0u);
    EXPECT_EQ(theme::mix(0x12345678, 0x9ABCDEF0, 7), 0x9ABCDEF0u);
    EXPECT_EQ(theme::mix(0x00000000, 0xFF000000, 0.25f), 0x40000000u); // alpha mixes too
    EXPECT_EQ(theme::with_alpha(0x12345678, 0.5f), 0x80345678u);
    EXPECT_EQ(theme::with_alpha(0x12345678, 2) >> 24, 0xFFu);
    EXPECT_EQ(theme::with_alpha(0xFF345678, -1), 0x00345678u);
}

TEST(Theme, BarColourRunsContinuouslyThroughEveryStop) {
    const uint32_t stops[8] = {0xFF1E5BFF, 0xFF18B4FF, 0xFF19E0C8, 0xFF3BE25A,
                               0xFFB8EC2A, 0xFFFFD21F, 0xFFFF8A1C, 0xFFFF3B3B};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(theme::bar_color(float(i) / 7), stops[i]) << i;
    EXPECT_EQ(theme::bar_color(-3), stops[0]);
    EXPECT_EQ(theme::bar_color(1.0f), stops[7]);
    EXPECT_EQ(theme::bar_color(7.0f), stops[7]);
    EXPECT_EQ(theme::bar_color(0.5f), theme::mix(stops[3], stops[4], 0.5f));

    // Swept in small steps: no jumps, and it passes within a step of every stop.
    int met = 0;
    uint32_t last = theme::bar_color(0);
    for (int k = 1; k <= 70000; ++k) {
        const uint32_t c = theme::bar_color(k / 70000.0f);
        EXPECT_LE(channel_gap(c, last), 1) << k;
        if (k % 10000 == 0) met += c == stops[k / 10000];
        last = c;
    }
    EXPECT_EQ(met, 7);
}

} // namespace
