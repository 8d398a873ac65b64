#include "core/logger.h"
#include "core/save_crypt.h"
#include "core/settings.h"
#include "fuzz/fuzz_settings_deserialize.cpp"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

using test_support::exists;
using test_support::read_file;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::write_file;

const std::string kSourceDir = LUMAFON_SOURCE_DIR;
const std::string kSamplePath = kSourceDir + "/tests/unit/data/settings_sample.dat";

Settings parse(const std::string& text) {
    Settings s;
    settings::deserialize(text, s);
    return s;
}

// Gains survive a save to six significant digits.
void expect_same_gain(float a, float b) {
    EXPECT_NEAR(a, b, std::fabs(a) * 1e-5 + 1e-30) << a << " vs " << b;
}

void expect_same_curve(const eq::Curve& a, const eq::Curve& b) {
    for (int i = 0; i < eq::kBands; ++i) expect_same_gain(a.band[i], b.band[i]);
    expect_same_gain(a.preamp, b.preamp);
}

void expect_same(const Settings& a, const Settings& b) {
    expect_same_curve(a.curve, b.curve);
    EXPECT_EQ(a.preset, b.preset);
    ASSERT_EQ(a.user_presets.size(), b.user_presets.size());
    for (size_t i = 0; i < a.user_presets.size(); ++i) {
        EXPECT_EQ(a.user_presets[i].name, b.user_presets[i].name);
        expect_same_curve(a.user_presets[i].curve, b.user_presets[i].curve);
    }
    EXPECT_EQ(a.active, b.active);
    EXPECT_EQ(a.active_on_start, b.active_on_start);
    EXPECT_EQ(a.compact, b.compact);
    EXPECT_EQ(a.compact_on_top, b.compact_on_top);
    EXPECT_EQ(a.output, b.output);
    EXPECT_EQ(a.last_default, b.last_default);
    EXPECT_EQ(a.channel, b.channel);
    EXPECT_EQ(a.language, b.language);
    EXPECT_EQ(a.theme, b.theme);
    EXPECT_EQ(a.win_x, b.win_x);
    EXPECT_EQ(a.win_y, b.win_y);
    EXPECT_EQ(a.win_w, b.win_w);
    EXPECT_EQ(a.win_h, b.win_h);
    EXPECT_EQ(a.collapsed, b.collapsed);
    EXPECT_EQ(a.head_folded, b.head_folded);
    EXPECT_EQ(a.flash_notice_seen, b.flash_notice_seen);
    EXPECT_EQ(a.reduce_flashes, b.reduce_flashes);
    EXPECT_EQ(a.mini_x, b.mini_x);
    EXPECT_EQ(a.mini_y, b.mini_y);
    EXPECT_EQ(a.mini_w, b.mini_w);
    EXPECT_EQ(a.mini_h, b.mini_h);
}

// The record stored in the committed sample file, which was written by
//   save_crypt::encrypt(settings::serialize(sample_record()))
// Make a new one only after a deliberate change of the file format: users' files of the old
// format would no longer open.
Settings sample_record() {
    Settings s;
    s.preset = "u:Wohnzimmer \xC3\x84\xC3\x96\xC3\x9C";
    s.user_presets.push_back({"K\xC3\xBC"
                              "che",
                              {{1, 2, 3, 4, 5, -6, -7, -8, -9, -10}, -11.5f}});
    s.user_presets.push_back(
        {"Wohnzimmer \xC3\x84\xC3\x96\xC3\x9C", {{0.25f, 0, 0, 0, 0, 0, 0, 0, 0, 12}, -1}});
    s.active = false;
    s.compact = true;
    s.output = "alsa_output.pci-0000_00_1f.3.analog-stereo";
    s.last_default = "bluez_sink.AA=BB";
    s.channel = 2;
    s.language = "de";
    s.theme = "light";
    s.win_x = 100;
    s.win_y = 200;
    s.win_w = 960;
    s.win_h = 820;
    s.collapsed = false;
    s.flash_notice_seen = true;
    s.mini_x = -20;
    s.mini_w = 420;
    s.mini_h = 150;
    return s;
}

