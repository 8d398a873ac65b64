// The drawing layer, checked on the pixels of cairo image surfaces: shapes, gradients and
// clips; text measuring, placement and fitting; every script of the interface texts; the
// overlap checker's log; the program icon; and bad input of every kind.
#include "core/i18n_data.h"
#include "fuzz/fuzz_image_png.cpp"
#include "render/gfx_cairo.h"
#include "resources/icon_data.h"
#include "support/temp_env.h"
#include "ui/theme.h"

#include <gtest/gtest.h>

#include <cairo.h>
#include <pango/pangocairo.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using gfx::Align;
using gfx::Rect;

const std::string kSourceDir = LUMAFON_SOURCE_DIR;
constexpr uint32_t kWhite = 0xFFFFFFFF;
constexpr uint32_t kRed = 0xFFFF0000;
constexpr uint32_t kBlue = 0xFF0000FF;

// A transparent surface made current for the drawing layer for the test's lifetime.
class Canvas : public ::testing::Test {
  protected:
    static constexpr int kW = 200, kH = 120;

    void SetUp() override {
        ASSERT_TRUE(gfx::init());
        surface_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kW, kH);
        cr_ = cairo_create(surface_);
        gfx::set_context(cr_);
    }
    void TearDown() override {
        EXPECT_EQ(cairo_status(cr_), CAIRO_STATUS_SUCCESS) << "a call left the context broken";
        gfx::set_context(nullptr);
        cairo_destroy(cr_);
        cairo_surface_destroy(surface_);
        gfx::shutdown();
    }

    // The pixel as 0xAARRGGBB, un-premultiplied.
    uint32_t at(int x, int y) {
        cairo_surface_flush(surface_);
        const unsigned char* row = cairo_image_surface_get_data(surface_) + y * cairo_image_surface_get_stride(surface_);
        const uint32_t p = reinterpret_cast<const uint32_t*>(row)[x];
        const uint32_t a = p >> 24;
        if (a == 0) return 0;
        uint32_t out = a << 24;
        for (int shift = 0; shift < 24; shift += 8)
            out |= std::min<uint32_t>(255, (((p >> shift) & 255) * 255 + a / 2) / a) << shift;
        return out;
    }
    int alpha(int x, int y) { return int(at(x, y) >> 24); }
    // Count of pixels that are not fully transparent.
    int inked() {
        int n = 0;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                n += alpha(x, y) != 0;
        return n;
    }
    // The bounding box of the inked pixels as {left, top, right, bottom}, or all -1.
    std::vector<int> ink_box() {
        std::vector<int> box{kW, kH, -1, -1};
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                if (alpha(x, y) > 64)
                    box = {std::min(box[0], x), std::min(box[1], y), std::max(box[2], x), std::max(box[3], y)};
        return box[2] < 0 ? std::vector<int>{-1, -1, -1, -1} : box;
    }
    std::vector<unsigned char> pixels() {
        cairo_surface_flush(surface_);
        const unsigned char* d = cairo_image_surface_get_data(surface_);
        return {d, d + cairo_image_surface_get_stride(surface_) * kH};
    }

    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
};

int channel_gap(uint32_t a, uint32_t b) {
    int gap = 0;
    for (int shift = 0; shift < 32; shift += 8)
        gap = std::max(gap, std::abs(int((a >> shift) & 255) - int((b >> shift) & 255)));
    return gap;
}

// Every shape of the layer once, across the canvas, in the two colours given.
void draw_every_shape(uint32_t a, uint32_t b) {
    const float zig[] = {10, 100, 40, 70, 70, 110, 100, 60};
    const float tri[] = {120, 100, 150, 60, 180, 100};
    gfx::fill_rect({5, 5, 30, 20}, a);
    gfx::fill_round_rect({40, 5, 30, 20}, 6, b);
    gfx::stroke_round_rect({75, 5, 30, 20}, 6, a, 2);
    gfx::fill_circle(120, 15, 10, b);
    gfx::stroke_circle(145, 15, 10, a, 2);
    gfx::line(160, 5, 195, 25, b, 3);
    gfx::polyline(zig, 4, a, 2);
    gfx::fill_triangle(110, 30, 130, 50, 110, 50, b);
    gfx::stroke_arc(160, 45, 15, 30, 300, a, 4);
    gfx::fill_rect_vgrad({5, 30, 30, 20}, a, b);
    gfx::fill_round_rect_vgrad({40, 30, 30, 20}, 5, a, b);
    gfx::fill_polygon_vgrad(tri, 3, a, b);
    gfx::fill_ellipse_vgrad(90, 40, 12, 8, a, b);
    gfx::fill_under(zig, 4, 115, a, b);
    gfx::fill_radial(30, 80, 18, 25, 75, 2, a, b);
}

