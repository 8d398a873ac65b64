#include "core/paths_linux.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using test_support::exists;
using test_support::is_dir;
using test_support::read_file;
using test_support::ScopedCwd;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::write_file;

mode_t mode_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class ConfigDir : public ::testing::Test {
  protected:
    TempDir root;
    ScopedEnv xdg{"XDG_CONFIG_HOME", nullptr};
    ScopedEnv home{"HOME", nullptr};
};

TEST_F(ConfigDir, XdgConfigHomeComesFirstAndIsCreatedPrivate) {
    ::setenv("XDG_CONFIG_HOME", (root / "a/b").c_str(), 1);
    ::setenv("HOME", (root / "home").c_str(), 1);
    EXPECT_EQ(paths::config_dir(), root / "a/b/Lumafon");
    EXPECT_EQ(mode_of(root / "a/b/Lumafon"), 0700u);
    EXPECT_EQ(mode_of(root / "a"), 0700u) << "missing ancestors are created private as well";
    EXPECT_FALSE(exists(root / "home"));
}

TEST_F(ConfigDir, EmptyXdgConfigHomeFallsBackToHome) {
    ::setenv("XDG_CONFIG_HOME", "", 1);
    ::setenv("HOME", root.path().c_str(), 1);
    ASSERT_EQ(::mkdir((root / ".config").c_str(), 0755), 0);
    EXPECT_EQ(paths::config_dir(), root / ".config/Lumafon");
    EXPECT_TRUE(is_dir(root / ".config/Lumafon"));
    EXPECT_EQ(mode_of(root / ".config"), 0755u) << "an existing directory keeps its mode";
}

TEST_F(ConfigDir, WithoutXdgAndHomeItIsRelative) {
    ScopedCwd cwd(root.path());
    ::setenv("HOME", "", 1);
    EXPECT_EQ(paths::config_dir(), ".Lumafon");
    EXPECT_TRUE(is_dir(root / ".Lumafon"));
}

TEST_F(ConfigDir, OneLetterRelativeComponentIsCreated) {
    ScopedCwd cwd(root.path());
    ::setenv("XDG_CONFIG_HOME", "x", 1);
    EXPECT_EQ(paths::config_dir(), "x/Lumafon");
    EXPECT_TRUE(is_dir(root / "x/Lumafon"));
}

TEST_F(ConfigDir, PredecessorDirectoryIsTakenOverWhenAlone) {
    ::setenv("XDG_CONFIG_HOME", root.path().c_str(), 1);
    ASSERT_EQ(::mkdir((root / "Kantilon").c_str(), 0700), 0);
    ASSERT_TRUE(write_file(root / "Kantilon/settings.dat", "old"));
    EXPECT_EQ(paths::config_dir(), root / "Lumafon");
    EXPECT_EQ(read_file(root / "Lumafon/settings.dat"), "old");
    EXPECT_FALSE(exists(root / "Kantilon"));
}

TEST_F(ConfigDir, PredecessorIsLeftAloneWhenTheNewDirectoryExists) {
    ::setenv("XDG_CONFIG_HOME", root.path().c_str(), 1);
    ASSERT_EQ(::mkdir((root / "Kantilon").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((root / "Lumafon").c_str(), 0700), 0);
    ASSERT_TRUE(write_file(root / "Kantilon/settings.dat", "old"));
    ASSERT_TRUE(write_file(root / "Lumafon/settings.dat", "new"));
    paths::config_dir();
    EXPECT_EQ(read_file(root / "Kantilon/settings.dat"), "old");
    EXPECT_EQ(read_file(root / "Lumafon/settings.dat"), "new");
}

TEST_F(ConfigDir, PredecessorMustBeADirectory) {
    ::setenv("XDG_CONFIG_HOME", root.path().c_str(), 1);
    ASSERT_TRUE(write_file(root / "Kantilon", "a file"));
    EXPECT_EQ(paths::config_dir(), root / "Lumafon");
    EXPECT_TRUE(is_dir(root / "Lumafon"));
    EXPECT_EQ(read_file(root / "Kantilon"), "a file");
}

TEST_F(ConfigDir, OnlyTheLastProductNameIsReplaced) {
    ASSERT_EQ(::mkdir((root / "Lumafon").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((root / "Lumafon/Kantilon").c_str(), 0700), 0);
    ::setenv("XDG_CONFIG_HOME", (root / "Lumafon").c_str(), 1);
    EXPECT_EQ(paths::config_dir(), root / "Lumafon/Lumafon");
    EXPECT_FALSE(exists(root / "Lumafon/Kantilon"));
}

TEST(PackageKind, FirstSetVariableWins) {
    ScopedEnv snap("SNAP", nullptr), flatpak("FLATPAK_ID", nullptr), appdir("APPDIR", nullptr);
    EXPECT_EQ(paths::package_kind(), "plain");
    ::setenv("SNAP", "", 1);
    ::setenv("APPDIR", "/tmp/.mount_x", 1);
    EXPECT_EQ(paths::package_kind(), "appimage");
    ::setenv("FLATPAK_ID", "org.example.Lumafon", 1);
    EXPECT_EQ(paths::package_kind(), "flatpak");
    ::setenv("SNAP", "/snap/lumafon/7", 1);
    EXPECT_EQ(paths::package_kind(), "snap");
}

class Language : public ::testing::Test {
  protected:
    ScopedEnv luma{"LUMA2_LANG", nullptr}, language{"LANGUAGE", nullptr}, all{"LC_ALL", nullptr},
        messages{"LC_MESSAGES", nullptr}, lang{"LANG", nullptr};
};

TEST_F(Language, VariablesInTheirOrderWithCuts) {
    EXPECT_EQ(paths::system_language(), "en");
    ::setenv("LANG", "de_DE.UTF-8@euro", 1);
    EXPECT_EQ(paths::system_language(), "de_DE");
    ::setenv("LC_MESSAGES", "sr@latin", 1);
    EXPECT_EQ(paths::system_language(), "sr");
    ::setenv("LC_ALL", "C", 1);
    EXPECT_EQ(paths::system_language(), "sr") << "C is skipped";
    ::setenv("LC_ALL", "fr_CA.ISO-8859-1", 1);
    EXPECT_EQ(paths::system_language(), "fr_CA");
    ::setenv("LANGUAGE", "pt_BR:en", 1);
    EXPECT_EQ(paths::system_language(), "pt_BR");
    ::setenv("LUMA2_LANG", "ja", 1);
    EXPECT_EQ(paths::system_language(), "ja") << "the program's own variable overrides the system";
}

TEST_F(Language, UnusableValuesAreSkipped) {
    ::setenv("LANG", "nl_NL.UTF-8", 1);
    for (const char* bad : {"", "C", "C.UTF-8", "POSIX", "x", ":de", ".utf8", "@euro"}) {
        ::setenv("LANGUAGE", bad, 1);
        ::setenv("LC_ALL", bad, 1);
        EXPECT_EQ(paths::system_language(), "nl_NL") << '"' << bad << '"';
    }
}

} // namespace