std::string random_name(std::mt19937& rng, size_t max_points = settings::kMaxNameCodePoints) {
    static const char* const kLetters[] = {
        "a", "Z", "=", " ", "\xC3\x9F", "\xC3\xA9", "\xC3\x84", "\xE6\x97\xA5", "\xF0\x9F\x8E\xB5",
        ",", "\r"};
    std::string name;
    const size_t n = 1 + rng() % max_points;
    for (size_t i = 0; i < n; ++i) name += kLetters[rng() % std::size(kLetters)];
    return name;
}

Settings random_record(std::mt19937& rng) {
    std::uniform_real_distribution<float> gain(-12, 12);
    const auto curve = [&] {
        eq::Curve c;
        for (float& g : c.band) g = gain(rng);
        c.preamp = gain(rng);
        return c;
    };
    const auto integer = [&] { return static_cast<int>(rng()); };
    const auto flag = [&] { return rng() % 2 == 1; };
    Settings s;
    s.curve = curve();
    const size_t presets = rng() % (settings::kMaxUserPresets + 1);
    for (size_t i = 0; i < presets; ++i)
        s.user_presets.push_back({std::to_string(i) + random_name(rng, 30), curve()});
    s.preset = "u:" + (presets ? s.user_presets[0].name : random_name(rng));
    s.active = flag();
    s.active_on_start = flag();
    s.compact = flag();
    s.compact_on_top = flag();
    s.output = "sink=" + random_name(rng) + "=x";
    s.last_default = random_name(rng);
    s.channel = static_cast<int>(rng() % 3);
    s.language = random_name(rng);
    s.theme = flag() ? "light" : "dark";
    s.win_x = integer(), s.win_y = integer(), s.win_w = integer(), s.win_h = integer();
    s.collapsed = flag();
    s.head_folded = flag();
    s.flash_notice_seen = flag();
    s.reduce_flashes = flag();
    s.mini_x = integer(), s.mini_y = integer(), s.mini_w = integer(), s.mini_h = integer();
    return s;
}

// A private configuration directory and log for each test.
class SettingsFile : public ::testing::Test {
  protected:
    TempDir home;
    ScopedEnv xdg{"XDG_CONFIG_HOME", home.path().c_str()};
    std::string path = home / "Lumafon/settings.dat";

    void SetUp() override {
        ASSERT_EQ(settings::file_path(), path);
        logger::init(home.path(), "test");
    }
    void TearDown() override { logger::shutdown(); }
    std::string log() const { return read_file(home / "test.log").value_or(""); }

    // A damaged file is moved aside whole, and the defaults are used.
    void expect_moved_aside(const std::string& content, const std::string& aside) {
        ASSERT_TRUE(write_file(path, content));
        expect_same(settings::load(), Settings{});
        EXPECT_FALSE(exists(path));
        EXPECT_EQ(read_file(aside), content);
        EXPECT_NE(log().find("WARN  Settings damaged - moved aside as " + aside + "\n"), std::string::npos)
            << log();
    }
};

TEST(SettingsText, DefaultsAreThoseOfAFreshInstallation) {
    const Settings s;
    EXPECT_TRUE(eq::same(s.curve, eq::standard_curve()));
    EXPECT_EQ(s.preset, "b:preset_standard");
    EXPECT_TRUE(s.active && s.active_on_start && !s.compact && s.compact_on_top);
    EXPECT_EQ(s.language, "auto");
    EXPECT_EQ(s.theme, "dark");
    EXPECT_EQ(s.win_x, -1);
    EXPECT_EQ(s.win_w, 0);
    EXPECT_TRUE(s.collapsed && s.head_folded && !s.flash_notice_seen && !s.reduce_flashes);
}

