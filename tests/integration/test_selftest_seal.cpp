#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>

namespace {

using test_support::exists;
using test_support::ScopedEnv;
using test_support::TempDir;

// The sealing check closes the self-test's list, and the self-test reads and writes no files.
TEST(SelftestSeal, PrintsTheSealingLineAndTouchesNoFiles) {
    TempDir home;
    ScopedEnv xdg("XDG_CONFIG_HOME", home.path().c_str());
    FILE* p = ::popen((std::string(LUMAFON_BIN) + " --selftest").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof(buf), p)) out.append(buf, n);
    const int status = ::pclose(p);
    ASSERT_TRUE(WIFEXITED(status));

    const std::string line = "Versiegeln: hin und zurueck OK, geaendertes Byte erkannt OK\n\n";
    const size_t at = out.find(line);
    ASSERT_NE(at, std::string::npos) << out;
    const std::string summary = out.substr(at + line.size());
    EXPECT_TRUE(summary == "Alles in Ordnung.\n" || summary.find(" FEHLER\n") != std::string::npos) << out;
    EXPECT_FALSE(exists(home / "Lumafon"));
}

} // namespace
