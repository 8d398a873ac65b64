// A stand-in for the window's base layer, painted through the drawing layer: a panel with a
// header, ten equaliser sliders with their labels, a row of buttons, 31 spectrum bars, two
// round meters and a status line, in logical units of the 960 x 820 reference window.
// Shared by the drawing benchmark and the sample-sheet tool, so that what is timed is what
// is looked at.
#pragma once

#include "core/i18n_data.h"
#include "render/gfx_cairo.h"
#include "resources/icon_data.h"
#include "ui/theme.h"

#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace gfx_layer {

constexpr int kWidth = 960, kHeight = 820;

// The texts of one language from the compiled-in tables, by key.
inline const char* text_of(const char* code, const char* key) {
    for (const i18n_data::Lang& lang : i18n_data::LANGS) {
        if (std::strcmp(lang.code, code) != 0) continue;
        for (int k = 0; k < i18n_data::kKeyCount; ++k)
            if (std::strcmp(i18n_data::KEYS[k], key) == 0) return lang.values[k];
    }
    return key;
}

// Paints the layer onto `cr`, whose matrix maps logical units to pixels.
inline void paint(cairo_t* cr, const char* lang = "en") {
    using gfx::Align;
    using gfx::Rect;
    const uint32_t* c = theme::colors();
    gfx::set_context(cr);
    gfx::clear(0);
    gfx::fill_round_rect_vgrad({8, 8, kWidth - 16, kHeight - 16}, 14, c[theme::kPanelTop], c[theme::kPanelBottom]);
    gfx::stroke_round_rect({8, 8, kWidth - 16, kHeight - 16}, 14, c[theme::kOutline], 1);

    // Header: icon, title, power ring, close button.
    gfx::image_png(icon_data::kPng, icon_data::kPngSize, {24, 20, 32, 32});
    gfx::text({66, 20, 300, 32}, "Lumafon", 22, c[theme::kStrokeHover], Align::Left, true);
    gfx::fill_circle(880, 36, 15, c[theme::kButton]);
    gfx::stroke_arc(880, 36, 9, 30, 330, c[theme::kGood], 2.5f);
    gfx::line(880, 25, 880, 34, c[theme::kGood], 2.5f);
    gfx::line(918, 28, 934, 44, c[theme::kTextColor], 2);
    gfx::line(934, 28, 918, 44, c[theme::kTextColor], 2);

    // Buttons with their labels.
    const char* keys[4] = {"preset", "settings", "device", "save_preset"};
    for (int i = 0; i < 4; ++i) {
        const Rect b{24 + i * 160.0f, 72, 148, 34};
        gfx::fill_round_rect(b, 8, i == 1 ? c[theme::kButtonHover] : c[theme::kButton]);
        gfx::stroke_round_rect(b, 8, c[theme::kOutline], 1);
        gfx::text(b, text_of(lang, keys[i]), 14, c[theme::kTextColor], Align::Center);
    }

    // Ten sliders and the preamp, each with its frequency and gain.
    const char* freqs[11] = {"Pre", "31", "62", "125", "250", "500", "1k", "2k", "4k", "8k", "16k"};
    for (int i = 0; i < 11; ++i) {
        const float x = 60 + i * 82.0f, gain = 9 * std::sin(i * 0.9f);
        gfx::fill_round_rect({x - 3, 150, 6, 220}, 3, c[theme::kSegmentBase]);
        const float knob = 260 - gain * 9;
        gfx::fill_round_rect_vgrad({x - 3, std::min(knob, 260.0f), 6, std::fabs(knob - 260)}, 3, c[theme::kAccent],
                                   theme::with_alpha(c[theme::kAccent], 0.4f));
        gfx::fill_circle(x, knob, 11, c[theme::kButton]);
        gfx::stroke_circle(x, knob, 11, c[theme::kAccent], 2);
        char db[16];
        std::snprintf(db, sizeof db, "%+.1f", gain);
        gfx::text({x - 40, 380, 80, 20}, db, 13, c[theme::kTextColor], Align::Center);
        gfx::text({x - 40, 400, 80, 20}, freqs[i], 13, c[theme::kStrokeHover], Align::Center, true);
    }

    // Spectrum bars over a faint area, with the status line below.
    gfx::fill_rect_vgrad({24, 440, kWidth - 48, 250}, theme::with_alpha(c[theme::kAccent], 0.08f), 0);
    float wave[64];
    for (int i = 0; i < 31; ++i) {
        const float level = 0.5f + 0.45f * std::sin(i * 0.37f) * std::cos(i * 0.11f);
        const float x = 30 + i * 29.0f, h = 230 * level;
        gfx::fill_round_rect({x, 680 - h, 22, h}, 3, theme::bar_color(float(i) / 30));
        wave[2 * i] = x + 11;
        wave[2 * i + 1] = 680 - h - 12;
    }
    gfx::polyline(wave, 31, theme::with_alpha(c[theme::kIconHover], 0.5f), 1.5f);
    for (int m = 0; m < 2; ++m) {
        const float cx = 440 + m * 120.0f;
        gfx::fill_radial(cx, 750, 30, cx - 8, 742, 2, c[theme::kButtonHover], c[theme::kPanelBottom]);
        gfx::stroke_arc(cx, 750, 26, 220, 500, c[theme::kSegmentBase], 5);
        gfx::stroke_arc(cx, 750, 26, 220, 220 + 200 * (0.6f + 0.3f * m), theme::bar_color(0.6f + 0.3f * m), 5);
    }
    gfx::text({24, 730, 380, 40}, text_of(lang, "status_active"), 14, c[theme::kGood], Align::Left);
    gfx::text_wrapped({660, 720, 270, 70}, text_of(lang, "hint_play_music"), 12, c[theme::kTextColor], Align::Right);
    gfx::set_context(nullptr);
}

} // namespace gfx_layer