// ---- shapes

TEST_F(Canvas, TransparentColoursDrawNothingAndClearZeroEmptiesTheSurface) {
    gfx::clear(0xFF123456);
    EXPECT_EQ(at(0, 0), 0xFF123456u);
    EXPECT_EQ(at(kW - 1, kH - 1), 0xFF123456u);
    gfx::clear(0);
    EXPECT_EQ(inked(), 0);

    draw_every_shape(0x00FFFFFF, 0x00FF0000);
    gfx::text({0, 0, kW, 40}, "Transparent", 20, 0x00FFFFFF);
    EXPECT_EQ(inked(), 0);

    // The same calls with opaque colours do draw, and every shape leaves ink where it was put.
    draw_every_shape(kWhite, kRed);
    EXPECT_GT(inked(), kW * kH / 10);
    EXPECT_EQ(alpha(20, 15), 255);  // fill_rect
    EXPECT_EQ(alpha(120, 15), 255); // fill_circle
    EXPECT_EQ(alpha(90, 40), 255);  // ellipse
    EXPECT_EQ(alpha(30, 80), 255);  // radial
}

TEST_F(Canvas, ArcsRunClockwiseFromTwelveAndAWholeTurnCloses) {
    const float cx = 60, cy = 60, r = 40;
    const auto lit = [&](float deg) {
        const double rad = (deg - 90) * M_PI / 180;
        return alpha(int(std::lround(cx + r * std::cos(rad))), int(std::lround(cy + r * std::sin(rad)))) > 200;
    };
    gfx::stroke_arc(cx, cy, r, 0, 90, kWhite, 6);
    EXPECT_TRUE(lit(45));  // upper right
    EXPECT_FALSE(lit(-45)); // upper left stays dark
    EXPECT_FALSE(lit(180));

    gfx::clear(0);
    gfx::stroke_arc(cx, cy, r, 0, 360, kWhite, 6);
    for (int deg = 0; deg < 360; deg += 3)
        EXPECT_TRUE(lit(float(deg))) << deg;
    // Butt ends that meet: nothing sticks out beyond the ring's outer edge at twelve o'clock.
    EXPECT_EQ(alpha(int(cx), int(cy - r - 5)), 0);

    gfx::clear(0);
    gfx::stroke_arc(cx, cy, r, 0, 300, kWhite, 6);
    EXPECT_FALSE(lit(330)); // an open arc leaves its gap
    gfx::clear(0);
    gfx::stroke_arc(cx, cy, r, 10, 10, kWhite, 6);
    gfx::stroke_arc(cx, cy, r, 90, 10, kWhite, 6);
    EXPECT_EQ(inked(), 0);
}

TEST_F(Canvas, RadiusIsLimitedToHalfTheHeightSoABigOneMakesAPill) {
    const Rect bar{20, 20, 120, 30};
    gfx::fill_round_rect(bar, 15, kWhite);
    const auto pill = pixels();
    gfx::clear(0);
    gfx::fill_round_rect(bar, 500, kWhite);
    EXPECT_EQ(pixels(), pill);
    EXPECT_EQ(alpha(21, 21), 0);    // the corner is cut away
    EXPECT_EQ(alpha(21, 35), 255);  // the round end reaches the left edge at mid height
    EXPECT_EQ(alpha(138, 35), 255); // and the right edge
    EXPECT_EQ(alpha(80, 21), 255);  // the straight top

    gfx::clear(0);
    gfx::fill_round_rect(bar, 0, kWhite); // sharp corners
    EXPECT_EQ(alpha(20, 20), 255);
    EXPECT_EQ(alpha(139, 49), 255);

    // A stroked round rect stays inside its rect.
    gfx::clear(0);
    gfx::stroke_round_rect(bar, 8, kWhite, 4);
    EXPECT_EQ(ink_box(), (std::vector<int>{20, 20, 139, 49}));
}

