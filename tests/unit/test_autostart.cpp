#include "core/logger.h"
#include "desktop/autostart_linux.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using test_support::exists;
using test_support::read_file;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::write_file;

struct Entry {
    bool loaded = false;
    std::string exec, icon;
    std::vector<std::string> argv; // as a desktop would start it
};

// Reads an entry the way desktops do: GLib's key-file parser for the file, its shell rules for
// the Exec line, and "%%" standing for a percent sign.
Entry parse_entry(const std::string& path) {
    Entry e;
    GKeyFile* kf = g_key_file_new();
    if (g_key_file_load_from_file(kf, path.c_str(), G_KEY_FILE_NONE, nullptr)) {
        gchar* exec = g_key_file_get_string(kf, "Desktop Entry", "Exec", nullptr);
        gchar* icon = g_key_file_get_string(kf, "Desktop Entry", "Icon", nullptr);
        gint argc = 0;
        gchar** argv = nullptr;
        if (exec && icon && g_shell_parse_argv(exec, &argc, &argv, nullptr)) {
            e.loaded = true;
            e.exec = exec;
            e.icon = icon;
            for (gint i = 0; i < argc; ++i) {
                std::string arg = argv[i];
                for (size_t at = 0; (at = arg.find("%%", at)) != std::string::npos; ++at) arg.erase(at, 1);
                e.argv.push_back(arg);
            }
        }
        g_strfreev(argv);
        g_free(exec);
        g_free(icon);
    }
    g_key_file_free(kf);
    return e;
}

bool validates(const std::string& path) {
    const std::string cmd = "desktop-file-validate '" + path + "' 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return false;
    std::string out;
    char buf[256];
    while (size_t n = std::fread(buf, 1, sizeof(buf), p)) out.append(buf, n);
    const int status = ::pclose(p);
    EXPECT_EQ(out, "") << "desktop-file-validate on " << path;
    return status == 0;
}

std::string own_exe() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf));
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

class Autostart : public ::testing::Test {
  protected:
    TempDir home;
    ScopedEnv home_var{"HOME", home.path().c_str()}, snap{"SNAP", nullptr},
        real_home{"SNAP_REAL_HOME", nullptr}, snap_name{"SNAP_NAME", nullptr}, flatpak{"FLATPAK_ID", nullptr},
        appimage{"APPIMAGE", nullptr};
    std::string entry = home / ".config/autostart/Lumafon.desktop";

    void SetUp() override { logger::init(home.path(), "test"); }
    void TearDown() override { logger::shutdown(); }
    std::string log() const { return read_file(home / "test.log").value_or(""); }
    bool logged(const std::string& line) const { return log().find(line + "\n") != std::string::npos; }
};

