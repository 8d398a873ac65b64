// Interface texts by key in the chosen language ("auto" follows the desktop's language).
// Used by the window thread only.
#pragma once

#include <string>
#include <vector>

namespace i18n {

struct Language {
    std::string code;
    std::string name; // the language's own name
    bool rtl = false;
};

// Chooses the language: a code such as "de" or "pt-BR", or "auto"/"" for the desktop's.
// A code that matches no language falls back to its part before "_", else to English.
void set_language(const std::string& setting);
std::string language();           // the setting as last given
std::string effective_language(); // the code in use
bool rtl();
// The text for a key; a string that is not a key comes back unchanged, null gives "".
const char* T(const char* key);
const std::vector<Language>& languages();

} // namespace i18n