TEST_F(Canvas, GradientsRunFromTheTopColourToTheBottomColour) {
    // Colour only: the rim of a round shape covers its edge pixels partly.
    const auto rgb = [&](int x, int y) { return alpha(x, y) ? at(x, y) | 0xFF000000u : 0u; };
    const auto check_column = [&](int x, int top, int bottom, const char* what) {
        SCOPED_TRACE(what);
        EXPECT_LE(channel_gap(rgb(x, top), kRed), 8);
        EXPECT_LE(channel_gap(rgb(x, bottom), kBlue), 8);
        // In between, every row is the mix at its height.
        for (int y = top; y <= bottom; y += 7) {
            const float t = (y + 0.5f - top) / float(bottom + 1 - top);
            EXPECT_LE(channel_gap(rgb(x, y), theme::mix(kRed, kBlue, t)), 6) << y;
        }
    };
    gfx::fill_rect_vgrad({0, 10, 20, 100}, kRed, kBlue);
    check_column(10, 10, 109, "rect");
    gfx::fill_round_rect_vgrad({30, 10, 20, 100}, 6, kRed, kBlue);
    check_column(40, 10, 109, "round rect");
    gfx::fill_ellipse_vgrad(70, 60, 10, 50, kRed, kBlue);
    check_column(70, 10, 109, "ellipse");
    const float quad[] = {85, 110, 92, 10, 108, 10, 115, 110};
    gfx::fill_polygon_vgrad(quad, 4, kRed, kBlue);
    check_column(100, 10, 109, "polygon");
    const float wave[] = {120, 40, 140, 10, 160, 30};
    gfx::fill_under(wave, 3, 110, kRed, kBlue);
    check_column(140, 11, 109, "area under a line");
    EXPECT_EQ(alpha(125, 20), 0); // above the line stays empty

    gfx::clear(0);
    gfx::fill_radial(100, 60, 40, 100, 60, 0, kRed, kBlue);
    EXPECT_LE(channel_gap(at(100, 60), kRed), 8);
    EXPECT_LE(channel_gap(at(139, 60), kBlue), 12);
    EXPECT_EQ(alpha(100, 105), 0);
}

TEST_F(Canvas, ClipsNestAndPop) {
    const Rect all{0, 0, kW, kH};
    gfx::push_clip({10, 10, 100, 100});
    gfx::push_clip({50, 0, 100, 50}); // meets the first in 50..110 x 10..50
    gfx::fill_rect(all, kRed);
    gfx::pop_clip();
    gfx::fill_rect({0, 60, kW, 60}, kBlue);
    gfx::pop_clip();
    gfx::pop_clip(); // one pop too many is ignored
    gfx::fill_rect({0, 115, kW, 5}, kWhite);

    EXPECT_EQ(at(60, 20), kRed);
    EXPECT_EQ(at(120, 20), 0u); // outside the outer clip
    EXPECT_EQ(at(20, 20), 0u);  // outside the inner clip
    EXPECT_EQ(at(20, 80), kBlue);
    EXPECT_EQ(at(150, 80), 0u); // the outer clip still held
    EXPECT_EQ(at(150, 117), kWhite);
    EXPECT_EQ(ink_box(), (std::vector<int>{0, 10, kW - 1, kH - 1}));
}

// ---- text

