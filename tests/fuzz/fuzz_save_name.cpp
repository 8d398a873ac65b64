// Types arbitrary bytes into the save dialog, as an input method might deliver them, with
// Backspace, Enter and a fresh dialog mixed in: the name being typed must stay valid UTF-8 of at
// most 32 characters, and every saved preset a clean name (1 to 32 characters, no control
// characters, no spaces at its ends, unique) in a list of at most 100.
//
// Byte 0 ends a piece of text, 1 is Backspace, 2 is Enter, 3 closes the dialog and opens it
// again; every other byte is text.
#include "core/settings.h"
#include "render/gfx_cairo.h"
#include "ui/ui.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

Settings g_fuzz;

long valid_points(const std::string& s) {
    long n = 0;
    for (size_t i = 0; i < s.size(); ++n) {
        const auto b = static_cast<unsigned char>(s[i]);
        const size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (!len || i + len > s.size()) return -1;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return -1;
        i += len;
    }
    return n;
}

bool name_ok(const std::string& s) {
    const long n = valid_points(s);
    return n >= 0 && n <= 32;
}

bool presets_ok() {
    if (g_fuzz.user_presets.size() > settings::kMaxUserPresets) return false;
    for (size_t i = 0; i < g_fuzz.user_presets.size(); ++i) {
        const std::string& n = g_fuzz.user_presets[i].name;
        if (n.empty() || !name_ok(n) || n.front() == ' ' || n.back() == ' ') return false;
        for (unsigned char c : n)
            if (c < 32 || c == 127) return false;
        for (size_t j = 0; j < i; ++j)
            if (g_fuzz.user_presets[j].name == n) return false;
    }
    return true;
}

void open_dialog() {
    const gfx::Rect& r = ui::layout()[ui::kSave];
    ui::on_mouse_down(r.x + r.w / 2, r.y + r.h / 2);
    ui::on_mouse_up();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = gfx::init();
    if (!ready) return 0;
    g_fuzz = Settings{};
    g_fuzz.flash_notice_seen = true;
    g_fuzz.collapsed = false;
    g_fuzz.head_folded = false;
    ui::init(&g_fuzz, false);
    static const bool laid_out = (ui::draw_base(960, 820), true); // the layout stays the same
    (void)laid_out;
    open_dialog();
    if (!ui::save_open()) __builtin_trap();
    std::string piece;
    auto flush = [&] {
        if (!piece.empty()) ui::on_text(piece.c_str());
        piece.clear();
    };
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        if (b > 3) {
            piece += static_cast<char>(b);
            continue;
        }
        flush();
        if (b == 1) ui::on_key(ui::Key::Backspace);
        if (b == 2) ui::on_key(ui::Key::Enter);
        if (b == 3 || (b == 2 && !ui::save_open())) {
            ui::on_key(ui::Key::Escape);
            open_dialog();
        }
        if (!name_ok(ui::save_name()) || !presets_ok()) __builtin_trap();
    }
    flush();
    ui::on_key(ui::Key::Enter);
    if (!name_ok(ui::save_name()) || !presets_ok()) __builtin_trap();
    ui::on_key(ui::Key::Escape);
    return 0;
}