TEST(SettingsText, WritesKeysInTheirOrder) {
    Settings s;
    s.user_presets.push_back({"Mein", {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0.333333f}});
    s.curve.band[9] = 1e-05f;
    EXPECT_EQ(
        settings::serialize(s),
        "band0=3\nband1=2.5\nband2=1.5\nband3=0.5\nband4=0\nband5=0\nband6=0.5\nband7=1.5\nband8=2\n"
        "band9=1e-05\npreset=b:preset_standard\nuser_presets=1\nup0_name=Mein\n"
        "up0=1,2,3,4,5,6,7,8,9,10,0.333333\npreamp=-2\nactive=1\nactive_on_start=1\ncompact=0\n"
        "compact_on_top=1\noutput=\nlast_default=\nchannel=0\nlanguage=auto\ntheme=dark\nwin_x=-1\n"
        "win_y=-1\nwin_w=0\nwin_h=0\ncollapsed=1\nhead_folded=1\nflash_notice_seen=0\nreduce_flashes=0\n"
        "mini_x=-1\nmini_y=-1\nmini_w=0\nmini_h=0\n");
}

TEST(SettingsText, GainsAreReadLikeStrtodAndClamped) {
    const Settings s = parse("band0=20\nband1=-40\nband2=\nband3=abc\nband4=  5.5xyz\nband5=nan\nband6=-inf\n"
                             "band7=1e-05\nband8=0x1p2\npreamp=-3.25\n");
    EXPECT_EQ(s.curve.band[0], 12);
    EXPECT_EQ(s.curve.band[1], -12);
    EXPECT_EQ(s.curve.band[2], eq::standard_curve().band[2]) << "an empty value leaves the field";
    EXPECT_EQ(s.curve.band[3], 0);
    EXPECT_EQ(s.curve.band[4], 5.5f);
    EXPECT_EQ(s.curve.band[5], 0) << "NaN would silence the filter bank";
    EXPECT_EQ(s.curve.band[6], -12);
    EXPECT_EQ(s.curve.band[7], 1e-05f);
    EXPECT_EQ(s.curve.band[8], 4);
    EXPECT_EQ(s.curve.preamp, -3.25f);
    EXPECT_EQ(s.curve.band[9], eq::standard_curve().band[9]) << "an absent key leaves the field";
}

TEST(SettingsText, BooleansAreTrueOnlyForOne) {
    const Settings s = parse("active=true\nactive_on_start=\ncompact=1\ncompact_on_top=0\ncollapsed= 1\n"
                             "head_folded=1\r\nflash_notice_seen=1\nreduce_flashes=yes\n");
    EXPECT_FALSE(s.active);
    EXPECT_FALSE(s.active_on_start);
    EXPECT_TRUE(s.compact);
    EXPECT_FALSE(s.compact_on_top);
    EXPECT_FALSE(s.collapsed);
    EXPECT_FALSE(s.head_folded) << "nothing is trimmed, not even a carriage return";
    EXPECT_TRUE(s.flash_notice_seen);
    EXPECT_FALSE(s.reduce_flashes);
}

TEST(SettingsText, ChannelAndIntegers) {
    EXPECT_EQ(parse("channel=3\n").channel, 0);
    EXPECT_EQ(parse("channel=-1\n").channel, 0);
    EXPECT_EQ(parse("channel=2\n").channel, 2);
    EXPECT_EQ(parse("channel=1.9\n").channel, 1);
    EXPECT_EQ(parse("channel=nan\n").channel, 0);
    Settings start;
    start.channel = 1;
    settings::deserialize("channel=\n", start);
    EXPECT_EQ(start.channel, 1);

    const Settings s =
        parse("win_x=-50\nwin_y=12.7\nwin_w=1e12\nwin_h=\nmini_x=-1e300\nmini_y=abc\nmini_w=7\n"
              "mini_h=-0.9\n");
    EXPECT_EQ(s.win_x, -50);
    EXPECT_EQ(s.win_y, 12);
    EXPECT_EQ(s.win_w, INT_MAX);
    EXPECT_EQ(s.win_h, 0);
    EXPECT_EQ(s.mini_x, INT_MIN);
    EXPECT_EQ(s.mini_y, 0);
    EXPECT_EQ(s.mini_w, 7);
    EXPECT_EQ(s.mini_h, 0);
}