TEST_F(Canvas, TextIsPlacedByItsAlignmentAndWidthsGrowWithLengthSizeAndWeight) {
    const Rect box{20, 20, 160, 60};
    const float w = gfx::text_width("Mix", 24);
    gfx::text(box, "Mix", 24, kWhite, Align::Left);
    auto b = ink_box();
    EXPECT_NEAR(b[0], 20, 3);
    EXPECT_NEAR((b[1] + b[3]) / 2.0, 50, 6); // centred vertically
    gfx::clear(0);
    gfx::text(box, "Mix", 24, kWhite, Align::Right);
    EXPECT_NEAR(ink_box()[2], 180, 3);
    gfx::clear(0);
    gfx::text(box, "Mix", 24, kWhite, Align::Center);
    b = ink_box();
    EXPECT_NEAR((b[0] + b[2]) / 2.0, 100, 3);
    EXPECT_NEAR(b[2] - b[0], w, 4);
    gfx::clear(0);
    gfx::text(box, "Mix", 24, kWhite, Align::Left, false, false);
    EXPECT_LT(ink_box()[1], 30); // at the top

    // Measured on the context and, without one, through the cache: the same widths.
    float in_frame[4];
    const char* samples[4] = {"a", "aa", "aaaa", "Equaliser"};
    for (int i = 0; i < 4; ++i)
        in_frame[i] = gfx::text_width(samples[i], 16);
    gfx::set_context(nullptr);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(gfx::text_width(samples[i], 16), in_frame[i], 1) << samples[i];
        if (i) {
            EXPECT_GT(in_frame[i], in_frame[i - 1]);
        }
    }
    EXPECT_GT(gfx::text_width("Equaliser", 24), gfx::text_width("Equaliser", 16));
    EXPECT_GT(gfx::text_width("Equaliser presets", 16, true), gfx::text_width("Equaliser presets", 16));
    EXPECT_GT(gfx::width_cache_size(), 0u);
    gfx::set_context(cr_);
}

TEST_F(Canvas, WrappedTextStaysInItsRectAndMeasuresLikeItDraws) {
    const char* text = "Lumafon equalises all sound played on the desktop and shows it as a music visualizer.";
    const Rect r{10, 10, 150, 105};
    const float h = gfx::text_wrapped(r, text, 12, kWhite, Align::Left);
    const float one_line = gfx::wrapped_height("Lumafon", 12, 150);
    EXPECT_GT(h, 3 * one_line);
    EXPECT_LT(h, 105);
    EXPECT_NEAR(gfx::wrapped_height(text, 12, 150), h, 2);
    const auto b = ink_box();
    EXPECT_GE(b[0], 10);
    EXPECT_LE(b[2], 160);
    EXPECT_NEAR(b[3] - 10, h, one_line);
    // A word longer than the width is broken inside.
    gfx::clear(0);
    EXPECT_GT(gfx::text_wrapped({10, 10, 60, 100}, "Equalisereinstellungen", 12, kWhite), 1.5f * one_line);
    EXPECT_LE(ink_box()[2], 70);
}

TEST(GfxText, FitCharsCutsOnlyAtCharacterStartsAndKeepsTheLongestPrefix) {
    ASSERT_TRUE(gfx::init());
    const std::string s = "Grüße 日本語 ÄÖÜ ضبط";
    const float full = gfx::text_width(s.c_str(), 16);
    EXPECT_EQ(gfx::fit_chars(s.c_str(), 16, full), s.size());
    std::size_t last = 0;
    for (float max = 0; max < full; max += 1.5f) {
        const std::size_t n = gfx::fit_chars(s.c_str(), 16, max);
        ASSERT_LE(n, s.size());
        EXPECT_NE(static_cast<unsigned char>(s[n]) & 0xC0, 0x80) << "cut inside a character at " << n;
        EXPECT_GE(n, last); // a wider room never holds less
        last = n;
        const std::string prefix = s.substr(0, n);
        if (n) {
            EXPECT_LE(gfx::text_width(prefix.c_str(), 16), max);
        }
        // One character more would not fit.
        std::size_t next = n + 1;
        while (next < s.size() && (static_cast<unsigned char>(s[next]) & 0xC0) == 0x80)
            ++next;
        EXPECT_GT(gfx::text_width(s.substr(0, next).c_str(), 16), max) << n;
    }
    EXPECT_EQ(gfx::fit_chars("日本", 16, 3), 0u); // not even one character
    EXPECT_EQ(gfx::fit_chars("", 16, 100), 0u);
    gfx::shutdown();
}

