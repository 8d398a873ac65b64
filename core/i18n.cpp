#include "core/i18n.h"

#include "core/i18n_data.h"
#include "core/paths_linux.h"

#include <algorithm>
#include <cstring>

namespace i18n {
namespace {

std::string g_setting = "auto";
std::string g_code;
const i18n_data::Lang* g_lang = nullptr;

const i18n_data::Lang* find_exact(const std::string& code) {
    for (const i18n_data::Lang& l : i18n_data::LANGS)
        if (code == l.code) return &l;
    return nullptr;
}

const i18n_data::Lang* resolve(std::string code) {
    if (code.empty()) return nullptr;
    std::replace(code.begin(), code.end(), '-', '_');
    if (const i18n_data::Lang* l = find_exact(code)) return l;
    const size_t cut = code.find('_');
    return cut == std::string::npos ? nullptr : find_exact(code.substr(0, cut));
}

} // namespace

void set_language(const std::string& setting) {
    g_setting = setting.empty() ? "auto" : setting;
    const i18n_data::Lang* l = resolve(g_setting == "auto" ? paths::system_language() : g_setting);
    if (!l) l = find_exact("en");
    g_lang = l;
    g_code = l->code;
}

std::string language() {
    return g_setting;
}

std::string effective_language() {
    if (!g_lang) set_language("auto");
    return g_code;
}

bool rtl() {
    return g_lang && g_lang->rtl;
}

const char* T(const char* key) {
    if (!key) return "";
    if (!g_lang) set_language("auto");
    int lo = 0, hi = i18n_data::kKeyCount - 1;
    while (lo <= hi) {
        const int mid = (lo + hi) / 2; // the first probe is the middle entry
        const int cmp = std::strcmp(key, i18n_data::KEYS[mid]);
        if (cmp == 0) return g_lang->values[mid];
        if (cmp < 0)
            hi = mid - 1;
        else
            lo = mid + 1;
    }
    return key;
}

const std::vector<Language>& languages() {
    static const std::vector<Language> list = [] {
        std::vector<Language> v;
        for (const i18n_data::Lang& l : i18n_data::LANGS) v.push_back({l.code, l.name, l.rtl != 0});
        return v;
    }();
    return list;
}

} // namespace i18n