TEST(SettingsText, LinesKeysAndStrings) {
    const Settings s = parse("no equals sign\noutput=a=b=c\npreset=\ntheme=light\r\n theme=dark\n"
                             "language=fr\nlanguage=pt_BR\nlast_default=x");
    EXPECT_EQ(s.output, "a=b=c");
    EXPECT_EQ(s.preset, "");
    EXPECT_EQ(s.theme, "light\r");
    EXPECT_EQ(s.language, "pt_BR") << "a key that occurs twice takes the later value";
    EXPECT_EQ(s.last_default, "x") << "the last line needs no line break";
}

std::string preset_line(int i, const std::string& name, const std::string& gains) {
    return "up" + std::to_string(i) + "_name=" + name + "\nup" + std::to_string(i) + "=" + gains + "\n";
}

const std::string kEleven = "1,2,3,4,5,6,7,8,9,10,11";

// Appended, not "n" + std::to_string(i): that trips GCC 12's -Wrestrict false positive at -O3.
std::string numbered_name(int i) {
    std::string name = "n";
    name += std::to_string(i);
    return name;
}

TEST(SettingsText, UserPresetFields) {
    std::string text = "user_presets=9\n";
    text += preset_line(0, "ten", "1,2,3,4,5,6,7,8,9,10");
    text += preset_line(1, "twelve", "1,2,3,4,5,6,7,8,9,10,-11,99");
    text += preset_line(2, "clamped", "20,-20,,abc,0,0,0,0,0,0,nan");
    text += "up3=" + kEleven + "\n";                           // no name
    text += preset_line(4, "", kEleven);                       // empty name
    text += preset_line(5, "no gains", "");                    // empty gains
    text += preset_line(6, "twelve", "0,0,0,0,0,0,0,0,0,0,0"); // name taken
    text += preset_line(9, "beyond the count", kEleven);
    const Settings s = parse(text);
    ASSERT_EQ(s.user_presets.size(), 2u);
    EXPECT_EQ(s.user_presets[0].name, "twelve");
    EXPECT_EQ(s.user_presets[0].curve.band[9], 10);
    EXPECT_EQ(s.user_presets[0].curve.preamp, -11);
    EXPECT_EQ(s.user_presets[1].name, "clamped");
    EXPECT_EQ(s.user_presets[1].curve.band[0], 12);
    EXPECT_EQ(s.user_presets[1].curve.band[1], -12);
    EXPECT_EQ(s.user_presets[1].curve.band[2], 0);
    EXPECT_EQ(s.user_presets[1].curve.preamp, 0);

    EXPECT_TRUE(parse("user_presets=0\n" + preset_line(0, "a", kEleven)).user_presets.empty());
    EXPECT_TRUE(parse("user_presets=-5\n" + preset_line(0, "a", kEleven)).user_presets.empty());
    EXPECT_TRUE(parse(preset_line(0, "a", kEleven)).user_presets.empty()) << "no count, no presets";
    EXPECT_EQ(parse("user_presets=2.9\n" + preset_line(1, "b", kEleven)).user_presets.size(), 1u);
}

TEST(SettingsText, UserPresetNamesAreCutAtCodePoints) {
    const std::string forty(40, 'x');
    std::string umlauts, one_more;
    for (int i = 0; i < 32; ++i) umlauts += "\xC3\xA4";
    one_more = umlauts + "\xC3\xB6";
    const std::string han = std::string("\xE6\x97\xA5") + std::string(35, 'y');
    const Settings s =
        parse("user_presets=4\n" + preset_line(0, forty, kEleven) + preset_line(1, umlauts, kEleven) +
              preset_line(2, one_more, kEleven) + preset_line(3, han, kEleven));
    ASSERT_EQ(s.user_presets.size(), 3u) << "the cut third name equals the second";
    EXPECT_EQ(s.user_presets[0].name, std::string(32, 'x'));
    EXPECT_EQ(s.user_presets[1].name, umlauts);
    EXPECT_EQ(s.user_presets[2].name, "\xE6\x97\xA5" + std::string(31, 'y'));
}