TEST(GfxText, EveryInterfaceTextRendersWithoutMissingGlyphs) {
    ASSERT_TRUE(gfx::init());
    PangoContext* context = pango_font_map_create_context(pango_cairo_font_map_get_default());
    PangoLayout* layout = pango_layout_new(context);
    std::set<std::string> failing;
    int checked = 0;
    for (const i18n_data::Lang& lang : i18n_data::LANGS) {
        for (bool bold : {false, true}) {
            pango_layout_set_font_description(layout, gfx::font_for(14, bold));
            for (int k = -1; k < i18n_data::kKeyCount; ++k) {
                const char* text = k < 0 ? lang.name : lang.values[k];
                pango_layout_set_text(layout, text, -1);
                ++checked;
                if (pango_layout_get_unknown_glyphs_count(layout) > 0)
                    failing.insert(std::string(lang.code) + ": " + text);
            }
        }
    }
    g_object_unref(layout);
    g_object_unref(context);
    EXPECT_EQ(checked, i18n_data::kLangCount * (i18n_data::kKeyCount + 1) * 2);
    for (const std::string& f : failing)
        ADD_FAILURE() << "unknown glyphs in " << f;
    gfx::shutdown();
}

TEST_F(Canvas, ScriptsOfTheTranslationsLeaveInkOnTheSurface) {
    // Arabic, Hebrew, Devanagari, Thai, Georgian, Amharic and the CJK languages draw
    // glyphs, not nothing (an unknown glyph would be a box and counted above).
    int found = 0;
    for (const i18n_data::Lang& lang : i18n_data::LANGS) {
        const std::string code = lang.code;
        if (code != "ar" && code != "he" && code != "hi" && code != "th" && code != "ka" && code != "am" &&
            code != "ja" && code != "zh" && code != "ko")
            continue;
        ++found;
        gfx::clear(0);
        gfx::text({10, 10, 180, 40}, lang.name, 20, kWhite, Align::Center);
        EXPECT_GT(inked(), 40) << code;
        const auto b = ink_box();
        EXPECT_GE(b[0], 8) << code;
        EXPECT_LE(b[2], 192) << code;
    }
    EXPECT_GE(found, 8);
}

TEST(GfxText, WidthCacheStaysWithinItsBound) {
    ASSERT_TRUE(gfx::init());
    std::size_t most = 0;
    for (int i = 0; i < 5000; ++i) {
        const std::string s = "label " + std::to_string(i);
        EXPECT_GT(gfx::text_width(s.c_str(), 12), 0);
        most = std::max(most, gfx::width_cache_size());
    }
    EXPECT_LE(most, 4096u);
    EXPECT_GE(most, 4000u);
    EXPECT_LT(gfx::width_cache_size(), 4096u); // it emptied itself once
    const float again = gfx::text_width("label 4999", 12);
    EXPECT_EQ(again, gfx::text_width("label 4999", 12));
    gfx::shutdown();
    EXPECT_EQ(gfx::width_cache_size(), 0u);
}

// ---- the overlap checker

class Checker : public Canvas {
  protected:
    void SetUp() override {
        log_ = dir_ / "textcheck.log";
        env_.emplace("LUMA2_TEXTCHECK", log_.c_str());
        Canvas::SetUp();
    }
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        const auto text = test_support::read_file(log_);
        if (!text) return out;
        std::size_t start = 0;
        for (std::size_t nl; (nl = text->find('\n', start)) != std::string::npos; start = nl + 1)
            out.push_back(text->substr(start, nl - start));
        return out;
    }
    test_support::TempDir dir_;
    std::string log_;
    std::optional<test_support::ScopedEnv> env_;
};

TEST_F(Checker, OverlappingLabelsAreLoggedUnlessCoveredAndTextOutsideItsBoxIsClipped) {
    gfx::text({10, 10, 100, 30}, "Preamp", 20, kWhite);
    gfx::text({20, 15, 100, 30}, "Bass", 20, kWhite);
    gfx::text({10, 80, 100, 30}, "Alone", 20, kWhite);
    auto l = lines();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].rfind("OVERLAP\tBass\t<->\tPreamp\t(", 0), 0u) << l[0];
    EXPECT_EQ(gfx::check::inks().size(), 3u);

    // A new frame starts a new list; a dialog painted over the first label hides it.
    gfx::set_context(cr_);
    EXPECT_TRUE(gfx::check::inks().empty());
    gfx::text({10, 10, 100, 30}, "Preamp", 20, kWhite);
    gfx::occlude({0, 0, 150, 50});
    gfx::text({20, 15, 100, 30}, "Bass", 20, kWhite);
    EXPECT_EQ(lines().size(), 1u);

    // A long line in a small box: its ink leaves the box.
    gfx::text({10, 100, 30, 10}, "Much too long for its box", 12, kWhite);
    l = lines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[1].rfind("CLIP\t8,93 34x24\ttinte ", 0), 0u) << l[1];
    EXPECT_NE(l[1].find("\tMuch too long for its box"), std::string::npos);

    // Wrapped text is recorded against its rect: room enough, no line.
    const std::size_t before = gfx::check::inks().size();
    gfx::text_wrapped({120, 40, 75, 70}, "Several words that wrap", 12, kWhite);
    EXPECT_EQ(gfx::check::inks().size(), before + 1);
    EXPECT_EQ(lines().size(), 2u);
}

