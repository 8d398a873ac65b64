// The interface's colours: the light and the dark palette, the switch between them, two
// colour helpers and the colour gradient of the spectrum bars. Colours are 0xAARRGGBB.
// Window thread only (the palette switch is unguarded).
#pragma once

#include <cstdint>

namespace theme {

constexpr int kSlots = 28; // colours per palette

// Slots with a fixed role; the remaining ones serve the panels, popups and dialogs.
enum Slot : int {
    kPanelTop = 2,      // panel gradient top
    kPanelBottom = 3,   // panel gradient bottom
    kOutline = 4,       // outlines
    kStrokeHover = 6,   // hovered strokes
    kTextColor = 7,     // normal text and icon strokes
    kIconHover = 8,     // hovered icon strokes
    kAccent = 9,        // accent
    kSegmentBase = 19,  // base of unlit bar and meter segments
    kGood = 20,         // good state
    kNeutral = 21,      // neutral status text
    kButton = 22,       // button face
    kButtonHover = 23,  // hovered button face
    kWarning = 25,      // warning status text
    kError = 26,        // error status text, hovered close button
    kBackdrop = 27,     // behind the settings panel
};

const uint32_t* colors(); // the active palette, kSlots colours
void set_dark(bool dark);
bool dark();

// a for t <= 0, b for t >= 1, else every channel (alpha too) rounded from a + (b - a) t.
uint32_t mix(uint32_t a, uint32_t b, float t);
// c with alpha round(255 t), t clamped to 0..1.
uint32_t with_alpha(uint32_t c, float t);
// The bar gradient from blue (x <= 0) over green and yellow to red (x >= 1).
uint32_t bar_color(float x);

} // namespace theme