TEST(SettingsText, UserPresetCountsAreLimited) {
    std::string all;
    for (int i = 0; i < 300; ++i) all += preset_line(i, numbered_name(i), kEleven);
    const Settings capped = parse("user_presets=300\n" + all);
    ASSERT_EQ(capped.user_presets.size(), settings::kMaxUserPresets);
    EXPECT_EQ(capped.user_presets.back().name, "n99");

    std::string late;
    for (int i = 150; i < 300; ++i) late += preset_line(i, numbered_name(i), kEleven);
    const Settings scanned = parse("user_presets=300\n" + late);
    ASSERT_EQ(scanned.user_presets.size(), 50u) << "only the indices below 200 are looked at";
    EXPECT_EQ(scanned.user_presets.back().name, "n199");

    Settings existing;
    existing.user_presets.push_back({"n0", {}});
    settings::deserialize("user_presets=2\n" + preset_line(0, "n0", kEleven) + preset_line(1, "n1", kEleven),
                          existing);
    ASSERT_EQ(existing.user_presets.size(), 2u) << "appended to the list, duplicates of it skipped";
    EXPECT_EQ(existing.user_presets[0].curve.band[0], 0);
    EXPECT_EQ(existing.user_presets[1].name, "n1");
}

TEST(SettingsText, ALineBreakInAValueCannotAddKeys) {
    Settings s;
    s.output = "dev\nchannel=2";
    s.user_presets.push_back({"evil\nband0=-12", {}});
    const Settings back = parse(settings::serialize(s));
    EXPECT_EQ(back.channel, 0);
    EXPECT_EQ(back.curve.band[0], s.curve.band[0]);
    EXPECT_EQ(back.output, "dev channel=2");
    ASSERT_EQ(back.user_presets.size(), 1u);
    EXPECT_EQ(back.user_presets[0].name, "evil band0=-12");
}

TEST(SettingsText, SeedCorpusPassesTheFuzzTarget) {
    const std::vector<std::string> corpus = test_support::fuzz_corpus("settings_deserialize");
    for (const std::string& data : corpus)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    EXPECT_GE(corpus.size(), 3u);
}

TEST(SettingsSeal, SelfTestPasses) {
    bool roundtrip = false, tamper = false;
    settings::seal_selftest(roundtrip, tamper);
    EXPECT_TRUE(roundtrip);
    EXPECT_TRUE(tamper);
}

TEST_F(SettingsFile, RandomRecordsSurviveSaveAndLoad) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 40; ++round) {
        const Settings s = random_record(rng);
        ASSERT_TRUE(settings::save(s));
        EXPECT_FALSE(exists(path + ".tmp"));
        const auto bytes = read_file(path);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(bytes->find("preset="), std::string::npos) << "the text never touches the disk";
        SCOPED_TRACE(round);
        expect_same(settings::load(), s);
    }
    EXPECT_EQ(log(), "");
}

TEST_F(SettingsFile, MissingOrEmptyFileGivesDefaults) {
    expect_same(settings::load(), Settings{});
    ASSERT_TRUE(write_file(path, ""));
    expect_same(settings::load(), Settings{});
    EXPECT_TRUE(exists(path));
    EXPECT_FALSE(exists(path + ".manipuliert"));
    EXPECT_EQ(log(), "");
}

TEST_F(SettingsFile, PlainTextFileIsMovedAside) {
    expect_moved_aside(settings::serialize(sample_record()), path + ".manipuliert");
}

TEST_F(SettingsFile, TruncatedFileIsMovedAside) {
    const std::string sealed = save_crypt::encrypt(settings::serialize(sample_record()));
    expect_moved_aside(sealed.substr(0, sealed.size() - 1), path + ".manipuliert");
}