TEST_F(Canvas, WithoutTheVariableNothingIsRecorded) {
    ASSERT_EQ(std::getenv("LUMA2_TEXTCHECK"), nullptr);
    gfx::text({10, 10, 100, 30}, "Preamp", 20, kWhite);
    gfx::text({20, 15, 100, 30}, "Bass", 20, kWhite);
    EXPECT_TRUE(gfx::check::inks().empty());
}

// ---- the icon and bad input

TEST_F(Canvas, TheIconDecodesOnceAndReadsAtSmallSizes) {
    // The header says 128 x 128, 8 bits per channel, colour with alpha.
    const unsigned char* ihdr = icon_data::kPng + 16;
    EXPECT_EQ(std::memcmp(icon_data::kPng + 12, "IHDR", 4), 0);
    EXPECT_EQ(ihdr[0] << 24 | ihdr[1] << 16 | ihdr[2] << 8 | ihdr[3], 128);
    EXPECT_EQ(ihdr[4] << 24 | ihdr[5] << 16 | ihdr[6] << 8 | ihdr[7], 128);
    EXPECT_EQ(ihdr[8], 8);
    EXPECT_EQ(ihdr[9], 6);

    gfx::image_png(icon_data::kPng, icon_data::kPngSize, {0, 0, 64, 64});
    gfx::image_png(icon_data::kPng, icon_data::kPngSize, {100, 10, 16, 16});
    EXPECT_EQ(gfx::image_cache_size(), 1u);
    EXPECT_EQ(alpha(0, 0), 0);    // rounded corner
    EXPECT_EQ(alpha(32, 32), 255); // the tile
    EXPECT_EQ(alpha(108, 18), 255);
    // Stretched to fill the rect exactly.
    gfx::clear(0);
    gfx::image_png(icon_data::kPng, icon_data::kPngSize, {10, 10, 120, 30});
    const auto b = ink_box(); // the tile keeps its margin of 4 in 128 on every side
    EXPECT_NEAR(b[0], 10 + 120 * 4 / 128.0, 1);
    EXPECT_NEAR(b[2], 130 - 120 * 4 / 128.0, 1);
    EXPECT_NEAR(b[1], 10 + 30 * 4 / 128.0, 1);
    EXPECT_NEAR(b[3], 40 - 30 * 4 / 128.0, 1.5);
}

