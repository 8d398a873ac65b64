// The compiled-in interface texts. The tables are generated at build time from the
// translators' files in resources/i18n (one gettext .po file per language, keyed by message key).
#pragma once

namespace i18n_data {

constexpr int kKeyCount = 81;
constexpr int kLangCount = 83;

struct Lang {
    const char* code;
    const char* name;          // the language's own name, UTF-8
    unsigned char rtl;         // non-zero for scripts written right to left
    const char* const* values; // kKeyCount texts in the order of KEYS
};

// Message keys in ascending strcmp order: a key's index is its text's index in every table.
extern const char* const KEYS[kKeyCount];
extern const Lang LANGS[kLangCount];

} // namespace i18n_data