TEST_F(Autostart, WritesTheEntryAndRemovesIt) {
    EXPECT_FALSE(autostart::enabled());
    EXPECT_EQ(autostart::command(), "");
    ASSERT_TRUE(autostart::set(true));
    EXPECT_TRUE(autostart::enabled());
    EXPECT_TRUE(logged("INFO  Autostart enabled"));
    const std::string exe = own_exe();
    EXPECT_EQ(read_file(entry), "[Desktop Entry]\nType=Application\nName=Lumafon\n"
                                "Comment=Equalizer fuer das ganze System\nExec=\"" +
                                    exe +
                                    "\"\nIcon=lumafon\nTerminal=false\nCategories=AudioVideo;Audio;Mixer;\n"
                                    "X-GNOME-Autostart-Delay=3\nX-GNOME-Autostart-enabled=true\n");
    struct stat st {};
    ASSERT_EQ(::stat((home / ".config/autostart").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_TRUE(validates(entry));
    EXPECT_EQ(autostart::command(), "\"" + exe + "\"");

    ASSERT_TRUE(autostart::set(true, "--off --compact"));
    EXPECT_EQ(parse_entry(entry).argv, (std::vector<std::string>{exe, "--off", "--compact"}));

    EXPECT_TRUE(autostart::set(false));
    EXPECT_FALSE(exists(entry));
    EXPECT_FALSE(autostart::enabled());
    EXPECT_TRUE(logged("INFO  Autostart removed"));
    EXPECT_TRUE(autostart::set(false)) << "nothing left to remove is success too";
}

TEST_F(Autostart, UnavailableWithoutAHome) {
    ::unsetenv("HOME");
    ::setenv("SNAP_REAL_HOME", home.path().c_str(), 1);
    ::setenv("SNAP", "/snap/lumafon/12", 1); // inside a snap only HOME counts
    EXPECT_FALSE(autostart::set(true));
    EXPECT_FALSE(autostart::enabled());
    EXPECT_FALSE(autostart::set(false));
    EXPECT_EQ(autostart::command(), "");
    autostart::migrate();
    EXPECT_FALSE(exists(home / ".config"));
    EXPECT_EQ(log(), "");
}

TEST_F(Autostart, RealHomeOutsideASnap) {
    TempDir real;
    ::setenv("SNAP_REAL_HOME", real.path().c_str(), 1);
    ASSERT_TRUE(autostart::set(true));
    EXPECT_TRUE(exists(real / ".config/autostart/Lumafon.desktop"));
    EXPECT_FALSE(exists(entry));

    ::setenv("SNAP", "/snap/lumafon/12", 1);
    ::setenv("SNAP_NAME", "lumafon", 1);
    ASSERT_TRUE(autostart::set(true));
    EXPECT_TRUE(exists(entry));
}

TEST_F(Autostart, StartCommandsAndIconsOfEachPackaging) {
    ::setenv("APPIMAGE", "/home/u/Lumafon.AppImage", 1);
    ASSERT_TRUE(autostart::set(true));
    Entry e = parse_entry(entry);
    EXPECT_EQ(e.argv, std::vector<std::string>{"/home/u/Lumafon.AppImage"});
    EXPECT_EQ(e.icon, "lumafon");

    ::setenv("FLATPAK_ID", "org.example.Lumafon", 1);
    ASSERT_TRUE(autostart::set(true, "--off"));
    e = parse_entry(entry);
    EXPECT_EQ(e.exec, "flatpak run org.example.Lumafon --off");
    EXPECT_EQ(e.icon, "org.example.Lumafon");
    EXPECT_TRUE(validates(entry));

    ::setenv("SNAP", "/snap/lumafon/12", 1);
    ::setenv("SNAP_NAME", "lumafon", 1);
    ASSERT_TRUE(autostart::set(true));
    e = parse_entry(entry);
    EXPECT_EQ(e.exec, "lumafon");
    EXPECT_EQ(e.icon, "/snap/lumafon/current/meta/gui/icon.png");
    EXPECT_TRUE(validates(entry));
}

// Whatever the program's path, a desktop starts exactly that file.
TEST_F(Autostart, ExecQuotingSurvivesADesktopParser) {
    const std::string paths[] = {
        "/opt/My Apps/Lumafon.AppImage",
        "/tmp/a\"b",
        "/tmp/$HOME/x",
        "/tmp/`id`",
        "/tmp/back\\slash\\\\",
        "/tmp/100%",
        "/tmp/%f %u %%",
        "/tmp/line\nbreak\r",
        "/tmp/' single '",
        "/tmp/tab\there",
        "/tmp/\xC3\xBC\xE6\x97\xA5",
        "/tmp/all \" $ ` \\ % ; & | < > ( ) * ? [ ] # ~ = together",
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        ::setenv("APPIMAGE", path.c_str(), 1);
        ASSERT_TRUE(autostart::set(true, "--off"));
        const Entry e = parse_entry(entry);
        ASSERT_TRUE(e.loaded);
        EXPECT_EQ(e.argv, (std::vector<std::string>{path, "--off"}));
        EXPECT_TRUE(validates(entry));
    }
}

class AutostartRepair : public Autostart {
  protected:
    // An entry written by an AppImage that lived at `old_path`; this run is the AppImage `now`.
    void entry_from(const std::string& old_path, const char* now) {
        ::setenv("APPIMAGE", old_path.c_str(), 1);
        ASSERT_TRUE(autostart::set(true));
        if (now)
            ::setenv("APPIMAGE", now, 1);
        else
            ::unsetenv("APPIMAGE");
    }
    void expect_untouched(const std::string& before) {
        autostart::migrate();
        EXPECT_EQ(read_file(entry), before);
        EXPECT_EQ(log().find("rewritten"), std::string::npos);
    }
};

TEST_F(AutostartRepair, MovedAppImageIsReplacedByTheRunningOne) {
    const std::string gone[] = {home / "Old $Dir/Lumafon-1.0.2 \"x\" 100%.AppImage",
                                home / "lumafon.APPIMAGE", "/tmp/.mount_LumaXYZ/usr/bin/Lumafon"};
    for (const std::string& old_path : gone) {
        SCOPED_TRACE(old_path);
        entry_from(old_path, "/home/u/Apps/Lumafon-1.0.3.AppImage");
        autostart::migrate();
        EXPECT_EQ(parse_entry(entry).argv, std::vector<std::string>{"/home/u/Apps/Lumafon-1.0.3.AppImage"});
        EXPECT_TRUE(logged("INFO  Autostart rewritten, its program was gone: " + old_path));
    }
}

TEST_F(AutostartRepair, ProgramThatStillExistsIsKept) {
    const std::string old_path = home / "Lumafon.AppImage";
    ASSERT_TRUE(write_file(old_path, "an AppImage"));
    entry_from(old_path, "/home/u/Apps/Lumafon-1.0.3.AppImage");
    expect_untouched(*read_file(entry));
}

TEST_F(AutostartRepair, OnlyAnAppImageRunRepairs) {
    entry_from(home / "gone.AppImage", nullptr);
    expect_untouched(*read_file(entry));
}

TEST_F(AutostartRepair, OnlyAppImageEntriesAreRepaired) {
    entry_from(home / "bin/lumafon", "/home/u/Lumafon.AppImage");
    expect_untouched(*read_file(entry));

    ASSERT_TRUE(write_file(entry, "[Desktop Entry]\nExec=Lumafon.AppImage --off\n"));
    expect_untouched("[Desktop Entry]\nExec=Lumafon.AppImage --off\n");
}

TEST_F(AutostartRepair, NoEntryNothingWritten) {
    ::setenv("APPIMAGE", "/home/u/Lumafon.AppImage", 1);
    autostart::migrate();
    EXPECT_FALSE(exists(home / ".config"));
}

TEST_F(Autostart, FailedWriteIsReportedAndKeepsTheOldEntry) {
    ASSERT_EQ(::mkdir((home / ".config").c_str(), 0755), 0);
    ASSERT_TRUE(write_file(home / ".config/autostart", "a file where the directory belongs"));
    EXPECT_FALSE(autostart::set(true));
    EXPECT_TRUE(logged("ERROR Autostart not writable: " + entry));
    EXPECT_TRUE(logged("INFO  Autostart NOT enabled"));

    ASSERT_EQ(::unlink((home / ".config/autostart").c_str()), 0);
    ASSERT_TRUE(autostart::set(true, "--off"));
    const auto before = read_file(entry);
    ASSERT_EQ(::mkdir((entry + ".tmp").c_str(), 0755), 0); // even root cannot write there
    EXPECT_TRUE(autostart::set(true)) << "the old entry is still there";
    EXPECT_EQ(read_file(entry), before);
}

} // namespace
