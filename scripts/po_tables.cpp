// Build step: turns the translators' files (resources/i18n/languages.txt and one gettext .po
// file per language, keyed by message keys) into the compiled-in tables of core/i18n_data.h.
// It refuses (exit 1, with file and line) anything that would leave a table incomplete: a
// missing or unknown key, an empty text, a language without its file.
// Usage: po_tables I18N_DIR OUTPUT.cpp
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Entry {
    std::string key, text;
};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", where.c_str(), what.c_str());
    std::exit(1);
}

// The contents of a quoted .po string starting at `pos` (the opening quote), unescaped.
std::string unquote(const std::string& line, size_t pos, const std::string& where) {
    if (pos >= line.size() || line[pos] != '"') fail(where, "expected a quoted string");
    std::string out;
    size_t i = pos + 1;
    for (; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\') {
            out += line[i];
            continue;
        }
        if (++i >= line.size()) fail(where, "dangling backslash");
        switch (line[i]) {
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '"':
            out += '"';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            fail(where, std::string("unknown escape \\") + line[i]);
        }
    }
    if (i >= line.size()) fail(where, "unterminated string");
    for (size_t j = i + 1; j < line.size(); ++j)
        if (line[j] != ' ' && line[j] != '\t' && line[j] != '\r') fail(where, "text after the closing quote");
    return out;
}

std::vector<Entry> read_po(const std::string& path) {
    std::ifstream in(path);
    if (!in) fail(path, "cannot be read");
    std::vector<Entry> entries;
    std::string line, *open = nullptr;
    Entry cur;
    bool have_id = false, have_str = false;
    auto finish = [&](const std::string& where) {
        if (have_id && !have_str) fail(where, "msgid without msgstr");
        if (have_id && !cur.key.empty()) entries.push_back(cur); // the empty id is the header
        cur = {};
        have_id = have_str = false;
        open = nullptr;
    };
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string where = path + ":" + std::to_string(number);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') {
            if (have_str) finish(where);
            continue;
        }
        if (line.rfind("msgid ", 0) == 0) {
            finish(where);
            cur.key = unquote(line, 6, where);
            have_id = true;
            open = &cur.key;
        } else if (line.rfind("msgstr ", 0) == 0) {
            if (!have_id || have_str) fail(where, "msgstr without msgid");
            cur.text = unquote(line, 7, where);
            have_str = true;
            open = &cur.text;
        } else if (line[0] == '"') {
            if (!open) fail(where, "continued string without msgid or msgstr");
            *open += unquote(line, 0, where);
        } else {
            fail(where, "not a .po line");
        }
    }
    finish(path + ":end");
    return entries;
}

// A C++ string literal; non-ASCII bytes pass as they are (the sources are UTF-8), and octal
// escapes are used for control bytes because they cannot swallow a following digit's meaning.
std::string literal(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\%03o", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string ident(const std::string& code) {
    std::string out;
    for (char c : code) out += (std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) fail("po_tables", "usage: po_tables I18N_DIR OUTPUT.cpp");
    const std::string dir = argv[1];

    struct Lang {
        std::string code, name;
        bool rtl;
    };
    std::vector<Lang> langs;
    {
        const std::string path = dir + "/languages.txt";
        std::ifstream in(path);
        if (!in) fail(path, "cannot be read");
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            if (line.empty() || line[0] == '#') continue;
            std::istringstream row(line);
            Lang l;
            std::string dir_word;
            if (!std::getline(row, l.code, '\t') || !std::getline(row, dir_word, '\t') ||
                !std::getline(row, l.name) || l.code.empty() || l.name.empty() ||
                (dir_word != "rtl" && dir_word != "-"))
                fail(path + ":" + std::to_string(number), "expected: code<TAB>rtl or -<TAB>native name");
            l.rtl = dir_word == "rtl";
            langs.push_back(l);
        }
    }

    // English defines the keys; every other language must have exactly the same ones.
    std::vector<Entry> english = read_po(dir + "/en.po");
    std::vector<std::string> keys;
    for (const Entry& e : english) keys.push_back(e.key);
    std::sort(keys.begin(), keys.end());
    if (std::adjacent_find(keys.begin(), keys.end()) != keys.end())
        fail(dir + "/en.po", "a key appears twice");

    std::ostringstream out;
    out << "// Generated from resources/i18n by scripts/po_tables.cpp. Edit the .po files, not this.\n"
        << "#include \"core/i18n_data.h\"\n\nnamespace i18n_data {\n\n";
    out << "const char* const KEYS[kKeyCount] = {\n";
    for (const std::string& k : keys) out << "    " << literal(k) << ",\n";
    out << "};\n\n";
    for (const Lang& l : langs) {
        const std::string path = dir + "/" + l.code + ".po";
        std::map<std::string, std::string> texts;
        for (const Entry& e : read_po(path)) {
            if (!std::binary_search(keys.begin(), keys.end(), e.key))
                fail(path, "unknown key \"" + e.key + "\"");
            if (e.text.empty()) fail(path, "empty text for \"" + e.key + "\"");
            if (!texts.emplace(e.key, e.text).second) fail(path, "key \"" + e.key + "\" appears twice");
        }
        for (const std::string& k : keys)
            if (!texts.count(k)) fail(path, "missing key \"" + k + "\"");
        out << "const char* const VALUES_" << ident(l.code) << "[kKeyCount] = {\n";
        for (const std::string& k : keys) out << "    " << literal(texts[k]) << ",\n";
        out << "};\n\n";
    }
    out << "const Lang LANGS[kLangCount] = {\n";
    for (const Lang& l : langs)
        out << "    {" << literal(l.code) << ", " << literal(l.name) << ", " << (l.rtl ? 1 : 0) << ", VALUES_"
            << ident(l.code) << "},\n";
    out << "};\n\nstatic_assert(sizeof(KEYS) / sizeof(KEYS[0]) == " << keys.size()
        << ", \"kKeyCount must match the keys of en.po\");\n"
        << "static_assert(sizeof(LANGS) / sizeof(LANGS[0]) == " << langs.size()
        << ", \"kLangCount must match languages.txt\");\n\n} // namespace i18n_data\n";

    const std::string target = argv[2];
    std::ofstream file(target + ".part");
    file << out.str();
    file.close();
    if (!file || std::rename((target + ".part").c_str(), target.c_str()) != 0)
        fail(target, "cannot be written");
    return 0;
}
