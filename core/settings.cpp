#include "core/settings.h"

#include "core/logger.h"
#include "core/paths_linux.h"
#include "core/save_crypt.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace settings {
namespace {

constexpr double kMaxGain = 12;
constexpr int kPresetScan = 200; // indices looked at, however many presets a file claims
// Far beyond any file this program writes; a bigger one is not ours and is not read into memory.
constexpr size_t kMaxFileSize = 16u << 20;
constexpr int kAsideSlots = 100;

using Values = std::unordered_map<std::string_view, std::string_view>;

// ---- writing

// %g with six significant digits, and "." whatever the locale.
std::string number_text(float v) {
    char buf[32];
    const auto r =
        std::to_chars(buf, buf + sizeof(buf), static_cast<double>(v), std::chars_format::general, 6);
    return std::string(buf, r.ptr);
}

void put(std::string& out, const std::string& key, const std::string& value) {
    out += key;
    out += '=';
    // A line break inside a value would end the line and could smuggle in keys of its own.
    for (char c : value) out += c == '\n' ? ' ' : c;
    out += '\n';
}

void put(std::string& out, const std::string& key, int value) {
    put(out, key, std::to_string(value));
}
void put(std::string& out, const std::string& key, bool value) {
    put(out, key, std::string(value ? "1" : "0"));
}

std::string curve_text(const eq::Curve& c) {
    std::string t;
    for (int i = 0; i < eq::kBands; ++i) t += number_text(c.band[i]) + ",";
    return t + number_text(c.preamp);
}

// ---- reading

// The longest numeric prefix after leading blanks, as strtod reads it in the C locale; no number
// gives 0. NaN gives 0 too: it would survive every clamp and silence the filter bank.
double number(std::string_view v) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const std::string s(v);
    const double d = c_locale ? strtod_l(s.c_str(), nullptr, c_locale) : std::strtod(s.c_str(), nullptr);
    return std::isnan(d) ? 0.0 : d;
}

float gain(std::string_view v) {
    return static_cast<float>(std::clamp(number(v), -kMaxGain, kMaxGain));
}