TEST_F(Canvas, BadInputDrawsNothingAndLeavesTheContextUsable) {
    const std::vector<unsigned char> png(icon_data::kPng, icon_data::kPng + icon_data::kPngSize);
    std::vector<unsigned char> forged = png;
    forged[16] = 0x7F; // a width of two thousand million pixels
    std::vector<unsigned char> long_chunk = png;
    long_chunk[33] = 0x60; // the chunk after the header claims 1.6 GB
    const std::vector<unsigned char> garbage(300, 0x5A);
    const Rect r{0, 0, 50, 50};
    gfx::image_png(png.data(), png.size() / 2, r); // truncated
    gfx::image_png(forged.data(), forged.size(), r);
    gfx::image_png(long_chunk.data(), long_chunk.size(), r);
    gfx::image_png(garbage.data(), garbage.size(), r);
    gfx::image_png(nullptr, 100, r);
    gfx::image_png(png.data(), 0, r);
    gfx::image_png(png.data(), png.size(), {0, 0, 0, 50});
    gfx::image_png(png.data(), png.size(), {0, 0, -5, 50});
    gfx::image_png(png.data(), png.size(), {NAN, 0, 50, 50});
    EXPECT_EQ(inked(), 0);
    gfx::image_png(png.data(), png.size() / 2, r); // failed once, stays failed
    EXPECT_EQ(inked(), 0);

    for (const char* s : {static_cast<const char*>(nullptr), "", "\xff\xfe broken", "ok \xc3"}) {
        gfx::text({0, 0, 100, 40}, s, 20, kWhite);
        EXPECT_EQ(gfx::text_wrapped({0, 0, 100, 40}, s, 20, kWhite), 0);
        EXPECT_EQ(gfx::text_width(s, 20), 0);
        EXPECT_EQ(gfx::fit_chars(s, 20, 1000), 0u);
        EXPECT_EQ(gfx::wrapped_height(s, 20, 100), 0);
    }
    for (float size : {0.0f, -4.0f, NAN}) {
        gfx::text({0, 0, 100, 40}, "Size", size, kWhite);
        EXPECT_EQ(gfx::text_width("Size", size), 0);
    }
    gfx::text({0, 0, -10, 40}, "Negative", 20, kWhite);
    gfx::text({NAN, 0, 100, 40}, "Nowhere", 20, kWhite);
    gfx::fill_rect({NAN, 0, 10, 10}, kWhite);
    gfx::stroke_arc(NAN, 10, 10, 0, 90, kWhite, 2);
    gfx::push_clip({0, NAN, 10, 10});
    gfx::pop_clip();
    gfx::text_wrapped({0, 0, 0, 40}, "Zero width", 20, kWhite);
    EXPECT_EQ(gfx::wrapped_height("Zero width", 20, 0), 0);
    EXPECT_EQ(inked(), 0);
    gfx::text({0, 0, 100, 40}, "Huge", 1e30f, kWhite); // taken as the largest size; no overflow

    gfx::clear(0);
    const float pts[] = {10, 10, 50, 50, 90, 10};
    gfx::fill_rect({10, 10, 0, 20}, kWhite);
    gfx::fill_rect({10, 10, 20, -20}, kWhite);
    gfx::fill_round_rect({10, 10, -3, 20}, 4, kWhite);
    gfx::stroke_round_rect({10, 10, 3, 3}, 4, kWhite, 6); // nothing left inside the line
    gfx::fill_circle(50, 50, 0, kWhite);
    gfx::fill_circle(50, 50, -5, kWhite);
    gfx::stroke_circle(50, 50, 10, kWhite, 0);
    gfx::line(0, 0, 50, 50, kWhite, -1);
    gfx::polyline(pts, 1, kWhite, 2);
    gfx::polyline(nullptr, 3, kWhite, 2);
    gfx::fill_polygon_vgrad(pts, 2, kWhite, kRed);
    gfx::fill_under(pts, 1, 80, kWhite, kRed);
    gfx::fill_ellipse_vgrad(50, 50, 0, 10, kWhite, kRed);
    gfx::fill_ellipse_vgrad(NAN, 50, 10, 10, kWhite, kRed);
    gfx::fill_radial(50, 50, -1, 50, 50, 0, kWhite, kRed);
    gfx::stroke_arc(50, 50, 0, 0, 90, kWhite, 2);
    EXPECT_EQ(inked(), 0);

    // Without a context nothing draws and nothing breaks.
    gfx::set_context(nullptr);
    EXPECT_FALSE(gfx::begin());
    gfx::clear(kWhite);
    draw_every_shape(kWhite, kRed);
    gfx::text({0, 0, 100, 40}, "No context", 20, kWhite);
    gfx::image_png(png.data(), png.size(), r);
    gfx::push_clip(r);
    gfx::pop_clip();
    gfx::set_context(cr_);
    EXPECT_EQ(inked(), 0);
    // And still draws afterwards.
    gfx::fill_rect({0, 0, 10, 10}, kWhite);
    EXPECT_EQ(alpha(5, 5), 255);
}

TEST(GfxImage, SeedCorpusPassesTheFuzzTarget) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kSourceDir + "/tests/fuzz/corpus/image_png")) {
        const auto data = test_support::read_file(entry.path().string());
        ASSERT_TRUE(data);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data->data()), data->size());
        ++files;
    }
    EXPECT_GE(files, 4);
}

} // namespace
