// Interface texts: how a language is chosen, how keys are looked up, and the integrity of
// every compiled-in table (the tables are data that translators edit by hand).
#include "core/i18n.h"
#include "core/i18n_data.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Sets (or with null, unsets) the environment variables that name the desktop's language for
// the lifetime of the guard, and restores them afterwards.
class LangEnv {
  public:
    using Values = std::map<std::string, const char*>;
    explicit LangEnv(const Values& values) {
        for (const char* name : {"LUMA2_LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
            const auto it = values.find(name);
            if (it != values.end() && it->second)
                setenv(name, it->second, 1);
            else
                unsetenv(name);
        }
    }
    ~LangEnv() {
        for (const auto& [name, value] : saved_)
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
    }

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

int key_index(const char* key) {
    for (int i = 0; i < i18n_data::kKeyCount; ++i)
        if (std::strcmp(i18n_data::KEYS[i], key) == 0) return i;
    return -1;
}

const i18n_data::Lang& lang(const char* code) {
    for (const i18n_data::Lang& l : i18n_data::LANGS)
        if (std::strcmp(l.code, code) == 0) return l;
    throw std::runtime_error(code);
}

// The printf conversions of a text, in order ("%s", "%d"); "%%" is not one.
std::multiset<std::string> placeholders(const std::string& s) {
    std::multiset<std::string> out;
    for (size_t i = 0; i + 1 < s.size(); ++i) {
        if (s[i] != '%') continue;
        if (s[i + 1] == '%') {
            ++i;
            continue;
        }
        out.insert(s.substr(i, 2));
        ++i;
    }
    return out;
}

std::vector<char32_t> code_points(const std::string& s) {
    std::vector<char32_t> out;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) throw std::runtime_error("invalid UTF-8: " + s);
        char32_t cp = len == 1 ? c : c & (0x7f >> len);
        for (int k = 1; k < len; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc >> 6) != 2) throw std::runtime_error("invalid UTF-8: " + s);
            cp = (cp << 6) | (cc & 0x3f);
        }
        out.push_back(cp);
        i += static_cast<size_t>(len);
    }
    return out;
}

// The text without the product, format and system names that stay in Latin letters everywhere.
std::string without_names(std::string s) {
    for (const char* name : {"lumafon.app", "Lumafon", ".deb", "RPM", "Flatpak", "AppImage", "Arch",
                             "Windows", "Snap", "Linux"}) {
        for (size_t at; (at = s.find(name)) != std::string::npos;) s.erase(at, std::strlen(name));
    }
    return s;
}

bool latin_letter(char32_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           (c >= 0xC0 && c <= 0x24F && c != 0xD7 && c != 0xF7) || (c >= 0x1E00 && c <= 0x1EFF);
}

// The Unicode blocks of each language that is not written in Latin letters.
const std::map<std::string, std::vector<std::pair<char32_t, char32_t>>>& scripts() {
    static const std::pair<char32_t, char32_t> cyr{0x400, 0x52F}, arab{0x600, 0x6FF}, arab2{0xFB50, 0xFEFF},
        deva{0x900, 0x97F}, han{0x4E00, 0x9FFF}, kana{0x3040, 0x30FF};
    static const std::map<std::string, std::vector<std::pair<char32_t, char32_t>>> m = {
        {"am", {{0x1200, 0x139F}}},
        {"ar", {arab, arab2}},
        {"be", {cyr}},
        {"bg", {cyr}},
        {"bn", {{0x980, 0x9FF}}},
        {"el", {{0x370, 0x3FF}}},
        {"fa", {arab, arab2}},
        {"gu", {{0xA80, 0xAFF}}},
        {"he", {{0x590, 0x5FF}}},
        {"hi", {deva}},
        {"hy", {{0x530, 0x58F}}},
        {"ja", {han, kana}},
        {"ka", {{0x10A0, 0x10FF}}},
        {"kk", {cyr}},
        {"km", {{0x1780, 0x17FF}}},
        {"kn", {{0xC80, 0xCFF}}},
        {"ko", {{0xAC00, 0xD7AF}, {0x1100, 0x11FF}}},
        {"ky", {cyr}},
        {"lo", {{0xE80, 0xEFF}}},
        {"mk", {cyr}},
        {"ml", {{0xD00, 0xD7F}}},
        {"mn", {cyr}},
        {"mr", {deva}},
        {"my", {{0x1000, 0x109F}}},
        {"ne", {deva}},
        {"pa", {{0xA00, 0xA7F}}},
        {"ps", {arab, arab2}},
        {"ru", {cyr}},
        {"si", {{0xD80, 0xDFF}}},
        {"sr", {cyr}},
        {"ta", {{0xB80, 0xBFF}}},
        {"te", {{0xC00, 0xC7F}}},
        {"tg", {cyr}},
        {"th", {{0xE00, 0xE7F}}},
        {"uk", {cyr}},
        {"ur", {arab, arab2}},
        {"zh", {han}},
        {"zh_TW", {han}},
    };
    return m;
}

} // namespace

TEST(Translations, ChoosingTheLanguage) {
    LangEnv env(LangEnv::Values{{"LANG", "C"}});
    struct Case {
        const char* setting;
        const char* effective;
    } cases[] = {
        {"en-GB", "en"}, {"zh-TW", "zh_TW"}, {"zh_TW", "zh_TW"}, {"zh-HK", "zh"}, {"zh_CN", "zh"},
        {"pt-BR", "pt"}, {"de_AT", "de"},    {"de", "de"},       {"xx", "en"},    {"xx_DE", "en"},
        {"DE", "en"},    {"-", "en"},        {"_de", "en"},
    };
    for (const Case& c : cases) {
        i18n::set_language(c.setting);
        EXPECT_EQ(i18n::effective_language(), c.effective) << c.setting;
        EXPECT_EQ(i18n::language(), c.setting); // the setting is kept even when it matches nothing
    }
    i18n::set_language("");
    EXPECT_EQ(i18n::language(), "auto");
    EXPECT_EQ(i18n::effective_language(), "en"); // LANG=C names no language
}