// Truncated towards zero; out-of-range values stop at the int limits instead of overflowing.
int integer(std::string_view v) {
    return static_cast<int>(
        std::clamp(number(v), static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}

const std::string_view* find(const Values& values, const std::string& key) {
    const auto it = values.find(key);
    return it == values.end() ? nullptr : &it->second;
}

// Cut before the 33rd code point; continuation bytes do not count, so no letter is split.
std::string cut_name(std::string_view name) {
    size_t points = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        const bool continuation = (static_cast<unsigned char>(name[i]) & 0xC0) == 0x80;
        if (!continuation && ++points > kMaxNameCodePoints) return std::string(name.substr(0, i));
    }
    return std::string(name);
}

// Eleven gains separated by ","; fewer fields make the preset unusable, more are ignored.
bool read_curve(std::string_view v, eq::Curve& c) {
    float g[eq::kBands + 1];
    for (int i = 0; i <= eq::kBands; ++i) {
        const size_t comma = v.find(',');
        if (comma == std::string_view::npos && i < eq::kBands) return false;
        g[i] = gain(v.substr(0, comma));
        v = comma == std::string_view::npos ? std::string_view() : v.substr(comma + 1);
    }
    std::copy(g, g + eq::kBands, c.band);
    c.preamp = g[eq::kBands];
    return true;
}

void read_user_presets(const Values& values, int claimed, std::vector<UserPreset>& list) {
    for (int i = 0; i < std::min(claimed, kPresetScan); ++i) {
        const std::string up = "up" + std::to_string(i);
        const std::string_view* name = find(values, up + "_name");
        const std::string_view* gains = find(values, up);
        if (!name || !gains || gains->empty()) continue;
        UserPreset p;
        if (!read_curve(*gains, p.curve) || name->empty()) continue;
        p.name = cut_name(*name);
        if (list.size() >= kMaxUserPresets) continue;
        const auto same = [&](const UserPreset& q) { return q.name == p.name; };
        if (std::any_of(list.begin(), list.end(), same)) continue;
        list.push_back(std::move(p));
    }
}

Values split_lines(const std::string& text) {
    Values values;
    std::string_view rest(text);
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const size_t eq = line.find('=');
        if (eq != std::string_view::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

// ---- the file

// False when the file is missing or unreadable; `too_big` marks a file that cannot be ours.
bool read_file(const std::string& path, std::string& out, bool& too_big) {
    too_big = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        out.append(buf, static_cast<size_t>(n));
        if (out.size() > kMaxFileSize) {
            too_big = true;
            break;
        }
    }
    ::close(fd);
    return ok;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The damaged file keeps the user's last settings, so it is never replaced by a later damaged
// file: the first free one of ".manipuliert", ".manipuliert.1" ... is taken.
void move_aside(const std::string& path) {
    std::string target = path + ".manipuliert";
    for (int i = 1; i < kAsideSlots && exists(target); ++i)
        target = path + ".manipuliert." + std::to_string(i);
    if (std::rename(path.c_str(), target.c_str()) == 0)
        logger::warn("Settings damaged - moved aside as " + target);
    else
        logger::warn("Settings damaged - cannot be moved aside (" + std::string(std::strerror(errno)) +
                     "), defaults used: " + path);
}

bool write_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    // On disk before the rename, or a crash right after it could leave an empty file behind.
    return ::fsync(fd) == 0 || errno == EINVAL || errno == ENOSYS;
}

} // namespace

std::string serialize(const Settings& s) {
    std::string t;
    for (int i = 0; i < eq::kBands; ++i) put(t, "band" + std::to_string(i), number_text(s.curve.band[i]));
    put(t, "preset", s.preset);
    put(t, "user_presets", static_cast<int>(s.user_presets.size()));
    for (size_t i = 0; i < s.user_presets.size(); ++i) {
        const std::string up = "up" + std::to_string(i);
        put(t, up + "_name", s.user_presets[i].name);
        put(t, up, curve_text(s.user_presets[i].curve));
    }
    put(t, "preamp", number_text(s.curve.preamp));
    put(t, "active", s.active);
    put(t, "active_on_start", s.active_on_start);
    put(t, "compact", s.compact);
    put(t, "compact_on_top", s.compact_on_top);
    put(t, "output", s.output);
    put(t, "last_default", s.last_default);
    put(t, "channel", s.channel);
    put(t, "language", s.language);
    put(t, "theme", s.theme);
    put(t, "win_x", s.win_x);
    put(t, "win_y", s.win_y);
    put(t, "win_w", s.win_w);
    put(t, "win_h", s.win_h);
    put(t, "collapsed", s.collapsed);
    put(t, "head_folded", s.head_folded);
    put(t, "flash_notice_seen", s.flash_notice_seen);
    put(t, "reduce_flashes", s.reduce_flashes);
    put(t, "mini_x", s.mini_x);
    put(t, "mini_y", s.mini_y);
    put(t, "mini_w", s.mini_w);
    put(t, "mini_h", s.mini_h);
    return t;
}

void deserialize(const std::string& text, Settings& s) {
    const Values values = split_lines(text);
    const auto nonempty = [&](const std::string& key) {
        const std::string_view* v = find(values, key);
        return v && !v->empty() ? v : nullptr;
    };

    for (int i = 0; i < eq::kBands; ++i)
        if (const auto* v = nonempty("band" + std::to_string(i))) s.curve.band[i] = gain(*v);
    if (const auto* v = nonempty("preamp")) s.curve.preamp = gain(*v);

    const std::pair<const char*, std::string*> strings[] = {
        {"preset", &s.preset},     {"output", &s.output}, {"last_default", &s.last_default},
        {"language", &s.language}, {"theme", &s.theme},
    };
    for (const auto& [key, field] : strings)
        if (const auto* v = find(values, key)) field->assign(*v);

    const std::pair<const char*, bool*> flags[] = {
        {"active", &s.active},
        {"active_on_start", &s.active_on_start},
        {"compact", &s.compact},
        {"compact_on_top", &s.compact_on_top},
        {"collapsed", &s.collapsed},
        {"head_folded", &s.head_folded},
        {"flash_notice_seen", &s.flash_notice_seen},
        {"reduce_flashes", &s.reduce_flashes},
    };
    for (const auto& [key, field] : flags)
        if (const auto* v = find(values, key)) *field = *v == "1";

    if (const auto* v = nonempty("channel")) {
        const int c = integer(*v);
        if (c >= 0 && c <= 2) s.channel = c;
    }

    const std::pair<const char*, int*> ints[] = {
        {"win_x", &s.win_x},   {"win_y", &s.win_y},   {"win_w", &s.win_w},   {"win_h", &s.win_h},
        {"mini_x", &s.mini_x}, {"mini_y", &s.mini_y}, {"mini_w", &s.mini_w}, {"mini_h", &s.mini_h},
    };
    for (const auto& [key, field] : ints)
        if (const auto* v = nonempty(key)) *field = integer(*v);

    if (const auto* v = nonempty("user_presets")) read_user_presets(values, integer(*v), s.user_presets);
}

std::string file_path() {
    return paths::config_dir() + "/settings.dat";
}

Settings load() {
    Settings s;
    const std::string path = file_path();
    std::string sealed;
    bool too_big = false;
    if (!read_file(path, sealed, too_big)) return s;
    if (sealed.empty()) return s;
    std::string plain;
    const int rc = too_big ? save_crypt::kInvalid : save_crypt::decrypt(sealed, &plain);
    if (rc == save_crypt::kOpened)
        deserialize(plain, s);
    else if (rc == save_crypt::kInvalid)
        move_aside(path);
    return s;
}

bool save(const Settings& s) {
    const std::string path = file_path();
    const std::string tmp = path + ".tmp";
    const std::string sealed = save_crypt::encrypt(serialize(s));
    if (sealed.empty()) {
        logger::error("Settings cannot be sealed");
        return false;
    }
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        logger::error("Settings not writable: " + tmp);
        return false;
    }
    // A failed close can be the first report of a failed write (quota, network file systems).
    const bool written = write_all(fd, sealed);
    if (!(::close(fd) == 0 && written)) {
        logger::error("Settings not completely written");
        return false;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        logger::error("Settings cannot be replaced");
        return false;
    }
    return true;
}

void seal_selftest(bool& roundtrip_ok, bool& tamper_detected) {
    // 42 bytes: the product name, "settings", blanks, two control bytes and the letters Ä Ö Ü.
    static const char kSample[] = "Lumafon settings \x01"
                                  "\xC3\x84\xC3\x96\xC3\x9C"
                                  "\x02 settings Lumafon";
    static_assert(sizeof(kSample) - 1 == 42);
    const std::string sample(kSample, sizeof(kSample) - 1);
    std::string sealed = save_crypt::encrypt(sample);
    std::string opened;
    roundtrip_ok = save_crypt::decrypt(sealed, &opened) == save_crypt::kOpened && opened == sample;
    if (!sealed.empty()) sealed.back() = static_cast<char>(sealed.back() ^ 1);
    tamper_detected = save_crypt::decrypt(sealed, nullptr) == save_crypt::kInvalid;
}

} // namespace settings