TEST_F(SettingsFile, FlippedBitIsMovedAsideWithoutReplacingAnEarlierOne) {
    std::string sealed = save_crypt::encrypt(settings::serialize(sample_record()));
    sealed[sealed.size() / 2] = static_cast<char>(sealed[sealed.size() / 2] ^ 0x10);
    expect_moved_aside(sealed, path + ".manipuliert");
    expect_moved_aside("second damaged file", path + ".manipuliert.1");
    EXPECT_EQ(read_file(path + ".manipuliert"), sealed) << "the first damaged file is kept";
}

TEST_F(SettingsFile, OpensTheFileOfAnEarlierBuild) {
    const auto sample = read_file(kSamplePath);
    ASSERT_TRUE(sample);
    ASSERT_TRUE(write_file(path, *sample));
    expect_same(settings::load(), sample_record());
    EXPECT_EQ(read_file(path), sample) << "loading leaves the file alone";
}

TEST_F(SettingsFile, FailedWriteKeepsThePreviousFile) {
    Settings first = sample_record();
    for (int i = 0; i < 20; ++i) first.user_presets.push_back({"Preset " + std::to_string(i), {}});
    ASSERT_TRUE(settings::save(first));
    const auto before = read_file(path);
    ASSERT_TRUE(before);
    ASSERT_GT(before->size(), 1000u);

    // A file size limit fails the write even for root, to whom every directory is writable.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 600;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Settings second = first;
    second.theme = "dark";
    const bool saved = settings::save(second);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(saved);
    EXPECT_NE(log().find("ERROR Settings not completely written\n"), std::string::npos) << log();
    EXPECT_EQ(read_file(path), before);
    expect_same(settings::load(), first);
}

TEST_F(SettingsFile, UnwritableTemporaryFileIsReported) {
    ASSERT_TRUE(settings::save(sample_record()));
    const auto before = read_file(path);
    ASSERT_EQ(::mkdir((path + ".tmp").c_str(), 0700), 0); // not even root opens a directory for writing
    EXPECT_FALSE(settings::save(Settings{}));
    EXPECT_NE(log().find("ERROR Settings not writable: " + path + ".tmp\n"), std::string::npos) << log();
    EXPECT_EQ(read_file(path), before);
}

TEST_F(SettingsFile, UnreplaceableFileIsReported) {
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    ASSERT_TRUE(write_file(path + "/keep", "x"));
    expect_same(settings::load(), Settings{});
    EXPECT_FALSE(settings::save(Settings{}));
    EXPECT_NE(log().find("ERROR Settings cannot be replaced\n"), std::string::npos) << log();
    EXPECT_EQ(read_file(path + "/keep"), "x");
}

// The user's locale may write decimal commas; the file must not follow it.
TEST_F(SettingsFile, FileIsTheSameInEveryLocale) {
    TempDir locales;
    const std::string cmd = "localedef -i de_DE -f UTF-8 " + locales.path() + "/de_DE.UTF-8 >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "cannot build a German locale here";
    ScopedEnv locpath("LOCPATH", locales.path().c_str());
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    char probe[16];
    std::snprintf(probe, sizeof(probe), "%.1f", 2.5);
    Settings s;
    s.curve.band[0] = 2.5f;
    s.user_presets.push_back({"x", {{-0.5f}, 1.25f}});
    const std::string text = settings::serialize(s);
    const bool saved = settings::save(s);
    const Settings loaded = settings::load();
    std::setlocale(LC_ALL, "C");

    EXPECT_STREQ(probe, "2,5") << "the locale did not take effect";
    EXPECT_NE(text.find("band0=2.5\n"), std::string::npos);
    EXPECT_NE(text.find("up0=-0.5,0,0,0,0,0,0,0,0,0,1.25\n"), std::string::npos);
    EXPECT_TRUE(saved);
    expect_same(loaded, s);
}

} // namespace