TEST(Translations, AutomaticFollowsTheDesktop) {
    {
        LangEnv env(LangEnv::Values{{"LANG", "fr_CA.UTF-8"}});
        i18n::set_language("auto");
        EXPECT_EQ(i18n::effective_language(), "fr");
    }
    {
        LangEnv env(LangEnv::Values{{"LUMA2_LANG", "uk"}, {"LANGUAGE", "pt_BR:en"}, {"LANG", "de_DE.UTF-8"}});
        i18n::set_language("auto");
        EXPECT_EQ(i18n::effective_language(), "uk");
    }
    {
        LangEnv env(LangEnv::Values{{"LANGUAGE", "zh_TW:en"}, {"LANG", "de_DE.UTF-8"}});
        i18n::set_language("");
        EXPECT_EQ(i18n::effective_language(), "zh_TW");
        EXPECT_STREQ(i18n::T("cancel"), lang("zh_TW").values[key_index("cancel")]);
    }
}

TEST(Translations, LookupAndDirection) {
    LangEnv env(LangEnv::Values{});
    i18n::set_language("de");
    EXPECT_STREQ(i18n::T("preamp"), lang("de").values[key_index("preamp")]);
    EXPECT_STREQ(i18n::T("about"), lang("de").values[0]);
    EXPECT_STREQ(i18n::T("third_party"), lang("de").values[i18n_data::kKeyCount - 1]);
    // Something that is not a key comes back as it is: a user preset's own name, say.
    const char* own = "Mein Abend";
    EXPECT_EQ(i18n::T(own), own);
    EXPECT_STREQ(i18n::T(""), "");
    EXPECT_STREQ(i18n::T(nullptr), "");
    EXPECT_STREQ(i18n::T("preset_zzz"), "preset_zzz");

    std::set<std::string> rtl;
    for (const i18n::Language& l : i18n::languages()) {
        i18n::set_language(l.code);
        EXPECT_EQ(i18n::effective_language(), l.code);
        EXPECT_EQ(i18n::rtl(), l.rtl);
        if (l.rtl) rtl.insert(l.code);
    }
    EXPECT_EQ(rtl, (std::set<std::string>{"ar", "fa", "he", "ps", "ur"}));
}

TEST(Translations, TablesAreComplete) {
    const auto& list = i18n::languages();
    ASSERT_EQ(list.size(), 83u);
    EXPECT_EQ(list.front().code, "af");
    EXPECT_EQ(list[list.size() - 2].code, "zh_TW");
    EXPECT_EQ(list.back().code, "zh");
    EXPECT_EQ(list[13].name, "English");
    std::set<std::string> codes;
    for (const auto& l : list) EXPECT_TRUE(codes.insert(l.code).second) << l.code;

    for (int i = 1; i < i18n_data::kKeyCount; ++i)
        EXPECT_LT(std::strcmp(i18n_data::KEYS[i - 1], i18n_data::KEYS[i]), 0) << i18n_data::KEYS[i];
    EXPECT_STREQ(i18n_data::KEYS[40], "preamp");

    const i18n_data::Lang& en = lang("en");
    for (const i18n_data::Lang& l : i18n_data::LANGS) {
        for (int k = 0; k < i18n_data::kKeyCount; ++k) {
            const std::string text = l.values[k] ? l.values[k] : "";
            EXPECT_FALSE(text.empty()) << l.code << " " << i18n_data::KEYS[k];
            EXPECT_EQ(placeholders(text), placeholders(en.values[k])) << l.code << " " << i18n_data::KEYS[k];
            EXPECT_NO_THROW(code_points(text)) << l.code << " " << i18n_data::KEYS[k];
        }
    }
}

TEST(Translations, NoLanguageLeftInEnglish) {
    const i18n_data::Lang& en = lang("en");
    for (const i18n_data::Lang& l : i18n_data::LANGS) {
        if (std::strcmp(l.code, "en") == 0) continue;
        int same = 0;
        for (int k = 0; k < i18n_data::kKeyCount; ++k) {
            if (std::strcmp(l.values[k], en.values[k]) != 0) continue;
            ++same;
            // Only names and short technical words may stay as they are ("Jazz", "Stereo"), and
            // the version line, which reads the same in some languages.
            if (std::strcmp(i18n_data::KEYS[k], "about_version") != 0) {
                EXPECT_LE(std::strlen(l.values[k]), 12u)
                    << l.code << " " << i18n_data::KEYS[k] << " is English";
            }
        }
        EXPECT_LE(same, 8) << l.code << " has " << same << " English texts";

        // Languages with their own script use it: most letters of every longer text are in it.
        const auto it = scripts().find(l.code);
        if (it == scripts().end()) continue;
        for (int k = 0; k < i18n_data::kKeyCount; ++k) {
            int own = 0, latin = 0;
            for (char32_t c : code_points(without_names(l.values[k]))) {
                bool in = false;
                for (const auto& [lo, hi] : it->second) in = in || (c >= lo && c <= hi);
                own += in;
                latin += latin_letter(c);
            }
            if (own + latin >= 20) {
                EXPECT_GT(own, 2 * latin) << l.code << " " << i18n_data::KEYS[k] << ": " << l.values[k];
            }
        }
    }
}
